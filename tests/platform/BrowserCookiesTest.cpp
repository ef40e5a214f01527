// The user's browser cookies in page loads: stores in the browsers' own schemas in a fresh
// home, loaded through the system proxy so that the host is a real name; keyrings stood in for
// on a bus of the test's own.

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDBusArgument>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDateTime>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "platform/BrowserCookies.h"
#include "platform/BrowserProfiles.h"
#include "platform/ChromiumCrypt.h"
#include "platform/WebBrowser.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/TempDir.h"

using platform::BrowserSession;
using platform::TWebBrowser;
using testsupport::LoopbackServer;
using testsupport::Script;

namespace {

const char* const kFirefoxSchema =
    "CREATE TABLE moz_cookies (id INTEGER PRIMARY KEY, originAttributes TEXT NOT NULL DEFAULT "
    "'', name TEXT, value TEXT, host TEXT, path TEXT, expiry INTEGER, lastAccessed INTEGER, "
    "creationTime INTEGER, isSecure INTEGER, isHttpOnly INTEGER, inBrowserElement INTEGER "
    "DEFAULT 0, sameSite INTEGER DEFAULT 0, rawSameSite INTEGER DEFAULT 0, schemeMap INTEGER "
    "DEFAULT 0, isPartitionedAttributeSet INTEGER DEFAULT 0, CONSTRAINT moz_uniqueid UNIQUE "
    "(name, host, path, originAttributes))";

const char* const kChromiumSchema =
    "CREATE TABLE meta(key LONGVARCHAR NOT NULL UNIQUE PRIMARY KEY, value LONGVARCHAR);"
    "CREATE TABLE cookies(creation_utc INTEGER NOT NULL, host_key TEXT NOT NULL, "
    "top_frame_site_key TEXT NOT NULL, name TEXT NOT NULL, value TEXT NOT NULL, "
    "encrypted_value BLOB NOT NULL, path TEXT NOT NULL, expires_utc INTEGER NOT NULL, "
    "is_secure INTEGER NOT NULL, is_httponly INTEGER NOT NULL, last_access_utc INTEGER NOT "
    "NULL, has_expires INTEGER NOT NULL, is_persistent INTEGER NOT NULL, priority INTEGER NOT "
    "NULL, samesite INTEGER NOT NULL, source_scheme INTEGER NOT NULL, source_port INTEGER NOT "
    "NULL, last_update_utc INTEGER NOT NULL, source_type INTEGER NOT NULL, "
    "has_cross_site_ancestor INTEGER NOT NULL);"
    "CREATE UNIQUE INDEX cookies_unique_index ON cookies(host_key, top_frame_site_key, "
    "has_cross_site_ancestor, name, path, source_scheme, source_port);"
    "INSERT INTO meta VALUES('mmap_status', '-1');";

using Value = std::variant<std::int64_t, std::string>;

struct Db {
    explicit Db(const std::string& path) {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    }
    ~Db() { sqlite3_close(db); }
    void Exec(const std::string& sql, const std::vector<Value>& values = {}) {
        sqlite3_stmt* st = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr), SQLITE_OK) << sql;
        for (int i = 0; i < static_cast<int>(values.size()); ++i) {
            if (auto* n = std::get_if<std::int64_t>(&values[i])) {
                sqlite3_bind_int64(st, i + 1, *n);
            } else {
                const std::string& text = std::get<std::string>(values[i]);
                sqlite3_bind_text(st, i + 1, text.data(), static_cast<int>(text.size()), nullptr);
            }
        }
        EXPECT_EQ(sqlite3_step(st), SQLITE_DONE) << sqlite3_errmsg(db);
        sqlite3_finalize(st);
    }
    void Script(const char* sql) {
        ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK);
    }
    sqlite3* db = nullptr;
};

const std::int64_t kNow = QDateTime::currentSecsSinceEpoch();
const std::int64_t kFuture = kNow + 86400 * 30;
const std::int64_t kPast = kNow - 3600;

struct Row {
    std::string host, path, name, value;
    std::int64_t expires = 0;  // seconds since 1970; Firefox rows take it as written
    bool secure = false;
    std::string extra = {};  // Firefox: originAttributes; Chromium: encrypted_value
};

void AddFirefox(Db& db, const Row& r) {
    db.Exec(
        "INSERT INTO moz_cookies (originAttributes, name, value, host, path, expiry, "
        "lastAccessed, creationTime, isSecure, isHttpOnly) VALUES (?,?,?,?,?,?,?,?,?,0)",
        {r.extra, r.name, r.value, r.host, r.path, r.expires, kNow * 1000000, kNow * 1000000,
         std::int64_t{r.secure}});
}

void AddChromium(Db& db, const Row& r) {
    const std::int64_t expiresUtc = r.expires == 0 ? 0 : (r.expires + 11644473600) * 1000000;
    db.Exec("INSERT INTO cookies VALUES (?,?,'',?,?,CAST(? AS BLOB),?,?,?,0,?,?,?,1,0,1,80,?,0,0)",
            {kNow, r.host, r.name, r.value, r.extra, r.path, expiresUtc, std::int64_t{r.secure},
             kNow, std::int64_t{r.expires != 0}, std::int64_t{r.expires != 0}, kNow});
}

std::string Sha256(const std::string& text) {
    std::string digest(32, '\0');
    EVP_Digest(text.data(), text.size(), reinterpret_cast<unsigned char*>(digest.data()), nullptr,
               EVP_sha256(), nullptr);
    return digest;
}

// As Chromium encrypts: with the fixed key ("v10") or with the one of a keyring password.
std::string Encrypt(const std::string& plain, const std::string& password = "peanuts",
                    const std::string& tag = "v10") {
    unsigned char key[16];
    PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                      reinterpret_cast<const unsigned char*>("saltysalt"), 9, 1, EVP_sha1(), 16,
                      key);
    const unsigned char iv[17] = "                ";
    std::string out(plain.size() + 16, '\0');
    int n = 0;
    int last = 0;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    auto* o = reinterpret_cast<unsigned char*>(out.data());
    EVP_EncryptInit_ex(ctx, EVP_aes_128_cbc(), nullptr, key, iv);
    EVP_EncryptUpdate(ctx, o, &n, reinterpret_cast<const unsigned char*>(plain.data()),
                      static_cast<int>(plain.size()));
    EVP_EncryptFinal_ex(ctx, o + n, &last);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(static_cast<std::size_t>(n + last));
    return tag + out;
}

// The name=value pairs of a request's Cookie line, sorted.
std::vector<std::string> SentCookies(const std::string& request) {
    std::vector<std::string> cookies;
    const std::size_t at = request.find("\r\nCookie: ");
    if (at != std::string::npos) {
        std::istringstream pairs(request.substr(at + 10, request.find('\r', at + 2) - at - 10));
        for (std::string pair; std::getline(pairs >> std::ws, pair, ';');) {
            cookies.push_back(pair);
        }
    }
    std::sort(cookies.begin(), cookies.end());
    return cookies;
}

Script Answer(const std::string& response) {
    return Script().ReadUntil("\r\n\r\n").Send(response).Close();
}

const std::string kPage = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\npage";

class BrowserCookiesTest : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("XDG_CONFIG_HOME");
        unsetenv("HTTP_PROXY");
        // No keyring but the ones a test stands in for.
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
        unsetenv("XDG_CURRENT_DESKTOP");
        setenv("XDG_RUNTIME_DIR", root_.Path().c_str(), 1);
        setenv("TMPDIR", tmp_.Path().c_str(), 1);
        UseHome("home");
    }
    void TearDown() override {
        for (auto& [name, value] : saved_) {
            value ? setenv(name, value->c_str(), 1) : unsetenv(name);
        }
    }
    void UseHome(const std::string& name) {
        home_ = root_.File(name);
        std::filesystem::create_directories(home_);
        setenv("HOME", home_.c_str(), 1);
    }
    std::string Home(const std::string& path) const { return home_ + "/" + path; }
    void Touch(const std::string& file, const std::string& bytes = {}) {
        std::filesystem::create_directories(std::filesystem::path(Home(file)).parent_path());
        testsupport::WriteFile(Home(file), bytes);
    }
    void WriteProfilesIni(const std::string& root, const std::string& text) {
        Touch(root + "/profiles.ini", text);
    }

    // Loads each address in turn through a proxy that gives each request its answer; returns
    // what the proxy received, one request a connection.
    std::vector<std::string> Load(const std::vector<std::string>& urls,
                                  std::vector<Script> answers = {Answer(kPage)}) {
        LoopbackServer proxy(std::move(answers));
        setenv("http_proxy", ("127.0.0.1:" + proxy.PortText()).c_str(), 1);
        BrowserSession session;
        unsetenv("http_proxy");
        TWebBrowser browser(session);
        for (const std::string& url : urls) {
            browser.Navigate(url);
            EXPECT_TRUE(testsupport::PumpUntil(
                [&] { return browser.ReadyState() == TWebBrowser::READYSTATE_COMPLETE; }));
        }
        EXPECT_EQ(browser.DocumentHtml(), "page");
        std::vector<std::string> received;
        for (int i = 0; i < proxy.AcceptedCount(); ++i) {
            received.push_back(proxy.Received(i));
        }
        // The copies of the databases are gone once read.
        EXPECT_TRUE(std::filesystem::is_empty(tmp_.Path()));
        return received;
    }

    testsupport::TempDir root_;
    testsupport::TempDir tmp_;
    std::string home_;
    std::vector<std::pair<const char*, std::optional<std::string>>> saved_ = [] {
        std::vector<std::pair<const char*, std::optional<std::string>>> saved;
        for (const char* name : {"HOME", "TMPDIR", "DBUS_SESSION_BUS_ADDRESS",
                                 "XDG_CURRENT_DESKTOP", "XDG_RUNTIME_DIR"}) {
            const char* value = std::getenv(name);
            saved.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
        }
        return saved;
    }();
};

const std::string kWatch = "http://www.youtube.com/watch?v=Qz3kT0pLmW8";

TEST_F(BrowserCookiesTest, FirefoxDefaultProfileGivesTheCookiesOfTheHost) {
    WriteProfilesIni(".mozilla/firefox",
                     "[Profile1]\nName=old\nIsRelative=1\nPath=old.default\nDefault=1\n\n"
                     "[Profile0]\nName=default-release\nIsRelative=1\nPath=ab12.default-release\n\n"
                     "[Install4F96D1932A9F858E]\nDefault=ab12.default-release\nLocked=1\n");
    Db old(Home(".mozilla/firefox/old.default/cookies.sqlite"));
    old.Script(kFirefoxSchema);
    AddFirefox(old, {".youtube.com", "/", "OLDPROFILE", "x", kFuture});
    // A running Firefox: the database locked, its rows still in the write-ahead log.
    Db db(Home(".mozilla/firefox/ab12.default-release/cookies.sqlite"));
    db.Script(
        "PRAGMA locking_mode=EXCLUSIVE; PRAGMA journal_mode=WAL; "
        "PRAGMA wal_autocheckpoint=0;");
    db.Script(kFirefoxSchema);
    const Row rows[] = {
        {".youtube.com", "/", "PREF", "f1", kFuture},
        {"www.youtube.com", "/watch", "VISITOR", "v1", kFuture},
        {".youtube.com", "/", "EXPIRED", "x", kPast},
        {".youtube.com", "/", "EXPIREDMS", "x", kPast * 1000},
        {".youtube.com", "/feed", "WRONGPATH", "x", kFuture},
        {".youtube.com", "/", "SECURE", "x", kFuture, true},
        {".example.com", "/", "OTHERHOST", "x", kFuture},
        {"youtube.com", "/", "PARENTHOSTONLY", "x", kFuture},
        {".youtube.com", "/", "CONTAINER", "x", kFuture, false, "^userContextId=1"},
    };
    for (const Row& row : rows) {
        AddFirefox(db, row);
    }
    const auto received = Load({kWatch});
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(SentCookies(received[0]), (std::vector<std::string>{"PREF=f1", "VISITOR=v1"}))
        << received[0];
}

std::string HostName() {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    return host;
}

// A pid that no process has any longer.
pid_t DeadPid() {
    const pid_t child = fork();
    if (child == 0) {
        _exit(0);
    }
    waitpid(child, nullptr, 0);
    return child;
}

TEST_F(BrowserCookiesTest, ChromiumValuesArePlainOrFixedKeyAndSessionsLastWhileItRuns) {
    struct Case {
        const char* folder;
        int version;       // from 24 on, the host's digest comes before the encrypted value
        std::string lock;  // the singleton lock's target; empty: none
        bool running;
    } cases[] = {
        {".config/chromium", 23, "", false},
        {".config/google-chrome", 24, HostName() + "-" + std::to_string(getpid()), true},
        {".config/chromium", 24, HostName() + "-" + std::to_string(DeadPid()), false},
        {".config/chromium", 24, "elsewhere-" + std::to_string(getpid()), false},
    };
    int home = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lock);
        UseHome(std::to_string(++home));
        {
            Db db(Home(std::string(c.folder) +
                       (c.version >= 24 ? "/Default/Network/Cookies" : "/Default/Cookies")));
            db.Script(kChromiumSchema);
            db.Exec("INSERT INTO meta VALUES ('version', ?), ('last_compatible_version', ?)",
                    {std::to_string(c.version), std::to_string(c.version)});
            const std::string prefix = c.version >= 24 ? Sha256(".youtube.com") : "";
            const Row rows[] = {
                {".youtube.com", "/", "PLAIN", "p1", kFuture},
                {".youtube.com", "/", "ENCRYPTED", "", kFuture, false, Encrypt(prefix + "e1")},
                {".youtube.com", "/", "SESSION", "s1", 0},
                {".youtube.com", "/", "KEYRING", "", kFuture, false,
                 "v11" + std::string(32, '\x5a')},
                {".youtube.com", "/", "EXPIRED", "x", kPast},
                {".youtube.com", "/", "SECURE", "x", kFuture, true},
                {".example.com", "/", "OTHERHOST", "x", kFuture},
            };
            for (const Row& row : rows) {
                AddChromium(db, row);
            }
        }
        if (!c.lock.empty()) {
            std::filesystem::create_symlink(c.lock, Home(std::string(c.folder) + "/SingletonLock"));
        }
        const auto received = Load({kWatch});
        ASSERT_EQ(received.size(), 1u);
        std::vector<std::string> expected{"ENCRYPTED=e1", "PLAIN=p1"};
        if (c.running) {
            expected.push_back("SESSION=s1");
        }
        EXPECT_EQ(SentCookies(received[0]), expected) << received[0];
    }
}

// (session, parameters, value, content type), as the Secret Service hands out a secret.
struct Secret {
    QDBusObjectPath session;
    QByteArray parameters;
    QByteArray value;
    QString contentType;
};
QDBusArgument& operator<<(QDBusArgument& out, const Secret& s) {
    out.beginStructure();
    out << s.session << s.parameters << s.value << s.contentType;
    out.endStructure();
    return out;
}
const QDBusArgument& operator>>(const QDBusArgument& in, Secret& s) {
    in.beginStructure();
    in >> s.session >> s.parameters >> s.value >> s.contentType;
    in.endStructure();
    return in;
}

}  // namespace
Q_DECLARE_METATYPE(Secret)
namespace {

// A desktop's keyrings on a bus: a Secret Service holding Chromium's item (locked or not) and
// a KWallet (open or closed) holding its entry. Records the methods called.
class StandInKeyring : public QDBusVirtualObject {
public:
    StandInKeyring(const std::string& address, bool secrets, bool unlocked, bool wallet,
                   bool walletOpen, QString password, bool collectionLocked = false)
        : bus_(QDBusConnection::connectToBus(QString::fromStdString(address), "keyring")),
          unlocked_(unlocked),
          collectionLocked_(collectionLocked),
          walletOpen_(walletOpen),
          password_(std::move(password)) {
        qDBusRegisterMetaType<Secret>();
        bus_.registerVirtualObject("/", this, QDBusConnection::SubPath);
        if (secrets) {
            bus_.registerService("org.freedesktop.secrets");
        }
        if (wallet) {
            bus_.registerService("org.kde.kwalletd5");
        }
        // The program waits for each answer on the main thread: they come from another.
        moveToThread(&thread_);
        thread_.start();
    }
    ~StandInKeyring() override {
        Release();
        bus_.unregisterObject("/", QDBusConnection::UnregisterTree);
        QDBusConnection::disconnectFromBus("keyring");
        thread_.quit();
        thread_.wait();
    }
    QStringList Calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    // A slow keyring: the first call is answered only once Release is called.
    void Hold() {
        std::lock_guard lock(mutex_);
        held_ = true;
    }
    void Release() {
        std::lock_guard lock(mutex_);
        held_ = false;
        released_.notify_all();
    }

    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& m, const QDBusConnection& connection) override {
        {
            std::unique_lock lock(mutex_);
            calls_ << m.member();
            // Bounded, so that a fault cannot hang the test; the caller's own timeout is 3 s.
            released_.wait_for(lock, std::chrono::seconds(10), [this] { return !held_; });
        }
        const QString item = "/org/freedesktop/secrets/collection/login/1";
        const QList<QDBusObjectPath> items{QDBusObjectPath(item)};
        const auto args = m.arguments();
        QVariantList reply;
        if (m.member() == "SearchItems") {
            const auto attributes =
                qdbus_cast<QMap<QString, QString>>(args.value(0).value<QDBusArgument>());
            const bool ours = attributes.value("application") == "chromium" &&
                              attributes.value("xdg:schema").startsWith("chrome_libsecret");
            const QList<QDBusObjectPath> none;
            reply << QVariant::fromValue(ours && unlocked_ ? items : none)
                  << QVariant::fromValue(ours && !unlocked_ ? items : none);
        } else if (m.member() == "OpenSession") {
            reply << QVariant::fromValue(QDBusVariant(QString()))
                  << QVariant::fromValue(QDBusObjectPath("/org/freedesktop/secrets/session/1"));
        } else if (m.member() == "Get" && m.path() == "/org/freedesktop/secrets/collection/login" &&
                   args.value(1) == "Locked") {
            reply << QVariant::fromValue(QDBusVariant(collectionLocked_));
        } else if (m.member() == "GetSecret" && m.path() == item && unlocked_) {
            reply << QVariant::fromValue(Secret{
                args.value(0).value<QDBusObjectPath>(), {}, password_.toUtf8(), "text/plain"});
        } else if (m.member() == "isEnabled" || m.member() == "isOpen") {
            reply << (m.member() == "isEnabled" || walletOpen_);
        } else if (m.member() == "networkWallet") {
            reply << QString("kdewallet");
        } else if (m.member() == "open" && walletOpen_) {
            reply << 7;
        } else if (m.member() == "readPassword") {
            const bool ours = args.value(1) == "Chromium Keys" &&
                              args.value(2) == "Chromium Safe Storage" && args.value(0) == 7;
            reply << (ours ? password_ : QString());
        } else if (m.member() == "close" || m.member() == "Close") {
            reply << 0;
        } else {
            connection.send(m.createErrorReply("org.freedesktop.DBus.Error.Failed", "refused"));
            return true;
        }
        connection.send(m.createReply(reply));
        return true;
    }

private:
    QDBusConnection bus_;
    bool unlocked_;
    bool collectionLocked_;
    bool walletOpen_;
    QString password_;
    mutable std::mutex mutex_;
    std::condition_variable released_;
    bool held_ = false;
    QStringList calls_;
    QThread thread_;
};

TEST_F(BrowserCookiesTest, KeyringValuesAreReadOnlyFromAnOpenKeyring) {
    const std::string password = "fZMUXBF0BF7bYHQ9+SZIAg==";
    struct Case {
        const char* name;
        bool secrets, unlocked, wallet, walletOpen, kde;
        const char* password;
        bool sent;
        bool collectionLocked = false;
        bool expired = false;  // the keyring's cookie has expired: the keyring is not asked
    } cases[] = {
        {"unlocked secret service", true, true, false, false, false, password.c_str(), true},
        {"locked secret service", true, false, false, false, false, password.c_str(), false},
        {"unlocked item, locked collection", true, true, false, false, false, password.c_str(),
         false, true},
        {"another key", true, true, false, false, false, "another", false},
        {"open wallet", false, false, true, true, true, password.c_str(), true},
        {"closed wallet", false, false, true, false, true, password.c_str(), false},
        {"no keyring", false, false, false, false, false, password.c_str(), false},
        {"expired", true, true, true, true, false, password.c_str(), false, false, true},
    };
    testsupport::PrivateBus bus;
    ASSERT_FALSE(bus.Address().empty());
    int home = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UseHome(std::to_string(++home));
        {
            Db db(Home(".config/chromium/Default/Cookies"));
            db.Script(kChromiumSchema);
            db.Exec("INSERT INTO meta VALUES ('version', '24'), ('last_compatible_version', '24')");
            const std::string plain = Sha256(".youtube.com") + "k1";
            AddChromium(db, {".youtube.com", "/", "KEYRING", "", c.expired ? kPast : kFuture, false,
                             Encrypt(plain, password, "v11")});
            AddChromium(db, {".youtube.com", "/", "FIXED", "", kFuture, false, Encrypt(plain)});
        }
        StandInKeyring keyring(bus.Address(), c.secrets, c.unlocked, c.wallet, c.walletOpen,
                               c.password, c.collectionLocked);
        setenv("DBUS_SESSION_BUS_ADDRESS", bus.Address().c_str(), 1);
        c.kde ? setenv("XDG_CURRENT_DESKTOP", "KDE", 1) : unsetenv("XDG_CURRENT_DESKTOP");
        const auto received = Load({kWatch});
        ASSERT_EQ(received.size(), 1u);
        std::vector<std::string> expected{"FIXED=k1"};
        if (c.sent) {
            expected.push_back("KEYRING=k1");
        }
        EXPECT_EQ(SentCookies(received[0]), expected);
        // Nothing is unlocked, and a closed wallet is not opened (which would ask for its
        // password).
        EXPECT_FALSE(keyring.Calls().contains("Unlock"));
        EXPECT_EQ(keyring.Calls().contains("open"), c.walletOpen && !c.expired)
            << keyring.Calls().join(' ').toStdString();
        // A secret is asked for only from an unlocked collection, and an expired cookie asks
        // nothing at all.
        const QString calls = keyring.Calls().join(' ');
        EXPECT_EQ(calls.contains("GetSecret"),
                  c.secrets && c.unlocked && !c.collectionLocked && !c.expired)
            << calls.toStdString();
        EXPECT_TRUE(!c.expired || calls.isEmpty()) << calls.toStdString();
    }
}

TEST_F(BrowserCookiesTest, ASlowKeyringLeavesTheWindowFreeAndStopActsAtOnce) {
    const std::string password = "fZMUXBF0BF7bYHQ9+SZIAg==";
    {
        Db db(Home(".config/chromium/Default/Cookies"));
        db.Script(kChromiumSchema);
        db.Exec("INSERT INTO meta VALUES ('version', '24'), ('last_compatible_version', '24')");
        AddChromium(db, {".youtube.com", "/", "KEYRING", "", kFuture, false,
                         Encrypt(Sha256(".youtube.com") + "k1", password, "v11")});
    }
    testsupport::PrivateBus bus;
    ASSERT_FALSE(bus.Address().empty());
    StandInKeyring keyring(bus.Address(), true, true, false, false, password.c_str());
    keyring.Hold();
    setenv("DBUS_SESSION_BUS_ADDRESS", bus.Address().c_str(), 1);
    LoopbackServer proxy({Answer(kPage)});
    setenv("http_proxy", ("127.0.0.1:" + proxy.PortText()).c_str(), 1);
    BrowserSession session;
    unsetenv("http_proxy");
    TWebBrowser browser(session);
    browser.Navigate(kWatch);
    // The keyring has the question and keeps it: the window's thread runs on, and Stop ends
    // the load before anything was sent.
    ASSERT_TRUE(testsupport::PumpUntil([&] { return !keyring.Calls().isEmpty(); }));
    EXPECT_EQ(browser.ReadyState(), TWebBrowser::READYSTATE_LOADING);
    browser.Navigate2("about:blank");
    EXPECT_EQ(browser.ReadyState(), TWebBrowser::READYSTATE_COMPLETE);
    // The answer, once it comes, serves the next load.
    keyring.Release();
    browser.Navigate(kWatch);
    ASSERT_TRUE(testsupport::PumpUntil(
        [&] { return browser.ReadyState() == TWebBrowser::READYSTATE_COMPLETE; }));
    ASSERT_EQ(proxy.AcceptedCount(), 1);
    EXPECT_EQ(SentCookies(proxy.Received(0)), std::vector<std::string>{"KEYRING=k1"});
}

TEST_F(BrowserCookiesTest, ARedirectTakesItsHostAndWhatTheSiteSetsStands) {
    const std::string path = ".mozilla/firefox/p.default/cookies.sqlite";
    WriteProfilesIni(".mozilla/firefox", "[Profile0]\nIsRelative=1\nPath=p.default\n");
    {
        Db db(Home(path));
        db.Script(kFirefoxSchema);
        AddFirefox(db, {".youtube.com", "/", "SID", "stored", kFuture});
        AddFirefox(db, {"www.youtube.com", "/", "WWW", "w", kFuture});
    }
    const std::string before = testsupport::ReadFile(Home(path));
    const auto received =
        Load({"http://youtube.com/", "http://m.youtube.com/"},
             {Answer("HTTP/1.1 302 Found\r\nLocation: http://www.youtube.com/home\r\n"
                     "Set-Cookie: SID=fresh; Domain=.youtube.com; Path=/\r\n"
                     "Content-Length: 0\r\n\r\n"),
              Answer(kPage)});
    ASSERT_EQ(received.size(), 3u);
    EXPECT_EQ(SentCookies(received[0]), std::vector<std::string>{"SID=stored"});
    EXPECT_EQ(SentCookies(received[1]), (std::vector<std::string>{"SID=fresh", "WWW=w"}));
    EXPECT_EQ(SentCookies(received[2]), std::vector<std::string>{"SID=fresh"});
    EXPECT_EQ(testsupport::ReadFile(Home(path)), before);
}

TEST_F(BrowserCookiesTest, BrokenStoresGiveNoCookies) {
    WriteProfilesIni(".mozilla/firefox", "[Profile0]\nPath=p\nDefault=1\n");
    Touch(".mozilla/firefox/p/cookies.sqlite",
          std::string("SQLite format 3\0garbage", 24) + std::string(4096, '\xee'));
    Db unknown(Home(".config/chromium/Default/Cookies"));
    unknown.Script(
        "CREATE TABLE cookies(host_key TEXT, name TEXT, value TEXT);"
        "INSERT INTO cookies VALUES ('.youtube.com', 'A', 'x');");
    const auto received = Load({kWatch});
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(SentCookies(received[0]), std::vector<std::string>{}) << received[0];
}

TEST_F(BrowserCookiesTest, StoresAreFoundWhereTheBrowsersKeepThem) {
    WriteProfilesIni(".mozilla/firefox", "[Profile0]\nPath=old\n");
    WriteProfilesIni(".config/mozilla/firefox", "[Install1]\nDefault=new\n");
    WriteProfilesIni("xdg/mozilla/firefox", "[Profile0]\nPath=x\n");
    WriteProfilesIni("snap/firefox/common/.mozilla/firefox",
                     "[Profile0]\nIsRelative=1\nPath=a\n[Profile1]\nIsRelative=0\nPath=" + home_ +
                         "/elsewhere/p\nDefault=1\n");
    for (const char* file :
         {".mozilla/firefox/old/cookies.sqlite", ".config/mozilla/firefox/new/cookies.sqlite",
          "xdg/mozilla/firefox/x/cookies.sqlite",
          "snap/firefox/common/.mozilla/firefox/a/cookies.sqlite", "elsewhere/p/cookies.sqlite",
          ".config/chromium/Default/Cookies", ".config/chromium/Default/Network/Cookies",
          ".config/google-chrome/Default/Cookies"}) {
        Touch(file);
    }
    for (const std::string configHome : {"", "xdg"}) {
        std::vector<std::string> found;
        for (const platform::CookieStore& store :
             platform::FindCookieStores(home_, configHome.empty() ? "" : Home(configHome))) {
            found.push_back(store.path.substr(home_.size() + 1) + " " +
                            store.safeStorage.application);
        }
        EXPECT_EQ(found, (std::vector<std::string>{
                             ".mozilla/firefox/old/cookies.sqlite ",
                             (configHome.empty() ? ".config" : configHome) + "/mozilla/firefox/" +
                                 (configHome.empty() ? "new" : "x") + "/cookies.sqlite ",
                             "elsewhere/p/cookies.sqlite ",
                             ".config/chromium/Default/Network/Cookies chromium",
                             ".config/google-chrome/Default/Cookies chrome"}));
    }
}

TEST(BrowserFiles, ProfilesLocksAndWalletSettingsReadAsTheirOwnersMeanThem) {
    const struct {
        const char* ini;
        std::optional<std::string> path;
        bool relative;
    } profiles[] = {
        {"[Profile0]\nPath=a\n[Profile1]\nPath=b\nDefault=1\n[Install9]\nDefault=c\n", "c", true},
        {"[profile0]\r\npath = a\r\n[PROFILE1]\r\nPATH=b\r\nDefault=1\r\n", "b", true},
        {"; x\n[Profile0]\nIsRelative=0\nPath=/p/a\n", "/p/a", false},
        {"[Profile0]\nPath=/p/a\n", "/p/a", false},
        {"[Install1]\nDefault=/p/i\n", "/p/i", false},
        {"[Profile0]\nPath=a\nPath=b\n", "a", true},
        {"[ProfileX]\nPath=a\n[Profile0]\nPath=\n[General]\nPath=g\n", std::nullopt, true},
        {"Path=a\n", std::nullopt, true},
    };
    for (const auto& c : profiles) {
        SCOPED_TRACE(c.ini);
        const auto profile = platform::DefaultFirefoxProfile(c.ini);
        ASSERT_EQ(profile.has_value(), c.path.has_value());
        if (profile) {
            EXPECT_EQ(profile->path, *c.path);
            EXPECT_EQ(profile->relative, c.relative);
        }
    }
    const struct {
        const char* target;
        const char* host;
        std::optional<long> pid;
    } locks[] = {
        // This host, another one and dead pids are told apart in the page loads above.
        {"my-desk-7", "my-desk", 7},
        {"vm-", "vm", {}},
        {"vm-12x", "vm", {}},
        {"vm-+5", "vm", {}},
    };
    for (const auto& c : locks) {
        EXPECT_EQ(platform::ChromiumLockHolder(c.target, c.host), c.pid) << c.target;
    }
    const struct {
        const char* kwalletrc;
        bool withoutPrompt;
    } wallets[] = {
        {"", true},
        {"[Wallet]\nEnabled=true\nPrompt on Open=false\n", true},
        {"[Wallet]\nEnabled=false\n", false},
        {"[Wallet]\nPrompt on Open=true\n", false},
        {"[Wallet]\nPrompt on Open=true\n[Auto Allow]\nkdewallet=Chromium, Tamberlo\n", true},
        {"[Wallet]\nPrompt on Open=true\n[Auto Allow]\nother=Tamberlo\n", false},
    };
    for (const auto& c : wallets) {
        EXPECT_EQ(platform::KWalletOpensWithoutPrompt(c.kwalletrc, "kdewallet", "Tamberlo"),
                  c.withoutPrompt)
            << c.kwalletrc;
    }
}

// A value as Chromium 156 stored it with GNOME Keyring, and the password it kept there.
TEST(BrowserFiles, StoredValuesDecryptOnlyWithTheirKeyAndDomain) {
    const std::string stored = QByteArray::fromHex(
                                   "763131D522E2312A9D6517F015BCE0AD60DB879A6B7DFCB2C1F2FC3950A58"
                                   "0B8464C3BB72E51F6BE94D2EE0F2EB6E545A0E701")
                                   .toStdString();
    const auto keyring = platform::DeriveChromiumKey("fZMUXBF0BF7bYHQ9+SZIAg==");
    const auto fixed = platform::FixedChromiumKey();
    ASSERT_TRUE(keyring && fixed);
    const std::string v10 = Encrypt("plain");
    const struct {
        std::string encrypted;
        platform::ChromiumKey key;
        const char* host;
        bool digest;
        std::optional<std::string> plain;
    } cases[] = {
        {stored, *keyring, "127.0.0.1", true, "p-value-123"},
        {stored, *keyring, "127.0.0.2", true, std::nullopt},
        {stored, *fixed, "127.0.0.1", true, std::nullopt},
        {stored.substr(0, stored.size() - 16), *keyring, "127.0.0.1", true, std::nullopt},
        {"v12" + stored.substr(3), *keyring, "127.0.0.1", true, std::nullopt},
        {v10, *fixed, "", false, "plain"},
        {v10, *fixed, "", true, std::nullopt},
        {"v10", *fixed, "", false, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platform::DecryptChromiumValue(c.encrypted, c.key, c.host, c.digest), c.plain)
            << c.host << " " << c.encrypted.size();
    }
}

}  // namespace
