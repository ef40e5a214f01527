#pragma once

// A scripted TCP server on 127.0.0.1 for tests of the socket layer and the HTTP client.
//
// It listens on an ephemeral port and runs on threads of its own, so a test keeps the Qt event
// loop on the main thread (PumpUntil below) while the server answers. Every accepted connection
// runs a script; connection i runs scripts[i], the last script serving every later connection.
//
//   testsupport::LoopbackServer server({testsupport::Script()
//                                           .ReadUntil("\r\n\r\n")
//                                           .Send("HTTP/1.0 200 OK\r\n\r\nhello")
//                                           .Close()});
//   socket.SetAddr("127.0.0.1");
//   socket.SetPort(std::to_string(server.Port()));
//   ...
//   ASSERT_TRUE(testsupport::PumpUntil([&] { return done; }));
//   EXPECT_EQ(server.Received(0), "GET / HTTP/1.0\r\n...");
//
// A script that ends without Close or Reset closes the connection normally. Every wait inside
// a script is bounded, and the destructor stops all threads and closes every descriptor.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class ServerConnection;

class Script {
public:
    // Sends bytes at once (as far as the peer takes them; waits while its window is full).
    Script& Send(std::string bytes);
    // Sends bytes in pieces of chunk bytes with delayMs between them: a slow trickle.
    Script& Trickle(std::string bytes, std::size_t chunk, int delayMs);
    // Reads and records until the bytes received so far contain marker (e.g. "\r\n\r\n").
    Script& ReadUntil(std::string marker);
    // Reads and records until count more bytes have arrived.
    Script& ReadBytes(std::size_t count);
    // Reads and records until the peer closes its side.
    Script& ReadToEnd();
    Script& Sleep(int ms);
    // Shuts down the server's sending side (the peer sees the end of data), keeps reading open.
    Script& ShutdownWrite();
    // Closes the connection normally.
    Script& Close();
    // Closes with SO_LINGER 0: the peer sees a reset.
    Script& Reset();
    // Never reads, never writes, until the server is destroyed: the peer's sends fill up.
    Script& Stall();
    // Anything else: runs on the connection's thread.
    Script& Custom(std::function<void(ServerConnection&)> step);

    const std::vector<std::function<void(ServerConnection&)>>& Steps() const { return steps_; }

private:
    std::vector<std::function<void(ServerConnection&)>> steps_;
};

// One accepted connection as a script step sees it.
class ServerConnection {
public:
    ServerConnection(int fd, const std::atomic<bool>& stopping);
    ~ServerConnection();
    ServerConnection(const ServerConnection&) = delete;
    ServerConnection& operator=(const ServerConnection&) = delete;

    int Fd() const { return fd_; }
    bool Send(const std::string& bytes);
    // Reads once what is there (waiting up to timeoutMs); false at the end of data or timeout.
    bool ReadSome(int timeoutMs);
    bool ReadUntil(const std::string& marker, int timeoutMs = 10000);
    bool ReadBytes(std::size_t count, int timeoutMs = 10000);
    void ReadToEnd(int timeoutMs = 10000);
    void Sleep(int ms);
    void ShutdownWrite();
    void Close();
    void Reset();
    void Stall();

    std::string Received() const;
    std::size_t ReceivedSize() const;
    bool PeerClosed() const { return peerClosed_; }
    bool Stopping() const { return stopping_.load(); }

private:
    int fd_;
    const std::atomic<bool>& stopping_;
    mutable std::mutex mutex_;
    std::string received_;
    std::atomic<bool> peerClosed_{false};
};

class LoopbackServer {
public:
    enum class Family { IPv4, IPv6 };
    // Listens on 127.0.0.1, or on ::1 for Family::IPv6.
    explicit LoopbackServer(std::vector<Script> scripts, Family family = Family::IPv4);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    int Port() const { return port_; }
    static std::string Address() { return "127.0.0.1"; }
    std::string PortText() const { return std::to_string(port_); }

    int AcceptedCount() const;
    // Bytes connection i has read from its peer so far (empty for an unknown i).
    std::string Received(int connection) const;
    // True once connection i has seen its peer close.
    bool PeerClosed(int connection) const;
    // Waits (without pumping events) until n connections have finished their scripts.
    bool WaitForFinished(int n, int timeoutMs = 10000) const;

private:
    void AcceptLoop();
    void RunConnection(std::size_t index);

    struct Slot {
        std::unique_ptr<ServerConnection> connection;
        std::thread thread;
        bool finished = false;
    };

    std::vector<Script> scripts_;
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::unique_ptr<Slot>> slots_;
    std::thread acceptThread_;
};

// A proxy that asks for Basic credentials: every request on a connection that carries
// "Proxy-Authorization: Basic " + credentials (the Base64 of "user:password") gets a 200 with
// body, any other a 407 with a Basic challenge. The connection stays open for more requests.
Script BasicAuthProxy(std::string credentials, std::string body);

// Pumps the Qt event loop until done() is true or timeoutMs has passed; returns done().
bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 10000);
// Pumps the Qt event loop for ms milliseconds.
void PumpFor(int ms);

}  // namespace testsupport
