#pragma once

// Chromium's encrypted cookie values on Linux, from their bytes alone: "v10" values are
// encrypted with a fixed key (a desktop without keyring), "v11" values with a key derived from
// a password the browser keeps in the desktop's keyring. Finding that password is not done
// here.

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

using ChromiumKey = std::array<unsigned char, 16>;

enum class ChromiumKeyKind { Fixed, Keyring, Unknown };

// Which key a stored value was encrypted with, from its tag.
ChromiumKeyKind KeyKindOf(std::string_view encrypted);

// The AES key Chromium derives from a password (PBKDF2); nullopt only if libcrypto fails.
std::optional<ChromiumKey> DeriveChromiumKey(std::string_view password);
// The key of "v10" values.
const std::optional<ChromiumKey>& FixedChromiumKey();

// The plain value of an encrypted one (tag included), or nullopt when it does not decrypt
// cleanly with this key: a value is never guessed. domainDigest: the plain text starts with
// the SHA-256 of hostKey (the cookie's domain as stored), which must match; a wrong key that
// happens to leave valid padding is caught there.
std::optional<std::string> DecryptChromiumValue(std::string_view encrypted, const ChromiumKey& key,
                                                std::string_view hostKey, bool domainDigest);

}  // namespace platform
