#include "convert/ConvertThread.h"

#include <QApplication>
#include <QDateTime>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <utility>

#include "common/StringTable.h"
#include "convert/CommandLine.h"
#include "platform/Dialogs.h"
#include "platform/Files.h"
#include "platform/Synchronize.h"

namespace {

constexpr int kWaitStepMs = 100;
// A killed converter is gone within microseconds; this only bounds a pathological case.
constexpr int kKillWaitMs = 1000;
// How long the runner's end waits for its watchers, each of which ends after one wait step.
constexpr auto kWatcherEndWait = std::chrono::seconds(3);

// Local date-time now, in days from 1899-12-30 (the fraction is the time of day).
double LocalNow() {
    QDateTime now = QDateTime::currentDateTime();
    qint64 localMs = now.toMSecsSinceEpoch() + qint64{now.offsetFromUtc()} * 1000;
    constexpr double kUnixEpochInDays = 25569.0;
    return kUnixEpochInDays + static_cast<double>(localMs) / 86400000.0;
}

}  // namespace

ConvertStatusEvent::ConvertStatusEvent(std::unique_ptr<TProcessInfo> info)
    : platform::MessageEvent(platform::WM_CONVERT_STATUS, 0,
                             reinterpret_cast<std::intptr_t>(info.get())),
      info_(std::move(info)) {}

// ---------------------------------------------------------------------------------------------
// TConvertThread

std::shared_ptr<TConvertThread> TConvertThread::Create(TConvertProcess& process) {
    std::shared_ptr<TConvertThread> watcher(new TConvertThread(process));
    // The running thread holds a reference of its own, so a watcher let go by its runner frees
    // itself when Execute returns.
    watcher->thread_ = std::thread([self = watcher] { self->Execute(); });
    return watcher;
}

TConvertThread::TConvertThread(TConvertProcess& process)
    : Process(&process), child_(process.ProcessInfo.hProcess) {}

TConvertThread::~TConvertThread() {
    // Owners join or release before letting go; this only guards against a forgotten case.
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();
        } else {
            thread_.join();
        }
    }
}

void TConvertThread::Detach() {
    std::lock_guard guard(lock_);
    Process = nullptr;
}

void TConvertThread::Join() {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
        thread_.join();
    }
}

void TConvertThread::Release() {
    if (thread_.joinable()) {
        thread_.detach();
    }
}

bool TConvertThread::Peek(bool stdErr) {
    std::lock_guard guard(lock_);
    if (Process == nullptr) {
        return false;
    }
    const platform::UniqueFd& fd = stdErr ? Process->StdErrRead : Process->StdOutRead;
    return platform::PeekAvailable(fd.get(), Process->BytesAvailable) &&
           Process->BytesAvailable > 0;
}

void TConvertThread::SynchronizedCall(void (TConvertProcess::*member)()) {
    platform::Synchronize([this, member] {
        // On the user-interface thread, the only one that changes Process.
        if (TConvertProcess* process = Process) {
            (process->*member)();
        }
    });
}

bool TConvertThread::ReadPipes() {
    bool busy = false;
    if (Peek(false)) {
        SynchronizedCall(&TConvertProcess::ReadStdOut);
        busy = true;
    }
    if (Peek(true)) {
        SynchronizedCall(&TConvertProcess::ReadStdErr);
        busy = true;
    }
    return busy;
}

void TConvertThread::Execute() {
    try {
        for (;;) {
            bool busy = ReadPipes();
            if (!busy && child_ && child_->WaitForExit(kWaitStepMs)) {
                // Whatever the converter wrote before it ended is read before its end is told.
                while (ReadPipes()) {
                }
                if (!Terminated()) {
                    SynchronizedCall(&TConvertProcess::ProcessEnded);
                }
            }
            if (Terminated() && !busy) {
                break;
            }
        }
    } catch (...) {
        // A failed read (already handled by the runner) or an application that has gone.
    }
    child_.reset();
    finished_ = true;
}

// ---------------------------------------------------------------------------------------------
// TConvertProcess

TConvertProcess::TConvertProcess(std::string program) : Program(std::move(program)) {
    // Asked now, the converter has answered long before a first 3GP conversion needs to know.
    if (std::string path = platform::FindProgram(Program, platform::ExecutableFolder());
        !path.empty()) {
        convert::ProbeAmrNb(path);
    }
}

TConvertProcess::~TConvertProcess() {
    if (Running) {
        ForgetThread();
        Stop(0);
    }
    ForgetThread();
    ClosePipes();
    // A watcher may be blocked in a synchronised call; run those calls (they find the runner
    // gone) while waiting, or it could never end.
    auto deadline = std::chrono::steady_clock::now() + kWatcherEndWait;
    while (LiveWatchers() > 0 && std::chrono::steady_clock::now() < deadline) {
        platform::RunPendingSynchronized();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    for (auto& watcher : retired_) {
        if (watcher->Finished()) {
            watcher->Join();
        } else {
            watcher->Release();
        }
    }
    retired_.clear();
    CloseProcess();
}

void TConvertProcess::ForgetThread() {
    if (Thread) {
        Thread->Terminate();
        Thread->Detach();
        retired_.push_back(std::move(Thread));
        Thread.reset();
    }
}

void TConvertProcess::JoinFinishedWatchers() {
    std::erase_if(retired_, [](const std::shared_ptr<TConvertThread>& watcher) {
        if (!watcher->Finished()) {
            return false;
        }
        watcher->Join();
        return true;
    });
}

int TConvertProcess::LiveWatchers() const {
    int live = Thread && !Thread->Finished() ? 1 : 0;
    for (const auto& watcher : retired_) {
        live += watcher->Finished() ? 0 : 1;
    }
    return live;
}

void TConvertProcess::Start() {
    ForgetThread();
    JoinFinishedWatchers();

    bool overwrite = false;
    const bool ownInput = std::exchange(InputIsOwnDownload, false) && InputFile == OutputFile;
    if (!ownInput && platform::FileExists(OutputFile)) {
        platform::MessageBoxRequest question;
        question.text = OutputFile + LoadStr(StrId::HasExistedOverwrite);
        question.caption = LoadStr(StrId::ProductName);
        question.icon = platform::MsgIcon::Information;
        question.buttons = platform::MsgButtons::YesNo;
        if (platform::Dialogs::Current().MessageBox(QApplication::activeWindow(), question) !=
            platform::MsgAnswer::Yes) {
            PostStatus(kStatusNormal);
            return;
        }
        if (platform::IsFileLocked(OutputFile)) {
            PostStatus(kStatusOutputLocked);
            return;
        }
        overwrite = true;
    }

    try {
        CreatePipes();
    } catch (...) {
        // Nothing is gained by keeping half of the pipes open until the next conversion.
        ClosePipes();
        throw;
    }
    commandLine_ = convert::ComposeCommandLine(InputFile, Params, OutputFile, overwrite);
    Duration = 0;
    ResetParsing();
    try {
        const std::size_t slash = OutputFile.rfind('/');
        const std::string folder = slash == std::string::npos ? "."
                                   : slash == 0               ? "/"
                                                              : OutputFile.substr(0, slash);
        tempOutput_ = platform::NewFile::CreateHidden(
            folder, slash == std::string::npos ? OutputFile : OutputFile.substr(slash + 1));
        if (!tempOutput_) {
            RaiseLastError("Error while creating the converter's output file!");
        }
        tempOutput_->CloseFd();
        const std::string writeTo =
            slash == std::string::npos ? tempOutput_->Name() : tempOutput_->Path();

        std::string path = platform::FindProgram(Program, platform::ExecutableFolder());
        convert::ArgumentOptions options;
        options.overwrite = true;  // the file made for it is there already
        options.replacementAudioCodec = !path.empty() && convert::IsThreeGpOutput(OutputFile) &&
                                        !convert::ConverterHasAmrNb(path, convert::kAmrNbProbeWait);
        arguments_ = convert::BuildArguments(Program, InputFile, Params, writeTo, options);
        if (path.empty()) {
            errno = ENOENT;
            RaiseLastError("Error while creating convert process!");
        }
        auto child = platform::ChildProcess::Spawn(path, arguments_, StdInRead.get(),
                                                   StdOutWrite.get(), StdErrWrite.get());
        if (!child) {
            RaiseLastError("Error while creating convert process!");
        }
        ProcessInfo.hProcess = std::move(child);
        ProcessInfo.dwProcessId = ProcessInfo.hProcess->Pid();
        // Nothing is ever written to the converter's input; closing our end gives it the end
        // of input at once, so a question it asks there is answered "no" instead of waiting
        // for ever.
        StdInWrite.reset();
        Thread = TConvertThread::Create(*this);
    } catch (...) {
        ClosePipes();
        CloseProcess();
        FinishTempOutput(false);
        throw;
    }
}

bool TConvertProcess::FinishTempOutput(bool succeeded) {
    if (!tempOutput_) {
        return false;
    }
    const std::size_t slash = OutputFile.rfind('/');
    // A converter that wrote nothing has made no file, whatever it says.
    succeeded = succeeded && tempOutput_->Size() > 0 &&
                tempOutput_->CommitAs(slash == std::string::npos ? OutputFile
                                                                 : OutputFile.substr(slash + 1));
    tempOutput_.reset();  // removed unless it has taken the output's name
    return succeeded;
}

void TConvertProcess::Stop(std::uint32_t /*exitCode*/) {
    if (!Running) {
        return;
    }
    Running = false;
    ForgetThread();
    ClosePipes();
    // The handle stays in ProcessInfo; the child is reaped here so that none is left a zombie.
    if (ProcessInfo.hProcess) {
        ProcessInfo.hProcess->KillAndReap(kKillWaitMs);
    }
    FinishTempOutput(false);
    ResetParsing();
}

void TConvertProcess::ProcessEnded() {
    ForgetThread();
    // The converter has gone: a last line without its line end is complete now.
    std::vector<std::string> lines;
    outLines_.Flush(lines);
    errLines_.Flush(lines);
    ParseLines(lines);
    ClosePipes();
    int exitCode = ProcessInfo.hProcess ? ProcessInfo.hProcess->ExitCode() : 0;
    CloseProcess();
    if (!FinishTempOutput(exitCode == 0) && exitCode == 0) {
        exitCode = 1;  // converted, but the result could not take the output's name
    }
    PostStatus(kStatusNormal, exitCode);
}

void TConvertProcess::ReadStdOut() {
    ReadPipe(StdOutRead, false, "Error reading STDOUT pipe : ");
}

void TConvertProcess::ReadStdErr() {
    ReadPipe(StdErrRead, true, "Error reading STDERR pipe : ");
}

void TConvertProcess::ReadPipe(platform::UniqueFd& fd, bool stdErr, const char* errorPrefix) {
    std::string buffer(BytesAvailable, '\0');
    std::ptrdiff_t got = platform::ReadSome(fd.get(), buffer.data(), buffer.size());
    if (got < 0) {
        int error = errno;
        ForgetThread();
        // The conversion can no longer be followed: stop the converter and report its end, or
        // the download window would wait for it forever.
        ClosePipes();
        if (ProcessInfo.hProcess) {
            ProcessInfo.hProcess->KillAndReap(kKillWaitMs);
        }
        CloseProcess();
        FinishTempOutput(false);
        PostStatus(kStatusReadFailed);
        errno = error;
        RaiseLastError(errorPrefix);
    }
    ParseOutput(buffer.data(), static_cast<std::size_t>(got), stdErr);
}

void TConvertProcess::CreatePipes() {
    auto make = [](platform::UniqueFd& readEnd, platform::UniqueFd& writeEnd, bool childReads,
                   const char* createError, const char* duplicateError) {
        if (!platform::CreatePipe(readEnd, writeEnd)) {
            RaiseLastError(createError);
        }
        platform::UniqueFd& childEnd = childReads ? readEnd : writeEnd;
        platform::UniqueFd copy;
        if (!platform::DuplicateFd(childEnd, copy)) {
            RaiseLastError(duplicateError);
        }
        childEnd = std::move(copy);
    };
    make(StdInRead, StdInWrite, true,
         "Error on STDIN pipe creation : ", "Error on STDIN pipe duplication : ");
    make(StdOutRead, StdOutWrite, false,
         "Error on STDOUT pipe creation : ", "Error on STDOUT pipe duplication : ");
    make(StdErrRead, StdErrWrite, false,
         "Error on STDERR pipe creation : ", "Error on STDERR pipe duplication : ");
}

void TConvertProcess::ClosePipes() {
    StdInRead.reset();
    StdInWrite.reset();
    StdOutRead.reset();
    StdOutWrite.reset();
    StdErrRead.reset();
    StdErrWrite.reset();
}

void TConvertProcess::CloseProcess() {
    if (ProcessInfo.hProcess) {
        ProcessInfo.hProcess->TryReap();
    }
    ProcessInfo = {};
}

void TConvertProcess::PostStatus(std::int32_t status, std::int32_t exitCode) {
    auto info = std::make_unique<TProcessInfo>();
    info->Percent = kPercentFinished;
    info->Status = status;
    info->ExitCode = exitCode;
    platform::PostEvent(NotifyWindow.data(), new ConvertStatusEvent(std::move(info)));
}

void TConvertProcess::RaiseLastError(const std::string& prefix) {
    throw EConvertError(prefix + std::to_string(errno));
}

void TConvertProcess::ParseOutput(const char* data, std::size_t length, bool stdErr) {
    std::vector<std::string> lines;
    (stdErr ? errLines_ : outLines_).Feed(std::string_view(data, length), lines);
    ParseLines(lines);
}

void TConvertProcess::ParseLines(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        convert::LineResult result = convert::ParseLine(line, parseState_);
        if (result.duration) {
            Duration = *result.duration;
            StartTime = LocalNow();
            durationKnownAt_ = std::chrono::steady_clock::now();
        }
        if (result.progress) {
            // Measured on the steady clock: the local clock jumps with summer time and when set.
            const std::chrono::duration<double, std::ratio<86400>> elapsedDays =
                std::chrono::steady_clock::now() - durationKnownAt_;
            auto record = convert::ProgressRecord(*result.progress, Duration, elapsedDays.count());
            if (record) {
                platform::PostEvent(
                    NotifyWindow.data(),
                    new ConvertStatusEvent(std::make_unique<TProcessInfo>(std::move(*record))));
            }
        }
    }
}

void TConvertProcess::ResetParsing() {
    outLines_.Clear();
    errLines_.Clear();
    parseState_ = {};
}
