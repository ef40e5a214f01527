#include <gtest/gtest.h>

#include <random>
#include <string>

#include "common/Text.h"
#include "retrieval/PageParser.h"

namespace {

std::size_t Reference(const std::string& hay, const std::string& needle, std::size_t from,
                      bool caseless) {
    if (!caseless) {
        return hay.find(needle, from);
    }
    return text::FindCaseless(hay, needle, from);
}

TEST(FindMarker, AgreesWithAPlainSearchEverywhere) {
    // Few distinct bytes, so that anchors agree often and whole-marker compares are exercised;
    // lengths cross the 16- and 32-byte blocks at every offset.
    const std::string alphabet = std::string("aAbB_<>\"%2") + '\0' + '\xC1' + '\xE1';
    std::mt19937 rng(77);
    std::uniform_int_distribution<std::size_t> letter(0, alphabet.size() - 1);
    std::uniform_int_distribution<std::size_t> hayLength(0, 200);
    std::uniform_int_distribution<std::size_t> needleLength(0, 40);
    for (int round = 0; round < 40000; ++round) {
        std::string hay(hayLength(rng), ' ');
        for (char& c : hay) {
            c = alphabet[letter(rng)];
        }
        std::string needle;
        if (round % 3 == 0 && !hay.empty()) {
            // A piece of the text itself, so that there is something to find.
            std::uniform_int_distribution<std::size_t> at(0, hay.size() - 1);
            const std::size_t start = at(rng);
            needle = hay.substr(start, std::min(needleLength(rng) + 1, hay.size() - start));
        } else {
            needle.resize(needleLength(rng) % 5 + 1);
            for (char& c : needle) {
                c = alphabet[letter(rng)];
            }
        }
        std::uniform_int_distribution<std::size_t> fromPick(0, hay.size() + 2);
        const std::size_t from = round % 2 ? 0 : fromPick(rng);
        for (bool caseless : {false, true}) {
            ASSERT_EQ(FindMarker(hay, needle, from, caseless),
                      Reference(hay, needle, from, caseless))
                << "hay '" << hay << "' needle '" << needle << "' from " << from << " caseless "
                << caseless;
        }
    }
}

TEST(FindMarker, FoldsOnlyAsciiLetters) {
    // '@' | 0x20 is '`' and 0xC1 | 0x20 is 0xE1: neither pair is the same letter in two cases.
    EXPECT_EQ(FindMarker("x@y", "x`y", 0, true), std::string::npos);
    EXPECT_EQ(FindMarker("\xC1", "\xE1", 0, true), std::string::npos);
    EXPECT_EQ(FindMarker("[", "{", 0, true), std::string::npos);
    EXPECT_EQ(FindMarker("IS_HD_available", "is_hd_AVAILABLE", 0, true), 0u);
    EXPECT_EQ(FindMarker("IS_HD_available", "is_hd_AVAILABLE", 0, false), std::string::npos);
}

TEST(FindMarker, FindsAMarkerAtTheVeryEndOfALongText) {
    for (std::size_t size : {31u, 32u, 33u, 4095u, 70000u}) {
        std::string hay(size, 'e');
        hay += "IS_HD_AVAILABLE";
        EXPECT_EQ(FindMarker(hay, "IS_HD_AVAILABLE", 0, false), size);
        EXPECT_EQ(FindMarker(hay, "is_hd_available", 0, true), size);
        hay.pop_back();
        EXPECT_EQ(FindMarker(hay, "IS_HD_AVAILABLE", 0, false), std::string::npos);
    }
}

}  // namespace
