#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/Global.h"
#include "retrieval/TransferProgress.h"

using namespace transfer;

namespace {

TEST(TransferProgress, QualityPicksTheAddressOnEverySite) {
    struct Case {
        int quality;
        bool hd;
        const char* url;
    };
    const std::string base = "http://video.metacafe.com/ItemFiles/a.flv";
    const Case cases[] = {
        {0, true, ""},        {1, false, "&fmt=18"}, {1, true, "&fmt=18"}, {2, false, "&fmt=18"},
        {2, true, "&fmt=22"}, {3, false, "&fmt=18"}, {3, true, "&fmt=22"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(QualityUrl(c.quality, base, c.hd), base + c.url) << c.quality << c.hd;
    }
}

TEST(TransferProgress, ExtensionsAndNames) {
    EXPECT_EQ(ReplaceExtension("/v/Cats & Dogs.flv", ".mp4"), "/v/Cats & Dogs.mp4");
    EXPECT_EQ(ReplaceExtension("/v/GoogleVideo17", ".mp4"), "/v/GoogleVideo17.mp4");
    EXPECT_EQ(ReplaceExtension("/v.d/name", ".flv"), "/v.d/name.flv");
    EXPECT_EQ(ReplaceExtension("/v/a.b.mp4", ".flv"), "/v/a.b.flv");
    EXPECT_EQ(ReplaceExtension("/v/.flv", ".mp4"), "/v/.mp4");
    EXPECT_EQ(FileNamePart("/v/w/x y.flv"), "x y.flv");
    EXPECT_EQ(FileNamePart("plain"), "plain");
}

TEST(TransferProgress, ContentLengthIsTheFirstExactLine) {
    using Lines = std::vector<std::string>;
    struct Case {
        Lines lines;
        std::optional<std::int64_t> length;
    };
    const Case cases[] = {
        {{"HTTP/1.0 200 OK"}, std::nullopt},
        {{"HTTP/1.0 200 OK", "Content-Length: 2097152"}, 2097152},
        {{"Content-Length: 5", "Content-Length: 9"}, 5},
        {{"content-length: 5"}, std::nullopt},
        {{"Content-Length : 5"}, std::nullopt},
        {{"Content-Length: abc"}, std::nullopt},
        {{"Content-Length: -3"}, std::nullopt},
        {{"Content-Length:"}, std::nullopt},
        {{"Content-Length:  7 "}, 7},
        {{"Content-Length: 5000000000"}, 5000000000},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ContentLengthOf(c.lines), c.length) << (c.lines.empty() ? "" : c.lines.back());
    }
}

TEST(TransferProgress, LabelTexts) {
    const std::string total = FormatSizeKB(2097152) + " KB";
    EXPECT_EQ(ReceivedText(1048577, total), "1,025 KB of 2,048 KB received");
    // The first transfer of a run has no total before its header names one.
    EXPECT_EQ(ReceivedText(1000, ""), "1 KB of  received");
    EXPECT_EQ(SpeedText(2 * 1024 * 1024, 2000), "1024.0 KB/S");
    EXPECT_EQ(SpeedText(1536, 3000), "0.5 KB/S");
    EXPECT_EQ(SpeedText(0, 2000), "0.0 KB/S");
    EXPECT_EQ(ClockText(0), "00:00:00");
    EXPECT_EQ(ClockText(3 * 3600 + 7 * 60 + 9), "03:07:09");
    EXPECT_EQ(ClockText(125 * 3600 + 59), "125:00:59");
}

TEST(TransferProgress, TimeRemainingOfTheLastSample) {
    // 1 MiB of 10 MiB arrived, the last 512 KiB in 2 s: 9 MiB more at 256 KiB/s.
    EXPECT_EQ(SecondsRemaining(10 << 20, 1 << 20, 512 << 10, 2000), 36);
    EXPECT_EQ(SecondsRemaining(100, 100, 50, 2500), 0);
    // Nothing new since the sample began: no figure rather than a division by zero.
    EXPECT_EQ(SecondsRemaining(100, 50, 50, 2000), std::nullopt);
    // Past 4 GiB the arithmetic stays 64-bit.
    EXPECT_EQ(SecondsRemaining(8LL << 30, 4LL << 30, (4LL << 30) - (1 << 30), 2000), 8);
}

}  // namespace

TEST(TransferProgress, AServersReasonNeverSplitsOrEndsAnErrorLineWithControlBytes) {
    const std::pair<const char*, const char*> cases[] = {
        {"404 Not Found", "404 Not Found"},
        {"404 Not\r\nFound\r\n", "404 Not Found"},
        {"\r\n\t", ""},
        {"a\x7f\x01"
         "b",
         "a b"},
    };
    for (auto [reason, shown] : cases) {
        EXPECT_EQ(transfer::ShownReason(reason), shown) << reason;
    }
}
