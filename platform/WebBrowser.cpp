#include "platform/WebBrowser.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>
#include <algorithm>
#include <cstdlib>

#include "common/Global.h"
#include "platform/BrowserCookies.h"

namespace platform {

namespace {

// Qt's own buffer for a reply; the body is moved into the document as it arrives, so this
// bounds what is held twice.
constexpr qint64 kReadBufferBytes = 1 << 20;

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

}  // namespace

const char* const BrowserSession::kUserAgent =
    "Mozilla/5.0 (X11; Linux x86_64; rv:128.0) Gecko/20100101 Firefox/128.0";

BrowserSession::BrowserSession() : network_(std::make_unique<QNetworkAccessManager>()) {
    // The run starts from the cookies of the user's own browsers, so that a page loads as
    // signed in there.
    network_->setCookieJar(
        new BrowserCookieJar(FindCookieStores(Environment("HOME"), Environment("XDG_CONFIG_HOME")),
                             DesktopKeyringPlace(), network_.get()));
    network_->setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
    // The same proxy as the file transfer: the one the system names for http.
    QNetworkProxy proxy(QNetworkProxy::NoProxy);
    if (ProxyEnabled()) {
        std::string host;
        std::int32_t port = 0;
        GetProxyServer("http", host, port);
        if (!host.empty()) {
            proxy = QNetworkProxy(QNetworkProxy::HttpProxy, QString::fromStdString(host),
                                  static_cast<quint16>(std::clamp(port, 0, 65535)));
        }
    }
    network_->setProxy(proxy);
}

BrowserSession::~BrowserSession() = default;

TWebBrowser::TWebBrowser(BrowserSession& session, QObject* parent)
    : QObject(parent), session_(session) {}

TWebBrowser::~TWebBrowser() {
    Drop();
}

void TWebBrowser::Drop() {
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
    readyState_ = READYSTATE_LOADING;
    QNetworkRequest request(QUrl::fromEncoded(QByteArray::fromStdString(url)));
    request.setHeader(QNetworkRequest::UserAgentHeader,
                      QString::fromLatin1(BrowserSession::kUserAgent));
    QNetworkReply* reply = session_.Network().get(request);
    reply->setReadBufferSize(kReadBufferBytes);
    reply_ = reply;
    connect(reply, &QNetworkReply::metaDataChanged, this,
            [this] { readyState_ = std::max(readyState_, static_cast<int>(READYSTATE_LOADED)); });
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
    readyState_ = READYSTATE_COMPLETE;
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
        Drop();
        readyState_ = READYSTATE_COMPLETE;
    }
}

void TWebBrowser::Finished() {
    ReadBody();
    Drop();
    // Whatever ended the load (done, refused, an error page), the document is what arrived.
    readyState_ = READYSTATE_COMPLETE;
}

}  // namespace platform
