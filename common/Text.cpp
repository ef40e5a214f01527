#include "common/Text.h"

#include <algorithm>
#include <charconv>
#include <limits>

namespace text {

char UpperChar(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

char LowerChar(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string UpperCase(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), UpperChar);
    return out;
}

std::string LowerCase(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), LowerChar);
    return out;
}

bool EqualsCaseless(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return UpperChar(x) == UpperChar(y);
           });
}

std::size_t FindCaseless(std::string_view haystack, std::string_view needle, std::size_t from) {
    if (from > haystack.size() || needle.size() > haystack.size() - from) {
        return npos;
    }
    auto begin = haystack.begin() + static_cast<std::ptrdiff_t>(from);
    auto it = std::search(begin, haystack.end(), needle.begin(), needle.end(),
                          [](char x, char y) { return UpperChar(x) == UpperChar(y); });
    return it == haystack.end() && !needle.empty()
               ? npos
               : static_cast<std::size_t>(it - haystack.begin());
}

bool ContainsCaseless(std::string_view haystack, std::string_view needle) {
    return FindCaseless(haystack, needle) != npos;
}

bool StartsWithCaseless(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && EqualsCaseless(s.substr(0, prefix.size()), prefix);
}

bool Contains(std::string_view haystack, std::string_view needle) {
    return haystack.find(needle) != npos;
}

std::string Trim(std::string_view s) {
    auto blank = [](char c) { return static_cast<unsigned char>(c) <= 32; };
    std::size_t first = 0;
    while (first < s.size() && blank(s[first])) {
        ++first;
    }
    std::size_t last = s.size();
    while (last > first && blank(s[last - 1])) {
        --last;
    }
    return std::string(s.substr(first, last - first));
}

std::optional<std::int64_t> ParseInt64(std::string_view s) {
    if (s.empty()) {
        return std::nullopt;
    }
    bool negative = false;
    std::size_t i = 0;
    if (s[0] == '+' || s[0] == '-') {
        negative = s[0] == '-';
        i = 1;
    }
    if (i == s.size()) {
        return std::nullopt;
    }
    std::uint64_t magnitude = 0;
    auto [ptr, ec] = std::from_chars(s.data() + i, s.data() + s.size(), magnitude);
    if (ec != std::errc() || ptr != s.data() + s.size()) {
        return std::nullopt;
    }
    constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (magnitude > kMax + (negative ? 1 : 0)) {
        return std::nullopt;
    }
    if (negative) {
        return magnitude == kMax + 1 ? std::numeric_limits<std::int64_t>::min()
                                     : -static_cast<std::int64_t>(magnitude);
    }
    return static_cast<std::int64_t>(magnitude);
}

std::optional<std::int32_t> ParseInt32(std::string_view s) {
    auto value = ParseInt64(s);
    if (!value || *value < std::numeric_limits<std::int32_t>::min() ||
        *value > std::numeric_limits<std::int32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(*value);
}

std::int32_t StrToIntDef(std::string_view s, std::int32_t fallback) {
    return ParseInt32(s).value_or(fallback);
}

std::string CaselessKey(std::string_view s) {
    return UpperCase(s);
}

}  // namespace text
