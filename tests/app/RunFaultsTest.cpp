// Faults from outside during whole runs: the output folder taken away, the converter killed,
// and many stopped runs in a row, which must leave no descriptor and no child behind.

#include <dirent.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "tests/app/RunFixture.h"

using namespace runtest;

namespace {

// Children of this process that have not been reaped, zombies included.
int ChildCount() {
    int count = 0;
    const std::string self = std::to_string(getpid());
    DIR* proc = opendir("/proc");
    while (dirent* entry = proc != nullptr ? readdir(proc) : nullptr) {
        if (std::string(entry->d_name).find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const std::string stat = ReadFile(std::string("/proc/") + entry->d_name + "/stat");
        const std::size_t paren = stat.rfind(')');
        if (paren == std::string::npos) {
            continue;
        }
        // After the name: state, then the parent's pid.
        const std::size_t ppid = stat.find(' ', paren + 2);
        count += stat.compare(ppid + 1, self.size() + 1, self + " ") == 0 ? 1 : 0;
    }
    if (proc != nullptr) {
        closedir(proc);
    }
    return count;
}

// Makes a folder refuse new files, also to the superuser; false where that cannot be done.
bool Seal(const std::string& folder, bool on) {
    chmod(folder.c_str(), on ? 0555 : 0755);
    if (geteuid() != 0) {
        return true;
    }
    platform::UniqueFd fd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    int flags = 0;
    if (ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) != 0) {
        return false;
    }
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    return ioctl(fd.get(), FS_IOC_SETFLAGS, &flags) == 0;
}

TEST_F(Run, AnOutputFolderThatTurnsReadOnlyFailsTheJobUnderWayAndTheNext) {
    const OwnPage slow = AddYouTubePage(site_, "readonly001", "Before");
    site_.Route(slow.file, Reply::Body(content_.flv, "video/x-flv").Trickle(8192, 30));
    AddJobs({slow.job, kMetacafe});
    bool sealed = false;
    When(InTransfer, [&](TfrmDownload&) { sealed = Seal(out_, true); });
    Start();
    Seal(out_, false);
    if (!sealed) {
        GTEST_SKIP() << "this file system cannot make a folder read-only to the superuser";
    }
    // The file under way arrived whole but cannot take its name; the next one cannot be made.
    EXPECT_FALSE(std::filesystem::exists(Out(slow.name)));
    EXPECT_EQ(ErrorLines(),
              (std::vector<std::string>{"Cannot write " + slow.name + " from " + slow.job +
                                            " (no permission to write there)",
                                        "Cannot create Funny Cats Compilation.flv from " +
                                            kMetacafe + " (no permission to write there)"}));
}

TEST_F(Run, AnOutputFolderRemovedOrMovedDuringATransferFailsThatJobWithItsLine) {
    const OwnPage slow = AddYouTubePage(site_, "folderaway1", "Away");
    site_.Route(slow.file, Reply::Body(content_.flv, "video/x-flv").Trickle(8192, 30));
    form_->cbFormat->setCurrentIndex(kAviProfile);
    struct Case {
        const char* name;
        int mode;
        bool move;
    };
    for (const Case& c : {Case{"removed", 0, false}, Case{"moved, converting", 1, true}}) {
        SCOPED_TRACE(c.name);
        std::filesystem::create_directory(out_);
        NewJobs(c.mode, {slow.job});
        dialogs_.messages.clear();
        const std::string moved = dir_.File("moved");
        When(InTransfer, [&](TfrmDownload&) {
            if (c.move) {
                std::filesystem::rename(out_, moved);
            } else {
                std::filesystem::remove_all(out_);
            }
        });
        Start();
        EXPECT_EQ(ErrorLines(), std::vector<std::string>{"Cannot write " + slow.name + " from " +
                                                         slow.job + " (the folder is gone)"});
        // Nothing of the job is left where the folder went.
        if (c.move) {
            EXPECT_TRUE(std::filesystem::is_empty(moved));
            std::filesystem::remove_all(moved);
        }
    }
}

TEST_F(Run, AMissingConverterIsSaidToBeMissing) {
    form_->ConvertProcess->Program = "tamberlo-no-such-converter";
    TempDir local;
    WriteFile(local.File("clip.flv"), "x");
    form_->cbFormat->setCurrentIndex(kAviProfile);
    NewJobs(2, {local.File("clip.flv")});
    Start();
    EXPECT_EQ(ErrorLines(),
              std::vector<std::string>{"Conversion failed: clip.avi (ffmpeg is not installed; "
                                       "install the ffmpeg package)"});
    EXPECT_TRUE(std::filesystem::is_empty(out_));
}

TEST_F(Run, AConverterKilledFromOutsideFailsItsJobAndTheNextOneRuns) {
    form_->ConvertProcess->Program =
        std::string(TAMBERLO_FIXTURES_DIR) + "/convert/stand-in-converter.sh";
    TempDir local;
    WriteFile(local.File("killed.flv"),
              "err Duration: 00:00:10.00, start\\n\nerr time=00:00:01.00\\r\nsleep 30\n");
    WriteFile(local.File("next.flv"), "touch\n");
    SetMode(2);
    form_->cbFormat->setCurrentIndex(kAviProfile);
    dialogs_.fileChoices = {
        std::vector<std::string>{local.File("killed.flv"), local.File("next.flv")}};
    form_->bSelectFileClick();
    When([](TfrmDownload& w) { return w.suiProgressBar2->value() == 10; },
         [this](TfrmDownload&) { kill(form_->ConvertProcess->ProcessInfo.dwProcessId, SIGKILL); });
    Start();
    EXPECT_EQ(ErrorLines(), std::vector<std::string>{"Conversion failed: killed.avi"});
    EXPECT_TRUE(platform::FileExists(Out("next.avi")));
}

TEST_F(Run, FiftyStoppedRunsLeaveNoDescriptorOrChildBehind) {
    const OwnPage stalled = AddYouTubePage(site_, "stalled0050", "Stalled");
    site_.Route(stalled.file, Reply::Body(content_.flv, "video/x-flv").StallAfter(2000));
    form_->ConvertProcess->Program =
        std::string(TAMBERLO_FIXTURES_DIR) + "/convert/stand-in-converter.sh";
    TempDir local;
    const std::string slow = local.File("slow.flv");
    WriteFile(slow, "err Duration: 00:00:10.00, start\\n\nerr time=00:00:01.00\\r\nsleep 30\n");
    form_->cbFormat->setCurrentIndex(kAviProfile);
    int fdsBefore = 0;
    for (int run = 0; run < 50; ++run) {
        const bool convert = run % 5 == 4;
        form_->miRemoveAllClick();
        SetMode(convert ? 2 : 0);
        if (convert) {
            dialogs_.fileChoices = {std::vector<std::string>{slow}};
            form_->bSelectFileClick();
        } else {
            AddJobs({stalled.job});
        }
        dialogs_.answers = {platform::MsgAnswer::Yes, platform::MsgAnswer::Yes};
        When(
            [convert](TfrmDownload& w) {
                return convert ? w.suiProgressBar2->value() == 10 : InTransfer(w);
            },
            [](TfrmDownload& w) { w.bStopClick(); });
        Start();
        if (run == 4) {
            // The first runs of each kind open what the program keeps for its lifetime.
            testsupport::PumpFor(200);
            fdsBefore = testsupport::OpenFdCount();
        }
    }
    ASSERT_TRUE(testsupport::PumpUntil([&] { return site_.OpenConnections() == 0; }));
    testsupport::PumpFor(200);
    EXPECT_LE(testsupport::OpenFdCount(), fdsBefore);
    EXPECT_EQ(ChildCount(), 0);
    EXPECT_EQ(form_->ConvertProcess->LiveWatchers(), 0);
}

}  // namespace
