// https in the client: tunnels through the https proxy, direct TLS, certificate failures and
// relocations between the schemes, against the fixture site's own authority.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QTimer>
#include <string>
#include <vector>

#include "http/HttpProt.h"
#include "tests/support/FixtureSite.h"
#include "tests/support/LoopbackServer.h"

using testsupport::FixtureSite;
using testsupport::Reply;

namespace {

class Https : public ::testing::Test {
protected:
    void SetUp() override {
        const char* old = std::getenv("SSL_CERT_FILE");
        oldCertFile_ = old != nullptr ? std::optional<std::string>(old) : std::nullopt;
        setenv("SSL_CERT_FILE", site.CaFile().c_str(), 1);
        http.RcvdStream = &body;
    }
    void TearDown() override {
        if (oldCertFile_) {
            setenv("SSL_CERT_FILE", oldCertFile_->c_str(), 1);
        } else {
            unsetenv("SSL_CERT_FILE");
        }
    }
    void ThroughTheSite(bool httpToo) {
        http.HttpsProxy = "127.0.0.1:" + std::to_string(site.Port());
        if (httpToo) {
            http.Proxy = http.HttpsProxy;
        }
    }
    // Get; the exception's text, or "" when it returned normally.
    std::string Get(const std::string& url) {
        body.SetSize(0);
        http.URL = url;
        try {
            http.Get();
            return {};
        } catch (const EHttpException& e) {
            return e.what();
        }
    }

    FixtureSite site;
    THttpCli http;
    THttpMemoryStream body;
    std::optional<std::string> oldCertFile_;
};

TEST_F(Https, TunnelsAndCertificatesAsTheUserSeesThem) {
    ThroughTheSite(false);
    http.HttpsProxyUsername = "ann";
    http.HttpsProxyPassword = "s:cret";
    const std::string video(300000, 'v');  // many TLS records
    for (const char* host : {"www.example.com", "expired.example.com", "untrusted.example.com",
                             "othername.example.com"}) {
        site.Route(std::string("https://") + host + "/v.flv", Reply::Body(video, "video/x-flv"));
    }
    struct Row {
        const char* host;
        const char* error;  // "" when the file arrives
        int status;
    };
    const Row rows[] = {
        {"www.example.com", "", 200},
        {"expired.example.com", "the certificate of expired.example.com has expired", 404},
        {"untrusted.example.com", "the certificate of untrusted.example.com is not trusted", 404},
        {"othername.example.com", "the certificate of othername.example.com is for another name",
         404},
        {"refuse.example.com",
         "the proxy refused the tunnel to refuse.example.com:443: 403 Forbidden", 403},
        {"close.example.com", "close.example.com closed the connection before it was secured", 404},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.host);
        site.ClearRequests();
        EXPECT_EQ(Get(std::string("https://") + row.host + "/v.flv"), row.error);
        EXPECT_EQ(http.StatusCode(), row.status);
        EXPECT_EQ(http.RequestDoneError(), *row.error != '\0' ? httperrSecureLink : 0);
        EXPECT_EQ(body.Bytes(), *row.error != '\0' ? "" : video);
        ASSERT_GE(site.RequestCount(), 1u);
        EXPECT_EQ(site.Requests()[0], std::string("CONNECT ") + row.host + ":443 HTTP/1.1");
        EXPECT_EQ(site.Header(0, "Proxy-Authorization"), "Basic YW5uOnM6Y3JldA==");
        if (*row.error == '\0') {
            // Inside the tunnel the request is the origin's, and the proxy's credentials stay out.
            EXPECT_EQ(site.Requests()[1], "GET /v.flv HTTP/1.0");
            EXPECT_EQ(site.Header(1, "Host"), row.host);
            EXPECT_EQ(site.Header(1, "Proxy-Authorization"), "");
        }
    }
}

TEST_F(Https, ManySmallRecordsInOneReadAreAllTaken) {
    ThroughTheSite(false);
    const std::string video = testsupport::PseudoRandomBytes(200000);
    site.Route("https://www.example.com/small", Reply::Body(video, "video/x-flv").Chunked(100));
    EXPECT_EQ(Get("https://www.example.com/small"), "");
    EXPECT_FALSE(http.BodyIncomplete());
    EXPECT_TRUE(body.Bytes() == video);
}

TEST_F(Https, WithoutHttpsProxyHttpsGoesDirectEvenWhenHttpHasAProxy) {
    http.Proxy = "127.0.0.1:1";  // nothing listens there
    site.Route("https://127.0.0.1:" + std::to_string(site.Port()) + "/f", Reply::Body("direct"));
    EXPECT_EQ(Get("https://127.0.0.1:" + std::to_string(site.Port()) + "/f"), "");
    EXPECT_EQ(body.Bytes(), "direct");
    EXPECT_EQ(site.Requests(), std::vector<std::string>{"GET /f HTTP/1.0"});

    // A server that answers in plain HTTP is no secure server: never read as one.
    testsupport::LoopbackServer plain(
        {testsupport::Script().ReadBytes(5).Send("HTTP/1.0 200 OK\r\n\r\nplain").Close()});
    EXPECT_EQ(Get("https://127.0.0.1:" + plain.PortText() + "/"),
              "the secure connection to 127.0.0.1 failed: wrong version number");
    EXPECT_EQ(body.Bytes(), "");
}

TEST_F(Https, RelocationsBetweenTheSchemesTakeTheRouteOfEach) {
    ThroughTheSite(true);
    site.Route("http://www.example.com/a", Reply::Redirect("https://www.example.com/b"));
    site.Route("https://www.example.com/b", Reply::Redirect("http://www.example.com/c"));
    site.Route("http://www.example.com/c", Reply::Body("end"));
    EXPECT_EQ(Get("http://www.example.com/a"), "");
    EXPECT_EQ(body.Bytes(), "end");
    EXPECT_EQ(site.Requests(),
              (std::vector<std::string>{"GET http://www.example.com/a HTTP/1.0",
                                        "CONNECT www.example.com:443 HTTP/1.1", "GET /b HTTP/1.0",
                                        "GET http://www.example.com/c HTTP/1.0"}));

    // A loop between the schemes ends at the limit with the last answer.
    site.Route("http://loop.example.com/", Reply::Redirect("https://loop.example.com/"));
    site.Route("https://loop.example.com/", Reply::Redirect("http://loop.example.com/"));
    site.ClearRequests();
    EXPECT_EQ(Get("http://loop.example.com/"), "");
    EXPECT_EQ(http.StatusCode(), 302);
    EXPECT_EQ(http.LocationChangeCurCount(), http.LocationChangeMaxCount + 1);
}

TEST_F(Https, StopEndsAHandshakeThatNeverFinishes) {
    ThroughTheSite(false);
    int ticks = 0;
    QTimer stop;
    QObject::connect(&stop, &QTimer::timeout, [&] {
        // Well after the tunnel is open and the client's first handshake bytes are out.
        if (site.RequestCount() > 0 && ++ticks == 10) {
            http.Abort();
        }
    });
    stop.start(20);
    EXPECT_EQ(Get("https://hang.example.com/f"), "Connection aborted on request");
    EXPECT_EQ(http.RequestDoneError(), httperrAborted);
    EXPECT_EQ(ticks, 10);
    stop.stop();
    // The client starts the next request as usual.
    site.Route("https://www.example.com/f", Reply::Body("next"));
    EXPECT_EQ(Get("https://www.example.com/f"), "");
    EXPECT_EQ(body.Bytes(), "next");
}

}  // namespace
