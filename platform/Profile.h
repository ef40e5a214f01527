#pragma once

// Profile (INI) file access by file path. Every write reaches the disk at once and replaces the
// file whole (temporary file, then rename), so no crash leaves a torn file behind.

#include <cstdint>
#include <string>

namespace platform {

constexpr std::size_t kProfileStringMax = 2047;

// The value, at most 2047 characters; fallback when the file, section or key is missing.
// A key that is present with an empty value gives the empty text.
std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& fallback, const std::string& path);

// Decimal, or hexadecimal for a text longer than two characters starting with "0x" or "0X";
// fallback when the key is missing or its text is not a 32-bit number.
std::int32_t GetPrivateProfileInt(const std::string& section, const std::string& key,
                                  std::int32_t fallback, const std::string& path);

// Writes one value, creating the file or section as needed. False when the file cannot be
// read or replaced, or when the value holds a line break (it cannot be stored as it is, and
// cutting it would store another value); the file on disk is then unchanged.
bool WritePrivateProfileString(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& path);

// Parses an integer value as GetPrivateProfileInt does.
std::int32_t ProfileIntFromText(const std::string& text, std::int32_t fallback);

}  // namespace platform
