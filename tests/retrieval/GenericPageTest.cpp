// The resolver for pages of other sites, as a pure function from page text and address to the
// file it names: one table of page shapes, and the hostile pages it must read in one pass.

#include <gtest/gtest.h>

#include <string>

#include "retrieval/GenericPage.h"

namespace {

using Kind = FoundVideo::Kind;

struct Shape {
    const char* what;
    const char* page;
    int quality;
    Kind kind;
    const char* url;
    const char* fileName;  // nullptr: not checked
};

const char* const kPageUrl = "https://pages.example/show/item.html?id=7";

TEST(ResolveVideoPage, FindsTheFileInEveryPageShape) {
    const Shape shapes[] = {
        {"secure url before url, entities decoded, og:title",
         R"(<meta property="og:title" content="Tom &amp; Jerry: &#8220;Day&#x201D;">
            <meta property="og:video" content="http://cdn.example/v.mp4">
            <meta property="og:video:secure_url" content="https://cdn.example/v.mp4?a=1&amp;b=2">
            <meta property="og:video:type" content="video/mp4">)",
         0, Kind::File, "https://cdn.example/v.mp4?a=1&b=2",
         "Tom & Jerry \xE2\x80\x9C"
         "Day\xE2\x80\x9D.mp4"},
        {"a player page in og:video falls through to <video>",
         R"(<title>
              Clip   of the
              day </title>
            <meta property="og:video:url" content="https://pages.example/embed/7">
            <meta property="og:video:type" content="text/html">
            <video src="/media/clip.webm"></video>)",
         0, Kind::File, "https://pages.example/media/clip.webm", "Clip of the day.webm"},
        {"og:video without a type needs a video extension",
         R"(<meta property="og:video" content="https://pages.example/player?id=7">
            <a href="files/low.ogv">download</a>)",
         0, Kind::File, "https://pages.example/show/files/low.ogv", "low.ogv"},
        {"og:video pointing back at the page is no file",
         R"(<meta property="og:video" content="https://pages.example/show/item.html?id=7#top">
            <meta property="og:video:type" content="video/mp4">)",
         0, Kind::NoVideo, "", nullptr},
        {"JSON-LD VideoObject, with escapes; JSON that is no JSON is skipped",
         R"(<script type="application/ld+json">{"@type": "VideoObject", "contentUrl": </script>
            <script type="application/ld+json">
              {"@type":"VideoObject","name":"x","contentUrl" : "https:\/\/cdn.example\/j\u0073.mkv"}
            </script><video src="late.mp4"></video>)",
         0, Kind::File, "https://cdn.example/js.mkv", "js.mkv"},
        {"sources of three sizes behind a base address: Normal takes the first",
         R"(<base href="https://media.example/v/"><video data-height="360">
            <source src="a360.mp4" type="video/mp4"><source src="a1080.mp4" label="Full 1080p">
            <source src="a720.mp4" size="720"></video>)",
         1, Kind::File, "https://media.example/v/a360.mp4", nullptr},
        {"... and HD takes the one with the most lines",
         R"(<base href="https://media.example/v/"><video data-height="360">
            <source src="a360.mp4" type="video/mp4"><source src="a1080.mp4" label="Full 1080p">
            <source src="a720.mp4" size="720"></video>)",
         2, Kind::File, "https://media.example/v/a1080.mp4", nullptr},
        {"Best compares og:video:height with the page's sources",
         R"(<meta property="og:video" content="https://cdn.example/og.mp4">
            <meta property="og:video:type" content="video/mp4">
            <meta property="og:video:height" content="480">
            <video><source src="/hd.mov" res="1080" type="video/quicktime"></video>)",
         3, Kind::File, "https://pages.example/hd.mov", "hd.mov"},
        {"an audio source and a data: address are no files",
         R"(<video><source src="s.m4a" type="audio/mp4"><source src="data:video/mp4;base64,AA"></video>
            <a href="/about.html">about</a>)",
         0, Kind::NoVideo, "", nullptr},
        {"a manifest only",
         R"(<video><source src="https://cdn.example/live/index.m3u8"
             type="application/x-mpegURL"></video>)",
         0, Kind::ManifestOnly, "https://cdn.example/live/index.m3u8", nullptr},
        {"a manifest beside a file: the file",
         R"(<video><source src="m.mpd"><source src="f.flv?x=1"></video>)", 0, Kind::File,
         "https://pages.example/show/f.flv?x=1", "f.flv"},
        {"type gives the extension; markup in comments and scripts is not read",
         R"(<!-- <video src="c.mp4"> --><script>"<video src='s.mp4'>"</script>
            <video><source src="//cdn.example/stream?id=9" type="video/webm"></video>)",
         0, Kind::File, "https://cdn.example/stream?id=9", "stream.webm"},
        {"unquoted attributes and capitals", R"(<VIDEO SRC=/v/Clip%20One.M4V></VIDEO>)", 0,
         Kind::File, "https://pages.example/v/Clip%20One.M4V", "Clip%20One.m4v"},
        {"no video at all", "<html><title>Nothing</title><p>text</p>", 0, Kind::NoVideo, "",
         nullptr},
    };
    for (const Shape& s : shapes) {
        const FoundVideo found = ResolveVideoPage(s.page, kPageUrl, s.quality);
        EXPECT_EQ(found.kind, s.kind) << s.what;
        EXPECT_EQ(found.url, s.url) << s.what;
        if (s.fileName) {
            EXPECT_EQ(found.fileName, s.fileName) << s.what;
        }
    }
}

TEST(ResolveVideoPage, ReadsHostilePagesWhole) {
    // A hundred thousand sources: Normal takes the first, HD the one with the most lines.
    std::string many = "<video>";
    for (int i = 0; i < 100000; ++i) {
        many += "<source src=\"s" + std::to_string(i) + ".mp4\" height=\"" +
                std::to_string(i % 1000) + "\">";
    }
    EXPECT_EQ(ResolveVideoPage(many, kPageUrl, 0).url, "https://pages.example/show/s0.mp4");
    EXPECT_EQ(ResolveVideoPage(many, kPageUrl, 3).url, "https://pages.example/show/s999.mp4");

    // A 64 MiB attribute, a title of as much, and an unterminated quote: the name still fits.
    const std::string huge(64u << 20, 'x');
    const std::string page = "<title>" + huge + "</title><a title=\"" + huge + "\" href=\"" + huge +
                             ".mp4\"></a><video src=\"ok.webm\"><a href=\"" + huge;
    const FoundVideo found = ResolveVideoPage(page, kPageUrl, 2);
    EXPECT_EQ(found.url, "https://pages.example/show/ok.webm");
    EXPECT_EQ(found.fileName.size(), 255u);
    EXPECT_TRUE(found.fileName.ends_with("xx.webm"));
}

TEST(VideoResponse, TellsAFileFromAPage) {
    struct Case {
        const char* type;
        const char* url;
        bool file;
        const char* extension;
    };
    const Case cases[] = {
        {"video/mp4", "https://h.example/get?id=1", true, ".mp4"},
        {"Video/WebM; codecs=vp9", "https://h.example/x", true, ".webm"},
        {"application/octet-stream", "https://h.example/a.MKV?t=1", true, ".mkv"},
        {"application/octet-stream", "https://h.example/a.bin", false, ".mp4"},
        {"text/html", "https://h.example/a.mp4", false, ".mp4"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsVideoResponse(c.type, c.url), c.file) << c.type << " " << c.url;
        EXPECT_EQ(VideoExtensionFor(c.url, c.type), c.extension) << c.type << " " << c.url;
    }
}

}  // namespace
