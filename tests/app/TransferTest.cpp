// The video file transfer against servers as they behave: cuts continued with ranges, a file
// fetched over several connections, a file that changes under the transfer, a part left by an
// earlier run, and servers that cannot continue anything. The output folder is looked at
// after every run.

#include <QDir>

#include "tests/app/RunFixture.h"

using namespace runtest;

namespace {

std::set<std::string> Names(const std::string& folder) {
    std::set<std::string> names;
    for (const QString& name : QDir(QString::fromStdString(folder)).entryList(QDir::Files)) {
        names.insert(name.toStdString());
    }
    return names;
}

std::shared_ptr<const std::string> Blob(std::size_t size, char salt = 0) {
    std::string bytes = testsupport::PseudoRandomBytes(size);
    bytes[0] = salt;
    return std::make_shared<const std::string>(std::move(bytes));
}

constexpr std::size_t kKiB = 1024;
constexpr std::size_t kMiB = 1024 * kKiB;

TEST_F(Run, TheTransferContinuesWhatServersAllowAndNeverSplicesTwoVersions) {
    const auto small = Blob(300 * kKiB);
    const auto large = Blob(6 * kMiB);
    const auto changed = Blob(6 * kMiB, 1);
    struct Case {
        const char* name;
        Reply reply;
        int connections;
        std::map<std::string, std::string> before;  // in the output folder before the run
        std::shared_ptr<const std::string> want;    // the file afterwards; null: none
        bool incomplete;                            // the job's error line
        std::size_t ranged;                         // requests with Range and If-Range, at least
        bool reconnecting;                          // the attempt was shown in the window
        int together;                               // connections seen open at once, at least
    };
    const Case cases[] = {
        {"a cut with ranges is continued where it broke",
         Reply::Body(small, "video/x-flv").Ranges().ResetAfter(100 * kKiB).FaultTimes(2),
         4,
         {},
         small,
         false,
         2,
         true,
         0},
        {"a cut without ranges is reported and leaves nothing behind",
         Reply::Body(small, "video/x-flv").ShortAfter(100 * kKiB),
         4,
         {},
         nullptr,
         true,
         0,
         false,
         0},
        {"a large file comes over several connections",
         Reply::Body(large, "video/x-flv").Ranges().Rate(3 * kMiB),
         4,
         {},
         large,
         false,
         3,
         false,
         3},
        {"a file that changes under the transfer is started over, never spliced",
         Reply::Body(large, "video/x-flv")
             .Ranges()
             .Rate(8 * kMiB)
             .ChangesAfter(1, changed, "\"v2\""),
         4,
         {},
         changed,
         false,
         0,
         false,
         0},
        {"a part with a record of another file is started over",
         Reply::Body(small, "video/x-flv").Ranges(),
         1,
         {{"Cut.flv.part", std::string(300 * kKiB, 'x')},
          {"Cut.flv.part.meta", "tamberlo-part 1\nlength 300\nvalidator \"zz\"\ndone 0-300\n"}},
         small,
         false,
         0,
         false,
         0},
        {"a part with a record that is garbage is started over",
         Reply::Body(small, "video/x-flv").Ranges(),
         1,
         {{"Cut.flv.part", std::string(300 * kKiB, 'x')}, {"Cut.flv.part.meta", "\x01\x02"}},
         small,
         false,
         0,
         false,
         0},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir out;
        for (const auto& [name, bytes] : c.before) {
            WriteFile(out.File(name), bytes);
        }
        form_->eOutputFolder->setText(QString::fromStdString(out.Path()));
        const OwnPage page = AddYouTubePage(site_, "cutfile000" + std::to_string(++n), "Cut");
        site_.Route(page.file, c.reply);
        form_->Connections = c.connections;
        NewJobs(0, {page.job});
        site_.ClearRequests();
        dialogs_.messages.clear();
        bool reconnecting = false;
        int together = 0;
        Observe([&](TfrmDownload& w) {
            reconnecting |= w.lFileName->toolTip().toStdString().starts_with(
                "Reconnecting, attempt 2 of 10 ...");
            together = std::max(together, site_.OpenConnections());
        });
        Start();
        Observe({});
        EXPECT_EQ(reconnecting, c.reconnecting);
        EXPECT_GE(together, c.together);
        if (c.want) {
            EXPECT_EQ(Names(out.Path()), std::set<std::string>{"Cut.flv"});
            EXPECT_TRUE(ReadFile(out.File("Cut.flv")) == *c.want);
        } else {
            EXPECT_EQ(Names(out.Path()), std::set<std::string>{});
        }
        EXPECT_EQ(ErrorLines(),
                  c.incomplete
                      ? std::vector<std::string>{"Download incomplete: Cut.flv from " + page.job}
                      : std::vector<std::string>{});
        std::size_t ranged = 0;
        for (std::size_t i = 0; i < site_.RequestCount(); ++i) {
            if (!site_.Header(i, "Range").empty()) {
                ranged += site_.Header(i, "If-Range").empty() ? 0 : 1;
            }
        }
        EXPECT_GE(ranged, c.ranged);
    }
}

TEST_F(Run, AStoppedDownloadIsContinuedByTheNextRunUnderANewAddress) {
    // The page gives a new token on every load; the file is known by its tag and length.
    const auto body = Blob(8 * kMiB);
    const OwnPage first = AddYouTubePage(site_, "resume00001", "Resumed");
    const OwnPage again = AddYouTubePage(site_, "resume00002", "Resumed");
    site_.Route(first.file, Reply::Body(body, "video/x-flv").Ranges().Rate(kMiB));
    site_.Route(again.file, Reply::Body(body, "video/x-flv").Ranges());
    form_->Connections = 4;
    NewJobs(0, {first.job});
    When([](TfrmDownload& w) { return w.TransferPosition() >= static_cast<std::int64_t>(kMiB); },
         [](TfrmDownload& w) { QTest::mouseClick(w.suiButton1, Qt::LeftButton); });
    Start();
    EXPECT_GE(site_.RequestCount(), 4u);
    // Stop closed every connection.
    QTRY_COMPARE_WITH_TIMEOUT(site_.OpenConnections(), 0, 2000);
    EXPECT_EQ(Names(out_), (std::set<std::string>{"Resumed.flv.part", "Resumed.flv.part.meta"}));

    site_.ClearRequests();
    NewJobs(0, {again.job});
    Start();
    EXPECT_EQ(Names(out_), std::set<std::string>{"Resumed.flv"});
    EXPECT_TRUE(ReadFile(Out("Resumed.flv")) == *body);
    EXPECT_EQ(ErrorLines(), std::vector<std::string>{});
    std::size_t fileRequests = 0;
    for (std::size_t i = 0; i < site_.RequestCount(); ++i) {
        if (site_.RecordedRequests()[i].address == FixtureSite::NormaliseAddress(again.file)) {
            ++fileRequests;
            EXPECT_NE(site_.Header(i, "Range"), "") << i;
            EXPECT_EQ(site_.Header(i, "If-Range"), "\"v1\"") << i;
        }
    }
    EXPECT_GE(fileRequests, 1u);
}

TEST_F(Run, EveryAddressOfTheTransferTakesItsOwnProxyRoute) {
    // The file moves to a host named in no_proxy: that host is reached directly.
    const auto body = Blob(200 * kKiB);
    const OwnPage page = AddYouTubePage(site_, "direct00001", "Direct");
    const std::string direct = "http://127.0.0.1:" + std::to_string(site_.Port()) + "/direct.flv";
    site_.Route(page.file, Reply::Redirect(direct));
    site_.Route(direct, Reply::Body(body, "video/x-flv"));
    setenv("no_proxy", "127.0.0.1", 1);
    NewJobs(0, {page.job});
    Start();
    unsetenv("no_proxy");
    EXPECT_TRUE(ReadFile(Out("Direct.flv")) == *body);
    ASSERT_FALSE(site_.Requests().empty());
    EXPECT_EQ(site_.Requests().back(), "GET /direct.flv HTTP/1.1");
}

}  // namespace
