// Whole runs: every stage, the quality table, the checks of Start, and the failures that each
// end in an error line while the run goes on.

#include <QAccessible>

#include "tests/app/RunFixture.h"

using namespace runtest;

namespace {

TEST_F(Run, StartChecksTheListAndTheFolderFirst) {
    for (int mode : {0, 1, 2}) {
        SetMode(mode);
        form_->bStartClick();
    }
    ASSERT_EQ(dialogs_.messages.size(), 3u);
    EXPECT_EQ(dialogs_.messages[0].text, "Please enter video URL!");
    EXPECT_EQ(dialogs_.messages[1].text, "Please enter video URL!");
    EXPECT_EQ(dialogs_.messages[2].text, "Please select a local video file!");
    EXPECT_EQ(dialogs_.messages[2].caption, "Tamberlo");

    SetMode(0);
    AddJobs({kMetacafe});
    const std::string nested = dir_.File("new/deeper");
    form_->eOutputFolder->setText(QString::fromStdString(nested));
    dialogs_.answers = {platform::MsgAnswer::No};
    form_->bStartClick();
    EXPECT_EQ(dialogs_.messages.back().text,
              nested + ", the output directory does not exist.\r\ncreates a new directory?");
    EXPECT_EQ(dialogs_.messages.back().buttons, platform::MsgButtons::YesNo);
    EXPECT_FALSE(platform::DirectoryExists(dir_.File("new")));
    EXPECT_EQ(form_->OutputDirectory, nested);
    EXPECT_EQ(site_.RequestCount(), 0u);

    WriteFile(dir_.File("plain"), "");
    form_->eOutputFolder->setText(QString::fromStdString(dir_.File("plain/sub")));
    dialogs_.answers = {platform::MsgAnswer::Yes};
    form_->bStartClick();
    EXPECT_EQ(dialogs_.messages.back().text, "Cannot create " + dir_.File("plain/sub"));
    EXPECT_EQ(dialogs_.messages.back().icon, platform::MsgIcon::Error);

    form_->eOutputFolder->setText(QString::fromStdString(nested));
    dialogs_.answers = {platform::MsgAnswer::Yes};
    Start();
    EXPECT_TRUE(ReadFile(nested + "/Funny Cats Compilation.flv") == *content_.flv);
}

TEST_F(Run, DownloadsFromAllThreeSitesAndKeepsTheJobList) {
    // A local file left from the convert mode is no video page: it is passed over silently.
    WriteFile(dir_.File("local.flv"), "x");
    SetMode(2);
    dialogs_.fileChoices = {std::vector<std::string>{dir_.File("local.flv")}};
    form_->bSelectFileClick();
    SetMode(0);
    AddJobs({kYouTubeHd, kMetacafe, kGoogle});
    form_->lvMain->setCurrentItem(form_->lvMain->topLevelItem(2));
    const auto jobsBefore = form_->Jobs();
    Start();
    EXPECT_TRUE(dialogs_.messages.empty());
    EXPECT_TRUE(ReadFile(Out(kYouTubeHdName + ".flv")) == *content_.flv);
    EXPECT_TRUE(ReadFile(Out("Funny Cats Compilation.flv")) == *content_.flv);
    EXPECT_TRUE(ReadFile(Out("Mountain Bike Descent.mp4")) == *content_.flv);
    EXPECT_EQ(form_->Jobs(), jobsBefore);
    EXPECT_EQ(form_->SelectedJob(), 0);
    // Pages come through the browser, files through the program's own client, both by proxy.
    const auto requests = site_.RecordedRequests();
    ASSERT_EQ(requests.size(), 6u);
    EXPECT_EQ(requests[0].line, "GET " + kYouTubeHd + " HTTP/1.1");
    EXPECT_EQ(site_.Header(0, "User-Agent"), platform::BrowserSession::kUserAgent);
    EXPECT_EQ(requests[1].line, "GET " + kYouTubeHdFile + " HTTP/1.1");
    EXPECT_EQ(site_.Header(1, "User-Agent"), "Mozilla/3.0 (compatible)");
    EXPECT_EQ(requests[3].line, "GET " + kMetacafeFile + " HTTP/1.1");
}

TEST_F(Run, QualityChoosesTheFileAndBestAvailableFallsBack) {
    struct Case {
        const char* name;
        int quality;
        std::string job;
        std::vector<std::string> failing;    // file addresses that answer 404
        std::vector<std::string> requested;  // file addresses asked for, in order
        std::string stored;                  // the stored file, empty: none
        std::shared_ptr<const std::string> bytes;
        int errorLines;
    };
    const Case cases[] = {
        {"HQ on Metacafe",
         1,
         kMetacafe,
         {},
         {kMetacafeFile + "&fmt=18"},
         "Funny Cats Compilation.mp4",
         content_.mp4,
         0},
        {"HD with high definition",
         2,
         kYouTubeHd,
         {},
         {kYouTubeHdFile + "&fmt=22"},
         kYouTubeHdName + ".mp4",
         content_.hdMp4,
         0},
        {"best without high definition",
         3,
         kYouTubeSd,
         {},
         {kYouTubeSdFile + "&fmt=18"},
         "Plain title  the third form.mp4",
         content_.mp4,
         0},
        {"best falls back to FLV",
         3,
         kYouTubeHd,
         {kYouTubeHdFile + "&fmt=22"},
         {kYouTubeHdFile + "&fmt=22", kYouTubeHdFile},
         kYouTubeHdName + ".flv",
         content_.flv,
         0},
        {"best fails twice",
         3,
         kYouTubeHd,
         {kYouTubeHdFile + "&fmt=22", kYouTubeHdFile},
         {kYouTubeHdFile + "&fmt=22", kYouTubeHdFile},
         "",
         nullptr,
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir out;
        form_->eOutputFolder->setText(QString::fromStdString(out.Path()));
        form_->miRemoveAllClick();
        AddJobs({c.job});
        form_->Quality = c.quality;
        testsupport::LoadDefaultSite(site_);
        for (const auto& address : c.failing) {
            site_.Route(address, Reply::Status(404));
        }
        site_.ClearRequests();
        dialogs_.messages.clear();
        Start();
        std::vector<std::string> files;
        for (const auto& r : site_.RecordedRequests()) {
            if (r.address.find("get_video") != std::string::npos ||
                r.address.find("ItemFiles") != std::string::npos) {
                files.push_back(r.line.substr(4, r.line.size() - 4 - 9));
            }
        }
        EXPECT_EQ(files, c.requested);
        if (!c.stored.empty()) {
            EXPECT_TRUE(ReadFile(out.File(c.stored)) == *c.bytes);
        }
        ASSERT_EQ(ErrorLines().size(), static_cast<std::size_t>(c.errorLines));
        if (c.errorLines > 0) {
            EXPECT_EQ(ErrorLines()[0], "Download failed: " + kYouTubeHdName + ".flv from " +
                                           kYouTubeHd + " (404 Not Found)");
        }
    }
}

TEST_F(Run, EveryFailedJobLeavesOneErrorLineAndTheRunGoesOn) {
    const OwnPage missing = AddYouTubePage(site_, "missing0001", "Missing");
    const OwnPage cut = AddYouTubePage(site_, "cut00000001", "Cut short");
    const OwnPage reset = AddYouTubePage(site_, "reset000001", "Reset");
    const OwnPage chunks = AddYouTubePage(site_, "chunks00001", "Chunks");
    const OwnPage blocked = AddYouTubePage(site_, "blocked0001", "Blocked");
    const OwnPage large = AddYouTubePage(site_, "large000001", "Too large");
    site_.Route(missing.file, Reply::Status(404));
    site_.Route(cut.file, Reply::Body(content_.flv, "video/x-flv").ShortAfter(1000));
    site_.Route(reset.file, Reply::Body(content_.flv, "video/x-flv").ResetAfter(5000));
    site_.Route(chunks.file, Reply::Body(content_.flv, "video/x-flv").CutBeforeLastChunk());
    site_.Route(blocked.file, Reply::Body(content_.flv, "video/x-flv"));
    site_.Route(large.file, Reply::Body(testsupport::PseudoRandomBytes(200000), "video/x-flv"));
    // A folder where the file should go: it cannot be created.
    std::filesystem::create_directory(Out(blocked.name));
    AddJobs({missing.job, cut.job, kUnavailable, reset.job, chunks.job, blocked.job, large.job,
             kMetacafe});
    // Files may not grow past 100,000 bytes, as on a nearly full disk: only the "Too large"
    // file is larger.
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{100000, RLIM_INFINITY};
    setrlimit(RLIMIT_FSIZE, &limit);
    Start();
    limit.rlim_cur = RLIM_INFINITY;
    setrlimit(RLIMIT_FSIZE, &limit);
    const std::vector<std::string> expected = {
        "Download failed: " + missing.name + " from " + missing.job + " (404 Not Found)",
        "Download incomplete: " + cut.name + " from " + cut.job,
        "Unable get html from " + kUnavailable,
        "Download incomplete: " + reset.name + " from " + reset.job,
        "Download incomplete: " + chunks.name + " from " + chunks.job,
        "Cannot create " + blocked.name + " from " + blocked.job +
            " (a folder of that name is in the way)",
        "Cannot write " + large.name + " from " + large.job +
            " (the file is larger than the disk allows)",
    };
    EXPECT_EQ(ErrorLines(), expected);
    ASSERT_EQ(dialogs_.messages.size(), 1u);
    EXPECT_EQ(dialogs_.messages[0].icon, platform::MsgIcon::Information);
    // No part of a file that cannot be continued is left, under any name; the last job is whole.
    EXPECT_FALSE(std::filesystem::exists(Out(cut.name)));
    EXPECT_FALSE(std::filesystem::exists(Out(cut.name + ".part")));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(out_), {}), 2)
        << "the blocking folder and the last job's file";
    EXPECT_TRUE(ReadFile(Out("Funny Cats Compilation.flv")) == *content_.flv);
}

TEST_F(Run, DownloadAndConvertRunsTheRealConverterUntilAGooglePageEndsConverting) {
    const OwnPage broken = AddYouTubePage(site_, "broken00001", "Not a video");
    site_.Route(broken.file, Reply::Body("this is no video", "video/x-flv"));
    // A download cut short is no video to convert.
    const OwnPage cut = AddYouTubePage(site_, "cutconvert1", "Cut short");
    site_.Route(cut.file, Reply::Body(content_.flv, "video/x-flv").ShortAfter(20000));
    SetMode(1);
    form_->cbFormat->setCurrentIndex(kAviProfile);
    AddJobs({kYouTubeHd, broken.job, cut.job, kGoogle, kMetacafe});
    Start();
    EXPECT_EQ(ContainerOf(Out(kYouTubeHdName + ".avi")), "avi");
    EXPECT_EQ(ErrorLines(),
              (std::vector<std::string>{"Conversion failed: Not a video.avi from " + broken.job,
                                        "Download incomplete: " + cut.name + " from " + cut.job}));
    EXPECT_FALSE(platform::FileExists(Out("Cut short.avi")));
    EXPECT_FALSE(platform::FileExists(Out("Cut short.flv")));
    // From the Google Video page on, the run only downloads.
    EXPECT_TRUE(platform::FileExists(Out("Funny Cats Compilation.flv")));
    EXPECT_FALSE(platform::FileExists(Out("Funny Cats Compilation.avi")));
    EXPECT_FALSE(platform::FileExists(Out("Mountain Bike Descent.avi")));
    EXPECT_EQ(form_->ConvertProcess->LiveWatchers(), 0);
}

TEST_F(Run, ConvertModeConvertsLocalFilesOneAfterAnother) {
    TempDir local;
    const std::vector<std::string> files = {local.File("first.flv"), local.File("second.flv")};
    for (const auto& f : files) {
        WriteFile(f, *content_.flv);
    }
    SetMode(2);
    form_->cbFormat->setCurrentIndex(kAviProfile);
    dialogs_.fileChoices = {files};
    form_->bSelectFileClick();
    std::set<std::string> captions;
    Observe([&captions](TfrmDownload& w) { captions.insert(w.windowTitle().toStdString()); });
    Start();
    EXPECT_EQ(ContainerOf(Out("first.avi")), "avi");
    EXPECT_EQ(ContainerOf(Out("second.avi")), "avi");
    EXPECT_TRUE(dialogs_.messages.empty());
    EXPECT_EQ(site_.RequestCount(), 0u);
    EXPECT_TRUE(captions.count("Tamberlo (1/2)") == 1 && captions.count("Tamberlo (2/2)") == 1);
}

TEST_F(Run, StopEndsEveryStageAtOnce) {
    const OwnPage hung = AddYouTubePage(site_, "hungpage001", "Hung page");
    site_.Route(hung.job, Reply::Body("<html>").StallBeforeResponse());
    const OwnPage stalled = AddYouTubePage(site_, "stalled0001", "Stalled file");
    site_.Route(stalled.file, Reply::Body(content_.flv, "video/x-flv").StallAfter(1000));
    TempDir local;
    const std::string script = SlowConversion(local);
    struct Case {
        const char* stage;
        int mode;
        std::vector<std::string> jobs;
        std::function<bool(TfrmDownload&)> under_way;
        std::function<QPushButton*(TfrmDownload&)> stop;
        std::vector<std::string> errors;  // collected before the Stop
    };
    const Case cases[] = {
        {"page",
         0,
         {kUnavailable, hung.job, kMetacafe},
         [](TfrmDownload& w) {
             return w.JobIndex == 1 && w.CurrentBrowser != nullptr &&
                    w.CurrentBrowser->ReadyState() == 1;
         },
         [](TfrmDownload& w) { return w.bStop; },
         {"Unable get html from " + kUnavailable}},
        {"transfer",
         0,
         {stalled.job, kMetacafe},
         [](TfrmDownload& w) { return InTransfer(w) && w.HttpCli1->RcvdCount() == 1000; },
         [](TfrmDownload& w) { return w.suiButton1; },
         {}},
        {"conversion",
         2,
         {script, local.File("never.flv")},
         [](TfrmDownload& w) { return w.suiProgressBar2->value() == 10; },
         [](TfrmDownload& w) { return w.suiButton2; },
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stage);
        NewJobs(c.mode, c.jobs);
        site_.ClearRequests();
        dialogs_.messages.clear();
        QElapsedTimer sinceStop;
        pid_t converter = 0;
        When(c.under_way, [&](TfrmDownload& w) {
            converter = form_->ConvertProcess->ProcessInfo.dwProcessId;
            sinceStop.start();
            QTest::mouseClick(c.stop(w), Qt::LeftButton);
        });
        Start();
        ASSERT_TRUE(sinceStop.isValid()) << "the stage was never seen under way";
        // At once: the stage's own wait is no reason to keep the window.
        EXPECT_LT(sinceStop.elapsed(), 1000);
        EXPECT_EQ(ErrorLines(), c.errors);
        EXPECT_FALSE(Requested(kMetacafe));
        if (c.mode == 2) {
            EXPECT_TRUE(converter > 0 && kill(converter, 0) != 0 && errno == ESRCH);
            EXPECT_FALSE(form_->ConvertProcess->Running);
            // And what the converter started itself.
            QTRY_VERIFY(Ended(std::stoi(ReadFile(Out("child.pid")))));
        }
    }
    // A stopped transfer that cannot be continued leaves nothing, and no file of the name.
    EXPECT_FALSE(std::filesystem::exists(Out(stalled.name)));
    EXPECT_FALSE(std::filesystem::exists(Out(stalled.name + ".part")));
}

TEST_F(Run, TheAgeGateStopsTheRunWithItsMessage) {
    AddJobs({kAgeGate, kMetacafe});
    Start();
    ASSERT_EQ(dialogs_.messages.size(), 1u);
    EXPECT_EQ(dialogs_.messages[0].text, AgeMessage());
    EXPECT_FALSE(Requested(kMetacafe));
}

TEST_F(Run, TheCloseBoxLetsTheTransferFinishAndEndsTheRun) {
    const OwnPage slow = AddYouTubePage(site_, "slowfile001", "Slow file");
    site_.Route(slow.file, Reply::Body(content_.flv, "video/x-flv").Trickle(8192, 40));
    AddJobs({slow.job, kMetacafe});
    When(InTransfer, [](TfrmDownload& w) { w.close(); });
    Start();
    EXPECT_TRUE(ReadFile(Out(slow.name)) == *content_.flv);
    EXPECT_FALSE(Requested(kMetacafe));
    EXPECT_TRUE(dialogs_.messages.empty());
}

TEST_F(Run, APageThatReadsAsTheCaptureFailureOnBothBrowsersEndsTheRun) {
    const OwnPage marker = AddYouTubePage(site_, "marker00001", "Marker");
    site_.Route(marker.job, Reply::Body(TfrmDownload::kCaptureFailed));
    AddJobs({marker.job, kMetacafe});
    Start();
    EXPECT_TRUE(dialogs_.messages.empty());
    EXPECT_FALSE(Requested(kMetacafe));
    // The first browser failed, the second was tried with a new navigation.
    EXPECT_EQ(site_.RequestCount(), 2u);
}

TEST_F(Run, EventsInsideTheTransferAreHarmless) {
    const OwnPage slow = AddYouTubePage(site_, "eventsfile1", "Events");
    site_.Route(slow.file, Reply::Body(content_.flv, "video/x-flv").Trickle(4096, 30));
    AddJobs({slow.job});
    form_->cbAutoCopy->click();
    When(InTransfer, [this](TfrmDownload& w) {
        platform::PostMessage(form_.get(), platform::WM_SECOND_INSTANCE);
        QGuiApplication::clipboard()->setText(QString::fromStdString(kMetacafe));
        w.bStopClick();
        w.bStopClick();
    });
    Start();
    // The new address joined the main window's list, not the run.
    EXPECT_EQ(form_->Jobs(), (std::vector<std::string>{slow.job, kMetacafe}));
    EXPECT_FALSE(Requested(kMetacafe));
    EXPECT_TRUE(form_->isVisible());
}

TEST_F(Run, TheTransferShowsSizeSpeedAndTimeRemaining) {
    // The first file has no length of its own behind a relocation that has one, and is cut
    // short; the second has a length. Both take over two seconds.
    const OwnPage plain = AddYouTubePage(site_, "nolength001", "No length");
    const OwnPage sized = AddYouTubePage(site_, "length00001", "Length");
    const std::string cdn = "http://cdn.youtube.com/nolength001.flv";
    site_.Route(plain.file, Reply::Redirect(cdn));
    site_.Route(cdn, Reply::Body(content_.flv, "video/x-flv")
                         .NoLength()
                         .Trickle(2048, 100)
                         .ShortAfter(content_.flv->size() - 4096));
    site_.Route(sized.file, Reply::Body(content_.flv, "video/x-flv").Trickle(2048, 100));
    AddJobs({plain.job, sized.job});
    std::map<std::string, std::set<std::string>> seen;
    bool busy = false;
    bool heard = true;
    bool fits = false;
    Observe([&](TfrmDownload& w) {
        if (w.Panel2->isVisible() && !w.lReceiveData->text().isEmpty()) {
            const std::string job = w.lFileName->toolTip().toStdString();
            seen[job + " size"].insert(w.lReceiveData->text().toStdString());
            seen[job + " speed"].insert(w.lReceiveSpeed->text().toStdString());
            seen[job + " time"].insert(w.lEstimateTime->text().toStdString());
            busy |= job == "Downloading: No length.flv ..." && w.suiProgressBar1->maximum() == 0;
            // What the screen shows is what assistive technology reads.
            for (QLabel* figure : {w.lReceiveData, w.lReceiveSpeed, w.lEstimateTime}) {
                heard &= figure->text().isEmpty() ||
                         QAccessible::queryAccessibleInterface(figure)->text(QAccessible::Name) ==
                             figure->text();
            }
            fits = w.lReceiveData->fontMetrics().horizontalAdvance(
                       QStringLiteral("9,765,625,000 KB of 9,765,625,000 KB received")) <=
                   w.lReceiveData->contentsRect().width();
        }
    });
    Start();
    const std::string first = "Downloading: No length.flv ...";
    const std::string second = "Downloading: Length.flv ...";
    auto any = [&seen](const std::string& key, const std::string& tail) {
        for (const auto& text : seen[key]) {
            if (text.size() > tail.size() &&
                text.compare(text.size() - tail.size(), tail.size(), tail) == 0) {
                return true;
            }
        }
        return false;
    };
    EXPECT_TRUE(any(first + " size", " KB of  received"));
    EXPECT_TRUE(busy);
    EXPECT_TRUE(heard);
    EXPECT_TRUE(fits);
    EXPECT_EQ(ErrorLines(),
              std::vector<std::string>{"Download incomplete: No length.flv from " + plain.job});
    EXPECT_EQ(seen[first + " time"], std::set<std::string>{""});
    EXPECT_GT(seen[first + " speed"].size(), 1u);  // blank until the first sample, then a rate
    EXPECT_TRUE(any(second + " size", " KB of 69 KB received"));
    EXPECT_TRUE(any(second + " speed", " KB/S"));
    bool clock = false;
    for (const auto& t : seen[second + " time"]) {
        clock = clock || (t.size() == 8 && t[2] == ':' && t[5] == ':');
    }
    EXPECT_TRUE(clock);
}

// The page stage's clock, fifty times as fast while it lives: waiting out an attempt takes
// 0.6 s instead of 30 s.
class FastPageClock {
public:
    FastPageClock() {
        TfrmDownload::PageClock = [] { return platform::GetTickCount() * 50u; };
    }
    ~FastPageClock() { TfrmDownload::PageClock = platform::GetTickCount; }
    FastPageClock(const FastPageClock&) = delete;
    FastPageClock& operator=(const FastPageClock&) = delete;
};

TEST_F(Run, AnAttemptEndsThirtySecondsAfterItsNavigationWhateverTheServerDoes) {
    const std::string loading = "http://www.metacafe.com/watch/3456789/waterfall_hike/";
    const Reply page = *site_.FindRoute(loading);
    struct Case {
        const char* name;
        Reply reply;
        std::string reason;
    };
    const Case cases[] = {
        // The page arrives but for its last byte, and its response never ends: the document
        // may still change.
        {"page never finishes", Reply(page).StallAfter(page.body->size() - 1),
         " (the page did not finish within 30 s)"},
        // The request is taken and never answered: no document ever exists.
        {"no byte of an answer", Reply(page).StallBeforeResponse(), " (no answer within 30 s)"},
    };
    FastPageClock fast;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        form_->miRemoveAllClick();
        site_.Route(loading, c.reply);
        site_.ClearRequests();
        dialogs_.messages.clear();
        AddJobs({loading, kMetacafe});
        Start();
        EXPECT_EQ(ErrorLines(),
                  std::vector<std::string>{"Unable get html from " + loading + c.reason});
        // Each attempt starts with a new navigation, and the batch goes on.
        EXPECT_EQ(site_.RequestCount(), 4u);
        EXPECT_TRUE(ReadFile(Out("Funny Cats Compilation.flv")) == *content_.flv);
        std::filesystem::remove(Out("Funny Cats Compilation.flv"));
    }
}

TEST_F(Run, ACompletePageIsJudgedAtOnce) {
    const std::string loading = "http://www.metacafe.com/watch/3456789/waterfall_hike/";
    const OwnPage busy = AddYouTubePage(site_, "busypage001", "Busy");
    site_.Route(busy.job, Reply::Status(503));
    const OwnPage plain = AddYouTubePage(site_, "plainpage01", "Plain");
    site_.Route(plain.job, Reply::Body("<html><head><title>YouTube - Plain</title></head><body>"
                                       "<script>var swfArgs = {\"t\": \"tokplainpage01\"};"
                                       "</script></body></html>"));
    site_.Route(plain.file, Reply::Body(content_.flv, "video/x-flv"));
    struct Case {
        std::string job;
        std::vector<std::string> errors;
        std::size_t requests;  // both attempts navigate anew
    };
    const Case cases[] = {
        {loading, {"Unable get html from " + loading}, 2},
        {busy.job, {"Unable get html from " + busy.job + " (503 Service Unavailable)"}, 2},
        // Resolved without the high-definition marker: handed on as soon as it is read.
        {plain.job, {}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.job);
        form_->miRemoveAllClick();
        AddJobs({c.job});
        site_.ClearRequests();
        dialogs_.messages.clear();
        QElapsedTimer clock;
        clock.start();
        Start();
        EXPECT_LT(clock.elapsed(), 5000);
        EXPECT_EQ(ErrorLines(), c.errors);
        EXPECT_EQ(site_.RequestCount(), c.requests);
    }
}

TEST_F(Run, ExistingFilesAreAskedAbout) {
    // A declined overwrite in mode 1 converts the file already there.
    WriteFile(Out(kYouTubeHdName + ".mp4"), *content_.mp4);
    SetMode(1);
    form_->cbFormat->setCurrentIndex(kAviProfile);
    form_->Quality = 1;
    AddJobs({kYouTubeHd});
    dialogs_.answers = {platform::MsgAnswer::No};
    Start();
    ASSERT_GE(dialogs_.messages.size(), 1u);
    EXPECT_EQ(dialogs_.messages[0].text, Out(kYouTubeHdName + ".mp4") + " has existed,overite it?");
    EXPECT_TRUE(dialogs_.messages[0].defaultNo);
    EXPECT_FALSE(Requested(kYouTubeHdFile + "&fmt=18"));
    EXPECT_EQ(ContainerOf(Out(kYouTubeHdName + ".avi")), "avi");

    // A converter output that another program holds open cannot be replaced.
    form_->miRemoveAllClick();
    SetMode(2);
    TempDir local;
    WriteFile(local.File("held.flv"), *content_.flv);
    WriteFile(Out("held.avi"), "old");
    platform::UniqueFd holder(open(Out("held.avi").c_str(), O_RDONLY | O_CLOEXEC));
    dialogs_.fileChoices = {std::vector<std::string>{local.File("held.flv")}};
    form_->bSelectFileClick();
    dialogs_.messages.clear();
    dialogs_.answers = {platform::MsgAnswer::Yes};
    Start();
    ASSERT_EQ(dialogs_.messages.size(), 2u);
    EXPECT_EQ(dialogs_.messages[1].text,
              "Video file will be created may be used, convert process failed!");
    EXPECT_EQ(dialogs_.messages[1].icon, platform::MsgIcon::Error);
    EXPECT_EQ(ReadFile(Out("held.avi")), "old");
}

}  // namespace
