#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLabel>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <filesystem>

#include "platform/Dialogs.h"
#include "tests/support/TempDir.h"

using namespace platform;

TEST(FileChooser, AnyFileShowsFilesWithoutADotAndTheEntriesReadAsGiven) {
    testsupport::TempDir dir;
    for (const char* name : {"README", "clip.flv", "notes.txt"}) {
        testsupport::WriteFile(dir.File(name), "");
    }
    std::vector<std::string> entries;
    std::vector<std::string> shown;
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr) {
            return;
        }
        if (auto* types = dialog->findChild<QComboBox*>("fileTypeCombo")) {
            for (int i = 0; i < types->count(); ++i) {
                entries.push_back(types->itemText(i).toStdString());
            }
        }
        dialog->selectNameFilter(dialog->nameFilters().last());
        auto* model = dialog->findChild<QFileSystemModel*>();
        const QModelIndex folder = model->index(QString::fromStdString(dir.Path()));
        (void)QTest::qWaitFor([&] { return model->rowCount(folder) == 3; }, 3000);
        for (int row = 0; row < model->rowCount(folder); ++row) {
            shown.push_back(model->index(row, 0, folder).data().toString().toStdString());
        }
        dialog->reject();
    });
    EXPECT_EQ(QtDialogs().OpenFiles(nullptr, {"Flv files(*.flv)|*.flv| Any file(*.*)|*.*", true,
                                              "Files", dir.Path()}),
              std::nullopt);
    EXPECT_EQ(entries, (std::vector<std::string>{"Flv files(*.flv)", "Any file(*.*)"}));
    std::sort(shown.begin(), shown.end());
    EXPECT_EQ(shown, (std::vector<std::string>{"README", "clip.flv", "notes.txt"}));
}

TEST(FileChooser, BothChoosersOpenAtHomeOrTheGivenFolderNeverTheWorkingOne) {
    testsupport::TempDir dir;
    const QString home = QDir::homePath();
    ASSERT_NE(QDir::currentPath(), home);
    struct Case {
        bool folders;
        std::string start;
        QString expected;
    } cases[] = {
        {true, "", home},
        {false, "", home},
        {false, dir.Path(), QString::fromStdString(dir.Path())},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.start + (c.folders ? " folders" : " files"));
        QString shown;
        QString title;
        QTimer::singleShot(0, [&] {
            if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
                shown = dialog->directory().absolutePath();
                title = dialog->windowTitle();
                dialog->reject();
            }
        });
        if (c.folders) {
            QtDialogs().SelectFolder(nullptr, {"Pick a folder", c.start});
        } else {
            QtDialogs().OpenFiles(nullptr, {"Any file(*.*)|*.*", true, "Pick files", c.start});
        }
        EXPECT_EQ(shown, c.expected);
        EXPECT_EQ(title, c.folders ? "Pick a folder" : "Pick files");
    }
}

TEST(MessageBox, LongLinesAreShortenedAndManyLinesCountedWithTheWholeTextInTheDetails) {
    const std::string title(4 << 20, 'w');  // a title of megabytes
    const std::string line = "Cannot create /out/" + title + ".flv from http://x/\r\n";
    std::string many;
    for (int i = 0; i < kShownLinesMax + 3; ++i) {
        many += "line " + std::to_string(i) + "\r\n";
    }
    // A character outside the basic plane where either cut would fall.
    const std::string film = "\xF0\x9F\x8E\xA5";
    const std::string wide =
        std::string(98, 'a') + film + std::string(300, 'c') + film + std::string(99, 'b');
    struct Case {
        const char* name;
        std::string text;
        std::string shown;
    } cases[] = {
        {"short lines stand", "one\r\ntwo\r\n", "one\r\ntwo\r\n"},
        {"a long line keeps both ends", line,
         "Cannot create /out/" + std::string(80, 'w') + "\xE2\x80\xA6" + std::string(80, 'w') +
             ".flv from http://x/\r\n"},
        {"lines past the limit are counted", many,
         many.substr(0, many.find("line " + std::to_string(kShownLinesMax))) +
             "\xE2\x80\xA6 and 3 more: see the details."},
        {"a character outside the basic plane is not split", wide,
         std::string(98, 'a') + "\xE2\x80\xA6" + std::string(99, 'b')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ShownMessageText(c.text), c.shown);
    }

    // The real box: quick to show, the whole text in its details, its picture named.
    QString text;
    QString details;
    QString picture;
    QTimer::singleShot(0, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            text = box->text();
            details = box->detailedText();
            if (auto* icon = box->findChild<QLabel*>(QStringLiteral("qt_msgboxex_icon_label"))) {
                picture = icon->accessibleName();
            }
            box->accept();
        }
    });
    QtDialogs().MessageBox(nullptr, {line, "Tamberlo", MsgIcon::Error, MsgButtons::Ok});
    // The box shows line ends its own way.
    EXPECT_EQ(text.trimmed().size(), kShownLineMax - 1);
    EXPECT_EQ(details.trimmed().toStdString(), line.substr(0, line.size() - 2));
    EXPECT_EQ(picture, "Error");
}
