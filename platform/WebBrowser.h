#pragma once

// The embedded browser the page stage loads video pages with, over Qt's network access: it
// follows redirects, speaks https, keeps the cookies of one run (starting from those of the
// user's own browsers), sends a desktop browser's User-Agent and goes through the system proxy. It
// never shows anything; what the page stage needs of it is a ready state and the HTML of the page
// as bytes.

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "common/Proxy.h"

class QNetworkAccessManager;
class QSslConfiguration;
class QNetworkReply;

namespace platform {
class BrowserCookieJar;
}

namespace platform {

// What the browsers of one run share: the connection pool, the cookie jar and the proxy. The
// proxy settings are read once, when the session is made.
class BrowserSession {
public:
    BrowserSession();
    ~BrowserSession();
    BrowserSession(const BrowserSession&) = delete;
    BrowserSession& operator=(const BrowserSession&) = delete;

    QNetworkAccessManager& Network() { return *network_; }
    BrowserCookieJar& Cookies() { return *cookies_; }
    // The proxy a load of url goes through (none for the hosts of no_proxy).
    TProxyRoute RouteFor(const std::string& url) const;

    static const char* const kUserAgent;

    // The TLS settings of the session's loads; null: Qt's own defaults.
    const QSslConfiguration* Tls() const { return tls_.get(); }

private:
    std::string proxyVariable_;
    std::string httpsProxyVariable_;  // https addresses use this one
    std::string noProxy_;
    std::unique_ptr<QNetworkAccessManager> network_;
    BrowserCookieJar* cookies_ = nullptr;  // owned by network_
    std::unique_ptr<QSslConfiguration> tls_;
};

class TWebBrowser : public QObject {
    Q_OBJECT
public:
    enum : int {
        READYSTATE_UNINITIALIZED = 0,
        READYSTATE_LOADING = 1,
        READYSTATE_LOADED = 2,       // the response header has arrived
        READYSTATE_INTERACTIVE = 3,  // body bytes have arrived: a document exists
        READYSTATE_COMPLETE = 4,
    };
    // What one page may hold. Bytes past it are dropped and the load ends there, so a page
    // that never ends cannot take the machine's memory; the document keeps the first bytes.
    static constexpr std::size_t kMaxDocumentBytes = std::size_t{64} << 20;

    explicit TWebBrowser(BrowserSession& session, QObject* parent = nullptr);
    ~TWebBrowser() override;

    // Starts loading url and returns at once; a load under way is dropped.
    void Navigate(const std::string& url);
    // "about:blank" drops the page and any load under way; any other address is Navigate.
    void Navigate2(const std::string& url);

    int ReadyState() const { return readyState_; }
    // True once a document exists (ready state 3 or more).
    bool HasDocument() const { return readyState_ >= READYSTATE_INTERACTIVE; }
    // The page's HTML as it has arrived so far, whole.
    const std::string& DocumentHtml() const { return html_; }
    // The page reached kMaxDocumentBytes and was cut there.
    bool Truncated() const { return truncated_; }
    const std::string& LocationURL() const { return url_; }
    // The HTTP status of the last load's final answer; 0 while loading or when no answer came.
    int HttpStatus() const { return httpStatus_; }
    // Why the last load failed, briefly: "503 Service Unavailable", "connection refused",
    // "host not found", "407 Proxy Authentication Required: the proxy asks for ...". Empty
    // while loading and after a load that succeeded.
    const std::string& LoadError() const { return loadError_; }

    // Asked when a successful answer's header arrives, with its Content-Type and the address
    // it came from after redirects: true when the answer is a file rather than a page. The
    // load then ends at once and the body is never read; FileUrl tells where the file is.
    std::function<bool(const std::string& contentType, const std::string& url)> IsFileResponse;
    // The address of the file the last load found instead of a page; empty when it found none.
    const std::string& FileUrl() const { return fileUrl_; }
    // The Content-Type of the last load's answer, as its header said it.
    const std::string& ContentType() const { return contentType_; }
    // The address the last load's answer came from, after redirects.
    const std::string& FinalUrl() const { return finalUrl_; }

    bool Offline = false;
    // The control's width; the download window shrinks it to 0 (it never shows anyway).
    int Width = 0;

private:
    void Drop();
    void Send();
    void HeaderArrived();
    void ReadBody();
    void Finished();
    void NoteOutcome(QNetworkReply& reply);

    BrowserSession& session_;
    QPointer<QNetworkReply> reply_;
    QTimer keyringWait_;
    std::string url_;
    std::string html_;
    int readyState_ = READYSTATE_UNINITIALIZED;
    bool truncated_ = false;
    int httpStatus_ = 0;
    std::string loadError_;
    std::string fileUrl_;
    std::string contentType_;
    std::string finalUrl_;
};

}  // namespace platform
