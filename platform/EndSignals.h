#pragma once

// The signals that ask the program to end (SIGTERM, SIGINT, SIGHUP), turned into a call on the
// user-interface thread, which ends the run and closes the windows; the process groups of
// children still running are ended right after it, so that nothing they started outlives a
// program that is slow to go. A second such signal ends the program at once.

#include <QObject>
#include <functional>

#include "platform/UniqueFd.h"

class QSocketNotifier;

namespace platform {

class EndSignals : public QObject {
public:
    explicit EndSignals(std::function<void(int signal)> onSignal, QObject* parent = nullptr);
    ~EndSignals() override;
    EndSignals(const EndSignals&) = delete;
    EndSignals& operator=(const EndSignals&) = delete;

private:
    void Arrived();

    std::function<void(int)> onSignal_;
    UniqueFd readEnd_;
    UniqueFd writeEnd_;
    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace platform
