#include "platform/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
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

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    if (int rc = posix_spawn_file_actions_init(&actions); rc != 0) {
        errno = rc;
        return nullptr;
    }
    if (int rc = posix_spawnattr_init(&attributes); rc != 0) {
        posix_spawn_file_actions_destroy(&actions);
        errno = rc;
        return nullptr;
    }
    int rc = posix_spawn_file_actions_adddup2(&actions, stdIn, 0);
    if (rc == 0) {
        rc = posix_spawn_file_actions_adddup2(&actions, stdOut, 1);
    }
    if (rc == 0) {
        rc = posix_spawn_file_actions_adddup2(&actions, stdErr, 2);
    }
    if (rc == 0) {
        // Whatever else this process holds open, even without close-on-exec, stays here.
        rc = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    }
    // The child starts with no blocked signals and default handlers, whatever we ignore.
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    if (rc == 0) {
        rc = posix_spawnattr_setsigmask(&attributes, &none);
    }
    if (rc == 0) {
        rc = posix_spawnattr_setsigdefault(&attributes, &all);
    }
    if (rc == 0) {
        rc = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    pid_t pid = -1;
    if (rc == 0) {
        rc = posix_spawn(&pid, path.c_str(), &actions, &attributes, args.data(), environ);
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        errno = rc;
        return nullptr;
    }
    UniqueFd pidfd(PidfdOpen(pid));
    if (!pidfd.valid()) {
        int error = errno;
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        errno = error;
        return nullptr;
    }
    return std::shared_ptr<ChildProcess>(new ChildProcess(pid, std::move(pidfd)));
}

ChildProcess::~ChildProcess() {
    if (TryReap() || KillAndReap(kDropWaitMs)) {
        return;
    }
    // Waits for the end on its own, so that the child never stays a zombie.
    std::thread([pidfd = std::move(pidfd_)] {
        siginfo_t info{};
        while (waitid(P_PIDFD, static_cast<id_t>(pidfd.get()), &info, WEXITED) != 0 &&
               errno == EINTR) {
        }
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
        int rc = waitid(P_PIDFD, static_cast<id_t>(pidfd_.get()), &info, WEXITED | WNOHANG);
        if (rc == 0) {
            // With WNOHANG a child that still runs leaves si_pid at 0.
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
    if (!Reaped()) {
        PidfdSendSignal(pidfd_.get(), SIGKILL);
    }
}

bool ChildProcess::KillAndReap(int timeoutMs) {
    Kill();
    return WaitForExit(timeoutMs);
}

bool RunAndCapture(const std::string& path, const std::vector<std::string>& argv, int timeoutMs,
                   std::string& output) {
    output.clear();
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
    child->KillAndReap(1000);
    return true;
}

}  // namespace platform
