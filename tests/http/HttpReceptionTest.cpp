#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/HttpReception.h"
#include "tests/http/HttpCorpus.h"

namespace {

// Plays the client's part with the least logic: it records what the engine reports.
class Recorder : public THttpReception::Listener {
public:
    THttpState state = httpWaitingHeader;
    std::vector<std::string> events;
    std::string body;
    std::vector<std::string> locations, cookies;
    std::string range;
    int headerBegin = 0, headerEnd = 0, docBegin = 0, docEnd = 0, ended = 0, failed = 0;
    int received = 0, pushes = 0, readies = 0;
    bool locationFlag = false;

    THttpState State() const override { return state; }
    void SetState(THttpState s) override { state = s; }
    bool LocationFlag() const override { return locationFlag; }
    void BytesReceived(int count) override { received += count; }
    void HeaderBegin() override { ++headerBegin; }
    void HeaderData() override { events.push_back("data"); }
    void HeaderEnd() override { ++headerEnd; }
    void DataPush(std::uint16_t) override { ++pushes; }
    void DataPush2() override { events.push_back("push2"); }
    void LocationHeader(const std::string& v) override { locations.push_back(v); }
    void CookieHeader(const std::string& v) override { cookies.push_back(v); }
    void ContentRange(const std::string& b, const std::string& e) override { range = b + "|" + e; }
    void BodyFollows() override { events.push_back("follows"); }
    void DocBegin() override { ++docBegin; }
    void DocData(const char* d, std::size_t n) override { body.append(d, n); }
    void DocEnd() override { ++docEnd; }
    void ResponseEnded() override { ++ended; }
    void SetReady() override { ++readies; }
    void AbortConnection() override { events.push_back("abort"); }
    void BodyFailed(const std::string&) override { ++failed; }
};

struct Rig {
    Recorder rec;
    THttpReception rx{rec};
    explicit Rig(THttpRequest type = httpGET, const std::string& ver = "1.0") {
        rx.BeginRequest(type, ver);
        rx.ExpectHeader();
    }
};

struct Outcome {
    int status = 0;
    std::string body;
    std::string end;
    std::vector<std::string> header;
    std::int64_t count = 0;
    bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Outcome& o) {
    return os << "{status " << o.status << ", end " << o.end << ", body " << o.body.size()
              << " bytes, " << o.header.size() << " header lines}";
}

Outcome Finish(Rig& rig) {
    const int endedBefore = rig.rec.ended;
    const int failed = rig.rec.failed;
    const bool closedBody = rig.rx.ConnectionClosed();
    Outcome o;
    o.status = rig.rx.r.StatusCode;
    o.body = rig.rec.body;
    // Where an over-long line is cut depends on how its bytes were read; what comes before
    // the cut does not.
    for (const auto& line : rig.rx.r.RcvdHeader) {
        o.header.push_back(
            line.substr(0, THttpReception::kBufferFill - THttpReception::kOverlongRead));
    }
    o.count = rig.rx.r.RcvdCount;
    if (failed > 0) {
        o.end = "fail";
    } else if (endedBefore == 1 && rig.rec.docEnd == 1) {
        o.end = "length";
    } else if (endedBefore == 1 && rig.rec.docBegin == 0) {
        o.end = "header";
    } else if (endedBefore == 0 && closedBody) {
        o.end = "close";
    } else if (endedBefore == 0 && rig.rec.docBegin == 0) {
        o.end = "open";
    } else {
        o.end = "inconsistent";
    }
    EXPECT_LE(rig.rec.ended, 1) << "a response ended twice";
    EXPECT_LE(rig.rec.docBegin, 1);
    return o;
}

Outcome Deliver(const std::string& bytes, const std::vector<std::size_t>& cuts) {
    Rig rig;
    std::size_t pos = 0;
    for (std::size_t cut : cuts) {
        rig.rx.Feed(std::string_view(bytes).substr(pos, cut - pos));
        pos = cut;
    }
    rig.rx.Feed(std::string_view(bytes).substr(pos));
    return Finish(rig);
}

TEST(HttpReceptionCorpus, EveryResponseWholeSplitAndByteByByte) {
    const auto corpus = httptest::LoadCorpus();
    ASSERT_GE(corpus.size(), 30u);
    for (const auto& c : corpus) {
        SCOPED_TRACE(c.name);
        const Outcome whole = Deliver(c.response, {});
        EXPECT_EQ(whole.status, c.status);
        EXPECT_EQ(whole.end, c.end);
        EXPECT_EQ(whole.body, c.body);
        if (c.end != "fail") {
            EXPECT_EQ(whole.count, static_cast<std::int64_t>(c.body.size()));
        }
        for (std::size_t k = 1; k < c.response.size(); ++k) {
            const Outcome split = Deliver(c.response, {k});
            if (!(split == whole)) {
                ADD_FAILURE() << "split at " << k << ": " << split << " instead of " << whole;
                break;
            }
        }
        std::vector<std::size_t> every;
        for (std::size_t k = 1; k < c.response.size(); ++k) {
            every.push_back(k);
        }
        EXPECT_EQ(Deliver(c.response, every), whole) << "byte by byte";
    }
}

TEST(HttpReception, StatusLineTable) {
    struct Case {
        const char* line;
        const char* requestVer;
        int status;
        const char* reason;
        const char* responseVer;
        bool closeReq;
    };
    const Case cases[] = {
        {"HTTP/1.0 200 OK", "1.0", 200, "OK", "1.0", true},
        {"HTTP/1.1 200 OK", "1.1", 200, "OK", "1.1", false},
        {"HTTP/1.0 200 OK", "1.1", 200, "OK", "1.0", true},
        {"HTTP/1.1 404 Not Found", "1.0", 404, "Not Found", "1.1", true},
        {"HTTP/1.1   302 Found", "1.1", 302, "Found", "1.1", false},
        {"HTTP/1.1 2000 big", "1.1", 200, " big", "1.1", false},
        {"HTTP/1.1 500", "1.1", 500, "", "1.1", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        Rig rig(httpGET, c.requestVer);
        rig.rx.Feed(std::string(c.line) + "\r\n");
        EXPECT_EQ(rig.rx.r.StatusCode, c.status);
        EXPECT_EQ(rig.rx.r.ReasonPhrase, c.reason);
        EXPECT_EQ(rig.rx.r.ResponseVer, c.responseVer);
        EXPECT_EQ(rig.rx.r.CloseReq, c.closeReq);
        EXPECT_EQ(rig.rec.headerBegin, 1);
        ASSERT_EQ(rig.rx.r.RcvdHeader.size(), 1u);
        EXPECT_EQ(rig.rx.r.RcvdHeader[0], c.line);
        EXPECT_EQ(rig.rx.r.LastResponse, c.line);
    }
}

TEST(HttpReception, RecognisedHeaderNames) {
    Rig rig(httpGET, "1.1");
    rig.rx.Feed(
        "HTTP/1.1 206 Partial\r\n"
        "Content-Type: Video/X-FLV\r\n"
        "Transfer-Encoding: Identity\r\n"
        "Content-Range: bytes 100-199/1000\r\n"
        "Accept-Ranges: bytes\r\n"
        "Content-Encoding: GZip\r\n"
        "WWW-Authenticate: Basic realm=\"a\"\r\n"
        "Proxy-Authenticate: Basic realm=\"b\"\r\n"
        "Set-Cookie: a=1\r\n"
        "Location:    /moved\r\n"
        "Connection:  Close \r\n"
        "NoColonHere\r\n"
        "Content-Length:   42  \r\n");
    const auto& r = rig.rx.r;
    EXPECT_EQ(r.ContentType, "video/x-flv");
    EXPECT_EQ(r.TransferEncoding, "identity");
    EXPECT_EQ(rig.rec.range, "100|199");
    EXPECT_EQ(r.AcceptRanges, "bytes");
    EXPECT_EQ(r.ContentEncoding, "GZip");
    EXPECT_EQ(r.Challenges, (std::vector<std::string>{"Basic realm=\"a\"", "Basic realm=\"b\""}));
    EXPECT_EQ(rig.rec.cookies, std::vector<std::string>{"a=1"});
    EXPECT_EQ(rig.rec.locations, std::vector<std::string>{"/moved"});
    EXPECT_TRUE(r.CloseReq);
    EXPECT_EQ(r.ContentLength, 42);
    EXPECT_EQ(r.RcvdHeader.size(), 13u);
    EXPECT_EQ(r.RcvdHeader[11], "NoColonHere");
    EXPECT_EQ(std::count(rig.rec.events.begin(), rig.rec.events.end(), "data"), 13);
    rig.rx.Feed("Connection: keep-alive\r\n");
    EXPECT_FALSE(r.CloseReq);
    rig.rx.Feed("Proxy-Connection: close\r\n");
    EXPECT_TRUE(r.CloseReq);
}

TEST(HttpReception, ContinueResponseIsForgotten) {
    Rig rig(httpGET, "1.1");
    rig.rx.Feed("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nx");
    EXPECT_EQ(rig.rec.headerBegin, 1);
    EXPECT_EQ(rig.rec.headerEnd, 1);
    EXPECT_EQ(rig.rx.r.RcvdHeader,
              (std::vector<std::string>{"HTTP/1.1 200 OK", "Content-Length: 1"}));
    EXPECT_EQ(rig.rec.body, "x");
}

TEST(HttpReception, NoBodyRule) {
    struct Case {
        const char* response;
        THttpRequest type;
        bool body;
    };
    const Case cases[] = {
        {"HTTP/1.0 200 OK\r\n\r\n", httpGET, true},
        {"HTTP/1.0 200 OK\r\n\r\n", httpHEAD, false},
        {"HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n", httpGET, false},
        {"HTTP/1.0 199 Odd\r\n\r\n", httpGET, false},
        {"HTTP/1.0 204 No\r\n\r\n", httpGET, false},
        {"HTTP/1.0 301 M\r\n\r\n", httpGET, false},
        {"HTTP/1.0 302 M\r\n\r\n", httpGET, false},
        {"HTTP/1.0 303 M\r\n\r\n", httpGET, true},
        {"HTTP/1.0 304 M\r\n\r\n", httpGET, false},
        {"HTTP/1.0 307 M\r\n\r\n", httpGET, true},
        {"HTTP/1.0 401 M\r\n\r\n", httpGET, false},
        {"HTTP/1.0 407 M\r\n\r\n", httpGET, false},
        {"HTTP/1.0 302 M\r\nContent-Length: 3\r\n\r\n", httpGET, true},
        {"HTTP/1.0 404 M\r\n\r\n", httpGET, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.response);
        Rig rig(c.type);
        rig.rx.Feed(c.response);
        EXPECT_EQ(rig.rec.ended, c.body ? 0 : 1);
        const bool headClosing = c.type == httpHEAD;
        EXPECT_EQ(rig.rec.state, c.body || headClosing ? httpWaitingBody : httpWaitingHeader);
        EXPECT_EQ(rig.rx.Handler(),
                  c.body ? THttpReception::LineHandler::Body : THttpReception::LineHandler::None);
    }
}

TEST(HttpReception, HeadWithCloseDropsHeldBytesAndAbortsOnMore) {
    Rig rig(httpHEAD);
    rig.rx.Feed("HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\nstray");
    EXPECT_EQ(rig.rec.ended, 1);
    EXPECT_EQ(rig.rx.Held(), 0);
    EXPECT_EQ(rig.rec.state, httpWaitingBody);
    rig.rx.Feed("more");
    EXPECT_EQ(rig.rec.events.back(), "abort");
    EXPECT_TRUE(rig.rec.body.empty());
}

TEST(HttpReception, OverlongLineIsCutAtTheBufferEnd) {
    Rig rig;
    rig.rx.Feed("HTTP/1.0 200 OK\r\n");
    const std::string value(THttpReception::kBufferFill + 100, 'v');
    const std::string line = "X-Long: " + value;
    rig.rx.Feed(line + "\r\nContent-Length: 2\r\n\r\nok");
    ASSERT_EQ(rig.rx.r.RcvdHeader.size(), 3u);
    // The kept part is the start of the line, up to where the line end and what followed it
    // in the same small read were laid over the buffer's end.
    const std::string& kept = rig.rx.r.RcvdHeader[1];
    EXPECT_LE(kept.size(), static_cast<std::size_t>(THttpReception::kBufferFill));
    EXPECT_GT(kept.size(), static_cast<std::size_t>(THttpReception::kBufferFill -
                                                    THttpReception::kOverlongRead));
    EXPECT_EQ(kept, line.substr(0, kept.size()));
    EXPECT_EQ(rig.rx.r.ContentLength, 2);
    EXPECT_EQ(rig.rec.body, "ok");
}

TEST(HttpReception, OverlongReadWithoutLineFeedIsDropped) {
    Rig rig;
    rig.rx.Feed(std::string(THttpReception::kBufferFill, 'x'));
    EXPECT_EQ(rig.rx.Held(), THttpReception::kBufferFill);
    rig.rx.Feed(std::string(THttpReception::kOverlongRead, 'y'));
    EXPECT_EQ(rig.rx.Held(), THttpReception::kBufferFill);
    EXPECT_EQ(rig.rec.headerBegin, 0);
}

TEST(HttpReception, ChunkSizeDigitsAtTheLimitAndOnePast) {
    const std::string atLimit(THttpReception::kMaxChunkSizeDigits, 'f');
    const std::string pastLimit = "1" + atLimit;
    for (const auto& [size, fails] : {std::pair{atLimit, false}, std::pair{pastLimit, true}}) {
        SCOPED_TRACE(size);
        Rig rig(httpGET, "1.1");
        rig.rx.Feed("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + size + "\r\nabc");
        EXPECT_EQ(rig.rec.failed, fails ? 1 : 0);
        EXPECT_EQ(rig.rec.body, fails ? "" : "abc");
        // Nothing more is decoded once the framing failed.
        rig.rx.Feed("def");
        EXPECT_EQ(rig.rec.body, fails ? "" : "abcdef");
    }
}

TEST(HttpReception, IdentityBodyIsCutAtContentLengthAcrossNotices) {
    Rig rig;
    rig.rx.Feed("HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\n0123");
    EXPECT_EQ(rig.rec.ended, 0);
    rig.rx.Feed("456789EXTRA");
    EXPECT_EQ(rig.rec.body, "0123456789");
    EXPECT_EQ(rig.rx.r.RcvdCount, 10);
    EXPECT_EQ(rig.rec.ended, 1);
    EXPECT_EQ(rig.rec.state, httpBodyReceived);
    EXPECT_EQ(rig.rx.HeldBytes(), "EXTRA");
}

TEST(HttpReception, HeaderlessHtmlAnyCase) {
    for (const char* first : {"<HTML>", "<html>", "<HtMl> x"}) {
        Rig rig;
        rig.rx.Feed(std::string(first) + "\r\nrest");
        EXPECT_EQ(rig.rx.r.ContentType, "text/html");
        EXPECT_EQ(rig.rec.body, std::string(first) + "rest");
        EXPECT_EQ(rig.rec.headerEnd, 1);
        EXPECT_TRUE(rig.rx.r.RcvdHeader.empty());
    }
}

TEST(HttpReception, NothingIsReadBeforeARequest) {
    Recorder rec;
    THttpReception rx(rec);
    rx.Feed("HTTP/1.0 200 OK\r\n\r\n");
    EXPECT_EQ(rec.headerBegin, 0);
    EXPECT_EQ(rec.received, 0);
}

TEST(HttpReception, LinesOutsideARequestArePushed) {
    Rig rig;
    rig.rec.state = httpReady;
    rig.rx.Feed("one\ntwo\n");
    EXPECT_EQ(rig.rec.pushes, 2);
    EXPECT_EQ(rig.rx.r.LastResponse, "two");
}

}  // namespace
