#include "platform/BrowserCookies.h"

#include <signal.h>
#include <sqlite3.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QNetworkCookie>
#include <QTemporaryDir>
#include <QUrl>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <initializer_list>
#include <memory>
#include <string_view>
#include <tuple>

#include "platform/BrowserProfiles.h"
#include "platform/ChromiumCrypt.h"

namespace platform {

namespace {

// Chromium counts microseconds from 1601-01-01 UTC.
constexpr std::int64_t kChromiumEpochToUnixSeconds = 11644473600;
// Firefox wrote the expiry in seconds, newer versions write milliseconds; no expiry in seconds
// lies this far ahead (the year 5138).
constexpr std::int64_t kFirefoxMillisecondsFrom = 100'000'000'000;
// 9999-12-31 23:59:59 UTC: far-future expiries are held here rather than overflowing dates.
constexpr std::int64_t kLatestExpiry = 253402300799;
// From this database version on, Chromium encrypts the SHA-256 of the cookie's domain before
// its value.
constexpr int kChromiumDomainDigestVersion = 24;

struct SqliteClose {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
};
struct SqliteFinalize {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Database = std::unique_ptr<sqlite3, SqliteClose>;
using Statement = std::unique_ptr<sqlite3_stmt, SqliteFinalize>;

bool IsFile(const QString& path) {
    return QFileInfo(path).isFile();
}

std::optional<QString> FirefoxProfileFolder(const QString& root) {
    QFile file(root + QLatin1String("/profiles.ini"));
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    const std::optional<FirefoxProfile> profile =
        DefaultFirefoxProfile(file.readAll().toStdString());
    if (!profile) {
        return std::nullopt;
    }
    const QString path = QString::fromUtf8(profile->path);
    return profile->relative ? root + u'/' + path : path;
}

// --- SQLite ---

Statement Prepare(sqlite3* db, const std::string& sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
        sqlite3_finalize(statement);
        return nullptr;
    }
    return Statement(statement);
}

std::string ColumnBytes(sqlite3_stmt* statement, int column) {
    const void* bytes = sqlite3_column_blob(statement, column);
    const int size = sqlite3_column_bytes(statement, column);
    return bytes == nullptr ? std::string() : std::string(static_cast<const char*>(bytes), size);
}

std::vector<std::string> TableColumns(sqlite3* db, const std::string& table) {
    std::vector<std::string> columns;
    if (Statement statement = Prepare(db, "PRAGMA table_info(" + table + ")")) {
        while (sqlite3_step(statement.get()) == SQLITE_ROW) {
            columns.push_back(ColumnBytes(statement.get(), 1));
        }
    }
    return columns;
}

bool Has(const std::vector<std::string>& columns, const std::string& name) {
    return std::find(columns.begin(), columns.end(), name) != columns.end();
}

bool HasAll(const std::vector<std::string>& columns, std::initializer_list<const char*> names) {
    return std::all_of(names.begin(), names.end(),
                       [&](const char* name) { return Has(columns, name); });
}

// The column if this layout has it, else a constant 0 in its place.
std::string ColumnOrZero(const std::vector<std::string>& columns, const std::string& name) {
    return Has(columns, name) ? name : std::string("0");
}

std::string InList(std::size_t count) {
    std::string list = "(";
    for (std::size_t i = 0; i < count; ++i) {
        list += i == 0 ? "?" : ",?";
    }
    return list + ")";
}

// The rows of a query over the cookies of these domains, bound in order from the first
// parameter on; calls row for each.
template <typename Row>
void ForEachRow(sqlite3* db, const std::string& sql, const std::vector<std::string>& domains,
                Row row) {
    Statement statement = Prepare(db, sql);
    if (!statement) {
        return;
    }
    for (std::size_t i = 0; i < domains.size(); ++i) {
        sqlite3_bind_text(statement.get(), static_cast<int>(i + 1), domains[i].data(),
                          static_cast<int>(domains[i].size()), SQLITE_STATIC);
    }
    while (sqlite3_step(statement.get()) == SQLITE_ROW) {
        row(statement.get());
    }
}

std::int64_t FirefoxExpiry(std::int64_t expiry) {
    if (expiry <= 0) {
        return 0;
    }
    if (expiry >= kFirefoxMillisecondsFrom) {
        expiry /= 1000;
    }
    return std::min(expiry, kLatestExpiry);
}

std::int64_t ChromiumExpiry(std::int64_t expiresUtc) {
    if (expiresUtc <= 0) {
        return 0;
    }
    // Before 1970 is long past: one second after the epoch says so without being "no expiry".
    return std::clamp(expiresUtc / 1'000'000 - kChromiumEpochToUnixSeconds, std::int64_t{1},
                      kLatestExpiry);
}

std::vector<StoredCookie> ReadFirefox(sqlite3* db, const std::vector<std::string>& domains) {
    const std::vector<std::string> columns = TableColumns(db, "moz_cookies");
    if (!HasAll(columns, {"host", "path", "name", "value", "expiry", "isSecure"})) {
        return {};
    }
    std::string sql = "SELECT host, path, name, value, expiry, isSecure, " +
                      ColumnOrZero(columns, "isHttpOnly") + " FROM moz_cookies WHERE host IN " +
                      InList(domains.size());
    // Cookies of a container or of a page framed by another site are not the user's own
    // session with the site.
    if (Has(columns, "originAttributes")) {
        sql += " AND originAttributes = ''";
    }
    std::vector<StoredCookie> cookies;
    ForEachRow(db, sql, domains, [&](sqlite3_stmt* row) {
        cookies.push_back({ColumnBytes(row, 0), ColumnBytes(row, 1), ColumnBytes(row, 2),
                           ColumnBytes(row, 3), FirefoxExpiry(sqlite3_column_int64(row, 4)),
                           sqlite3_column_int(row, 5) != 0, sqlite3_column_int(row, 6) != 0});
    });
    return cookies;
}

int ChromiumVersion(sqlite3* db) {
    int version = 0;
    if (Statement statement = Prepare(db, "SELECT value FROM meta WHERE key = 'version'")) {
        if (sqlite3_step(statement.get()) == SQLITE_ROW) {
            version = sqlite3_column_int(statement.get(), 0);
        }
    }
    return version;
}

std::vector<StoredCookie> ReadChromium(sqlite3* db, const std::vector<std::string>& domains,
                                       bool withSessionCookies,
                                       const KeyringPassword& keyringPassword) {
    const std::vector<std::string> columns = TableColumns(db, "cookies");
    if (!HasAll(columns, {"host_key", "path", "name", "value", "encrypted_value", "expires_utc",
                          "is_secure"})) {
        return {};
    }
    const bool domainDigest = ChromiumVersion(db) >= kChromiumDomainDigestVersion;
    std::string sql = "SELECT host_key, path, name, value, encrypted_value, expires_utc, " +
                      std::string("is_secure, ") + ColumnOrZero(columns, "is_httponly") +
                      " FROM cookies WHERE host_key IN " + InList(domains.size());
    // A partitioned cookie belongs to the site's pages framed by another site.
    if (Has(columns, "top_frame_site_key")) {
        sql += " AND top_frame_site_key = ''";
    }
    // The keyring's key is derived once, when the first value needs it.
    std::optional<std::optional<ChromiumKey>> keyringKey;
    auto keyFor = [&](std::string_view encrypted) -> std::optional<ChromiumKey> {
        switch (KeyKindOf(encrypted)) {
            case ChromiumKeyKind::Fixed:
                return FixedChromiumKey();
            case ChromiumKeyKind::Keyring:
                if (!keyringKey) {
                    const std::optional<std::string> password =
                        keyringPassword ? keyringPassword() : std::nullopt;
                    keyringKey = password ? DeriveChromiumKey(*password) : std::nullopt;
                }
                return *keyringKey;
            case ChromiumKeyKind::Unknown:
                break;
        }
        return std::nullopt;
    };
    std::vector<StoredCookie> cookies;
    const std::int64_t now = QDateTime::currentSecsSinceEpoch();
    ForEachRow(db, sql, domains, [&](sqlite3_stmt* row) {
        const std::int64_t expires = ChromiumExpiry(sqlite3_column_int64(row, 5));
        // Dropped before its value is looked at: an expired cookie never asks the keyring.
        if ((expires == 0 && !withSessionCookies) || (expires != 0 && expires <= now)) {
            return;
        }
        const std::string hostKey = ColumnBytes(row, 0);
        std::string value = ColumnBytes(row, 3);
        const std::string encrypted = ColumnBytes(row, 4);
        if (value.empty() && !encrypted.empty()) {
            const std::optional<ChromiumKey> key = keyFor(encrypted);
            std::optional<std::string> decrypted =
                key ? DecryptChromiumValue(encrypted, *key, hostKey, domainDigest) : std::nullopt;
            if (!decrypted) {
                return;
            }
            value = std::move(*decrypted);
        }
        cookies.push_back({hostKey, ColumnBytes(row, 1), ColumnBytes(row, 2), std::move(value),
                           expires, sqlite3_column_int(row, 6) != 0,
                           sqlite3_column_int(row, 7) != 0});
    });
    return cookies;
}

// A host or domain as the stores keep it (ASCII, punycode) in the form Qt's jar compares.
QString JarDomain(const std::string& domain) {
    const bool dot = domain.starts_with('.');
    const QString host = QUrl::fromAce(QByteArray::fromStdString(domain.substr(dot ? 1 : 0)));
    return dot ? u'.' + host : host;
}

}  // namespace

std::vector<CookieStore> FindCookieStores(const std::string& home, const std::string& configHome) {
    std::vector<CookieStore> stores;
    if (home.empty()) {
        return stores;
    }
    const QString homeDir = QFile::decodeName(QByteArray::fromStdString(home));
    QStringList seen;  // one store reached by two paths is read once
    auto add = [&](CookieStore store, const QString& path) {
        const QString canonical = QFileInfo(path).canonicalFilePath();
        if (IsFile(path) && !seen.contains(canonical)) {
            seen.push_back(canonical);
            store.path = QFile::encodeName(path).toStdString();
            stores.push_back(std::move(store));
        }
    };
    auto encoded = [](const QString& path) { return QFile::encodeName(path).toStdString(); };
    const QString xdg = QFile::decodeName(QByteArray::fromStdString(configHome));
    // Firefox keeps its profiles in the configuration folder unless ~/.mozilla is there from
    // before; both are read, the one it goes by first.
    const QString config = QDir::isAbsolutePath(xdg) ? xdg : homeDir + QLatin1String("/.config");
    for (const QString& root :
         {homeDir + QLatin1String("/.mozilla/firefox"), config + QLatin1String("/mozilla/firefox"),
          homeDir + QLatin1String("/.var/app/org.mozilla.firefox/.mozilla/firefox"),
          homeDir + QLatin1String("/snap/firefox/common/.mozilla/firefox")}) {
        if (const std::optional<QString> profile = FirefoxProfileFolder(root)) {
            add({CookieStore::Kind::Firefox, {}}, *profile + QLatin1String("/cookies.sqlite"));
        }
    }
    QStringList configs;
    if (QDir::isAbsolutePath(xdg)) {
        configs.push_back(xdg);
    }
    configs.push_back(homeDir + QLatin1String("/.config"));
    const SafeStorage chromium{"chromium", "Chromium"};
    const SafeStorage chrome{"chrome", "Chrome"};
    std::vector<std::pair<QString, SafeStorage>> folders;
    for (const QString& folder : configs) {
        folders.emplace_back(folder + QLatin1String("/chromium"), chromium);
    }
    folders.emplace_back(homeDir + QLatin1String("/.var/app/org.chromium.Chromium/config/chromium"),
                         chromium);
    folders.emplace_back(homeDir + QLatin1String("/snap/chromium/common/chromium"), chromium);
    for (const QString& folder : configs) {
        folders.emplace_back(folder + QLatin1String("/google-chrome"), chrome);
    }
    folders.emplace_back(
        homeDir + QLatin1String("/.var/app/com.google.Chrome/config/google-chrome"), chrome);
    for (const auto& [folder, safeStorage] : folders) {
        // Newer versions keep the database in Network/, where they move an older one to.
        const QString moved = folder + QLatin1String("/Default/Network/Cookies");
        add({CookieStore::Kind::Chromium, {}, encoded(folder), safeStorage},
            IsFile(moved) ? moved : folder + QLatin1String("/Default/Cookies"));
    }
    return stores;
}

std::vector<std::string> CookieDomainsForHost(const std::string& host) {
    if (host.empty()) {
        return {};
    }
    std::vector<std::string> domains{host};
    if (!QHostAddress(QString::fromStdString(host)).isNull()) {
        return domains;
    }
    domains.push_back("." + host);
    for (std::size_t dot = host.find('.'); dot != std::string::npos;
         dot = host.find('.', dot + 1)) {
        const std::string parent = host.substr(dot + 1);
        // A top-level domain alone keeps no cookies.
        if (parent.find('.') == std::string::npos) {
            break;
        }
        domains.push_back("." + parent);
    }
    return domains;
}

bool ChromiumRunning(const std::string& browserFolder) {
    // A crash or a kill leaves the lock behind: the process it names tells.
    std::string target(PATH_MAX, '\0');
    const ssize_t size =
        readlink((browserFolder + "/SingletonLock").c_str(), target.data(), target.size());
    char host[HOST_NAME_MAX + 1] = {};
    if (size <= 0 || static_cast<std::size_t>(size) >= target.size() ||
        gethostname(host, sizeof host - 1) != 0) {
        return false;
    }
    target.resize(static_cast<std::size_t>(size));
    const std::optional<long> pid = ChromiumLockHolder(target, host);
    return pid && *pid <= INT_MAX && (kill(static_cast<pid_t>(*pid), 0) == 0 || errno == EPERM);
}

std::vector<StoredCookie> ReadCookieStore(const CookieStore& store,
                                          const std::vector<std::string>& domains,
                                          const KeyringPassword& keyringPassword) {
    if (domains.empty()) {
        return {};
    }
    // The browser keeps its database locked while it runs; a copy with its write-ahead log
    // (or its rollback journal) holds what it has committed. The folder is the user's alone.
    const QTemporaryDir folder;
    if (!folder.isValid()) {
        return {};
    }
    const QString source = QFile::decodeName(QByteArray::fromStdString(store.path));
    const QString copy = folder.filePath(QStringLiteral("cookies.db"));
    for (const char* suffix : {"", "-wal", "-journal"}) {
        const QString from = source + QLatin1String(suffix);
        const QString to = copy + QLatin1String(suffix);
        if ((*suffix == 0 || IsFile(from)) &&
            (!QFile::copy(from, to) ||
             !QFile::setPermissions(to, QFileDevice::ReadOwner | QFileDevice::WriteOwner))) {
            return {};
        }
    }
    sqlite3* raw = nullptr;
    const int opened =
        sqlite3_open_v2(QFile::encodeName(copy).constData(), &raw, SQLITE_OPEN_READWRITE, nullptr);
    const Database db(raw);
    if (opened != SQLITE_OK) {
        return {};
    }
    std::vector<StoredCookie> cookies =
        store.kind == CookieStore::Kind::Firefox
            ? ReadFirefox(db.get(), domains)
            : ReadChromium(db.get(), domains, ChromiumRunning(store.browserFolder),
                           keyringPassword);
    // An expired cookie would only be dropped by the jar.
    const std::int64_t now = QDateTime::currentSecsSinceEpoch();
    std::erase_if(cookies,
                  [now](const StoredCookie& c) { return c.expires != 0 && c.expires <= now; });
    return cookies;
}

BrowserCookieJar::BrowserCookieJar(std::vector<CookieStore> stores, KeyringPlace keyring,
                                   QObject* parent)
    : QNetworkCookieJar(parent), stores_(std::move(stores)), keyring_(std::move(keyring)) {}

QList<QNetworkCookie> BrowserCookieJar::cookiesForUrl(const QUrl& url) const {
    // Qt asks this (const) before each request it sends, redirected ones included: the moment
    // a new host becomes known. The jar itself is never const.
    if (url.scheme() == u"http" || url.scheme() == u"https") {
        const_cast<BrowserCookieJar*>(this)->TakeStoredCookies(url.host());
    }
    return QNetworkCookieJar::cookiesForUrl(url);
}

bool BrowserCookieJar::KeyringPending(const QUrl& url) {
    if (url.scheme() != u"http" && url.scheme() != u"https") {
        return false;
    }
    std::vector<std::string> domains;
    for (std::string& domain : CookieDomainsForHost(QUrl::toAce(url.host()).toStdString())) {
        if (!takenDomains_.contains(domain)) {
            domains.push_back(std::move(domain));
        }
    }
    bool pending = false;
    for (const CookieStore& store : stores_) {
        const std::string& application = store.safeStorage.application;
        if (store.kind != CookieStore::Kind::Chromium || domains.empty()) {
            continue;
        }
        if (!keyringReads_.contains(application)) {
            // Asked only when a cookie of the host that is still valid needs it.
            bool needed = false;
            ReadCookieStore(store, domains, [&needed]() -> std::optional<std::string> {
                needed = true;
                return std::nullopt;
            });
            if (!needed) {
                continue;
            }
            keyringReads_[application] = KeyringRead::Start(keyring_, store.safeStorage);
        }
        pending = pending || !keyringReads_[application]->Done();
    }
    return pending;
}

void BrowserCookieJar::TakeStoredCookies(const QString& host) {
    std::vector<std::string> domains;
    for (std::string& domain : CookieDomainsForHost(QUrl::toAce(host).toStdString())) {
        if (takenDomains_.insert(domain).second) {
            domains.push_back(std::move(domain));
        }
    }
    if (domains.empty()) {
        return;
    }
    // The same cookie in two stores: the one of the preferred browser counts.
    std::set<std::tuple<std::string, std::string, std::string>> inserted;
    for (const CookieStore& store : stores_) {
        // Never waited for here, on the window's thread: a read the page load did not wait for
        // (a redirect to a host it did not foresee) starts now and serves the hosts after.
        const KeyringPassword password = [&]() -> std::optional<std::string> {
            const std::string& application = store.safeStorage.application;
            if (!keyringReads_.contains(application)) {
                keyringReads_[application] = KeyringRead::Start(keyring_, store.safeStorage);
            }
            return keyringReads_[application]->Password();
        };
        for (const StoredCookie& stored : ReadCookieStore(store, domains, password)) {
            if (!inserted.emplace(stored.name, stored.domain, stored.path).second) {
                continue;
            }
            QNetworkCookie cookie(QByteArray::fromStdString(stored.name),
                                  QByteArray::fromStdString(stored.value));
            cookie.setDomain(JarDomain(stored.domain));
            cookie.setPath(stored.path.empty() ? QStringLiteral("/")
                                               : QString::fromStdString(stored.path));
            cookie.setSecure(stored.secure);
            cookie.setHttpOnly(stored.httpOnly);
            if (stored.expires != 0) {
                cookie.setExpirationDate(QDateTime::fromSecsSinceEpoch(stored.expires, Qt::UTC));
            }
            insertCookie(cookie);
        }
    }
}

}  // namespace platform
