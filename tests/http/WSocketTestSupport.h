#pragma once

// Event recording shared by the socket tests.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "http/WSocket.h"
#include "tests/support/LoopbackServer.h"

namespace wsocktest {

// Records every event of a socket as a line, and reads what arrives.
struct Recorder {
    explicit Recorder(TWSocket& s, bool withOnError = true) : socket(s) {
        s.OnDnsLookupDone = [this](TWSocket&, std::uint16_t e) { Add("dns", e); };
        s.OnSessionConnected = [this](TWSocket&, std::uint16_t e) { Add("connected", e); };
        s.OnSessionClosed = [this](TWSocket&, std::uint16_t e) { Add("closed", e); };
        s.OnDataSent = [this](TWSocket&, std::uint16_t e) { Add("sent", e); };
        s.OnDataAvailable = [this](TWSocket& sock, std::uint16_t) {
            char buffer[8192];
            int n = sock.Receive(buffer, sizeof buffer);
            if (n > 0) {
                data.append(buffer, static_cast<std::size_t>(n));
                ++dataEvents;
            }
        };
        if (withOnError) {
            s.OnError = [this](TWSocket& sock) { errors.push_back(sock.LastErrorMessage()); };
        }
    }
    void Add(const std::string& name, int code) {
        events.push_back(name + " " + std::to_string(code));
    }
    int Count(const std::string& prefix) const {
        int n = 0;
        for (const auto& e : events) {
            n += e.rfind(prefix, 0) == 0 ? 1 : 0;
        }
        return n;
    }
    bool Has(const std::string& prefix) const { return Count(prefix) > 0; }

    TWSocket& socket;
    std::vector<std::string> events;
    std::vector<std::string> errors;
    std::string data;
    int dataEvents = 0;
};

inline void Target(TWSocket& s, const testsupport::LoopbackServer& server) {
    s.SetAddr("127.0.0.1");
    s.SetPort(server.PortText());
}

// A loopback port nobody listens on: bound to get a free number, then released.
// Aims the socket at the server, connects, and waits until the connection stands.
inline bool ConnectTo(TWSocket& s, const testsupport::LoopbackServer& server) {
    Target(s, server);
    s.Connect();
    return testsupport::PumpUntil([&] { return s.State() == wsConnected; });
}

inline int ClosedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    ::close(fd);
    return ntohs(sa.sin_port);
}

// Names whose lookup fails or succeeds on this machine alone: the resolver rejects a label of
// more than 63 bytes, and an all-numeric name, without asking any name server.
inline std::string UnresolvableName() {
    return std::string(70, 'a') + ".invalid";
}

}  // namespace wsocktest
