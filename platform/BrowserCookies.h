#pragma once

// The cookies of the user's own browsers, so that pages load as the user's browser would load
// them (signed in, past the age question). Firefox's default profiles and the Chromium and
// Chrome profiles are read from private copies of their databases, only for the host being
// loaded and its parent domains, and never written to. A store that is missing, unreadable,
// corrupt or of a layout we do not know gives no cookies, silently; so does a value whose key
// is in a keyring that is locked, closed or absent.

#include <QNetworkCookieJar>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/Keyring.h"

namespace platform {

struct CookieStore {
    enum class Kind { Firefox, Chromium };
    Kind kind;
    std::string path;  // the database file
    // Chromium and Chrome: the user data folder, whose singleton lock says whether the browser
    // runs, and where the keyring keeps the password of their key.
    std::string browserFolder = {};
    SafeStorage safeStorage = {};
};

struct StoredCookie {
    // As the browsers keep it: ".example.com" for that domain and every host below it,
    // "example.com" for that host alone.
    std::string domain;
    std::string path;
    std::string name;
    std::string value;
    std::int64_t expires = 0;  // seconds since 1970 (UTC); 0 for a cookie of the session
    bool secure = false;
    bool httpOnly = false;
};

// The cookie databases of the user's browsers that exist, in the order they are preferred:
// Firefox (~/.mozilla, then the configuration folder, Flatpak, Snap), then Chromium, then
// Chrome. configHome is $XDG_CONFIG_HOME; Chromium and Chrome are also looked for below
// home/.config.
std::vector<CookieStore> FindCookieStores(const std::string& home,
                                          const std::string& configHome = {});

// The domains under which a browser keeps the cookies that host receives: host itself for
// its own cookies, "." + host and "." + each parent domain of two labels or more. An IP
// address has only its own.
std::vector<std::string> CookieDomainsForHost(const std::string& host);

// Whether the Chromium-family browser of this user data folder runs now: its singleton lock
// names this host and a live process.
bool ChromiumRunning(const std::string& browserFolder);

// The password of the browser's keyring key, asked only when a value needs it.
using KeyringPassword = std::function<std::optional<std::string>()>;

// The cookies the store keeps under these domains that the program can read, from a copy of
// the database in a private temporary folder, removed before returning. Chromium keeps the
// cookies of a session until its next start: they are taken only while it runs.
std::vector<StoredCookie> ReadCookieStore(const CookieStore& store,
                                          const std::vector<std::string>& domains,
                                          const KeyringPassword& keyringPassword = {});

// The cookie jar of a run. The first time a host is asked for (the first request to it, or a
// redirect to it), the cookies the stores keep for it and its parent domains are put into the
// jar; each domain is taken once per run, so what a site sets during the run is never
// replaced by the stored value.
class BrowserCookieJar : public QNetworkCookieJar {
public:
    BrowserCookieJar(std::vector<CookieStore> stores, KeyringPlace keyring,
                     QObject* parent = nullptr);

    QList<QNetworkCookie> cookiesForUrl(const QUrl& url) const override;

    // Whether a load of url is to wait for the keyring: a stored cookie of its host that is
    // still valid needs a browser's keyring password that is being read. Starts the reads it
    // needs; asked again, it says whether they are still under way. Never blocks.
    bool KeyringPending(const QUrl& url);

private:
    void TakeStoredCookies(const QString& host);

    std::vector<CookieStore> stores_;
    KeyringPlace keyring_;
    // Each browser's keyring is asked once a run, whatever it answers.
    std::map<std::string, std::shared_ptr<KeyringRead>> keyringReads_;
    std::set<std::string> takenDomains_;
};

}  // namespace platform
