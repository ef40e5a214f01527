#include "tests/support/FixtureSite.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <stdexcept>

#include "tests/support/TempDir.h"
#include "tests/support/TestTls.h"

extern char** environ;

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

// Poll slices are short so that a stopping site never waits long for a thread.
constexpr int kSliceMs = 20;
constexpr std::size_t kMaxRequestHead = 64 * 1024;
constexpr auto kRequestHeadTimeout = std::chrono::seconds(10);
// A client that takes nothing for this long is given up.
constexpr auto kSendIdleTimeout = std::chrono::seconds(60);
// How long a closing connection waits for the client's end before closing anyway.
constexpr auto kLingerTimeout = std::chrono::seconds(2);
constexpr int kFfmpegTimeoutMs = 120000;

char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string Lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), LowerAscii);
    return out;
}

bool EqualsCaseless(std::string_view a, std::string_view b) {
    return a.size() == b.size() && Lower(a) == Lower(b);
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return s;
}

// The value of "Name: value" when the line's name is name (ignoring case).
std::optional<std::string> HeaderValue(const std::string& line, std::string_view name) {
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos || !EqualsCaseless(Trim(line.substr(0, colon)), name)) {
        return std::nullopt;
    }
    return std::string(Trim(std::string_view(line).substr(colon + 1)));
}

const char* ReasonPhrase(int status) {
    static const std::map<int, const char*> phrases = {
        {200, "OK"},
        {206, "Partial Content"},
        {301, "Moved Permanently"},
        {302, "Found"},
        {303, "See Other"},
        {307, "Temporary Redirect"},
        {400, "Bad Request"},
        {403, "Forbidden"},
        {404, "Not Found"},
        {410, "Gone"},
        {416, "Range Not Satisfiable"},
        {500, "Internal Server Error"},
        {501, "Not Implemented"},
        {503, "Service Unavailable"},
    };
    auto it = phrases.find(status);
    return it == phrases.end() ? "Status" : it->second;
}

// --- Socket steps of one connection ------------------------------------------------------------

}  // namespace

// One connection of the site, plain or secured.
class SitePeer {
public:
    SitePeer(int fd, const std::atomic<bool>& stopping) : fd_(fd), stopping_(stopping) {}
    ~SitePeer() { SSL_free(ssl_); }
    SitePeer(const SitePeer&) = delete;
    SitePeer& operator=(const SitePeer&) = delete;

    // The server side of a TLS handshake on the connection; from then on every byte is secured.
    bool StartTls(SSL_CTX* ctx) {
        ssl_ = SSL_new(ctx);
        if (ssl_ == nullptr || SSL_set_fd(ssl_, fd_) != 1) {
            return false;
        }
        SSL_set_mode(ssl_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        SSL_set_accept_state(ssl_);
        const auto deadline = Clock::now() + kRequestHeadTimeout;
        while (!stopping_ && Clock::now() < deadline) {
            const int rc = SSL_do_handshake(ssl_);
            if (rc == 1) {
                return true;
            }
            const int error = SSL_get_error(ssl_, rc);
            if (error == SSL_ERROR_WANT_READ) {
                WaitFor(POLLIN);
            } else if (error == SSL_ERROR_WANT_WRITE) {
                WaitFor(POLLOUT);
            } else {
                return false;  // the client refused the certificate, or went away
            }
        }
        return false;
    }

    // The first byte the client sends, left in place; -1 when none comes in time.
    int PeekFirstByte() {
        const auto deadline = Clock::now() + kRequestHeadTimeout;
        while (!stopping_ && Clock::now() < deadline) {
            if (!WaitFor(POLLIN)) {
                continue;
            }
            unsigned char byte = 0;
            const ssize_t n = ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
            if (n == 1) {
                return byte;
            }
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                return -1;
            }
        }
        return -1;
    }

    // Reads up to the blank line that ends a request head; false when none comes in time.
    bool ReadHead(std::string& head) {
        const auto deadline = Clock::now() + kRequestHeadTimeout;
        std::string got;
        while (!stopping_ && Clock::now() < deadline && got.size() < kMaxRequestHead) {
            if (!WaitFor(POLLIN)) {
                continue;
            }
            char buffer[4096];
            const ssize_t n = Recv(buffer, sizeof buffer);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                return false;
            }
            if (n < 0) {
                continue;
            }
            got.append(buffer, static_cast<std::size_t>(n));
            std::size_t end = got.find("\r\n\r\n");
            std::size_t endLen = 4;
            if (end == std::string::npos) {
                end = got.find("\n\n");
                endLen = 2;
            }
            if (end != std::string::npos) {
                head = got.substr(0, end + endLen);
                return true;
            }
        }
        return false;
    }

    // Sends the parts in order, handing the kernel as much as it takes per call.
    bool Send(std::initializer_list<std::string_view> parts) {
        std::vector<iovec> iov;
        for (std::string_view p : parts) {
            if (!p.empty()) {
                iov.push_back({const_cast<char*>(p.data()), p.size()});
            }
        }
        if (ssl_ != nullptr) {
            return SendSecured(iov);
        }
        std::size_t first = 0;
        auto lastProgress = Clock::now();
        while (first < iov.size()) {
            if (stopping_ || Clock::now() - lastProgress > kSendIdleTimeout) {
                return false;
            }
            if (!WaitFor(POLLOUT)) {
                continue;
            }
            msghdr msg{};
            msg.msg_iov = iov.data() + first;
            msg.msg_iovlen = iov.size() - first;
            ssize_t n = ::sendmsg(fd_, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0) {
                if (errno == EAGAIN || errno == EINTR) {
                    continue;
                }
                return false;
            }
            lastProgress = Clock::now();
            auto sent = static_cast<std::size_t>(n);
            while (first < iov.size() && sent >= iov[first].iov_len) {
                sent -= iov[first].iov_len;
                ++first;
            }
            if (first < iov.size()) {
                iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + sent;
                iov[first].iov_len -= sent;
            }
        }
        return true;
    }

    void Sleep(int ms) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        while (!stopping_ && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::min<Clock::duration>(
                std::chrono::milliseconds(kSliceMs), deadline - Clock::now()));
        }
    }

    // Reads and drops whatever comes until the client closes, the site stops or the time is up.
    void DrainUntilPeerCloses(std::optional<Clock::time_point> deadline) {
        while (!stopping_ && (!deadline || Clock::now() < *deadline)) {
            if (!WaitFor(POLLIN)) {
                continue;
            }
            char buffer[4096];
            const ssize_t n = Recv(buffer, sizeof buffer);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                return;
            }
        }
    }

    // Half-closes and waits for the client's end, so that nothing unread on our side turns the
    // close into a reset that could destroy the tail of the reply.
    void CloseGracefully() {
        if (ssl_ != nullptr) {
            SSL_shutdown(ssl_);  // the closing record; the client's own one is not awaited
        }
        ::shutdown(fd_, SHUT_WR);
        DrainUntilPeerCloses(Clock::now() + kLingerTimeout);
    }

    // Waits until the client has taken what was sent, then resets the connection.
    void Reset() {
        const auto deadline = Clock::now() + kLingerTimeout;
        int queued = 0;
        while (!stopping_ && Clock::now() < deadline && ::ioctl(fd_, SIOCOUTQ, &queued) == 0 &&
               queued > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        linger l{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }

private:
    // recv's contract over the plain or the secured connection.
    ssize_t Recv(char* buffer, std::size_t size) {
        if (ssl_ == nullptr) {
            return ::recv(fd_, buffer, size, MSG_DONTWAIT);
        }
        const int n = SSL_read(ssl_, buffer, static_cast<int>(size));
        if (n > 0) {
            return n;
        }
        const int error = SSL_get_error(ssl_, n);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            errno = EAGAIN;
            return -1;
        }
        return 0;
    }

    bool SendSecured(const std::vector<iovec>& parts) {
        auto lastProgress = Clock::now();
        for (const iovec& part : parts) {
            const char* data = static_cast<const char*>(part.iov_base);
            std::size_t left = part.iov_len;
            while (left > 0) {
                if (stopping_ || Clock::now() - lastProgress > kSendIdleTimeout) {
                    return false;
                }
                const int n =
                    SSL_write(ssl_, data, static_cast<int>(std::min<std::size_t>(left, 1 << 20)));
                if (n > 0) {
                    data += n;
                    left -= static_cast<std::size_t>(n);
                    lastProgress = Clock::now();
                    continue;
                }
                const int error = SSL_get_error(ssl_, n);
                if (error == SSL_ERROR_WANT_WRITE) {
                    WaitFor(POLLOUT);
                } else if (error == SSL_ERROR_WANT_READ) {
                    WaitFor(POLLIN);
                } else {
                    return false;
                }
            }
        }
        return true;
    }

    // True when the socket is ready for events within one slice.
    bool WaitFor(short events) {
        if ((events & POLLIN) != 0 && ssl_ != nullptr && SSL_pending(ssl_) > 0) {
            return true;
        }
        pollfd p{fd_, events, 0};
        const int rc = ::poll(&p, 1, kSliceMs);
        return rc > 0;
    }

    int fd_;
    const std::atomic<bool>& stopping_;
    SSL* ssl_ = nullptr;
};

namespace {

std::string StatusBody(int status) {
    const std::string text = std::to_string(status) + " " + ReasonPhrase(status);
    return "<html><head><title>" + text + "</title></head><body><h1>" + text +
           "</h1></body></html>\n";
}

// "bytes=A-B" or "bytes=A-" of a file of size bytes: [A, B+1), or nullopt when it names no
// single range; A at or past the end gives an empty range at size.
std::optional<std::pair<std::size_t, std::size_t>> RequestedRange(const std::string& value,
                                                                  std::size_t size) {
    if (value.rfind("bytes=", 0) != 0 || value.find(',') != std::string::npos) {
        return std::nullopt;
    }
    const std::size_t dash = value.find('-', 6);
    if (dash == std::string::npos || dash == 6) {
        return std::nullopt;
    }
    const std::size_t first = std::strtoull(value.c_str() + 6, nullptr, 10);
    const std::string lastText = value.substr(dash + 1);
    std::size_t end = lastText.empty() ? size : std::strtoull(lastText.c_str(), nullptr, 10) + 1;
    end = std::min(end, size);
    if (first >= size || end <= first) {
        return std::pair{size, size};
    }
    return std::pair{first, end};
}

std::string RequestHeader(const std::vector<std::string>& headers, std::string_view name) {
    for (const auto& h : headers) {
        if (auto v = HeaderValue(h, name)) {
            return *v;
        }
    }
    return {};
}

void SendReply(SitePeer& peer, const Reply& route, bool headOnly,
               const std::vector<std::string>& requestHeaders) {
    using Fault = Reply::Fault;
    using Framing = Reply::Framing;
    Reply r = route;
    const int answer = r.answered->fetch_add(1);
    if (r.changeAfter > 0 && answer >= r.changeAfter && r.changedBody) {
        r.body = r.changedBody;
        r.etag = r.changedEtag;
    }
    if (r.faultTimes > 0 && answer >= r.faultTimes) {
        r.fault = Fault::None;
    }
    if (r.fault == Fault::Hang) {
        peer.DrainUntilPeerCloses(std::nullopt);
        return;
    }
    std::string_view body = *r.body;
    std::string status = std::to_string(r.status) + " " +
                         (r.reason.empty() ? std::string(ReasonPhrase(r.status)) : r.reason);
    std::string rangeHead;
    if (r.ranges && r.status == 200 && r.framing == Framing::Length) {
        rangeHead = "Accept-Ranges: bytes\r\nETag: " + r.etag + "\r\n";
        const std::string ifRange = RequestHeader(requestHeaders, "If-Range");
        const auto range = RequestedRange(RequestHeader(requestHeaders, "Range"), body.size());
        if (range && (ifRange.empty() || ifRange == r.etag)) {
            const std::string size = std::to_string(body.size());
            if (range->first == body.size()) {
                status = "416 Range Not Satisfiable";
                rangeHead += "Content-Range: bytes */" + size + "\r\n";
                body = {};
            } else {
                status = "206 Partial Content";
                rangeHead += "Content-Range: bytes " + std::to_string(range->first) + "-" +
                             std::to_string(range->second - 1) + "/" + size + "\r\n";
                body = body.substr(range->first, range->second - range->first);
            }
        }
    }
    const bool chunked = r.framing == Framing::Chunked;
    std::string head = "HTTP/1.1 " + status + "\r\nContent-Type: " + r.contentType + "\r\n";
    head += rangeHead;
    if (!r.location.empty()) {
        head += "Location: " + r.location + "\r\n";
    }
    if (chunked) {
        head += "Transfer-Encoding: chunked\r\n";
    } else if (r.framing == Framing::Length) {
        head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    }
    head += "Connection: close\r\n\r\n";

    const bool cut = r.fault == Fault::Reset || r.fault == Fault::Short || r.fault == Fault::Stall;
    const std::size_t limit = headOnly ? 0 : cut ? std::min(r.faultAt, body.size()) : body.size();
    const bool trickle = r.trickleChunk > 0;
    // A paced connection sends a fiftieth of a second's worth at a time.
    const std::size_t paced = r.rate > 0 ? std::max<std::size_t>(1, r.rate / 50) : 0;
    const std::size_t piece = std::max<std::size_t>(1, trickle   ? r.trickleChunk
                                                       : paced   ? paced
                                                       : chunked ? r.chunkSize
                                                                 : limit);
    const auto started = Clock::now();

    bool ok = peer.Send({head});
    for (std::size_t at = 0; ok && at < limit; at += piece) {
        const std::string_view data = body.substr(at, std::min(piece, limit - at));
        if (chunked) {
            char size[24];
            std::snprintf(size, sizeof size, "%zx\r\n", data.size());
            ok = peer.Send({size, data, "\r\n"});
        } else {
            ok = peer.Send({data});
        }
        if (ok && trickle && at + piece < limit) {
            peer.Sleep(r.trickleDelayMs);
        }
        if (ok && paced > 0 && at + piece < limit) {
            const auto due = started + std::chrono::microseconds((at + piece) * 1000000 / r.rate);
            const auto wait =
                std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now());
            if (wait.count() > 0) {
                peer.Sleep(static_cast<int>(wait.count()));
            }
        }
    }
    if (ok && chunked && !headOnly && r.fault == Fault::None) {
        ok = peer.Send({"0\r\n\r\n"});
    }
    if (!ok) {
        return;
    }
    switch (headOnly ? Fault::None : r.fault) {
        case Fault::Reset:
            peer.Reset();
            break;
        case Fault::Stall:
            peer.DrainUntilPeerCloses(std::nullopt);
            break;
        default:
            peer.CloseGracefully();
            break;
    }
}

}  // namespace

// --- Reply -------------------------------------------------------------------------------------

Reply Reply::Body(std::string bytes, std::string contentType) {
    return Body(std::make_shared<const std::string>(std::move(bytes)), std::move(contentType));
}

Reply Reply::Body(std::shared_ptr<const std::string> bytes, std::string contentType) {
    Reply r;
    r.body = std::move(bytes);
    r.contentType = std::move(contentType);
    return r;
}

Reply Reply::Status(int status) {
    Reply r = Body(StatusBody(status));
    r.status = status;
    return r;
}

Reply Reply::Redirect(std::string location, int status) {
    Reply r = Status(status);
    r.location = std::move(location);
    return r;
}

Reply& Reply::Chunked(std::size_t chunk) {
    framing = Framing::Chunked;
    chunkSize = std::max<std::size_t>(1, chunk);
    return *this;
}

Reply& Reply::NoLength() {
    framing = Framing::Close;
    return *this;
}

Reply& Reply::ResetAfter(std::size_t bodyBytes) {
    fault = Fault::Reset;
    faultAt = bodyBytes;
    return *this;
}

Reply& Reply::ShortAfter(std::size_t bodyBytes) {
    fault = Fault::Short;
    faultAt = bodyBytes;
    return *this;
}

Reply& Reply::CutBeforeLastChunk() {
    if (framing != Framing::Chunked) {
        Chunked();
    }
    fault = Fault::CutChunked;
    return *this;
}

Reply& Reply::StallAfter(std::size_t bodyBytes) {
    fault = Fault::Stall;
    faultAt = bodyBytes;
    return *this;
}

Reply& Reply::StallBeforeResponse() {
    fault = Fault::Hang;
    return *this;
}

Reply& Reply::Ranges(std::string entityTag) {
    ranges = true;
    etag = std::move(entityTag);
    return *this;
}

Reply& Reply::Rate(std::size_t bytesPerSecond) {
    rate = bytesPerSecond;
    return *this;
}

Reply& Reply::FaultTimes(int times) {
    faultTimes = times;
    return *this;
}

Reply& Reply::ChangesAfter(int answers, std::shared_ptr<const std::string> body, std::string tag) {
    changeAfter = answers;
    changedBody = std::move(body);
    changedEtag = std::move(tag);
    return *this;
}

Reply& Reply::Trickle(std::size_t chunk, int delayMs) {
    trickleChunk = std::max<std::size_t>(1, chunk);
    trickleDelayMs = delayMs;
    return *this;
}

// --- FixtureSite -------------------------------------------------------------------------------

struct FixtureSite::Connection {
    int fd = -1;
    std::thread thread;
    std::atomic<bool> done{false};
};

FixtureSite::FixtureSite(int port) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) {
        throw std::runtime_error("FixtureSite: socket failed");
    }
    int one = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    socklen_t len = sizeof sa;
    if (port < 0 || port > 65535 ||
        ::bind(listenFd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        ::listen(listenFd_, 64) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        const std::string why = std::strerror(errno);
        ::close(listenFd_);
        throw std::runtime_error("FixtureSite: cannot listen on 127.0.0.1:" + std::to_string(port) +
                                 ": " + why);
    }
    port_ = ntohs(sa.sin_port);
    acceptThread_ = std::thread([this] { AcceptLoop(); });
}

FixtureSite::~FixtureSite() {
    stopping_ = true;
    if (acceptThread_.joinable()) {
        acceptThread_.join();
    }
    ReapFinished(true);
    ::close(listenFd_);
}

std::string FixtureSite::ProxyUrl() const {
    return "http://127.0.0.1:" + std::to_string(port_);
}

void FixtureSite::AcceptLoop() {
    while (!stopping_) {
        ReapFinished(false);
        pollfd p{listenFd_, POLLIN, 0};
        if (::poll(&p, 1, kSliceMs) <= 0) {
            continue;
        }
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        auto c = std::make_unique<Connection>();
        c->fd = fd;
        Connection* raw = c.get();
        std::lock_guard lock(mutex_);
        connections_.push_back(std::move(c));
        raw->thread = std::thread([this, raw] {
            Serve(*raw);
            ::close(raw->fd);
            raw->done = true;
        });
    }
}

void FixtureSite::ReapFinished(bool all) {
    std::vector<std::unique_ptr<Connection>> finished;
    {
        std::lock_guard lock(mutex_);
        auto keep = std::stable_partition(connections_.begin(), connections_.end(),
                                          [all](const auto& c) { return !all && !c->done; });
        std::move(keep, connections_.end(), std::back_inserter(finished));
        connections_.erase(keep, connections_.end());
    }
    // Joined outside the lock: a connection still serving takes it to record its request.
    for (auto& c : finished) {
        if (c->thread.joinable()) {
            c->thread.join();
        }
    }
}

void FixtureSite::Serve(Connection& c) {
    SitePeer peer(c.fd, stopping_);
    SSL_CTX* tls = nullptr;
    {
        std::lock_guard lock(mutex_);
        tls = authority_ ? authority_->ServerContext() : nullptr;
    }
    std::string scheme = "http";
    // A TLS handshake record first: a direct https connection.
    if (tls != nullptr && peer.PeekFirstByte() == 0x16) {
        if (!peer.StartTls(tls)) {
            return;
        }
        scheme = "https";
    }
    for (;;) {
        std::string tunnelHost;
        if (!ServeOne(peer, scheme, tls != nullptr, tunnelHost)) {
            return;
        }
        // A CONNECT the site agreed to: what follows is a TLS session to tunnelHost.
        if (tunnelHost.starts_with("hang.")) {
            peer.DrainUntilPeerCloses(std::nullopt);
            return;
        }
        if (tunnelHost.starts_with("close.")) {
            peer.PeekFirstByte();  // the client's first handshake record, then the close
            return;
        }
        if (!peer.StartTls(tls)) {
            return;
        }
        scheme = "https";
    }
}

bool FixtureSite::ServeOne(SitePeer& peer, const std::string& scheme, bool tunnels,
                           std::string& tunnelHost) {
    std::string head;
    if (!peer.ReadHead(head)) {
        return false;
    }
    RecordedRequest rq;
    std::istringstream lines(head);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (rq.line.empty() && rq.headers.empty()) {
            rq.line = line;
        } else if (!line.empty()) {
            rq.headers.push_back(line);
        }
    }
    const std::size_t sp1 = rq.line.find(' ');
    const std::size_t sp2 = rq.line.find(' ', sp1 == std::string::npos ? sp1 : sp1 + 1);
    const std::string method = rq.line.substr(0, sp1);
    const bool http11 = rq.line.ends_with(" HTTP/1.1");
    const std::string target =
        sp1 == std::string::npos ? std::string() : rq.line.substr(sp1 + 1, sp2 - sp1 - 1);
    if (target.find("://") != std::string::npos) {
        rq.address = NormaliseAddress(target);
    } else {
        std::string host;
        for (const auto& h : rq.headers) {
            if (auto v = HeaderValue(h, "Host")) {
                host = *v;
                break;
            }
        }
        rq.address = host.empty() ? target : NormaliseAddress(scheme + "://" + host + target);
    }
    const bool tunnel = method == "CONNECT" && tunnels;

    std::optional<Reply> reply;
    std::vector<std::string> requestHeaders;
    {
        std::lock_guard lock(mutex_);
        if (auto it = routes_.find(rq.address); it != routes_.end() && method != "CONNECT") {
            reply = it->second;
        }
        requestHeaders = rq.headers;
        requests_.push_back(std::move(rq));
        requestArrived_.notify_all();
    }
    if (tunnel) {
        tunnelHost = Lower(target.substr(0, target.rfind(':')));
        if (tunnelHost.starts_with("refuse.")) {
            SendReply(peer, Reply::Status(403), false, {});
            return false;
        }
        return peer.Send({"HTTP/1.1 200 Connection established\r\n\r\n"});
    }
    if (!reply) {
        reply = Reply::Status(method == "CONNECT" ? 501 : 404);
    }
    // A body without a length goes to an HTTP/1.1 client in chunks, as a proxy sends it: a
    // body cut short is then told by its missing last chunk.
    if (reply->framing == Reply::Framing::Close && http11) {
        reply->framing = Reply::Framing::Chunked;
    }
    SendReply(peer, *reply, method == "HEAD", requestHeaders);
    return false;
}

std::string FixtureSite::CaFile() {
    std::lock_guard lock(mutex_);
    if (!authority_) {
        tlsDir_ = std::make_unique<TempDir>();
        authority_ = std::make_unique<TestAuthority>(tlsDir_->Path() + "/authority.pem");
    }
    return authority_->CaFile();
}

void FixtureSite::Route(const std::string& address, Reply reply) {
    std::lock_guard lock(mutex_);
    routes_.insert_or_assign(NormaliseAddress(address), std::move(reply));
}

void FixtureSite::RemoveRoute(const std::string& address) {
    std::lock_guard lock(mutex_);
    routes_.erase(NormaliseAddress(address));
}

std::optional<Reply> FixtureSite::FindRoute(const std::string& address) const {
    std::lock_guard lock(mutex_);
    auto it = routes_.find(NormaliseAddress(address));
    return it == routes_.end() ? std::nullopt : std::optional<Reply>(it->second);
}

std::vector<std::string> FixtureSite::Requests() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& r : requests_) {
        out.push_back(r.line);
    }
    return out;
}

std::vector<RecordedRequest> FixtureSite::RecordedRequests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<std::string> FixtureSite::Headers(std::size_t i) const {
    std::lock_guard lock(mutex_);
    return i < requests_.size() ? requests_[i].headers : std::vector<std::string>();
}

std::string FixtureSite::Header(std::size_t i, std::string_view name) const {
    for (const auto& line : Headers(i)) {
        if (auto v = HeaderValue(line, name)) {
            return *v;
        }
    }
    return {};
}

std::size_t FixtureSite::RequestCount() const {
    std::lock_guard lock(mutex_);
    return requests_.size();
}

void FixtureSite::ClearRequests() {
    std::lock_guard lock(mutex_);
    requests_.clear();
}

bool FixtureSite::WaitForRequests(std::size_t n, int timeoutMs) const {
    std::unique_lock lock(mutex_);
    return requestArrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                    [&] { return requests_.size() >= n; });
}

int FixtureSite::OpenConnections() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count_if(connections_.begin(), connections_.end(),
                                          [](const auto& c) { return !c->done; }));
}

std::string FixtureSite::NormaliseAddress(std::string_view address) {
    address = address.substr(0, address.find('#'));
    const std::size_t sep = address.find("://");
    if (sep == std::string_view::npos) {
        return std::string(address);
    }
    const std::string scheme = Lower(address.substr(0, sep));
    std::string_view rest = address.substr(sep + 3);
    const std::size_t end = rest.find_first_of("/?");
    std::string host = Lower(rest.substr(0, end));
    std::string tail(end == std::string_view::npos ? std::string_view() : rest.substr(end));
    host = host.substr(host.rfind('@') + 1);  // user information never selects a route
    const std::string defaultPort = scheme == "https" ? ":443" : scheme == "http" ? ":80" : "";
    if (!defaultPort.empty() && host.ends_with(defaultPort)) {
        host.resize(host.size() - defaultPort.size());
    }
    if (tail.empty() || tail.front() == '?') {
        tail.insert(0, "/");
    }
    return scheme + "://" + host + tail;
}

// --- The default content set ------------------------------------------------------------------

namespace {

// Runs ffmpeg from PATH with args, its output into logPath; true when it ends with status 0.
bool RunFfmpeg(const std::vector<std::string>& args, const std::string& logPath) {
    std::vector<char*> argv;
    for (const auto& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&files, 1, 2);
    // A caller that blocks signals for sigwait must not hand that mask to the converter.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, "ffmpeg", &files, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        WriteFile(logPath, std::string("cannot start ffmpeg: ") + std::strerror(rc) + "\n");
        return false;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(kFfmpegTimeoutMs);
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        }
        if (done < 0 && errno != EINTR) {
            return false;
        }
        if (Clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kSliceMs));
    }
}

std::vector<std::string> Words(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string w; in >> w;) {
        out.push_back(w);
    }
    return out;
}

struct VideoKind {
    const char* file;
    const char* format;
    const char* size;
    const char* tone;
    // Encoder choices, the first that works wins.
    std::vector<std::string> codecs;
};

// The cached video, made first when missing. Several test programs may make it at once: each
// writes a file of its own and renames it into place.
// Where a video of this kind and length is cached; the length shows in the name unless it is
// the usual two seconds.
std::string CachePath(const std::string& dir, const VideoKind& kind, int seconds) {
    const std::string name = kind.file;
    const std::size_t dot = name.rfind('.');
    return dir + "/" +
           (seconds == 2
                ? name
                : name.substr(0, dot) + "-" + std::to_string(seconds) + "s" + name.substr(dot));
}

std::shared_ptr<const std::string> CachedVideo(const std::string& dir, const VideoKind& kind,
                                               int seconds) {
    const std::string path = CachePath(dir, kind, seconds);
    std::string bytes = ReadFile(path);
    if (!bytes.empty()) {
        return std::make_shared<const std::string>(std::move(bytes));
    }
    const std::string part =
        path + ".part-" + std::to_string(::getpid()) + "-" +
        std::to_string(std::hash<std::thread::id>()(std::this_thread::get_id()));
    const std::string log = part + ".log";
    std::string failures;
    for (const auto& codec : kind.codecs) {
        std::vector<std::string> args =
            Words("ffmpeg -hide_banner -nostdin -loglevel error -y -f lavfi -i");
        args.push_back(std::string("testsrc=size=") + kind.size +
                       ":rate=25:duration=" + std::to_string(seconds));
        args.insert(args.end(), {"-f", "lavfi", "-i"});
        args.push_back(std::string("sine=frequency=") + kind.tone +
                       ":sample_rate=22050:duration=" + std::to_string(seconds));
        args.insert(args.end(), {"-map_metadata", "-1"});
        const auto codecArgs = Words(codec);
        args.insert(args.end(), codecArgs.begin(), codecArgs.end());
        args.insert(args.end(), {"-f", kind.format, part});
        const bool ok = RunFfmpeg(args, log);
        failures += ReadFile(log);
        std::error_code ec;
        if (ok && std::filesystem::file_size(part, ec) > 0 && !ec) {
            std::filesystem::rename(part, path, ec);
            std::filesystem::remove(log, ec);
            if (!ec) {
                return std::make_shared<const std::string>(ReadFile(path));
            }
        }
        std::filesystem::remove(part, ec);
    }
    std::error_code ec;
    std::filesystem::remove(log, ec);
    throw std::runtime_error("cannot make " + path + " with ffmpeg: " + failures);
}

std::vector<std::string> SplitTabs(const std::string& line) {
    std::vector<std::string> out;
    std::size_t at = 0;
    for (;;) {
        const std::size_t tab = line.find('\t', at);
        out.push_back(line.substr(at, tab - at));
        if (tab == std::string::npos) {
            return out;
        }
        at = tab + 1;
    }
}

}  // namespace

std::string DefaultMediaDir() {
    return std::string(TAMBERLO_TEST_BIN_DIR) + "/site-media";
}

std::string PseudoRandomBytes(std::size_t size) {
    std::string out(size, '\0');
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    for (std::size_t at = 0; at < size; at += 8) {
        // splitmix64: cheap and good enough to defeat any compression on the way.
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        std::memcpy(out.data() + at, &z, std::min<std::size_t>(8, size - at));
    }
    return out;
}

DefaultSite LoadDefaultSite(FixtureSite& site, const std::string& mediaDir, std::size_t blobBytes,
                            int clipSeconds) {
    DefaultSite d;
    const std::string pagesDir = std::string(TAMBERLO_FIXTURES_DIR) + "/pages";
    std::ifstream table(pagesDir + "/pages.tsv");
    if (!table) {
        throw std::runtime_error("cannot read " + pagesDir + "/pages.tsv");
    }
    for (std::string line; std::getline(table, line);) {
        if (line.empty() || line.front() == '#') {
            continue;
        }
        auto cols = SplitTabs(line);
        if (cols.size() != 6) {
            throw std::runtime_error("pages.tsv: not six columns: " + line);
        }
        for (auto& col : cols) {
            if (col == "-") {
                col.clear();
            }
        }
        d.pages.push_back(
            {pagesDir + "/" + cols[0], cols[1], cols[2], cols[3] == "1", cols[4], cols[5]});
    }

    if (blobBytes > 0) {
        d.flv = d.mp4 = d.hdMp4 = std::make_shared<const std::string>(PseudoRandomBytes(blobBytes));
    } else {
        std::filesystem::create_directories(mediaDir);
        // FLV as the sites served it (Sorenson Spark, MP3); the MP4s in H.264 and AAC, with
        // MPEG-4 part 2 for a converter built without libx264.
        const std::vector<std::string> mp4Codecs = {
            "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac", "-c:v mpeg4 -c:a aac"};
        const VideoKind flv{
            "fixture-v1.flv",
            "flv",
            "160x120",
            "440",
            {"-c:v flv -c:a libmp3lame -ar 22050", "-c:v flv -c:a adpcm_swf -ar 22050"}};
        const VideoKind mp4{"fixture-v1-fmt18.mp4", "mp4", "160x120", "660", mp4Codecs};
        const VideoKind hd{"fixture-v1-fmt22.mp4", "mp4", "320x240", "880", mp4Codecs};
        d.flv = CachedVideo(mediaDir, flv, clipSeconds);
        d.mp4 = CachedVideo(mediaDir, mp4, clipSeconds);
        d.hdMp4 = CachedVideo(mediaDir, hd, clipSeconds);
        d.flvPath = CachePath(mediaDir, flv, clipSeconds);
        d.mp4Path = CachePath(mediaDir, mp4, clipSeconds);
        d.hdMp4Path = CachePath(mediaDir, hd, clipSeconds);
    }

    std::set<std::string> routed;
    auto routeOnce = [&](const std::string& address, Reply reply) {
        if (routed.insert(FixtureSite::NormaliseAddress(address)).second) {
            site.Route(address, std::move(reply));
        }
    };
    for (const auto& p : d.pages) {
        std::string html = ReadFile(p.pageFile);
        if (html.empty()) {
            throw std::runtime_error("cannot read " + p.pageFile);
        }
        routeOnce(p.jobAddress, Reply::Body(std::move(html)));
        if (!p.fileAddress.empty()) {
            routeOnce(p.fileAddress, Reply::Body(d.flv, "video/x-flv"));
            routeOnce(p.fileAddress + "&fmt=18", Reply::Body(d.mp4, "video/mp4"));
            if (p.hd) {
                routeOnce(p.fileAddress + "&fmt=22", Reply::Body(d.hdMp4, "video/mp4"));
            }
        }
    }
    return d;
}

std::vector<OtherSitePage> AddOtherSitePages(FixtureSite& site,
                                             std::shared_ptr<const std::string> video, bool https) {
    const std::string secure = https ? "https://" : "http://";
    std::vector<OtherSitePage> pages = {
        {"direct link", secure + "files.example.org/clips/Harbour.webm",
         secure + "files.example.org/clips/Harbour.webm", "Harbour.webm", ""},
        {"Open Graph, file on another host", secure + "og.example.org/watch/41",
         "http://cdn.example.net/f/og41.mp4", "Boats & Bays Day 2.mp4", ""},
        {"HTML5 sources behind a base address", "http://html5.example.org/page/7",
         "http://media.example.org/v/clip-1080.mkv", "Three Sizes.mkv", ""},
        {"player page with JSON-LD", "http://player.example.org/embed/9",
         "http://cdn.example.net/ld/9.m4v", "Player Nine.m4v", ""},
        {"page without a video", "http://plain.example.org/about", "", "", "No video found on "},
        {"streaming manifest", "http://live.example.org/now", "", "",
         "Not downloaded, only a streaming playlist (HLS or DASH) found on "},
        {"file address answering with HTML", "http://files.example.org/missing.mp4", "", "",
         "No video found on "},
    };
    site.Route(pages[0].job, Reply::Body(video, "video/webm"));
    site.Route(pages[1].job,
               Reply::Body("<html><head><meta property=\"og:title\" content=\"Boats &amp; Bays: "
                           "Day 2\"><meta property=\"og:video\" content=\"" +
                           pages[1].file +
                           "\"><meta property=\"og:video:type\" content=\"video/mp4\">"
                           "</head><body>Video</body></html>"));
    site.Route(pages[1].file, Reply::Body(video, "application/octet-stream"));
    site.Route(pages[2].job,
               Reply::Body("<html><head><base href=\"http://media.example.org/v/\"><title>Three "
                           "Sizes</title></head><body><video controls>"
                           "<source src=\"clip-360.webm\" type=\"video/webm\" size=\"360\">"
                           "<source src=\"clip-1080.mkv\" type=\"video/x-matroska\" size=\"1080\">"
                           "<source src=\"clip-720.mp4\" type=\"video/mp4\" size=\"720\">"
                           "</video></body></html>"));
    site.Route(pages[2].file, Reply::Body(video, "video/x-matroska"));
    site.Route(pages[3].job,
               Reply::Body("<html><head><title>Player Nine</title><meta property=\"og:video\" "
                           "content=\"http://player.example.org/embed/9\"><meta "
                           "property=\"og:video:type\" content=\"text/html\"><script "
                           "type=\"application/ld+json\">{\"@context\":\"https://schema.org\","
                           "\"@type\":\"VideoObject\",\"name\":\"Player Nine\",\"contentUrl\":"
                           "\"http:\\/\\/cdn.example.net\\/ld\\/9.m4v\"}</script></head>"
                           "<body><div id=\"player\"></div></body></html>"));
    site.Route(pages[3].file, Reply::Body(video, "video/mp4"));
    site.Route(pages[4].job, Reply::Body("<html><title>About us</title><p>No video.</p></html>"));
    site.Route(pages[5].job, Reply::Body("<html><video><source src=\"/hls/now.m3u8\" "
                                         "type=\"application/vnd.apple.mpegurl\"></video></html>"));
    site.Route(pages[6].job, Reply::Body("<html><title>Not here</title></html>"));
    if (https) {
        // Their http addresses lead there, as sites that moved to https do.
        for (const OtherSitePage& page : {pages[0], pages[1]}) {
            site.Route("http://" + page.job.substr(8), Reply::Redirect(page.job, 301));
        }
    }
    return pages;
}

}  // namespace testsupport
