#pragma once

// Profile (INI) file access by file path. Every write reaches the disk at once and replaces the
// file whole (temporary file, then rename), so no crash leaves a torn file behind.

#include <cstdint>
#include <string>

namespace platform {

// The longest value read: the longest path the system takes (PATH_MAX less its zero), so that
// a folder is read back as it was written.
constexpr std::size_t kProfileStringMax = 4095;

// The value, at most kProfileStringMax bytes; fallback when the file, section or key is
// missing, or when the file is no regular file (a FIFO is never waited on). A key that is
// present with an empty value gives the empty text.
std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& fallback, const std::string& path);

// Decimal, or hexadecimal for a text longer than two characters starting with "0x" or "0X";
// fallback when the key is missing or its text is not a 32-bit number.
std::int32_t GetPrivateProfileInt(const std::string& section, const std::string& key,
                                  std::int32_t fallback, const std::string& path);

// Whether a profile file may be replaced. A file the user made read-only, a link (replacing it
// would cut the link) and anything that is no regular file are left alone.
enum class ProfileAccess { Writable, ReadOnly, Link, NotAFile };
ProfileAccess CheckProfileAccess(const std::string& path);

// Writes one value, creating the file or section as needed. False when the file may not be
// replaced (CheckProfileAccess) or cannot be read or replaced, or when the value holds a line
// break or is longer than kProfileStringMax (it could not be read back as it is); the file on
// disk is then unchanged.
bool WritePrivateProfileString(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& path);

// Parses an integer value as GetPrivateProfileInt does.
std::int32_t ProfileIntFromText(const std::string& text, std::int32_t fallback);

}  // namespace platform
