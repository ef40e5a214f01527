#include "platform/EndSignals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <atomic>
#include <cerrno>

#include "platform/Process.h"

namespace platform {

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

// The write end of the one watcher's pipe, for the handler; -1 while there is none.
std::atomic<int> signalPipe{-1};

void Handler(int signal) {
    const int saved = errno;
    const int fd = signalPipe.load();
    if (fd >= 0) {
        const auto byte = static_cast<unsigned char>(signal);
        (void)!write(fd, &byte, 1);
    }
    errno = saved;
}

void SetHandlers(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int signal : kSignals) {
        sigaction(signal, &action, nullptr);
    }
}

}  // namespace

EndSignals::EndSignals(std::function<void(int)> onSignal, QObject* parent)
    : QObject(parent), onSignal_(std::move(onSignal)) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;  // the signals keep their default: the program ends at once
    }
    readEnd_.reset(fds[0]);
    writeEnd_.reset(fds[1]);
    notifier_ = new QSocketNotifier(readEnd_.get(), QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &EndSignals::Arrived);
    signalPipe = writeEnd_.get();
    SetHandlers(Handler);
}

EndSignals::~EndSignals() {
    if (writeEnd_.valid()) {
        SetHandlers(SIG_DFL);
        signalPipe = -1;
    }
}

void EndSignals::Arrived() {
    unsigned char byte = 0;
    int signal = 0;
    while (read(readEnd_.get(), &byte, 1) == 1) {
        signal = byte;
    }
    if (signal == 0) {
        return;
    }
    // From now on the signals end the program at once: one that does not go when asked is
    // ended by the next.
    SetHandlers(SIG_DFL);
    signalPipe = -1;
    notifier_->setEnabled(false);
    if (onSignal_) {
        onSignal_(signal);
    }
    // Whatever the call has not ended yet: nothing a child started may outlive us.
    EndChildGroups();
}

}  // namespace platform
