#pragma once

// Response reception of the HTTP client as a byte-fed state machine: it cuts lines out of a
// fixed receive buffer, parses the status line and header, decides whether a body follows and
// decodes identity and chunked bodies. It knows nothing of sockets or streams; the client (or a
// test, or the fuzzer) plugs in through the Listener and feeds bytes as data notices.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "http/HttpTypes.h"

class THttpReception {
public:
    // 8190 usable bytes plus room for the zero byte kept after them.
    static constexpr int kBufferSize = 8193;
    static constexpr int kBufferFill = 8190;
    // What is read while the buffer is full of one over-long line, to find its end.
    static constexpr int kOverlongRead = 25;
    // Significant hexadecimal digits a chunk size may have; more would not fit the counters.
    static constexpr int kMaxChunkSizeDigits = 15;
    // While a body streams and nothing is held, bytes are read straight into a block this
    // large: the line buffer's small reads would cost a system call pair per 8 KiB.
    static constexpr int kBodyReadSize = 65536;

    enum class LineHandler : std::uint8_t { None, Header, Body };
    enum class ChunkState : std::uint8_t { Size, LineEnd, Data, Trailer, Done };

    // What the client provides and is told. Every call may re-enter the client's own code
    // (user events, aborts); the engine stops at once when Interrupt() was called meanwhile.
    class Listener {
    public:
        virtual ~Listener() = default;
        virtual THttpState State() const = 0;
        virtual void SetState(THttpState state) = 0;
        virtual bool LocationFlag() const = 0;
        // Bytes taken from the socket by one notice (bandwidth accounting).
        virtual void BytesReceived(int count) = 0;
        virtual void HeaderBegin() = 0;
        // The line is in RcvdHeader and LastResponse already.
        virtual void HeaderData() = 0;
        virtual void HeaderEnd() = 0;
        virtual void DataPush(std::uint16_t errCode) = 0;
        virtual void DataPush2() = 0;
        virtual void LocationHeader(const std::string& value) = 0;
        virtual void CookieHeader(const std::string& value) = 0;
        // A Content-Range header: the range it names.
        virtual void ContentRange(const std::string& begin, const std::string& end) = 0;
        // The header ended and a body follows (before any body byte).
        virtual void BodyFollows() = 0;
        virtual void DocBegin() = 0;
        virtual void DocData(const char* data, std::size_t len) = 0;
        virtual void DocEnd() = 0;
        // The response is over (no body, or the body is complete): relocate, close or be ready.
        virtual void ResponseEnded() = 0;
        // A line arrived with no line handler in a waiting state.
        virtual void SetReady() = 0;
        // A HEAD response sent body bytes: the connection is dropped.
        virtual void AbortConnection() = 0;
        // The body's framing cannot be decoded; reception of this response stops.
        virtual void BodyFailed(const std::string& reason) = 0;
    };

    // Values of the response being received, readable by the client's properties.
    struct Response {
        std::vector<std::string> RcvdHeader;
        std::string LastResponse;
        int StatusCode = 0;
        std::string ReasonPhrase;
        std::string ResponseVer;
        std::int64_t ContentLength = -1;
        std::string ContentType;
        std::string TransferEncoding;
        std::string ContentEncoding;
        std::string AcceptRanges;
        std::vector<std::string> Challenges;
        bool CloseReq = false;
        // The connection closed before the body was whole: short of its length, before the
        // last chunk, or with an error while a body without a length was still arriving.
        bool BodyCut = false;
        std::int64_t RcvdCount = 0;
        std::int64_t BodyDataLen = 0;
    };

    explicit THttpReception(Listener& listener) : listener_(listener) {}
    THttpReception(const THttpReception&) = delete;
    THttpReception& operator=(const THttpReception&) = delete;

    Response r;

    // A request of this kind and protocol version is under way (per-request reset of the
    // response values; held bytes are kept, they belong to the connection).
    void BeginRequest(THttpRequest type, const std::string& requestVer);
    // The connection is ready to receive a response: lines go to the header parser.
    void ExpectHeader() { handler_ = LineHandler::Header; }
    // Resets what a relocation at the end of a response resets.
    void ResetForRelocation();
    // The values a relocation on a new connection clears (the response is forgotten).
    void ClearResponse();
    // Drops held bytes (a new connection starts with an empty buffer).
    void DiscardHeld() { start_ = end_ = 0; }
    // Large direct body reads; off where reads must stay small (bandwidth control).
    void SetDirectBodyReads(bool on) { directBody_ = on; }
    // Stops any processing under way in the engine (abort, new request from a handler).
    void Interrupt() { ++generation_; }

    // One data notice: reads with receive(buffer, capacity) -> count (<= 0: nothing) and
    // processes what it got.
    void DataAvailable(const std::function<int(char*, int)>& receive, std::uint16_t errCode = 0);
    // Feeds bytes as successive notices until all are taken; returns the notices used.
    int Feed(std::string_view bytes);
    // The connection closed (failed: with an error): ends a header in progress or a body being
    // received, and marks a body that is not whole. Returns true when a body was ended.
    bool ConnectionClosed(bool failed = false);

    THttpRequest RequestType() const { return requestType_; }
    void SetRequestType(THttpRequest type) { requestType_ = type; }
    LineHandler Handler() const { return handler_; }
    bool HeaderInProgress() const { return headerInProgress_; }
    int HeaderLineCount() const { return headerLines_; }
    int BodyLineCount() const { return bodyLines_; }
    int Held() const { return end_ - start_; }
    std::string_view HeldBytes() const { return {buf_ + start_, static_cast<std::size_t>(Held())}; }

private:
    void ProcessLines(std::uint16_t errCode);
    // Reads body bytes past the line buffer; false when this notice is not one for it.
    bool DirectBody(const std::function<int(char*, int)>& receive);
    void HeaderLine(const std::string& line);
    void EndOfHeader();
    void RawBody();
    // The body handler; returns false when interrupted.
    bool BodyBlock(const char* data, std::size_t len);
    bool PassOn(const char* data, std::size_t len);
    bool DecodeChunked(const char* data, std::size_t len);
    void DocumentDone();
    bool Chunked() const { return r.TransferEncoding == "chunked"; }
    // Bytes of the body still to come by Content-Length, or -1 without a usable length.
    std::int64_t IdentityRemaining() const;
    void FinishIfEnded(unsigned gen);

    Listener& listener_;
    char buf_[kBufferSize] = {};
    std::unique_ptr<char[]> bodyBlock_ = std::make_unique<char[]>(kBodyReadSize);
    int start_ = 0;
    int end_ = 0;
    THttpRequest requestType_ = httpABORT;
    std::string requestVer_ = "1.0";
    LineHandler handler_ = LineHandler::None;
    bool headerInProgress_ = false;
    int headerLines_ = 0;
    int bodyLines_ = 0;
    ChunkState chunkState_ = ChunkState::Size;
    std::int64_t chunkLength_ = 0;
    std::int64_t chunkBytes_ = 0;
    int chunkDigits_ = 0;
    bool ended_ = false;
    unsigned generation_ = 0;
    bool directBody_ = true;
};
