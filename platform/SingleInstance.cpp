#include "platform/SingleInstance.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QLocalServer>
#include <QLocalSocket>
#include <QWidget>
#include <cerrno>
#include <cstdlib>

#include "common/Environment.h"
#include "common/Text.h"
#include "platform/Messages.h"

namespace platform {

namespace {

constexpr int kConnectTimeoutMs = 1000;
constexpr std::size_t kMaxTokenLength = 4096;
const std::string kTokenKey = "activation-token ";

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
    if (const std::string runtime = env::Value("XDG_RUNTIME_DIR"); !runtime.empty()) {
        if (SafelyOurs(runtime)) {
            return runtime;
        }
    }
    // Without a runtime folder: a private one of our own below the temporary folder. Its name
    // must be predictable for a second start to find it, so anyone may have made it first.
    const std::string temp = env::Value("TMPDIR");
    const std::string base = temp.starts_with('/') ? temp : "/tmp";
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

bool UsableActivationToken(const std::string& token) {
    if (token.empty() || token.size() > kMaxTokenLength) {
        return false;
    }
    for (char c : token) {
        if (c <= ' ' || c > '~') {
            return false;
        }
    }
    return true;
}

std::string InstanceMessageText(const InstanceMessage& message) {
    std::string text = std::to_string(message.message) + "\n";
    if (UsableActivationToken(message.activationToken)) {
        text += kTokenKey + message.activationToken + "\n";
    }
    return text;
}

std::vector<InstanceMessage> ReadInstanceMessages(const std::vector<std::string>& lines) {
    std::vector<InstanceMessage> messages;
    bool tokenAllowed = false;  // a token belongs to the number line just before it
    for (const std::string& line : lines) {
        if (const auto number = text::ParseInt32(line)) {
            messages.push_back({*number, {}});
            tokenAllowed = true;
        } else if (tokenAllowed && line.rfind(kTokenKey, 0) == 0 &&
                   UsableActivationToken(line.substr(kTokenKey.size()))) {
            messages.back().activationToken = line.substr(kTokenKey.size());
            tokenAllowed = false;
        } else {
            tokenAllowed = false;
        }
    }
    return messages;
}

void BringToFront(QWidget& window, const std::string& activationToken) {
    window.show();
    if (window.isMinimized()) {
        window.showNormal();
    }
    window.raise();
    // Qt's Wayland platform activates a window with the token it finds in this variable, and
    // takes it out again; on other platforms the variable is of no use and must not reach the
    // programs we start.
    const bool handOver = UsableActivationToken(activationToken) &&
                          QGuiApplication::platformName().startsWith(QStringLiteral("wayland")) &&
                          QApplication::activeModalWidget() == nullptr;
    if (handOver) {
        setenv("XDG_ACTIVATION_TOKEN", activationToken.c_str(), 1);
    }
    window.activateWindow();
    if (handOver) {
        unsetenv("XDG_ACTIVATION_TOKEN");
    }
}

std::string TakeLaunchToken() {
    const std::string token = env::Value({"XDG_ACTIVATION_TOKEN", "DESKTOP_STARTUP_ID"});
    unsetenv("XDG_ACTIVATION_TOKEN");
    return token;
}

void DropStartupId() {
    unsetenv("DESKTOP_STARTUP_ID");
}

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

bool SendToRunningInstance(const std::string& className, int message,
                           const std::string& activationToken) {
    const std::string path = InstanceSocketPath(className);
    if (path.empty()) {
        return false;
    }
    QLocalSocket socket;
    socket.connectToServer(QPath(path));
    if (!socket.waitForConnected(kConnectTimeoutMs)) {
        return false;
    }
    // One write, so that the number and its token arrive together.
    socket.write(QByteArray::fromStdString(InstanceMessageText({message, activationToken})));
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
            std::vector<std::string> lines;
            while (client->canReadLine()) {
                lines.push_back(client->readLine().trimmed().toStdString());
            }
            for (InstanceMessage& message : ReadInstanceMessages(lines)) {
                // A second start says nothing else; any other number is not for the window.
                if (message.message == WM_SECOND_INSTANCE) {
                    PostEvent(receiver_, new SecondInstanceEvent(message.activationToken));
                }
            }
        });
    }
}

}  // namespace platform
