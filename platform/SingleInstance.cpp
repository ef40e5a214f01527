#include "platform/SingleInstance.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QLocalServer>
#include <QLocalSocket>
#include <cstdlib>

#include "common/Text.h"
#include "platform/Messages.h"

namespace platform {

namespace {

constexpr int kConnectTimeoutMs = 1000;

std::string RuntimeFolder() {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime != 0) {
        struct stat info {};
        if (stat(runtime, &info) == 0 && S_ISDIR(info.st_mode)) {
            return runtime;
        }
    }
    // Without a runtime folder: a private one of our own below /tmp.
    std::string folder = "/tmp/tamberlo-runtime-" + std::to_string(getuid());
    mkdir(folder.c_str(), 0700);
    return folder;
}

QString QPath(const std::string& path) {
    return QString::fromLocal8Bit(path.c_str());
}

}  // namespace

std::string InstanceSocketPath(const std::string& className) {
    std::string name;
    for (char c : className) {
        const bool plain =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        name.push_back(plain ? c : '-');
    }
    return RuntimeFolder() + "/" + name + ".instance";
}

bool SendToRunningInstance(const std::string& className, int message) {
    QLocalSocket socket;
    socket.connectToServer(QPath(InstanceSocketPath(className)));
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
                if (auto message = text::ParseInt32(line.toStdString());
                    message && *message >= 1000) {
                    PostMessage(receiver_, *message);
                }
            }
        });
    }
}

}  // namespace platform
