#pragma once

// TWSocket: an event-driven TCP socket. Every call returns at once; name lookups, connection
// results, arriving data, drained send buffers and the peer's close come back as events on the
// thread that created the socket, while that thread runs its Qt event loop.
//
// Errors go through one step: to OnError when it is assigned (the message is then in
// LastErrorMessage()), otherwise raised as ESocketException. Error numbers are the classic
// socket-library numbers (10035 would block, 10061 refused, 11001 host not found, ...), so every
// text and code the program shows stays the same on every platform; WSocketErrorDesc gives the
// text of a number.

#include <QObject>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/UniqueFd.h"

class QEvent;
class QSocketNotifier;

namespace platform {
class DnsLookupTicket;
}

enum TSocketState {
    wsInvalidState,
    wsOpened,
    wsBound,
    wsConnecting,
    wsSocksConnected,
    wsConnected,
    wsAccepting,
    wsListening,
    wsClosed
};

enum TSocketSendFlags { wsSendNormal, wsSendUrgent };
enum TSocketLingerOnOff { wsLingerOff, wsLingerOn, wsLingerNoSet };
enum TSocketKeepAliveOnOff { wsKeepAliveOff, wsKeepAliveOnCustom, wsKeepAliveOnSystem };

// TWSocketOptions is a bit set of these.
enum TWSocketOption : std::uint32_t {
    wsoNoReceiveLoop = 1u << 0,  // one OnDataAvailable per data notice
    wsoTcpNoDelay = 1u << 1,     // no send coalescing
    wsoSIO_RCVALL = 1u << 2,     // accepted and ignored (raw capture is not supported)
};
using TWSocketOptions = std::uint32_t;

// Error numbers of the socket layer.
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEPFNOSUPPORT = 10046;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETOOMANYREFS = 10059;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAELOOP = 10062;
constexpr int WSAENAMETOOLONG = 10063;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSAENOTEMPTY = 10066;
constexpr int WSAEPROCLIM = 10067;
constexpr int WSAEUSERS = 10068;
constexpr int WSAEDQUOT = 10069;
constexpr int WSAESTALE = 10070;
constexpr int WSAEREMOTE = 10071;
constexpr int WSASYSNOTREADY = 10091;
constexpr int WSAVERNOTSUPPORTED = 10092;
constexpr int WSANOTINITIALISED = 10093;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;

// Text of an error number; "Not a WinSock error" for a number outside the table.
std::string WSocketErrorDesc(int errCode);

// True for an IPv4 address in dotted form: optional leading and trailing spaces, digits and
// exactly three dots, a digit after each dot, no leading dot, every number at most 255.
bool WSocketIsDottedIP(std::string_view s);

class ESocketException : public std::runtime_error {
public:
    explicit ESocketException(const std::string& message, int errorCode = 0)
        : std::runtime_error(message), ErrorCode(errorCode) {}
    int ErrorCode;  // the error number when the failure has one, else 0
};

class TWSocket : public QObject {
public:
    static constexpr int kSendBlockSize = 1460;
    // Messages of the socket's own queue (event types of posted events).
    static constexpr int WM_ASYNCSELECT = 1025;
    static constexpr int WM_ASYNCGETHOSTBYNAME = 1026;
    static constexpr int WM_CLOSE_DELAYED = 1028;
    // Event bits of a socket notice.
    static constexpr int FD_READ = 1;
    static constexpr int FD_WRITE = 2;
    static constexpr int FD_ACCEPT = 8;
    static constexpr int FD_CONNECT = 16;
    static constexpr int FD_CLOSE = 32;

    explicit TWSocket(QObject* parent = nullptr);
    ~TWSocket() override;
    TWSocket(const TWSocket&) = delete;
    TWSocket& operator=(const TWSocket&) = delete;

    // --- Events (each called only when assigned) ---
    // A handler may destroy the socket, as its last act (the handler goes with it).
    std::function<void(TWSocket& sender, std::uint16_t errCode)> OnSessionConnected;
    std::function<void(TWSocket& sender, std::uint16_t errCode)> OnSessionClosed;
    std::function<void(TWSocket& sender, std::uint16_t errCode)> OnDataAvailable;
    std::function<void(TWSocket& sender, std::uint16_t errCode)> OnDataSent;
    std::function<void(TWSocket& sender, int bytesSent)> OnSendData;
    std::function<void(TWSocket& sender, std::uint16_t errCode)> OnDnsLookupDone;
    std::function<void(TWSocket& sender, TSocketState oldState, TSocketState newState)>
        OnChangeState;
    std::function<void(TWSocket& sender)> OnError;
    // An exception escaped an event handler outside the receive loop. canClose starts true;
    // when it stays true the socket is aborted.
    std::function<void(TWSocket& sender, const std::exception& e, bool& canClose)> OnBgException;
    std::function<void(TWSocket& sender, std::uint16_t errCode)> OnSessionAvailable;
    // Fired by a SOCKS exchange only; this socket has none (SocksServer must stay empty), so
    // these are never called. They exist for owners that route them.
    std::function<void(TWSocket& sender, std::uint16_t errCode)> OnSocksConnected;
    std::function<void(TWSocket& sender, int error, const std::string& msg)> OnSocksError;

    // --- Properties ---
    // Addr, Port, Proto, LocalAddr, LocalPort may be changed only while closed; otherwise the
    // error "Cannot change X if not closed" is reported and the old value kept. Addr, Port and
    // Proto are trimmed; an empty value leaves the item unassigned.
    const std::string& Addr() const { return addr_; }
    void SetAddr(std::string_view value);
    const std::string& Port() const { return port_; }
    void SetPort(std::string_view value);
    const std::string& Proto() const { return proto_; }
    void SetProto(std::string_view value);
    const std::string& LocalAddr() const { return localAddr_; }
    void SetLocalAddr(std::string_view value);  // empty means "0.0.0.0"
    const std::string& LocalPort() const { return localPort_; }
    void SetLocalPort(std::string_view value);

    TSocketState State() const { return state_; }
    const std::string& DnsResult() const { return dnsResult_; }
    const std::vector<std::string>& DnsResultList() const { return dnsResultList_; }
    std::string PeerAddr() const;  // "error" when not connected
    std::string PeerPort() const;  // "error" when not connected
    int LastError() const { return lastError_; }
    void SetLastError(int code) { lastError_ = code; }
    // Message of the error last reported (what OnError would have seen raised).
    const std::string& LastErrorMessage() const { return lastErrorMessage_; }
    std::int64_t ReadCount() const { return readCount_; }
    int RcvdCount() const;  // bytes waiting to be read, -1 on error
    bool MultiThreaded() const { return multiThreaded_; }
    void SetMultiThreaded(bool value) { multiThreaded_ = value; }
    TWSocketOptions ComponentOptions() const { return componentOptions_; }
    void SetComponentOptions(TWSocketOptions value) { componentOptions_ = value; }
    TSocketLingerOnOff LingerOnOff() const { return lingerOnOff_; }
    void SetLingerOnOff(TSocketLingerOnOff value) { lingerOnOff_ = value; }
    int LingerTimeout() const { return lingerTimeout_; }
    void SetLingerTimeout(int seconds) { lingerTimeout_ = seconds; }
    TSocketKeepAliveOnOff KeepAliveOnOff() const { return keepAliveOnOff_; }
    void SetKeepAliveOnOff(TSocketKeepAliveOnOff value) { keepAliveOnOff_ = value; }
    std::uint32_t KeepAliveTime() const { return keepAliveTime_; }  // ms
    void SetKeepAliveTime(std::uint32_t ms) { keepAliveTime_ = ms; }
    std::uint32_t KeepAliveInterval() const { return keepAliveInterval_; }  // ms
    void SetKeepAliveInterval(std::uint32_t ms) { keepAliveInterval_ = ms; }
    // SOCKS settings are kept and reset like the address; a socket with a SocksServer set
    // refuses to connect rather than silently bypass the proxy.
    const std::string& SocksServer() const { return socksServer_; }
    void SetSocksServer(std::string_view value) { socksServer_ = value; }
    const std::string& SocksPort() const { return socksPort_; }
    void SetSocksPort(std::string_view value) { socksPort_ = value; }
    const std::string& SocksLevel() const { return socksLevel_; }
    void SetSocksLevel(std::string_view value) { socksLevel_ = value; }

    // The socket descriptor, -1 when none.
    int HSocket() const;
    bool AllSent() const { return allSent_; }
    std::int64_t BufferedByteCount() const;
    bool Paused() const { return paused_; }

    // --- Operations ---
    void DnsLookup(std::string_view hostName);
    void CancelDnsLookup();
    void Connect();
    // Reads what is waiting, at most bufferSize bytes; 0 when the peer has closed, -1 on error
    // with LastError set (10035 when nothing is waiting).
    int Receive(void* buffer, int bufferSize);
    void PutDataInSendBuffer(const void* data, int len);
    // Appends and starts sending; Len, or -1 with LastError 10057 when not connected.
    int Send(const void* data, int len);
    int SendStr(std::string_view data) { return Send(data.data(), static_cast<int>(data.size())); }
    void Close();
    void CloseDelayed();
    void Abort();
    void Pause();
    void Resume();
    void ProcessMessages();

    // Upper bounds of one read notice: the receive loop returns to the event loop after this
    // many OnDataAvailable calls or this many milliseconds, and the next notice goes on.
    static constexpr int kMaxReceivePasses = 256;
    static constexpr int kReceiveSliceMs = 5;

protected:
    bool event(QEvent* e) override;

private:
    // One block of the send buffer: bytes are appended at writeCount and taken from readCount;
    // when both meet they return to 0.
    struct SendBlock {
        explicit SendBlock(int size) : data(static_cast<std::size_t>(size <= 0 ? 1514 : size)) {}
        std::vector<char> data;
        int writeCount = 0;
        int readCount = 0;
    };
    struct Resolved;

    void SetDefaults();
    void ChangeState(TSocketState newState);
    void RaiseException(const std::string& message, int code = 0);
    void SocketError(const std::string& callName, int code);
    void DnsAnswer(std::uint64_t id, int error, std::vector<std::string> addresses);
    void HandleNotice();
    template <class F>
    void Guarded(F&& step);
    void HandleSocketEvent(int bits, int error);
    void ReceiveLoop(bool noLoop, std::uint16_t error);
    bool TryToSend();
    void DeleteBufferedData();
    void InternalClose(bool shutdownFirst);
    void DropNotifiers();
    void UpdateNotifiers();
    void BgException(const std::exception& e);
    bool ResolveForConnect(Resolved& out);

    std::string addr_;
    std::string port_;
    std::string proto_;
    std::string localAddr_;
    std::string localPort_;
    bool addrAssigned_ = false;
    bool portAssigned_ = false;
    bool protoAssigned_ = false;

    TSocketState state_ = wsClosed;
    std::string dnsResult_;
    std::vector<std::string> dnsResultList_;
    int lastError_ = 0;
    std::string lastErrorMessage_;
    std::int64_t readCount_ = 0;
    bool multiThreaded_ = false;
    TWSocketOptions componentOptions_ = 0;
    TSocketLingerOnOff lingerOnOff_ = wsLingerOn;
    int lingerTimeout_ = 0;
    TSocketKeepAliveOnOff keepAliveOnOff_ = wsKeepAliveOnSystem;
    std::uint32_t keepAliveTime_ = 30000;
    std::uint32_t keepAliveInterval_ = 1000;
    std::string socksServer_;
    std::string socksPort_;
    std::string socksLevel_ = "5";

    platform::UniqueFd fd_;
    std::uint64_t connection_ = 0;  // serial of the open descriptor; posted notices carry it
    bool datagram_ = false;
    // Children of this object; dropped with deleteLater, as they may be inside their own signal.
    QSocketNotifier* readNotifier_ = nullptr;
    QSocketNotifier* writeNotifier_ = nullptr;
    bool waitingForWrite_ = false;  // a send would block or the connect is under way

    std::deque<SendBlock> sendBlocks_;
    std::int64_t bufferedBytes_ = 0;
    bool allSent_ = true;
    bool paused_ = false;
    bool closeReported_ = false;
    bool destroying_ = false;

    std::shared_ptr<platform::DnsLookupTicket> lookup_;
    std::uint64_t lookupId_ = 0;

    // Lets event entry points notice that a handler destroyed the socket.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
