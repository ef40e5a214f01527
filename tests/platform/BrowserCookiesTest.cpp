// The user's browser cookies in page loads: stores in the browsers' own schemas in a fresh
// home, loaded through the system proxy so that the host is a real name.

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sqlite3.h>

#include <QDateTime>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "platform/BrowserCookies.h"
#include "platform/WebBrowser.h"
#include "tests/support/LoopbackServer.h"
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

// As Chromium encrypts without a keyring.
std::string EncryptV10(const std::string& plain) {
    unsigned char key[16];
    PKCS5_PBKDF2_HMAC("peanuts", 7, reinterpret_cast<const unsigned char*>("saltysalt"), 9, 1,
                      EVP_sha1(), 16, key);
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
    return "v10" + out;
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
        for (const char* name : {"HOME", "TMPDIR"}) {
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

TEST_F(BrowserCookiesTest, ChromiumValuesArePlainOrDecryptedWithTheFixedKey) {
    struct Case {
        const char* database;
        int version;  // from 24 on, the host's digest comes before the encrypted value
    } cases[] = {
        {".config/chromium/Default/Cookies", 23},
        {".config/google-chrome/Default/Network/Cookies", 24},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.database);
        UseHome(std::to_string(c.version));
        {
            Db db(Home(c.database));
            db.Script(kChromiumSchema);
            db.Exec("INSERT INTO meta VALUES ('version', ?), ('last_compatible_version', ?)",
                    {std::to_string(c.version), std::to_string(c.version)});
            const std::string prefix = c.version >= 24 ? Sha256(".youtube.com") : "";
            const Row rows[] = {
                {".youtube.com", "/", "PLAIN", "p1", kFuture},
                {".youtube.com", "/", "ENCRYPTED", "", kFuture, false, EncryptV10(prefix + "e1")},
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
        const auto received = Load({kWatch});
        ASSERT_EQ(received.size(), 1u);
        EXPECT_EQ(SentCookies(received[0]),
                  (std::vector<std::string>{"ENCRYPTED=e1", "PLAIN=p1", "SESSION=s1"}))
            << received[0];
    }
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
    WriteProfilesIni("snap/firefox/common/.mozilla/firefox",
                     "[Profile0]\nIsRelative=1\nPath=a\n[Profile1]\nIsRelative=0\nPath=" + home_ +
                         "/elsewhere/p\nDefault=1\n");
    for (const char* file :
         {"snap/firefox/common/.mozilla/firefox/a/cookies.sqlite", "elsewhere/p/cookies.sqlite",
          ".config/chromium/Default/Cookies", ".config/chromium/Default/Network/Cookies",
          ".config/google-chrome/Default/Cookies"}) {
        Touch(file);
    }
    std::vector<std::string> found;
    for (const platform::CookieStore& store : platform::FindCookieStores(home_)) {
        found.push_back(store.path.substr(home_.size() + 1));
    }
    EXPECT_EQ(found, (std::vector<std::string>{"elsewhere/p/cookies.sqlite",
                                               ".config/chromium/Default/Network/Cookies",
                                               ".config/google-chrome/Default/Cookies"}));
}

}  // namespace
