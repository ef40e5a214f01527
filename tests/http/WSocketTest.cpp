#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/WSocket.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/TempDir.h"

using testsupport::LoopbackServer;
using testsupport::PumpFor;
using testsupport::PumpUntil;
using testsupport::Script;

namespace {

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

void Target(TWSocket& s, const LoopbackServer& server) {
    s.SetAddr("127.0.0.1");
    s.SetPort(server.PortText());
}

}  // namespace

TEST(WSocketCycle, ConnectSendReceiveCloseInDocumentedOrder) {
    int fdsBefore = testsupport::OpenFdCount();
    {
        LoopbackServer server({Script().ReadUntil("\r\n\r\n").Send("HTTP/1.0 200 OK\r\n\r\nbody")});
        TWSocket s;
        Recorder r(s);
        std::vector<std::string> states;
        s.OnChangeState = [&](TWSocket&, TSocketState from, TSocketState to) {
            states.push_back(std::to_string(from) + ">" + std::to_string(to));
        };
        s.OnSessionConnected = [&](TWSocket& sock, std::uint16_t e) {
            r.Add("connected", e);
            EXPECT_EQ(sock.SendStr("GET / HTTP/1.0\r\n\r\n"), 18);
        };
        Target(s, server);
        s.Connect();
        ASSERT_TRUE(PumpUntil([&] { return r.Has("closed"); }));
        EXPECT_EQ(r.data, "HTTP/1.0 200 OK\r\n\r\nbody");
        EXPECT_EQ(server.Received(0), "GET / HTTP/1.0\r\n\r\n");
        ASSERT_GE(r.events.size(), 3u);
        EXPECT_EQ(r.events.front(), "connected 0");
        EXPECT_EQ(r.events.back(), "closed 0");
        EXPECT_EQ(r.Count("closed"), 1);
        EXPECT_EQ(r.Count("connected"), 1);
        EXPECT_TRUE(r.Has("sent 0"));
        EXPECT_TRUE(r.errors.empty());
        EXPECT_EQ(s.State(), wsClosed);
        std::vector<std::string> want = {
            std::to_string(wsClosed) + ">" + std::to_string(wsOpened),
            std::to_string(wsOpened) + ">" + std::to_string(wsConnecting),
            std::to_string(wsConnecting) + ">" + std::to_string(wsConnected),
            std::to_string(wsConnected) + ">" + std::to_string(wsClosed)};
        EXPECT_EQ(states, want);
        // The close restored the defaults: the next connect needs a port again.
        EXPECT_EQ(s.Addr(), "");
        EXPECT_EQ(s.Port(), "");
        EXPECT_EQ(s.ReadCount(), 0);
        PumpFor(20);
        EXPECT_EQ(r.Count("closed"), 1);
    }
    EXPECT_EQ(testsupport::OpenFdCount(), fdsBefore);
}
