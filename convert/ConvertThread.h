#pragma once

// The converter runner and its watcher thread. One TConvertProcess lives as long as the main
// window and runs one conversion at a time; each conversion gets a TConvertThread that polls the
// child's pipes and process, and has every read, parse and report run on the user-interface
// thread. Progress and the end of a conversion reach NotifyWindow as WM_CONVERT_STATUS events.

#include <sys/types.h>

#include <QObject>
#include <QPointer>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/Global.h"
#include "convert/CommandLine.h"
#include "convert/OutputParser.h"
#include "platform/Files.h"
#include "platform/Messages.h"
#include "platform/Process.h"
#include "platform/UniqueFd.h"

// Raised when pipes or the converter process cannot be made or read; the message ends with the
// errno number.
class EConvertError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// End status of a conversion whose output could no longer be read: the converter was stopped.
constexpr std::int32_t kStatusReadFailed = 1;

// WM_CONVERT_STATUS with the record it carries. The event owns the record until a receiver
// takes it, so an event that is never delivered frees it too.
class ConvertStatusEvent : public platform::MessageEvent {
public:
    explicit ConvertStatusEvent(std::unique_ptr<TProcessInfo> info);
    const TProcessInfo* Info() const { return info_.get(); }
    std::unique_ptr<TProcessInfo> TakeInfo() { return std::move(info_); }

private:
    std::unique_ptr<TProcessInfo> info_;
};

// The child as the runner holds it; empty when no process is held.
struct TConvertProcessInformation {
    std::shared_ptr<platform::ChildProcess> hProcess;
    pid_t dwProcessId = 0;
};

class TConvertProcess;

// Watches one conversion. Made running by TConvertProcess::Start; once told to stop it finishes
// its pass and ends by itself. Once forgotten by its runner it can no longer touch it.
class TConvertThread : public std::enable_shared_from_this<TConvertThread> {
public:
    static std::shared_ptr<TConvertThread> Create(TConvertProcess& process);
    ~TConvertThread();
    TConvertThread(const TConvertThread&) = delete;
    TConvertThread& operator=(const TConvertThread&) = delete;

    void Terminate() { terminated_ = true; }
    bool Terminated() const { return terminated_; }
    bool Finished() const { return finished_; }

    // Cuts the link to the runner; from now on the peeks find nothing and synchronised calls
    // do nothing. Waits for a peek that is under way.
    void Detach();
    // Waits until Execute has returned (used by the runner before letting go of a watcher).
    void Join();
    // Lets the thread run on alone; it holds its own reference.
    void Release();

private:
    explicit TConvertThread(TConvertProcess& process);
    void Execute();
    // Steps 3 and 4 of a pass: peek both pipes and read what waits. True when anything was read.
    bool ReadPipes();
    bool Peek(bool stdErr);
    // Runs member on the user-interface thread if the runner is still attached.
    void SynchronizedCall(void (TConvertProcess::*member)());

    std::mutex lock_;
    TConvertProcess* Process = nullptr;  // guarded by lock_; written on the UI thread only
    std::shared_ptr<platform::ChildProcess> child_;
    std::atomic<bool> terminated_{false};
    std::atomic<bool> finished_{false};
    std::thread thread_;
};

class TConvertProcess {
public:
    // Starts asking the converter about its encoders (see Program).
    explicit TConvertProcess(std::string program = convert::kConverterName);
    virtual ~TConvertProcess();  // Destroy
    TConvertProcess(const TConvertProcess&) = delete;
    TConvertProcess& operator=(const TConvertProcess&) = delete;

    platform::UniqueFd StdInRead, StdInWrite;
    platform::UniqueFd StdOutRead, StdOutWrite;
    platform::UniqueFd StdErrRead, StdErrWrite;
    std::uint32_t BytesAvailable = 0;
    TConvertProcessInformation ProcessInfo;
    std::shared_ptr<TConvertThread> Thread;
    double StartTime = 0;  // local date-time in days; elapsed times are not taken from it
    std::int64_t Duration = 0;
    QPointer<QObject> NotifyWindow;
    std::string InputFile;
    std::string OutputFile;
    bool Running = false;
    std::string Params;
    // Set before a Start whose InputFile this run has just written itself: converting it onto
    // itself asks nothing. Cleared by Start.
    bool InputIsOwnDownload = false;

    // The converter to start: a bare name is looked for in the program's own folder, then on
    // PATH; a path is used as it is.
    std::string Program;

    void Start();
    // Kills the running converter. The exit code cannot be chosen on this platform.
    void Stop(std::uint32_t exitCode = 0);
    void ProcessEnded();
    void ReadStdOut();
    void ReadStdErr();
    void CreatePipes();
    void ClosePipes();
    void PostStatus(std::int32_t status, std::int32_t exitCode = 0);
    [[noreturn]] static void RaiseLastError(const std::string& prefix);

    // Takes one block of output of the given stream: whole lines are parsed at once, an
    // unfinished one when its end arrives.
    void ParseOutput(const char* data, std::size_t length, bool stdErr = false);

    // The command line of the last Start as text, and the arguments actually handed over.
    const std::string& CommandLine() const { return commandLine_; }
    const std::vector<std::string>& Arguments() const { return arguments_; }
    // Watchers of this runner whose Execute has not returned yet.
    int LiveWatchers() const;

private:
    void ForgetThread();
    void ReadPipe(platform::UniqueFd& fd, bool stdErr, const char* errorPrefix);
    void ParseLines(const std::vector<std::string>& lines);
    void ResetParsing();
    void JoinFinishedWatchers();
    void CloseProcess();
    // Puts the converted file in OutputFile's place, or removes it. False when there was
    // nothing to put in place or it could not be.
    bool FinishTempOutput(bool succeeded);

    std::string commandLine_;
    std::vector<std::string> arguments_;
    // Where the converter writes: a file made here beside OutputFile, which takes OutputFile's
    // name only once the conversion has succeeded. A link of that name is never written
    // through, and a converter's input is never its output.
    std::unique_ptr<platform::NewFile> tempOutput_;
    // When the duration became known, for the elapsed time of the progress records.
    std::chrono::steady_clock::time_point durationKnownAt_;
    convert::LineSplitter outLines_;
    convert::LineSplitter errLines_;
    convert::ParseState parseState_;
    std::vector<std::shared_ptr<TConvertThread>> retired_;
};
