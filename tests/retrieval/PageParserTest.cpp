#include <gtest/gtest.h>

#include <set>
#include <string>

#include "retrieval/PageParser.h"

namespace {

const std::string kYouTubeJob = "http://www.youtube.com/watch?v=VID123";
const std::string kMetacafeJob = "http://www.metacafe.com/watch/1234/some_clip/";
const std::string kGoogleJob = "http://video.google.com/videoplay?docid=-55";

// A page that resolves on the first pass: token, HD marker, no title.
const std::string kResolvingYouTubeBody = R"({"t": "TOK", "IS_HD_AVAILABLE": false})";
const std::string kYouTubeFileUrl = "http://www.youtube.com/get_video?video_id=VID123&t=TOK";

const std::string kAgeMessage =
    "This video may contain content that is inappropriate for some users, as flagged by "
    "YouTube\"s user commnunity. To view this video, please verify you are 18 or older by "
    "logging in or signing up.\r\n\r\nPlease log in your account on Internet Explorer firstly. "
    "You need to check the option \"Stay signed in\". It\"s better to change the YouTube show "
    "languages to English. Then download the video again.";

// A literal with its NUL bytes.
template <std::size_t N>
std::string Bytes(const char (&literal)[N]) {
    return std::string(literal, N - 1);
}

PassResult Pass(const std::string& page, const std::string& job, PageState state = {}) {
    return ParsePage(page, job, std::move(state), [] { return 12345u; });
}

// ---- YouTube: gates ----

TEST(YouTubePage, AgeGatesStopTheRunWithTheAgeMessage) {
    const char* gates[] = {
        "<h2>Please Confirm Birth Date</h2>",
        "CONFIRM BIRTH DATE",
        "To view it, Please verify you are 18 or older.",
        "<a href=\"/verify_age?next=1\">go</a> you must be 18",
        "18+ only <form action=\"/VERIFY_AGE\">",
        // A gate beats the unavailable notice and a page that would resolve.
        "confirm birth date. This functionality is not available right now",
    };
    for (const char* gate : gates) {
        const std::string page = std::string(gate) + kResolvingYouTubeBody;
        PageState before;
        before.eFileName = "kept.flv";
        const PassResult r = Pass(page, kYouTubeJob, before);
        EXPECT_EQ(r.outcome, PassOutcome::StopRun) << gate;
        EXPECT_EQ(r.message, kAgeMessage) << gate;
        EXPECT_TRUE(r.state.eDownloadUrl.empty()) << gate;
        EXPECT_EQ(r.state.eFileName, "kept.flv") << gate;
    }
}

TEST(YouTubePage, UnavailableNoticeGivesUpTheAttemptSilently) {
    for (const char* notice : {"This functionality is not available right now.",
                               "THIS FUNCTIONALITY IS NOT AVAILABLE RIGHT NOW"}) {
        const PassResult r =
            Pass(std::string(notice) + "<title>YouTube - X</title>" + kResolvingYouTubeBody,
                 kYouTubeJob);
        EXPECT_EQ(r.outcome, PassOutcome::GiveUpAttempt) << notice;
        EXPECT_TRUE(r.message.empty());
        EXPECT_TRUE(r.state.eDownloadUrl.empty());
        EXPECT_TRUE(r.state.eFileName.empty());
    }
}

// ---- YouTube: high definition ----

TEST(YouTubePage, HdMarkerLooksTenCharactersAhead) {
    struct Case {
        std::string afterMarker;
        bool hd;
    };
    const Case cases[] = {
        {"\": true}", true},
        {"=TRUE", true},
        {"': True,", true},
        {"      true", true},    // "true" ends on the tenth character
        {"       true", false},  // one further: out of reach
        {"\": false, \"x\": true", false},
        {"\": 1", false},
        {"", false},  // marker at the very end of the text
        {"tru", false},
    };
    for (const auto& c : cases) {
        const std::string page = "{\"t\": \"TOK\"} IS_HD_AVAILABLE" + c.afterMarker;
        const PassResult r = Pass(page, kYouTubeJob);
        EXPECT_EQ(r.state.HDAvailable, c.hd) << c.afterMarker;
        // The marker's presence alone ends the polling.
        EXPECT_EQ(r.outcome, PassOutcome::Resolved) << c.afterMarker;
    }
}

TEST(YouTubePage, HdMarkerIsCaseSensitive) {
    const PassResult r = Pass("{\"t\": \"TOK\"} is_hd_available: true", kYouTubeJob);
    EXPECT_FALSE(r.state.HDAvailable);
    EXPECT_EQ(r.outcome, PassOutcome::PollAgain);
}

TEST(YouTubePage, HdFlagIsNeverClearedWithinAJob) {
    PageState state;
    state.HDAvailable = true;
    PassResult r = Pass("{\"t\": \"TOK\"} IS_HD_AVAILABLE: false", kYouTubeJob, state);
    EXPECT_TRUE(r.state.HDAvailable);
    // A flag set on an earlier pass also ends the polling without the marker on this one.
    r = Pass("{\"t\": \"TOK\"}", kYouTubeJob, r.state);
    EXPECT_TRUE(r.state.HDAvailable);
    EXPECT_EQ(r.outcome, PassOutcome::Resolved);
}

TEST(YouTubePage, WithoutHdMarkerTheBuiltAddressIsKeptButPollingGoesOn) {
    PassResult r = Pass("{\"t\": \"TOK\"}", kYouTubeJob);
    EXPECT_EQ(r.outcome, PassOutcome::PollAgain);
    EXPECT_EQ(r.state.eDownloadUrl, kYouTubeFileUrl);
    // The next pass does not rebuild it, even from a page with another token.
    r = Pass("{\"t\": \"OTHER\"} IS_HD_AVAILABLE", kYouTubeJob, r.state);
    EXPECT_EQ(r.outcome, PassOutcome::Resolved);
    EXPECT_EQ(r.state.eDownloadUrl, kYouTubeFileUrl);
}

// ---- YouTube: titles ----

TEST(YouTubePage, TitleForms) {
    struct Case {
        std::string page;
        std::string before;
        std::string name;
    };
    const Case cases[] = {
        {"<title>YouTube - Tom &amp; Jerry</title>", "", "Tom & Jerry.flv"},
        // The first form wins over the others and replaces a name of an earlier pass.
        {"<title>YouTube - First</title><meta name=\"title\" content=\"Second\">", "", "First.flv"},
        {"<title>YouTube - New</title>", "Old.flv", "New.flv"},
        // Its end is "/title>"; a "<" right before it is not part of the title.
        {"<title>YouTube - Odd/title>", "", "Odd.flv"},
        // A title that leaves no name gives the video's id.
        {"<title>YouTube - </title>", "", "VID123.flv"},
        {"<title>YouTube - &quot;&nbsp;?</title>", "", "VID123.flv"},
        // Without an end the first form gives nothing and the next forms are tried.
        {"<title>YouTube - Open end <meta name=\"title\" content=\"Meta: Title\">", "",
         "Meta Title.flv"},
        {"<meta name=\"title\" content=\"A &quot;quoted&quot; one\">", "", "A quoted one.flv"},
        // Second form without a closing quote: the rest of the page.
        {"<meta name=\"title\" content=\"Rest of page", "", "Rest of page.flv"},
        {"<meta name=\"title\" content=\"", "", ""},
        {"<meta name=\"title\" content=\"\"", "", "VID123.flv"},
        // A title of megabytes is cut to what a file name holds.
        {"<title>YouTube - " + std::string(1 << 20, 'x') + "</title>", "",
         std::string(251, 'x') + ".flv"},
        {"<head><title>Third / form</title>", "", "Third  form.flv"},
        {"<title>unterminated", "", ""},
        // A name from an earlier pass blocks the second and third forms.
        {"<meta name=\"title\" content=\"Second\"><title>Third</title>", "Earlier.flv",
         "Earlier.flv"},
        // A name without ".flv" does not.
        {"<title>Third</title>", "get_video", "Third.flv"},
        {"<TITLE>YouTube - upper</TITLE>", "", ""},
    };
    for (const auto& c : cases) {
        PageState state;
        state.eFileName = c.before;
        const PassResult r = Pass(kResolvingYouTubeBody + c.page, kYouTubeJob, state);
        EXPECT_EQ(r.state.eFileName, c.name) << c.page;
    }
}

TEST(YouTubePage, TitleThatLeavesNoNameGivesTheIdOrANumberedFallback) {
    struct Case {
        std::string job;
        std::int32_t number;
        std::string name;
    };
    const Case cases[] = {
        {"http://www.youtube.com/watch?v=ab/c:d&feature=x", 2, "abcd.flv"},
        {"http://www.youtube.com/watch?v=", 3, "video 3.flv"},
        {"http://www.youtube.com/watch?v=", 0, "video.flv"},
        {"http://www.youtube.com/watch?v=.hidden", 4, "video 4.flv"},
    };
    for (const auto& c : cases) {
        PageState state;
        state.JobNumber = c.number;
        const PassResult r =
            Pass("<title>YouTube - &lt;&gt;</title>" + kResolvingYouTubeBody, c.job, state);
        EXPECT_EQ(r.state.eFileName, c.name) << c.job;
    }
}

// ---- YouTube: the file address ----

TEST(YouTubePage, RequestToken) {
    struct Case {
        std::string page;
        std::string token;  // empty: no address, polling goes on
    };
    const Case cases[] = {
        {"{\"t\": \"vjVQa1PpcFN\"}", "vjVQa1PpcFN"},
        {"{\"t\":\"close\"}", "close"},
        {"{\"t\": \"\"}", ""},
        {"flashvars=\"a=1&t=ParamTok&b=2\"", "ParamTok"},
        // The quoted form is used when both are present, wherever they stand.
        {"a=1&t=ParamTok&b {\"t\": \"QuotedTok\"}", "QuotedTok"},
        // The token is whatever the next two quotes enclose.
        {"{\"t\": 5, \"u\": \"next\"}", "u"},
        // Encoded so that it stays one value of the request line; escapes already there stay.
        {"{\"t\": \"tok HTTP/1.1\r\nHost: intranet.example\r\n\r\nGET http://i/admin\"}",
         "tok%20HTTP/1.1%0D%0AHost:%20intranet.example%0D%0A%0D%0AGET%20http://i/admin"},
        {"{\"t\": \"a&fmt=22#x%3D%zz\x7F\xC3\xA9\"}", "a%26fmt=22%23x%3D%25zz%7F%C3%A9"},
    };
    for (const auto& c : cases) {
        const PassResult r = Pass(c.page + " IS_HD_AVAILABLE", kYouTubeJob);
        EXPECT_EQ(r.outcome, PassOutcome::Resolved) << c.page;
        EXPECT_EQ(r.state.eDownloadUrl,
                  "http://www.youtube.com/get_video?video_id=VID123&t=" + c.token)
            << c.page;
    }
    const char* incomplete[] = {
        "IS_HD_AVAILABLE",
        "IS_HD_AVAILABLE {\"t\": ",
        "IS_HD_AVAILABLE {\"t\": \"open",
        "IS_HD_AVAILABLE a=1&t=NoEnd",
        // A broken quoted form is not rescued by the other form.
        "IS_HD_AVAILABLE &t=Param&x {\"t\": \"open",
        "IS_HD_AVAILABLE \"t\"",
        "IS_HD_AVAILABLE &t",
    };
    for (const char* page : incomplete) {
        const PassResult r = Pass(page, kYouTubeJob);
        EXPECT_EQ(r.outcome, PassOutcome::PollAgain) << page;
        EXPECT_TRUE(r.state.eDownloadUrl.empty()) << page;
    }
}

TEST(YouTubePage, VideoIdComesFromTheJobAddress) {
    struct Case {
        std::string job;
        std::string id;
    };
    const Case cases[] = {
        {"http://www.youtube.com/watch?v=abc", "abc"},
        {"http://www.youtube.com/watch?v=abc&feature=related", "abc"},
        {"http://www.youtube.com/watch?v=abc&FeAtUrE=related&x=1", "abc"},
        {"http://www.youtube.com/watch?v=abc&fmt=18", "abc&fmt=18"},
        {"http://www.youtube.com/watch?v=", ""},
        {"http://www.youtube.com/watch?v=a b<", "a%20b%3C"},
    };
    for (const auto& c : cases) {
        const PassResult r = Pass(kResolvingYouTubeBody, c.job);
        EXPECT_EQ(r.outcome, PassOutcome::Resolved) << c.job;
        EXPECT_EQ(r.state.eDownloadUrl,
                  "http://www.youtube.com/get_video?video_id=" + c.id + "&t=TOK")
            << c.job;
    }
    const PassResult r = Pass(kResolvingYouTubeBody, "http://www.youtube.com/watch");
    EXPECT_EQ(r.outcome, PassOutcome::PollAgain);
    EXPECT_TRUE(r.state.eDownloadUrl.empty());
}

TEST(YouTubePage, OnlyTheYouTubeBranchRunsForAYouTubeJob) {
    // The page mentions the other sites' markers; mode and names stay YouTube's.
    const std::string page =
        "<title>YouTube - Mixed</title> %2520other.flv "
        "<a href=\"http://vp.video.google.com/x\">this link</a>" +
        kResolvingYouTubeBody;
    PageState state;
    state.Mode = 1;
    const PassResult r = Pass(page, kYouTubeJob, state);
    EXPECT_EQ(r.outcome, PassOutcome::Resolved);
    EXPECT_EQ(r.state.Mode, 1);
    EXPECT_EQ(r.state.eFileName, "Mixed.flv");
    EXPECT_EQ(r.state.eDownloadUrl, kYouTubeFileUrl);
}

// ---- Metacafe ----

const std::string kMetacafeFilePrefix =
    "http://video.metacafe.com/ItemFiles/%5BFrom%20www.metacafe.com%5D%20";

TEST(MetacafePage, NameAndFileAddress) {
    struct Case {
        std::string page;
        std::string name;
        std::string filePart;  // empty: polling goes on
    };
    const Case cases[] = {
        {"<title> My Clip - Video</title> x%2520From%2520site%255D%2520my_clip.flv&y",
         "My Clip.flv", "my_clip.flv"},
        // Caseless title markers; no entity decoding.
        {"<TITLE>\tA &amp; B\x01 - VIDEO</TITLE>%2520a.FLV", "A &amp; B.flv", "a.FLV"},
        // No title: the file part names the file.
        {"<title>Site</title> %2520one%2520two.flv", "two.flv", "two.flv"},
        // The last "%2520" before the first ".flv"; later ones do not count.
        {"%2520a%2520b%2520c.flv%2520d.flv", "c.flv", "c.flv"},
        {"%2520.flv", ".flv", ".flv"},
        {"%2520%2520x.flv", "x.flv", "x.flv"},
        // The first "%2520" after the first ".flv".
        {"<title>T - Video</title> preview.flv then %2520clip.flv", "T.flv", ""},
        {"<title>T - Video</title> nothing yet %2520", "T.flv", ""},
        {"<title>T - Video</title> clip.flv only", "T.flv", ""},
        {"", "", ""},
        // A title that leaves no name gives way to the file part; a long one is cut.
        {"<title> ?* - Video</title>%2520a b.flv", "a b.flv", "a%20b.flv"},
        {"<title>" + std::string(300, 'T') + " - Video</title>%2520a.flv",
         std::string(251, 'T') + ".flv", "a.flv"},
        {"%2520" + std::string(300, 'n') + ".flv", std::string(251, 'n') + ".flv",
         std::string(300, 'n') + ".flv"},
    };
    for (const auto& c : cases) {
        const PassResult r = Pass(c.page, kMetacafeJob);
        EXPECT_EQ(r.state.eFileName, c.name) << c.page;
        if (c.filePart.empty()) {
            EXPECT_EQ(r.outcome, PassOutcome::PollAgain) << c.page;
            EXPECT_TRUE(r.state.eDownloadUrl.empty()) << c.page;
        } else {
            EXPECT_EQ(r.outcome, PassOutcome::Resolved) << c.page;
            EXPECT_EQ(r.state.eDownloadUrl, kMetacafeFilePrefix + c.filePart) << c.page;
        }
    }
}

TEST(MetacafePage, NameOfAnEarlierPassIsDropped) {
    PageState state;
    state.eFileName = "Earlier.flv";
    PassResult r = Pass("%2520part.flv", kMetacafeJob, state);
    EXPECT_EQ(r.state.eFileName, "part.flv");
    r = Pass("still loading", kMetacafeJob, r.state);
    EXPECT_EQ(r.state.eFileName, "");
}

// ---- Google Video ----

TEST(GoogleVideoPage, ResolvesFromTheProxyLinkAndTurnsConversionOff) {
    const std::string page =
        "<Title> River  </TITLE><a href=\"http://www.google.com/\">this link</a>"
        "<a HREF=\"HTTP://VP.VIDEO.GOOGLE.COM/videodownload?d=1&s=2\">This Link</a>";
    PageState state;
    state.Mode = 1;
    const PassResult r = Pass(page, kGoogleJob, state);
    EXPECT_EQ(r.outcome, PassOutcome::Resolved);
    EXPECT_EQ(r.state.Mode, 0);
    EXPECT_EQ(r.state.eFileName, "River.mp4");
    EXPECT_EQ(r.state.eDownloadUrl, "HTTP://VP.VIDEO.GOOGLE.COM/videodownload?d=1&s=2");

    // The link is the page's: what may not stand in a request line is encoded. A title that
    // leaves no name gives the fallback name.
    const PassResult odd =
        Pass("<title> :?</title><a href=\"http://vp.video.google.com/v d\r\nX: 1\">this link</a>",
             kGoogleJob);
    EXPECT_EQ(odd.state.eDownloadUrl, "http://vp.video.google.com/v%20d%0D%0AX:%201");
    EXPECT_EQ(odd.state.eFileName.rfind("GoogleVideo", 0), 0u) << odd.state.eFileName;
}

TEST(GoogleVideoPage, PollsUntilTheLinkIsComplete) {
    const char* pages[] = {
        "",
        "<title>T</title>",
        "<a href=\"http://vp.video.google.com/x\">download</a>",
        "<a href=\"http://www.google.com/x\">this link</a>",
        "<a href= \"http://vp.video.google.com/x\">this link</a>",
        "<a href=\"http://vp.video.google.com/x\">this lin",
    };
    for (const char* page : pages) {
        PageState state;
        state.Mode = 1;
        const PassResult r = Pass(page, kGoogleJob, state);
        EXPECT_EQ(r.outcome, PassOutcome::PollAgain) << page;
        EXPECT_EQ(r.state.Mode, 0) << page;
        EXPECT_TRUE(r.state.eDownloadUrl.empty()) << page;
    }
}

TEST(GoogleVideoPage, FallbackNameIsARandomNumberFromTheGivenSeed) {
    const std::string page = "<a href=\"http://vp.video.google.com/f\">this link</a>";
    std::set<std::string> names;
    for (std::uint32_t seed = 0; seed < 3000; ++seed) {
        const PassResult r = ParsePage(page, kGoogleJob, {}, [seed] { return seed; });
        const std::string& name = r.state.eFileName;
        ASSERT_EQ(name.rfind("GoogleVideo", 0), 0u) << name;
        const std::string digits = name.substr(11);
        ASSERT_FALSE(digits.empty());
        ASSERT_LE(digits.size(), 3u) << name;
        ASSERT_EQ(digits.find_first_not_of("0123456789"), std::string::npos) << name;
        ASSERT_LE(std::stoi(digits), 255) << name;
        // The same seed gives the same name.
        ASSERT_EQ(ParsePage(page, kGoogleJob, {}, [seed] { return seed; }).state.eFileName, name);
        names.insert(name);
    }
    // The number spreads over its range instead of sticking to a few values.
    EXPECT_GT(names.size(), 200u);
    EXPECT_TRUE(names.count("GoogleVideo0") || names.count("GoogleVideo255"));
}

TEST(GoogleVideoPage, FallbackNameIsMadeOnceAndOnlyWithoutATitle) {
    int asked = 0;
    const SeedSource counting = [&asked] {
        ++asked;
        return 7u;
    };
    PassResult r = ParsePage("<title>Named</title>", kGoogleJob, {}, counting);
    EXPECT_EQ(r.state.eFileName, "Named.mp4");
    EXPECT_EQ(asked, 0);

    r = ParsePage("no title", kGoogleJob, {}, counting);
    EXPECT_EQ(asked, 1);
    const std::string fallback = r.state.eFileName;
    r = ParsePage("no title yet", kGoogleJob, r.state, counting);
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(r.state.eFileName, fallback);
    // A title that shows up later replaces the fallback.
    r = ParsePage("<title>Late</title>", kGoogleJob, r.state, counting);
    EXPECT_EQ(r.state.eFileName, "Late.mp4");
}

// ---- Any site ----

TEST(AnySite, AddressOfNoServedSiteLeavesEverythingAsItWas) {
    PageState state;
    state.eFileName = "x";
    state.Mode = 1;
    const PassResult r = Pass("<title>YouTube - T</title>" + kResolvingYouTubeBody,
                              "http://example.org/watch?v=1", state);
    EXPECT_EQ(r.outcome, PassOutcome::PollAgain);
    EXPECT_EQ(r.state.eFileName, "x");
    EXPECT_EQ(r.state.Mode, 1);
}

TEST(AnySite, NulBytesAreOrdinaryBytes) {
    const std::string page =
        Bytes("\0\0<title>YouTube - A\0B</title>\0{\"t\": \"T\0K\"}\0IS_HD_AVAILABLE\0true");
    const PassResult r = Pass(page, kYouTubeJob);
    EXPECT_EQ(r.outcome, PassOutcome::Resolved);
    EXPECT_TRUE(r.state.HDAvailable);
    EXPECT_EQ(r.state.eFileName, "AB.flv");
    EXPECT_EQ(r.state.eDownloadUrl, "http://www.youtube.com/get_video?video_id=VID123&t=T%00K");
}

TEST(AnySite, MarkersAtTheEndOfAMultiMegabytePage) {
    std::string filler;
    filler.reserve(8u << 20);
    while (filler.size() < (8u << 20)) {
        filler += "<div class=\"row\"><a href=\"/watch?v=x\">related &amp; more</a></div>\n";
    }
    PassResult r = Pass(filler + "<title>YouTube - Big</title>{\"t\": \"END\"}IS_HD_AVAILABLE=true",
                        kYouTubeJob);
    EXPECT_EQ(r.outcome, PassOutcome::Resolved);
    EXPECT_TRUE(r.state.HDAvailable);
    EXPECT_EQ(r.state.eFileName, "Big.flv");
    EXPECT_EQ(r.state.eDownloadUrl, "http://www.youtube.com/get_video?video_id=VID123&t=END");

    r = Pass(filler + "<title>Big - Video</title>%2520big.flv", kMetacafeJob);
    EXPECT_EQ(r.outcome, PassOutcome::Resolved);
    EXPECT_EQ(r.state.eDownloadUrl, kMetacafeFilePrefix + "big.flv");

    r = Pass(filler + "<a href=\"http://vp.video.google.com/big\">this link", kGoogleJob);
    EXPECT_EQ(r.outcome, PassOutcome::Resolved);
    EXPECT_EQ(r.state.eDownloadUrl, "http://vp.video.google.com/big");
}

}  // namespace
