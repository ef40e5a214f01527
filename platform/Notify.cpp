#include "platform/Notify.h"

#include <sys/stat.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QStringList>
#include <QVariantMap>
#include <cstdlib>
#include <string_view>

#include "common/Environment.h"

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
    if (const std::string address = env::Value("DBUS_SESSION_BUS_ADDRESS"); !address.empty()) {
        return address == kNoBusAddress ? std::string() : address;
    }
    const std::string runtime = env::Value("XDG_RUNTIME_DIR");
    if (runtime.empty()) {
        return {};
    }
    const std::string socket = runtime + "/bus";
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
