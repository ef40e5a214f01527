// A run's lifetime against the hands that break it: closes at every stage and more than once,
// the main window's controls pressed through the accessibility interface while a run is open,
// and the user's files, which a run may neither destroy nor fake.

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QDir>
#include <QMenu>
#include <QProcess>

#include "app/AboutWindow.h"
#include "app/EndOnSignal.h"
#include "platform/EndSignals.h"
#include "tests/app/RunFixture.h"

using namespace runtest;

namespace {

void Press(QWidget* control) {
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(control);
    ASSERT_NE(accessible, nullptr);
    ASSERT_NE(accessible->actionInterface(), nullptr);
    accessible->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
}

// Items of the main window's menus pressed through the interface, each with the menus that lead
// to it open or closed; what pressing did is counted.
struct MenuPresses {
    explicit MenuPresses(TfrmMain& form) : form_(form) {}

    // Presses HD, Remove All and About.
    void PressAll(bool open) {
        const std::pair<QAction*, std::vector<QMenu*>> items[] = {
            {form_.HD1, {form_.suiPopupMenu1, form_.miYoutubeDownloadQuality}},
            {form_.miRemoveAll, {form_.suiPopupMenu2}},
            {form_.About1, {form_.suiPopupMenu1}},
        };
        for (const auto& [item, menus] : items) {
            if (open) {
                for (QMenu* menu : menus) {
                    menu->popup(form_.mapToGlobal(QPoint(40, 40)));
                }
            }
            // An About window that opens is counted and closed.
            QTimer::singleShot(100, [this] {
                for (auto* about : form_.findChildren<TfrmAbout*>()) {
                    abouts += about->isVisible();
                    about->close();
                }
            });
            QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(item);
            ASSERT_TRUE(accessible != nullptr && accessible->actionInterface() != nullptr);
            accessible->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
            QTest::qWait(150);
            for (QMenu* menu : menus) {
                menu->hide();
            }
        }
    }

    TfrmMain& form_;
    int abouts = 0;
};

// Every name in the folder, hidden ones too, with its bytes; a link as "-> TARGET".
std::map<std::string, std::string> Folder(const std::string& path) {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(path)) {
        const std::string name = entry.path().filename().string();
        files[name] = entry.is_symlink() ? "-> " + std::filesystem::read_symlink(entry).string()
                                         : ReadFile(entry.path().string());
    }
    return files;
}

TEST_F(Run, ClosesAtEveryStageEndTheRunOnceAfterTheStage) {
    const OwnPage hung = AddYouTubePage(site_, "hunglife001", "Hung");
    site_.Route(hung.job, Reply::Body("<html>").StallBeforeResponse());
    const OwnPage cut = AddYouTubePage(site_, "cutlife0001", "Cut late");
    site_.Route(cut.file, Reply::Body(content_.flv, "video/x-flv")
                              .Trickle(2048, 20)
                              .ShortAfter(content_.flv->size() / 2));
    TempDir local;
    const std::string slow = SlowConversion(local);
    struct Case {
        const char* stage;
        int mode;
        std::vector<std::string> jobs;
        std::function<bool(TfrmDownload&)> underWay;
        std::vector<std::string> errors;
    };
    const Case cases[] = {
        {"a page that never answers",
         0,
         {hung.job, kMetacafe},
         [](TfrmDownload& w) { return w.CurrentBrowser->ReadyState() == 1; },
         {}},
        // The transfer goes on to its end after the closes; its failure is still reported.
        {"a transfer cut short after the closes",
         0,
         {cut.job, kMetacafe},
         InTransfer,
         {"Download incomplete: " + cut.name + " from " + cut.job}},
        {"a conversion, which the close kills",
         2,
         {slow, local.File("never.flv")},
         [](TfrmDownload& w) { return w.suiProgressBar2->value() == 10; },
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stage);
        NewJobs(c.mode, c.jobs);
        dialogs_.messages.clear();
        site_.ClearRequests();
        pid_t converter = 0;
        bool stayed = false;
        When(c.underWay, [&](TfrmDownload& w) {
            converter = form_->ConvertProcess->ProcessInfo.dwProcessId;
            for (int i = 0; i < 3; ++i) {
                w.close();
                QCoreApplication::processEvents();
            }
            // Nothing closes while the stage runs, and the main window cannot be closed under it.
            form_->close();
            stayed = w.isVisible() && form_->isVisible();
        });
        Start();
        EXPECT_TRUE(stayed);
        EXPECT_EQ(ErrorLines(), c.errors);
        EXPECT_FALSE(Requested(kMetacafe));
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
        EXPECT_TRUE(form_->bStart->isEnabled());
        if (c.mode == 2) {
            EXPECT_TRUE(converter > 0 && kill(converter, 0) != 0 && errno == ESRCH);
            EXPECT_FALSE(platform::FileExists(Out("never.avi")));
        }
    }
}

TEST_F(Run, AnEndSignalStopsTheRunUnaskedAndEndsTheConverterWithWhatItStarted) {
    TempDir local;
    SlowConversion(local);
    form_->cbFormat->setCurrentIndex(kAviProfile);
    NewJobs(2, {local.File("slow.flv"), local.File("never.flv")});
    platform::EndSignals ending([this](int) { EndAsAsked(*form_); });
    pid_t converter = 0;
    When([](TfrmDownload& w) { return w.suiProgressBar2->value() == 10; },
         [&](TfrmDownload&) {
             converter = form_->ConvertProcess->ProcessInfo.dwProcessId;
             raise(SIGTERM);
         });
    Start();
    QTRY_VERIFY(!form_->isVisible());
    EXPECT_TRUE(dialogs_.messages.empty()) << "no box waits for a user who asked the end";
    ASSERT_GT(converter, 0);
    EXPECT_TRUE(Ended(converter));
    const std::string child = ReadFile(Out("child.pid"));
    ASSERT_FALSE(child.empty());
    QTRY_VERIFY(Ended(std::stoi(child)));
    EXPECT_FALSE(platform::FileExists(Out("slow.avi")));
    EXPECT_FALSE(platform::FileExists(Out("never.avi")));
}

TEST_F(Run, TheMainWindowsControlsDoNothingWhileARunIsOpen) {
    const OwnPage slow = AddYouTubePage(site_, "a11yfile001", "Pressed");
    site_.Route(slow.file, Reply::Body(content_.flv, "video/x-flv").Trickle(4096, 20));
    AddJobs({slow.job, kMetacafe});
    const std::string folder = form_->eOutputFolder->text().toStdString();
    int windows = 0;
    MenuPresses menus(*form_);
    When(InTransfer, [&](TfrmDownload& w) {
        for (QWidget* control : std::initializer_list<QWidget*>{
                 form_->bExit, form_->bStart, form_->bBrowser, form_->bSelectFile,
                 form_->bShowFiles, form_->rbConvert, form_->cbAutoCopy, form_->bRemove}) {
            Press(control);
        }
        // Menu items act neither from a closed menu nor from an open one behind the run.
        menus.PressAll(false);
        menus.PressAll(true);
        QTest::qWait(300);  // a press shows itself for a moment before it acts
        windows = static_cast<int>(form_->findChildren<TfrmDownload*>().size());
        EXPECT_TRUE(form_->ConvertProcess != nullptr);
        QTest::mouseClick(w.suiButton1, Qt::LeftButton);
    });
    Start();
    EXPECT_EQ(windows, 1);
    EXPECT_TRUE(form_->isVisible());
    EXPECT_TRUE(dialogs_.folderRequests.empty());
    EXPECT_TRUE(form_->rbDownload->isChecked());
    EXPECT_EQ(form_->eOutputFolder->text().toStdString(), folder);
    EXPECT_EQ(form_->JobCount(), 2);
    EXPECT_EQ(form_->Quality, 0);
    EXPECT_EQ(menus.abouts, 0);
    // Once the run is over, the items of a closed menu still do nothing, those of an open one act.
    menus.PressAll(false);
    EXPECT_EQ(form_->Quality, 0);
    EXPECT_EQ(form_->JobCount(), 2);
    EXPECT_EQ(menus.abouts, 0);
    menus.PressAll(true);
    EXPECT_EQ(form_->Quality, 2);
    EXPECT_EQ(form_->JobCount(), 0);
    EXPECT_EQ(menus.abouts, 1);
    // And so do the controls (a press shows itself for a moment).
    Press(form_->bExit);
    QTRY_VERIFY(!form_->isVisible());
}

TEST_F(Run, NoFileIsOverwrittenUnaskedOrFilledWithAnErrorPage) {
    struct Case {
        const char* name;
        int quality;
        std::vector<std::string> failing;
        std::map<std::string, std::string> before;  // "-> PATH" makes a link to PATH
        std::vector<platform::MsgAnswer> answers;
        std::map<std::string, std::string> after;
        std::size_t errorLines;
    };
    const std::string flv = kYouTubeHdName + ".flv";
    const std::string mp4 = kYouTubeHdName + ".mp4";
    // What links in the output folder point at: a file of someone else's, and a name that
    // nothing holds yet. Neither may be written through.
    TempDir elsewhere;
    const std::string theirs = elsewhere.File("theirs");
    const std::string nothing = elsewhere.File("nothing");
    const Case cases[] = {
        {"a 404 stores nothing", 0, {kYouTubeHdFile}, {}, {}, {}, 1},
        {"the fallback leaves no error page behind",
         3,
         {kYouTubeHdFile + "&fmt=22"},
         {},
         {},
         {{flv, *content_.flv}},
         0},
        {"the fallback asks before it overwrites, and No keeps the file",
         3,
         {kYouTubeHdFile + "&fmt=22"},
         {{flv, "mine"}},
         {platform::MsgAnswer::No},
         {{flv, "mine"}},
         0},
        {"a file the user let go stays until the new one is whole",
         0,
         {kYouTubeHdFile},
         {{flv, "mine"}},
         {platform::MsgAnswer::Yes},
         {{flv, "mine"}},
         1},
        {"so does the fallback's",
         3,
         {kYouTubeHdFile + "&fmt=22", kYouTubeHdFile},
         {{mp4, "mine"}, {flv, "mine too"}},
         {platform::MsgAnswer::Yes, platform::MsgAnswer::Yes},
         {{mp4, "mine"}, {flv, "mine too"}},
         1},
        {"a dangling link is a name taken: asked about, and No keeps it",
         0,
         {},
         {{flv, "-> " + nothing}},
         {platform::MsgAnswer::No},
         {{flv, "-> " + nothing}},
         0},
        {"Yes replaces a dangling link with the video, never creating its target",
         0,
         {},
         {{flv, "-> " + nothing}},
         {platform::MsgAnswer::Yes},
         {{flv, *content_.flv}},
         0},
        {"Yes replaces a link to a file, whose bytes stay",
         0,
         {},
         {{flv, "-> " + theirs}},
         {platform::MsgAnswer::Yes},
         {{flv, *content_.flv}},
         0},
        {"a partial file left behind is started anew",
         0,
         {},
         {{flv + ".part", "stale"}},
         {},
         {{flv, *content_.flv}},
         0},
        {"a link named like the partial file is replaced, not written through",
         0,
         {},
         {{flv + ".part", "-> " + theirs}},
         {},
         {{flv, *content_.flv}},
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir out;
        WriteFile(theirs, "theirs");
        for (const auto& [name, bytes] : c.before) {
            if (bytes.rfind("-> ", 0) == 0) {
                std::filesystem::create_symlink(bytes.substr(3), out.File(name));
            } else {
                WriteFile(out.File(name), bytes);
            }
        }
        form_->eOutputFolder->setText(QString::fromStdString(out.Path()));
        form_->miRemoveAllClick();
        AddJobs({kYouTubeHd});
        form_->Quality = c.quality;
        testsupport::LoadDefaultSite(site_);
        for (const auto& address : c.failing) {
            site_.Route(address, Reply::Status(404));
        }
        dialogs_.messages.clear();
        dialogs_.answers = {c.answers.begin(), c.answers.end()};
        Start();
        EXPECT_EQ(Folder(out.Path()), c.after);
        EXPECT_EQ(Folder(elsewhere.Path()),
                  (std::map<std::string, std::string>{{"theirs", "theirs"}}));
        EXPECT_EQ(ErrorLines().size(), c.errorLines);
        EXPECT_EQ(dialogs_.messages.size(), c.answers.size() + (c.errorLines > 0 ? 1 : 0));
        for (const auto& m : dialogs_.messages) {
            if (m.buttons == platform::MsgButtons::YesNo) {
                EXPECT_TRUE(m.defaultNo) << m.text;
            }
        }
    }
}

TEST_F(Run, AnHqDownloadConvertsToMp4InPlaceUnaskedAndAFailedJobHasOneLine) {
    const OwnPage missing = AddYouTubePage(site_, "miss1line01", "Missing");
    site_.Route(missing.file + "&fmt=18", Reply::Status(404));
    // A title as long as a file name can hold: the conversion's own files must fit too.
    const OwnPage longest = AddYouTubePage(site_, "longtitle01", std::string(245, 'L'));
    site_.Route(longest.file + "&fmt=18", Reply::Body(content_.mp4, "video/mp4"));
    SetMode(1);
    form_->cbFormat->setCurrentIndex(1);  // the phone profile writes MP4, as the download is
    form_->Quality = 1;
    AddJobs({kYouTubeHd, missing.job, longest.job, kMetacafe});
    Start();
    // The job's own download is no file of the user's: nothing is asked about it.
    for (const auto& m : dialogs_.messages) {
        EXPECT_NE(m.buttons, platform::MsgButtons::YesNo) << m.text;
    }
    for (const std::string& name : {kYouTubeHdName, std::string(245, 'L')}) {
        EXPECT_EQ(ContainerOf(Out(name + ".mp4")), "mov,mp4,m4a,3gp,3g2,mj2");
        EXPECT_NE(ReadFile(Out(name + ".mp4")), *content_.mp4);
    }
    EXPECT_EQ(ErrorLines(), std::vector<std::string>{"Download failed: Missing.mp4 from " +
                                                     missing.job + " (404 Not Found)"});
    // Nothing of the conversion's own is left in the folder.
    EXPECT_EQ(Folder(out_).size(), 3u);
}

TEST_F(Run, AConverterThatWouldAskOnItsInputEndsWithAnErrorLine) {
    TempDir local;
    WriteFile(local.File("asks.flv"), *content_.flv);
    // The output's name is taken by a folder: the file check sees no file, and the converter
    // itself would ask whether to overwrite.
    std::filesystem::create_directory(Out("asks.avi"));
    form_->ConvertProcess->Program = "ffmpeg";
    form_->cbFormat->setCurrentIndex(kAviProfile);
    SetMode(2);
    dialogs_.fileChoices = {std::vector<std::string>{local.File("asks.flv")}};
    form_->bSelectFileClick();
    QElapsedTimer run;
    run.start();
    Start();
    EXPECT_LT(run.elapsed(), 20000);
    ASSERT_EQ(ErrorLines().size(), 1u);
    EXPECT_EQ(ErrorLines()[0].rfind("Conversion failed: asks.avi", 0), 0u) << ErrorLines()[0];
}

TEST_F(Run, TheSecondBrowserTakesOverForTheRestOfTheRun) {
    const OwnPage marker = AddYouTubePage(site_, "marker2nd01", "Second browser");
    const std::optional<Reply> page = site_.FindRoute(marker.job);
    site_.Route(marker.file, Reply::Body(content_.flv, "video/x-flv"));
    site_.Route(kMetacafeFile, Reply::Body(content_.flv, "video/x-flv").Trickle(8192, 20));
    // The first browser reads the capture-failure marker, slowly enough for the page to be
    // mended before the second browser asks.
    site_.Route(marker.job, Reply::Body(TfrmDownload::kCaptureFailed).Trickle(4, 100));
    AddJobs({marker.job, kMetacafe});
    platform::TWebBrowser* later = nullptr;
    When([&](TfrmDownload&) { return site_.RequestCount() >= 1; },
         [&](TfrmDownload&) { site_.Route(marker.job, *page); });
    When([](TfrmDownload& w) { return w.JobIndex == 1; },
         [&](TfrmDownload& w) { later = w.CurrentBrowser; });
    TfrmDownload* window = nullptr;
    Observe([&](TfrmDownload& w) { window = &w; });
    Start();
    EXPECT_TRUE(platform::FileExists(Out(marker.name)));

    EXPECT_TRUE(platform::FileExists(Out("Funny Cats Compilation.flv")));
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(later, window->WebBrowser_2);
}

TEST_F(Run, ALockedOutputIsReportedAndTheNextFileIsConverted) {
    TempDir local;
    WriteFile(local.File("locked.flv"), *content_.flv);
    WriteFile(local.File("next.flv"), *content_.flv);
    WriteFile(Out("locked.avi"), "held by another program");
    QProcess holder;
    holder.start("bash", {"-c", QString("exec 3<>'%1'; echo ready; sleep 30")
                                    .arg(QString::fromStdString(Out("locked.avi")))});
    ASSERT_TRUE(holder.waitForReadyRead(5000));
    form_->cbFormat->setCurrentIndex(kAviProfile);
    SetMode(2);
    dialogs_.fileChoices = {
        std::vector<std::string>{local.File("locked.flv"), local.File("next.flv")}};
    form_->bSelectFileClick();
    dialogs_.answers = {platform::MsgAnswer::Yes};
    Start();
    holder.kill();
    holder.waitForFinished();
    ASSERT_GE(dialogs_.messages.size(), 2u);
    EXPECT_EQ(dialogs_.messages[1].text,
              "Video file will be created may be used, convert process failed!");
    EXPECT_EQ(ReadFile(Out("locked.avi")), "held by another program");
    EXPECT_EQ(ContainerOf(Out("next.avi")), "avi");
}

}  // namespace
