#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileSystemModel>
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
