#pragma once

// A session bus of the test's own, and a stand-in notification service on it that records the
// calls it gets. Header only: it needs Qt's D-Bus module, which only the layers above
// platform bring in.

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QProcess>
#include <QThread>
#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

// dbus-daemon started for the test; it ends with the object.
class PrivateBus {
public:
    // listen: an address to listen on instead of one the daemon chooses.
    explicit PrivateBus(const std::string& listen = {}) {
        QStringList args = {QStringLiteral("--session"), QStringLiteral("--print-address"),
                            QStringLiteral("--nofork")};
        if (!listen.empty()) {
            args << QStringLiteral("--address=") + QString::fromStdString(listen);
        }
        daemon_.start(QStringLiteral("dbus-daemon"), args);
        QElapsedTimer timer;
        timer.start();
        while (!daemon_.canReadLine() && timer.elapsed() < 5000 && daemon_.waitForReadyRead(100)) {
        }
        address_ = daemon_.readLine().trimmed().toStdString();
    }
    ~PrivateBus() {
        daemon_.kill();
        daemon_.waitForFinished(5000);
    }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // Empty when the daemon could not be started.
    const std::string& Address() const { return address_; }

private:
    QProcess daemon_;
    std::string address_;
};

// Owns org.freedesktop.Notifications on a bus, answers every call with a new id and keeps it.
class StandInNotifications : public QDBusVirtualObject {
public:
    explicit StandInNotifications(const std::string& address)
        : bus_(QDBusConnection::connectToBus(QString::fromStdString(address), NextName())) {
        bus_.registerVirtualObject(QStringLiteral("/org/freedesktop/Notifications"), this);
        registered_ = bus_.registerService(QStringLiteral("org.freedesktop.Notifications"));
    }
    ~StandInNotifications() override {
        bus_.unregisterObject(QStringLiteral("/org/freedesktop/Notifications"));
        QDBusConnection::disconnectFromBus(bus_.name());
    }

    bool Registered() const { return registered_; }

    std::vector<QDBusMessage> Calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    // Handles events until count calls have arrived or ms have passed.
    bool WaitForCalls(std::size_t count, int ms) const {
        QElapsedTimer timer;
        timer.start();
        while (Calls().size() < count && timer.elapsed() < ms) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            QThread::msleep(2);
        }
        return Calls().size() >= count;
    }

    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        std::size_t id = 0;
        {
            std::lock_guard lock(mutex_);
            calls_.push_back(message);
            id = calls_.size();
        }
        connection.send(message.createReply(QVariant::fromValue(static_cast<uint>(id))));
        return true;
    }

private:
    static QString NextName() {
        static int count = 0;
        return QStringLiteral("stand-in-notifications-%1").arg(++count);
    }
    QDBusConnection bus_;
    bool registered_ = false;
    mutable std::mutex mutex_;
    std::vector<QDBusMessage> calls_;
};

}  // namespace testsupport
