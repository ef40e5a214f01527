#include "platform/Process.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <set>
#include <thread>

extern char** environ;

namespace {

// How long dropping a live child waits for it to end after the kill. A killed child is gone
// within microseconds; one that is not (stuck in the kernel, or a kill the system refused) is
// left to a reaper thread rather than hold up the caller, often the user-interface thread.
constexpr int kDropWaitMs = 500;

// Called through syscall(): the C library's header for these lacks C++ linkage.
int PidfdOpen(pid_t pid) {
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

int PidfdSendSignal(int pidfd, int signal) {
    return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
}

}  // namespace

namespace platform {

bool CreatePipe(UniqueFd& readEnd, UniqueFd& writeEnd) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return false;
    }
    readEnd.reset(fds[0]);
    writeEnd.reset(fds[1]);
    return true;
}

bool DuplicateFd(const UniqueFd& fd, UniqueFd& copy) {
    int duplicate = fcntl(fd.get(), F_DUPFD_CLOEXEC, 3);
    if (duplicate < 0) {
        return false;
    }
    copy.reset(duplicate);
    return true;
}

bool PeekAvailable(int fd, std::uint32_t& bytes) {
    int waiting = 0;
    if (fd < 0 || ioctl(fd, FIONREAD, &waiting) != 0 || waiting < 0) {
        bytes = 0;
        return false;
    }
    bytes = static_cast<std::uint32_t>(waiting);
    return true;
}

std::ptrdiff_t ReadSome(int fd, char* buffer, std::size_t size) {
    for (;;) {
        ssize_t n = ::read(fd, buffer, size);
        if (n >= 0 || errno != EINTR) {
            return n;
        }
    }
}

namespace {

bool IsExecutableFile(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::string FindProgram(const std::string& name, const std::string& ownFolder) {
    if (name.empty()) {
        return {};
    }
    if (name.find('/') != std::string::npos) {
        return name;
    }
    if (!ownFolder.empty()) {
        std::string candidate = ownFolder;
        if (candidate.back() != '/') {
            candidate += '/';
        }
        candidate += name;
        if (IsExecutableFile(candidate)) {
            return candidate;
        }
    }
    const char* path = std::getenv("PATH");
    std::string folders = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= folders.size()) {
        std::size_t end = folders.find(':', start);
        if (end == std::string::npos) {
            end = folders.size();
        }
        std::string folder = folders.substr(start, end - start);
        // An empty or relative entry would mean the current folder, which is never searched.
        if (!folder.empty() && folder[0] == '/') {
            std::string candidate = folder + (folder.back() == '/' ? "" : "/") + name;
            if (IsExecutableFile(candidate)) {
                return candidate;
            }
        }
        start = end + 1;
    }
    return {};
}

namespace {

// Process groups of children that run: each child leads one. Ended together when the program
// ends by exit() without unwinding (Qt does so when the display connection breaks).
std::mutex groupsLock;
// Never destroyed: the exit hook and reaper threads may still use it while statics are torn
// down.
std::set<pid_t>& LiveGroups() {
    static auto* groups = new std::set<pid_t>;
    return *groups;
}

void KillLiveGroups() {
    std::lock_guard guard(groupsLock);
    for (pid_t group : LiveGroups()) {
        kill(-group, SIGKILL);
    }
}

void AddGroup(pid_t group) {
    static const bool registered = std::atexit(KillLiveGroups) == 0;
    (void)registered;
    std::lock_guard guard(groupsLock);
    LiveGroups().insert(group);
}

void RemoveGroup(pid_t group) {
    std::lock_guard guard(groupsLock);
    LiveGroups().erase(group);
}

// In the child between fork and exec: only system calls, nothing that allocates or locks.
[[noreturn]] void StartChild(pid_t parent, const char* path, char* const* argv, int stdIn,
                             int stdOut, int stdErr, int reportFd) {
    // A group of its own, so that what the converter starts ends with it; and its end when
    // this program ends, however it ends. The parent may have gone before the request took.
    setpgid(0, 0);
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) {
        _exit(127);
    }
    // Out of the way of 0, 1 and 2 first, so that no dup2 clobbers another of the three.
    const int in = fcntl(stdIn, F_DUPFD, 3);
    const int out = fcntl(stdOut, F_DUPFD, 3);
    const int err = fcntl(stdErr, F_DUPFD, 3);
    if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) {
        const int error = errno;
        (void)!write(reportFd, &error, sizeof error);
        _exit(127);
    }
    // Whatever else this process holds open, even without close-on-exec, stays here; the
    // report pipe closes with the exec.
    if (syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
        for (int fd = 3; fd < 65536; ++fd) {
            if (fd != reportFd) {
                close(fd);
            }
        }
    }
    // The child starts with default handlers and no blocked signals, whatever we do here.
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal) {
        sigaction(signal, &standard, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(path, argv, environ);
    const int error = errno;
    (void)!write(reportFd, &error, sizeof error);
    _exit(127);
}

}  // namespace

std::shared_ptr<ChildProcess> ChildProcess::Spawn(const std::string& path,
                                                  const std::vector<std::string>& argv, int stdIn,
                                                  int stdOut, int stdErr) {
    if (path.empty() || argv.empty()) {
        errno = ENOENT;
        return nullptr;
    }
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);

    // The child tells why its exec failed through this pipe; an exec that succeeds closes it
    // empty. So a failed start is known here, at once.
    UniqueFd reportRead, reportWrite;
    if (!CreatePipe(reportRead, reportWrite)) {
        return nullptr;
    }
    // No handler of ours may run in the child before it has put back the defaults.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        StartChild(parent, path.c_str(), args.data(), stdIn, stdOut, stdErr, reportWrite.get());
    }
    const int forkError = errno;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (pid < 0) {
        errno = forkError;
        return nullptr;
    }
    setpgid(pid, pid);  // also from here, so that the group exists before any kill of it
    reportWrite.reset();
    int childError = 0;
    ssize_t n;
    do {
        n = read(reportRead.get(), &childError, sizeof childError);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        waitpid(pid, nullptr, 0);
        errno = childError != 0 ? childError : ECHILD;
        return nullptr;
    }
    UniqueFd pidfd(PidfdOpen(pid));
    if (!pidfd.valid()) {
        int error = errno;
        kill(-pid, SIGKILL);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        errno = error;
        return nullptr;
    }
    AddGroup(pid);
    return std::shared_ptr<ChildProcess>(new ChildProcess(pid, std::move(pidfd)));
}

void EndChildGroups() {
    KillLiveGroups();
}

ChildProcess::~ChildProcess() {
    if (TryReap() || KillAndReap(kDropWaitMs)) {
        return;
    }
    // Waits for the end on its own, so that the child never stays a zombie.
    std::thread([pidfd = std::move(pidfd_), pid = pid_] {
        siginfo_t info{};
        while (waitid(P_PIDFD, static_cast<id_t>(pidfd.get()), &info, WEXITED) != 0 &&
               errno == EINTR) {
        }
        RemoveGroup(pid);
    }).detach();
}

bool ChildProcess::WaitForExit(int timeoutMs) {
    if (Reaped()) {
        return true;
    }
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        int wait = -1;
        if (timeoutMs >= 0) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
        pollfd entry{pidfd_.get(), POLLIN, 0};
        int n = poll(&entry, 1, wait);
        if (n > 0) {
            return TryReap() || Reaped();
        }
        if (n == 0 || errno != EINTR) {
            return false;
        }
    }
}

bool ChildProcess::TryReap() {
    std::lock_guard guard(lock_);
    if (reaped_) {
        return true;
    }
    siginfo_t info{};
    for (;;) {
        // Looked at first without reaping: while the ended child is a zombie its number still
        // names its group, so what it started can be ended without hitting a stranger.
        int rc =
            waitid(P_PIDFD, static_cast<id_t>(pidfd_.get()), &info, WEXITED | WNOHANG | WNOWAIT);
        if (rc == 0 && info.si_pid == 0) {
            return false;  // with WNOHANG a child that still runs leaves si_pid at 0
        }
        if (rc == 0) {
            kill(-pid_, SIGKILL);
            RemoveGroup(pid_);
            rc = waitid(P_PIDFD, static_cast<id_t>(pidfd_.get()), &info, WEXITED | WNOHANG);
        }
        if (rc == 0) {
            reaped_ = info.si_pid != 0;
            if (reaped_) {
                exitCode_ = info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
            }
            return reaped_;
        }
        if (errno == EINTR) {
            continue;
        }
        // ECHILD: someone else reaped it; it is gone either way.
        reaped_ = errno == ECHILD;
        if (reaped_) {
            RemoveGroup(pid_);
        }
        return reaped_;
    }
}

bool ChildProcess::Reaped() const {
    std::lock_guard guard(lock_);
    return reaped_;
}

int ChildProcess::ExitCode() const {
    std::lock_guard guard(lock_);
    return exitCode_;
}

void ChildProcess::Kill() {
    std::lock_guard guard(lock_);
    if (!reaped_) {
        // The whole group: what the child started ends with it. Not reaped, the child's
        // number still names its group.
        kill(-pid_, SIGKILL);
        PidfdSendSignal(pidfd_.get(), SIGKILL);
    }
}

bool ChildProcess::KillAndReap(int timeoutMs) {
    Kill();
    return WaitForExit(timeoutMs);
}

bool RunAndCapture(const std::string& path, const std::vector<std::string>& argv, int timeoutMs,
                   std::string& output, int* exitCode) {
    output.clear();
    if (exitCode != nullptr) {
        *exitCode = -1;
    }
    UniqueFd inRead, inWrite, outRead, outWrite;
    if (!CreatePipe(inRead, inWrite) || !CreatePipe(outRead, outWrite)) {
        return false;
    }
    inWrite.reset();  // the child sees an empty standard input
    auto child = ChildProcess::Spawn(path, argv, inRead.get(), outWrite.get(), outWrite.get());
    if (!child) {
        return false;
    }
    inRead.reset();
    outWrite.reset();
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    char buffer[4096];
    for (;;) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            break;
        }
        pollfd entry{outRead.get(), POLLIN, 0};
        int n = poll(&entry, 1, static_cast<int>(left));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        std::ptrdiff_t got = ReadSome(outRead.get(), buffer, sizeof buffer);
        if (got <= 0) {
            break;  // every writer has gone
        }
        output.append(buffer, static_cast<std::size_t>(got));
    }
    // Its output has ended; the child itself gets what is left of the time to end.
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    const bool ended = left > 0 && child->WaitForExit(static_cast<int>(left));
    if (ended && exitCode != nullptr) {
        *exitCode = child->ExitCode();
    }
    if (!ended) {
        child->KillAndReap(1000);
    }
    return true;
}

}  // namespace platform
