#pragma once

// What the browsers' and the desktop's own small files say, read from their bytes alone:
// which Firefox profile starts by default, whether a Chromium-family browser holds its profile
// folder, whether the desktop's wallet lets a program read it without asking the user.

#include <optional>
#include <string>
#include <string_view>

namespace platform {

struct FirefoxProfile {
    std::string path;  // as written: below the profiles folder when relative, else absolute
    bool relative = true;
};

// The profile Firefox starts with, from the text of its profiles.ini: the default of an
// install (what current versions go by), else the profile marked Default=1, else the first
// profile listed. nullopt when the text names none.
std::optional<FirefoxProfile> DefaultFirefoxProfile(std::string_view profilesIni);

// The process that holds a Chromium-family profile folder, from the target of its singleton
// lock ("host-pid"): its pid when the lock names hostName, else nullopt.
std::optional<long> ChromiumLockHolder(std::string_view lockTarget, std::string_view hostName);

// Whether KWallet's settings (the text of kwalletrc) let appId read the open wallet without
// asking the user: the wallet service is not switched off, and either it asks no program
// ("Prompt on Open", off unless set) or appId is among those the user always allows for it.
bool KWalletOpensWithoutPrompt(std::string_view kwalletrc, std::string_view wallet,
                               std::string_view appId);

}  // namespace platform
