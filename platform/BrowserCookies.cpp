#include "platform/BrowserCookies.h"

#include <openssl/evp.h>
#include <sqlite3.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QHostAddress>
#include <QNetworkCookie>
#include <QTemporaryDir>
#include <QUrl>
#include <algorithm>
#include <array>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string_view>
#include <tuple>

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
constexpr std::size_t kDomainDigestBytes = 32;

struct SqliteClose {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
};
struct SqliteFinalize {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
struct CipherFree {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using Database = std::unique_ptr<sqlite3, SqliteClose>;
using Statement = std::unique_ptr<sqlite3_stmt, SqliteFinalize>;

bool IsFile(const QString& path) {
    return QFileInfo(path).isFile();
}

// --- profiles.ini ---

struct IniSection {
    QString name;
    QHash<QString, QString> values;  // keys in lower case; the first of duplicates counts
};

std::vector<IniSection> ReadIni(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    std::vector<IniSection> sections;
    for (const QByteArray& raw : file.readAll().split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.startsWith(u'[') && line.endsWith(u']')) {
            sections.push_back({line.mid(1, line.size() - 2).trimmed(), {}});
            continue;
        }
        const qsizetype equals = line.indexOf(u'=');
        if (sections.empty() || equals <= 0 || line.startsWith(u';') || line.startsWith(u'#')) {
            continue;
        }
        const QString key = line.left(equals).trimmed().toLower();
        if (!sections.back().values.contains(key)) {
            sections.back().values.insert(key, line.mid(equals + 1).trimmed());
        }
    }
    return sections;
}

bool IsProfileSection(const QString& name) {
    const QString number = name.mid(7);
    return name.startsWith(QLatin1String("Profile"), Qt::CaseInsensitive) && !number.isEmpty() &&
           std::all_of(number.begin(), number.end(), [](QChar c) { return c.isDigit(); });
}

// The profile Firefox starts with: the default of an install (what current versions go by),
// else the profile marked Default=1, else the first profile listed.
std::optional<QString> DefaultFirefoxProfile(const QString& root) {
    const std::vector<IniSection> sections = ReadIni(root + QLatin1String("/profiles.ini"));
    for (const IniSection& section : sections) {
        const QString path = section.values.value(QStringLiteral("default"));
        if (section.name.startsWith(QLatin1String("Install"), Qt::CaseInsensitive) &&
            !path.isEmpty()) {
            return QDir::isAbsolutePath(path) ? path : root + u'/' + path;
        }
    }
    const IniSection* chosen = nullptr;
    for (const IniSection& section : sections) {
        if (!IsProfileSection(section.name) ||
            section.values.value(QStringLiteral("path")).isEmpty()) {
            continue;
        }
        if (chosen == nullptr || (section.values.value(QStringLiteral("default")) == u"1" &&
                                  chosen->values.value(QStringLiteral("default")) != u"1")) {
            chosen = &section;
        }
    }
    if (chosen == nullptr) {
        return std::nullopt;
    }
    const QString path = chosen->values.value(QStringLiteral("path"));
    const QString relative = chosen->values.value(QStringLiteral("isrelative"));
    const bool isRelative = relative.isEmpty() ? !QDir::isAbsolutePath(path) : relative != u"0";
    return isRelative ? root + u'/' + path : path;
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

// The key Chromium on Linux encrypts with when no keyring is there to hold one.
std::optional<std::array<unsigned char, 16>> FixedChromiumKey() {
    static constexpr std::string_view kPassword = "peanuts";
    static constexpr std::string_view kSalt = "saltysalt";
    std::array<unsigned char, 16> key{};
    if (PKCS5_PBKDF2_HMAC(kPassword.data(), static_cast<int>(kPassword.size()),
                          reinterpret_cast<const unsigned char*>(kSalt.data()),
                          static_cast<int>(kSalt.size()), 1, EVP_sha1(),
                          static_cast<int>(key.size()), key.data()) != 1) {
        return std::nullopt;
    }
    return key;
}

// A value encrypted with the fixed key ("v10"). Any other kind ("v11" has its key in the
// keyring) and anything that does not decrypt cleanly is nullopt: a value is never guessed.
std::optional<std::string> DecryptChromiumValue(std::string_view encrypted, bool domainDigest) {
    static constexpr std::string_view kFixedKeyTag = "v10";
    static const std::optional<std::array<unsigned char, 16>> key = FixedChromiumKey();
    if (!key || !encrypted.starts_with(kFixedKeyTag)) {
        return std::nullopt;
    }
    const std::string_view data = encrypted.substr(kFixedKeyTag.size());
    if (data.empty() || data.size() % 16 != 0) {
        return std::nullopt;
    }
    std::unique_ptr<EVP_CIPHER_CTX, CipherFree> context(EVP_CIPHER_CTX_new());
    std::array<unsigned char, 16> iv;
    iv.fill(' ');
    std::string plain(data.size() + 16, '\0');
    int written = 0;
    int last = 0;
    auto* out = reinterpret_cast<unsigned char*>(plain.data());
    if (!context ||
        EVP_DecryptInit_ex(context.get(), EVP_aes_128_cbc(), nullptr, key->data(), iv.data()) !=
            1 ||
        EVP_DecryptUpdate(context.get(), out, &written,
                          reinterpret_cast<const unsigned char*>(data.data()),
                          static_cast<int>(data.size())) != 1 ||
        EVP_DecryptFinal_ex(context.get(), out + written, &last) != 1) {
        return std::nullopt;
    }
    plain.resize(static_cast<std::size_t>(written + last));
    if (domainDigest) {
        if (plain.size() < kDomainDigestBytes) {
            return std::nullopt;
        }
        plain.erase(0, kDomainDigestBytes);
    }
    return plain;
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

std::vector<StoredCookie> ReadChromium(sqlite3* db, const std::vector<std::string>& domains) {
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
    std::vector<StoredCookie> cookies;
    ForEachRow(db, sql, domains, [&](sqlite3_stmt* row) {
        std::string value = ColumnBytes(row, 3);
        const std::string encrypted = ColumnBytes(row, 4);
        if (value.empty() && !encrypted.empty()) {
            std::optional<std::string> decrypted = DecryptChromiumValue(encrypted, domainDigest);
            if (!decrypted) {
                return;
            }
            value = std::move(*decrypted);
        }
        cookies.push_back({ColumnBytes(row, 0), ColumnBytes(row, 1), ColumnBytes(row, 2),
                           std::move(value), ChromiumExpiry(sqlite3_column_int64(row, 5)),
                           sqlite3_column_int(row, 6) != 0, sqlite3_column_int(row, 7) != 0});
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
    auto add = [&](CookieStore::Kind kind, const QString& path) {
        const QString canonical = QFileInfo(path).canonicalFilePath();
        if (IsFile(path) && !seen.contains(canonical)) {
            seen.push_back(canonical);
            stores.push_back({kind, QFile::encodeName(path).toStdString()});
        }
    };
    for (const char* root : {"/.mozilla/firefox", "/.var/app/org.mozilla.firefox/.mozilla/firefox",
                             "/snap/firefox/common/.mozilla/firefox"}) {
        if (const std::optional<QString> profile =
                DefaultFirefoxProfile(homeDir + QLatin1String(root))) {
            add(CookieStore::Kind::Firefox, *profile + QLatin1String("/cookies.sqlite"));
        }
    }
    QStringList configs;
    const QString xdg = QFile::decodeName(QByteArray::fromStdString(configHome));
    if (QDir::isAbsolutePath(xdg)) {
        configs.push_back(xdg);
    }
    configs.push_back(homeDir + QLatin1String("/.config"));
    QStringList profiles;
    for (const QString& config : configs) {
        profiles.push_back(config + QLatin1String("/chromium"));
    }
    profiles.push_back(homeDir + QLatin1String("/.var/app/org.chromium.Chromium/config/chromium"));
    profiles.push_back(homeDir + QLatin1String("/snap/chromium/common/chromium"));
    for (const QString& config : configs) {
        profiles.push_back(config + QLatin1String("/google-chrome"));
    }
    profiles.push_back(homeDir + QLatin1String("/.var/app/com.google.Chrome/config/google-chrome"));
    for (const QString& profile : profiles) {
        // Newer versions keep the database in Network/, where they move an older one to.
        const QString moved = profile + QLatin1String("/Default/Network/Cookies");
        add(CookieStore::Kind::Chromium,
            IsFile(moved) ? moved : profile + QLatin1String("/Default/Cookies"));
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

std::vector<StoredCookie> ReadCookieStore(const CookieStore& store,
                                          const std::vector<std::string>& domains) {
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
    std::vector<StoredCookie> cookies = store.kind == CookieStore::Kind::Firefox
                                            ? ReadFirefox(db.get(), domains)
                                            : ReadChromium(db.get(), domains);
    // An expired cookie would only be dropped by the jar.
    const std::int64_t now = QDateTime::currentSecsSinceEpoch();
    std::erase_if(cookies,
                  [now](const StoredCookie& c) { return c.expires != 0 && c.expires <= now; });
    return cookies;
}

BrowserCookieJar::BrowserCookieJar(std::vector<CookieStore> stores, QObject* parent)
    : QNetworkCookieJar(parent), stores_(std::move(stores)) {}

QList<QNetworkCookie> BrowserCookieJar::cookiesForUrl(const QUrl& url) const {
    // Qt asks this (const) before each request it sends, redirected ones included: the moment
    // a new host becomes known. The jar itself is never const.
    if (url.scheme() == u"http" || url.scheme() == u"https") {
        const_cast<BrowserCookieJar*>(this)->TakeStoredCookies(url.host());
    }
    return QNetworkCookieJar::cookiesForUrl(url);
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
        for (const StoredCookie& stored : ReadCookieStore(store, domains)) {
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
