#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "retrieval/TransferPlan.h"

using namespace transfer;

namespace {

using Ranges = std::vector<ByteRange>;

TEST(TransferPlan, RangesAreSplitSharedAndComplemented) {
    struct Split {
        ByteRange whole;
        int parts;
        std::int64_t minPiece;
        Ranges want;
    };
    const Split splits[] = {
        {{0, 100}, 4, 10, {{0, 25}, {25, 50}, {50, 75}, {75, 100}}},
        {{0, 10}, 3, 1, {{0, 3}, {3, 6}, {6, 10}}},        // the last takes the remainder
        {{0, 30}, 16, 10, {{0, 10}, {10, 20}, {20, 30}}},  // never below the smallest piece
        {{0, 5}, 4, 10, {{0, 5}}},
        {{10, 20}, 0, 1, {{10, 20}}},
    };
    for (const auto& s : splits) {
        EXPECT_EQ(SplitRange(s.whole, s.parts, s.minPiece), s.want)
            << s.whole.end << "/" << s.parts;
    }

    // The largest range left is shared, and only when both halves are worth a connection.
    EXPECT_EQ(RangeToShare({{0, 10}, {50, 90}, {100, 120}}, 10), 1u);
    EXPECT_EQ(RangeToShare({{0, 19}}, 10), std::nullopt);
    EXPECT_EQ(RangeToShare({{0, 20}}, 10), 0u);
    EXPECT_EQ(RangeToShare({}, 10), std::nullopt);
    EXPECT_EQ(SplitPoint({50, 91}), 70);

    EXPECT_EQ(Complement({}, 10), (Ranges{{0, 10}}));
    EXPECT_EQ(Complement({{6, 8}, {0, 2}, {1, 3}}, 10), (Ranges{{3, 6}, {8, 10}}));
    EXPECT_EQ(Complement({{0, 10}}, 10), Ranges{});
}

TEST(TransferPlan, HeadersTellRangesAndTheFilesIdentity) {
    struct Case {
        std::vector<std::string> lines;
        bool ranges;
        std::string validator;
        std::int64_t first, last, total;  // first -1: no usable Content-Range
    };
    const Case cases[] = {
        {{"HTTP/1.1 206 Partial Content", "Accept-Ranges: bytes", "ETag: \"a1\"",
          "Last-Modified: Tue, 01 Dec 2026 10:00:00 GMT", "Content-Range: bytes 100-199/1000"},
         true,
         "\"a1\"",
         100,
         199,
         1000},
        // A weak tag may not go into If-Range: the date stands in.
        {{"accept-ranges: none", "etag: W/\"a1\"", "last-modified: Tue, 01 Dec 2026"},
         false,
         "Tue, 01 Dec 2026",
         -1,
         0,
         0},
        {{"Content-Range: bytes 0-9/*"}, false, "", 0, 9, -1},
        {{"Content-Range: bytes 9-0/10"}, false, "", -1, 0, 0},
        {{"Content-Range: bytes 0-10/10"}, false, "", -1, 0, 0},
        {{"Content-Range: bytes -1-5/10"}, false, "", -1, 0, 0},
        {{"Content-Range: items 0-1/2"}, false, "", -1, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lines.back());
        const FileFacts f = ReadFileFacts(c.lines);
        EXPECT_EQ(f.acceptsRanges, c.ranges);
        EXPECT_EQ(f.Validator(), c.validator);
        ASSERT_EQ(f.range.has_value(), c.first >= 0);
        if (f.range) {
            EXPECT_EQ(f.range->first, c.first);
            EXPECT_EQ(f.range->last, c.last);
            EXPECT_EQ(f.range->total, c.total);
        }
    }
}

TEST(TransferPlan, ThePartsRecordIsReadBackOrRefusedWhole) {
    const PartMeta meta{"\"v1\"", 1000, {{0, 100}, {500, 600}}};
    const std::string text = FormatPartMeta(meta);
    EXPECT_EQ(ParsePartMeta(text), meta);
    EXPECT_EQ(ParsePartMeta(FormatPartMeta({"date", 5, {}})), (PartMeta{"date", 5, {}}));

    const std::string head = "tamberlo-part 1\nlength 1000\nvalidator \"v1\"\n";
    const char* const refused[] = {
        "",
        "\x7f"
        "ELF\x02\x01",
        "tamberlo-part 2\nlength 1000\nvalidator \"v1\"\n",
        "tamberlo-part 1\nlength 1000\n",       // no validator: nothing to confirm
        "tamberlo-part 1\nvalidator \"v1\"\n",  // no length
        "tamberlo-part 1\nlength 0\nvalidator \"v1\"\n",
        "tamberlo-part 1\nlength -5\nvalidator \"v1\"\n",
        "tamberlo-part 1\nlength 1000\nvalidator \"v1\"",  // cut short while written
        "tamberlo-part 1\nlength 1000\nvalidator \"v1\"\nfoo 1\n",
    };
    for (const char* bad : refused) {
        EXPECT_EQ(ParsePartMeta(bad), std::nullopt) << bad;
    }
    for (const char* done :
         {"done 0-1001\n", "done 5-5\n", "done 10-20\ndone 15-30\n", "done 1-x\n", "done 7\n"}) {
        EXPECT_EQ(ParsePartMeta(head + done), std::nullopt) << done;
    }
}

TEST(TransferPlan, RelocationsLeadWhereBrowsersGo) {
    const std::string base = "http://www.youtube.com/get/video?id=1&t=2";
    const std::pair<const char*, const char*> cases[] = {
        {"http://cdn.example/v.flv#top", "http://cdn.example/v.flv"},
        {"HTTPS://cdn.example/v.flv", "HTTPS://cdn.example/v.flv"},
        {"//cdn.example:8080/v.flv", "http://cdn.example:8080/v.flv"},
        {"/other?x=1", "http://www.youtube.com/other?x=1"},
        {"?id=2", "http://www.youtube.com/get/video?id=2"},
        {"next.flv?a=b://c", "http://www.youtube.com/get/next.flv?a=b://c"},
        {"  spaced.flv  ", "http://www.youtube.com/get/spaced.flv"},
        {"a b\xc3\xa9.flv", "http://www.youtube.com/get/a%20b%C3%A9.flv"},
    };
    for (auto [location, want] : cases) {
        EXPECT_EQ(ResolveLocation(base, location), want) << location;
    }
    EXPECT_EQ(ResolveLocation("http://host", "a.flv"), "http://host/a.flv");
    for (const char* refused : {"", "a\r\nHost: x", "#only"}) {
        EXPECT_EQ(ResolveLocation(base, refused), std::nullopt) << refused;
    }
    EXPECT_EQ(ResolveLocation("no-scheme", "/a"), std::nullopt);
}

TEST(TransferPlan, WaitsDoubleUpToHalfAMinute) {
    const int want[] = {0, 0, 1, 2, 4, 8, 16, 30, 30, 30, 30};
    for (int attempt = 0; attempt <= 10; ++attempt) {
        EXPECT_EQ(RetryDelaySeconds(attempt), want[attempt]) << attempt;
    }
}

}  // namespace
