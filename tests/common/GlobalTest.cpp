#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>

#include "common/Global.h"

namespace {

TEST(CleanFileName, DropsExactlyTheForbiddenBytes) {
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"", ""},
        {"a*b/c:d<e>f?g\\h|i", "abcdefghi"},
        {"What: now?", "What now"},
        {"Say \"hi\"", "Say \"hi\""},
        {std::string("a\0b\x01\x1F\x20z", 7), "ab z"},
        {"tab\there\r\n", "tabhere"},
        {"\x7F keeps DEL", "\x7F keeps DEL"},
        {"Caf\xC3\xA9 \xFF", "Caf\xC3\xA9 \xFF"},
        {"***///", ""},
        {"keep.all-other_chars (1) [2] {3} #4 %5 &6 '7' ~8 !9 ,;=+@$^`",
         "keep.all-other_chars (1) [2] {3} #4 %5 &6 '7' ~8 !9 ,;=+@$^`"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CleanFileName(c.in), c.out) << c.in;
    }
}

TEST(TwoDigits, PadsEveryNumberBelowTen) {
    struct Case {
        std::int32_t n;
        const char* text;
    };
    const Case cases[] = {
        {0, "00"},
        {7, "07"},
        {9, "09"},
        {10, "10"},
        {12, "12"},
        {59, "59"},
        {125, "125"},
        {-5, "0-5"},
        {-10, "0-10"},
        {INT_MAX, "2147483647"},
        {INT_MIN, "0-2147483648"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TwoDigits(c.n), c.text) << c.n;
    }
}

TEST(FormatSizeKB, RoundsUpAndGroupsByThousands) {
    struct Case {
        std::int64_t bytes;
        const char* text;
    };
    const Case cases[] = {
        {0, "0"},
        {1, "1"},
        {1023, "1"},
        {1024, "1"},
        {1025, "2"},
        {999 * 1024, "999"},
        {999 * 1024 + 1, "1,000"},
        {1000 * 1024, "1,000"},
        {1500 * 1024, "1,500"},
        {2097152, "2,048"},
        {1048577, "1,025"},
        {123456 * 1024, "123,456"},
        {1024LL * 1024 * 1024, "1,048,576"},
        {1000000LL * 1024, "1,000,000"},
        {INT64_MAX, "9,007,199,254,740,992"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FormatSizeKB(c.bytes), c.text) << c.bytes;
    }
}

}  // namespace
