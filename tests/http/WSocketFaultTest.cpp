// Fault paths: each must end with its events exactly once and leave no descriptor behind.

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

#include "tests/http/WSocketTestSupport.h"
#include "tests/support/TempDir.h"

using testsupport::LoopbackServer;
using testsupport::PumpFor;
using testsupport::PumpUntil;
using testsupport::Script;
using wsocktest::Recorder;

TEST(WSocketFaults, RefusedConnectionReportsConnectedWithTheErrorThenClosed) {
    int fdsBefore = testsupport::OpenFdCount();
    {
        TWSocket s;
        Recorder r(s);
        s.SetAddr("127.0.0.1");
        s.SetPort(std::to_string(wsocktest::ClosedPort()));
        s.Connect();
        EXPECT_TRUE(r.errors.empty());
        ASSERT_TRUE(PumpUntil([&] { return r.Has("closed"); }));
        PumpFor(50);
        EXPECT_EQ(r.events, (std::vector<std::string>{"connected 10061", "closed 0"}));
        EXPECT_EQ(s.State(), wsClosed);
        EXPECT_EQ(s.HSocket(), -1);
        EXPECT_EQ(s.Port(), "");
    }
    EXPECT_EQ(testsupport::OpenFdCount(), fdsBefore);
}

TEST(WSocketFaults, PeerResetIsReportedAsTheClosesError) {
    int fdsBefore = testsupport::OpenFdCount();
    {
        LoopbackServer server({Script().Sleep(50).Reset()});
        TWSocket s;
        Recorder r(s);
        wsocktest::Target(s, server);
        s.Connect();
        ASSERT_TRUE(PumpUntil([&] { return r.Has("closed"); }));
        PumpFor(50);
        EXPECT_EQ(r.Count("connected 0"), 1);
        EXPECT_EQ(r.Count("closed"), 1);
        EXPECT_EQ(r.events.back(), "closed 10054");
        EXPECT_EQ(s.State(), wsClosed);
    }
    EXPECT_EQ(testsupport::OpenFdCount(), fdsBefore);
}

TEST(WSocketFaults, ResetWhileSendingClosesWithTheSendError) {
    LoopbackServer server({Script().ReadBytes(10).Reset()});
    TWSocket s;
    Recorder r(s);
    ASSERT_TRUE(wsocktest::ConnectTo(s, server));
    s.SendStr("0123456789");
    ASSERT_TRUE(server.WaitForFinished(1));
    // Keep sending into the reset connection until the failure shows.
    std::string chunk(64 * 1024, 'x');
    ASSERT_TRUE(PumpUntil([&] {
        if (s.State() == wsConnected) {
            s.SendStr(chunk);
        }
        return r.Has("closed");
    }));
    PumpFor(50);
    EXPECT_EQ(r.Count("closed"), 1);
    EXPECT_EQ(r.events.back(), "closed 10054");
    EXPECT_TRUE(r.errors.empty()) << r.errors.front();
    EXPECT_EQ(s.State(), wsClosed);
}

TEST(WSocketFaults, PeerThatNeverReadsDoesNotBlockTheSender) {
    int fdsBefore = testsupport::OpenFdCount();
    {
        LoopbackServer server({Script().Stall()});
        TWSocket s;
        Recorder r(s);
        ASSERT_TRUE(wsocktest::ConnectTo(s, server));
        PumpFor(20);
        r.events.clear();  // the connect's own write notice is not what is looked at here
        std::string chunk(256 * 1024, 'y');
        for (int i = 0; i < 128; ++i) {  // 32 MB, far beyond what the kernel buffers
            ASSERT_EQ(s.SendStr(chunk), static_cast<int>(chunk.size()));
        }
        PumpFor(100);
        EXPECT_GT(s.BufferedByteCount(), 16 * 1024 * 1024);
        EXPECT_FALSE(r.Has("sent"));
        s.Close();
        EXPECT_EQ(r.events, std::vector<std::string>{"closed 0"});
    }
    EXPECT_EQ(testsupport::OpenFdCount(), fdsBefore);
}

TEST(WSocketFaults, ExceptionInTheDataHandlerEndsOnlyThatRead) {
    LoopbackServer server({Script().Send("first").Sleep(100).Send("second").Close()});
    TWSocket s;
    Recorder r(s);
    int calls = 0;
    s.OnDataAvailable = [&](TWSocket& sock, std::uint16_t) {
        char b[64];
        int n = sock.Receive(b, sizeof b);
        if (n > 0) {
            r.data.append(b, static_cast<std::size_t>(n));
        }
        if (++calls == 1) {
            throw std::runtime_error("handler failed");
        }
    };
    wsocktest::Target(s, server);
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return r.Has("closed"); }));
    EXPECT_EQ(r.data, "firstsecond");
    EXPECT_EQ(r.events.back(), "closed 0");
}

TEST(WSocketFaults, ExceptionInAnotherHandlerAbortsUnlessKept) {
    for (bool keep : {false, true}) {
        LoopbackServer server({Script().Stall()});
        TWSocket s;
        Recorder r(s);
        std::string caught;
        s.OnSessionConnected = [&](TWSocket&, std::uint16_t e) {
            r.Add("connected", e);
            throw std::runtime_error("boom");
        };
        s.OnBgException = [&](TWSocket&, const std::exception& e, bool& canClose) {
            caught = e.what();
            canClose = !keep;
        };
        wsocktest::Target(s, server);
        s.Connect();
        ASSERT_TRUE(PumpUntil([&] { return !caught.empty(); }));
        PumpFor(30);
        EXPECT_EQ(caught, "boom");
        EXPECT_EQ(s.State(), keep ? wsConnected : wsClosed) << keep;
        EXPECT_EQ(r.Count("closed"), keep ? 0 : 1);
        s.Abort();
    }
}

TEST(WSocketFaults, SocketDestroyedInsideItsOwnHandler) {
    int fdsBefore = testsupport::OpenFdCount();
    {
        LoopbackServer server({Script().Send(std::string(100000, 'z')).Stall()});
        auto s = std::make_unique<TWSocket>();
        bool gone = false;
        s->OnDataAvailable = [&](TWSocket&, std::uint16_t) {
            gone = true;
            s.reset();  // the handler's last act: it is destroyed with the socket
        };
        wsocktest::Target(*s, server);
        s->Connect();
        ASSERT_TRUE(PumpUntil([&] { return gone; }));
        PumpFor(50);
    }
    EXPECT_EQ(testsupport::OpenFdCount(), fdsBefore);
}

TEST(WSocketFaults, ErrorsWithoutOnErrorAreRaised) {
    TWSocket s;
    try {
        s.Connect();
        FAIL() << "no exception";
    } catch (const ESocketException& e) {
        EXPECT_STREQ(e.what(), "Connect: No Port Specified");
    }
    EXPECT_EQ(s.State(), wsClosed);
}

TEST(WSocketFaults, CloseInsideTheConnectHandlerOfARefusedConnect) {
    // The owner closes while handling the failure; the close is still reported once.
    TWSocket s;
    Recorder r(s);
    s.OnSessionConnected = [&](TWSocket& sock, std::uint16_t e) {
        r.Add("connected", e);
        sock.Close();
    };
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(wsocktest::ClosedPort()));
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return r.Has("closed"); }));
    PumpFor(50);
    EXPECT_EQ(r.events, (std::vector<std::string>{"connected 10061", "closed 0"}));
}
