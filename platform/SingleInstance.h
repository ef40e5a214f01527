#pragma once

// One running copy per user. The running copy listens on a local socket named after its main
// window's class name, in the user's runtime folder with user-only access; a second start
// connects, hands over a message number and ends. Only a folder that is ours alone is used; without
// one, a start neither hands over nor listens.

#include <QObject>
#include <memory>
#include <string>

class QLocalServer;

namespace platform {

// Full path of the local socket for a window class name; empty when no folder can be trusted.
std::string InstanceSocketPath(const std::string& className);

// True when a running copy accepted the message; false when none is running.
bool SendToRunningInstance(const std::string& className, int message);

// The running copy's side: each WM_SECOND_INSTANCE that arrives is posted to the receiver; any
// other message is ignored.
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
