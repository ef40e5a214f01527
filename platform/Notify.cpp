#include "platform/Notify.h"

#include <sys/stat.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QStringList>
#include <QVariantMap>
#include <cstdlib>
#include <string_view>

namespace platform {

namespace {

const QString kConnectionName = QStringLiteral("tamberlo-notify");

QString Text(const std::string& bytes) {
    return QString::fromLocal8Bit(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

// One connection, kept while it stays up and the bus address stays the same.
QDBusConnection Bus(const QString& address) {
    static QString connected;
    if (connected == address) {
        QDBusConnection bus(kConnectionName);
        if (bus.isConnected()) {
            return bus;
        }
    }
    QDBusConnection::disconnectFromBus(kConnectionName);
    connected = address;
    return QDBusConnection::connectToBus(address, kConnectionName);
}

}  // namespace

std::string SessionBusAddress() {
    if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
        address != nullptr && *address != '\0') {
        return std::string_view(address) == kNoBusAddress ? std::string() : address;
    }
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || *runtime == '\0') {
        return {};
    }
    const std::string socket = std::string(runtime) + "/bus";
    struct stat st {};
    if (stat(socket.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) {
        return {};
    }
    return "unix:path=" + socket;
}

void KeepQtFromLaunchingABus() {
    if (SessionBusAddress().empty()) {
        setenv("DBUS_SESSION_BUS_ADDRESS", kNoBusAddress, 1);
    }
}

void DesktopNotify(const Notification& notification, int waitMs) {
    const std::string address = SessionBusAddress();
    if (address.empty()) {
        return;
    }
    QDBusConnection bus = Bus(Text(address));
    if (!bus.isConnected()) {
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    const QString entry = Text(notification.desktopEntry);
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), entry);
    // replaces_id 0: a new notification; expire_timeout -1: the service's own default.
    call << Text(notification.appName) << 0u << entry << Text(notification.summary)
         << Text(notification.body) << QStringList{} << hints << -1;
    // The answer (the notification's id, or "no such service") is of no use to us.
    if (waitMs > 0) {
        bus.call(call, QDBus::Block, waitMs);
    } else {
        bus.send(call);
    }
}

}  // namespace platform
