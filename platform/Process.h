#pragma once

// Child processes and anonymous pipes. Every descriptor made here is close-on-exec; a child gets
// exactly the three descriptors it is handed on 0, 1 and 2 and nothing else.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/UniqueFd.h"

namespace platform {

// Makes a pipe with both ends close-on-exec. False with errno set on failure.
bool CreatePipe(UniqueFd& readEnd, UniqueFd& writeEnd);

// A copy of fd, close-on-exec, numbered 3 or above so that handing it to a child on 0/1/2 can
// never clobber another of the child's descriptors. False with errno set on failure.
bool DuplicateFd(const UniqueFd& fd, UniqueFd& copy);

// Number of bytes waiting in a pipe, without removing them. False on failure (closed fd).
bool PeekAvailable(int fd, std::uint32_t& bytes);

// One read of up to size bytes (retried on interruption). The byte count, or -1 with errno set.
std::ptrdiff_t ReadSome(int fd, char* buffer, std::size_t size);

// Where a bare program name is looked for: the given folder first, then the absolute folders of
// PATH. Never the current folder. A name holding "/" is returned as it is. Empty when not found.
std::string FindProgram(const std::string& name, const std::string& ownFolder);

// Ends at once the process groups of every child started here that has not been reaped: the
// program is going. Safe to call from any thread.
void EndChildGroups();

// A started child, the leader of a process group of its own that is killed with it (a child
// that has ended takes its group along when it is reaped); it is also killed when the program
// ends, even by SIGKILL (the thread that started it must live as long: the user-interface
// thread). The pidfd makes waits and kills safe against pid reuse. Whoever drops the
// last reference of a child that still runs kills it, since nothing else would ever reap it; a
// child that has not ended shortly after the kill is reaped by a thread of its own.
class ChildProcess {
public:
    // Starts path with argv (argv[0] included) and the given descriptors on 0, 1 and 2, in the
    // caller's environment and current folder. Null with errno set when it cannot be started;
    // a program that cannot be executed is reported here, not later.
    static std::shared_ptr<ChildProcess> Spawn(const std::string& path,
                                               const std::vector<std::string>& argv, int stdIn,
                                               int stdOut, int stdErr);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return pid_; }

    // Waits up to timeoutMs for the child to end; true once it has ended (it is then reaped).
    bool WaitForExit(int timeoutMs);
    // Reaps the child if it has ended; true once it is reaped.
    bool TryReap();
    bool Reaped() const;
    // How the child ended: its exit status, or 128 plus the signal that ended it; -1 while it
    // has not been reaped here.
    int ExitCode() const;
    // Sends SIGKILL to the child and its group; no effect on a child that has been reaped.
    void Kill();
    // Kill, then wait up to timeoutMs for the end and reap.
    bool KillAndReap(int timeoutMs);

private:
    ChildProcess(pid_t pid, UniqueFd pidfd) : pid_(pid), pidfd_(std::move(pidfd)) {}

    pid_t pid_;
    UniqueFd pidfd_;
    mutable std::mutex lock_;
    bool reaped_ = false;
    int exitCode_ = -1;
};

// Runs path with argv, its standard input empty, and returns what it wrote to standard output
// and standard error together. A child that runs longer than timeoutMs is killed. False when it
// cannot be started. exitCode, when given, receives how the child ended by itself (as
// ChildProcess::ExitCode tells it), or -1 when it had to be killed.
bool RunAndCapture(const std::string& path, const std::vector<std::string>& argv, int timeoutMs,
                   std::string& output, int* exitCode = nullptr);

}  // namespace platform
