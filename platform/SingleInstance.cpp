#include "platform/SingleInstance.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QLocalServer>
#include <QLocalSocket>
#include <cerrno>
#include <cstdlib>

#include "common/Text.h"
#include "platform/Messages.h"

namespace platform {

namespace {

constexpr int kConnectTimeoutMs = 1000;

// A folder may hold the instance socket only when no one else can have put a socket there: a
// real folder (not a link), owned by us, that neither group nor others may write.
bool SafelyOurs(const std::string& folder) {
    struct stat info {};
    return lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == geteuid() &&
           (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// The folder for the instance socket; empty when there is none we can trust, and then this start
// keeps no single-instance rule rather than talk to a socket someone else may have put there.
std::string RuntimeFolder() {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime != 0) {
        if (SafelyOurs(runtime)) {
            return runtime;
        }
    }
    // Without a runtime folder: a private one of our own below the temporary folder. Its name
    // must be predictable for a second start to find it, so anyone may have made it first.
    const char* temp = std::getenv("TMPDIR");
    std::string base = temp != nullptr && temp[0] == '/' ? temp : "/tmp";
    std::string folder = base + "/tamberlo-runtime-" + std::to_string(geteuid());
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        return {};
    }
    return SafelyOurs(folder) ? folder : std::string();
}

QString QPath(const std::string& path) {
    return QString::fromLocal8Bit(path.c_str());
}

}  // namespace

std::string InstanceSocketPath(const std::string& className) {
    const std::string folder = RuntimeFolder();
    if (folder.empty()) {
        return {};
    }
    std::string name;
    for (char c : className) {
        const bool plain =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        name.push_back(plain ? c : '-');
    }
    return folder + "/" + name + ".instance";
}

bool SendToRunningInstance(const std::string& className, int message) {
    const std::string path = InstanceSocketPath(className);
    if (path.empty()) {
        return false;
    }
    QLocalSocket socket;
    socket.connectToServer(QPath(path));
    if (!socket.waitForConnected(kConnectTimeoutMs)) {
        return false;
    }
    socket.write(QByteArray::number(message) + '\n');
    const bool sent = socket.waitForBytesWritten(kConnectTimeoutMs);
    socket.disconnectFromServer();
    return sent;
}

InstanceListener::InstanceListener(const std::string& className, QObject* receiver)
    : path_(InstanceSocketPath(className)), receiver_(receiver) {}

InstanceListener::~InstanceListener() = default;

bool InstanceListener::Listen() {
    if (path_.empty()) {
        return false;  // no folder we can trust: this copy runs without the rule
    }
    // A copy that answers is alive and keeps its socket. Qt replaces an existing socket file when
    // it listens with access options, so the test must come first.
    QLocalSocket probe;
    probe.connectToServer(QPath(path_));
    if (probe.waitForConnected(kConnectTimeoutMs)) {
        return false;
    }
    // Whatever is left at the path was left by a copy that did not end cleanly.
    QLocalServer::removeServer(QPath(path_));
    server_ = std::make_unique<QLocalServer>();
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    connect(server_.get(), &QLocalServer::newConnection, this, &InstanceListener::OnNewConnection);
    return server_->listen(QPath(path_));
}

void InstanceListener::OnNewConnection() {
    while (QLocalSocket* client = server_->nextPendingConnection()) {
        connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
        connect(client, &QLocalSocket::readyRead, this, [this, client] {
            while (client->canReadLine()) {
                const QByteArray line = client->readLine().trimmed();
                // A second start says nothing else; any other number is not for the window.
                if (text::ParseInt32(line.toStdString()) == WM_SECOND_INSTANCE) {
                    PostMessage(receiver_, WM_SECOND_INSTANCE);
                }
            }
        });
    }
}

}  // namespace platform
