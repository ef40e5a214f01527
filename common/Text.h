#pragma once

// Byte-string helpers. Text is 8-bit; case folding touches the ASCII letters a-z only.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace text {

constexpr std::size_t npos = std::string_view::npos;

char UpperChar(char c);
char LowerChar(char c);
std::string UpperCase(std::string_view s);
std::string LowerCase(std::string_view s);

bool EqualsCaseless(std::string_view a, std::string_view b);
// Position (0-based) of the first occurrence of needle at or after from, or npos.
std::size_t FindCaseless(std::string_view haystack, std::string_view needle, std::size_t from = 0);
bool ContainsCaseless(std::string_view haystack, std::string_view needle);
bool StartsWithCaseless(std::string_view s, std::string_view prefix);
bool Contains(std::string_view haystack, std::string_view needle);

// Removes leading and trailing blanks and control characters (every byte of code 32 or below).
std::string Trim(std::string_view s);

// Whole-text decimal integer with an optional sign; nullopt for anything else or on overflow.
std::optional<std::int64_t> ParseInt64(std::string_view s);
// As ParseInt64, limited to the 32-bit signed range.
std::optional<std::int32_t> ParseInt32(std::string_view s);
// The value of s, or fallback when s is not a whole 32-bit number.
std::int32_t StrToIntDef(std::string_view s, std::int32_t fallback);

// A key for hashing that folds case as EqualsCaseless does.
std::string CaselessKey(std::string_view s);

}  // namespace text
