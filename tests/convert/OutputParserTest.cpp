#include <gtest/gtest.h>

#include "convert/OutputParser.h"
#include "tests/support/TempDir.h"

using namespace convert;

namespace {

// Duration and progress values of every line of a text fed in pieces cut at the given offsets.
struct Scan {
    std::vector<std::int64_t> durations;
    std::vector<std::int64_t> progress;
    bool operator==(const Scan&) const = default;
};

Scan ScanPieces(std::string_view text, const std::vector<std::size_t>& cuts) {
    LineSplitter splitter;
    ParseState state;
    Scan scan;
    std::vector<std::string> lines;
    std::size_t from = 0;
    auto feed = [&](std::size_t to) {
        splitter.Feed(text.substr(from, to - from), lines);
        from = to;
    };
    for (std::size_t cut : cuts) {
        feed(cut);
    }
    feed(text.size());
    splitter.Flush(lines);
    for (const auto& line : lines) {
        LineResult r = ParseLine(line, state);
        if (r.duration) {
            scan.durations.push_back(*r.duration);
        }
        if (r.progress) {
            scan.progress.push_back(*r.progress);
        }
    }
    return scan;
}

}  // namespace

TEST(OutputParser, DurationLine) {
    struct Case {
        const char* line;
        std::int64_t duration;
    };
    const Case cases[] = {
        {"Duration: 00:03:25.17, start: 0.000000, bitrate: 64 kb/s", 205},
        {"  DURATION:   01:02:03.99", 3723},
        {"duration: 00:00:07.5", 7},
        {"Duration: N/A, start: 0.000000, bitrate: N/A", 0},
        {"Duration: xx:10:05.00", 605},  // a part that is no number counts 0
        {"Duration:", 0},
    };
    for (const Case& c : cases) {
        ParseState state;
        LineResult r = ParseLine(c.line, state);
        ASSERT_TRUE(r.duration.has_value()) << c.line;
        EXPECT_EQ(*r.duration, c.duration) << c.line;
        EXPECT_FALSE(r.progress.has_value());
    }
    ParseState state;
    EXPECT_FALSE(ParseLine("Stream #0:0: Video: flv1", state).duration.has_value());
    EXPECT_FALSE(ParseLine(" \t\x01 ", state).duration.has_value());
}

TEST(OutputParser, DurationPartsCarryFromLineToLine) {
    ParseState state;
    EXPECT_EQ(ParseLine("Duration: 01:02:03.00", state).duration, 3723);
    // No ":" and no ".": every part keeps the value read before.
    EXPECT_EQ(ParseLine("Duration: soon", state).duration, 3723);
}

TEST(OutputParser, ProgressTime) {
    struct Case {
        const char* line;
        std::int64_t progress;
    };
    const Case cases[] = {
        {"frame= 12 q=2.0 size= 1kB time=102.50 bitrate=64.0kbits/s", 102},
        {"size= 49kB TIME=00:01:42.50 bitrate= 130.2kbits/s speed= 159x", 102},
        {"time=01:00:00.00", 3600},
        {"time=-00:00:00.04 bitrate=N/A", 0},
        {"time=N/A bitrate=N/A speed=1.5x", 0},
        {"time=1:2.00", 0},
        {"time=00:61:05.00", 3665},
    };
    for (const Case& c : cases) {
        ParseState state;
        LineResult r = ParseLine(c.line, state);
        ASSERT_TRUE(r.progress.has_value()) << c.line;
        EXPECT_EQ(*r.progress, c.progress) << c.line;
    }
}

TEST(OutputParser, ProgressWithoutDotReusesEarlierValue) {
    ParseState state;
    EXPECT_EQ(ParseLine("time=N/A", state).progress, 0);
    EXPECT_EQ(ParseLine("time=30.00", state).progress, 30);
    EXPECT_EQ(ParseLine("time=N/A", state).progress, 30);
}

TEST(OutputParser, ProgressRecordFigures) {
    struct Case {
        std::int64_t progress, duration;
        double elapsedSeconds;
        int percent;  // 0: nothing posted
        const char* elapsed;
        const char* estimated;
    };
    const Case cases[] = {
        {102, 205, 10, 49, "00:10", "00:20"},
        {205, 205, 0, 100, "00:00", "00:00"},
        {206, 205, 3725, 100, "62:05", "62:05"},  // under 1.01 x Duration still 100
        {208, 205, 1, 0, "", ""},                 // from 1.01 x Duration on nothing
        {1, 205, 1, 0, "", ""},                   // 0 percent
        {0, 205, 1, 0, "", ""},
        {5, 0, 1, 0, "", ""},
        {-5, 10, 1, 0, "", ""},
        {1, 100, 62.5, 1, "01:02", "103:20"},  // 62.5 rounds to even 62; 6200 -> 103:20
        {50, 100, 63.5, 50, "01:04", "02:08"},
        {50, 100, 0.5, 50, "00:00", "00:00"},
        {3, 10, 1.5, 30, "00:02", "00:07"},  // 200 / 30 = 6.67 -> 7
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.progress);
        auto record = ProgressRecord(c.progress, c.duration, c.elapsedSeconds / 86400.0);
        if (c.percent == 0) {
            EXPECT_FALSE(record.has_value());
            continue;
        }
        ASSERT_TRUE(record.has_value());
        EXPECT_EQ(record->Percent, c.percent);
        EXPECT_EQ(record->Elapsed, c.elapsed);
        EXPECT_EQ(record->Estimated, c.estimated);
        EXPECT_EQ(record->Status, 0);
    }
}

TEST(OutputParser, RoundHalfEven) {
    const std::pair<double, std::int64_t> cases[] = {
        {0.5, 0}, {1.5, 2}, {2.5, 2}, {2.5000001, 3}, {-0.5, 0}, {-1.5, -2}, {7.49, 7}};
    for (auto [value, rounded] : cases) {
        EXPECT_EQ(RoundHalfEven(value), rounded) << value;
    }
}

TEST(OutputParser, LinesEndAtCrLfAndTheirPairs) {
    LineSplitter splitter;
    std::vector<std::string> lines;
    splitter.Feed(std::string_view("a\r\nb\rc\nd\n\re\0f", 13), lines);
    EXPECT_EQ(lines, (std::vector<std::string>{"a", "", "b", "c", "d", "", "e"}));
    EXPECT_EQ(splitter.PendingSize(), 1u);
    lines.clear();
    EXPECT_TRUE(splitter.Flush(lines));
    EXPECT_EQ(lines, (std::vector<std::string>{"f"}));
    EXPECT_FALSE(splitter.Flush(lines));
}

TEST(OutputParser, LongLineIsCutAtTheLimit) {
    for (std::size_t extra : {0u, 1u}) {
        LineSplitter splitter;
        std::vector<std::string> lines;
        std::string text(kMaxLineLength + extra, 'x');
        splitter.Feed(text.substr(0, 100), lines);
        splitter.Feed(text.substr(100), lines);
        ASSERT_EQ(lines.size(), 1u) << extra;
        EXPECT_EQ(lines[0].size(), kMaxLineLength);
        EXPECT_EQ(splitter.PendingSize(), extra);
    }
}

TEST(OutputParser, SameResultWhateverTheReadsAre) {
    const std::string text =
        "Input #0, flv\r\n  Duration: 00:03:25.17, start: 0.000000, bitrate: 64 kb/s\n"
        "frame=1 time=10.00 bitrate=1\rframe=2 time=N/A\rframe=3 time=00:01:42.50 x\r"
        "video:1kB\n";
    const Scan whole = ScanPieces(text, {});
    EXPECT_EQ(whole.durations, std::vector<std::int64_t>{205});
    EXPECT_EQ(whole.progress, (std::vector<std::int64_t>{10, 10, 102}));
    std::vector<std::size_t> every;
    for (std::size_t cut = 0; cut <= text.size(); ++cut) {
        EXPECT_EQ(ScanPieces(text, {cut}), whole) << "cut at " << cut;
        every.push_back(cut);
    }
    EXPECT_EQ(ScanPieces(text, every), whole);
}

TEST(OutputParser, CapturedConverterOutput) {
    std::string text =
        testsupport::ReadFile(std::string(TAMBERLO_FIXTURES_DIR) + "/convert/ffmpeg-mp4.stderr");
    ASSERT_FALSE(text.empty());
    const Scan whole = ScanPieces(text, {});
    ASSERT_EQ(whole.durations, std::vector<std::int64_t>{60});
    ASSERT_EQ(whole.progress, (std::vector<std::int64_t>{0, 18, 38, 58, 60}));
    std::vector<int> percents;
    for (std::int64_t p : whole.progress) {
        if (auto record = ProgressRecord(p, 60, 0)) {
            percents.push_back(record->Percent);
        }
    }
    EXPECT_EQ(percents, (std::vector<int>{30, 63, 96, 100}));
    for (std::size_t cut = 0; cut <= text.size(); ++cut) {
        ASSERT_EQ(ScanPieces(text, {cut}), whole) << "cut at " << cut;
    }
    std::vector<std::size_t> bytewise(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        bytewise[i] = i;
    }
    EXPECT_EQ(ScanPieces(text, bytewise), whole);
}

TEST(OutputParser, RandomOutputSplitAnywhere) {
    // Output assembled from the pieces that matter, in random order, cut at random offsets.
    // The last piece stands for a zero byte.
    const char* pieces[] = {"Duration: ", "DURATION:", "time=", "TIME=", "00:", "12",    "9",
                            ":",          ".",         ".50",   "\r",    "\n",  "\r\n",  " ",
                            "N/A",        "-",         "x",     "kb/s",  ",",   "<zero>"};
    std::uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    for (int round = 0; round < 200; ++round) {
        std::string text;
        int count = static_cast<int>(next() % 200);
        for (int i = 0; i < count; ++i) {
            std::size_t which = next() % std::size(pieces);
            text += which + 1 == std::size(pieces) ? std::string(1, '\0') : pieces[which];
        }
        const Scan whole = ScanPieces(text, {});
        std::vector<std::size_t> cuts;
        for (std::size_t pos = next() % 7; pos < text.size(); pos += 1 + next() % 9) {
            cuts.push_back(pos);
        }
        ASSERT_EQ(ScanPieces(text, cuts), whole) << "round " << round;
        for (std::int64_t p : whole.progress) {
            for (std::int64_t d : whole.durations) {
                if (auto record = ProgressRecord(p, d, 0.001)) {
                    EXPECT_GE(record->Percent, 1);
                    EXPECT_LE(record->Percent, 100);
                }
            }
        }
    }
}
