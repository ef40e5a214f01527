#pragma once

// One running copy per user. The running copy listens on a local socket named after its main
// window's class name, in the user's runtime folder with user-only access; a second start
// connects, hands over a message number and ends. Only a folder that is ours alone is used; without
// one, a start neither hands over nor listens.
//
// On the wire each message is its number on a line; a second start adds the activation token its
// launcher gave it on a line of its own after the number, with which the running copy may bring
// its window forward on Wayland. A copy that knows no tokens ignores that line.

#include <QObject>
#include <memory>
#include <string>
#include <vector>

#include "platform/Messages.h"

class QLocalServer;
class QWidget;

namespace platform {

struct InstanceMessage {
    int message = 0;
    std::string activationToken;  // empty: none came with it

    bool operator==(const InstanceMessage&) const = default;
};

// A token is passed on only when it is plain printable ASCII of sane length: it goes into an
// environment variable and to the compositor.
bool UsableActivationToken(const std::string& token);

// The bytes a start sends for message.
std::string InstanceMessageText(const InstanceMessage& message);

// The messages in lines that arrived together, in order; lines that are neither a number nor the
// token of the message before them are ignored.
std::vector<InstanceMessage> ReadInstanceMessages(const std::vector<std::string>& lines);

// WM_SECOND_INSTANCE as posted to the window, with the token of the start that sent it.
class SecondInstanceEvent : public MessageEvent {
public:
    explicit SecondInstanceEvent(std::string activationToken)
        : MessageEvent(WM_SECOND_INSTANCE), activationToken_(std::move(activationToken)) {}
    const std::string& ActivationToken() const { return activationToken_; }

private:
    std::string activationToken_;
};

// Shows window, un-minimised and raised, and asks for the focus; on Wayland the compositor gives
// it only with the token of a start the user made. Qt 6.4 takes that token from the environment
// alone: it is set there for the one call, on this (the window's) thread, and only while no run
// is under way (no modal window), when no other thread of ours reads the environment or starts
// a program. During a run the window comes forward without it.
void BringToFront(QWidget& window, const std::string& activationToken);

// The activation token the launcher gave this start: XDG_ACTIVATION_TOKEN, or
// DESKTOP_STARTUP_ID as launchers on older GLib pass it. XDG_ACTIVATION_TOKEN leaves the
// environment here, so that no program we start (file manager, browser, converter) gets it
// whatever the platform. Call once, first in main, before Qt or any thread starts.
std::string TakeLaunchToken();
// DESKTOP_STARTUP_ID leaves the environment too. Qt's X platform reads it (and removes it) when
// the application is made, to end the launcher's busy feedback: call this right after that,
// before any thread of ours starts.
void DropStartupId();

// Full path of the local socket for a window class name; empty when no folder can be trusted.
std::string InstanceSocketPath(const std::string& className);

// True when a running copy accepted the message; false when none is running.
bool SendToRunningInstance(const std::string& className, int message,
                           const std::string& activationToken = {});

// The running copy's side: each WM_SECOND_INSTANCE that arrives is posted to the receiver as a
// SecondInstanceEvent; any other message is ignored.
class InstanceListener : public QObject {
    Q_OBJECT
public:
    InstanceListener(const std::string& className, QObject* receiver);
    ~InstanceListener() override;

    // Starts listening, replacing a socket left behind by a copy that ended abnormally.
    bool Listen();

private:
    void OnNewConnection();

    std::string path_;
    QObject* receiver_;
    std::unique_ptr<QLocalServer> server_;
};

}  // namespace platform
