#pragma once

// Window messages as Qt events. A message number is the event type (every number of the program
// is at least 1000, QEvent::User); posting keeps the order in which messages were posted.

#include <QEvent>
#include <QObject>
#include <cstdint>

namespace platform {

// Messages of the program itself.
constexpr int WM_DOWNLOAD_FILE = 0x1601;
constexpr int WM_SECOND_INSTANCE = 0x1604;
constexpr int WM_RESOLVE_PAGE = 0x1605;
constexpr int WM_CONVERT_STATUS = 0x1606;
constexpr int WM_CONVERT_FILE = 0x1607;

class MessageEvent : public QEvent {
public:
    MessageEvent(int message, std::intptr_t wParam = 0, std::intptr_t lParam = 0);

    int Message() const { return static_cast<int>(type()); }
    std::intptr_t WParam() const { return wParam_; }
    std::intptr_t LParam() const { return lParam_; }

private:
    std::intptr_t wParam_;
    std::intptr_t lParam_;
};

// Posts the message to target's queue; Qt takes ownership of the event. A null target is a no-op.
void PostMessage(QObject* target, int message, std::intptr_t wParam = 0, std::intptr_t lParam = 0);
// Posts an event built by the caller (for messages that carry an owned payload).
void PostEvent(QObject* target, QEvent* event);

// One step of the message loop: handles what is pending and returns without waiting.
void ProcessMessages();
// Handles pending messages, waiting up to timeoutMs for one to arrive when none is pending.
void WaitForMessages(int timeoutMs);

}  // namespace platform
