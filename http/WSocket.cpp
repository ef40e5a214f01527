#include "http/WSocket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <QSocketNotifier>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>

#include "common/Text.h"
#include "platform/Dns.h"
#include "platform/Messages.h"
#include "platform/Socket.h"

namespace {

struct ErrorText {
    int code;
    const char* text;
};

constexpr ErrorText kErrorTexts[] = {
    {0, "No Error"},
    {10004, "Interrupted system call"},
    {10009, "Bad file number"},
    {10013, "Permission denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open files"},
    {10035, "Operation would block"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on non-socket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Protocol wrong type for socket"},
    {10042, "Protocol not available"},
    {10043, "Protocol not supported"},
    {10044, "Socket type not supported"},
    {10045, "Operation not supported on socket"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported by protocol family"},
    {10048, "Address already in use"},
    {10049, "Address not available"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Network dropped connection on reset"},
    {10053, "Connection aborted"},
    {10054, "Connection reset by peer"},
    {10055, "No buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Can't send after socket shutdown"},
    {10059, "Too many references: can't splice"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "Too many levels of symbolic links"},
    {10063, "File name too long"},
    {10064, "Host is down"},
    {10065, "No route to host"},
    {10066, "Directory not empty"},
    {10067, "Too many processes"},
    {10068, "Too many users"},
    {10069, "Disc quota exceeded"},
    {10070, "Stale NFS file handle"},
    {10071, "Too many levels of remote in path"},
    {10091, "Network sub-system is unusable"},
    {10092, "WinSock DLL cannot support this application"},
    {10093, "WinSock not initialized"},
    {11001, "Host not found"},
    {11002, "Non-authoritative host not found"},
    {11003, "Non-recoverable error"},
    {11004, "No Data"},
};

// All send buffers share one re-entrant lock: handlers fired while sending may send again.
std::recursive_mutex& SendBufferLock() {
    static std::recursive_mutex lock;
    return lock;
}

std::uint64_t NextSerial() {
    static std::atomic<std::uint64_t> serial{0};
    return ++serial;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Fatal send errors: the connection is gone, so the socket closes instead of reporting.
bool IsFatalSendError(int code) {
    return code == WSAEINVAL || code == WSAENOTSOCK || code == WSAECONNABORTED ||
           code == WSAECONNRESET || code == WSAENOTCONN;
}

// Errors the non-blocking connect of the classic socket library reports through the connect
// notice rather than from the call; Linux may give them at once on loopback.
bool IsDeferredConnectError(int code) {
    return code == WSAECONNREFUSED || code == WSAETIMEDOUT || code == WSAENETUNREACH ||
           code == WSAEHOSTUNREACH;
}

// Reads the four numbers of a text that WSocketIsDottedIP accepted, in decimal.
in_addr DottedToAddress(std::string_view s) {
    std::uint32_t parts[4] = {0, 0, 0, 0};
    int index = 0;
    for (char c : s) {
        if (IsDigit(c)) {
            parts[index] = parts[index] * 10 + static_cast<std::uint32_t>(c - '0');
        } else if (c == '.') {
            ++index;
        }
    }
    in_addr a{};
    a.s_addr = htonl((parts[0] << 24) | (parts[1] << 16) | (parts[2] << 8) | parts[3]);
    return a;
}

// A port text: "" or 32 characters and more are invalid; leading digits give the number.
struct PortText {
    bool numeric = false;
    long value = 0;
};

PortText ReadLeadingNumber(std::string_view s) {
    PortText r;
    std::size_t i = 0;
    while (i < s.size() && s[i] == ' ') {
        ++i;
    }
    if (i < s.size() && IsDigit(s[i])) {
        r.numeric = true;
        while (i < s.size() && IsDigit(s[i])) {
            if (r.value <= 1000000) {
                r.value = r.value * 10 + (s[i] - '0');
            }
            ++i;
        }
    }
    return r;
}

}  // namespace

std::string WSocketErrorDesc(int errCode) {
    for (const auto& e : kErrorTexts) {
        if (e.code == errCode) {
            return e.text;
        }
    }
    return "Not a WinSock error";
}

bool WSocketIsDottedIP(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size() && s[i] == ' ') {
        ++i;
    }
    std::size_t end = s.size();
    while (end > i && s[end - 1] == ' ') {
        --end;
    }
    if (i >= end || s[i] == '.') {
        return false;
    }
    int dots = 0;
    long number = 0;
    bool digitSeen = false;
    for (std::size_t k = i; k < end; ++k) {
        char c = s[k];
        if (c == '.') {
            if (!digitSeen) {
                return false;
            }
            ++dots;
            number = 0;
            digitSeen = false;
        } else if (IsDigit(c)) {
            number = number * 10 + (c - '0');
            if (number > 255) {
                return false;
            }
            digitSeen = true;
        } else {
            return false;
        }
    }
    return dots == 3 && digitSeen;
}

struct TWSocket::Resolved {
    int protocol = 6;
    int type = SOCK_STREAM;
    in_addr addr{};
    bool ipv6 = false;  // addr6 holds the address
    in6_addr addr6{};
    int port = 0;
    in_addr localAddr{};
    int localPort = 0;
    bool bind = false;
};

namespace {

// Resolution failures carry the message and the error number they give LastError.
struct ResolveFailure {
    std::string message;
    int code;
};

int ResolveProto(const std::string& text, std::string& protoName) {
    std::string p = text::LowerCase(text::Trim(text));
    if (p.empty() || p.size() >= 32) {
        throw ResolveFailure{"WSocketResolveProto: Invalid Protocol.", WSAEINVAL};
    }
    if (IsDigit(p[0])) {
        PortText n = ReadLeadingNumber(p);
        protoName = n.value == 6 ? "tcp" : n.value == 17 ? "udp" : p;
        return static_cast<int>(n.value);
    }
    protoName = p;
    if (p == "tcp") {
        return 6;
    }
    if (p == "udp") {
        return 17;
    }
    if (p == "raw") {
        return 255;
    }
    int protocol = 0;
    int rc = platform::LookupProtocol(p, protocol);
    if (rc != 0) {
        throw ResolveFailure{"WSocketResolveProto: Cannot convert protocol '" + text +
                                 "', Error #" + std::to_string(rc),
                             rc};
    }
    return protocol;
}

int ResolvePort(const std::string& text, const std::string& protoName) {
    if (text.empty() || text.size() >= 32) {
        throw ResolveFailure{"WSocketResolvePort: Invalid Port.", WSAEINVAL};
    }
    PortText n = ReadLeadingNumber(text);
    if (n.numeric) {
        // A number past 65535 would otherwise wrap onto some other port.
        if (n.value > 65535) {
            throw ResolveFailure{"WSocketResolvePort: Invalid Port.", WSAEINVAL};
        }
        return static_cast<int>(n.value);
    }
    if (protoName.empty()) {
        throw ResolveFailure{"WSocketResolvePort: Invalid Proto.", WSAEINVAL};
    }
    int port = 0;
    int rc = platform::LookupService(text::Trim(text), protoName, port);
    if (rc != 0) {
        throw ResolveFailure{
            "WSocketResolvePort: Cannot convert port '" + text + "', Error #" + std::to_string(rc),
            rc};
    }
    return port;
}

in_addr ResolveHost(const std::string& name) {
    if (name.empty() || name.size() > 256) {
        throw ResolveFailure{"WSocketResolveHost: '" + name + "' Invalid Hostname.", WSAEINVAL};
    }
    if (WSocketIsDottedIP(name)) {
        return DottedToAddress(name);
    }
    std::vector<std::string> addresses;
    int rc = platform::ResolveHostAddresses(name, addresses);
    in_addr a{};
    if (rc != 0 || !platform::ParseIPv4(addresses.front(), a)) {
        if (rc == 0) {
            rc = WSAHOST_NOT_FOUND;
        }
        throw ResolveFailure{"WSocketResolveHost: Cannot convert host address '" + name +
                                 "', Error #" + std::to_string(rc),
                             rc};
    }
    return a;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

TWSocket::TWSocket(QObject* parent) : QObject(parent) {
    SetDefaults();
}

TWSocket::~TWSocket() {
    destroying_ = true;
    // The owner is being torn down too: no handler may run from here on.
    OnSessionConnected = nullptr;
    OnSessionClosed = nullptr;
    OnDataAvailable = nullptr;
    OnDataSent = nullptr;
    OnSendData = nullptr;
    OnDnsLookupDone = nullptr;
    OnChangeState = nullptr;
    OnError = nullptr;
    OnBgException = nullptr;
    OnSessionAvailable = nullptr;
    if (lookup_) {
        lookup_->Cancel();
        lookup_.reset();
    }
    DropNotifiers();
    if (fd_.valid()) {
        platform::CloseSocket(fd_.release());
    }
    std::lock_guard lock(SendBufferLock());
    sendBlocks_.clear();
    bufferedBytes_ = 0;
}

void TWSocket::SetDefaults() {
    addr_.clear();
    addrAssigned_ = false;
    port_.clear();
    portAssigned_ = false;
    proto_ = "tcp";
    protoAssigned_ = true;
    localAddr_ = "0.0.0.0";
    localPort_ = "0";
    lingerOnOff_ = wsLingerOn;
    lingerTimeout_ = 0;
    readCount_ = 0;
    socksServer_.clear();
    socksPort_.clear();
    socksLevel_ = "5";
    closeReported_ = false;
}

void TWSocket::ChangeState(TSocketState newState) {
    TSocketState old = state_;
    state_ = newState;
    if (old != newState && OnChangeState) {
        OnChangeState(*this, old, newState);
    }
}

void TWSocket::RaiseException(const std::string& message, int code) {
    lastErrorMessage_ = message;
    if (OnError) {
        OnError(*this);
        return;
    }
    throw ESocketException(message, code);
}

void TWSocket::SocketError(const std::string& callName, int code) {
    if (code == WSAECONNRESET || code == WSAENOTCONN) {
        DropNotifiers();
        if (fd_.valid()) {
            platform::CloseSocket(fd_.release());
        }
        if (state_ != wsClosed && !closeReported_) {
            closeReported_ = true;
            if (OnSessionClosed) {
                OnSessionClosed(*this, static_cast<std::uint16_t>(code));
            }
        }
        ChangeState(wsClosed);
    }
    lastError_ = code;
    RaiseException("Error " + std::to_string(code) + " in function " + callName + "\r\n" +
                       WSocketErrorDesc(code),
                   code);
}

// --- Properties ------------------------------------------------------------------------------

void TWSocket::SetAddr(std::string_view value) {
    if (state_ != wsClosed) {
        RaiseException("Cannot change Addr if not closed");
        return;
    }
    addr_ = text::Trim(value);
    addrAssigned_ = !addr_.empty();
}

void TWSocket::SetPort(std::string_view value) {
    if (state_ != wsClosed) {
        RaiseException("Cannot change Port if not closed");
        return;
    }
    port_ = text::Trim(value);
    portAssigned_ = !port_.empty();
}

void TWSocket::SetProto(std::string_view value) {
    if (state_ != wsClosed) {
        RaiseException("Cannot change Proto if not closed");
        return;
    }
    proto_ = text::Trim(value);
    protoAssigned_ = !proto_.empty();
}

void TWSocket::SetLocalAddr(std::string_view value) {
    if (state_ != wsClosed) {
        RaiseException("Cannot change LocalAddr if not closed");
        return;
    }
    localAddr_ = value.empty() ? std::string("0.0.0.0") : std::string(value);
}

void TWSocket::SetLocalPort(std::string_view value) {
    if (state_ != wsClosed) {
        RaiseException("Cannot change LocalPort if not closed");
        return;
    }
    localPort_ = value.empty() ? std::string("0") : std::string(value);
}

std::string TWSocket::PeerAddr() const {
    std::string address;
    int port = 0;
    if (state_ != wsConnected || !fd_.valid() ||
        platform::PeerName(fd_.get(), address, port) != 0) {
        return "error";
    }
    return address;
}

std::string TWSocket::PeerPort() const {
    std::string address;
    int port = 0;
    if (state_ != wsConnected || !fd_.valid() ||
        platform::PeerName(fd_.get(), address, port) != 0) {
        return "error";
    }
    return std::to_string(port);
}

int TWSocket::RcvdCount() const {
    if (!fd_.valid()) {
        return -1;
    }
    int error = 0;
    return platform::BytesWaiting(fd_.get(), error);
}

int TWSocket::HSocket() const {
    return fd_.get();
}

std::int64_t TWSocket::BufferedByteCount() const {
    std::lock_guard lock(SendBufferLock());
    return bufferedBytes_;
}

// --- Name lookup -----------------------------------------------------------------------------

void TWSocket::DnsLookup(std::string_view hostName) {
    if (hostName.empty()) {
        RaiseException("DNS lookup: invalid host name.", WSAEINVAL);
        if (OnDnsLookupDone) {
            OnDnsLookupDone(*this, WSAEINVAL);
        }
        return;
    }
    // A new lookup replaces the one under way without an event; its late answer is dropped.
    if (lookup_) {
        lookup_->Cancel();
        lookup_.reset();
    }
    dnsResult_.clear();
    dnsResultList_.clear();

    in6_addr ipv6{};
    if (WSocketIsDottedIP(hostName) || platform::ParseIPv6(std::string(hostName), ipv6)) {
        dnsResult_ = WSocketIsDottedIP(hostName) ? platform::FormatIPv4(DottedToAddress(hostName))
                                                 : platform::FormatIPv6(ipv6);
        dnsResultList_.push_back(dnsResult_);
        if (OnDnsLookupDone) {
            OnDnsLookupDone(*this, 0);
        }
        return;
    }

    lookupId_ = NextSerial();
    int error = 0;
    std::string name(hostName);
    lookup_ = platform::StartDnsLookup(this, WM_ASYNCGETHOSTBYNAME, lookupId_, name, error);
    if (!lookup_) {
        lastError_ = error;
        RaiseException(name + ": can't start DNS lookup, error #" + std::to_string(error), error);
        if (OnDnsLookupDone) {
            OnDnsLookupDone(*this, static_cast<std::uint16_t>(error));
        }
    }
}

void TWSocket::CancelDnsLookup() {
    if (!lookup_) {
        return;
    }
    lookup_->Cancel();
    lookup_.reset();
    if (!destroying_ && OnDnsLookupDone) {
        OnDnsLookupDone(*this, WSAEINTR);
    }
}

void TWSocket::DnsAnswer(std::uint64_t id, int error, std::vector<std::string> addresses) {
    if (!lookup_ || id != lookupId_) {
        return;  // the answer of a cancelled or replaced lookup
    }
    lookup_.reset();
    if (error == 0) {
        dnsResultList_ = std::move(addresses);
        dnsResult_ = dnsResultList_.empty() ? std::string() : dnsResultList_.front();
    }
    if (OnDnsLookupDone) {
        OnDnsLookupDone(*this, static_cast<std::uint16_t>(error));
    }
}

// --- Connecting ------------------------------------------------------------------------------

bool TWSocket::ResolveForConnect(Resolved& out) {
    try {
        std::string protoName;
        out.protocol = ResolveProto(proto_, protoName);
        out.type = out.protocol == 6 ? SOCK_STREAM : out.protocol == 17 ? SOCK_DGRAM : SOCK_RAW;
        out.port = ResolvePort(port_, protoName);
        // An IPv6 address is used as it is; names are looked up for IPv4 addresses.
        out.ipv6 = platform::ParseIPv6(addr_, out.addr6);
        if (!out.ipv6) {
            out.addr = ResolveHost(addr_);
        }
        out.localPort = ResolvePort(localPort_, protoName);
        out.localAddr = ResolveHost(localAddr_);
        out.bind = localPort_ != "0" || localAddr_ != "0.0.0.0";
        return true;
    } catch (const ResolveFailure& f) {
        lastError_ = f.code;
        RaiseException("connect: " + f.message, f.code);
        return false;
    }
}

void TWSocket::Connect() {
    if (fd_.valid() && state_ != wsClosed) {
        RaiseException("Connect: Socket already in use");
        return;
    }
    if (!portAssigned_) {
        RaiseException("Connect: No Port Specified");
        return;
    }
    if (!addrAssigned_) {
        RaiseException("Connect: No IP Address Specified");
        return;
    }
    if (!protoAssigned_) {
        RaiseException("Connect: No Protocol Specified");
        return;
    }
    if (!socksServer_.empty()) {
        // Connecting directly would bypass the proxy the owner asked for.
        lastError_ = WSAEOPNOTSUPP;
        RaiseException("Connect: SOCKS is not supported", WSAEOPNOTSUPP);
        return;
    }
    Resolved r;
    if (!ResolveForConnect(r)) {
        return;
    }

    DeleteBufferedData();
    DropNotifiers();
    fd_.reset();
    int error = 0;
    fd_ = platform::OpenSocket(r.ipv6 ? AF_INET6 : AF_INET, r.type, r.protocol, error);
    if (!fd_.valid()) {
        SocketError("Connect (socket)", error);
        return;
    }
    const int fd = fd_.get();
    connection_ = NextSerial();
    datagram_ = r.type == SOCK_DGRAM;
    closeReported_ = false;
    paused_ = false;
    waitingForWrite_ = false;
    int size = 0;
    if ((error = platform::GetIntOption(fd, SOL_SOCKET, SO_SNDBUF, size)) != 0) {
        SocketError("getsockopt(SO_SNDBUF)", error);
        return;
    }
    if ((error = platform::GetIntOption(fd, SOL_SOCKET, SO_RCVBUF, size)) != 0) {
        SocketError("getsockopt(SO_RCVBUF)", error);
        return;
    }
    std::weak_ptr<bool> alive = alive_;
    const std::uint64_t serial = connection_;
    ChangeState(wsOpened);
    if (alive.expired() || serial != connection_) {
        return;
    }
    if (state_ != wsOpened) {
        SocketError("Connect (Invalid operation in OnChangeState)", WSAEINVAL);
        return;
    }

    if (r.type == SOCK_STREAM) {
        if ((error = platform::SetIntOption(fd, SOL_SOCKET, SO_REUSEADDR, 1)) != 0) {
            SocketError("setsockopt(SO_REUSEADDR)", error);
            return;
        }
        if ((componentOptions_ & wsoTcpNoDelay) != 0 &&
            (error = platform::SetIntOption(fd, IPPROTO_TCP, TCP_NODELAY, 1)) != 0) {
            SocketError("setsockopt(IPPROTO_TCP, TCP_NODELAY)", error);
            return;
        }
        if (lingerOnOff_ != wsLingerNoSet &&
            (error = platform::SetLinger(fd, lingerOnOff_ == wsLingerOn, lingerTimeout_)) != 0) {
            SocketError("setsockopt(SO_LINGER)", error);
            return;
        }
        if (keepAliveOnOff_ != wsKeepAliveOff) {
            if ((error = platform::SetIntOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1)) != 0) {
                SocketError("setsockopt(SO_KEEPALIVE)", error);
                return;
            }
            if (keepAliveOnOff_ == wsKeepAliveOnCustom) {
                // Milliseconds as given; the kernel counts whole seconds, at least one.
                int idle = static_cast<int>(std::max<std::uint32_t>(1, keepAliveTime_ / 1000));
                int interval =
                    static_cast<int>(std::max<std::uint32_t>(1, keepAliveInterval_ / 1000));
                if ((error = platform::SetIntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, idle)) != 0 ||
                    (error = platform::SetIntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, interval)) !=
                        0) {
                    SocketError("WSocket_WSAIoctl(SIO_KEEPALIVE_VALS)", error);
                    return;
                }
            }
        }
    }
    if (r.bind && r.ipv6) {
        // The local address is an IPv4 one: it cannot be the source of an IPv6 connection.
        lastError_ = WSAEAFNOSUPPORT;
        RaiseException("winsock.bind failed, error #" + std::to_string(lastError_), lastError_);
        return;
    }
    if (r.bind && (error = platform::Bind(fd, r.localAddr, r.localPort)) != 0) {
        lastError_ = error;
        RaiseException("winsock.bind failed, error #" + std::to_string(error), error);
        return;
    }

    readNotifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    QObject::connect(readNotifier_, &QSocketNotifier::activated, this,
                     [this] { Guarded([this] { HandleNotice(); }); });
    writeNotifier_ = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    QObject::connect(writeNotifier_, &QSocketNotifier::activated, this,
                     [this] { Guarded([this] { HandleNotice(); }); });

    error = r.ipv6 ? platform::StartConnect(fd, r.addr6, r.port)
                   : platform::StartConnect(fd, r.addr, r.port);
    if (r.type != SOCK_STREAM) {
        if (error != 0) {
            DropNotifiers();
            lastError_ = error;
            SocketError("Connect", error);
            return;
        }
        UpdateNotifiers();
        ChangeState(wsConnected);
        if (!alive.expired() && serial == connection_ && OnSessionConnected) {
            OnSessionConnected(*this, 0);
        }
        return;
    }
    if (error == 0 || error == WSAEWOULDBLOCK) {
        waitingForWrite_ = true;  // the write notice tells the connect's end
        UpdateNotifiers();
        ChangeState(wsConnecting);
        return;
    }
    if (IsDeferredConnectError(error)) {
        // Reported as the connect notice's error, as on a link where it takes time.
        UpdateNotifiers();
        if (readNotifier_ != nullptr) {
            readNotifier_->setEnabled(false);
        }
        ChangeState(wsConnecting);
        platform::PostMessage(this, WM_ASYNCSELECT, static_cast<std::intptr_t>(serial),
                              FD_CONNECT | (error << 16));
        return;
    }
    DropNotifiers();  // an unconnected socket would only give spurious notices
    lastError_ = error;
    SocketError("Connect", error);
}

// --- Notices ---------------------------------------------------------------------------------

void TWSocket::UpdateNotifiers() {
    if (readNotifier_ != nullptr) {
        readNotifier_->setEnabled(!paused_ && fd_.valid());
    }
    if (writeNotifier_ != nullptr) {
        writeNotifier_->setEnabled(!paused_ && fd_.valid() && waitingForWrite_);
    }
}

void TWSocket::DropNotifiers() {
    for (QSocketNotifier** n : {&readNotifier_, &writeNotifier_}) {
        if (*n != nullptr) {
            (*n)->setEnabled(false);
            if (destroying_) {
                delete *n;  // child of this; parent is going away in any case
            } else {
                (*n)->deleteLater();  // may be inside its own activated signal
            }
            *n = nullptr;
        }
    }
}

template <class F>
void TWSocket::Guarded(F&& step) {
    std::weak_ptr<bool> alive = alive_;
    try {
        step();
    } catch (const std::exception& e) {
        if (!alive.expired()) {
            BgException(e);
        }
    } catch (...) {
        if (!alive.expired()) {
            BgException(std::runtime_error("Unknown exception in socket handler"));
        }
    }
}

void TWSocket::BgException(const std::exception& e) {
    std::weak_ptr<bool> alive = alive_;
    bool canClose = true;
    if (OnBgException) {
        try {
            OnBgException(*this, e, canClose);
        } catch (...) {
        }
    }
    if (canClose && !alive.expired()) {
        try {
            Abort();
        } catch (...) {
        }
    }
}

void TWSocket::HandleNotice() {
    if (!fd_.valid() || paused_) {
        return;
    }
    const int fd = fd_.get();
    platform::Readiness r = platform::PollNow(fd);
    int bits = 0;
    int error = 0;
    int waitingError = 0;

    if (datagram_) {
        if (r.errorFlag) {
            platform::TakePendingError(fd);  // a late ICMP answer; nothing to report it to
        }
        if (r.readable) {
            bits |= FD_READ;
        }
    } else if (state_ == wsConnecting) {
        if (!r.writable && !r.errorFlag && !r.hangup) {
            return;
        }
        error = platform::TakePendingError(fd);
        bits |= FD_CONNECT;
        if (error == 0) {
            waitingForWrite_ = false;
            UpdateNotifiers();
            if (r.writable) {
                bits |= FD_WRITE;
            }
            int waiting = platform::BytesWaiting(fd, waitingError);
            if (waiting > 0) {
                bits |= FD_READ;
            } else if (r.hangup) {
                bits |= FD_CLOSE;
            }
        }
    } else {
        if (r.writable && waitingForWrite_) {
            bits |= FD_WRITE;
        }
        if (r.readable || r.hangup || r.errorFlag) {
            int waiting = platform::BytesWaiting(fd, waitingError);
            if (waiting > 0) {
                bits |= FD_READ;
            } else {
                // Nothing left to read and the stream has ended (or failed): the close notice.
                error = platform::TakePendingError(fd);
                bits |= FD_CLOSE;
            }
        }
    }
    if (bits == 0) {
        return;
    }
    const bool closePending = !datagram_ && (bits & FD_READ) != 0 && (r.hangup || r.errorFlag);
    int waitingBefore = closePending ? platform::BytesWaiting(fd, waitingError) : 0;
    std::weak_ptr<bool> alive = alive_;
    const std::uint64_t serial = connection_;
    HandleSocketEvent(bits, error);
    // The peer has gone but the handler takes nothing of what is left: report the close now
    // rather than wake up for the same bytes forever.
    if (closePending && !alive.expired() && serial == connection_ && fd_.valid() &&
        state_ == wsConnected && platform::BytesWaiting(fd_.get(), waitingError) == waitingBefore) {
        HandleSocketEvent(FD_CLOSE, platform::TakePendingError(fd_.get()));
    }
}

void TWSocket::HandleSocketEvent(int bits, int error) {
    std::weak_ptr<bool> alive = alive_;
    const std::uint64_t serial = connection_;
    // Paused by a handler: the rest of this notice waits for Resume, as a later notice would.
    auto gone = [&] { return alive.expired() || serial != connection_ || !fd_.valid() || paused_; };
    const auto err = static_cast<std::uint16_t>(error);

    if ((bits & FD_CONNECT) != 0 && state_ != wsConnected) {
        ChangeState(wsConnected);
        if (alive.expired()) {
            return;
        }
        if (OnSessionConnected) {
            OnSessionConnected(*this, err);
            if (alive.expired()) {
                return;
            }
        }
        if (error != 0) {
            if (state_ != wsClosed && serial == connection_) {
                Close();
            }
            return;
        }
    }
    if (gone()) {
        return;
    }
    if ((bits & FD_READ) != 0) {
        if (state_ != wsConnected) {
            ChangeState(wsConnected);
            if (gone()) {
                return;
            }
            if (OnSessionConnected) {
                OnSessionConnected(*this, err);
                if (gone()) {
                    return;
                }
            }
        }
        ReceiveLoop((componentOptions_ & wsoNoReceiveLoop) != 0, err);
        if (gone()) {
            return;
        }
    }
    if ((bits & FD_WRITE) != 0) {
        if (TryToSend()) {
            if (gone()) {
                return;
            }
            if (OnDataSent) {
                OnDataSent(*this, err);
                if (gone()) {
                    return;
                }
            }
        } else if (gone()) {
            return;
        }
    }
    if ((bits & FD_ACCEPT) != 0 && OnSessionAvailable) {
        OnSessionAvailable(*this, err);
        if (gone()) {
            return;
        }
    }
    if ((bits & FD_CLOSE) != 0 && state_ != wsConnecting) {
        ReceiveLoop(false, err);
        if (gone()) {
            return;
        }
        if (!closeReported_) {
            closeReported_ = true;
            if (OnSessionClosed) {
                OnSessionClosed(*this, err);
                if (alive.expired() || serial != connection_) {
                    return;
                }
            }
        }
        if (state_ != wsClosed) {
            Close();
        }
    }
}

// --- Receiving -------------------------------------------------------------------------------

void TWSocket::ReceiveLoop(bool noLoop, std::uint16_t error) {
    std::weak_ptr<bool> alive = alive_;
    const std::uint64_t serial = connection_;
    const auto start = std::chrono::steady_clock::now();
    // Bounded: on a link faster than the handler bytes are always waiting, and an endless loop
    // would keep the event loop (and the Stop button) from ever running. The notifier is
    // level-triggered, so the next notice goes on where this one stopped.
    for (int pass = 1;; ++pass) {
        lastError_ = 0;
        try {
            if (OnDataAvailable) {
                OnDataAvailable(*this, error);
            } else {
                char scratch[1024];
                if (Receive(scratch, sizeof scratch) < 0 && lastError_ == WSAEWOULDBLOCK) {
                    return;
                }
            }
        } catch (...) {
            return;  // a failing handler ends this notice's reading, silently
        }
        if (alive.expired() || serial != connection_ || !fd_.valid() || paused_) {
            return;
        }
        if (noLoop) {
            return;
        }
        if (lastError_ != 0) {
            if (lastError_ == -1) {
                lastError_ = 0;
            }
            return;
        }
        int askError = 0;
        int waiting = platform::BytesWaiting(fd_.get(), askError);
        if (waiting < 0) {
            lastError_ = askError;
            return;
        }
        if (waiting == 0) {
            return;
        }
        if (pass >= kMaxReceivePasses || std::chrono::steady_clock::now() - start >=
                                             std::chrono::milliseconds(kReceiveSliceMs)) {
            return;
        }
    }
}

int TWSocket::Receive(void* buffer, int bufferSize) {
    if (!fd_.valid()) {
        lastError_ = WSAENOTSOCK;
        return -1;
    }
    if (bufferSize < 0) {
        lastError_ = WSAEINVAL;
        return -1;
    }
    int error = 0;
    long n = platform::ReceiveSome(fd_.get(), buffer, static_cast<std::size_t>(bufferSize), error);
    if (n < 0) {
        lastError_ = error;
        return -1;
    }
    readCount_ += n;
    return static_cast<int>(n);
}

// --- Sending ---------------------------------------------------------------------------------

void TWSocket::PutDataInSendBuffer(const void* data, int len) {
    if (len <= 0 || data == nullptr) {
        return;
    }
    std::lock_guard lock(SendBufferLock());
    const char* p = static_cast<const char*>(data);
    int left = len;
    if (sendBlocks_.empty()) {
        sendBlocks_.emplace_back(kSendBlockSize);
    }
    while (left > 0) {
        SendBlock& last = sendBlocks_.back();
        int room = static_cast<int>(last.data.size()) - last.writeCount;
        if (room <= 0) {
            sendBlocks_.emplace_back(kSendBlockSize);
            continue;
        }
        int n = std::min(room, left);
        std::memcpy(last.data.data() + last.writeCount, p, static_cast<std::size_t>(n));
        last.writeCount += n;
        p += n;
        left -= n;
    }
    bufferedBytes_ += len;
    allSent_ = false;
}

int TWSocket::Send(const void* data, int len) {
    if (state_ != wsConnected && state_ != wsSocksConnected) {
        SocketError("Send", WSAENOTCONN);
        return -1;
    }
    std::weak_ptr<bool> alive = alive_;
    const std::uint64_t serial = connection_;
    allSent_ = false;
    if (len > 0) {
        PutDataInSendBuffer(data, len);
    }
    bool sentAll = TryToSend();
    if (sentAll && !alive.expired() && serial == connection_ && fd_.valid()) {
        // OnDataSent follows from the event loop, as after a send that had to wait.
        platform::PostMessage(this, WM_ASYNCSELECT, static_cast<std::intptr_t>(serial), FD_WRITE);
    }
    return len <= 0 ? 0 : len;
}

bool TWSocket::TryToSend() {
    std::lock_guard lock(SendBufferLock());
    if (!fd_.valid() || sendBlocks_.empty()) {
        allSent_ = true;
        return true;
    }
    std::weak_ptr<bool> alive = alive_;
    const std::uint64_t serial = connection_;
    for (;;) {
        SendBlock& block = sendBlocks_.front();
        int count = block.writeCount - block.readCount;
        if (count > 0) {
            int error = 0;
            long n = platform::SendSome(fd_.get(), block.data.data() + block.readCount,
                                        static_cast<std::size_t>(count), error);
            if (n < 0) {
                if (error == WSAEWOULDBLOCK) {
                    waitingForWrite_ = true;
                    UpdateNotifiers();
                    return false;
                }
                if (IsFatalSendError(error)) {
                    bool reported = closeReported_;
                    closeReported_ = true;
                    lastError_ = error;
                    Close();
                    if (!reported && !alive.expired() && OnSessionClosed) {
                        OnSessionClosed(*this, static_cast<std::uint16_t>(error));
                    }
                    return false;
                }
                SocketError("TryToSend failed", error);
                return false;
            }
            block.readCount += static_cast<int>(n);
            bufferedBytes_ = std::max<std::int64_t>(0, bufferedBytes_ - n);
            if (block.readCount == block.writeCount) {
                block.readCount = 0;
                block.writeCount = 0;
            }
            if (OnSendData) {
                OnSendData(*this, static_cast<int>(n));
                if (alive.expired() || serial != connection_ || !fd_.valid() ||
                    sendBlocks_.empty()) {
                    return false;
                }
            }
            if (n < count) {
                waitingForWrite_ = true;  // the rest goes at the next write notice
                UpdateNotifiers();
                return false;
            }
            continue;  // a full send: look at the same block again
        }
        if (sendBlocks_.size() > 1) {
            sendBlocks_.pop_front();
            continue;
        }
        allSent_ = true;
        waitingForWrite_ = false;
        UpdateNotifiers();
        return true;
    }
}

void TWSocket::DeleteBufferedData() {
    std::lock_guard lock(SendBufferLock());
    sendBlocks_.clear();
    bufferedBytes_ = 0;
}

// --- Closing ---------------------------------------------------------------------------------

void TWSocket::Close() {
    InternalClose(true);
}

void TWSocket::InternalClose(bool shutdownFirst) {
    std::weak_ptr<bool> alive = alive_;
    if (fd_.valid()) {
        if (shutdownFirst) {
            platform::ShutdownSend(fd_.get());  // fails harmlessly when never connected
        }
        DropNotifiers();
        waitingForWrite_ = false;
        int rc = platform::CloseSocket(fd_.release());
        if (rc != 0 && rc != WSANOTINITIALISED) {
            lastError_ = rc;
            lastErrorMessage_ = "Error " + std::to_string(rc) +
                                " in function Disconnect (closesocket)\r\n" + WSocketErrorDesc(rc);
            if (OnError && !destroying_) {
                OnError(*this);
                if (alive.expired()) {
                    return;
                }
            }
        }
        const std::uint64_t serial = connection_;
        ChangeState(wsClosed);
        if (alive.expired()) {
            return;
        }
        if (!destroying_ && !closeReported_) {
            closeReported_ = true;
            if (OnSessionClosed) {
                OnSessionClosed(*this, 0);
                if (alive.expired()) {
                    return;
                }
            }
        }
        if (serial != connection_) {
            return;  // a handler has opened the next connection already
        }
    } else {
        ChangeState(wsClosed);
        if (alive.expired()) {
            return;
        }
    }
    SetDefaults();
}

void TWSocket::CloseDelayed() {
    platform::PostMessage(this, WM_CLOSE_DELAYED, static_cast<std::intptr_t>(connection_));
}

void TWSocket::Abort() {
    std::weak_ptr<bool> alive = alive_;
    CancelDnsLookup();
    if (alive.expired()) {
        return;
    }
    DeleteBufferedData();
    if (fd_.valid() && state_ == wsConnected && !datagram_) {
        platform::SetLinger(fd_.get(), false, 0);
    }
    InternalClose(false);
}

void TWSocket::Pause() {
    paused_ = true;
    UpdateNotifiers();
}

void TWSocket::Resume() {
    paused_ = false;
    UpdateNotifiers();
}

void TWSocket::ProcessMessages() {
    platform::ProcessMessages();
}

// --- Messages --------------------------------------------------------------------------------

bool TWSocket::event(QEvent* e) {
    switch (static_cast<int>(e->type())) {
        case WM_ASYNCSELECT: {
            auto* m = dynamic_cast<platform::MessageEvent*>(e);
            if (m == nullptr || paused_ || !fd_.valid() ||
                static_cast<std::uint64_t>(m->WParam()) != connection_) {
                return true;
            }
            const int bits = static_cast<int>(m->LParam() & 0xFFFF);
            const int error = static_cast<int>((m->LParam() >> 16) & 0xFFFF);
            if ((bits & FD_CONNECT) != 0) {
                UpdateNotifiers();
            }
            Guarded([this, bits, error] { HandleSocketEvent(bits, error); });
            return true;
        }
        case WM_ASYNCGETHOSTBYNAME: {
            auto* answer = dynamic_cast<platform::DnsAnswerEvent*>(e);
            if (answer == nullptr) {
                return true;
            }
            Guarded([this, answer] {
                DnsAnswer(answer->Id, answer->Error, std::move(answer->Addresses));
            });
            return true;
        }
        case WM_CLOSE_DELAYED: {
            auto* m = dynamic_cast<platform::MessageEvent*>(e);
            // Meant for the connection open when it was asked; a later one is left alone.
            if (m != nullptr && static_cast<std::uint64_t>(m->WParam()) == connection_) {
                Guarded([this] { Close(); });
            }
            return true;
        }
        default:
            return QObject::event(e);
    }
}
