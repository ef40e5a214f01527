// The runner and its watcher against a stand-in converter that plays exact output sequences.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>

#include "convert/CommandLine.h"
#include "convert/ConvertThread.h"
#include "platform/Dialogs.h"
#include "platform/Files.h"
#include "platform/UniqueFd.h"
#include "tests/convert/StatusSink.h"
#include "tests/support/TempDir.h"

using testsupport::OpenFdCount;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

const std::string kStandIn = std::string(TAMBERLO_FIXTURES_DIR) + "/convert/stand-in-converter.sh";

bool ProcessGone(pid_t pid) {
    return pid > 0 && kill(pid, 0) != 0 && errno == ESRCH;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

class ConvertProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        runner_ = std::make_unique<TConvertProcess>(kStandIn);
        // The runner asks its converter about its encoders on a worker; the descriptors of
        // that question are not the test's.
        convert::ConverterHasAmrNb(kStandIn, std::chrono::seconds(10));
        fdsBefore_ = OpenFdCount();
        runner_->NotifyWindow = &sink_;
        runner_->InputFile = dir_.File("in.flv");
        runner_->OutputFile = dir_.File("out.mp3");
        runner_->Params = "-ar 44100 -ab 128kbit/s -ac 2 ";
    }

    void TearDown() override {
        runner_.reset();
        EXPECT_EQ(OpenFdCount(), fdsBefore_) << "descriptors left open";
    }

    // Starts a conversion that plays script, as the download window does.
    void StartWith(const std::string& script) {
        WriteFile(runner_->InputFile, script);
        runner_->Running = true;
        runner_->Start();
    }

    // The message of the error Start raises; empty when it raises none.
    std::string StartError(const std::string& script) {
        try {
            StartWith(script);
        } catch (const EConvertError& e) {
            return e.what();
        }
        return "";
    }

    std::vector<std::string> ArgumentsSeen() {
        return Lines(ReadFile(dir_.File("converter.args")));
    }

    TempDir dir_;
    StatusSink sink_;
    std::unique_ptr<TConvertProcess> runner_;
    int fdsBefore_ = 0;
};

}  // namespace

TEST_F(ConvertProcessTest, OutputSequences) {
    struct Case {
        const char* name;
        const char* script;
        std::vector<int> percents;  // the end record last
    };
    const Case cases[] = {
        {"duration then progress",
         "err Input #0\\r\\n  Duration: 00:00:10.00, start: 0.000000\\n\n"
         "err frame=1 time=5.00 bitrate=1\\r\nsleep 0.2\nerr frame=2 time=10.00 bitrate=1\\r\n",
         {50, 100, 1000}},
        {"progress before duration",
         "err time=5.00\\r\nsleep 0.2\nerr Duration: 00:00:10.00,\\n\nerr time=7.00\\r\n",
         {70, 1000}},
        {"standard output alike",
         "out Duration: 00:00:20.00, start\\n\nsleep 0.1\nout time=00:00:05.00\\r\n",
         {25, 1000}},
        {"lines split across reads",
         "err Duration: 00:0\nsleep 0.3\nerr 0:40.00, start: 0\\ntime=0\nsleep 0.3\n"
         "err 0:00:10.00 q\\rtime=20.\nsleep 0.3\nerr 00\\r\n",
         {25, 50, 1000}},
        {"exit with output still waiting",
         "err Duration: 00:00:04.00\\ntime=1.00\\rtime=2.00\\rtime=3.00\\rtime=4.00\nexit 3\n",
         {25, 50, 75, 100, 1000}},
        {"no duration ever", "err time=1.00\\rtime=2.00\\r\n", {1000}},
        {"duration N/A", "err Duration: N/A, start: 0.0\\ntime=00:00:01.00\\r\n", {1000}},
        {"not media", "err in.flv: Invalid data found when processing input\\n\nexit 1\n", {1000}},
        {"exits at once", "exit 0\n", {1000}},
        {"megabytes without a line end",
         "bulk 3000000\nerr \\nDuration: 00:00:10.00\\ntime=9.00\\r\n",
         {90, 1000}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sink_.records.clear();
        StartWith(c.script);
        ASSERT_NE(runner_->Thread, nullptr);
        pid_t pid = runner_->ProcessInfo.dwProcessId;
        EXPECT_GT(pid, 0);
        ASSERT_TRUE(sink_.WaitForEnd(20000));
        PumpFor(50);  // nothing may follow the end record
        EXPECT_EQ(sink_.Percents(), c.percents);
        EXPECT_EQ(sink_.Ends(), 1);
        EXPECT_TRUE(sink_.lParamMatches);
        for (const auto& r : sink_.records) {
            if (r.Percent != kPercentFinished) {
                EXPECT_TRUE(r.Elapsed.size() == 5 && r.Elapsed[2] == ':') << r.Elapsed;
                EXPECT_EQ(r.Status, 0);
            } else {
                EXPECT_EQ(r.Status, 0);
                EXPECT_TRUE(r.Elapsed.empty() && r.Estimated.empty());
                // The end record tells how the converter exited; one that wrote nothing
                // failed, whatever it says.
                const std::string script = c.script;
                const std::size_t exit = script.rfind("exit ");
                const int code = exit == std::string::npos ? 0 : std::stoi(script.substr(exit + 5));
                EXPECT_EQ(r.ExitCode, code == 0 ? 1 : code);
            }
        }
        EXPECT_TRUE(ProcessGone(pid)) << "child not reaped";
        EXPECT_EQ(runner_->ProcessInfo.hProcess, nullptr);
        EXPECT_FALSE(runner_->StdOutRead.valid());
        EXPECT_TRUE(runner_->Running);  // only Stop clears it
        runner_->Stop(0);
        EXPECT_FALSE(runner_->Running);
    }
    PumpFor(150);
    EXPECT_EQ(runner_->LiveWatchers(), 0);
}

TEST_F(ConvertProcessTest, ArgumentsAndCommandLine) {
    runner_->InputFile = dir_.File("-x \"say\" it.flv");
    runner_->OutputFile = dir_.File("-x \"say\" it.mp3");
    platform::ScriptedDialogs dialogs;
    StartWith("exit 0\n");
    ASSERT_TRUE(sink_.WaitForEnd(10000));
    EXPECT_TRUE(dialogs.messages.empty());  // no output yet: no question, no "-y"
    EXPECT_EQ(runner_->CommandLine(), "ffmpeg -i \"" + runner_->InputFile +
                                          "\" -ar 44100 -ab 128kbit/s -ac 2 \"" +
                                          runner_->OutputFile + "\"");
    // The converter writes over a hidden file made for it beside the output, with its
    // extension; what it wrote nothing into is gone afterwards.
    std::vector<std::string> seen = ArgumentsSeen();
    ASSERT_EQ(seen.size(), 10u);
    const std::string temp = seen.back();
    seen.pop_back();
    EXPECT_EQ(seen, (std::vector<std::string>{"-y", "-i", runner_->InputFile, "-ar", "44100", "-ab",
                                              "128k", "-ac", "2"}));
    EXPECT_EQ(temp.rfind(dir_.File(".-x \"say\" it."), 0), 0u) << temp;
    EXPECT_EQ(temp.substr(temp.size() - 4), ".mp3");
    EXPECT_FALSE(platform::FileExists(temp));
    EXPECT_FALSE(platform::FileExists(runner_->OutputFile));
}

TEST_F(ConvertProcessTest, RelativeNamesNeverReadAsOptions) {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir_.Path().c_str()), 0);
    runner_->InputFile = "-i.flv";
    runner_->OutputFile = "-y.mp3";
    StartWith("exit 0\n");
    bool ended = sink_.WaitForEnd(10000);
    std::string seen = ReadFile("converter.args");
    ASSERT_EQ(chdir(cwd), 0);
    ASSERT_TRUE(ended);
    std::vector<std::string> args = Lines(seen);
    ASSERT_FALSE(args.empty());
    EXPECT_EQ(args.back().rfind("./.-y.", 0), 0u) << args.back();
    args.pop_back();
    EXPECT_EQ(args, (std::vector<std::string>{"-y", "-i", "./-i.flv", "-ar", "44100", "-ab", "128k",
                                              "-ac", "2"}));
}

TEST_F(ConvertProcessTest, ExistingOutputAnsweredNo) {
    WriteFile(runner_->OutputFile, "old");
    platform::ScriptedDialogs dialogs;
    dialogs.answers = {platform::MsgAnswer::No};
    StartWith("touch\n");
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(dialogs.messages[0].text, runner_->OutputFile + " has existed,overite it?");
    EXPECT_EQ(dialogs.messages[0].caption, "Tamberlo");
    EXPECT_EQ(dialogs.messages[0].icon, platform::MsgIcon::Information);
    EXPECT_EQ(dialogs.messages[0].buttons, platform::MsgButtons::YesNo);
    EXPECT_EQ(runner_->Thread, nullptr);
    EXPECT_EQ(runner_->ProcessInfo.hProcess, nullptr);
    PumpFor(50);
    ASSERT_EQ(sink_.records.size(), 1u);
    EXPECT_EQ(sink_.records[0].Percent, 1000);
    EXPECT_EQ(sink_.records[0].Status, 0);
    EXPECT_EQ(ReadFile(runner_->OutputFile), "old");
    EXPECT_FALSE(platform::FileExists(dir_.File("converter.args")));
}

TEST_F(ConvertProcessTest, ExistingOutputHeldOpenElsewhere) {
    WriteFile(runner_->OutputFile, "old");
    platform::UniqueFd holder(open(runner_->OutputFile.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(holder.valid());
    platform::ScriptedDialogs dialogs;
    dialogs.answers = {platform::MsgAnswer::Yes};
    StartWith("touch\n");
    EXPECT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(runner_->ProcessInfo.hProcess, nullptr);
    PumpFor(50);
    ASSERT_EQ(sink_.records.size(), 1u);
    EXPECT_EQ(sink_.records[0].Percent, 1000);
    EXPECT_EQ(sink_.records[0].Status, 2);
    EXPECT_EQ(ReadFile(runner_->OutputFile), "old");
}

TEST_F(ConvertProcessTest, ExistingOutputReadOnly) {
    WriteFile(runner_->OutputFile, "old");
    ASSERT_EQ(chmod(runner_->OutputFile.c_str(), 0444), 0);
    // The superuser writes read-only files; an immutable one it cannot write either.
    bool immutable = false;
    if (geteuid() == 0) {
        platform::UniqueFd fd(open(runner_->OutputFile.c_str(), O_RDONLY | O_CLOEXEC));
        int flags = 0;
        immutable = ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) == 0 &&
                    (flags |= FS_IMMUTABLE_FL, ioctl(fd.get(), FS_IOC_SETFLAGS, &flags) == 0);
        if (!immutable) {
            GTEST_SKIP() << "the superuser may write a read-only file here";
        }
    }
    platform::ScriptedDialogs dialogs;
    dialogs.answers = {platform::MsgAnswer::Yes};
    StartWith("touch\n");
    if (immutable) {
        platform::UniqueFd fd(open(runner_->OutputFile.c_str(), O_RDONLY | O_CLOEXEC));
        int flags = 0;
        ioctl(fd.get(), FS_IOC_GETFLAGS, &flags);
        flags &= ~FS_IMMUTABLE_FL;
        ioctl(fd.get(), FS_IOC_SETFLAGS, &flags);
    }
    EXPECT_EQ(runner_->ProcessInfo.hProcess, nullptr);
    PumpFor(50);
    ASSERT_EQ(sink_.records.size(), 1u);
    EXPECT_EQ(sink_.records[0].Percent, 1000);
    EXPECT_EQ(sink_.records[0].Status, 2);
    EXPECT_EQ(ReadFile(runner_->OutputFile), "old");
}

TEST_F(ConvertProcessTest, PipeErrorsNameTheirPipe) {
    // Replays the descriptor numbers CreatePipes takes (always the lowest free ones), so that
    // each limit lets every step before the one under test succeed.
    std::set<int> used;
    for (int fd = 0; fd < 4096; ++fd) {
        if (fcntl(fd, F_GETFD) != -1) {
            used.insert(fd);
        }
    }
    auto take = [&used] {
        int fd = 3;
        while (used.count(fd) != 0) {
            ++fd;
        }
        used.insert(fd);
        return fd;
    };
    std::vector<int> limits;  // the number each failing step would have had
    for (bool childReads : {true, false, false}) {
        int readEnd = take();
        int writeEnd = take();
        limits.push_back(writeEnd);
        limits.push_back(take());
        used.erase(childReads ? readEnd : writeEnd);
    }
    struct Case {
        int limit;
        std::string message;
    };
    const Case cases[] = {
        {limits[0], "Error on STDIN pipe creation : "},
        {limits[1], "Error on STDIN pipe duplication : "},
        {limits[2], "Error on STDOUT pipe creation : "},
        {limits[3], "Error on STDOUT pipe duplication : "},
        {limits[4], "Error on STDERR pipe creation : "},
        {limits[5], "Error on STDERR pipe duplication : "},
    };
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    for (const Case& c : cases) {
        std::string error;
        rlimit low = saved;
        low.rlim_cur = static_cast<rlim_t>(c.limit);
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
        try {
            runner_->CreatePipes();
        } catch (const EConvertError& e) {
            // The limit goes back first: the sanitizers need descriptors to check the call.
            setrlimit(RLIMIT_NOFILE, &saved);
            error = e.what();
        }
        setrlimit(RLIMIT_NOFILE, &saved);
        EXPECT_EQ(error, c.message + std::to_string(EMFILE));
        runner_->ClosePipes();
    }
    // Start closes what it made before the failure.
    rlimit low = saved;
    low.rlim_cur = static_cast<rlim_t>(limits[2]);
    WriteFile(runner_->InputFile, "exit 0\n");
    runner_->Running = true;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    bool raised = false;
    try {
        runner_->Start();
    } catch (const EConvertError&) {
        raised = true;
    }
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_TRUE(raised);
    EXPECT_FALSE(runner_->StdInRead.valid());
    EXPECT_FALSE(runner_->StdInWrite.valid());
    EXPECT_EQ(OpenFdCount(), fdsBefore_);
}

TEST_F(ConvertProcessTest, ExistingOutputAnsweredYesOverwrites) {
    WriteFile(runner_->OutputFile, "old");
    platform::ScriptedDialogs dialogs;
    dialogs.answers = {platform::MsgAnswer::Yes};
    StartWith("touch\n");
    ASSERT_TRUE(sink_.WaitForEnd(10000));
    EXPECT_EQ(runner_->CommandLine().rfind("ffmpeg -y -i \"", 0), 0u);
    auto args = ArgumentsSeen();
    ASSERT_FALSE(args.empty());
    EXPECT_EQ(args[0], "-y");
    EXPECT_EQ(ReadFile(runner_->OutputFile), "converted");
}

TEST_F(ConvertProcessTest, MissingConverter) {
    runner_->Stop(0);  // never ran: nothing happens
    runner_->Program = dir_.File("no-such-converter");
    EXPECT_EQ(StartError("exit 0\n"),
              "Error while creating convert process!" + std::to_string(ENOENT));
    EXPECT_EQ(OpenFdCount(), fdsBefore_);
    EXPECT_FALSE(runner_->StdInRead.valid());
    EXPECT_EQ(runner_->ProcessInfo.hProcess, nullptr);
    EXPECT_EQ(runner_->Thread, nullptr);

    runner_->Program = "tamberlo-no-such-converter-anywhere";  // a bare name, searched for
    EXPECT_THROW(runner_->Start(), EConvertError);
    PumpFor(50);
    EXPECT_TRUE(sink_.records.empty());
}

TEST_F(ConvertProcessTest, NotExecutableConverter) {
    runner_->Program = runner_->InputFile;  // exists, but may not be run
    EXPECT_EQ(StartError("exit 0\n"),
              "Error while creating convert process!" + std::to_string(EACCES));
    EXPECT_EQ(OpenFdCount(), fdsBefore_);
}

TEST_F(ConvertProcessTest, StopDuringConversion) {
    StartWith("err Duration: 00:00:10.00\\n\nsleep 30\nerr time=5.00\\r\n");
    pid_t pid = runner_->ProcessInfo.dwProcessId;
    PumpFor(300);
    ASSERT_FALSE(ProcessGone(pid));
    runner_->Stop(0);
    EXPECT_FALSE(runner_->Running);
    EXPECT_EQ(runner_->Thread, nullptr);
    EXPECT_FALSE(runner_->StdOutRead.valid());
    EXPECT_TRUE(ProcessGone(pid));
    PumpFor(250);  // the watcher ends within about one wait
    EXPECT_EQ(runner_->LiveWatchers(), 0);
    EXPECT_TRUE(sink_.records.empty());
    runner_->Stop(0);  // twice: nothing more happens
    PumpFor(50);
    EXPECT_TRUE(sink_.records.empty());
}

TEST_F(ConvertProcessTest, DestroyDuringConversion) {
    StartWith("err Duration: 00:00:10.00\\n\nbulk 200000\nsleep 30\n");
    pid_t pid = runner_->ProcessInfo.dwProcessId;
    PumpFor(200);
    runner_.reset();
    EXPECT_TRUE(ProcessGone(pid));
    EXPECT_EQ(OpenFdCount(), fdsBefore_);
    PumpFor(200);
    EXPECT_TRUE(sink_.records.empty());
}

TEST_F(ConvertProcessTest, DestroyWithoutStopStillKills) {
    StartWith("sleep 30\n");
    runner_->Running = false;  // a caller that forgot the flag
    pid_t pid = runner_->ProcessInfo.dwProcessId;
    runner_.reset();
    EXPECT_TRUE(ProcessGone(pid));
}

TEST_F(ConvertProcessTest, RestartWhileRunningReplacesTheConversion) {
    StartWith("sleep 30\n");
    pid_t first = runner_->ProcessInfo.dwProcessId;
    StartWith("err Duration: 00:00:10.00\\ntime=5.00\\r\n");
    ASSERT_TRUE(sink_.WaitForEnd(10000));
    EXPECT_EQ(sink_.Percents(), (std::vector<int>{50, 1000}));
    PumpFor(200);
    EXPECT_TRUE(ProcessGone(first));
}

TEST_F(ConvertProcessTest, FailedReadEndsTheConversionWithAReport) {
    runner_->BytesAvailable = 16;  // no pipe: the read fails
    try {
        runner_->ReadStdErr();
        FAIL() << "no error raised";
    } catch (const EConvertError& e) {
        EXPECT_EQ(std::string(e.what()), "Error reading STDERR pipe : " + std::to_string(EBADF));
    }
    PumpFor(50);
    ASSERT_EQ(sink_.records.size(), 1u);
    EXPECT_EQ(sink_.records[0].Percent, 1000);
    EXPECT_EQ(sink_.records[0].Status, kStatusReadFailed);
}

TEST_F(ConvertProcessTest, UndeliveredRecordsAreFreed) {
    // A receiver that is gone, or never was: the records go nowhere and nothing leaks (the
    // sanitizer build checks the last part).
    {
        StatusSink gone;
        runner_->NotifyWindow = &gone;
        runner_->PostStatus(0);
    }
    runner_->PostStatus(0);
    runner_->NotifyWindow = nullptr;
    runner_->PostStatus(2);
    runner_->ParseOutput("Duration: 00:00:10.00\ntime=5.00\r", 32);
    PumpFor(20);
    EXPECT_TRUE(sink_.records.empty());
}

TEST_F(ConvertProcessTest, ParseOutputDocumentedLines) {
    const char* lines = "Duration: 00:03:25.17, start: 0.000000, bitrate: 64 kb/s\ntime=102.50\r";
    runner_->ParseOutput(lines, std::strlen(lines));
    EXPECT_EQ(runner_->Duration, 205);
    PumpFor(20);
    EXPECT_EQ(sink_.Percents(), std::vector<int>{49});
    // Text after a zero byte still counts, as a line of its own.
    sink_.records.clear();
    runner_->ParseOutput("x\0time=205.00\r", 14, true);
    PumpFor(20);
    EXPECT_EQ(sink_.Percents(), std::vector<int>{100});
}

TEST_F(ConvertProcessTest, ElapsedTimeIgnoresChangesOfTheLocalClock) {
    // A change of summer time, or a zone change, moves the local clock by hours in an instant.
    const char* before = std::getenv("TZ");
    const std::string saved = before != nullptr ? before : "";
    const std::pair<const char*, const char*> changes[] = {{"UTC0", "EST5"}, {"UTC0", "MSK-3"}};
    for (const auto& [from, to] : changes) {
        SCOPED_TRACE(to);
        sink_.records.clear();
        setenv("TZ", from, 1);
        tzset();
        runner_->ParseOutput("Duration: 00:00:10.00\n", 22);
        setenv("TZ", to, 1);
        tzset();
        runner_->ParseOutput("time=5.00\r", 10);
        PumpFor(20);
        ASSERT_EQ(sink_.records.size(), 1u);
        EXPECT_EQ(sink_.records[0].Elapsed, "00:00");
        EXPECT_EQ(sink_.records[0].Estimated, "00:00");
    }
    if (before != nullptr) {
        setenv("TZ", saved.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

namespace {

// A converter that has AMR-NB and takes seconds to list its encoders.
std::string SlowListingConverter(const TempDir& dir, const char* seconds) {
    const std::string path = dir.File("slow-lister");
    WriteFile(path, "#!/bin/sh\nif [ \"$2\" = -encoders ]; then sleep " + std::string(seconds) +
                        "; echo ' A..... libopencore_amrnb AMR-NB'; exit 0; fi\nexec " + kStandIn +
                        " \"$@\"\n");
    chmod(path.c_str(), 0755);
    return path;
}

bool HandsOverAac(const std::vector<std::string>& args) {
    return std::find(args.begin(), args.end(), "aac") != args.end();
}

}  // namespace

TEST_F(ConvertProcessTest, TheConverterIsAskedForItsEncodersBeforeTheFirst3gpStart) {
    runner_ = std::make_unique<TConvertProcess>(SlowListingConverter(dir_, "0.5"));
    runner_->NotifyWindow = &sink_;
    runner_->OutputFile = dir_.File("out.3gp");
    PumpFor(1500);  // the user chooses a file meanwhile
    QElapsedTimer timer;
    timer.start();
    StartWith("exit 0\n");
    EXPECT_LT(timer.elapsed(), 300) << "the start waited for the encoder list";
    EXPECT_FALSE(HandsOverAac(runner_->Arguments()));
    EXPECT_TRUE(sink_.WaitForEnd(10000));
}

TEST_F(ConvertProcessTest, AStartWaitsBrieflyForAnEncoderListThatIsLate) {
    const std::string converter = SlowListingConverter(dir_, "2.5");
    runner_ = std::make_unique<TConvertProcess>(converter);
    runner_->NotifyWindow = &sink_;
    runner_->OutputFile = dir_.File("out.3gp");
    QElapsedTimer timer;
    timer.start();
    StartWith("exit 0\n");
    EXPECT_LT(timer.elapsed(), convert::kAmrNbProbeWait.count() + 500);
    EXPECT_TRUE(HandsOverAac(runner_->Arguments()));  // not known: the codec that is always there
    ASSERT_TRUE(sink_.WaitForEnd(10000));
    // The late answer serves the next conversion.
    EXPECT_TRUE(convert::ConverterHasAmrNb(converter, std::chrono::seconds(10)));
    sink_.records.clear();
    StartWith("exit 0\n");
    EXPECT_FALSE(HandsOverAac(runner_->Arguments()));
    EXPECT_TRUE(sink_.WaitForEnd(10000));
}

TEST_F(ConvertProcessTest, TheOutputNameIsReplacedByARenameNeverWrittenThrough) {
    TempDir elsewhere;
    const std::string theirs = elsewhere.File("theirs");
    const std::string longName = dir_.File(std::string(251, 'n') + ".mp3");
    struct Case {
        const char* name;
        std::string input;
        std::string link;  // the output is a link to this path; empty: no link
        bool ownDownload;
        std::size_t questions;
    };
    const Case cases[] = {
        {"a dangling link is asked about", dir_.File("in.flv"), elsewhere.File("nothing"), false,
         1},
        {"so is a link to a file", dir_.File("in.flv"), theirs, false, 1},
        {"the run's own download, as long as a name can be, converted onto itself unasked",
         longName, "", true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(theirs, "theirs");
        runner_->InputFile = c.input;
        runner_->OutputFile = c.ownDownload ? c.input : dir_.File("out.mp3");
        std::remove(runner_->OutputFile.c_str());
        if (!c.link.empty()) {
            ASSERT_EQ(symlink(c.link.c_str(), runner_->OutputFile.c_str()), 0);
        }
        runner_->InputIsOwnDownload = c.ownDownload;
        platform::ScriptedDialogs dialogs;
        dialogs.answers = {platform::MsgAnswer::Yes};
        sink_.records.clear();
        StartWith("touch\n");
        ASSERT_TRUE(sink_.WaitForEnd(10000));
        EXPECT_EQ(dialogs.messages.size(), c.questions);
        EXPECT_EQ(sink_.records.back().ExitCode, 0);
        struct stat info {};
        ASSERT_EQ(lstat(runner_->OutputFile.c_str(), &info), 0);
        EXPECT_TRUE(S_ISREG(info.st_mode));
        EXPECT_EQ(ReadFile(runner_->OutputFile), "converted");
        EXPECT_EQ(ReadFile(theirs), "theirs");
        EXPECT_FALSE(platform::FileExists(elsewhere.File("nothing")));
        runner_->Stop(0);
    }
    // Nothing of the conversions' own is left beside their outputs.
    std::remove(dir_.File("converter.args").c_str());
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.Path())) {
        names.insert(entry.path().filename().string());
    }
    EXPECT_EQ(names, (std::set<std::string>{"in.flv", "out.mp3", std::string(251, 'n') + ".mp3"}));
}
