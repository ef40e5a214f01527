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
#include "http/WSocketInternal.h"
#include "platform/Dns.h"
#include "platform/Messages.h"
#include "platform/Socket.h"

using wsocket_internal::NextSerial;
using wsocket_internal::SendBufferLock;

namespace wsocket_internal {

// All send buffers share one re-entrant lock: handlers fired while sending may send again.
std::recursive_mutex& SendBufferLock() {
    static std::recursive_mutex lock;
    return lock;
}

std::uint64_t NextSerial() {
    static std::atomic<std::uint64_t> serial{0};
    return ++serial;
}

}  // namespace wsocket_internal

namespace {

// Errors the non-blocking connect of the classic socket library reports through the connect
// notice rather than from the call; Linux may give them at once on loopback.
bool IsDeferredConnectError(int code) {
    return code == WSAECONNREFUSED || code == WSAETIMEDOUT || code == WSAENETUNREACH ||
           code == WSAEHOSTUNREACH;
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

    error = r.ipv6 ? platform::StartConnect(fd, r.addr6, r.port, r.scope6)
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
