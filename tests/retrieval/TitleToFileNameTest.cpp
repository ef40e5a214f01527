#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "retrieval/TitleToFileName.h"

namespace {

std::string Repeat(const std::string& piece, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) {
        out += piece;
    }
    return out;
}

// The plain search-from-the-start loop that ReplaceAll must agree with.
std::string RestartLoop(std::string text, const std::string& pattern, const std::string& rep) {
    for (std::size_t at = text.find(pattern); at != std::string::npos; at = text.find(pattern)) {
        text = text.substr(0, at) + rep + text.substr(at + pattern.size());
    }
    return text;
}

TEST(ReplaceAll, RescansFromTheStartAfterEveryReplacement) {
    struct Case {
        const char* text;
        const char* pattern;
        const char* rep;
        const char* out;
    };
    const Case cases[] = {
        {"", "&amp;", "&", ""},
        {"no entity", "&amp;", "&", "no entity"},
        {"a&amp;b&amp;c", "&amp;", "&", "a&b&c"},
        {"&amp;amp;", "&amp;", "&", "&"},
        {"&amp;amp;amp;amp;x", "&amp;", "&", "&x"},
        {"&&amp;amp;;", "&amp;", "&", "&&;"},
        {"&AMP;", "&amp;", "&", "&AMP;"},
        {"&amp", "&amp;", "&", "&amp"},
        // The replacement joins with the text before it.
        {"ababc", "abc", "cX", "cXX"},
        {"aaab", "aab", "ba", "aba"},
        {"abb", "ab", "a", "a"},
        {"aaaa", "aa", "a", "a"},
        {"x&quot;&quot;y", "&quot;", "", "xy"},
        {"&q&quot;uot;", "&quot;", "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ReplaceAll(c.text, c.pattern, c.rep), c.out) << c.text << " / " << c.pattern;
        EXPECT_EQ(RestartLoop(c.text, c.pattern, c.rep), c.out) << "reference " << c.text;
    }
}

TEST(ReplaceAll, AgreesWithTheRestartLoopOnRandomTexts) {
    struct Rule {
        std::string pattern;
        std::string rep;
        std::string alphabet;
    };
    const std::vector<Rule> rules = {
        {"&amp;", "&", "&amp;x"},   {"&quot;", "", "&quot;"}, {"&nbsp;", " ", "&nbsp; "},
        {"&copy;", "@", "&copy;@"}, {"aab", "a", "ab"},       {"abab", "ba", "ab"},
        {"aa", "a", "ab"},          {"abc", "cX", "abcX"},    {"xyx", "x", "xy"},
    };
    std::mt19937 rng(20091209);
    for (const auto& rule : rules) {
        std::uniform_int_distribution<std::size_t> pick(0, rule.alphabet.size() - 1);
        std::uniform_int_distribution<int> length(0, 40);
        for (int round = 0; round < 3000; ++round) {
            std::string text;
            for (int n = length(rng); n > 0; --n) {
                text.push_back(rule.alphabet[pick(rng)]);
            }
            ASSERT_EQ(ReplaceAll(text, rule.pattern, rule.rep),
                      RestartLoop(text, rule.pattern, rule.rep))
                << "text '" << text << "' pattern '" << rule.pattern << "'";
        }
    }
}

TEST(ReplaceAll, EndsForReplacementsThatCouldGrowForever) {
    EXPECT_EQ(ReplaceAll("aXa", "a", "aa"), "aaXaa");
    EXPECT_EQ(ReplaceAll("abab", "ab", "ba"), "baba");
    EXPECT_EQ(ReplaceAll("same", "same", "same"), "same");
    EXPECT_EQ(ReplaceAll("keep", "", "x"), "keep");
}

TEST(ReplaceAll, HandlesMegabyteRunsOfNestedEntities) {
    // "&" followed by a million "amp;" collapses one step at a time into a single "&"; the
    // restart loop would take hours on this, ctest's timeout catches a quadratic version.
    std::string nested = "&";
    for (int i = 0; i < 1000000; ++i) {
        nested += "amp;";
    }
    EXPECT_EQ(ReplaceAll(nested, "&amp;", "&"), "&");

    std::string flat;
    for (int i = 0; i < 1000000; ++i) {
        flat += "&amp;";
    }
    EXPECT_EQ(ReplaceAll(flat, "&amp;", "&"), std::string(1000000, '&'));
}

TEST(TitleToFileName, DecodesTrimsAndCleans) {
    struct Case {
        std::string title;
        std::string name;
    };
    const Case cases[] = {
        {"", ".flv"},
        {"&quot;&lt;&gt; &nbsp;  ", ".flv"},
        {"What / is: this?", "What  is this.flv"},
        {"Tom &amp; Jerry", "Tom & Jerry.flv"},
        {"a&lt;b&gt;c", "abc.flv"},
        {"&amp;nbsp;Title&amp;nbsp;", "Title.flv"},
        {"Mid&amp;nbsp;dle", "Mid dle.flv"},
        {"&amp;quot;quoted&amp;quot;", "quoted.flv"},
        {"&amp;copy; 2009 &copy;", "@ 2009 @.flv"},
        {"&amp;amp;lt;b&amp;gt;", "b.flv"},
        {"Say \"hi\"", "Say \"hi\".flv"},
        {"&AMP; &Quot; &NBSP;", "&AMP; &Quot; &NBSP;.flv"},
        {"&#39;quote&#39; &apos;", "&#39;quote&#39; &apos;.flv"},
        // Each row runs once, in order: "&lt;" removed by row 3 leaves an "&amp;" that row 1
        // has already passed.
        {"&&lt;amp;", "&amp;.flv"},
        {"\t\x01 Title \x02\n", "Title.flv"},
        {std::string("A\0B\x1F|C*", 7), "ABC.flv"},
        {"C:\\Videos\\clip<1>|2", "CVideosclip12.flv"},
        {"Caf\xC3\xA9 \xE2\x80\x94 live", "Caf\xC3\xA9 \xE2\x80\x94 live.flv"},
        // Cut to 255 bytes with the extension, at a character boundary, before decoding: the
        // first 251 bytes of the entity run are 50 "&amp;" and one "&".
        {std::string(300, 'a'), std::string(251, 'a') + ".flv"},
        {std::string(250, 'a') + "\xC3\xA9" + "tail", std::string(250, 'a') + ".flv"},
        {std::string(249, 'a') + "\xC3\xA9" + "tail", std::string(249, 'a') + "\xC3\xA9.flv"},
        {Repeat("&amp;", 200000), std::string(51, '&') + ".flv"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TitleToFileName(c.title), c.name) << c.title.substr(0, 80);
    }
}

TEST(CutAtCharacter, NeverSplitsAUtf8Character) {
    struct Case {
        std::string text;
        std::size_t limit;
        std::string out;
    };
    const std::string euro = "\xE2\x82\xAC";  // three bytes
    const Case cases[] = {
        {"short", 255, "short"},
        {"abc", 3, "abc"},
        {"abc" + euro, 4, "abc"},
        {"abc" + euro, 5, "abc"},
        {"abc" + euro, 6, "abc" + euro},
        {"ab\xF0\x9F\x8E\xAC!", 5, "ab"},
        // Bytes that are no UTF-8 are cut where they stand.
        {"a\x80\x80\x80\x80\x80", 3, "a\x80\x80"},
        {"\xFF\xFE\xFD", 2, "\xFF\xFE"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CutAtCharacter(c.text, c.limit), c.out) << c.text << " / " << c.limit;
    }
}

}  // namespace
