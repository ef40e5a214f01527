#include "tests/support/LoopbackServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<std::int64_t>(0, left.count()));
}

// Poll slices are short so that a stopping server never waits long for a thread.
constexpr int kSliceMs = 20;

}  // namespace

// --- Script ----------------------------------------------------------------------------------

Script& Script::Send(std::string bytes) {
    steps_.push_back([bytes = std::move(bytes)](ServerConnection& c) { c.Send(bytes); });
    return *this;
}

Script& Script::Trickle(std::string bytes, std::size_t chunk, int delayMs) {
    chunk = std::max<std::size_t>(1, chunk);
    steps_.push_back([bytes = std::move(bytes), chunk, delayMs](ServerConnection& c) {
        for (std::size_t at = 0; at < bytes.size() && !c.Stopping(); at += chunk) {
            if (!c.Send(bytes.substr(at, chunk))) {
                return;
            }
            c.Sleep(delayMs);
        }
    });
    return *this;
}

Script& Script::ReadUntil(std::string marker) {
    steps_.push_back([marker = std::move(marker)](ServerConnection& c) { c.ReadUntil(marker); });
    return *this;
}

Script& Script::ReadBytes(std::size_t count) {
    steps_.push_back([count](ServerConnection& c) { c.ReadBytes(count); });
    return *this;
}

Script& Script::ReadToEnd() {
    steps_.push_back([](ServerConnection& c) { c.ReadToEnd(); });
    return *this;
}

Script& Script::Sleep(int ms) {
    steps_.push_back([ms](ServerConnection& c) { c.Sleep(ms); });
    return *this;
}

Script& Script::ShutdownWrite() {
    steps_.push_back([](ServerConnection& c) { c.ShutdownWrite(); });
    return *this;
}

Script& Script::Close() {
    steps_.push_back([](ServerConnection& c) { c.Close(); });
    return *this;
}

Script& Script::Reset() {
    steps_.push_back([](ServerConnection& c) { c.Reset(); });
    return *this;
}

Script& Script::Stall() {
    steps_.push_back([](ServerConnection& c) { c.Stall(); });
    return *this;
}

Script& Script::Custom(std::function<void(ServerConnection&)> step) {
    steps_.push_back(std::move(step));
    return *this;
}

// --- ServerConnection ------------------------------------------------------------------------

ServerConnection::ServerConnection(int fd, const std::atomic<bool>& stopping)
    : fd_(fd), stopping_(stopping) {}

ServerConnection::~ServerConnection() {
    Close();
}

bool ServerConnection::Send(const std::string& bytes) {
    std::size_t at = 0;
    while (at < bytes.size() && fd_ >= 0 && !stopping_) {
        pollfd p{fd_, POLLOUT, 0};
        int rc = ::poll(&p, 1, kSliceMs);
        if (rc < 0 && errno != EINTR) {
            return false;
        }
        if (rc <= 0) {
            continue;
        }
        ssize_t n = ::send(fd_, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                continue;
            }
            return false;
        }
        at += static_cast<std::size_t>(n);
    }
    return at == bytes.size();
}

bool ServerConnection::ReadSome(int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (fd_ >= 0 && !stopping_) {
        pollfd p{fd_, POLLIN, 0};
        int rc = ::poll(&p, 1, std::min(kSliceMs, RemainingMs(deadline)));
        if (rc < 0 && errno != EINTR) {
            return false;
        }
        if (rc > 0) {
            char buffer[16384];
            ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0) {
                std::lock_guard lock(mutex_);
                received_.append(buffer, static_cast<std::size_t>(n));
                return true;
            }
            if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                peerClosed_ = true;
                return false;
            }
        }
        if (Clock::now() >= deadline) {
            return false;
        }
    }
    return false;
}

bool ServerConnection::ReadUntil(const std::string& marker, int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    auto found = [&] {
        std::lock_guard lock(mutex_);
        return received_.find(marker) != std::string::npos;
    };
    for (;;) {
        if (found()) {
            return true;
        }
        if (!ReadSome(RemainingMs(deadline))) {
            return found();
        }
    }
}

bool ServerConnection::ReadBytes(std::size_t count, int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::size_t target = ReceivedSize() + count;
    while (ReceivedSize() < target) {
        if (!ReadSome(RemainingMs(deadline))) {
            break;
        }
    }
    return ReceivedSize() >= target;
}

void ServerConnection::ReadToEnd(int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!peerClosed_ && RemainingMs(deadline) > 0) {
        ReadSome(RemainingMs(deadline));
    }
}

void ServerConnection::Sleep(int ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (!stopping_ && RemainingMs(deadline) > 0) {
        std::this_thread::sleep_for(
            std::chrono::milliseconds(std::min(kSliceMs, RemainingMs(deadline))));
    }
}

void ServerConnection::ShutdownWrite() {
    if (fd_ >= 0) {
        ::shutdown(fd_, SHUT_WR);
    }
}

void ServerConnection::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

void ServerConnection::Reset() {
    if (fd_ >= 0) {
        linger l{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        Close();
    }
}

void ServerConnection::Stall() {
    while (!stopping_) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kSliceMs));
    }
}

std::size_t ServerConnection::ReceivedSize() const {
    std::lock_guard lock(mutex_);
    return received_.size();
}

std::string ServerConnection::Received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

// --- LoopbackServer --------------------------------------------------------------------------

LoopbackServer::LoopbackServer(std::vector<Script> scripts, Family family)
    : scripts_(std::move(scripts)) {
    if (scripts_.empty()) {
        scripts_.emplace_back();
    }
    const bool ipv6 = family == Family::IPv6;
    listenFd_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) {
        throw std::runtime_error("LoopbackServer: socket failed");
    }
    int one = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_storage storage{};
    socklen_t len = 0;
    if (ipv6) {
        auto* sa = reinterpret_cast<sockaddr_in6*>(&storage);
        sa->sin6_family = AF_INET6;
        sa->sin6_addr = in6addr_loopback;
        len = sizeof *sa;
    } else {
        auto* sa = reinterpret_cast<sockaddr_in*>(&storage);
        sa->sin_family = AF_INET;
        sa->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        len = sizeof *sa;
    }
    auto* address = reinterpret_cast<sockaddr*>(&storage);
    if (::bind(listenFd_, address, len) != 0 || ::listen(listenFd_, 16) != 0 ||
        ::getsockname(listenFd_, address, &len) != 0) {
        ::close(listenFd_);
        throw std::runtime_error("LoopbackServer: cannot listen on the loopback address");
    }
    port_ = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                       : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
    acceptThread_ = std::thread([this] { AcceptLoop(); });
}

LoopbackServer::~LoopbackServer() {
    stopping_ = true;
    if (acceptThread_.joinable()) {
        acceptThread_.join();
    }
    // The accept thread is gone, so slots_ no longer grows; the connection threads still lock
    // it to record their end, so it is not held while joining them.
    for (auto& slot : slots_) {
        if (slot->thread.joinable()) {
            slot->thread.join();
        }
    }
    ::close(listenFd_);
}

void LoopbackServer::AcceptLoop() {
    while (!stopping_) {
        pollfd p{listenFd_, POLLIN, 0};
        int rc = ::poll(&p, 1, kSliceMs);
        if (rc <= 0) {
            continue;
        }
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        std::lock_guard lock(mutex_);
        auto slot = std::make_unique<Slot>();
        slot->connection = std::make_unique<ServerConnection>(fd, stopping_);
        std::size_t index = slots_.size();
        slots_.push_back(std::move(slot));
        slots_.back()->thread = std::thread([this, index] { RunConnection(index); });
        changed_.notify_all();
    }
}

void LoopbackServer::RunConnection(std::size_t index) {
    ServerConnection* connection;
    {
        std::lock_guard lock(mutex_);
        connection = slots_[index]->connection.get();
    }
    const Script& script = scripts_[std::min(index, scripts_.size() - 1)];
    for (const auto& step : script.Steps()) {
        if (stopping_) {
            break;
        }
        step(*connection);
    }
    connection->Close();
    std::lock_guard lock(mutex_);
    slots_[index]->finished = true;
    changed_.notify_all();
}

int LoopbackServer::AcceptedCount() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(slots_.size());
}

std::string LoopbackServer::Received(int connection) const {
    std::lock_guard lock(mutex_);
    if (connection < 0 || static_cast<std::size_t>(connection) >= slots_.size()) {
        return {};
    }
    return slots_[static_cast<std::size_t>(connection)]->connection->Received();
}

bool LoopbackServer::PeerClosed(int connection) const {
    std::lock_guard lock(mutex_);
    if (connection < 0 || static_cast<std::size_t>(connection) >= slots_.size()) {
        return false;
    }
    return slots_[static_cast<std::size_t>(connection)]->connection->PeerClosed();
}

bool LoopbackServer::WaitForFinished(int n, int timeoutMs) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        int finished = 0;
        for (const auto& slot : slots_) {
            finished += slot->finished ? 1 : 0;
        }
        return finished >= n;
    });
}

// --- Event pumping ---------------------------------------------------------------------------

namespace {

// Handles what is pending, sleeping at most ms for something to arrive.
void PumpOnce(int ms) {
    QTimer wake;
    wake.setSingleShot(true);
    wake.start(ms);
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

}  // namespace

Script BasicAuthProxy(std::string credentials, std::string body) {
    return Script().Custom([credentials, body](ServerConnection& c) {
        std::size_t done = 0;
        while (!c.Stopping()) {
            const std::string received = c.Received();
            const std::size_t end = received.find("\r\n\r\n", done);
            if (end == std::string::npos) {
                if (!c.ReadSome(50) && c.PeerClosed()) {
                    return;
                }
                continue;
            }
            const std::string request = received.substr(done, end + 4 - done);
            done = end + 4;
            if (request.find("\r\nProxy-Authorization: Basic " + credentials + "\r\n") !=
                std::string::npos) {
                c.Send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                       "\r\n\r\n" + body);
            } else {
                c.Send(
                    "HTTP/1.1 407 Proxy Authentication Required\r\n"
                    "Proxy-Authenticate: Basic realm=\"loopback\"\r\nContent-Length: 6\r\n\r\n"
                    "denied");
            }
        }
    });
}

bool PumpUntil(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() >= timeoutMs) {
            return done();
        }
        PumpOnce(10);
    }
    return true;
}

void PumpFor(int ms) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) {
        PumpOnce(std::max<int>(1, std::min<int>(10, ms - static_cast<int>(timer.elapsed()))));
    }
}

}  // namespace testsupport
