#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QDropEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QTest>
#include <QTreeWidget>
#include <QUrl>
#include <filesystem>
#include <memory>

#include "app/AboutWindow.h"
#include "app/MainWindow.h"
#include "common/Sites.h"
#include "platform/Dialogs.h"
#include "platform/Messages.h"
#include "tests/support/TempDir.h"
#include "ui/Controls.h"
#include "ui/Look.h"

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

class MainWindow : public ::testing::Test {
protected:
    std::string Folder() const { return dir_.Path() + "/"; }
    std::string Settings() const { return dir_.File("settings.ini"); }

    TfrmMain& Open(const std::string& settings = "", bool write = true) {
        if (write) {
            WriteFile(Settings(), settings);
        }
        form_ = std::make_unique<TfrmMain>(Folder());
        form_->show();
        return *form_;
    }
    // Closes the window as its close box does and returns what it wrote.
    std::string CloseAndRead() {
        form_->close();
        return ReadFile(Settings());
    }

    TempDir dir_;
    std::unique_ptr<TfrmMain> form_;
};

std::string Text(QLabel* label) {
    return label->text().toStdString();
}

}  // namespace

TEST_F(MainWindow, WithoutASettingsFileItStartsWithTheDefaultsAndWritesThemAtClose) {
    TfrmMain& form = Open("", false);
    EXPECT_EQ(form.windowTitle().toStdString(), "Tamberlo 1.6");
    EXPECT_EQ(form.width(), 486);
    EXPECT_EQ(form.height(), 427);
    EXPECT_EQ(form.eOutputFolder->text().toStdString(), Folder());
    EXPECT_TRUE(form.rbDownload->isChecked());
    EXPECT_FALSE(form.cbAutoCopy->isChecked());
    EXPECT_TRUE(form.Normal1->isChecked());
    EXPECT_EQ(form.cbFormat->currentIndex(), 0);
    ASSERT_NE(form.ConvertProcess, nullptr);
    EXPECT_EQ(
        CloseAndRead(),
        "[Options]\nOutputDirectory=" + Folder() +
            "\nRadioButton=0\nConvertFormat=0\nQuality=0\nConnections=4\n\n[Copy]\nEnable=0\n");
}

TEST_F(MainWindow, StoredValuesAreLoadedAndWrittenBack) {
    std::filesystem::create_directory(dir_.File("out"));
    TfrmMain& form = Open("[options]\nOUTPUTDIRECTORY=" + dir_.File("out") +
                          "\nRadioButton=0x1\nQuality=0x2\n[COPY]\nenable=7\n");
    EXPECT_EQ(form.eOutputFolder->text().toStdString(), dir_.File("out"));
    EXPECT_TRUE(form.rbDownloadConvert->isChecked());
    EXPECT_TRUE(form.cbAutoCopy->isChecked());
    EXPECT_TRUE(form.HD1->isChecked());
    const std::string written = CloseAndRead();
    EXPECT_NE(written.find("RadioButton=1\n"), std::string::npos) << written;
    EXPECT_NE(written.find("Quality=2\n"), std::string::npos) << written;
    EXPECT_NE(written.find("enable=1\n"), std::string::npos) << written;
}

TEST_F(MainWindow, ExactlyOneQualityItemIsCheckedForEveryStoredValue) {
    const std::pair<const char*, int> cases[] = {{"0", 0}, {"1", 1},  {"2", 2},   {"3", 3},
                                                 {"7", 0}, {"-1", 0}, {"0x2", 2}, {"x", 0}};
    for (auto [stored, expected] : cases) {
        TfrmMain& form = Open(std::string("[Options]\nQuality=") + stored + "\n");
        EXPECT_EQ(form.Quality, expected) << stored;
        int checked = 0;
        for (QAction* item : form.miYoutubeDownloadQuality->actions()) {
            checked += item->isChecked();
            if (item->isChecked()) {
                EXPECT_EQ(item->data().toInt(), expected) << stored;
            }
        }
        EXPECT_EQ(checked, 1) << stored;
        form_.reset();
    }
}

TEST_F(MainWindow, ConnectionsAreOneToSixteenAndChosenInTheMenu) {
    const std::pair<const char*, int> cases[] = {{"8", 8},  {"16", 16}, {"1", 1}, {"0", 4},
                                                 {"17", 4}, {"-2", 4},  {"x", 4}, {"3", 3}};
    for (auto [stored, expected] : cases) {
        TfrmMain& form = Open(std::string("[Options]\nConnections=") + stored + "\n");
        EXPECT_EQ(form.TransferConnections(), expected) << stored;
        int checked = 0;
        for (QAction* item : form.miConnections->actions()) {
            checked += item->isChecked() && item->data().toInt() == expected;
        }
        EXPECT_EQ(checked, expected == 3 ? 0 : 1) << stored;
        form_.reset();
    }
    TfrmMain& form = Open();
    form.miConnections->actions().last()->trigger();
    EXPECT_EQ(form.Connections, 16);
    EXPECT_NE(CloseAndRead().find("Connections=16\n"), std::string::npos);
}

TEST_F(MainWindow, QualityClickChecksOnlyTheClickedItem) {
    TfrmMain& form = Open();
    form.BestAvailable1->trigger();
    EXPECT_EQ(form.Quality, 3);
    EXPECT_FALSE(form.Normal1->isChecked());
    EXPECT_TRUE(form.BestAvailable1->isChecked());
    form.HQ1->trigger();
    EXPECT_EQ(form.Quality, 1);
    EXPECT_FALSE(form.BestAvailable1->isChecked());
    EXPECT_NE(CloseAndRead().find("Quality=1\n"), std::string::npos);
}

TEST_F(MainWindow, ModeHandlersSetTheControlsOfTheirMode) {
    struct Row {
        const char* stored;
        bool convertControls;
        const char* caption;
        bool downloadControls;
    } rows[] = {
        {"0", false, "Enter video URL (Example: ", true},
        {"1", true, "Enter video URL (Example: ", true},
        {"2", true, "Select video file:", false},
    };
    for (const Row& row : rows) {
        TfrmMain& form = Open(std::string("[Options]\nRadioButton=") + row.stored + "\n");
        SCOPED_TRACE(row.stored);
        EXPECT_EQ(form.lConvertTo->isEnabled(), row.convertControls);
        EXPECT_EQ(form.cbFormat->isEnabled(), row.convertControls);
        EXPECT_EQ(Text(form.lVideo), row.caption);
        EXPECT_EQ(form.lUrl->isVisible(), row.downloadControls);
        EXPECT_EQ(form.lUrlEnd->isVisible(), row.downloadControls);
        EXPECT_EQ(form.bPaste->isVisible(), row.downloadControls);
        EXPECT_EQ(form.cbAutoCopy->isEnabled(), row.downloadControls);
        const QColor text = form.cbAutoCopy->palette().color(QPalette::WindowText);
        EXPECT_EQ(text == QColor(128, 128, 128), !row.downloadControls);
        EXPECT_EQ(form.bSelectFile->isVisible(), !row.downloadControls);
        EXPECT_EQ(form.miPaste->isVisible(), row.downloadControls);
        EXPECT_EQ(form.miBrowser->isVisible(), !row.downloadControls);
        EXPECT_EQ(form.bSelectFile->pos(), form.bPaste->pos());
        form_.reset();
    }
}

TEST_F(MainWindow, AStoredModeOutOfRangeLeavesTheFormsOwnStateAndIsWrittenBackAsDownload) {
    for (const char* stored : {"5", "-1", "0x7"}) {
        TfrmMain& form = Open(std::string("[Options]\nRadioButton=") + stored + "\n");
        SCOPED_TRACE(stored);
        EXPECT_TRUE(form.rbDownload->isChecked());
        EXPECT_EQ(Text(form.lVideo), "Paste video URL (Example: ");
        EXPECT_FALSE(form.lUrlEnd->isVisible());
        EXPECT_TRUE(form.cbFormat->isEnabled());
        EXPECT_TRUE(form.bSelectFile->isVisible());
        EXPECT_TRUE(form.bPaste->isVisible());
        EXPECT_EQ(form.bSelectFile->pos(), form.bPaste->pos());
        EXPECT_NE(CloseAndRead().find("RadioButton=0\n"), std::string::npos);
        form_.reset();
    }
}

TEST_F(MainWindow, AProfileIndexOutOfRangeLoadsAsTheFirstProfile) {
    for (const char* stored : {"40", "999", "-1", "11"}) {
        SCOPED_TRACE(stored);
        TfrmMain& form = Open(std::string("[Options]\nConvertFormat=") + stored + "\n");
        EXPECT_EQ(form.cbFormat->count(), 11);
        EXPECT_EQ(form.cbFormat->currentIndex(), 0);
        EXPECT_NE(form.GetOutputExt(), "");
        EXPECT_NE(CloseAndRead().find("ConvertFormat=0\n"), std::string::npos);
        form_.reset();
    }
}

TEST_F(MainWindow, ASettingsFileThatMayNotBeReplacedIsLeftAsItIsAndThatIsSaidOnce) {
    const std::string text = "[Options]\nQuality=2\n";
    WriteFile(Settings(), text);
    chmod(Settings().c_str(), 0444);
    testing::internal::CaptureStderr();
    TfrmMain& form = Open("", false);
    EXPECT_EQ(form.Quality, 2);
    form.BestAvailable1->trigger();
    EXPECT_EQ(CloseAndRead(), text);
    form_.reset();
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(said, "Tamberlo: " + Settings() + " is read-only; the settings are not saved.\n");

    // A FIFO in its place neither holds up the start nor is written.
    std::filesystem::remove(Settings());
    ASSERT_EQ(mkfifo(Settings().c_str(), 0644), 0);
    testing::internal::CaptureStderr();
    Open("", false);
    EXPECT_EQ(form_->eOutputFolder->text().toStdString(), Folder());
    form_->close();
    form_.reset();
    EXPECT_NE(testing::internal::GetCapturedStderr().find("is not a regular file"),
              std::string::npos);
    EXPECT_TRUE(std::filesystem::is_fifo(Settings()));
}

TEST_F(MainWindow, TheChosenProfileGivesItsExtensionAndParameters) {
    TfrmMain& form = Open("[Options]\nConvertFormat=8\n");
    EXPECT_EQ(form.cbFormat->currentText().toStdString(), "Microsoft WAV (WAV)");
    EXPECT_EQ(form.GetOutputExt(), ".wav");
    EXPECT_EQ(form.GetConvertParams(), "-ar 44100 -ab 128kbit/s -ac 2 ");
    form.cbFormat->setCurrentIndex(2);
    EXPECT_EQ(form.GetOutputExt(), ".mp4");
    EXPECT_NE(CloseAndRead().find("ConvertFormat=2\n"), std::string::npos);
}

TEST_F(MainWindow, OutputFolderRules) {
    std::filesystem::create_directory(dir_.File("kept"));
    // An empty stored folder leaves the field empty.
    TfrmMain& empty = Open("[Options]\nOutputDirectory=\n");
    EXPECT_EQ(empty.eOutputFolder->text(), QString());
    form_.reset();

    // A typed folder that does not exist at close is not saved; the accepted one is.
    TfrmMain& form = Open("[Options]\nOutputDirectory=" + dir_.File("kept") + "\n");
    form.eOutputFolder->setText(QString::fromStdString(dir_.File("missing")));
    EXPECT_NE(CloseAndRead().find("OutputDirectory=" + dir_.File("kept") + "\n"),
              std::string::npos);
}

TEST_F(MainWindow, ASettingsFileThatCannotBeWrittenStillClosesAndLeavesTheClipboardChain) {
    auto form = std::make_unique<TfrmMain>("/proc/");  // no file can be made there
    form->show();
    EXPECT_EQ(form->eOutputFolder->text().toStdString(), "/proc/");
    EXPECT_TRUE(form->close());
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(form->ConvertProcess, nullptr) << "the runner is released even after a failed save";
    EXPECT_FALSE(std::filesystem::exists("/proc/settings.ini"));
}

TEST_F(MainWindow, SwitchingModesKeepsTheJobList) {
    TfrmMain& form = Open();
    form.lvMain->addTopLevelItem(
        new QTreeWidgetItem(QStringList{"http://www.youtube.com/watch?v=a"}));
    form.rbConvert->click();
    form.rbDownloadConvert->click();
    form.rbDownload->click();
    EXPECT_EQ(form.lvMain->topLevelItemCount(), 1);
}

TEST_F(MainWindow, SecondInstanceMessageRestoresAMinimisedWindow) {
    TfrmMain& form = Open();
    form.showMinimized();
    ASSERT_TRUE(form.isMinimized());
    platform::PostMessage(&form, platform::WM_SECOND_INSTANCE);
    platform::ProcessMessages();
    EXPECT_FALSE(form.isMinimized());
    EXPECT_TRUE(form.isVisible());
}

TEST_F(MainWindow, ExitClosesTheWindowAsTheCloseBoxDoes) {
    TfrmMain& form = Open();
    form.bExit->click();
    EXPECT_FALSE(form.isVisible());
    EXPECT_TRUE(std::filesystem::exists(Settings()));
}

namespace {

// Receives the addresses the desktop is asked to open, in place of the user's browser.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    UrlCatcher() { QDesktopServices::setUrlHandler("http", this, "Open"); }
    ~UrlCatcher() override { QDesktopServices::unsetUrlHandler("http"); }
    std::vector<std::string> opened;

public slots:
    void Open(const QUrl& url) { opened.push_back(url.toString().toStdString()); }
};

}  // namespace

TEST_F(MainWindow, WebLinksOpenTheirAddresses) {
    UrlCatcher catcher;
    TfrmMain& form = Open();
    form.Homepage1->trigger();
    QTest::mouseClick(form.Image1, Qt::LeftButton);
    form.lTitleClick();
    form.lUpdateClick();
    EXPECT_EQ(
        catcher.opened,
        (std::vector<std::string>{
            "http://www.corvane.example/tamberlo/", "http://www.corvane.example/tamberlo/",
            "http://www.corvane.example/", "http://www.corvane.example/tamberlo/update.html"}));
}

TEST(AboutWindow, ShowsTheProductAndVersionAndStaysOpenAfterTheLink) {
    UrlCatcher catcher;
    TfrmMain owner("/proc/");
    TfrmAbout about(&owner);
    about.show();
    EXPECT_EQ(about.windowTitle().toStdString(), "About Tamberlo");
    EXPECT_EQ(about.width(), 360);
    EXPECT_EQ(about.height(), 249);
    EXPECT_EQ(about.Label1->text().toStdString(), "Tamberlo");
    EXPECT_EQ(about.Label2->text().toStdString(), "Version: 1.6   Build 20100409");
    EXPECT_TRUE(owner.windowTitle().startsWith(about.Label1->text()));
    QTest::mouseClick(about.lbEAddress, Qt::LeftButton);
    EXPECT_TRUE(about.isVisible());
    EXPECT_EQ(catcher.opened, std::vector<std::string>{"http://www.corvane.example/tamberlo/"});
    about.bOK->click();
    EXPECT_EQ(about.ModalResult, platform::mrOk);
}

TEST_F(MainWindow, TabOrderFollowsTheForm) {
    TfrmMain& form = Open();
    const std::vector<QWidget*> expected = {
        form.lvMain,   form.bPaste,     form.bRemove,    form.cbAutoCopy,        form.eOutputFolder,
        form.bBrowser, form.cbFormat,   form.rbDownload, form.rbDownloadConvert, form.rbConvert,
        form.bStart,   form.bShowFiles, form.bExit,      form.bSelectFile};
    QWidget* w = expected.front();
    for (std::size_t i = 1; i < expected.size(); ++i) {
        do {
            w = w->nextInFocusChain();  // the chain also holds widgets that take no tab focus
        } while ((w->focusPolicy() & Qt::TabFocus) == 0);
        EXPECT_EQ(w, expected[i]) << "after position " << i - 1;
    }
}

namespace {

// The program's look for the life of a test, then Qt's own again.
class WithTheLook {
public:
    WithTheLook()
        : style_(QApplication::style()->name()),
          sheet_(qApp->styleSheet()),
          palette_(QApplication::palette()),
          font_(QApplication::font()) {
        ui::ApplyLook(*static_cast<QApplication*>(QCoreApplication::instance()));
    }
    ~WithTheLook() {
        qApp->setStyleSheet(sheet_);
        QApplication::setStyle(style_);
        QApplication::setPalette(palette_);
        QApplication::setFont(font_);
    }

private:
    QString style_;
    QString sheet_;
    QPalette palette_;
    QFont font_;
};

// Pixels that differ between two pictures of one size.
int Differing(const QImage& a, const QImage& b) {
    int count = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            count += a.pixel(x, y) != b.pixel(x, y);
        }
    }
    return count;
}

}  // namespace

TEST_F(MainWindow, TheFocusedControlOfEveryKindIsPlainToSee) {
    WithTheLook look;
    TfrmMain& form = Open("[Options]\nRadioButton=1\n");
    form.lvMain->addTopLevelItem(
        new QTreeWidgetItem(QStringList{"http://www.youtube.com/watch?v=a"}));
    QApplication::setActiveWindow(&form);
    // At least a 2-pixel frame around the control must change, or a tint behind it.
    for (QWidget* control : std::initializer_list<QWidget*>{
             form.lvMain, form.bPaste, form.cbAutoCopy, form.eOutputFolder, form.cbFormat,
             form.rbDownload, form.lbEAddress, form.lUpdate}) {
        SCOPED_TRACE(control->metaObject()->className());
        form.bExit->setFocus();
        const QImage unfocused = control->grab().toImage();
        control->setFocus();
        ASSERT_TRUE(control->hasFocus());
        const QImage focused = control->grab().toImage();
        const int frame = 2 * (2 * (control->width() + control->height()) - 8);
        EXPECT_GE(Differing(unfocused, focused), frame)
            << control->width() << "x" << control->height();
    }
}

TEST_F(MainWindow, DisabledLinksAreGreyedAndLoseTheirUnderlineAsEveryOtherControl) {
    WithTheLook look;
    TfrmMain& form = Open();
    const QColor grey = QApplication::palette().color(QPalette::Disabled, QPalette::WindowText);
    for (QLabel* link : std::initializer_list<QLabel*>{form.lbEAddress, form.lUpdate}) {
        SCOPED_TRACE(Text(link));
        const QColor color = link->palette().color(QPalette::WindowText);
        ASSERT_TRUE(link->font().underline());
        link->parentWidget()->setEnabled(false);  // as a run disables the window's controls
        EXPECT_EQ(link->palette().color(QPalette::WindowText), grey);
        EXPECT_FALSE(link->font().underline());
        link->parentWidget()->setEnabled(true);
        EXPECT_EQ(link->palette().color(QPalette::WindowText), color);
        EXPECT_TRUE(link->font().underline());
    }
}

TEST_F(MainWindow, DropsTakeAddressesOrFilesByTheModeAndRefuseTheRest) {
    const std::string a = "http://www.youtube.com/watch?v=aaaa";
    const std::string b = "http://www.youtube.com/watch?v=bbbb";
    std::filesystem::create_directory(dir_.File("clips"));
    const std::string clip = dir_.File("clips/one.flv");
    const std::string other = dir_.File("clips/Two.FLV");
    WriteFile(clip, "");
    WriteFile(other, "");
    auto text = [](const std::string& t) {
        auto* data = new QMimeData;
        data->setText(QString::fromStdString(t));
        return data;
    };
    auto urls = [](std::initializer_list<std::string> list) {
        auto* data = new QMimeData;
        QList<QUrl> all;
        for (const std::string& u : list) {
            all.push_back(u.front() == '/' ? QUrl::fromLocalFile(QString::fromStdString(u))
                                           : QUrl(QString::fromStdString(u)));
        }
        data->setUrls(all);
        return data;
    };
    struct Case {
        const char* what;
        int mode;
        std::vector<std::string> before;
        QMimeData* data;
        bool accepted;
        std::vector<std::string> after;
        int selected;
    } cases[] = {
        {"addresses as Paste takes them",
         0,
         {a},
         text("HTTP://www.youtube.com/watch?v=AAAA\r\n" + b + "\n" + b),
         true,
         {a, b},
         1},
        {"links of a browser", 1, {}, urls({a, b}), true, {a, b}, 1},
        {"the cache server's address",
         0,
         {a},
         text(std::string(sites::kYouTubeCacheAddress) + "x\n" + b),
         false,
         {a},
         -1},
        {"words", 0, {}, text("just words"), false, {}, -1},
        {"files in a download mode", 0, {}, urls({clip}), false, {}, -1},
        {"files as the chooser takes them",
         2,
         {other},
         urls({clip, dir_.File("clips"), dir_.File("clips/two.flv"), a}),
         true,
         {other, clip},
         -1},
        {"addresses in the convert mode", 2, {}, text(a), false, {}, -1},
    };
    QRadioButton* modes[] = {nullptr, nullptr, nullptr};
    for (Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::unique_ptr<QMimeData> data(c.data);
        TfrmMain& form = Open();
        modes[0] = form.rbDownload;
        modes[1] = form.rbDownloadConvert;
        modes[2] = form.rbConvert;
        modes[c.mode]->click();
        for (const std::string& job : c.before) {
            auto* item = new QTreeWidgetItem(QStringList{QString::fromStdString(job)});
            item->setData(0, Qt::UserRole, QByteArray::fromStdString(job));
            form.lvMain->addTopLevelItem(item);
        }
        QWidget* target = form.lvMain->viewport();
        const QPoint at(10, 10);
        QDragEnterEvent enter(at, Qt::CopyAction | Qt::MoveAction, data.get(), Qt::LeftButton, {});
        QApplication::sendEvent(target, &enter);
        EXPECT_EQ(enter.isAccepted(), c.accepted);
        // A drag's offer is read once, as it enters: its moves and its drop keep that reading
        // (a move is given other data here to show it is not read again).
        QMimeData other;
        QDragMoveEvent move(at, Qt::CopyAction | Qt::MoveAction, &other, Qt::LeftButton, {});
        QApplication::sendEvent(target, &move);
        EXPECT_EQ(move.isAccepted(), c.accepted);
        QDropEvent drop(at, Qt::CopyAction | Qt::MoveAction, &other, Qt::LeftButton, {});
        QApplication::sendEvent(target, &drop);
        EXPECT_EQ(drop.isAccepted(), c.accepted);
        if (c.accepted) {
            EXPECT_EQ(drop.dropAction(), Qt::CopyAction);
        }
        EXPECT_EQ(form.Jobs(), c.after);
        EXPECT_EQ(form.SelectedJob(), c.selected);
        EXPECT_TRUE(modes[c.mode]->isChecked()) << "a drop never changes the mode";
        form_.reset();
    }
}

TEST_F(MainWindow, TheFileChooserSaysWhatItIsForAndReopensWhereFilesWereLastTaken) {
    TfrmMain& form = Open("[Options]\nRadioButton=2\n");
    platform::ScriptedDialogs dialogs;
    dialogs.fileChoices = {std::vector<std::string>{dir_.File("a/one.flv"), dir_.File("b/two.flv")},
                           std::nullopt, std::nullopt};
    form.bSelectFileClick();
    form.bSelectFileClick();
    form.bBrowserClick();
    ASSERT_EQ(dialogs.fileRequests.size(), 2u);
    EXPECT_EQ(dialogs.fileRequests[0].caption, "Select local video file");
    EXPECT_EQ(dialogs.fileRequests[0].startFolder, "") << "the user's home";
    EXPECT_EQ(dialogs.fileRequests[1].startFolder, dir_.File("b"));
    ASSERT_EQ(dialogs.folderRequests.size(), 1u);
    EXPECT_EQ(dialogs.folderRequests[0].root, "") << "the user's home";
}

#include "MainWindowTest.moc"
