// Name lookup, properties, address checks and the error texts of the socket layer.

#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <thread>

#include "platform/Socket.h"
#include "tests/http/WSocketTestSupport.h"
#include "tests/support/TempDir.h"

using testsupport::LoopbackServer;
using testsupport::PumpFor;
using testsupport::PumpUntil;
using testsupport::Script;
using wsocktest::Recorder;

TEST(WSocketErrors, EveryNumberOfTheLayerHasItsText) {
    const int codes[] = {
        WSAEINTR,           WSAEBADF,          WSAEACCES,       WSAEFAULT,       WSAEINVAL,
        WSAEMFILE,          WSAEWOULDBLOCK,    WSAEINPROGRESS,  WSAEALREADY,     WSAENOTSOCK,
        WSAEDESTADDRREQ,    WSAEMSGSIZE,       WSAEPROTOTYPE,   WSAENOPROTOOPT,  WSAEPROTONOSUPPORT,
        WSAESOCKTNOSUPPORT, WSAEOPNOTSUPP,     WSAEPFNOSUPPORT, WSAEAFNOSUPPORT, WSAEADDRINUSE,
        WSAEADDRNOTAVAIL,   WSAENETDOWN,       WSAENETUNREACH,  WSAENETRESET,    WSAECONNABORTED,
        WSAECONNRESET,      WSAENOBUFS,        WSAEISCONN,      WSAENOTCONN,     WSAESHUTDOWN,
        WSAETOOMANYREFS,    WSAETIMEDOUT,      WSAECONNREFUSED, WSAELOOP,        WSAENAMETOOLONG,
        WSAEHOSTDOWN,       WSAEHOSTUNREACH,   WSAENOTEMPTY,    WSAEPROCLIM,     WSAEUSERS,
        WSAEDQUOT,          WSAESTALE,         WSAEREMOTE,      WSASYSNOTREADY,  WSAVERNOTSUPPORTED,
        WSANOTINITIALISED,  WSAHOST_NOT_FOUND, WSATRY_AGAIN,    WSANO_RECOVERY,  WSANO_DATA};
    for (int code : codes) {
        EXPECT_NE(WSocketErrorDesc(code), "Not a WinSock error") << code;
    }
    EXPECT_EQ(WSocketErrorDesc(0), "No Error");
    EXPECT_EQ(WSocketErrorDesc(10061), "Connection refused");
    EXPECT_EQ(WSocketErrorDesc(11001), "Host not found");
    EXPECT_EQ(WSocketErrorDesc(10047), "Address family not supported by protocol family");
    EXPECT_EQ(WSocketErrorDesc(10008), "Not a WinSock error");
    EXPECT_EQ(WSocketErrorDesc(-1), "Not a WinSock error");
}

TEST(WSocketErrors, SystemErrorsMapOntoTheLayersNumbers) {
    const std::pair<int, int> errnoTable[] = {
        {EWOULDBLOCK, 10035}, {EINPROGRESS, 10035},   {ECONNREFUSED, 10061}, {ECONNRESET, 10054},
        {EPIPE, 10054},       {ETIMEDOUT, 10060},     {ENETUNREACH, 10051},  {EHOSTUNREACH, 10065},
        {EADDRINUSE, 10048},  {EADDRNOTAVAIL, 10049}, {ENOTCONN, 10057},     {EMFILE, 10024},
        {EBADF, 10009},       {ENOTSOCK, 10038},      {EINVAL, 10022},       {0, 0},
        {ENOENT, 10022},  // not a socket error: reported as an invalid argument
    };
    for (auto [err, code] : errnoTable) {
        EXPECT_EQ(platform::SocketErrorFromErrno(err), code) << err;
        EXPECT_NE(WSocketErrorDesc(code), "Not a WinSock error") << code;
    }
    EXPECT_EQ(platform::SocketErrorFromResolver(EAI_NONAME, 0), 11001);
    EXPECT_EQ(platform::SocketErrorFromResolver(EAI_AGAIN, 0), 11002);
    EXPECT_EQ(platform::SocketErrorFromResolver(EAI_FAIL, 0), 11003);
    EXPECT_EQ(platform::SocketErrorFromResolver(EAI_MEMORY, 0), 10055);
    EXPECT_EQ(platform::SocketErrorFromResolver(EAI_SYSTEM, EMFILE), 10024);
    EXPECT_EQ(platform::SocketErrorFromResolver(0, 0), 0);
}

TEST(WSocketLookup, DottedAddressForms) {
    const std::pair<const char*, bool> table[] = {
        {"1.2.3.4", true},    {"  10.0.0.1  ", true},
        {"0.0.0.0", true},    {"255.255.255.255", true},
        {"01.002.3.4", true}, {"256.1.1.1", false},
        {"1.2.3", false},     {".1.2.3", false},
        {"1.2.3.", false},    {"1..2.3", false},
        {"1.2.3.4.5", false}, {"a.b.c.d", false},
        {"", false},          {"   ", false},
        {"1.2.3.4 x", false}, {"1.2.3.99999999999", false},
        {"1. 2.3.4", false},  {"-1.2.3.4", false},
    };
    for (auto [text, dotted] : table) {
        EXPECT_EQ(WSocketIsDottedIP(text), dotted) << '"' << text << '"';
    }
}

TEST(WSocketLookup, DottedAddressCompletesInsideTheCallInNormalForm) {
    TWSocket s;
    Recorder r(s);
    s.DnsLookup(" 010.000.0.1 ");
    ASSERT_EQ(r.events, std::vector<std::string>{"dns 0"});
    EXPECT_EQ(s.DnsResult(), "10.0.0.1");
    EXPECT_EQ(s.DnsResultList(), std::vector<std::string>{"10.0.0.1"});
}

TEST(WSocketLookup, EmptyNameReportsAndCompletesWith10022) {
    TWSocket s;
    Recorder r(s);
    s.DnsLookup("");
    EXPECT_EQ(r.errors, std::vector<std::string>{"DNS lookup: invalid host name."});
    EXPECT_EQ(r.events, std::vector<std::string>{"dns 10022"});

    TWSocket raising;  // without OnError the report is raised
    EXPECT_THROW(raising.DnsLookup(""), ESocketException);
}

TEST(WSocketLookup, NameIsLookedUpOnAWorkerAndAnsweredOnce) {
    int fdsBefore = testsupport::OpenFdCount();
    TWSocket s;
    Recorder r(s);
    s.DnsLookup("localhost");
    EXPECT_TRUE(r.events.empty()) << "the answer must come from the event loop";
    // Let the answer arrive before the loop runs: it is still delivered, once.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(PumpUntil([&] { return r.Has("dns"); }));
    PumpFor(30);
    EXPECT_EQ(r.events, std::vector<std::string>{"dns 0"});
    EXPECT_EQ(s.DnsResult(), "127.0.0.1");
    EXPECT_EQ(s.DnsResultList().front(), "127.0.0.1");
    EXPECT_EQ(testsupport::OpenFdCount(), fdsBefore);
}

TEST(WSocketLookup, NotQuiteDottedNamesGoToTheResolver) {
    // Neither is a dotted address: "1.2.3" has two dots, "256.1.1.1" a number over 255.
    TWSocket s;
    Recorder r(s);
    s.DnsLookup("1.2.3");
    EXPECT_TRUE(r.events.empty());
    ASSERT_TRUE(PumpUntil([&] { return r.Has("dns"); }));
    EXPECT_EQ(r.events, std::vector<std::string>{"dns 0"});
    EXPECT_EQ(s.DnsResult(), "1.2.0.3");

    r.events.clear();
    s.DnsLookup("256.1.1.1");
    EXPECT_TRUE(r.events.empty());
    ASSERT_TRUE(PumpUntil([&] { return r.Has("dns"); }));
    EXPECT_EQ(r.events, std::vector<std::string>{"dns 11001"});
    EXPECT_EQ(s.DnsResult(), "");
}

TEST(WSocketLookup, UnresolvableNameCompletesWithHostNotFound) {
    TWSocket s;
    Recorder r(s);
    s.DnsLookup(wsocktest::UnresolvableName());
    ASSERT_TRUE(PumpUntil([&] { return r.Has("dns"); }));
    PumpFor(20);
    EXPECT_EQ(r.events, std::vector<std::string>{"dns 11001"});
    EXPECT_TRUE(s.DnsResultList().empty());
}

TEST(WSocketLookup, CancelledOrReplacedLookupsDropTheirLateAnswer) {
    TWSocket s;
    Recorder r(s);
    s.DnsLookup("localhost");
    s.CancelDnsLookup();
    EXPECT_EQ(r.events, std::vector<std::string>{"dns 10004"});
    s.CancelDnsLookup();  // nothing under way: no second event
    PumpFor(150);
    EXPECT_EQ(r.events, std::vector<std::string>{"dns 10004"});
    EXPECT_EQ(s.DnsResult(), "");

    r.events.clear();
    s.DnsLookup("localhost");
    s.DnsLookup("1.2.3");  // replaces the first without an event
    ASSERT_TRUE(PumpUntil([&] { return r.Has("dns"); }));
    PumpFor(150);
    EXPECT_EQ(r.events, std::vector<std::string>{"dns 0"});
    EXPECT_EQ(s.DnsResult(), "1.2.0.3");
}

TEST(WSocketLookup, DestroyingTheSocketDuringALookupIsSafe) {
    for (int wait : {0, 100}) {
        int events = 0;
        {
            auto s = std::make_unique<TWSocket>();
            s->OnDnsLookupDone = [&](TWSocket&, std::uint16_t) { ++events; };
            s->DnsLookup("localhost");
            // With a wait the answer is already queued for the object when it goes away.
            std::this_thread::sleep_for(std::chrono::milliseconds(wait));
        }
        PumpFor(150);
        EXPECT_EQ(events, 0) << wait;
    }
}

TEST(WSocketLookup, AbortDuringALookupEndsIt) {
    TWSocket s;
    Recorder r(s);
    s.DnsLookup("localhost");
    s.Abort();
    PumpFor(150);
    EXPECT_EQ(r.events, std::vector<std::string>{"dns 10004"});
    EXPECT_EQ(s.State(), wsClosed);
}

// --- Properties ------------------------------------------------------------------------------

TEST(WSocketProperties, Defaults) {
    TWSocket s;
    EXPECT_EQ(s.Addr(), "");
    EXPECT_EQ(s.Port(), "");
    EXPECT_EQ(s.Proto(), "tcp");
    EXPECT_EQ(s.LocalAddr(), "0.0.0.0");
    EXPECT_EQ(s.LocalPort(), "0");
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(s.LastError(), 0);
    EXPECT_EQ(s.ReadCount(), 0);
    EXPECT_EQ(s.PeerAddr(), "error");
    EXPECT_EQ(s.PeerPort(), "error");
    EXPECT_EQ(s.LingerOnOff(), wsLingerOn);
    EXPECT_EQ(s.LingerTimeout(), 0);
    EXPECT_EQ(s.KeepAliveOnOff(), wsKeepAliveOnSystem);
    EXPECT_EQ(s.KeepAliveTime(), 30000u);
    EXPECT_EQ(s.KeepAliveInterval(), 1000u);
    EXPECT_EQ(s.ComponentOptions(), 0u);
    EXPECT_FALSE(s.MultiThreaded());
    EXPECT_EQ(s.SocksLevel(), "5");
    EXPECT_EQ(s.HSocket(), -1);
}

TEST(WSocketProperties, ValuesAreTrimmedAndEmptyLeavesThemUnassigned) {
    TWSocket s;
    Recorder r(s);
    s.SetAddr("  127.0.0.1\t");
    s.SetPort(" 80 ");
    s.SetProto(" tcp ");
    EXPECT_EQ(s.Addr(), "127.0.0.1");
    EXPECT_EQ(s.Port(), "80");
    EXPECT_EQ(s.Proto(), "tcp");
    s.SetLocalAddr("");
    EXPECT_EQ(s.LocalAddr(), "0.0.0.0");

    const struct {
        const char* addr;
        const char* port;
        const char* proto;
        const char* message;
    } table[] = {
        {"127.0.0.1", "", "tcp", "Connect: No Port Specified"},
        {"   ", "80", "tcp", "Connect: No IP Address Specified"},
        {"127.0.0.1", "80", " ", "Connect: No Protocol Specified"},
    };
    for (const auto& row : table) {
        r.errors.clear();
        s.SetAddr(row.addr);
        s.SetPort(row.port);
        s.SetProto(row.proto);
        s.Connect();
        EXPECT_EQ(r.errors, std::vector<std::string>{row.message});
        EXPECT_EQ(s.State(), wsClosed);
        EXPECT_EQ(s.HSocket(), -1);
    }
}

TEST(WSocketProperties, ChangingTheTargetWhileOpenIsRefused) {
    LoopbackServer server({Script().Stall()});
    TWSocket s;
    Recorder r(s);
    ASSERT_TRUE(wsocktest::ConnectTo(s, server));

    using Setter = void (TWSocket::*)(std::string_view);
    using Getter = const std::string& (TWSocket::*)() const;
    const struct {
        Setter set;
        Getter get;
        const char* message;
    } table[] = {
        {&TWSocket::SetAddr, &TWSocket::Addr, "Cannot change Addr if not closed"},
        {&TWSocket::SetPort, &TWSocket::Port, "Cannot change Port if not closed"},
        {&TWSocket::SetProto, &TWSocket::Proto, "Cannot change Proto if not closed"},
        {&TWSocket::SetLocalAddr, &TWSocket::LocalAddr, "Cannot change LocalAddr if not closed"},
        {&TWSocket::SetLocalPort, &TWSocket::LocalPort, "Cannot change LocalPort if not closed"},
    };
    for (const auto& row : table) {
        r.errors.clear();
        std::string before = (s.*row.get)();
        (s.*row.set)("9");
        EXPECT_EQ(r.errors, std::vector<std::string>{row.message});
        EXPECT_EQ((s.*row.get)(), before);
    }
    s.OnError = nullptr;
    EXPECT_THROW(s.SetPort("1"), ESocketException);
    EXPECT_EQ(s.Port(), server.PortText());
    s.Abort();
}

TEST(WSocketProperties, ResolutionFailuresAreReportedWithThePrefix) {
    int fdsBefore = testsupport::OpenFdCount();
    std::string longName(257, 'h');
    std::string unresolvable = wsocktest::UnresolvableName();
    const struct {
        std::string addr, port, proto, message;
        int lastError;
    } table[] = {
        {"127.0.0.1", "99999", "tcp", "connect: WSocketResolvePort: Invalid Port.", 10022},
        {"127.0.0.1", std::string(32, '1'), "tcp", "connect: WSocketResolvePort: Invalid Port.",
         10022},
        {"127.0.0.1", "no-such-service-here", "tcp",
         "connect: WSocketResolvePort: Cannot convert port 'no-such-service-here', Error #11004",
         11004},
        {"127.0.0.1", "80", "no-such-protocol",
         "connect: WSocketResolveProto: Cannot convert protocol 'no-such-protocol', Error #11004",
         11004},
        {"127.0.0.1", "80", std::string(32, 'p'), "connect: WSocketResolveProto: Invalid Protocol.",
         10022},
        {longName, "80", "tcp", "connect: WSocketResolveHost: '" + longName + "' Invalid Hostname.",
         10022},
        {unresolvable, "80", "tcp",
         "connect: WSocketResolveHost: Cannot convert host address '" + unresolvable +
             "', Error #11001",
         11001},
    };
    for (const auto& row : table) {
        TWSocket s;
        Recorder r(s);
        s.SetAddr(row.addr);
        s.SetPort(row.port);
        s.SetProto(row.proto);
        s.Connect();
        EXPECT_EQ(r.errors, std::vector<std::string>{row.message});
        EXPECT_EQ(s.LastError(), row.lastError) << row.message;
        EXPECT_EQ(s.State(), wsClosed);
        EXPECT_TRUE(r.events.empty());
    }
    EXPECT_EQ(testsupport::OpenFdCount(), fdsBefore);
}

TEST(WSocketProperties, OptionsAreAppliedToTheConnection) {
    LoopbackServer server({Script().Stall()});
    struct Row {
        TSocketLingerOnOff linger;
        int lingerSeconds;
        TSocketKeepAliveOnOff keepAlive;
        TWSocketOptions options;
        int wantLingerOn, wantLingerSeconds, wantKeepAlive, wantNoDelay, wantIdle;
    };
    const Row table[] = {
        {wsLingerOn, 0, wsKeepAliveOnSystem, 0, 1, 0, 1, 0, -1},
        {wsLingerOn, 7, wsKeepAliveOff, wsoTcpNoDelay, 1, 7, 0, 1, -1},
        {wsLingerOff, 0, wsKeepAliveOnCustom, 0, 0, 0, 1, 0, 12},
    };
    for (const auto& row : table) {
        TWSocket s;
        Recorder r(s);
        s.SetLingerOnOff(row.linger);
        s.SetLingerTimeout(row.lingerSeconds);
        s.SetKeepAliveOnOff(row.keepAlive);
        s.SetKeepAliveTime(12000);
        s.SetComponentOptions(row.options);
        ASSERT_TRUE(wsocktest::ConnectTo(s, server));
        linger l{};
        socklen_t len = sizeof l;
        ASSERT_EQ(getsockopt(s.HSocket(), SOL_SOCKET, SO_LINGER, &l, &len), 0);
        EXPECT_EQ(l.l_onoff != 0, row.wantLingerOn != 0);
        EXPECT_EQ(l.l_linger, row.wantLingerSeconds);
        int value = 0;
        len = sizeof value;
        getsockopt(s.HSocket(), SOL_SOCKET, SO_KEEPALIVE, &value, &len);
        EXPECT_EQ(value != 0, row.wantKeepAlive != 0);
        getsockopt(s.HSocket(), IPPROTO_TCP, TCP_NODELAY, &value, &len);
        EXPECT_EQ(value != 0, row.wantNoDelay != 0);
        if (row.wantIdle > 0) {
            getsockopt(s.HSocket(), IPPROTO_TCP, TCP_KEEPIDLE, &value, &len);
            EXPECT_EQ(value, row.wantIdle);
        }
        s.Close();
        // The linger settings return to their defaults with the close.
        EXPECT_EQ(s.LingerOnOff(), wsLingerOn);
        EXPECT_EQ(s.LingerTimeout(), 0);
    }
}

TEST(WSocketProperties, BindsOnlyWhenALocalAddressOrPortIsSet) {
    LoopbackServer server({Script().Stall()});
    TWSocket s;
    Recorder r(s);
    wsocktest::Target(s, server);
    s.SetLocalAddr("127.0.0.1");
    int localPort = wsocktest::ClosedPort();
    s.SetLocalPort(std::to_string(localPort));
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return s.State() == wsConnected; }));
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    ASSERT_EQ(getsockname(s.HSocket(), reinterpret_cast<sockaddr*>(&sa), &len), 0);
    EXPECT_EQ(ntohs(sa.sin_port), localPort);
    EXPECT_EQ(s.PeerAddr(), "127.0.0.1");
    EXPECT_EQ(s.PeerPort(), server.PortText());
    s.Abort();

    TWSocket t;
    Recorder rt(t);
    wsocktest::Target(t, server);
    t.SetLocalAddr("192.0.2.1");  // not an address of this machine: the bind fails
    t.Connect();
    EXPECT_EQ(rt.errors, std::vector<std::string>{"winsock.bind failed, error #10049"});
    EXPECT_EQ(t.LastError(), 10049);
    t.Close();
    EXPECT_EQ(t.HSocket(), -1);
}
