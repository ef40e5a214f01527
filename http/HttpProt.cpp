#include "http/HttpProt.h"

#include <QCoreApplication>
#include <algorithm>
#include <cstdio>
#include <thread>
#include <utility>

#include "common/StringTable.h"
#include "common/Text.h"
#include "http/HttpAuth.h"
#include "http/HttpUrl.h"
#include "http/TlsSession.h"
#include "http/WSocket.h"
#include "platform/Messages.h"

namespace {

bool HasControlChars(std::string_view s) {
    for (unsigned char c : s) {
        if (c < 32 || c == 127) {
            return true;
        }
    }
    return false;
}

bool HasScheme(std::string_view s) {
    const std::size_t sep = s.find("://");
    if (sep == std::string_view::npos || sep == 0) {
        return false;
    }
    for (char c : text::LowerCase(s.substr(0, sep))) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '-' ||
              c == '.')) {
            return false;
        }
    }
    return true;
}

// An IPv6 address written without brackets: only hex digits, colons and dots, two colons at
// least. As a Proxy value it is the host, not host and port.
// An IPv6 address without brackets, with or without a zone ("fe80::1%eth0").
bool IsBareIPv6(std::string_view s) {
    const std::string_view address = s.substr(0, s.find('%'));
    return std::count(address.begin(), address.end(), ':') >= 2 &&
           address.find_first_not_of("0123456789abcdefABCDEF:.") == std::string_view::npos;
}

}  // namespace

// Host and port of a proxy given as "host", "host:port", "[::1]:port" or a bare IPv6 address.
void ProxyEndpoint(const std::string& proxy, const std::string& defaultPort, std::string& host,
                   std::string& port) {
    std::string pproto, puser, ppass, pport, ppath;
    if (IsBareIPv6(proxy)) {
        host = "[" + proxy + "]";
    } else {
        ParseURL(proxy, pproto, puser, ppass, host, pport, ppath);
    }
    // A bare "host:port" reads as a path after the port; a plain host as the host.
    port = pport.empty() ? defaultPort : pport;
}

namespace {

std::string ErrorWithNumber(int code) {
    return WSocketErrorDesc(code) + " (Error #" + std::to_string(code) + ")";
}

}  // namespace

THttpCli::THttpCli(QObject* parent, std::string name)
    : QObject(parent), Name(std::move(name)), socket_(std::make_unique<TWSocket>()) {
    socket_->OnDnsLookupDone = [this](TWSocket&, std::uint16_t e) { SocketDnsLookupDone(e); };
    socket_->OnSessionConnected = [this](TWSocket&, std::uint16_t e) { SocketSessionConnected(e); };
    socket_->OnDataAvailable = [this](TWSocket&, std::uint16_t e) { SocketDataAvailable(e); };
    socket_->OnDataSent = [this](TWSocket&, std::uint16_t e) { SocketDataSent(e); };
    socket_->OnSessionClosed = [this](TWSocket&, std::uint16_t e) { SocketSessionClosed(e); };
    socket_->OnError = [this](TWSocket&) { SocketError(); };
    socket_->OnSocksConnected = [this](TWSocket&, std::uint16_t e) {
        if (OnSocksConnected) {
            OnSocksConnected(*this, e);
        }
    };
    socket_->OnSocksError = [this](TWSocket&, int error, const std::string& msg) {
        if (OnSocksError) {
            OnSocksError(*this, error, msg);
        }
    };
    bandwidthTimer_.setParent(this);
    QObject::connect(&bandwidthTimer_, &QTimer::timeout, this, [this] { BandwidthTick(); });
}

THttpCli::~THttpCli() {
    *alive_ = false;
    bandwidthTimer_.stop();
    // The socket's last notices must not reach a half-destroyed client.
    socket_->OnDnsLookupDone = nullptr;
    socket_->OnSessionConnected = nullptr;
    socket_->OnDataAvailable = nullptr;
    socket_->OnDataSent = nullptr;
    socket_->OnSessionClosed = nullptr;
    socket_->OnError = nullptr;
    socket_->OnSocksConnected = nullptr;
    socket_->OnSocksError = nullptr;
    try {
        socket_->Abort();
    } catch (...) {
    }
}

void THttpCli::SetRequestVer(const std::string& version) {
    if (version != "1.0" && version != "1.1") {
        throw EHttpException("Insupported HTTP version", httperrVersion);
    }
    requestVer_ = version;
}

void THttpCli::StateChange(THttpState state) {
    if (state_ == state) {
        return;
    }
    state_ = state;
    Fire(OnStateChange);
}

// --- Requests -------------------------------------------------------------------------------

void THttpCli::Get() {
    locationChangeCurCount_ = 0;
    DoRequestSync(httpGET);
}

void THttpCli::GetAsync() {
    locationChangeCurCount_ = 0;
    DoRequestAsync(httpGET);
}

void THttpCli::DoRequestSync(THttpRequest rq) {
    DoRequestAsync(rq);
    const auto alive = alive_;
    while (*alive && state_ != httpReady) {
        if (!MultiThreaded) {
            platform::WaitForMessages(kWaitTimeoutMs);
            if (*alive && QCoreApplication::closingDown()) {
                Abort();
                break;
            }
        } else {
            socket_->ProcessMessages();
            std::this_thread::yield();
        }
    }
    if (!*alive) {
        throw EHttpException("Connection aborted on request", 404);
    }
    const int status = rx_.r.StatusCode;
    if (status >= 400 && status != 401 && status != 407) {
        throw EHttpException(rx_.r.ReasonPhrase, static_cast<std::uint16_t>(status));
    }
}

void THttpCli::ResetRequest() {
    rx_.BeginRequest(requestType_, requestVer_);
    requestDoneError_ = 0;
    docName_.clear();
    sentCount_ = 0;
    sending_ = false;
}

void THttpCli::DoRequestAsync(THttpRequest rq) {
    if (rq != httpCLOSE && state_ != httpReady) {
        throw EHttpException("HTTP component " + Name + " is busy", httperrBusy);
    }
    if ((rq == httpPOST || rq == httpPUT) && SendStream == nullptr) {
        throw EHttpException("HTTP component has nothing to post or put", httperrNoData);
    }
    if (rq != httpCLOSE && !RequestIsSafe()) {
        // Written as it stands, a line break would end the request early and let the rest
        // (headers, a second request to a host of the page's choosing) be sent with it.
        requestDoneError_ = httperrRequestUnsafe;
        throw EHttpException(LoadStr(StrId::RequestUnsafe), httperrRequestUnsafe);
    }
    // Messages still queued for an earlier request carry its id and are dropped.
    ++requestId_;
    if (rq == httpCLOSE) {
        rx_.r.StatusCode = 200;
        rx_.r.ReasonPhrase = "OK";
        StateChange(httpClosing);
        if (socket_->State() == wsClosed) {
            PostOwn(WM_HTTP_SET_READY);
        } else {
            socket_->CloseDelayed();
        }
        return;
    }
    // Only a connection whose last response did not ask for the close can carry another one.
    const bool keepAlive = !rx_.r.CloseReq;
    requestType_ = rq;
    ResetRequest();
    location_ = URL;
    rcvdStreamError_.clear();
    relocationCounted_ = false;
    routeToRelocation_ = false;
    locationFlag_ = false;
    startSize_ = RcvdStream != nullptr ? RcvdStream->Size() : 0;
    socket_->SetMultiThreaded(MultiThreaded);
    currentUsername_ = Username;
    currentPassword_ = Password;
    currentConnection_ = Connection;
    currentProxyConnection_ = ProxyConnection;

    std::string proto, user, pass, host, port;
    // https is tunnelled, never sent to Proxy: its requests are those of a direct connection.
    viaProxy_ = !Proxy.empty() && ParseURL(URL).Proto != "https";
    proxyHost_.clear();
    proxyPort_.clear();
    if (!Proxy.empty()) {
        ProxyEndpoint(Proxy, ProxyPort, proxyHost_, proxyPort_);
    }
    if (!viaProxy_) {
        ParseURL(URL, proto, user, pass, host, port, requestPath_);
        targetHost_ = host;
        docName_ = requestPath_;
        connProtocol_ = proto;
        if (!user.empty()) {
            currentUsername_ = user;
        }
        if (!pass.empty()) {
            currentPassword_ = pass;
        }
        if (port.empty()) {
            port = proto == "https" ? "443" : "80";
        }
        targetPort_ = port;
        connHost_ = host;
        connPort_ = port;
    } else {
        std::string path = requestPath_;
        ParseURL(URL, proto, user, pass, host, port, path);
        targetHost_ = host;
        targetPort_ = port.empty() ? "80" : port;
        docName_ = path;
        if (!user.empty()) {
            currentUsername_ = user;
        }
        if (!pass.empty()) {
            currentPassword_ = pass;
        }
        requestPath_ = (proto.empty() ? std::string("http") : proto) + "://" + host +
                       (port.empty() ? std::string() : ":" + port) + path;
        connProtocol_ = proto;
        connHost_ = proxyHost_;
        connPort_ = proxyPort_;
    }
    if (connProtocol_.empty()) {
        connProtocol_ = "http";
    }
    if (requestPath_.empty()) {
        requestPath_ = "/";
    }
    docName_ = AdjustDocName(docName_);

    resent_ = false;
    reusedConnection_ = false;
    if (keepAlive && socket_->State() == wsConnected && connHost_ == currentHost_ &&
        connPort_ == currentPort_ && connProtocol_ == currentProtocol_) {
        reusedConnection_ = true;
        SocketSessionConnected(0);
        return;
    }
    if (socket_->State() != wsClosed) {
        socket_->Abort();
    }
    connected_ = false;
    rx_.DiscardHeld();
    StateChange(httpNotConnected);
    Login();
}

bool THttpCli::RequestIsSafe() const {
    if (!IsRequestSafe(URL)) {
        return false;
    }
    for (const std::string* value :
         {&Sender, &Accept, &Reference, &Connection, &ProxyConnection, &AcceptLanguage,
          &ContentTypePost, &Agent, &Cookie, &ContentRangeBegin, &ContentRangeEnd}) {
        if (!IsRequestSafe(*value, true)) {
            return false;
        }
    }
    return true;
}

// --- Connecting -----------------------------------------------------------------------------

void THttpCli::Login() {
    routeToRelocation_ = false;
    if (socket_->State() == wsConnected) {
        SocketSessionConnected(0);
        return;
    }
    StateChange(httpDnsLookup);
    try {
        socket_->SetLocalAddr(LocalAddr);
        ChooseDial();
        socket_->DnsLookup(LookupHost(dialHost_));
    } catch (const std::exception& e) {
        rx_.r.StatusCode = 404;
        rx_.r.ReasonPhrase = e.what();
        connected_ = false;
        ReadyState();
    }
}

void THttpCli::SocketDnsLookupDone(std::uint16_t errCode) {
    if (state_ == httpAborting) {
        // The abort completes the request itself.
        return;
    }
    if (state_ != httpDnsLookup) {
        return;
    }
    if (errCode != 0) {
        requestDoneError_ = errCode;
        rx_.r.StatusCode = 404;
        rx_.r.ReasonPhrase = "can't resolve hostname to IP address";
        ConnectionClosed(errCode);
        return;
    }
    StateChange(httpDnsLookupDone);
    socket_->SetAddr(socket_->DnsResult());
    socket_->SetLocalAddr(LocalAddr);
    socket_->SetPort(dialPort_);
    socket_->SetProto("tcp");
    socket_->SetSocksServer(SocksServer);
    socket_->SetSocksLevel(SocksLevel);
    socket_->SetSocksPort(SocksPort);
    currentHost_ = connHost_;
    currentPort_ = connPort_;
    currentProtocol_ = connProtocol_;
    link_ = Link::Plain;
    if (connProtocol_ != "http" && connProtocol_ != "https") {
        const int err = socket_->LastError();
        requestDoneError_ = static_cast<std::uint16_t>(err);
        rx_.r.StatusCode = 501;
        rx_.r.ReasonPhrase = "Protocol \"" + connProtocol_ + "\" not implemented";
        CloseQuietly();
        ConnectionClosed(static_cast<std::uint16_t>(err));
        return;
    }
    connectStarting_ = true;
    connectFailed_ = false;
    try {
        socket_->Connect();
    } catch (const std::exception&) {
        connectFailed_ = true;
    }
    connectStarting_ = false;
    if (connectFailed_) {
        ConnectFailed(socket_->LastError());
    }
}

void THttpCli::ConnectFailed(int error) {
    requestDoneError_ = static_cast<std::uint16_t>(error);
    rx_.r.StatusCode = 404;
    rx_.r.ReasonPhrase = "can't connect: " + ErrorWithNumber(error);
    CloseQuietly();
    ConnectionClosed(static_cast<std::uint16_t>(error));
}

void THttpCli::CloseQuietly() {
    // The caller completes the request itself; the close notice of a socket that was opened
    // already must not end it a second time.
    closingQuietly_ = true;
    socket_->Close();
    closingQuietly_ = false;
    connected_ = false;
}

void THttpCli::SocketError() {
    if (connectStarting_) {
        connectFailed_ = true;
    }
    Fire(OnSocketError);
}

void THttpCli::SocketSessionConnected(std::uint16_t errCode) {
    if (errCode != 0) {
        requestDoneError_ = errCode;
        rx_.r.StatusCode = 404;
        rx_.r.ReasonPhrase = ErrorWithNumber(errCode);
        Fire(OnSessionConnected);
        return;
    }
    if (connProtocol_ == "https" && link_ != Link::Secure) {
        StartSecureLink();  // the request follows when the link is secure
        return;
    }
    LinkReady();
}

void THttpCli::LinkReady() {
    locationFlag_ = false;
    connected_ = true;
    StateChange(httpConnected);
    Fire(OnSessionConnected);
    if (state_ != httpConnected) {
        return;  // aborted from the event
    }
    rx_.ExpectHeader();
    StateChange(httpWaitingHeader);
    static const char* const methods[] = {"", "GET", "POST", "PUT", "HEAD", ""};
    try {
        SendRequest(methods[requestType_], requestVer_);
    } catch (const std::exception&) {
        socket_->Close();
    }
}

// --- Sending --------------------------------------------------------------------------------

std::vector<std::string> THttpCli::ComposeHeader(const std::string& method) {
    const bool upload = requestType_ == httpPOST || requestType_ == httpPUT;
    std::vector<std::string> lines;
    lines.push_back(method + " " + requestPath_ + " HTTP/" + requestVer_);
    auto add = [&](const std::string& name, const std::string& value) {
        if (!value.empty()) {
            lines.push_back(name + value);
        }
    };
    add("From: ", Sender);
    add("Accept: ", Accept);
    add("Referer: ", Reference);
    add("Connection: ", currentConnection_);
    add("Accept-Language: ", AcceptLanguage);
    if (upload) {
        add("Content-Type: ", ContentTypePost);
    }
    add("User-Agent: ", Agent);
    const bool defaultPort = targetPort_.empty() || targetPort_ == "80" ||
                             (targetPort_ == "443" && connProtocol_ == "https");
    lines.push_back("Host: " + targetHost_ + (defaultPort ? "" : ":" + targetPort_));
    if (NoCache) {
        lines.push_back("Pragma: no-cache");
    }
    add("Proxy-Connection: ", currentProxyConnection_);
    if (upload) {
        uploadLeft_ = std::max<std::int64_t>(0, SendStream->Size() - SendStream->Position());
        lines.push_back("Content-Length: " + std::to_string(uploadLeft_));
    }
    // An invalid date would index the name tables with 0 or less: it sends no date at all.
    if (ModifiedSince.date().isValid() && ModifiedSince.time().isValid()) {
        static const char days[] = "MonTueWedThuFriSatSun";
        static const char months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
        const QDate d = ModifiedSince.date();
        const QTime t = ModifiedSince.time();
        char buf[64];
        std::snprintf(buf, sizeof buf, "%2.2d %.3s %4.4d %2.2d:%2.2d:%2.2d", d.day(),
                      months + 3 * (d.month() - 1), d.year(), t.hour(), t.minute(), t.second());
        lines.push_back("If-Modified-Since: " + std::string(days + 3 * (d.dayOfWeek() - 1), 3) +
                        ", " + buf + " GMT");
    }
    // Basic credentials go with every request through the proxy: waiting for its 407 would
    // cost a round trip per request and gain nothing, as Basic has nothing to negotiate.
    // An empty user name with a password is credentials too.
    if (viaProxy_ && (!ProxyUsername.empty() || !ProxyPassword.empty()) &&
        !Options.Contains(httpoNoBasicAuth)) {
        lines.push_back("Proxy-Authorization: Basic " +
                        BasicCredentials(ProxyUsername, ProxyPassword));
    }
    add("Cookie: ", Cookie);
    if (!ContentRangeBegin.empty() || !ContentRangeEnd.empty()) {
        lines.push_back("Range: bytes=" + ContentRangeBegin + "-" + ContentRangeEnd);
        ContentRangeBegin.clear();
        ContentRangeEnd.clear();
    }
    rx_.r.AcceptRanges.clear();
    return lines;
}

void THttpCli::SendRequest(const std::string& method, const std::string& version) {
    (void)version;
    bandwidthCount_ = 0;
    rx_.SetDirectBodyReads(!Options.Contains(httpoBandwidthControl));
    if (Options.Contains(httpoBandwidthControl)) {
        bandwidthMaxCount_ = static_cast<std::int64_t>(BandwidthLimit) *
                             static_cast<std::int64_t>(BandwidthSampling) / 1000;
        bandwidthPaused_ = false;
        socket_->SetComponentOptions(socket_->ComponentOptions() | wsoNoReceiveLoop);
        bandwidthTimer_.start(BandwidthSampling);
    }
    const auto alive = alive_;
    Fire(OnRequestHeaderBegin);
    if (!*alive) {
        return;
    }
    std::vector<std::string> lines = ComposeHeader(method);
    if (OnBeforeHeaderSend) {
        OnBeforeHeaderSend(*this, method, lines);
    }
    std::string request;
    bool first = true;
    for (std::string line : lines) {
        if (OnCommand) {
            OnCommand(*this, line);
        }
        // The last guard: whatever the line was made of, it goes out as one line or not at all,
        // and the request line has its two blanks and no more.
        const bool requestLine = std::exchange(first, false);
        if (!IsRequestSafe(line, true) ||
            (requestLine && std::count(line.begin(), line.end(), ' ') != 2)) {
            RequestRefused();
            return;
        }
        request += line;
        request += "\r\n";
    }
    Fire(OnRequestHeaderEnd);
    std::string empty;
    if (OnCommand) {
        OnCommand(*this, empty);
    }
    request += empty;
    request += "\r\n";
    if (!*alive || state_ != httpWaitingHeader) {
        return;
    }
    if (requestType_ == httpPOST || requestType_ == httpPUT) {
        SendOnLink(request.data(), static_cast<int>(request.size()), true);
        sending_ = true;
        Fire(OnSendBegin);
        SendBodyBlock();
    } else {
        SendOnLink(request.data(), static_cast<int>(request.size()));
    }
}

void THttpCli::SendBodyBlock() {
    // One block per drained send buffer keeps memory flat for bodies of any size.
    char block[kSendBufferSize];
    // Never past the length announced: more bytes would read as the start of another request.
    const auto want = static_cast<std::size_t>(std::min<std::int64_t>(sizeof block, uploadLeft_));
    std::int64_t n = 0;
    if (want > 0) {
        n = SendStream != nullptr ? SendStream->Read(block, want) : -1;
        if (n <= 0) {
            // Short of the announced length the server would wait for the rest for ever.
            const std::string why = n < 0 && SendStream != nullptr ? SendStream->ErrorText() : "";
            UploadFailed(n == 0        ? "The request body ended before its length"
                         : why.empty() ? "Cannot read the request body"
                                       : "Cannot read the request body: " + why);
            return;
        }
    }
    if (n > 0) {
        sentCount_ += n;
        uploadLeft_ -= n;
        if (OnSendData) {
            OnSendData(*this, block, static_cast<int>(n));
        }
        SendOnLink(block, static_cast<int>(n));
        return;
    }
    sending_ = false;
    Fire(OnSendEnd);
    socket_->Send(nullptr, 0);
}

void THttpCli::RequestRefused() {
    rx_.r.StatusCode = 404;
    rx_.r.ReasonPhrase = LoadStr(StrId::RequestUnsafe);
    requestDoneError_ = httperrRequestUnsafe;
    StopBandwidth();
    // The close notice completes the request.
    socket_->Close();
}

void THttpCli::UploadFailed(const std::string& reason) {
    rx_.r.StatusCode = 404;
    rx_.r.ReasonPhrase = reason;
    requestDoneError_ = httperrNoData;
    sending_ = false;
    StopBandwidth();
    // The close notice completes the request.
    socket_->Close();
}

void THttpCli::SocketDataSent(std::uint16_t errCode) {
    if (errCode == 0 && sending_) {
        SendBodyBlock();
    }
}

// --- Receiving ------------------------------------------------------------------------------

void THttpCli::SocketDataAvailable(std::uint16_t errCode) {
    if (routeToRelocation_) {
        // The connection closes for a relocation: what still arrives is the redirect's own
        // body, and read as lines it would end the request before the relocation.
        char scratch[4096];
        socket_->Receive(scratch, sizeof scratch);
        return;
    }
    switch (link_) {
        case Link::Tunnel:
            TunnelData();
            return;
        case Link::Handshake:
            HandshakeData();
            return;
        case Link::Secure:
            SecureData(errCode);
            return;
        case Link::Plain:
            break;
    }
    TWSocket& socket = *socket_;
    rx_.SetRequestType(requestType_);
    rx_.DataAvailable([&socket](char* buf, int cap) { return socket.Receive(buf, cap); }, errCode);
}

void THttpCli::BytesReceived(int count) {
    bandwidthCount_ += count;
    if (Options.Contains(httpoBandwidthControl) && bandwidthCount_ > bandwidthMaxCount_ &&
        !bandwidthPaused_) {
        bandwidthPaused_ = true;
        socket_->Pause();
    }
}

void THttpCli::BandwidthTick() {
    if (bandwidthPaused_) {
        bandwidthCount_ -= bandwidthMaxCount_;
        bandwidthPaused_ = false;
        socket_->Resume();
        SecureHeld();
    }
}

void THttpCli::StopBandwidth() {
    bandwidthTimer_.stop();
    if (bandwidthPaused_) {
        bandwidthPaused_ = false;
        socket_->Resume();
    }
}

void THttpCli::DataPush(std::uint16_t errCode) {
    if (OnDataPush) {
        OnDataPush(*this, errCode);
    }
}

void THttpCli::CookieHeader(const std::string& value) {
    bool accept = true;
    if (OnCookie) {
        OnCookie(*this, value, accept);
    }
}

void THttpCli::BodyFollows() {
    const std::size_t dot = docName_.rfind('.');
    const std::string ext =
        dot == std::string::npos ? std::string() : text::LowerCase(docName_.substr(dot));
    if ((ext == ".exe" || ext.empty()) && rx_.r.ContentType == "text/html") {
        docName_ = HtmlDocName(docName_);
    }
}

void THttpCli::DocBegin() {
    Fire(OnDocBegin);
    startSize_ = RcvdStream != nullptr ? RcvdStream->Size() : 0;
}

void THttpCli::DocData(const char* data, std::size_t len) {
    if (RcvdStream != nullptr && !RcvdStream->Write(data, len)) {
        // The block is lost; the first reason stays for the caller to see after Get.
        if (rcvdStreamError_.empty()) {
            rcvdStreamError_ = RcvdStream->ErrorText();
            if (rcvdStreamError_.empty()) {
                rcvdStreamError_ = "Write error";
            }
        }
        return;
    }
    if (OnDocData) {
        OnDocData(*this, data, static_cast<int>(len));
    }
}

void THttpCli::DocEnd() {
    StopBandwidth();
    Fire(OnDocEnd);
}

void THttpCli::ResponseEnded() {
    if (locationFlag_) {
        StartRelocation();
    } else if (rx_.r.CloseReq) {
        socket_->CloseDelayed();
    } else {
        PostOwn(WM_HTTP_SET_READY);
    }
}

void THttpCli::SetReady() {
    PostOwn(WM_HTTP_SET_READY);
}

void THttpCli::AbortConnection() {
    socket_->Abort();
}

void THttpCli::BodyFailed(const std::string& reason) {
    rx_.r.StatusCode = 404;
    rx_.r.ReasonPhrase = reason;
    requestDoneError_ = httperrInvalidResponse;
    locationFlag_ = false;
    StopBandwidth();
    // Closed from the queue: the socket is inside its own read notice here.
    socket_->CloseDelayed();
}

// --- Relocation -----------------------------------------------------------------------------

void THttpCli::LocationHeader(const std::string& received) {
    if (requestType_ == httpPUT) {
        location_ = received;
        return;
    }
    if (!FollowRelocation) {
        return;
    }
    // A target with line breaks or other control bytes would be written into the next
    // request line: such a relocation is not followed.
    if (received.empty() || HasControlChars(received)) {
        return;
    }
    // Blanks and other bytes that may not stand in a request line are sent encoded, as
    // browsers send them.
    const std::string value = EncodeUrlBytes(received);
    locationFlag_ = true;
    const bool viaProxy = viaProxy_;
    const std::string scheme = connProtocol_ == "https" ? "https://" : "http://";
    // Any "scheme://" target is absolute: read as a relative path, "ftp://h/f" would be asked
    // of the same server again and again. Other protocols then fail as not implemented.
    const bool absolute = text::StartsWithCaseless(value, "http://") ||
                          text::StartsWithCaseless(value, "https://") || HasScheme(value);
    if (value[0] == '/') {
        if (!viaProxy) {
            requestPath_ = value;
            location_ = scheme + connHost_ + value;
        } else {
            const THttpUrlParts cur = ParseURL(requestPath_);
            location_ = (cur.Proto.empty() ? std::string("http") : cur.Proto) + "://" + cur.Host +
                        (cur.Port.empty() ? std::string() : ":" + cur.Port) + value;
            requestPath_ = location_;
        }
    } else if (!absolute) {
        const std::size_t query = requestPath_.find('?');
        const std::string head = requestPath_.substr(0, query);
        const std::size_t cut = head.find_last_of("/:");
        requestPath_ = (cut == std::string::npos ? std::string() : head.substr(0, cut + 1)) + value;
        location_ = viaProxy ? requestPath_ : scheme + connHost_ + requestPath_;
    } else {
        const THttpUrlParts v = ParseURL(value);
        if (!v.User.empty() && !v.Password.empty()) {
            currentUsername_ = v.User;
            currentPassword_ = v.Password;
        }
        // Between http and https the route may change: https never goes to Proxy.
        viaProxy_ = !Proxy.empty() && v.Proto != "https";
        if (!viaProxy_) {
            connPort_ = v.Port.empty() ? (v.Proto == "https" ? "443" : "80") : v.Port;
            connProtocol_ = v.Proto;
            requestPath_ = v.Path.empty() ? "/" : v.Path;
            if (v.Host.empty()) {
                connHost_ = targetHost_;
            } else {
                connHost_ = v.Host;
            }
            targetHost_ = connHost_;
            targetPort_ = connPort_;
            location_ = v.Proto + "://" + connHost_ + (v.Path.empty() ? "" : requestPath_);
        } else {
            // The connection stays with the proxy (or goes back to it from https); the target's
            // own port goes into the absolute request line.
            connHost_ = proxyHost_;
            connPort_ = proxyPort_;
            targetHost_ = v.Host;
            targetPort_ = v.Port.empty() ? "80" : v.Port;
            connProtocol_ = v.Proto;
            location_ = v.Proto + "://" + v.Host + (v.Port.empty() ? "" : ":" + v.Port) + v.Path;
            requestPath_ = location_;
        }
    }
}

bool THttpCli::RelocationAllowed() {
    ++locationChangeCurCount_;
    if (locationChangeCurCount_ <= LocationChangeMaxCount) {
        return true;
    }
    bool allow = false;
    if (OnLocationChangeExceeded) {
        OnLocationChangeExceeded(*this, locationChangeCurCount_, allow);
    }
    return allow;
}

void THttpCli::RewindStreams() {
    if (RcvdStream != nullptr && RcvdStream->Size() != startSize_) {
        RcvdStream->SetSize(startSize_);
        RcvdStream->Seek(startSize_);
    }
    if (SendStream != nullptr && sentCount_ > 0) {
        SendStream->Seek(SendStream->Position() - sentCount_);
    }
}

void THttpCli::StartRelocation() {
    rx_.ResetForRelocation();
    relocationCounted_ = true;
    if (!RelocationAllowed()) {
        locationFlag_ = false;
        relocationCounted_ = false;
        // The response stands as it is. A connection the server is closing is closed here
        // too, so that no later request is sent on it.
        if (rx_.r.CloseReq) {
            socket_->CloseDelayed();
        } else {
            PostOwn(WM_HTTP_SET_READY);
        }
        return;
    }
    if (connHost_ != currentHost_ || connPort_ != currentPort_ ||
        connProtocol_ != currentProtocol_ || rx_.r.CloseReq) {
        routeToRelocation_ = true;
        socket_->CloseDelayed();
        return;
    }
    relocationCounted_ = false;
    Fire(OnLocationChange);
    const std::string keep = location_;
    ResetRequest();
    location_ = keep;
    docName_ = AdjustDocName(requestPath_);
    if (requestType_ == httpPOST) {
        requestType_ = httpGET;
    }
    RewindStreams();
    PostOwn(WM_HTTP_LOGIN);
}

void THttpCli::RelocationContinuation() {
    routeToRelocation_ = false;
    const std::string target = location_.substr(0, location_.find('#'));
    docName_ = AdjustDocName(ParseURL(target, requestPath_).Path);
    connected_ = false;
    locationFlag_ = false;
    if (requestType_ == httpPOST) {
        requestType_ = httpGET;
    }
    const bool counted = relocationCounted_;
    relocationCounted_ = false;
    if (!counted && !RelocationAllowed()) {
        Fire(OnSessionClosed);
        PostOwn(WM_HTTP_SET_READY);
        return;
    }
    Fire(OnLocationChange);
    rx_.ClearResponse();
    rx_.DiscardHeld();
    rx_.Interrupt();
    if (viaProxy_) {
        connPort_ = proxyPort_;
    }
    RewindStreams();
    PostOwn(WM_HTTP_LOGIN);
}

// --- Completion -----------------------------------------------------------------------------

void THttpCli::SocketSessionClosed(std::uint16_t errCode) {
    if (closingQuietly_) {
        return;
    }
    if ((link_ == Link::Tunnel || link_ == Link::Handshake) && state_ != httpAborting &&
        requestDoneError_ == 0) {
        // Closed before the link was secure: nothing of the request was sent.
        const std::string host = link_ == Link::Tunnel ? dialHost_ : targetHost_;
        link_ = Link::Plain;
        SecureFailed(TlsFailureText(TTlsSession::Failure::Closed, host));
        ConnectionClosed(requestDoneError_);
        return;
    }
    link_ = Link::Plain;
    if (requestDoneError_ == httperrSecureLink) {
        errCode = 0;  // the reason the link failed stays the request's outcome
    }
    if (routeToRelocation_) {
        connected_ = false;
        if (errCode != 0 && state_ != httpAborting) {
            requestDoneError_ = errCode;
        }
        RelocationContinuation();
        return;
    }
    if (ResendOnNewConnection()) {
        return;
    }
    ConnectionClosed(errCode);
}

bool THttpCli::ResendOnNewConnection() {
    // A kept connection that the server closed as the request went out (its keep-alive time
    // ran out): nothing of an answer came, so the request goes once more on a new connection.
    if (!reusedConnection_ || resent_ || state_ != httpWaitingHeader ||
        rx_.HeaderLineCount() != 0 || rx_.Held() > 0 || rx_.r.StatusCode != 0 ||
        (requestType_ != httpGET && requestType_ != httpHEAD)) {
        return false;
    }
    resent_ = true;
    reusedConnection_ = false;
    connected_ = false;
    rx_.DiscardHeld();
    StateChange(httpNotConnected);
    PostOwn(WM_HTTP_LOGIN);
    return true;
}

void THttpCli::ConnectionClosed(std::uint16_t errCode) {
    if (errCode != 0) {
        requestDoneError_ = errCode;
    }
    connected_ = false;
    rx_.ConnectionClosed(errCode != 0);
    if (locationFlag_) {
        RelocationContinuation();
        return;
    }
    Fire(OnSessionClosed);
    if (state_ != httpReady) {
        PostOwn(WM_HTTP_SET_READY);
    }
}

void THttpCli::PostOwn(int message) {
    platform::PostMessage(this, message, static_cast<std::intptr_t>(requestId_));
}

void THttpCli::ReadyState() {
    if (state_ == httpReady) {
        return;
    }
    // Taken first: a state handler may start the next request at once.
    const auto id = static_cast<std::intptr_t>(requestId_);
    const std::intptr_t outcome = (static_cast<std::intptr_t>(requestType_) << 16) |
                                  static_cast<std::intptr_t>(requestDoneError_);
    StopBandwidth();
    StateChange(httpReady);
    platform::PostMessage(this, WM_HTTP_REQUEST_DONE, id, outcome);
}

bool THttpCli::event(QEvent* e) {
    const int type = static_cast<int>(e->type());
    if (type != WM_HTTP_REQUEST_DONE && type != WM_HTTP_SET_READY && type != WM_HTTP_LOGIN) {
        return QObject::event(e);
    }
    auto* msg = static_cast<platform::MessageEvent*>(e);
    if (type == WM_HTTP_REQUEST_DONE) {
        // Reported even when the next request has started: every request ends once.
        if (OnRequestDone) {
            OnRequestDone(*this, static_cast<THttpRequest>((msg->LParam() >> 16) & 0xFF),
                          static_cast<std::uint16_t>(msg->LParam() & 0xFFFF));
        }
        return true;
    }
    if (static_cast<std::uint64_t>(msg->WParam()) != requestId_) {
        return true;  // left behind by a request that has ended (aborted, or failed at once)
    }
    if (type == WM_HTTP_SET_READY) {
        ReadyState();
    } else if (state_ != httpReady && state_ != httpAborting) {
        Login();
    }
    return true;
}

void THttpCli::Abort() {
    if (state_ != httpReady) {
        const bool wasLookup = state_ == httpDnsLookup;
        StateChange(httpAborting);
        // A relocation pending at this moment is dropped with the request.
        locationFlag_ = false;
        routeToRelocation_ = false;
        rx_.Interrupt();
        if (wasLookup) {
            try {
                socket_->CancelDnsLookup();
            } catch (...) {
            }
        }
        rx_.r.StatusCode = 404;
        rx_.r.ReasonPhrase = "Connection aborted on request";
        requestDoneError_ = httperrAborted;
        if (wasLookup) {
            ConnectionClosed(0);
        } else {
            try {
                socket_->Close();
            } catch (...) {
            }
            connected_ = false;
        }
        ReadyState();
        return;
    }
    state_ = httpAborting;
    if (socket_->State() != wsClosed) {
        try {
            socket_->Abort();
        } catch (...) {
        }
    }
    connected_ = false;
    rx_.r.StatusCode = 200;
    rx_.r.ReasonPhrase = "OK";
    requestDoneError_ = 0;
    state_ = httpReady;
    Fire(OnStateChange);
    if (OnRequestDone) {
        OnRequestDone(*this, requestType_, 0);
    }
}
