// The secure link of THttpCli: for an https address the connection first goes through the
// proxy's CONNECT tunnel (when HttpsProxy is set), then through the TLS handshake; only then is
// the request sent, and every byte after it passes through the TLS session.

#include <QTimer>

#include "common/StringTable.h"
#include "common/Text.h"
#include "http/HttpAuth.h"
#include "http/HttpProt.h"
#include "http/HttpUrl.h"
#include "http/TlsSession.h"
#include "http/WSocket.h"

namespace {

// A proxy's answer to CONNECT is a header only; one larger than this is no answer.
constexpr std::size_t kMaxTunnelReply = 64 * 1024;
constexpr int kRawReadSize = 16 * 1024;
// Reception passes of one socket notice over bytes the session holds.
constexpr int kMaxSecurePasses = 64;

std::string TunnelRefused(const std::string& target) {
    std::string line = LoadStr(StrId::ProxyRefusedTunnel);
    if (const std::size_t at = line.find("%1"); at != std::string::npos) {
        line.replace(at, 2, target);
    }
    return line;
}

}  // namespace

void THttpCli::ChooseDial() {
    // https through a proxy connects to the proxy and asks it for a tunnel to the target;
    // anything else connects where the request goes.
    tunnel_ = connProtocol_ == "https" && !HttpsProxy.empty();
    if (tunnel_) {
        ProxyEndpoint(HttpsProxy, HttpsProxyPort, dialHost_, dialPort_);
    } else {
        dialHost_ = connHost_;
        dialPort_ = connPort_;
    }
}

void THttpCli::StartSecureLink() {
    tls_.reset();
    tunnelReply_.clear();
    if (tunnel_ && link_ == Link::Plain) {
        link_ = Link::Tunnel;
        StateChange(httpWaitingProxyConnect);
        const std::string target = targetHost_ + ":" + targetPort_;
        std::string request = "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n";
        if (!HttpsProxyUsername.empty() || !HttpsProxyPassword.empty()) {
            request += "Proxy-Authorization: Basic " +
                       BasicCredentials(HttpsProxyUsername, HttpsProxyPassword) + "\r\n";
        }
        if (!Agent.empty()) {
            request += "User-Agent: " + Agent + "\r\n";
        }
        request += "\r\n";
        socket_->Send(request.data(), static_cast<int>(request.size()));
        return;
    }
    link_ = Link::Handshake;
    tls_ = std::make_unique<TTlsSession>(targetHost_);
    HandshakeStep();
}

void THttpCli::TunnelData() {
    char buffer[4096];
    const int n = socket_->Receive(buffer, sizeof buffer);
    if (n <= 0) {
        return;  // would block, or the close notice follows
    }
    tunnelReply_.append(buffer, static_cast<std::size_t>(n));
    std::size_t end = tunnelReply_.find("\r\n\r\n");
    std::size_t skip = 4;
    if (end == std::string::npos) {
        end = tunnelReply_.find("\n\n");
        skip = 2;
    }
    if (end == std::string::npos) {
        if (tunnelReply_.size() > kMaxTunnelReply) {
            SecureFailed(TunnelRefused(targetHost_ + ":" + targetPort_));
            socket_->CloseDelayed();
        }
        return;
    }
    // "HTTP/1.1 200 Connection established": only a 2xx opens the tunnel.
    const std::string statusLine = tunnelReply_.substr(0, tunnelReply_.find_first_of("\r\n"));
    const std::size_t space = statusLine.find(' ');
    const std::string rest = space == std::string::npos ? "" : statusLine.substr(space + 1);
    const int status = text::StrToIntDef(rest.substr(0, 3), 0);
    if (!statusLine.starts_with("HTTP/") || status < 200 || status > 299) {
        const std::string what = text::Trim(rest);
        SecureFailed(
            TunnelRefused(targetHost_ + ":" + targetPort_) + (what.empty() ? "" : ": " + what),
            status >= 300 && status <= 599 ? status : 404);
        socket_->CloseDelayed();
        return;
    }
    const std::string early = tunnelReply_.substr(end + skip);
    tunnelReply_.clear();
    link_ = Link::Handshake;
    tls_ = std::make_unique<TTlsSession>(targetHost_);
    tls_->Feed(early.data(), early.size());
    HandshakeStep();
}

void THttpCli::HandshakeData() {
    char buffer[kRawReadSize];
    const int n = socket_->Receive(buffer, sizeof buffer);
    if (n < 0) {
        return;
    }
    if (n == 0) {
        tls_->PeerClosed();
    } else {
        tls_->Feed(buffer, static_cast<std::size_t>(n));
    }
    HandshakeStep();
}

void THttpCli::HandshakeStep() {
    const TTlsSession::Progress progress = tls_->Handshake();
    const std::string out = tls_->TakeOutgoing();
    const auto alive = alive_;
    if (!out.empty()) {
        socket_->Send(out.data(), static_cast<int>(out.size()));
        if (!*alive || socket_->State() != wsConnected || link_ != Link::Handshake) {
            return;  // the send failed and closed the connection, or an abort came
        }
    }
    if (progress == TTlsSession::Progress::Pending) {
        return;
    }
    if (progress == TTlsSession::Progress::Failed) {
        SecureFailed(tls_->Error());
        // Closed from the queue: the socket is inside its own read notice here.
        socket_->CloseDelayed();
        return;
    }
    link_ = Link::Secure;
    LinkReady();
}

void THttpCli::SecureFailed(const std::string& reason, int status) {
    link_ = Link::Plain;
    requestDoneError_ = httperrSecureLink;
    rx_.r.StatusCode = status;
    rx_.r.ReasonPhrase = reason;
    locationFlag_ = false;
}

void THttpCli::SecureData(std::uint16_t errCode) {
    rx_.SetRequestType(requestType_);
    const auto alive = alive_;
    const std::uint64_t request = requestId_;
    // The session may hold plain bytes with nothing left waiting on the socket, and the socket
    // gives no notice for those: they are read here until no read gives more.
    for (int pass = 0;; ++pass) {
        securePlainRead_ = 0;
        rx_.DataAvailable([this](char* buf, int cap) { return SecureReceive(buf, cap); }, errCode);
        if (!*alive || request != requestId_ || link_ != Link::Secure || !tls_ ||
            socket_->Paused() || securePlainRead_ == 0 || !tls_->HasPending()) {
            return;
        }
        if (pass == kMaxSecurePasses) {
            // Back to the event loop (Stop must be able to run), and on from there.
            QTimer::singleShot(0, this, [this, alive, request] {
                if (*alive && request == requestId_) {
                    SecureHeld();
                }
            });
            return;
        }
    }
}

void THttpCli::SecureHeld() {
    if (link_ == Link::Secure && tls_ && tls_->HasPending() && !socket_->Paused()) {
        SecureData(0);
    }
}

int THttpCli::SecureReceive(char* buffer, int capacity) {
    for (;;) {
        const int n = tls_->Read(buffer, capacity);
        if (n >= 0) {
            securePlainRead_ += n;
            return n;
        }
        if (n == -2) {
            // Nothing more can be read: what was received is judged by its framing.
            socket_->SetLastError(WSAECONNABORTED);
            socket_->CloseDelayed();
            return -1;
        }
        char raw[kRawReadSize];
        const int got = socket_->Receive(raw, sizeof raw);
        if (got < 0) {
            return -1;  // LastError tells "would block"
        }
        if (got == 0) {
            tls_->PeerClosed();
        } else {
            tls_->Feed(raw, static_cast<std::size_t>(got));
        }
    }
}

void THttpCli::SendOnLink(const char* data, int len, bool bufferOnly) {
    std::string sealed;
    if (link_ == Link::Secure && tls_ && len > 0) {
        tls_->Write(data, static_cast<std::size_t>(len));
        sealed = tls_->TakeOutgoing();
        data = sealed.data();
        len = static_cast<int>(sealed.size());
    }
    if (bufferOnly) {
        socket_->PutDataInSendBuffer(data, len);
    } else {
        socket_->Send(data, len);
    }
}
