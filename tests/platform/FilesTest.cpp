#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QProcess>
#include <filesystem>

#include "platform/Dialogs.h"
#include "platform/Files.h"
#include "tests/support/TempDir.h"

using namespace platform;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

TEST(IsFileLocked, FreeMissingAndFolderPathsAreNotLocked) {
    TempDir dir;
    const std::string file = dir.File("free.flv");
    WriteFile(file, "content");
    EXPECT_FALSE(IsFileLocked(file));
    EXPECT_FALSE(IsFileLocked(dir.File("missing.flv")));
    EXPECT_FALSE(IsFileLocked(dir.Path()));
    EXPECT_EQ(ReadFile(file), "content");
}

TEST(IsFileLocked, AReadOnlyFileIsLocked) {
    TempDir dir;
    const std::string file = dir.File("readonly.flv");
    WriteFile(file, "content");
    chmod(file.c_str(), 0444);
    if (geteuid() != 0) {
        EXPECT_TRUE(IsFileLocked(file));
    } else {
        // The superuser opens anything for writing; ask as an ordinary user instead.
        chmod(dir.Path().c_str(), 0755);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const bool dropped = setgid(65534) == 0 && setuid(65534) == 0;
            _exit(!dropped ? 2 : IsFileLocked(file) ? 1 : 0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 1) << "2 means the user could not be changed";
    }
    EXPECT_EQ(ReadFile(file), "content");
}

TEST(IsFileLocked, AFileHeldOpenByAnotherProcessIsLockedAndUnchanged) {
    TempDir dir;
    const std::string file = dir.File("busy.flv");
    WriteFile(file, "content that must stay");
    QProcess holder;
    // The shell keeps the file open on fd 3 until it is killed.
    holder.start("bash", {"-c", QString("exec 3<>'%1'; echo ready; sleep 30").arg(file.c_str())});
    ASSERT_TRUE(holder.waitForReadyRead(5000));
    EXPECT_TRUE(IsFileLocked(file));
    holder.kill();
    holder.waitForFinished();
    EXPECT_FALSE(IsFileLocked(file));
    EXPECT_EQ(ReadFile(file), "content that must stay");
}

TEST(SelectFolder, AMissingFolderArgumentComesBackEmptyOnCancel) {
    ScriptedDialogs dialogs;
    dialogs.folderChoices.push_back(std::nullopt);
    std::string folder = "/no/such/folder";
    EXPECT_FALSE(SelectFolder("Please select the directory to add", "", folder));
    EXPECT_EQ(folder, "");
    ASSERT_EQ(dialogs.folderRequests.size(), 1u);
    EXPECT_EQ(dialogs.folderRequests[0].caption, "Please select the directory to add");
}

TEST(SelectFolder, AChosenFolderIsReturned) {
    ScriptedDialogs dialogs;
    dialogs.folderChoices.push_back(std::string("/tmp"));
    std::string folder;
    EXPECT_TRUE(SelectFolder("t", "", folder));
    EXPECT_EQ(folder, "/tmp");
}

TEST(Dialogs, FilterPairsBecomeQtFilters) {
    EXPECT_EQ(QtFilterFromPairs("Flv files(*.flv)|*.flv| Any file(*.*)|*.*"),
              "Flv files(*.flv) (*.flv);;Any file(*.*) (*)");
}
