#include "platform/Messages.h"

#include <QCoreApplication>
#include <QTimer>

namespace platform {

MessageEvent::MessageEvent(int message, std::intptr_t wParam, std::intptr_t lParam)
    : QEvent(static_cast<QEvent::Type>(message)), wParam_(wParam), lParam_(lParam) {}

void PostMessage(QObject* target, int message, std::intptr_t wParam, std::intptr_t lParam) {
    PostEvent(target, new MessageEvent(message, wParam, lParam));
}

void PostEvent(QObject* target, QEvent* event) {
    if (target == nullptr) {
        delete event;
        return;
    }
    QCoreApplication::postEvent(target, event);
}

void ProcessMessages() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void WaitForMessages(int timeoutMs) {
    // A single-shot timer bounds the wait: WaitForMoreEvents alone could sleep forever.
    QTimer wake;
    wake.setSingleShot(true);
    wake.start(timeoutMs);
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

}  // namespace platform
