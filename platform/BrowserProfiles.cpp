#include "platform/BrowserProfiles.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <vector>

#include "common/IniFile.h"

namespace platform {

namespace {

std::string_view Trim(std::string_view s) {
    auto blank = [](char c) {
        return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v';
    };
    while (!s.empty() && blank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && blank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

std::string Lower(std::string_view s) {
    std::string lower(s);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
    return lower;
}

bool IsDigits(std::string_view s) {
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::optional<FirefoxProfile> DefaultFirefoxProfile(std::string_view profilesIni) {
    const std::vector<IniDocument::Section> sections = IniDocument::Parse(profilesIni).Sections();
    for (const IniDocument::Section& section : sections) {
        const std::string path = section.Value("default");
        if (section.name.starts_with("install") && !path.empty()) {
            return FirefoxProfile{path, !path.starts_with('/')};
        }
    }
    const IniDocument::Section* chosen = nullptr;
    for (const IniDocument::Section& section : sections) {
        if (!section.name.starts_with("profile") || !IsDigits(section.name.substr(7)) ||
            section.Value("path").empty()) {
            continue;
        }
        if (chosen == nullptr ||
            (section.Value("default") == "1" && chosen->Value("default") != "1")) {
            chosen = &section;
        }
    }
    if (chosen == nullptr) {
        return std::nullopt;
    }
    const std::string path = chosen->Value("path");
    const std::string relative = chosen->Value("isrelative");
    return FirefoxProfile{path, relative.empty() ? !path.starts_with('/') : relative != "0"};
}

bool KWalletOpensWithoutPrompt(std::string_view kwalletrc, std::string_view wallet,
                               std::string_view appId) {
    const std::vector<IniDocument::Section> sections = IniDocument::Parse(kwalletrc).Sections();
    auto value = [&](const std::string& section, const std::string& key) {
        const auto found =
            std::find_if(sections.begin(), sections.end(),
                         [&](const IniDocument::Section& s) { return s.name == section; });
        return found == sections.end() ? std::string() : found->Value(key);
    };
    auto isTrue = [](const std::string& text) {
        const std::string lower = Lower(text);
        return lower == "true" || lower == "on" || lower == "yes" || lower == "1";
    };
    const std::string enabled = value("wallet", "enabled");
    if (!enabled.empty() && !isTrue(enabled)) {
        return false;
    }
    if (!isTrue(value("wallet", "prompt on open"))) {
        return true;
    }
    const std::string list = value("auto allow", Lower(wallet));
    for (std::string_view rest = list; !rest.empty();) {
        const std::size_t comma = std::min(rest.find(','), rest.size());
        if (Trim(rest.substr(0, comma)) == appId) {
            return true;
        }
        rest.remove_prefix(std::min(comma + 1, rest.size()));
    }
    return false;
}

std::optional<long> ChromiumLockHolder(std::string_view lockTarget, std::string_view hostName) {
    // The host name may hold dashes itself; the pid follows the last one.
    const std::size_t dash = lockTarget.rfind('-');
    if (dash == std::string_view::npos || lockTarget.substr(0, dash) != hostName ||
        hostName.empty()) {
        return std::nullopt;
    }
    const std::string_view digits = lockTarget.substr(dash + 1);
    long pid = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), pid);
    if (!IsDigits(digits) || error != std::errc() || end != digits.data() + digits.size() ||
        pid <= 0) {
        return std::nullopt;
    }
    return pid;
}

}  // namespace platform
