// Fuzz entry for the browsers' and the desktop's small files (built and run by
// fuzz/run-fuzz.sh): the input is read as profiles.ini, as kwalletrc and as a singleton lock.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/BrowserProfiles.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (const auto profile = platform::DefaultFirefoxProfile(text)) {
        // A value never reaches past its line, and an empty path names no profile.
        if (profile->path.empty() || profile->path.find('\n') != std::string::npos) {
            std::abort();
        }
    }
    platform::KWalletOpensWithoutPrompt(text, "kdewallet", "Tamberlo");
    // The lock names this host only when the host part is exactly it.
    const std::string_view host = text.substr(0, text.find('-'));
    if (const auto pid = platform::ChromiumLockHolder(text, host); pid && *pid <= 0) {
        std::abort();
    }
    return 0;
}
