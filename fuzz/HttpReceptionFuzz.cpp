// libFuzzer target for the HTTP response reception engine: the input is a response as a server
// would send it. It is fed in pieces whose sizes derive from the input itself, then the
// connection closes. The body handed on must never exceed what the framing allows.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "http/HttpReception.h"

namespace {

class Sink : public THttpReception::Listener {
public:
    THttpState state = httpWaitingHeader;
    std::size_t bodyBytes = 0;
    bool failed = false;
    int ended = 0;

    THttpState State() const override { return state; }
    void SetState(THttpState s) override { state = s; }
    bool LocationFlag() const override { return false; }
    void BytesReceived(int) override {}
    void HeaderBegin() override {}
    void HeaderData() override {}
    void HeaderEnd() override {}
    void DataPush(std::uint16_t) override {}
    void DataPush2() override {}
    void LocationHeader(const std::string&) override {}
    void CookieHeader(const std::string&) override {}
    void ContentRange(const std::string&, const std::string&) override {}
    void BodyFollows() override {}
    void DocBegin() override {}
    void DocData(const char*, std::size_t n) override { bodyBytes += n; }
    void DocEnd() override {}
    void ResponseEnded() override {
        ++ended;
        state = httpReady;
    }
    void SetReady() override {}
    void AbortConnection() override {}
    void BodyFailed(const std::string&) override { failed = true; }
};

// A broken invariant names itself before the crash.
#define CHECK(cond)                                                \
    do {                                                           \
        if (!(cond)) {                                             \
            std::fprintf(stderr, "invariant broken: %s\n", #cond); \
            std::abort();                                          \
        }                                                          \
    } while (0)

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::uint32_t seed = 2166136261u;
    for (std::uint8_t b : bytes.substr(0, 64)) {
        seed = (seed ^ b) * 16777619u;
    }
    Sink sink;
    THttpReception rx(sink);
    rx.BeginRequest((seed & 1) != 0 ? httpGET : httpHEAD, (seed & 2) != 0 ? "1.1" : "1.0");
    rx.ExpectHeader();
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        seed = seed * 1103515245u + 12345u;
        const std::size_t piece = 1 + (seed >> 8) % 9000;
        rx.Feed(bytes.substr(pos, piece));
        pos += piece;
        CHECK(rx.Held() >= 0 && rx.Held() <= THttpReception::kBufferFill + 1);
        CHECK(sink.ended <= 1);
    }
    rx.ConnectionClosed();
    const auto& r = rx.r;
    CHECK(r.RcvdCount >= 0);
    CHECK(static_cast<std::int64_t>(sink.bodyBytes) == r.RcvdCount);
    if (r.ContentLength >= 0 && r.TransferEncoding != "chunked") {
        CHECK(r.RcvdCount <= r.ContentLength);
    }
    CHECK(r.StatusCode >= 0 && r.StatusCode <= 999);
    return 0;
}
