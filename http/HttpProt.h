#pragma once

// THttpCli: an event-driven HTTP/1.0 and 1.1 client over one TWSocket. It advances only while
// the thread's event loop runs: name lookup, connection, arriving data, the close and three
// messages of its own. Get starts a GET and keeps dispatching every other event of the thread
// until the request is done, so callers must expect re-entry from inside it.
// https addresses speak through a TTlsSession between the socket and the client (HttpSecure.cpp).

#include <QDateTime>
#include <QObject>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "http/HttpReception.h"
#include "http/HttpStream.h"
#include "http/HttpTypes.h"

class TTlsSession;
class TWSocket;

// Host and port of a proxy given as "host", "host:port", "[::1]:port" or a bare IPv6 address
// (which comes back in brackets); defaultPort when it names none.
void ProxyEndpoint(const std::string& proxy, const std::string& defaultPort, std::string& host,
                   std::string& port);

class THttpCli : public QObject, private THttpReception::Listener {
public:
    // Messages of the client's own queue.
    static constexpr int WM_HTTP_REQUEST_DONE = 1025;
    static constexpr int WM_HTTP_SET_READY = 1026;
    static constexpr int WM_HTTP_LOGIN = 1027;
    static constexpr int kSendBufferSize = 8193;
    // How long one wait of Get sleeps at most before it looks at the state again.
    static constexpr int kWaitTimeoutMs = 1000;

    explicit THttpCli(QObject* parent = nullptr, std::string name = "HttpCli1");
    ~THttpCli() override;
    THttpCli(const THttpCli&) = delete;
    THttpCli& operator=(const THttpCli&) = delete;

    // --- Published properties ---
    std::string Name;
    std::string URL;
    std::string LocalAddr = "0.0.0.0";
    std::string Proxy;  // "host", "host:port", "[::1]:port" or a bare IPv6 address
    std::string ProxyPort = "80";
    std::string Agent = "Tamberlo/1.6";
    std::string Accept = "image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*";
    std::string AcceptLanguage;
    std::string Sender;
    std::string Reference;
    std::string Connection;
    std::string ProxyConnection;
    std::string Username;
    std::string Password;
    // Sent as Basic Proxy-Authorization with every request through Proxy when not empty.
    std::string ProxyUsername;
    std::string ProxyPassword;
    // https addresses never go through Proxy: through HttpsProxy (the same forms) they take a
    // CONNECT tunnel, with these credentials on the CONNECT; without it they go direct.
    std::string HttpsProxy;
    std::string HttpsProxyPort = "80";
    std::string HttpsProxyUsername;
    std::string HttpsProxyPassword;
    bool NoCache = false;
    QDateTime ModifiedSince;  // null means 0: no If-Modified-Since line
    std::string Cookie;
    std::string ContentTypePost = "application/x-www-form-urlencoded";
    std::string ContentRangeBegin;
    std::string ContentRangeEnd;
    bool MultiThreaded = false;
    bool FollowRelocation = true;
    int LocationChangeMaxCount = 5;
    int BandwidthLimit = 10000;    // bytes per second
    int BandwidthSampling = 1000;  // ms
    THttpCliOptions Options;
    std::string SocksServer;
    std::string SocksLevel = "5";
    std::string SocksPort;
    std::string SocksUsercode;
    std::string SocksPassword;

    const std::string& RequestVer() const { return requestVer_; }
    // Only "1.0" and "1.1"; anything else raises "Insupported HTTP version" (code 5).
    void SetRequestVer(const std::string& version);
    const std::string& AcceptRanges() const { return rx_.r.AcceptRanges; }
    int LocationChangeCurCount() const { return locationChangeCurCount_; }

    // --- Run-time members ---
    THttpStream* RcvdStream = nullptr;  // the caller's, never freed here
    THttpStream* SendStream = nullptr;  // the caller's, never freed here

    const std::vector<std::string>& RcvdHeader() const { return rx_.r.RcvdHeader; }
    std::int64_t RcvdCount() const { return rx_.r.RcvdCount; }
    int StatusCode() const { return rx_.r.StatusCode; }
    const std::string& ReasonPhrase() const { return rx_.r.ReasonPhrase; }
    const std::string& ResponseVer() const { return rx_.r.ResponseVer; }
    std::int64_t ContentLength() const { return rx_.r.ContentLength; }
    const std::string& ContentType() const { return rx_.r.ContentType; }
    const std::string& TransferEncoding() const { return rx_.r.TransferEncoding; }
    const std::string& ContentEncoding() const { return rx_.r.ContentEncoding; }
    const std::string& Location() const { return location_; }
    const std::string& DocName() const { return docName_; }
    const std::string& LastResponse() const { return rx_.r.LastResponse; }
    THttpRequest RequestType() const { return requestType_; }
    std::uint16_t RequestDoneError() const { return requestDoneError_; }
    std::int64_t BodyDataLen() const { return rx_.r.BodyDataLen; }
    bool CloseReq() const { return rx_.r.CloseReq; }
    bool LocationFlag() const override { return locationFlag_; }
    const std::string& TargetHost() const { return targetHost_; }
    const std::string& TargetPort() const { return targetPort_; }
    const std::string& ConnHost() const { return connHost_; }
    const std::string& ConnPort() const { return connPort_; }
    const std::string& ConnProtocol() const { return connProtocol_; }
    const std::string& CurrentHost() const { return currentHost_; }
    const std::string& CurrentPort() const { return currentPort_; }
    const std::string& CurrentProtocol() const { return currentProtocol_; }
    const std::string& RequestPath() const { return requestPath_; }
    const std::vector<std::string>& AuthChallenges() const { return rx_.r.Challenges; }
    THttpState State() const override { return state_; }
    bool Connected() const { return connected_; }
    // Why a write to RcvdStream failed during the last request; empty when every write
    // succeeded. Reception goes on after a failed write, so Get alone cannot tell.
    const std::string& RcvdStreamError() const { return rcvdStreamError_; }
    // True when the connection of the last request closed before its body was whole (short of
    // Content-Length, before the last chunk, or with an error). Get returns normally then.
    bool BodyIncomplete() const { return rx_.r.BodyCut; }
    TWSocket& CtrlSocket() { return *socket_; }

    // --- Operations ---
    void Get();
    // Get without waiting: the end is reported by OnRequestDone, for callers that run several
    // clients at once.
    void GetAsync();
    void Abort();
    // Starts a request of any kind without waiting; its end is reported by OnRequestDone.
    void DoRequestAsync(THttpRequest rq);
    // Starts a request and waits for it as Get does.
    void DoRequestSync(THttpRequest rq);

    // --- Events (each called only when assigned) ---
    using Notify = std::function<void(THttpCli&)>;
    Notify OnStateChange;
    Notify OnSessionConnected;
    Notify OnSessionClosed;
    Notify OnRequestHeaderBegin;
    std::function<void(THttpCli&, const std::string& method, std::vector<std::string>& headers)>
        OnBeforeHeaderSend;
    std::function<void(THttpCli&, std::string& line)> OnCommand;
    Notify OnRequestHeaderEnd;
    Notify OnHeaderBegin;
    Notify OnHeaderData;
    Notify OnHeaderEnd;
    std::function<void(THttpCli&, const std::string& data, bool& accept)> OnCookie;
    Notify OnDocBegin;
    std::function<void(THttpCli&, const char* buffer, int len)> OnDocData;
    Notify OnDocEnd;
    Notify OnLocationChange;
    std::function<void(THttpCli&, int relocationCount, bool& allowMoreRelocations)>
        OnLocationChangeExceeded;
    std::function<void(THttpCli&, THttpRequest rqType, std::uint16_t errCode)> OnRequestDone;
    Notify OnSendBegin;
    std::function<void(THttpCli&, const char* buffer, int len)> OnSendData;
    Notify OnSendEnd;
    std::function<void(THttpCli&, std::uint16_t errCode)> OnDataPush;
    Notify OnDataPush2;
    Notify OnSocketError;
    std::function<void(THttpCli&, std::uint16_t errCode)> OnSocksConnected;
    std::function<void(THttpCli&, int error, const std::string& msg)> OnSocksError;
    std::function<void(THttpCli&, const std::string& line)> OnTrace;  // never fired
    Notify OnSocksAuthState;                                          // never fired

protected:
    bool event(QEvent* e) override;

private:
    // Reception engine callbacks.
    void SetState(THttpState state) override { StateChange(state); }
    void BytesReceived(int count) override;
    void HeaderBegin() override { Fire(OnHeaderBegin); }
    void HeaderData() override { Fire(OnHeaderData); }
    void HeaderEnd() override { Fire(OnHeaderEnd); }
    void DataPush(std::uint16_t errCode) override;
    void DataPush2() override { Fire(OnDataPush2); }
    void LocationHeader(const std::string& received) override;
    void CookieHeader(const std::string& value) override;
    void ContentRange(const std::string& begin, const std::string& end) override {
        ContentRangeBegin = begin;
        ContentRangeEnd = end;
    }
    void BodyFollows() override;
    void DocBegin() override;
    void DocData(const char* data, std::size_t len) override;
    void DocEnd() override;
    void ResponseEnded() override;
    void SetReady() override;
    void AbortConnection() override;
    void BodyFailed(const std::string& reason) override;

    void Fire(const Notify& event) {
        if (event) {
            event(*this);
        }
    }
    void StateChange(THttpState state);
    void ResetRequest();
    void Login();
    void SocketDnsLookupDone(std::uint16_t errCode);
    void SocketSessionConnected(std::uint16_t errCode);
    void SocketDataAvailable(std::uint16_t errCode);
    void SocketDataSent(std::uint16_t errCode);
    void SocketSessionClosed(std::uint16_t errCode);
    void SocketError();
    void ConnectionClosed(std::uint16_t errCode);
    // True when the request is sent again because a reused connection closed unanswered.
    bool ResendOnNewConnection();
    void SendRequest(const std::string& method, const std::string& version);
    std::vector<std::string> ComposeHeader(const std::string& method);
    void SendBodyBlock();
    void StartRelocation();
    void RelocationContinuation();
    bool RelocationAllowed();
    void RewindStreams();
    void ReadyState();
    void BandwidthTick();
    void StopBandwidth();
    void ConnectFailed(int error);
    void CloseQuietly();
    void UploadFailed(const std::string& reason);
    // False when the address or a header value would not go out as the lines it is meant for.
    bool RequestIsSafe() const;
    // Ends a request whose composed header holds a byte that would break it apart.
    void RequestRefused();
    // Posts one of the client's own messages for the request under way.
    void PostOwn(int message);
    // The secure link of https (HttpSecure.cpp).
    void ChooseDial();
    void StartSecureLink();
    void TunnelData();
    void HandshakeData();
    void HandshakeStep();
    void SecureData(std::uint16_t errCode);
    // Reads what the session holds with no notice of the socket to come (after a resume).
    void SecureHeld();
    int SecureReceive(char* buffer, int capacity);
    void SecureFailed(const std::string& reason, int status = 404);
    void SendOnLink(const char* data, int len, bool bufferOnly = false);
    void LinkReady();

    // How the bytes of the connection travel: as they are, through the proxy's CONNECT answer,
    // through the TLS handshake, or encrypted.
    enum class Link { Plain, Tunnel, Handshake, Secure };
    Link link_ = Link::Plain;
    std::unique_ptr<TTlsSession> tls_;
    std::string tunnelReply_;
    int securePlainRead_ = 0;          // plain bytes one reception pass took from the session
    bool tunnel_ = false;              // the connection goes to HttpsProxy, then CONNECT
    bool viaProxy_ = false;            // requests go to Proxy in absolute form
    std::string proxyHost_;            // the host of Proxy as the request started
    std::string dialHost_, dialPort_;  // where the socket connects

    std::unique_ptr<TWSocket> socket_;
    THttpReception rx_{*this};
    std::string requestVer_ = "1.0";
    THttpState state_ = httpReady;
    THttpRequest requestType_ = httpABORT;
    std::uint16_t requestDoneError_ = 0;
    int locationChangeCurCount_ = 0;
    std::string location_;
    std::string docName_;
    std::string requestPath_;
    std::string targetHost_, targetPort_;
    std::string connHost_, connPort_, connProtocol_;
    std::string currentHost_, currentPort_, currentProtocol_;
    std::string proxyPort_;  // the port of the proxy as the request started
    std::string currentUsername_, currentPassword_;
    std::string currentConnection_, currentProxyConnection_;
    bool connected_ = false;
    bool locationFlag_ = false;
    bool relocationCounted_ = false;
    bool routeToRelocation_ = false;
    bool connectStarting_ = false;
    bool connectFailed_ = false;
    bool closingQuietly_ = false;
    // The request went out on a connection kept from the last one; it is resent at most once.
    bool reusedConnection_ = false;
    bool resent_ = false;
    // Serial of the request under way; its own posted messages carry it.
    std::uint64_t requestId_ = 0;
    std::int64_t startSize_ = 0;
    std::int64_t sentCount_ = 0;
    std::int64_t uploadLeft_ = 0;  // announced body bytes not yet read from SendStream
    bool sending_ = false;
    std::string rcvdStreamError_;
    // Bandwidth control.
    QTimer bandwidthTimer_;
    std::int64_t bandwidthCount_ = 0;
    std::int64_t bandwidthMaxCount_ = 0;
    bool bandwidthPaused_ = false;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
