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

TEST(PartFileName, KeepsRoomBesideItAndCutsOnlyWholeCharacters) {
    std::string accents;  // "é" forty times, two bytes each
    for (int i = 0; i < 40; ++i) {
        accents += "\xC3\xA9";
    }
    struct Case {
        std::string name;
        std::string part;
    };
    const Case cases[] = {
        {"Clip.flv", "Clip.flv.part"},
        {".flv", ".flv.part"},
        {std::string(250, 'a') + ".mp4", std::string(241, 'a') + ".mp4.part"},
        // 241 bytes of name fit; the 241st would be the first half of a character.
        {std::string(180, 'a') + accents + ".flv",
         std::string(180, 'a') + accents.substr(0, 60) + ".flv.part"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PartFileName(c.name), c.part);
        EXPECT_LE(PartFileName(c.name).size() + 5, kMaxNameBytes);
    }
}
