// The offline fixture site as the program's client meets it through the proxy setting.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QTimer>
#include <chrono>
#include <thread>

#include "http/HttpProt.h"
#include "tests/support/FixtureSite.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/TempDir.h"

using testsupport::FixtureSite;
using testsupport::Reply;

namespace {

constexpr const char* kAgent = "Mozilla/4.0 (compatible; MSIE 6.0)";

// THttpCli set up as the download window does, with the site as its proxy.
struct ProxyClient {
    THttpCli http;
    THttpMemoryStream body;
    explicit ProxyClient(const FixtureSite& site) {
        http.Agent = kAgent;
        http.Proxy = "127.0.0.1";
        http.ProxyPort = std::to_string(site.Port());
        http.RcvdStream = &body;
    }
    // Get; the exception's code, or 0 when it returned normally.
    int Get(const std::string& url, std::string* message = nullptr) {
        body.SetSize(0);
        http.URL = url;
        try {
            http.Get();
            return 0;
        } catch (const EHttpException& e) {
            if (message != nullptr) {
                *message = e.what();
            }
            return e.ErrorCode();
        }
    }
};

// A plain blocking connection that sends request and reads to the end.
std::string RawExchange(int port, const std::string& request) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    std::string got;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
        char buffer[65536];
        for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) {
            got.append(buffer, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    return got;
}

TEST(FixtureSite, DefaultSiteServesPagesAndVideosByteForByteThroughTheProxy) {
    FixtureSite site;
    const testsupport::DefaultSite d = testsupport::LoadDefaultSite(site);
    ASSERT_EQ(d.flv->substr(0, 3), "FLV");
    ASSERT_EQ(d.mp4->substr(4, 4), "ftyp");
    ASSERT_EQ(d.hdMp4->substr(4, 4), "ftyp");
    ASSERT_NE(*d.mp4, *d.hdMp4);
    EXPECT_EQ(testsupport::ReadFile(d.flvPath), *d.flv);

    auto row = [&](auto pick) -> const testsupport::SitePage& {
        auto it = std::find_if(d.pages.begin(), d.pages.end(), pick);
        EXPECT_NE(it, d.pages.end());
        return *it;
    };
    const auto& hd = row([](const auto& p) { return p.hd && !p.fileAddress.empty(); });
    const auto& sd = row([](const auto& p) { return !p.hd && !p.fileAddress.empty(); });
    const auto& capitals = row([](const auto& p) { return p.fileAddress.starts_with("HTTP://"); });
    // Of two rows with one job address the first is served.
    const auto& shared =
        row([](const auto& p) { return p.pageFile.ends_with("yt_cut_in_token.html"); });

    struct Case {
        std::string url;
        const std::string* want;  // null: an error page
        int code;
    };
    const std::string hdPage = testsupport::ReadFile(hd.pageFile);
    const std::string sharedPage = testsupport::ReadFile(shared.pageFile);
    const Case cases[] = {
        {hd.jobAddress, &hdPage, false},
        {shared.jobAddress, &sharedPage, false},
        {hd.fileAddress, d.flv.get(), false},
        {hd.fileAddress + "&fmt=18", d.mp4.get(), false},
        {hd.fileAddress + "&fmt=22", d.hdMp4.get(), false},
        {sd.fileAddress + "&fmt=22", nullptr, 404},
        {capitals.fileAddress, d.flv.get(), false},
        {"http://www.youtube.com/watch?v=unknown", nullptr, 404},
    };
    ProxyClient c(site);
    for (const auto& k : cases) {
        SCOPED_TRACE(k.url);
        EXPECT_EQ(c.Get(k.url), k.code);
        if (k.want != nullptr) {
            EXPECT_TRUE(c.body.Bytes() == *k.want) << c.body.Bytes().size() << " bytes";
        }
    }
    const auto lines = site.Requests();
    ASSERT_EQ(lines.size(), std::size(cases));
    for (std::size_t i = 0; i < lines.size(); ++i) {
        // The client writes the scheme in lower case; the rest of the address stays as it is.
        EXPECT_EQ(lines[i], "GET http://" + cases[i].url.substr(7) + " HTTP/1.0");
        EXPECT_EQ(site.Header(i, "user-agent"), kAgent);
    }
}

TEST(FixtureSite, MisbehavioursAsTheClientSeesThem) {
    FixtureSite site;
    const std::string body = testsupport::PseudoRandomBytes(200000);
    const std::string base = "http://www.youtube.com/get_video?video_id=";
    site.Route(base + "b", Reply::Redirect(base + "c", 301));
    site.Route(base + "c", Reply::Body(body));

    struct Case {
        const char* name;
        Reply reply;
        int code;
        std::size_t received;   // body bytes the client keeps
        std::int64_t declared;  // Content-Length the client saw
        bool stop;              // Stop pressed once the received bytes are in
    };
    const std::size_t all = body.size();
    const auto declared = static_cast<std::int64_t>(all);
    const std::string status = *Reply::Status(404).body;
    const Case cases[] = {
        {"normal", Reply::Body(body), 0, all, declared, false},
        {"status", Reply::Status(404), 404, status.size(), std::ssize(status), false},
        {"redirect chain", Reply::Redirect(base + "b"), 0, all, declared, false},
        {"chunked", Reply::Body(body).Chunked(7000), 0, all, -1, false},
        {"close-delimited", Reply::Body(body).NoLength(), 0, all, -1, false},
        {"short", Reply::Body(body).ShortAfter(50000), 0, 50000, declared, false},
        {"reset", Reply::Body(body).ResetAfter(50000), 0, 50000, declared, false},
        {"chunked cut", Reply::Body(body).Chunked(7000).CutBeforeLastChunk(), 0, all, -1, false},
        {"stall", Reply::Body(body).StallAfter(1000), 404, 1000, declared, true},
        {"stall before response", Reply::Body(body).StallBeforeResponse(), 404, 0, -1, true},
        {"trickle", Reply::Body(body.substr(0, 10000)).Trickle(1000, 20), 0, 10000, 10000, false},
    };
    ProxyClient c(site);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& k = cases[i];
        SCOPED_TRACE(k.name);
        const std::string url = base + "case" + std::to_string(i) + "&fmt=18";
        site.Route(url, k.reply);
        QTimer stop;
        QObject::connect(&stop, &QTimer::timeout, [&] {
            if (site.RequestCount() > i && c.body.Bytes().size() >= k.received) {
                c.http.Abort();
            }
        });
        if (k.stop) {
            stop.start(10);
        }
        QElapsedTimer clock;
        clock.start();
        std::string message;
        EXPECT_EQ(c.Get(url, &message), k.code) << message;
        EXPECT_EQ(c.body.Bytes().size(), k.received);
        // A redirect's own body never reaches the stream; the final one does.
        const std::string& source = k.reply.location.empty() ? *k.reply.body : body;
        EXPECT_TRUE(c.body.Bytes() == source.substr(0, k.received));
        EXPECT_EQ(c.http.ContentLength(), k.declared);
        if (k.reply.trickleChunk > 0) {
            EXPECT_GE(clock.elapsed(), 9 * k.reply.trickleDelayMs);
        }
    }
    // A stalled reply ends once the client has closed.
    EXPECT_TRUE(testsupport::PumpUntil([&] { return site.OpenConnections() == 0; }, 5000));
}

TEST(FixtureSite, OriginFormIsRoutedByHostAndTheDestructorClosesEverything) {
    const int before = testsupport::OpenFdCount();
    auto site = std::make_unique<FixtureSite>();
    site->Route("http://www.metacafe.com/watch/1/", Reply::Body("page"));
    site->Route("http://video.metacafe.com/hang", Reply::Body("x").StallBeforeResponse());
    const std::string reply = RawExchange(
        site->Port(), "GET /watch/1/ HTTP/1.1\r\nHost: WWW.MetaCafe.com:80\r\nX-Probe: 1\r\n\r\n");
    EXPECT_EQ(reply,
              "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 4\r\n"
              "Connection: close\r\n\r\npage");
    ASSERT_EQ(site->RequestCount(), 1u);
    EXPECT_EQ(site->RecordedRequests()[0].address, "http://www.metacafe.com/watch/1/");
    EXPECT_EQ(site->Headers(0),
              (std::vector<std::string>{"Host: WWW.MetaCafe.com:80", "X-Probe: 1"}));

    // A reply that never comes holds its connection until the site goes.
    std::thread hung(
        [&] { RawExchange(site->Port(), "GET http://video.metacafe.com/hang HTTP/1.0\r\n\r\n"); });
    ASSERT_TRUE(site->WaitForRequests(2));
    // The first exchange's connection ends by itself, a moment after its reply.
    EXPECT_TRUE(testsupport::PumpUntil([&] { return site->OpenConnections() == 1; }, 5000));
    const auto start = std::chrono::steady_clock::now();
    site.reset();
    hung.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(testsupport::OpenFdCount(), before);
}

}  // namespace
