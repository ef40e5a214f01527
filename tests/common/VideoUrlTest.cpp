#include <gtest/gtest.h>

#include <string>

#include "common/Sites.h"
#include "common/VideoUrl.h"

namespace {

struct UrlCase {
    const char* url;
    bool isVideo;
};

TEST(IsVideoUrl, DecidesBySiteAndWatchMarker) {
    const UrlCase cases[] = {
        {"http://www.youtube.com/watch?v=wf6529R24fo", true},
        {"HTTP://WWW.YOUTUBE.COM/WATCH?V=abc", true},
        {"http://youtube.com/user/someone", false},
        {"http://www.youtube.com/", false},
        // "watch" anywhere counts, the query included.
        {"http://www.youtube.com/user/x?feature=watched", true},
        {"http://www.metacafe.com/watch/1234567/funny_cats/", true},
        {"http://www.MetaCafe.com/WATCH/1/", true},
        {"http://www.metacafe.com/", false},
        // Any address on the Google domain, without a path test.
        {"http://video.google.com", true},
        {"google.com", true},
        {"http://VIDEO.GOOGLE.COM/videoplay?docid=1", true},
        // The first site that matches decides: a YouTube address without "watch" is not taken
        // because it also names the Google domain.
        {"http://www.youtube.com/user/google.com", false},
        {"http://www.metacafe.com/channels/google.com", false},
        {"http://example.com/watch?v=abc", false},
        {"http://www.youtube.co/watch?v=abc", false},
        {"", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsVideoUrl(c.url), c.isVideo) << c.url;
    }
}

TEST(IsVideoUrl, AcceptsBytesBeyondAscii) {
    EXPECT_TRUE(IsVideoUrl(std::string("http://www.youtube.com/watch?v=\xC3\xA9\0x", 35)));
    EXPECT_FALSE(IsVideoUrl(std::string("\xFF\xFE\0", 3)));
}

struct NormalizeCase {
    const char* url;
    std::string expected;
};

const std::string kPrefix(sites::kCanonicalWatchPrefix);

TEST(NormalizeVideoUrl, LeavesAddressesWithoutARuleAlone) {
    const NormalizeCase cases[] = {
        {"", ""},
        // Other sites are never rewritten, whatever they hold.
        {"http://video.google.com/watch_videos?video_ids=A%2CB",
         "http://video.google.com/watch_videos?video_ids=A%2CB"},
        {"http://www.metacafe.com/watch?feature=x&v=ID",
         "http://www.metacafe.com/watch?feature=x&v=ID"},
        // Already single-video: byte for byte, further parameters and fragment included.
        {"http://www.youtube.com/watch?v=Ab_C-9&feature=related#t=1m",
         "http://www.youtube.com/watch?v=Ab_C-9&feature=related#t=1m"},
        {"HTTP://YOUTUBE.COM/WATCH?V=aB", "HTTP://YOUTUBE.COM/WATCH?V=aB"},
        // A watch address without any video key.
        {"http://www.youtube.com/watch?feature=x", "http://www.youtube.com/watch?feature=x"},
        // No watch path at all.
        {"http://www.youtube.com/user/someone?v=3", "http://www.youtube.com/user/someone?v=3"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(NormalizeVideoUrl(c.url), c.expected) << c.url;
    }
}

TEST(NormalizeVideoUrl, MovesTheVideoKeyRightAfterTheWatchPath) {
    const NormalizeCase cases[] = {
        {"http://www.youtube.com/watch?feature=X&v=ID&list=Z",
         "http://www.youtube.com/watch?v=ID&list=Z"},
        {"http://www.youtube.com/watch#!v=ID&feature=related",
         "http://www.youtube.com/watch?v=ID&feature=related"},
        // Case of the keys does not matter; copied parts keep theirs.
        {"http://WWW.YouTube.COM/Watch?Feature=x&V=IdCase",
         "http://WWW.YouTube.COM/Watch?V=IdCase"},
        {"https://m.youtube.com/watch?app=desktop&v=q1", "https://m.youtube.com/watch?v=q1"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(NormalizeVideoUrl(c.url), c.expected) << c.url;
    }
}

TEST(NormalizeVideoUrl, ReducesAPlaylistToOneVideo) {
    const std::string base = "http://www.youtube.com/watch_videos?";
    const NormalizeCase cases[] = {
        {"http://www.youtube.com/watch_videos?index=2&video_ids=A%2CB%2CC", kPrefix + "C"},
        {"http://www.youtube.com/watch_videos?index=1&video_ids=A%2CB%2CC", kPrefix + "B"},
        // Past the end of the list: the last id.
        {"http://www.youtube.com/watch_videos?index=7&video_ids=A%2CB%2CC", kPrefix + "C"},
        // The id before a following parameter.
        {"http://www.youtube.com/watch_videos?index=1&video_ids=A%2CB&feature=x", kPrefix + "B"},
        // Keys and separator ignore case in the index rule; the id keeps its case.
        {"http://www.youtube.com/WATCH_VIDEOS?INDEX=1&VIDEO_IDS=aa%2cBb%2ccc", kPrefix + "Bb"},
        {"http://www.youtube.com/watch_videos?video_ids=A%2CB", kPrefix + "A"},
        {"http://www.youtube.com/watch_videos?video_ids=A&feature=X", kPrefix + "A&feature=X"},
        // Without an index the separator is matched exactly: a lower-case one does not cut.
        {"http://www.youtube.com/watch_videos?video_ids=A%2cB", kPrefix + "A%2cB"},
        {"http://www.youtube.com/watch_videos?feature=x", kPrefix},
        {"http://www.youtube.com/watch_videos", kPrefix},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(NormalizeVideoUrl(c.url), c.expected) << c.url;
    }
}

// An index given as the last parameter still selects its video, and an index that names no later
// video (0, negative, not a number) selects the first of the list.
TEST(NormalizeVideoUrl, PlaylistIndexWithoutFollowingParameterOrBelowOne) {
    const NormalizeCase cases[] = {
        {"http://www.youtube.com/watch_videos?video_ids=A%2CB%2CC&index=2", kPrefix + "C"},
        {"http://www.youtube.com/watch_videos?video_ids=A%2CB%2CC&index=1", kPrefix + "B"},
        {"http://www.youtube.com/watch_videos?index=0&video_ids=A%2CB%2CC", kPrefix + "A"},
        {"http://www.youtube.com/watch_videos?index=-4&video_ids=A%2CB%2CC", kPrefix + "A"},
        {"http://www.youtube.com/watch_videos?index=two&video_ids=A%2CB%2CC", kPrefix + "A"},
        {"http://www.youtube.com/watch_videos?video_ids=A%2CB%2CC&index=", kPrefix + "A"},
        {"http://www.youtube.com/watch_videos?index=99999999999999&video_ids=A%2CB", kPrefix + "A"},
        {"http://www.youtube.com/watch_videos?index=0", kPrefix},
    };
    for (const auto& c : cases) {
        const std::string result = NormalizeVideoUrl(c.url);
        EXPECT_EQ(result, c.expected) << c.url;
        EXPECT_TRUE(IsVideoUrl(result)) << result;
    }
}

}  // namespace
