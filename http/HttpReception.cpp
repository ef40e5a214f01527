#include "http/HttpReception.h"

#include <algorithm>
#include <cstring>

#include "common/Text.h"

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

void THttpReception::BeginRequest(THttpRequest type, const std::string& requestVer) {
    Interrupt();
    requestType_ = type;
    requestVer_ = requestVer;
    r.RcvdHeader.clear();
    r.StatusCode = 0;
    r.RcvdCount = 0;
    r.BodyDataLen = 0;
    r.ContentLength = -1;
    r.ContentType.clear();
    r.TransferEncoding.clear();
    r.ContentEncoding.clear();
    r.Challenges.clear();
    r.CloseReq = requestVer == "1.0";
    r.BodyCut = false;
    headerLines_ = 0;
    bodyLines_ = 0;
    headerInProgress_ = false;
    ended_ = false;
}

void THttpReception::ResetForRelocation() {
    Interrupt();
    r.RcvdCount = 0;
    r.BodyCut = false;
    DiscardHeld();
    headerLines_ = 0;
    bodyLines_ = 0;
    headerInProgress_ = false;
    ended_ = false;
}

void THttpReception::ClearResponse() {
    r.RcvdHeader.clear();
    headerLines_ = 0;
    bodyLines_ = 0;
    headerInProgress_ = false;
    r.RcvdCount = 0;
    r.ContentLength = -1;
    r.ContentType.clear();
    r.TransferEncoding.clear();
    r.ContentEncoding.clear();
    r.StatusCode = 0;
    r.BodyCut = false;
}

std::int64_t THttpReception::IdentityRemaining() const {
    // A chunked body is framed by its chunks; a length sent beside them does not cut it.
    if (Chunked() || r.ContentLength < 0) {
        return -1;
    }
    return r.ContentLength - r.RcvdCount;
}

void THttpReception::FinishIfEnded(unsigned gen) {
    if (ended_ && gen == generation_) {
        ended_ = false;
        listener_.ResponseEnded();
    }
}

int THttpReception::Feed(std::string_view bytes) {
    int notices = 0;
    std::size_t pos = 0;
    auto source = [&](char* dst, int cap) {
        auto n = static_cast<int>(
            std::min<std::size_t>(static_cast<std::size_t>(cap), bytes.size() - pos));
        std::memcpy(dst, bytes.data() + pos, static_cast<std::size_t>(n));
        pos += static_cast<std::size_t>(n);
        return n;
    };
    while (pos < bytes.size()) {
        DataAvailable(source);
        ++notices;
    }
    return notices;
}

void THttpReception::DataAvailable(const std::function<int(char*, int)>& receive,
                                   std::uint16_t errCode) {
    if (start_ > 0) {
        std::memmove(buf_, buf_ + start_, static_cast<std::size_t>(end_ - start_));
        end_ -= start_;
        start_ = 0;
    }
    const THttpState arrivalState = listener_.State();
    if (arrivalState == httpWaitingBody && DirectBody(receive)) {
        return;
    }
    int count = 0;
    const int space = kBufferFill - end_;
    if (space > 0) {
        count = receive(buf_ + end_, space);
        if (count > 0) {
            end_ += count;
        }
    } else {
        // One line fills the whole buffer: look for its end in a small read, keep the line
        // cut short and resume parsing at the line feed.
        char scratch[kOverlongRead];
        count = receive(scratch, kOverlongRead);
        if (count <= 0) {
            return;
        }
        const char* lf = static_cast<const char*>(std::memchr(scratch, '\n', count));
        if (lf == nullptr) {
            return;
        }
        const int tail = static_cast<int>(scratch + count - lf);
        std::memcpy(buf_ + end_ + 1 - tail, lf, static_cast<std::size_t>(tail));
        end_ += 1;
    }
    if (requestType_ == httpABORT || count <= 0) {
        return;
    }
    const unsigned gen = generation_;
    listener_.BytesReceived(count);
    if (gen != generation_) {
        return;
    }
    buf_[end_] = 0;
    if (arrivalState == httpWaitingBody) {
        RawBody();
        return;
    }
    ProcessLines(errCode);
}

bool THttpReception::DirectBody(const std::function<int(char*, int)>& receive) {
    if (!directBody_ || Held() > 0 || handler_ != LineHandler::Body || requestType_ == httpHEAD ||
        requestType_ == httpABORT) {
        return false;
    }
    int capacity = kBodyReadSize;
    const std::int64_t rem = IdentityRemaining();
    if (rem == 0) {
        return false;
    }
    if (rem > 0 && rem < capacity) {
        // Never take bytes past the length from the socket.
        capacity = static_cast<int>(rem);
    }
    const int count = receive(bodyBlock_.get(), capacity);
    if (count <= 0) {
        return true;
    }
    const unsigned gen = generation_;
    listener_.BytesReceived(count);
    if (gen != generation_) {
        return true;
    }
    r.BodyDataLen = count;
    BodyBlock(bodyBlock_.get(), static_cast<std::size_t>(count));
    if (gen != generation_) {
        return true;
    }
    r.BodyDataLen = 0;
    FinishIfEnded(gen);
    return true;
}

void THttpReception::ProcessLines(std::uint16_t errCode) {
    const unsigned gen = generation_;
    while (end_ > start_) {
        // NUL bytes are ordinary line content: a response carrying one must not stall here.
        const char* base = buf_ + start_;
        const char* lf =
            static_cast<const char*>(std::memchr(base, '\n', static_cast<std::size_t>(Held())));
        if (lf == nullptr) {
            return;
        }
        std::size_t len = static_cast<std::size_t>(lf - base);
        const std::size_t consumed = len + 1;
        if (len > 0 && base[len - 1] == '\r') {
            --len;
        }
        std::string line(base, len);
        start_ += static_cast<int>(consumed);
        r.LastResponse = line;
        const THttpState state = listener_.State();
        if (state == httpWaitingHeader || state == httpWaitingBody) {
            switch (handler_) {
                case LineHandler::Header:
                    HeaderLine(line);
                    break;
                case LineHandler::Body:
                    BodyBlock(line.data(), line.size());
                    break;
                case LineHandler::None:
                    listener_.SetReady();
                    break;
            }
        } else {
            listener_.DataPush(errCode);
        }
        if (gen != generation_) {
            return;
        }
        FinishIfEnded(gen);
        if (gen != generation_) {
            return;
        }
        // A header-less response became a body: what follows in the buffer is body as it is,
        // not lines.
        if (handler_ == LineHandler::Body && listener_.State() == httpWaitingBody && Held() > 0) {
            RawBody();
            return;
        }
    }
}

void THttpReception::HeaderLine(const std::string& line) {
    const unsigned gen = generation_;
    if (headerLines_ == 0) {
        headerInProgress_ = true;
        listener_.HeaderBegin();
        if (gen != generation_) {
            return;
        }
    } else if (headerLines_ == -1) {
        headerLines_ = 0;
    }
    ++headerLines_;

    if (headerLines_ == 1 && text::StartsWithCaseless(line, "<HTML>")) {
        if (r.ContentType.empty()) {
            r.ContentType = "text/html";
        }
        // Without a header there is no framing: lines of an interim 100 response before it
        // must not cut this body.
        r.ContentLength = -1;
        r.TransferEncoding.clear();
        listener_.SetState(httpWaitingBody);
        if (gen != generation_) {
            return;
        }
        handler_ = LineHandler::Body;
        headerInProgress_ = false;
        listener_.HeaderEnd();
        if (gen != generation_) {
            return;
        }
        BodyBlock(line.data(), line.size());
        return;
    }
    if (line.empty()) {
        EndOfHeader();
        return;
    }
    r.RcvdHeader.push_back(line);

    if (headerLines_ == 1) {
        if (line.compare(0, 8, "HTTP/1.0") == 0 || line.compare(0, 8, "HTTP/1.1") == 0) {
            r.ResponseVer = line.substr(5, 3);
            r.CloseReq = requestVer_ == "1.0" || r.ResponseVer == "1.0";
            std::size_t p = 9;
            while (p < line.size() && !IsDigit(line[p])) {
                ++p;
            }
            if (p >= line.size()) {
                p = line.size() - 1;
            }
            const auto code = text::ParseInt32(std::string_view(line).substr(p, 3));
            if (!code) {
                // Not a number: the status stays 0 and the line goes unreported, as if its
                // handling had failed; the rest of the response is read on.
                return;
            }
            r.StatusCode = *code;
            r.ReasonPhrase = p + 4 <= line.size() ? line.substr(p + 4) : std::string();
        } else {
            listener_.DataPush2();
            if (gen != generation_) {
                return;
            }
        }
    } else if (const std::size_t colon = line.find(':'); colon != std::string::npos) {
        const std::string name = text::LowerCase(std::string_view(line).substr(0, colon));
        std::size_t v = colon + 1;
        while (v < line.size() && line[v] == ' ') {
            ++v;
        }
        const std::string value = line.substr(v);
        if (name == "location") {
            listener_.LocationHeader(value);
        } else if (name == "content-length") {
            const auto n = text::ParseInt64(text::Trim(value));
            // A negative length frames nothing: treat it like one that is not a number.
            r.ContentLength = n && *n >= 0 ? *n : -1;
        } else if (name == "transfer-encoding") {
            r.TransferEncoding = text::LowerCase(value);
        } else if (name == "content-range") {
            const std::size_t dash = value.find('-');
            const std::size_t slash = value.find('/');
            listener_.ContentRange(
                dash != std::string::npos && dash > 6 ? value.substr(6, dash - 6) : std::string(),
                dash != std::string::npos && slash != std::string::npos && slash > dash
                    ? value.substr(dash + 1, slash - dash - 1)
                    : std::string());
        } else if (name == "accept-ranges") {
            r.AcceptRanges = value;
        } else if (name == "content-type") {
            r.ContentType = text::LowerCase(value);
        } else if (name == "www-authenticate" || name == "proxy-authenticate") {
            r.Challenges.push_back(value);
        } else if (name == "set-cookie") {
            listener_.CookieHeader(value);
        } else if (name == "connection" || name == "proxy-connection") {
            const std::string v2 = text::LowerCase(text::Trim(value));
            if (v2 == "close") {
                r.CloseReq = true;
            } else if (v2 == "keep-alive") {
                r.CloseReq = false;
            }
        } else if (name == "content-encoding") {
            r.ContentEncoding = value;
        }
        if (gen != generation_) {
            return;
        }
    }
    listener_.HeaderData();
}

void THttpReception::EndOfHeader() {
    const unsigned gen = generation_;
    if (r.ResponseVer == "1.1" && r.StatusCode == 100) {
        r.RcvdHeader.clear();
        headerLines_ = -1;
        return;
    }
    headerInProgress_ = false;
    listener_.HeaderEnd();
    if (gen != generation_) {
        return;
    }
    if (listener_.State() == httpReady) {
        DiscardHeld();
        return;
    }
    const int s = r.StatusCode;
    // A redirect or a challenge without a length has no body, unless its chunks frame one:
    // left unread, they would be taken for the next response on a kept connection.
    const bool framedless = !Chunked() && (s == 301 || s == 302 || s == 401 || s == 407);
    const bool noBody = r.ContentLength == 0 || requestType_ == httpHEAD ||
                        (r.ContentLength == -1 && (s < 200 || s == 204 || s == 304 || framedless));
    if (noBody) {
        handler_ = LineHandler::None;
        if (requestType_ == httpHEAD && r.CloseReq && !listener_.LocationFlag()) {
            DiscardHeld();
            listener_.SetState(httpWaitingBody);
            if (gen != generation_) {
                return;
            }
        }
        ended_ = true;
        return;
    }
    listener_.BodyFollows();
    if (gen != generation_) {
        return;
    }
    listener_.SetState(httpWaitingBody);
    if (gen != generation_) {
        return;
    }
    handler_ = LineHandler::Body;
    if (Held() > 0) {
        const std::int64_t rem = IdentityRemaining();
        const int n = rem < 0 ? Held() : static_cast<int>(std::min<std::int64_t>(Held(), rem));
        const char* data = buf_ + start_;
        start_ += n;
        BodyBlock(data, static_cast<std::size_t>(n));
    }
}

void THttpReception::RawBody() {
    const unsigned gen = generation_;
    if (requestType_ == httpHEAD) {
        DiscardHeld();
        listener_.AbortConnection();
        return;
    }
    if (handler_ != LineHandler::Body) {
        DiscardHeld();
        return;
    }
    int n = Held();
    const std::int64_t rem = IdentityRemaining();
    if (rem >= 0 && n > rem) {
        n = static_cast<int>(rem);
    }
    const char* data = buf_ + start_;
    start_ += n;
    r.BodyDataLen = n;
    BodyBlock(data, static_cast<std::size_t>(n));
    if (gen != generation_) {
        return;
    }
    r.BodyDataLen = 0;
    FinishIfEnded(gen);
}

bool THttpReception::BodyBlock(const char* data, std::size_t len) {
    const unsigned gen = generation_;
    if (bodyLines_ == 0) {
        chunkState_ = ChunkState::Size;
        chunkLength_ = 0;
        chunkBytes_ = 0;
        chunkDigits_ = 0;
        listener_.DocBegin();
        if (gen != generation_) {
            return false;
        }
    }
    ++bodyLines_;
    if (!Chunked()) {
        if (len > 0) {
            r.RcvdCount += static_cast<std::int64_t>(len);
            if (!PassOn(data, len)) {
                return false;
            }
        }
        if (r.RcvdCount == r.ContentLength) {
            DocumentDone();
        }
        return gen == generation_;
    }
    return DecodeChunked(data, len);
}

bool THttpReception::PassOn(const char* data, std::size_t len) {
    const unsigned gen = generation_;
    r.BodyDataLen = static_cast<std::int64_t>(len);
    listener_.DocData(data, len);
    return gen == generation_;
}

bool THttpReception::DecodeChunked(const char* data, std::size_t len) {
    const unsigned gen = generation_;
    std::size_t i = 0;
    while (true) {
        switch (chunkState_) {
            case ChunkState::Size:
                while (i < len) {
                    const int d = HexDigit(data[i]);
                    if (d < 0) {
                        break;
                    }
                    if (chunkLength_ != 0 || d != 0) {
                        if (chunkDigits_ == kMaxChunkSizeDigits) {
                            // Wrapping around would let the sender frame anything it likes.
                            handler_ = LineHandler::None;
                            chunkState_ = ChunkState::Done;
                            listener_.BodyFailed("Invalid chunk size in response");
                            return false;
                        }
                        ++chunkDigits_;
                    }
                    chunkLength_ = chunkLength_ * 16 + d;
                    ++i;
                }
                if (i == len) {
                    return true;
                }
                // The first other character starts the rest of the size line (extensions
                // included); it is looked at again there, so a bare line feed ends the line.
                chunkState_ = ChunkState::LineEnd;
                break;
            case ChunkState::LineEnd:
            case ChunkState::Trailer: {
                const void* lf = std::memchr(data + i, '\n', len - i);
                if (lf == nullptr) {
                    return true;
                }
                i = static_cast<std::size_t>(static_cast<const char*>(lf) - data) + 1;
                if (chunkState_ == ChunkState::LineEnd) {
                    chunkState_ = ChunkState::Data;
                    if (chunkBytes_ == chunkLength_) {
                        chunkState_ = ChunkState::Trailer;
                    }
                } else if (chunkLength_ == 0) {
                    DocumentDone();
                    return gen == generation_;
                } else {
                    chunkLength_ = 0;
                    chunkBytes_ = 0;
                    chunkDigits_ = 0;
                    chunkState_ = ChunkState::Size;
                }
                break;
            }
            case ChunkState::Data: {
                const std::int64_t want = chunkLength_ - chunkBytes_;
                const std::size_t take =
                    static_cast<std::size_t>(std::min<std::int64_t>(want, len - i));
                if (take > 0) {
                    r.RcvdCount += static_cast<std::int64_t>(take);
                    chunkBytes_ += static_cast<std::int64_t>(take);
                    if (!PassOn(data + i, take)) {
                        return false;
                    }
                    i += take;
                }
                if (chunkBytes_ == chunkLength_) {
                    chunkState_ = ChunkState::Trailer;
                } else {
                    return true;
                }
                break;
            }
            case ChunkState::Done:
                return true;
        }
    }
}

void THttpReception::DocumentDone() {
    const unsigned gen = generation_;
    bodyLines_ = 0;
    handler_ = LineHandler::None;
    chunkState_ = ChunkState::Done;
    listener_.SetState(httpBodyReceived);
    if (gen != generation_) {
        return;
    }
    listener_.DocEnd();
    if (gen != generation_) {
        return;
    }
    ended_ = true;
}

bool THttpReception::ConnectionClosed(bool failed) {
    // A body is whole only when its framing says so; a body without a length ends with the
    // connection, unless the connection failed.
    if (requestType_ != httpHEAD) {
        if (headerInProgress_) {
            r.BodyCut = failed || Chunked() || r.ContentLength > 0;
        } else if (handler_ == LineHandler::Body) {
            const std::int64_t rem = IdentityRemaining();
            r.BodyCut = Chunked() || rem > 0 || (rem < 0 && failed);
        }
    }
    if (headerInProgress_) {
        headerInProgress_ = false;
        listener_.HeaderEnd();
        return false;
    }
    if (bodyLines_ > 0) {
        bodyLines_ = 0;
        handler_ = LineHandler::None;
        listener_.DocEnd();
        return true;
    }
    return false;
}
