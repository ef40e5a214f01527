#include <gtest/gtest.h>

#include "http/HttpUrl.h"

namespace {

TEST(HttpUrl, ParseURLCases) {
    struct Case {
        const char* url;
        const char* current;
        THttpUrlParts want;  // Proto, User, Password, Host, Port, Path
    };
    const Case cases[] = {
        {"", "/old", {"", "", "", "", "", ""}},
        {"http://example.com", "", {"http", "", "", "example.com", "", ""}},
        {"http://example.com/a/b?x=1", "", {"http", "", "", "example.com", "", "/a/b?x=1"}},
        {"HTTP://Example.com:8080/v", "", {"http", "", "", "Example.com", "8080", "/v"}},
        {"http://u:p@h:81/x", "", {"http", "u", "p", "h", "81", "/x"}},
        {"http://user@h/x", "", {"http", "user", "", "h", "", "/x"}},
        {"http://a:b@c@h/x", "", {"http", "a", "b@c", "h", "", "/x"}},
        {"http://u:p@h/x", "", {"http", "u", "p", "h", "", "/x"}},
        {"http://h?q=/a", "", {"http", "", "", "h", "", "?q=/a"}},
        {"ftp://files.example/f", "", {"ftp", "", "", "files.example", "", "/f"}},
        {"svn+ssh://h/r", "", {"svn+ssh", "", "", "h", "", "/r"}},
        {"ht_tp://h/x", "", {"http", "", "", "ht_tp", "", "//h/x"}},
        {"/just/a/path", "/old", {"http", "", "", "", "", "/just/a/path"}},
        {"//cdn.example/v.flv", "", {"http", "", "", "cdn.example", "", "/v.flv"}},
        {"http:/rel/x", "", {"http", "", "", "", "", "/rel/x"}},
        {"mailto:someone@example.com", "", {"mailto", "someone", "", "example.com", "", ""}},
        {"example.com:8080/p", "", {"", "", "", "example.com", "8080", "/p"}},
        {"example.com", "", {"", "", "", "example.com", "", ""}},
        {"./next.html", "/dir/page.html", {"", "", "", "", "", "/dir/next.html"}},
        {"./next.html", "nofolder", {"", "", "", "", "", "/next.html"}},
        {"../up.html", "/a/b/c.html", {"", "", "", "", "", "/a/up.html"}},
        {"../../../top.html", "/a/b/c.html", {"", "", "", "", "", "/top.html"}},
        {"[::1]:80/x", "", {"", "", "", "[::1]", "80", "/x"}},
        {"http://[::1]/x", "", {"http", "", "", "[::1]", "", "/x"}},
        {"http://u:p@[fd00::1]:3128", "", {"http", "u", "p", "[fd00::1]", "3128", ""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        const THttpUrlParts got = ParseURL(c.url, c.current);
        EXPECT_EQ(got.Proto, c.want.Proto);
        EXPECT_EQ(got.User, c.want.User);
        EXPECT_EQ(got.Password, c.want.Password);
        EXPECT_EQ(got.Host, c.want.Host);
        EXPECT_EQ(got.Port, c.want.Port);
        EXPECT_EQ(got.Path, c.want.Path);
    }
}

TEST(HttpUrl, DocNames) {
    const std::pair<const char*, const char*> cases[] = {
        {"/", "document.htm"},
        {"", "document.htm"},
        {"/videos/", "document.htm"},
        {"/videos/?id=3", "document.htm"},
        {"/get_video?video_id=abc&t=1", "get_video"},
        {"/a/b/clip.flv", "clip.flv"},
        {"clip.flv", "clip.flv"},
    };
    for (const auto& [in, want] : cases) {
        EXPECT_EQ(AdjustDocName(in), want) << in;
    }
    EXPECT_EQ(AdjustDocName("/" + std::string(300, 'n')).size(), 255u);
}

TEST(HttpUrl, HtmlDocNames) {
    EXPECT_EQ(HtmlDocName("setup.EXE"), "setup.htm");
    EXPECT_EQ(HtmlDocName("page"), "page.htm");
    EXPECT_EQ(HtmlDocName("clip.flv"), "clip.flv");
}

TEST(HttpUrl, EncodeUrlBytesAndRequestSafety) {
    struct Case {
        std::string in;
        std::string also;
        std::string out;
    };
    const Case cases[] = {
        {"plain-._~!$'()*+,;=:@/?", "", "plain-._~!$'()*+,;=:@/?"},
        {"a b\r\n\t" + std::string(1, '\0') + "\x7F", "", "a%20b%0D%0A%09%00%7F"},
        {"\"<>\\^`{|}", "", "%22%3C%3E%5C%5E%60%7B%7C%7D"},
        {"\xC3\xA9\xFF", "", "%C3%A9%FF"},
        // Escapes stay, so encoding twice changes nothing; a lone "%" is encoded.
        {"%41%zz%4", "", "%41%25zz%254"},
        {"%", "", "%25"},
        {"a&b#c=d", "&#", "a%26b%23c=d"},
        {"a&b#c", "", "a&b#c"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EncodeUrlBytes(c.in, c.also), c.out) << c.in;
        EXPECT_EQ(EncodeUrlBytes(c.out, c.also), c.out) << c.in;
        EXPECT_TRUE(IsRequestSafe(c.out)) << c.out;
    }
    EXPECT_FALSE(IsRequestSafe("a b"));
    EXPECT_TRUE(IsRequestSafe("a b", true));
    EXPECT_FALSE(IsRequestSafe("a\rb", true));
    EXPECT_FALSE(IsRequestSafe(std::string("a\0", 2), true));
    EXPECT_FALSE(IsRequestSafe("\x7F", true));
}

}  // namespace
