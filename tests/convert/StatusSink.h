#pragma once

// Stands in for the download window: takes over every WM_CONVERT_STATUS record it is sent.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QObject>
#include <vector>

#include "common/Global.h"
#include "convert/ConvertThread.h"
#include "platform/Messages.h"

class StatusSink : public QObject {
public:
    std::vector<TProcessInfo> records;

    bool event(QEvent* e) override {
        if (e->type() == static_cast<QEvent::Type>(platform::WM_CONVERT_STATUS)) {
            auto* status = static_cast<ConvertStatusEvent*>(e);
            if (reinterpret_cast<const TProcessInfo*>(status->LParam()) != status->Info()) {
                lParamMatches = false;
            }
            std::unique_ptr<TProcessInfo> info = status->TakeInfo();
            records.push_back(*info);
            return true;
        }
        return QObject::event(e);
    }

    int Ends() const {
        int n = 0;
        for (const auto& r : records) {
            n += r.Percent == kPercentFinished ? 1 : 0;
        }
        return n;
    }

    std::vector<int> Percents() const {
        std::vector<int> out;
        for (const auto& r : records) {
            out.push_back(r.Percent);
        }
        return out;
    }

    // Handles messages until an end record has arrived; false on timeout.
    bool WaitForEnd(int timeoutMs) {
        QElapsedTimer timer;
        timer.start();
        while (Ends() == 0 && timer.elapsed() < timeoutMs) {
            platform::WaitForMessages(20);
        }
        return Ends() > 0;
    }

    bool lParamMatches = true;
};

// Handles messages for ms milliseconds.
inline void PumpFor(int ms) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) {
        platform::WaitForMessages(10);
    }
}
