#include <gtest/gtest.h>
#include <poll.h>

#include <QTimer>
#include <algorithm>
#include <string>
#include <vector>

#include "http/WSocket.h"
#include "tests/http/WSocketTestSupport.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/TempDir.h"

using testsupport::LoopbackServer;
using testsupport::PumpFor;
using testsupport::PumpUntil;
using testsupport::Script;
using wsocktest::Recorder;
using wsocktest::Target;

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

namespace {

// Bytes that show any loss, repeat or reordering: every 4-byte group holds its own offset.
std::string Pattern(std::size_t size) {
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        std::uint32_t group = static_cast<std::uint32_t>(i / 4);
        s[i] = static_cast<char>((group >> (8 * (i % 4))) & 0xFF);
    }
    return s;
}

}  // namespace

TEST(WSocketSend, NotConnectedGivesMinusOneAnd10057) {
    TWSocket s;
    Recorder r(s);
    EXPECT_EQ(s.SendStr("x"), -1);
    EXPECT_EQ(s.LastError(), 10057);
    EXPECT_EQ(r.errors,
              std::vector<std::string>{"Error 10057 in function Send\r\nSocket is not connected"});
    EXPECT_TRUE(r.events.empty());
    s.OnError = nullptr;
    EXPECT_THROW(s.SendStr("x"), ESocketException);
}

TEST(WSocketSend, PutDataCountsBytesWithoutSending) {
    TWSocket s;
    s.PutDataInSendBuffer("abc", 3);
    s.PutDataInSendBuffer("", 0);
    s.PutDataInSendBuffer(Pattern(4000).data(), 4000);
    EXPECT_EQ(s.BufferedByteCount(), 4003);
    EXPECT_FALSE(s.AllSent());
}

// A slow reader makes the kernel refuse most of a large send: the rest waits in the blocks
// and goes out at later write notices, in order.
TEST(WSocketSend, LargeDataGoesThroughTheBlocksInOrder) {
    const std::string payload = Pattern(6 * 1024 * 1024 + 123);
    const std::string small = Pattern(997);
    const std::size_t total = payload.size() + 50 * small.size();
    LoopbackServer server({Script().Sleep(200).ReadBytes(total)});
    TWSocket s;
    Recorder r(s);
    std::int64_t reported = 0;
    s.OnSendData = [&](TWSocket&, int n) { reported += n; };
    ASSERT_TRUE(wsocktest::ConnectTo(s, server));
    PumpFor(20);
    r.events.clear();  // from here on "sent" means the payload went out
    EXPECT_EQ(s.SendStr(payload), static_cast<int>(payload.size()));
    EXPECT_GT(s.BufferedByteCount(), 0) << "the reader sleeps: some bytes must wait";
    // More data appended behind what waits, partly filling the last block each time.
    for (int i = 0; i < 50; ++i) {
        s.SendStr(small);
    }
    ASSERT_TRUE(PumpUntil([&] { return s.BufferedByteCount() == 0 && r.Has("sent"); }, 30000));
    ASSERT_TRUE(server.WaitForFinished(1, 30000));
    std::string want = payload;
    for (int i = 0; i < 50; ++i) {
        want += small;
    }
    std::string got = server.Received(0);
    ASSERT_EQ(got.size(), want.size());
    EXPECT_TRUE(got == want) << "bytes lost, repeated or reordered";
    EXPECT_EQ(reported, static_cast<std::int64_t>(total));
    EXPECT_TRUE(s.AllSent());
}

TEST(WSocketReceive, PeerClosingMidDataDeliversEverythingThenCloses) {
    const std::string body = Pattern(3 * 1024 * 1024);
    const std::string trickle = Pattern(3000);
    for (bool slow : {false, true}) {
        int fdsBefore = testsupport::OpenFdCount();
        {
            Script script;
            if (slow) {
                script.Trickle(trickle, 100, 2).Close();
            } else {
                script.Send(body).Close();
            }
            LoopbackServer server({script});
            TWSocket s;
            Recorder r(s);
            wsocktest::Target(s, server);
            s.Connect();
            ASSERT_TRUE(PumpUntil([&] { return r.Has("closed"); }, 30000));
            EXPECT_TRUE(r.data == (slow ? trickle : body)) << "slow " << slow;
            EXPECT_EQ(r.events.back(), "closed 0");
            EXPECT_EQ(r.Count("closed"), 1);
            EXPECT_EQ(s.State(), wsClosed);
        }
        EXPECT_EQ(testsupport::OpenFdCount(), fdsBefore);
    }
}

TEST(WSocketReceive, ReadCountAndWaitingBytes) {
    LoopbackServer server({Script().Send("0123456789").Stall()});
    TWSocket s;
    // Paused, nothing reads (without a data handler the socket would read and drop itself).
    s.OnSessionConnected = [](TWSocket& sock, std::uint16_t) { sock.Pause(); };
    wsocktest::Target(s, server);
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return s.State() == wsConnected && s.RcvdCount() == 10; }));
    char buffer[4];
    EXPECT_EQ(s.Receive(buffer, 4), 4);
    EXPECT_EQ(std::string(buffer, 4), "0123");
    EXPECT_EQ(s.ReadCount(), 4);
    EXPECT_EQ(s.RcvdCount(), 6);
    s.OnDataAvailable = [](TWSocket& sock, std::uint16_t) {
        char b[2];
        sock.Receive(b, 2);
    };
    s.Resume();
    ASSERT_TRUE(PumpUntil([&] { return s.ReadCount() == 10; }));
    EXPECT_EQ(s.Receive(buffer, 4), -1);
    EXPECT_EQ(s.LastError(), 10035);
    s.Abort();
    EXPECT_EQ(s.ReadCount(), 0);
}

// One read notice must hand control back to the event loop while bytes are still waiting;
// otherwise a fast link would freeze the window for the whole transfer.
TEST(WSocketReceive, OneNoticeReturnsToTheEventLoopWhileBytesWait) {
    const std::string body = Pattern(200 * 1024);
    LoopbackServer server({Script().Send(body).Stall()});
    TWSocket s;
    std::string got;
    s.OnSessionConnected = [](TWSocket& sock, std::uint16_t) { sock.Pause(); };
    wsocktest::Target(s, server);
    s.Connect();
    // Far more than one bounded notice reads is waiting before the first notice is handled.
    ASSERT_TRUE(PumpUntil([&] { return s.RcvdCount() >= 40 * 1024; }));
    PumpFor(50);
    s.OnDataAvailable = [&](TWSocket& sock, std::uint16_t) {
        char b[64];
        int n = sock.Receive(b, sizeof b);
        if (n > 0) {
            got.append(b, static_cast<std::size_t>(n));
        }
    };
    // A timer that runs whenever the event loop gets control records how far reading got.
    std::vector<std::size_t> seen;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] { seen.push_back(got.size()); });
    tick.start(0);
    s.Resume();
    ASSERT_TRUE(PumpUntil([&] { return got.size() == body.size(); }))
        << got.size() << " seen " << seen.size() << " waiting " << s.RcvdCount() << " state "
        << s.State() << " paused " << s.Paused() << " srv " << server.AcceptedCount();
    tick.stop();
    bool between = std::any_of(seen.begin(), seen.end(),
                               [&](std::size_t n) { return n > 0 && n < body.size(); });
    EXPECT_TRUE(between) << "one notice read everything without returning to the event loop";
    EXPECT_TRUE(got == body);
    s.Abort();
}

TEST(WSocketReceive, PauseStopsNoticesAndResumeContinues) {
    LoopbackServer server({Script().Sleep(50).Send("hello").Stall()});
    TWSocket s;
    Recorder r(s);
    s.OnSessionConnected = [&](TWSocket& sock, std::uint16_t) { sock.Pause(); };
    wsocktest::Target(s, server);
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return s.Paused() && s.RcvdCount() == 5; }));
    PumpFor(50);
    EXPECT_EQ(r.data, "");
    s.Resume();
    ASSERT_TRUE(PumpUntil([&] { return r.data == "hello"; }));
    s.Abort();
}

TEST(WSocketClose, DelayedCloseRunsFromTheEventLoop) {
    LoopbackServer server({Script().ReadToEnd()});
    TWSocket s;
    Recorder r(s);
    ASSERT_TRUE(wsocktest::ConnectTo(s, server));
    s.SendStr("bye");
    s.CloseDelayed();
    EXPECT_EQ(s.State(), wsConnected);
    ASSERT_TRUE(PumpUntil([&] { return r.Has("closed"); }));
    EXPECT_EQ(r.Count("closed"), 1);
    EXPECT_EQ(r.events.back(), "closed 0");
    ASSERT_TRUE(server.WaitForFinished(1));
    EXPECT_EQ(server.Received(0), "bye");
    EXPECT_TRUE(server.PeerClosed(0));
}

TEST(WSocketClose, AbortDropsUnsentDataAndReportsOnce) {
    int fdsBefore = testsupport::OpenFdCount();
    {
        LoopbackServer server({Script().Stall()});
        TWSocket s;
        Recorder r(s);
        ASSERT_TRUE(wsocktest::ConnectTo(s, server));
        PumpFor(20);
        r.events.clear();
        // The server never reads: the kernel's buffers fill and the rest waits in blocks.
        const std::string chunk = Pattern(1024 * 1024);
        for (int i = 0; i < 32; ++i) {
            ASSERT_EQ(s.SendStr(chunk), static_cast<int>(chunk.size()));
        }
        PumpFor(50);
        EXPECT_GT(s.BufferedByteCount(), 0);
        EXPECT_FALSE(r.Has("sent"));
        s.Abort();
        EXPECT_EQ(s.BufferedByteCount(), 0);
        EXPECT_EQ(s.State(), wsClosed);
        EXPECT_EQ(r.events, std::vector<std::string>{"closed 0"});
        s.Close();  // no handle: nothing more is reported
        PumpFor(30);
        EXPECT_EQ(r.Count("closed"), 1);
    }
    EXPECT_EQ(testsupport::OpenFdCount(), fdsBefore);
}

TEST(WSocketClose, NextConnectNeedsTheTargetAgain) {
    LoopbackServer server({Script().Close()});
    TWSocket s;
    Recorder r(s);
    wsocktest::Target(s, server);
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return r.Has("closed"); }));
    s.Connect();
    EXPECT_EQ(r.errors, std::vector<std::string>{"Connect: No Port Specified"});
    // Assigned again, the same object connects a second time and reports that close too.
    r.events.clear();
    wsocktest::Target(s, server);
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return r.Has("closed"); }));
    EXPECT_EQ(r.events, (std::vector<std::string>{"connected 0", "sent 0", "closed 0"}));
}

TEST(WSocketConnect, SecondConnectWhileOpenIsRefused) {
    LoopbackServer server({Script().Stall()});
    TWSocket s;
    Recorder r(s);
    wsocktest::Target(s, server);
    s.Connect();
    s.Connect();
    EXPECT_EQ(r.errors, std::vector<std::string>{"Connect: Socket already in use"});
    s.Abort();
}

TEST(WSocketConnect, DatagramSocketIsConnectedAtOnce) {
    int peer = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    ASSERT_EQ(::bind(peer, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ::getsockname(peer, reinterpret_cast<sockaddr*>(&sa), &len);
    TWSocket s;
    Recorder r(s);
    s.SetProto("udp");
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(ntohs(sa.sin_port)));
    s.Connect();
    EXPECT_EQ(r.events, std::vector<std::string>{"connected 0"});
    EXPECT_EQ(s.State(), wsConnected);
    EXPECT_EQ(s.SendStr("datagram"), 8);
    char buffer[32] = {};
    pollfd p{peer, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 2000), 1);
    EXPECT_EQ(::recv(peer, buffer, sizeof buffer, 0), 8);
    EXPECT_STREQ(buffer, "datagram");
    s.Close();
    ::close(peer);
}

TEST(WSocketClose, DelayedCloseLeavesALaterConnectionAlone) {
    LoopbackServer server({Script().Stall()});
    TWSocket s;
    Recorder r(s);
    ASSERT_TRUE(wsocktest::ConnectTo(s, server));
    s.CloseDelayed();
    s.Abort();  // closed before the delayed close ran; the owner opens the next connection
    ASSERT_TRUE(wsocktest::ConnectTo(s, server));
    PumpFor(50);
    EXPECT_EQ(s.State(), wsConnected);
    EXPECT_EQ(s.Port(), server.PortText());
    EXPECT_EQ(r.Count("closed"), 1);
    s.Abort();
}

TEST(WSocketConnect, HostNameIsResolvedWhenNotDotted) {
    LoopbackServer server({Script().Send("hi").Close()});
    TWSocket s;
    Recorder r(s);
    s.SetAddr("localhost");
    s.SetPort(server.PortText());
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return r.Has("closed"); }));
    EXPECT_EQ(r.data, "hi");
    EXPECT_TRUE(r.errors.empty());
}
