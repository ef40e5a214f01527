#include "platform/WebBrowser.h"

#include <QAuthenticator>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QUrl>
#include <algorithm>
#include <cstdlib>

#include "common/Environment.h"
#include "common/StringTable.h"
#include "platform/BrowserCookies.h"

namespace platform {

namespace {

// Qt's own buffer for a reply; the body is moved into the document as it arrives, so this
// bounds what is held twice.
constexpr qint64 kReadBufferBytes = 1 << 20;
// How often a load waiting for the keyring looks whether it has answered.
constexpr int kKeyringPollMs = 20;

class SessionProxies : public QNetworkProxyFactory {
public:
    explicit SessionProxies(const BrowserSession& session) : session_(session) {}

    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery& query) override {
        const TProxyRoute route =
            session_.RouteFor(query.url().toString(QUrl::FullyEncoded).toStdString());
        if (route.Host.empty()) {
            return {QNetworkProxy(QNetworkProxy::NoProxy)};
        }
        return {QNetworkProxy(QNetworkProxy::HttpProxy, QString::fromStdString(route.Host),
                              static_cast<quint16>(route.Port), QString::fromStdString(route.User),
                              QString::fromStdString(route.Password))};
    }

private:
    const BrowserSession& session_;
};

struct ErrorText {
    QNetworkReply::NetworkError error;
    const char* direct;
    // Through a proxy every connection is the proxy's: what failed is the proxy.
    const char* viaProxy;
};

// What a failed load without an HTTP answer says of itself; other errors use Qt's text.
constexpr ErrorText kErrorTexts[] = {
    {QNetworkReply::ConnectionRefusedError, "connection refused",
     "the proxy refused the connection"},
    {QNetworkReply::RemoteHostClosedError, "connection closed by the server",
     "connection closed by the proxy"},
    {QNetworkReply::HostNotFoundError, "host not found", "proxy host not found"},
    {QNetworkReply::TimeoutError, "timed out", "the proxy timed out"},
    {QNetworkReply::SslHandshakeFailedError, "secure connection failed",
     "secure connection failed"},
    {QNetworkReply::TooManyRedirectsError, "too many redirects", "too many redirects"},
    {QNetworkReply::InsecureRedirectError, "redirect from https to http",
     "redirect from https to http"},
    {QNetworkReply::ProxyConnectionRefusedError, "the proxy refused the connection",
     "the proxy refused the connection"},
    {QNetworkReply::ProxyConnectionClosedError, "connection closed by the proxy",
     "connection closed by the proxy"},
    {QNetworkReply::ProxyNotFoundError, "proxy host not found", "proxy host not found"},
    {QNetworkReply::ProxyTimeoutError, "the proxy timed out", "the proxy timed out"},
    {QNetworkReply::ProtocolUnknownError, "unsupported protocol", "unsupported protocol"},
};

}  // namespace

const char* const BrowserSession::kUserAgent =
    "Mozilla/5.0 (X11; Linux x86_64; rv:128.0) Gecko/20100101 Firefox/128.0";

BrowserSession::BrowserSession()
    : proxyVariable_(SystemProxyVariable()),
      httpsProxyVariable_(SystemHttpsProxyVariable()),
      noProxy_(SystemNoProxyVariable()),
      network_(std::make_unique<QNetworkAccessManager>()) {
    // The run starts from the cookies of the user's own browsers, so that a page loads as
    // signed in there.
    cookies_ =
        new BrowserCookieJar(FindCookieStores(env::Value("HOME"), env::Value("XDG_CONFIG_HOME")),
                             DesktopKeyringPlace(), network_.get());
    network_->setCookieJar(cookies_);
    network_->setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
    // The same proxy as the file transfer, chosen per address: no_proxy hosts go direct.
    network_->setProxyFactory(new SessionProxies(*this));
    // Qt asks here when a proxy answers 407. The credentials of http_proxy are offered once;
    // offered again after a refusal they would only be refused again, so the load then ends
    // with the 407.
    QObject::connect(network_.get(), &QNetworkAccessManager::proxyAuthenticationRequired,
                     network_.get(), [](const QNetworkProxy& proxy, QAuthenticator* auth) {
                         const bool offered =
                             auth->user() == proxy.user() && auth->password() == proxy.password();
                         if ((!proxy.user().isEmpty() || !proxy.password().isEmpty()) && !offered) {
                             auth->setUser(proxy.user());
                             auth->setPassword(proxy.password());
                         }
                     });
    // The authorities named by SSL_CERT_FILE are trusted beside the system's, as the file
    // transfer's TLS layer trusts them: a page and its file are checked alike.
    const std::string caFile = env::Value("SSL_CERT_FILE");
    if (!caFile.empty()) {
        tls_ = std::make_unique<QSslConfiguration>(QSslConfiguration::defaultConfiguration());
        QList<QSslCertificate> authorities = QSslConfiguration::systemCaCertificates();
        authorities += QSslCertificate::fromPath(QString::fromLocal8Bit(caFile.c_str()));
        tls_->setCaCertificates(authorities);
    }
}

TProxyRoute BrowserSession::RouteFor(const std::string& url) const {
    return ProxyRouteByScheme(proxyVariable_, httpsProxyVariable_, noProxy_, url);
}

BrowserSession::~BrowserSession() = default;

TWebBrowser::TWebBrowser(BrowserSession& session, QObject* parent)
    : QObject(parent), session_(session) {
    // While a keyring is read on its own thread the load waits with the window free, so that
    // Stop (a Navigate2 to about:blank) acts at once.
    keyringWait_.setInterval(kKeyringPollMs);
    connect(&keyringWait_, &QTimer::timeout, this, [this] {
        if (!session_.Cookies().KeyringPending(
                QUrl::fromEncoded(QByteArray::fromStdString(url_)))) {
            keyringWait_.stop();
            Send();
        }
    });
}

TWebBrowser::~TWebBrowser() {
    Drop();
}

void TWebBrowser::Drop() {
    keyringWait_.stop();
    if (QNetworkReply* reply = reply_.data()) {
        reply_ = nullptr;
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
}

void TWebBrowser::Navigate(const std::string& url) {
    Drop();
    url_ = url;
    html_.clear();
    truncated_ = false;
    httpStatus_ = 0;
    loadError_.clear();
    fileUrl_.clear();
    contentType_.clear();
    finalUrl_ = url;
    readyState_ = READYSTATE_LOADING;
    if (session_.Cookies().KeyringPending(QUrl::fromEncoded(QByteArray::fromStdString(url)))) {
        keyringWait_.start();
        return;
    }
    Send();
}

void TWebBrowser::Send() {
    QNetworkRequest request(QUrl::fromEncoded(QByteArray::fromStdString(url_)));
    request.setHeader(QNetworkRequest::UserAgentHeader,
                      QString::fromLatin1(BrowserSession::kUserAgent));
    if (const QSslConfiguration* tls = session_.Tls()) {
        request.setSslConfiguration(*tls);
    }
    QNetworkReply* reply = session_.Network().get(request);
    reply->setReadBufferSize(kReadBufferBytes);
    reply_ = reply;
    connect(reply, &QNetworkReply::metaDataChanged, this, &TWebBrowser::HeaderArrived);
    connect(reply, &QNetworkReply::readyRead, this, &TWebBrowser::ReadBody);
    connect(reply, &QNetworkReply::finished, this, &TWebBrowser::Finished);
}

void TWebBrowser::Navigate2(const std::string& url) {
    if (url != "about:blank") {
        Navigate(url);
        return;
    }
    Drop();
    url_ = url;
    html_.clear();
    truncated_ = false;
    httpStatus_ = 0;
    loadError_.clear();
    fileUrl_.clear();
    contentType_.clear();
    finalUrl_ = url;
    readyState_ = READYSTATE_COMPLETE;
}

void TWebBrowser::HeaderArrived() {
    QNetworkReply* reply = reply_.data();
    if (reply == nullptr) {
        return;
    }
    readyState_ = std::max(readyState_, static_cast<int>(READYSTATE_LOADED));
    contentType_ = reply->rawHeader("Content-Type").toStdString();
    finalUrl_ = reply->url().toEncoded().toStdString();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status >= 200 && status < 300 && IsFileResponse &&
        IsFileResponse(contentType_, finalUrl_)) {
        // Not a page: its bytes are the transfer's to fetch, not the page loader's.
        fileUrl_ = finalUrl_;
        httpStatus_ = status;
        Drop();
        readyState_ = READYSTATE_COMPLETE;
    }
}

void TWebBrowser::ReadBody() {
    QNetworkReply* reply = reply_.data();
    if (reply == nullptr) {
        return;
    }
    const QByteArray bytes = reply->readAll();
    const std::size_t room = kMaxDocumentBytes - html_.size();
    html_.append(bytes.constData(), std::min(room, static_cast<std::size_t>(bytes.size())));
    if (!html_.empty()) {
        readyState_ = std::max(readyState_, static_cast<int>(READYSTATE_INTERACTIVE));
    }
    if (html_.size() >= kMaxDocumentBytes) {
        truncated_ = true;
        NoteOutcome(*reply);
        Drop();
        readyState_ = READYSTATE_COMPLETE;
    }
}

void TWebBrowser::NoteOutcome(QNetworkReply& reply) {
    const QVariant status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute);
    httpStatus_ = status.isValid() ? status.toInt() : 0;
    const QNetworkReply::NetworkError error = reply.error();
    if (error == QNetworkReply::ProxyAuthenticationRequiredError) {
        httpStatus_ = 407;
    }
    const TProxyRoute route = session_.RouteFor(url_);
    if (httpStatus_ == 407) {
        const bool sent = route.HasCredentials();
        loadError_ =
            "407 Proxy Authentication Required: " +
            ProxyAuthenticationText(sent, IsHttpsAddress(url_) ? "https_proxy" : "http_proxy");
    } else if (httpStatus_ >= 400) {
        const std::string phrase =
            reply.attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString().toStdString();
        loadError_ = std::to_string(httpStatus_) + (phrase.empty() ? "" : " " + phrase);
    } else if (error != QNetworkReply::NoError && error != QNetworkReply::OperationCanceledError) {
        QString text = reply.errorString().trimmed();
        // Qt leaves some reasons empty ("Decompression failed: "): the one that can be told is
        // told here.
        if (text.endsWith(QLatin1Char(':'))) {
            const QByteArray encoding = reply.rawHeader("Content-Encoding").trimmed();
            text +=
                QLatin1Char(' ') +
                (encoding.isEmpty() ? QString::fromStdString(LoadStr(StrId::BodyNotDecoded))
                                    : QString::fromStdString(LoadStr(StrId::BodyNotValidEncoding))
                                          .arg(QString::fromLatin1(encoding)));
        }
        loadError_ = text.toStdString();
        for (const auto& e : kErrorTexts) {
            if (e.error == error) {
                loadError_ = route.Host.empty() ? e.direct : e.viaProxy;
            }
        }
    }
}

void TWebBrowser::Finished() {
    ReadBody();
    if (QNetworkReply* reply = reply_.data()) {
        NoteOutcome(*reply);
    }
    Drop();
    // Whatever ended the load (done, refused, an error page), the document is what arrived.
    readyState_ = READYSTATE_COMPLETE;
}

}  // namespace platform
