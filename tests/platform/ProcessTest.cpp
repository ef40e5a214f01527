// Child processes, pipes and the synchronised call, against real programs of the system.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <thread>

#include "platform/Messages.h"
#include "platform/Process.h"
#include "platform/Synchronize.h"
#include "tests/support/TempDir.h"

using namespace platform;
using testsupport::OpenFdCount;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

bool ProcessGone(pid_t pid) {
    return kill(pid, 0) != 0 && errno == ESRCH;
}

void MakeProgram(const std::string& path, const std::string& body) {
    WriteFile(path, "#!/bin/sh\n" + body + "\n");
    chmod(path.c_str(), 0755);
}

// Sets PATH for the life of the object.
class ScopedPath {
public:
    explicit ScopedPath(const std::string& value) {
        const char* old = std::getenv("PATH");
        had_ = old != nullptr;
        old_ = had_ ? old : "";
        setenv("PATH", value.c_str(), 1);
    }
    ~ScopedPath() {
        if (had_) {
            setenv("PATH", old_.c_str(), 1);
        } else {
            unsetenv("PATH");
        }
    }

private:
    bool had_;
    std::string old_;
};

}  // namespace

TEST(Process, PipesAreCloseOnExecAndDuplicatesAboveTheStandardNumbers) {
    UniqueFd r, w, copy;
    ASSERT_TRUE(CreatePipe(r, w));
    EXPECT_TRUE(fcntl(r.get(), F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(fcntl(w.get(), F_GETFD) & FD_CLOEXEC);
    ASSERT_TRUE(DuplicateFd(w, copy));
    EXPECT_GE(copy.get(), 3);
    EXPECT_TRUE(fcntl(copy.get(), F_GETFD) & FD_CLOEXEC);

    std::uint32_t n = 99;
    EXPECT_TRUE(PeekAvailable(r.get(), n));
    EXPECT_EQ(n, 0u);
    ASSERT_EQ(write(copy.get(), "hello", 5), 5);
    EXPECT_TRUE(PeekAvailable(r.get(), n));
    EXPECT_EQ(n, 5u);
    EXPECT_TRUE(PeekAvailable(r.get(), n));  // a peek removes nothing
    EXPECT_EQ(n, 5u);
    char buffer[8];
    EXPECT_EQ(ReadSome(r.get(), buffer, n), 5);
    EXPECT_FALSE(PeekAvailable(-1, n));
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(ReadSome(-1, buffer, 1), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST(Process, ChildGetsOnlyItsThreeStreams) {
    TempDir dir;
    UniqueFd inR, inW, outR, outW, errR, errW;
    ASSERT_TRUE(CreatePipe(inR, inW) && CreatePipe(outR, outW) && CreatePipe(errR, errW));
    // A descriptor opened without close-on-exec, as another part of the program might.
    UniqueFd stray(open(dir.Path().c_str(), O_RDONLY | O_DIRECTORY));
    ASSERT_TRUE(stray.valid());
    std::string script = "for fd in " + std::to_string(stray.get()) + " " +
                         std::to_string(outR.get()) + " " + std::to_string(inW.get()) +
                         "; do [ -e /proc/self/fd/$fd ] && echo leaked $fd; done; "
                         "echo out; echo err >&2; read line; echo got $line";
    auto child =
        ChildProcess::Spawn("/bin/sh", {"sh", "-c", script}, inR.get(), outW.get(), errW.get());
    ASSERT_NE(child, nullptr);
    ASSERT_EQ(write(inW.get(), "fed\n", 4), 4);
    ASSERT_TRUE(child->WaitForExit(5000));
    EXPECT_TRUE(child->Reaped());
    EXPECT_TRUE(ProcessGone(child->Pid()));
    char buffer[256];
    std::uint32_t n = 0;
    ASSERT_TRUE(PeekAvailable(outR.get(), n));
    std::string out(buffer, static_cast<std::size_t>(ReadSome(outR.get(), buffer, n)));
    EXPECT_EQ(out, "out\ngot fed\n");
    ASSERT_TRUE(PeekAvailable(errR.get(), n));
    EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(ReadSome(errR.get(), buffer, n))),
              "err\n");
}

TEST(Process, FailedStartIsKnownAtOnce) {
    TempDir dir;
    UniqueFd r, w;
    ASSERT_TRUE(CreatePipe(r, w));
    int before = OpenFdCount();
    struct Case {
        std::string path;
        int error;
    };
    WriteFile(dir.File("plain"), "not a program");
    const Case cases[] = {
        {dir.File("missing"), ENOENT},
        {dir.File("plain"), EACCES},
        {"", ENOENT},
    };
    for (const Case& c : cases) {
        errno = 0;
        EXPECT_EQ(ChildProcess::Spawn(c.path, {"x"}, r.get(), w.get(), w.get()), nullptr);
        EXPECT_EQ(errno, c.error) << c.path;
    }
    EXPECT_EQ(OpenFdCount(), before);
}

TEST(Process, KillAndWait) {
    UniqueFd r, w;
    ASSERT_TRUE(CreatePipe(r, w));
    auto child = ChildProcess::Spawn("/bin/sleep", {"sleep", "30"}, r.get(), w.get(), w.get());
    ASSERT_NE(child, nullptr);
    pid_t pid = child->Pid();
    QElapsedTimer timer;
    timer.start();
    EXPECT_FALSE(child->WaitForExit(100));
    EXPECT_GE(timer.elapsed(), 90);
    EXPECT_FALSE(child->TryReap());
    EXPECT_EQ(child->ExitCode(), -1);
    EXPECT_TRUE(child->KillAndReap(2000));
    EXPECT_TRUE(ProcessGone(pid));
    EXPECT_EQ(child->ExitCode(), 128 + SIGKILL);
    child->Kill();  // after the end: no effect, no error
    EXPECT_TRUE(child->WaitForExit(0));
}

TEST(Process, DroppingALiveChildKillsAndReapsIt) {
    UniqueFd r, w;
    ASSERT_TRUE(CreatePipe(r, w));
    auto child = ChildProcess::Spawn("/bin/sleep", {"sleep", "30"}, r.get(), w.get(), w.get());
    ASSERT_NE(child, nullptr);
    pid_t pid = child->Pid();
    child.reset();
    EXPECT_TRUE(ProcessGone(pid));
}

namespace {

// Makes every signal the calling thread sends fail, as a sandbox that does not know the calls
// does; the rest of the process is not affected. False when filters cannot be set here.
bool ForbidSignalsOnThisThread() {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_pidfd_send_signal, 2, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_kill, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
    };
    sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

}  // namespace

TEST(Process, DroppingAChildThatOutlivesTheKillWaitsBrieflyAndStillReapsIt) {
    UniqueFd r, w;
    ASSERT_TRUE(CreatePipe(r, w));
    auto child = ChildProcess::Spawn("/bin/sleep", {"sleep", "2"}, r.get(), w.get(), w.get());
    ASSERT_NE(child, nullptr);
    const pid_t pid = child->Pid();
    bool filtered = false;
    qint64 droppedInMs = 0;
    std::thread([&] {
        filtered = ForbidSignalsOnThisThread();
        if (filtered) {
            QElapsedTimer timer;
            timer.start();
            child.reset();
            droppedInMs = timer.elapsed();
        }
    }).join();
    if (!filtered) {
        child.reset();
        GTEST_SKIP() << "no system call filters here";
    }
    EXPECT_LT(droppedInMs, 1500) << "the destructor waited for the child's own end";
    QElapsedTimer timer;
    timer.start();
    while (!ProcessGone(pid) && timer.elapsed() < 10000) {
        QThread::msleep(20);
    }
    EXPECT_TRUE(ProcessGone(pid)) << "left a zombie";
}

namespace {

// Reads the pid a script writes on its first line.
pid_t ReadPid(const UniqueFd& from) {
    std::string line;
    char c = 0;
    while (ReadSome(from.get(), &c, 1) == 1 && c != '\n') {
        line += c;
    }
    return line.empty() ? 0 : static_cast<pid_t>(std::stol(line));
}

// Gone, or dead and waiting for a parent that is not ours to reap it.
bool Ended(pid_t pid) {
    if (ProcessGone(pid)) {
        return true;
    }
    const std::string stat = testsupport::ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'Z';
}

bool GoneWithin(pid_t pid, int ms) {
    QElapsedTimer timer;
    timer.start();
    while (!Ended(pid) && timer.elapsed() < ms) {
        QThread::msleep(10);
    }
    return Ended(pid);
}

// A stand-in converter that starts a child of its own and tells its pid.
const char* const kParentOfAChild = "sleep 300 & echo $!; wait";

}  // namespace

TEST(Process, WhatAChildStartsEndsWithItsGroup) {
    struct Case {
        const char* name;
        std::function<void(ChildProcess&)> end;
    };
    const Case cases[] = {
        {"killed", [](ChildProcess& child) { EXPECT_TRUE(child.KillAndReap(2000)); }},
        {"dropped while it runs", [](ChildProcess&) {}},
        {"the program going", [](ChildProcess&) { EndChildGroups(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UniqueFd r, w;
        ASSERT_TRUE(CreatePipe(r, w));
        auto child = ChildProcess::Spawn("/bin/sh", {"sh", "-c", kParentOfAChild}, r.get(), w.get(),
                                         w.get());
        ASSERT_NE(child, nullptr);
        EXPECT_EQ(getpgid(child->Pid()), child->Pid()) << "a group of its own";
        const pid_t grandchild = ReadPid(r);
        ASSERT_GT(grandchild, 0);
        EXPECT_EQ(getpgid(grandchild), child->Pid());
        c.end(*child);
        child.reset();
        EXPECT_TRUE(GoneWithin(grandchild, 2000));
    }
}

// Run only as the program of the test below, in a process of its own: starts a converter that
// starts a child, writes both pids to the file named by TAMBERLO_PIDS, then waits to be killed
// or, with TAMBERLO_EXIT set, calls exit() without unwinding, as Qt does when the display goes.
TEST(Process, DISABLED_StartsAConverterAndEnds) {
    UniqueFd in(open("/dev/null", O_RDONLY | O_CLOEXEC));
    UniqueFd out(open(std::getenv("TAMBERLO_PIDS"), O_WRONLY | O_CLOEXEC));
    auto child =
        ChildProcess::Spawn("/bin/sh", {"sh", "-c", "echo $$; " + std::string(kParentOfAChild)},
                            in.get(), out.get(), out.get());
    ASSERT_NE(child, nullptr);
    if (std::getenv("TAMBERLO_EXIT") != nullptr) {
        QThread::msleep(300);
        std::exit(0);
    }
    pause();
}

TEST(Process, AChildDiesWithTheProgramHoweverItEnds) {
    struct Case {
        const char* name;
        bool exits;     // else the program is killed
        bool groupToo;  // what the child started ends as well
    };
    for (const Case& c :
         {Case{"killed", false, false}, Case{"exits unwinding nothing", true, true}}) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string pids = dir.File("pids");
        ASSERT_EQ(mkfifo(pids.c_str(), 0600), 0);
        QProcess program;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("TAMBERLO_PIDS", QString::fromStdString(pids));
        if (c.exits) {
            environment.insert("TAMBERLO_EXIT", "1");
        }
        program.setProcessEnvironment(environment);
        program.start("/proc/self/exe",
                      {"--gtest_also_run_disabled_tests",
                       "--gtest_filter=Process.DISABLED_StartsAConverterAndEnds"});
        ASSERT_TRUE(program.waitForStarted(5000));
        UniqueFd r(open(pids.c_str(), O_RDONLY | O_CLOEXEC));
        const pid_t converter = ReadPid(r);
        const pid_t grandchild = ReadPid(r);
        ASSERT_GT(converter, 0);
        ASSERT_GT(grandchild, 0);
        if (!c.exits) {
            program.kill();
        }
        EXPECT_TRUE(program.waitForFinished(10000));
        EXPECT_TRUE(GoneWithin(converter, 2000));
        if (c.groupToo) {
            EXPECT_TRUE(GoneWithin(grandchild, 2000));
        } else {
            kill(grandchild, SIGKILL);
        }
    }
}

TEST(Process, SearchOrder) {
    TempDir own, onPath, current;
    MakeProgram(own.File("conv"), "exit 0");
    MakeProgram(onPath.File("conv"), "exit 0");
    MakeProgram(onPath.File("other"), "exit 0");
    MakeProgram(current.File("here"), "exit 0");
    WriteFile(onPath.File("data"), "not executable");
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(current.Path().c_str()), 0);
    {
        ScopedPath path(":.:relative:" + onPath.Path() + "/");
        EXPECT_EQ(FindProgram("conv", own.Path()), own.File("conv"));
        EXPECT_EQ(FindProgram("conv", own.Path() + "/"), own.File("conv"));
        EXPECT_EQ(FindProgram("other", own.Path()), onPath.File("other"));
        EXPECT_EQ(FindProgram("here", own.Path()), "");  // never the current folder
        EXPECT_EQ(FindProgram("data", own.Path()), "");
        EXPECT_EQ(FindProgram("conv", ""), onPath.File("conv"));
        EXPECT_EQ(FindProgram("./here", own.Path()), "./here");  // a path is used as it is
        EXPECT_EQ(FindProgram("", own.Path()), "");
    }
    ASSERT_EQ(chdir(cwd), 0);
}

TEST(Process, RunAndCapture) {
    std::string output;
    int code = 0;
    ASSERT_TRUE(RunAndCapture("/bin/sh",
                              {"sh", "-c", "echo one; echo two >&2; read x; echo $?; exit 3"}, 5000,
                              output, &code));
    EXPECT_EQ(output, "one\ntwo\n1\n");
    EXPECT_EQ(code, 3);
    QElapsedTimer timer;
    timer.start();
    ASSERT_TRUE(
        RunAndCapture("/bin/sh", {"sh", "-c", "echo start; exec sleep 30"}, 300, output, &code));
    EXPECT_LT(timer.elapsed(), 5000);
    EXPECT_EQ(output, "start\n");
    EXPECT_EQ(code, -1) << "a child killed for overrunning did not end by itself";
    EXPECT_FALSE(RunAndCapture("/nonexistent/program", {"x"}, 1000, output));
}

TEST(Synchronize, RunsOnTheInterfaceThreadAndRethrows) {
    QThread* ui = QCoreApplication::instance()->thread();
    std::atomic<bool> done{false};
    QThread* ranOn = nullptr;
    std::string caught;
    int value = 0;
    std::thread worker([&] {
        Synchronize([&] {
            ranOn = QThread::currentThread();
            value = 42;
        });
        try {
            Synchronize([] { throw std::runtime_error("from the interface"); });
        } catch (const std::runtime_error& e) {
            caught = e.what();
        }
        done = true;
    });
    QElapsedTimer timer;
    timer.start();
    while (!done && timer.elapsed() < 5000) {
        WaitForMessages(10);
    }
    worker.join();
    EXPECT_EQ(ranOn, ui);
    EXPECT_EQ(value, 42);
    EXPECT_EQ(caught, "from the interface");

    // On the interface thread itself the call runs at once.
    bool direct = false;
    Synchronize([&] { direct = true; });
    EXPECT_TRUE(direct);
    EXPECT_THROW(Synchronize([] { throw std::logic_error("x"); }), std::logic_error);
}

TEST(Synchronize, PendingCallsRunWithoutTheMessageLoop) {
    std::atomic<bool> done{false};
    int runs = 0;
    std::thread worker([&] {
        for (int i = 0; i < 3; ++i) {
            Synchronize([&] { ++runs; });
        }
        done = true;
    });
    QElapsedTimer timer;
    timer.start();
    while (!done && timer.elapsed() < 5000) {
        RunPendingSynchronized();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    worker.join();
    EXPECT_EQ(runs, 3);
}
