#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDesktopServices>
#include <QDir>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>
#include <filesystem>
#include <memory>

#include "app/JobList.h"
#include "app/MainWindow.h"
#include "common/Sites.h"
#include "platform/Dialogs.h"
#include "platform/Messages.h"
#include "tests/support/TempDir.h"

using Lines = std::vector<std::string>;

namespace {

const std::string A = "http://www.youtube.com/watch?v=AAAA";
const std::string B = "http://www.youtube.com/watch?v=BBBB";
const std::string C = "http://www.youtube.com/watch?v=CCCC";

}  // namespace

TEST(SplitClipboardUrls, DuplicatesAmongJobsAndEarlierLinesIgnoreCase) {
    std::string upperA = "HTTP://WWW.YOUTUBE.COM/WATCH?V=AAAA";
    EXPECT_EQ(SplitClipboardUrls(upperA + "\n" + B + "\n" + B, {A}), Lines{B});
    // Only a-z fold: other bytes must match exactly.
    EXPECT_EQ(SplitClipboardUrls(A + "\xC3\xA9\n" + A + "\xC3\x89", {}),
              (Lines{A + "\xC3\xA9", A + "\xC3\x89"}));
}

TEST(SplitClipboardUrls, LineEnds) {
    EXPECT_EQ(SplitClipboardUrls(A + "\r\n" + B + "\r\n", {}), (Lines{A, B}));
    EXPECT_EQ(SplitClipboardUrls(A + "\n" + B + "\n", {}), (Lines{A, B}));
    // A bare carriage return does not cut: the text is one piece, and a piece holding a
    // control byte is no address.
    EXPECT_EQ(SplitClipboardUrls(A + "\r" + B, {}), Lines{});
    // Only one carriage return goes with a line feed; blanks inside lines stay.
    EXPECT_EQ(SplitClipboardUrls(" " + A + "\r\r\n\n" + B + " \n" + C, {}), (Lines{B + " ", C}));
    EXPECT_EQ(SplitClipboardUrls("no address here\n\n", {}), Lines{});
}

TEST(SplitClipboardUrls, LinesWithControlBytesOrLongerThanAnyAddressAreNotTaken) {
    const std::string pad(kMaxAddressLength - A.size(), 'x');
    const Lines refused = {
        A + " HTTP/1.1\rHost: intranet.example\r",
        A + "\tB",
        A + std::string(1, '\0'),
        A + "\x1B[2J",
        A + "\x7F",
        A + pad + "y",  // one byte past the limit
    };
    for (const std::string& line : refused) {
        EXPECT_FALSE(IsIntakeLine(line)) << line.substr(0, 60);
        EXPECT_EQ(SplitClipboardUrls(line + "\n" + B, {}), Lines{B}) << line.substr(0, 60);
    }
    EXPECT_TRUE(IsIntakeLine(A + pad));
    EXPECT_TRUE(IsIntakeLine(A + " with blanks"));
    // 20 MB copied by mistake, starting with an address: nothing is taken.
    const std::string huge = A + std::string(20u << 20, 'z');
    EXPECT_EQ(IntakeAddresses(huge, {}), std::optional<Lines>(Lines{}));
}

TEST(SplitClipboardUrls, IntakeBytesConvertOnlyWhatCanBeTaken) {
    const auto keep = kMaxAddressLength + 1;
    const QString huge(20 << 20, u'z');
    const QString qa = QString::fromStdString(A);
    struct Case {
        QString text;
        std::string bytes;
    };
    const Case cases[] = {
        {" \t" + qa + "\r\n\x01", A},
        {qa + QString::fromUtf8("\xC3\xA9"), A + "\xC3\xA9"},
        {qa + huge, A + std::string(keep - A.size(), 'z')},
        {qa + "\n" + huge + "\r\n" + qa, A + "\n" + std::string(keep, 'z') + "\n" + A},
        {QString(20 << 20, u' ') + qa, A},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IntakeBytes(c.text), c.bytes) << c.bytes.substr(0, 60);
    }
    // A cache address of megabytes is still the cache address: the whole text is ignored.
    EXPECT_EQ(IntakeAddresses(
                  IntakeBytes(QString::fromStdString(std::string(sites::kYouTubeCacheAddress)) +
                              huge + "\n" + qa),
                  {}),
              std::nullopt);
}

TEST(SplitClipboardUrls, HugeTextsStayLinear) {
    std::string text;
    Lines jobs;
    for (int i = 0; i < 100000; ++i) {
        text += "http://www.youtube.com/watch?v=" + std::to_string(i % 50000) + "\n";
        if (i < 1000) {
            jobs.push_back("http://www.youtube.com/watch?v=" + std::to_string(i));
        }
    }
    text.push_back('\0');
    EXPECT_EQ(SplitClipboardUrls(text, jobs).size(), 49000u);
}

TEST(SplitClipboardUrls, OtherSitesByPasteAnyAddressByAutoCopyOnlyFiles) {
    using enum IntakeSource;
    struct Case {
        std::string text;
        IntakeSource source;
        Lines jobs;
        Lines taken;
    };
    const std::string page = "https://pages.example/show/Item?id=7";
    const std::string file = "http://files.example/Clip.WEBM?t=1#start";
    const Case cases[] = {
        {page + "\n" + file + "\nftp://files.example/a.mp4\nfiles.example/a.mp4",
         PasteOrDrop,
         {},
         {page, file}},
        {page + "\n" + file, AutoCopy, {}, {file}},
        // Other sites' paths are case-sensitive; a fragment does not make another address.
        {page + "#c\nhttps://pages.example/show/item?id=7",
         PasteOrDrop,
         {page},
         {"https://pages.example/show/item?id=7"}},
        // The served sites keep their own rules, whatever the source.
        {"http://www.youtube.com/user/x\nhttps://www.metacafe.com/about", PasteOrDrop, {}, {}},
        {A + "\n" + B, AutoCopy, {"HTTP://WWW.YOUTUBE.COM/watch?v=AAAA"}, {B}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SplitClipboardUrls(c.text, c.jobs, c.source), c.taken) << c.text;
    }
}

TEST(JobListRules, SelectionAfterRemoveAndColumnWidth) {
    EXPECT_EQ(SelectionAfterRemove(1, 3), 1);   // the job that moves up
    EXPECT_EQ(SelectionAfterRemove(2, 3), 1);   // the new last
    EXPECT_EQ(SelectionAfterRemove(0, 1), -1);  // none left
    EXPECT_EQ(JobColumnWidth(5), 374);
    EXPECT_EQ(JobColumnWidth(6), 355);
    EXPECT_EQ(NewFileJobs({"/a/X.flv", "/a/x.FLV", "/a/y.flv"}, {"/A/Y.FLV"}), Lines{"/a/X.flv"});
}

namespace {

// The main window with its own settings folder, shown, with the given mode and auto-copy.
class Intake : public ::testing::Test {
protected:
    void Open(int mode, bool autoCopy) {
        Create(mode, autoCopy);
        form_->show();
    }
    // The window made, not shown yet.
    void Create(int mode, bool autoCopy) {
        testsupport::WriteFile(dir_.File("settings.ini"),
                               "[Options]\nRadioButton=" + std::to_string(mode) +
                                   "\n[Copy]\nEnable=" + (autoCopy ? "1" : "0") + "\n");
        form_ = std::make_unique<TfrmMain>(dir_.Path() + "/");
    }
    void Copy(const std::string& text) {
        QApplication::clipboard()->setText(
            QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size())));
        platform::ProcessMessages();
    }
    TfrmMain& Form() { return *form_; }

    testsupport::TempDir dir_;
    std::unique_ptr<TfrmMain> form_;
};

}  // namespace

TEST_F(Intake, AutoCopyTakesNewAddressesAndSelectsTheLastJob) {
    Open(0, true);
    Copy(A);
    Copy("HTTP://WWW.YOUTUBE.COM/WATCH?V=AAAA\r\n" + B + "\r\n" + B);
    EXPECT_EQ(Form().Jobs(), (Lines{A, B}));
    EXPECT_EQ(Form().SelectedJob(), 1);
}

TEST_F(Intake, NothingIsTakenWhileTheWindowIsBeingCreatedOrWhenAutoCopyIsOff) {
    // Auto-copy is on in the settings, yet the text on the clipboard at start, and a change
    // before the window is shown, are not taken.
    QApplication::clipboard()->setText(QString::fromStdString(A));
    Create(0, true);
    Copy(B);
    form_->show();
    platform::ProcessMessages();
    EXPECT_EQ(Form().JobCount(), 0);
    Copy(C);
    EXPECT_EQ(Form().Jobs(), Lines{C});
    Form().cbAutoCopy->click();
    Copy(A);
    EXPECT_EQ(Form().Jobs(), Lines{C});
    // Paste needs no auto-copy.
    Form().bPaste->click();
    EXPECT_EQ(Form().Jobs(), (Lines{C, A}));
}

TEST_F(Intake, TheConvertModeStopsAutoCopyButKeepsItsCheck) {
    Open(2, true);
    EXPECT_TRUE(Form().cbAutoCopy->isChecked());
    EXPECT_FALSE(Form().cbAutoCopy->isEnabled());
    Copy(A);
    EXPECT_EQ(Form().JobCount(), 0);
    Form().rbDownload->click();
    Copy(B);
    EXPECT_EQ(Form().Jobs(), Lines{B});
}

TEST_F(Intake, CacheHostTextIsIgnoredWholeAndTheSelectionStays) {
    Open(0, true);
    Copy(A + "\n" + B);
    Form().lvMain->setCurrentItem(Form().lvMain->topLevelItem(0));
    Copy("  " + std::string(sites::kYouTubeCacheAddress) + "/x\n" + C);
    EXPECT_EQ(Form().JobCount(), 2);
    EXPECT_EQ(Form().SelectedJob(), 0);
}

TEST_F(Intake, TextWithoutDotComAddsNothingButSelectsTheLastJob) {
    Open(0, true);
    Copy(A + "\n" + B);
    Form().lvMain->setCurrentItem(Form().lvMain->topLevelItem(0));
    Copy("just some words");
    EXPECT_EQ(Form().JobCount(), 2);
    EXPECT_EQ(Form().SelectedJob(), 1);
}

TEST_F(Intake, RemoveSelectsTheRightNeighbourAndTheColumnFollowsTheCount) {
    Open(0, false);
    Copy(A + "\n" + B + "\n" + C);
    Form().bPaste->click();
    Form().lvMain->setCurrentItem(Form().lvMain->topLevelItem(1));
    Form().bRemove->click();
    EXPECT_EQ(Form().Jobs(), (Lines{A, C}));
    EXPECT_EQ(Form().SelectedJob(), 1);
    Form().bRemove->click();
    EXPECT_EQ(Form().SelectedJob(), 0);
    Form().miRemoveItem->trigger();
    EXPECT_EQ(Form().JobCount(), 0);
    EXPECT_EQ(Form().SelectedJob(), -1);
    Form().bRemove->click();  // nothing selected: nothing happens

    std::string six;
    for (int i = 0; i < 6; ++i) {
        six += "http://www.youtube.com/watch?v=" + std::to_string(i) + "\n";
    }
    Copy(six);
    Form().bPaste->click();
    EXPECT_EQ(Form().lvMain->columnWidth(0), 355);
    Form().bRemove->click();
    EXPECT_EQ(Form().lvMain->columnWidth(0), 374);
    Form().miRemoveAll->trigger();
    EXPECT_EQ(Form().JobCount(), 0);
}

TEST_F(Intake, LocalFilesAreAddedOnceWithoutMovingTheSelection) {
    Open(2, false);
    platform::ScriptedDialogs dialogs;
    dialogs.fileChoices.push_back(Lines{"/videos/One.flv", "/videos/two.flv", "/videos/ONE.FLV"});
    dialogs.fileChoices.push_back(Lines{"/videos/TWO.flv", "/videos/three.flv"});
    Form().bSelectFile->click();
    EXPECT_EQ(Form().SelectedJob(), -1);
    Form().lvMain->setCurrentItem(Form().lvMain->topLevelItem(0));
    Form().miBrowser->trigger();
    EXPECT_EQ(Form().Jobs(), (Lines{"/videos/One.flv", "/videos/two.flv", "/videos/three.flv"}));
    EXPECT_EQ(Form().SelectedJob(), 0);
    ASSERT_EQ(dialogs.fileRequests.size(), 2u);
    EXPECT_EQ(dialogs.fileRequests[0].filter,
              "Video files (*.flv *.mp4 *.webm *.mkv *.mov *.avi *.ogv *.m4v)|*.flv *.mp4 *.webm "
              "*.mkv *.mov *.avi *.ogv *.m4v| Any file(*.*)|*.*");
    EXPECT_TRUE(dialogs.fileRequests[0].multiSelect);
}

TEST_F(Intake, ShowFilesReportsAMissingFolderWithItsText) {
    Open(0, false);
    platform::ScriptedDialogs dialogs;
    Form().eOutputFolder->setText("");
    Form().bShowFiles->click();
    Form().eOutputFolder->setText(QString::fromStdString(dir_.File("missing")));
    Form().bShowFiles->click();
    ASSERT_EQ(dialogs.messages.size(), 2u);
    EXPECT_EQ(dialogs.messages[0].text, ", the output directory does not exist.");
    EXPECT_EQ(dialogs.messages[1].text,
              dir_.File("missing") + ", the output directory does not exist.");
    EXPECT_EQ(dialogs.messages[1].caption, "Tamberlo");
    EXPECT_EQ(dialogs.messages[1].icon, platform::MsgIcon::Error);
    EXPECT_EQ(Form().OutputDirectory, dir_.File("missing"));
}

namespace {

// Takes the local folders the desktop is asked to open, in place of the file manager.
class FolderCatcher : public QObject {
    Q_OBJECT
public:
    FolderCatcher() { QDesktopServices::setUrlHandler("file", this, "Open"); }
    ~FolderCatcher() override { QDesktopServices::unsetUrlHandler("file"); }
    std::vector<QUrl> opened;

public slots:
    void Open(const QUrl& url) { opened.push_back(url); }
};

}  // namespace

TEST_F(Intake, ShowFilesOpensTheFolderTheTextNamesAsAnAbsoluteLocalPath) {
    Open(0, false);
    std::filesystem::create_directories(dir_.File("out"));
    std::filesystem::create_directories(dir_.File("a:/b"));
    struct InFolder {
        explicit InFolder(const std::string& folder) { std::filesystem::current_path(folder); }
        ~InFolder() { std::filesystem::current_path(before); }
        std::filesystem::path before = std::filesystem::current_path();
    } inDir(dir_.Path());
    const std::pair<std::string, std::string> cases[] = {
        {"out", dir_.File("out")},     // relative to the current folder
        {"a://b", dir_.File("a:/b")},  // looks like an address, names a folder
        {dir_.File("a://b"), dir_.File("a:/b")},
    };
    for (const auto& [text, folder] : cases) {
        SCOPED_TRACE(text);
        FolderCatcher catcher;
        Form().eOutputFolder->setText(QString::fromStdString(text));
        Form().bShowFiles->click();
        ASSERT_EQ(catcher.opened.size(), 1u);
        const QUrl url = catcher.opened[0];
        EXPECT_TRUE(url.isLocalFile());
        EXPECT_TRUE(QDir::isAbsolutePath(url.toLocalFile()));
        std::error_code ec;
        EXPECT_TRUE(std::filesystem::equivalent(url.toLocalFile().toStdString(), folder, ec));
        EXPECT_EQ(Form().OutputDirectory, text);
    }
}

TEST_F(Intake, TheFolderPickerFillsTheOutputFolderOnlyWhenAFolderIsChosen) {
    Open(0, false);
    platform::ScriptedDialogs dialogs;
    dialogs.folderChoices.push_back(std::nullopt);
    dialogs.folderChoices.push_back(dir_.Path());
    const QString before = Form().eOutputFolder->text();
    Form().bBrowser->click();
    EXPECT_EQ(Form().eOutputFolder->text(), before);
    Form().bBrowser->click();
    EXPECT_EQ(Form().eOutputFolder->text().toStdString(), dir_.Path());
    EXPECT_EQ(Form().OutputDirectory, dir_.Path());
    EXPECT_EQ(dialogs.folderRequests.at(0).caption, "Please select the directory to add");
    EXPECT_EQ(dialogs.folderRequests.at(0).root, "");
}

TEST_F(Intake, AClosedWindowHasLeftTheClipboardChain) {
    Open(0, true);
    Copy(A);
    Form().close();
    Copy(B);
    EXPECT_EQ(Form().Jobs(), Lines{A});
}

#include "JobListTest.moc"
