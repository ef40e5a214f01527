#include "platform/Keyring.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QFile>
#include <QMap>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>

#include "common/Environment.h"
#include "platform/BrowserProfiles.h"
#include "platform/Notify.h"

namespace platform {

namespace {

// A keyring that does not answer within this does not hold up the page load any longer.
constexpr int kCallTimeoutMs = 3000;
const QString kAppId = QStringLiteral("Tamberlo");

const QString kSecrets = QStringLiteral("org.freedesktop.secrets");
const QString kSecretService = QStringLiteral("org.freedesktop.Secret.Service");

// A connection of its own for one lookup, gone with the object. Lookups of two browsers may
// run at once, each on its own thread: each gets a name of its own.
QString NextConnectionName() {
    static std::atomic<int> count{0};
    return QStringLiteral("tamberlo-keyring-%1").arg(++count);
}

class Bus {
public:
    explicit Bus(const std::string& address)
        : name_(NextConnectionName()),
          connection_(QDBusConnection::connectToBus(QString::fromStdString(address), name_)) {}
    ~Bus() { QDBusConnection::disconnectFromBus(name_); }
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    bool Connected() const { return connection_.isConnected(); }

    // The reply's arguments, or nothing on an error or a timeout. A service that is not
    // running is never started for us.
    QList<QVariant> Call(const QString& service, const QString& path, const QString& interface,
                         const QString& method, const QList<QVariant>& arguments) {
        QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, method);
        call.setArguments(arguments);
        call.setAutoStartService(false);
        // Neither the Secret Service nor KWallet is to ask the user anything on our behalf.
        call.setInteractiveAuthorizationAllowed(false);
        const QDBusMessage reply = connection_.call(call, QDBus::Block, kCallTimeoutMs);
        if (reply.type() != QDBusMessage::ReplyMessage) {
            return {};
        }
        return reply.arguments();
    }

private:
    QString name_;
    QDBusConnection connection_;
};

QList<QDBusObjectPath> Paths(const QVariant& value) {
    return qdbus_cast<QList<QDBusObjectPath>>(value.value<QDBusArgument>());
}

std::optional<std::string> FromSecretService(Bus& bus, const SafeStorage& storage) {
    const QString root = QStringLiteral("/org/freedesktop/secrets");
    // The first unlocked item of the browser; locked ones are left as they are.
    QDBusObjectPath item;
    for (const char* schema :
         {"chrome_libsecret_os_crypt_password_v2", "chrome_libsecret_os_crypt_password"}) {
        QMap<QString, QString> attributes;
        attributes.insert(QStringLiteral("xdg:schema"), QLatin1String(schema));
        attributes.insert(QStringLiteral("application"),
                          QString::fromStdString(storage.application));
        const QList<QVariant> found =
            bus.Call(kSecrets, root, kSecretService, QStringLiteral("SearchItems"),
                     {QVariant::fromValue(attributes)});
        if (found.size() == 2 && !Paths(found[0]).isEmpty()) {
            item = Paths(found[0]).front();
            break;
        }
    }
    if (item.path().isEmpty()) {
        return std::nullopt;
    }
    // Some services ask the user for the collection's password when one of its items is read,
    // whatever the item's own state and however the call forbids it: only an unlocked
    // collection is read from.
    const QString collection = item.path().left(item.path().lastIndexOf(u'/'));
    const QList<QVariant> locked =
        bus.Call(kSecrets, collection, QStringLiteral("org.freedesktop.DBus.Properties"),
                 QStringLiteral("Get"),
                 {QStringLiteral("org.freedesktop.Secret.Collection"), QStringLiteral("Locked")});
    if (collection.isEmpty() || locked.size() != 1 ||
        locked[0].value<QDBusVariant>().variant().toBool() ||
        locked[0].value<QDBusVariant>().variant().typeId() != QMetaType::Bool) {
        return std::nullopt;
    }
    // "plain": the secret crosses the user's own session bus as it is.
    const QList<QVariant> opened =
        bus.Call(kSecrets, root, kSecretService, QStringLiteral("OpenSession"),
                 {QStringLiteral("plain"), QVariant::fromValue(QDBusVariant(QString()))});
    if (opened.size() != 2) {
        return std::nullopt;
    }
    const QDBusObjectPath session = opened[1].value<QDBusObjectPath>();
    const QList<QVariant> secret =
        bus.Call(kSecrets, item.path(), QStringLiteral("org.freedesktop.Secret.Item"),
                 QStringLiteral("GetSecret"), {QVariant::fromValue(session)});
    bus.Call(kSecrets, session.path(), QStringLiteral("org.freedesktop.Secret.Session"),
             QStringLiteral("Close"), {});
    if (secret.size() != 1) {
        return std::nullopt;
    }
    // (session, parameters, value, content type)
    const QDBusArgument argument = secret[0].value<QDBusArgument>();
    QDBusObjectPath secretSession;
    QByteArray parameters;
    QByteArray value;
    QString contentType;
    argument.beginStructure();
    argument >> secretSession >> parameters >> value >> contentType;
    argument.endStructure();
    if (value.isEmpty()) {
        return std::nullopt;
    }
    return value.toStdString();
}

std::optional<std::string> FromKWallet(Bus& bus, const SafeStorage& storage,
                                       const std::string& kwalletrc) {
    QFile settings(QString::fromStdString(kwalletrc));
    const QByteArray settingsText = settings.open(QIODevice::ReadOnly) ? settings.readAll() : "";
    for (const char* version : {"6", "5"}) {
        const QString service = QStringLiteral("org.kde.kwalletd") + QLatin1String(version);
        const QString path = QStringLiteral("/modules/kwalletd") + QLatin1String(version);
        const QString interface = QStringLiteral("org.kde.KWallet");
        auto call = [&](const char* method, const QList<QVariant>& arguments) {
            return bus.Call(service, path, interface, QLatin1String(method), arguments);
        };
        const QList<QVariant> enabled = call("isEnabled", {});
        if (enabled.size() != 1 || !enabled[0].toBool()) {
            continue;
        }
        const QList<QVariant> wallet = call("networkWallet", {});
        if (wallet.size() != 1) {
            continue;
        }
        const QString name = wallet[0].toString();
        // Opening a closed wallet asks for its password; opening an open one may ask whether
        // we may: neither is done.
        const QList<QVariant> isOpen = call("isOpen", {name});
        if (isOpen.size() != 1 || !isOpen[0].toBool() ||
            !KWalletOpensWithoutPrompt(settingsText.toStdString(), name.toStdString(),
                                       kAppId.toStdString())) {
            return std::nullopt;
        }
        const QList<QVariant> opened = call("open", {name, qlonglong{0}, kAppId});
        const int handle = opened.size() == 1 ? opened[0].toInt() : -1;
        if (handle < 0) {
            return std::nullopt;
        }
        const QString folder = QString::fromStdString(storage.name) + QStringLiteral(" Keys");
        const QString entry =
            QString::fromStdString(storage.name) + QStringLiteral(" Safe Storage");
        const QList<QVariant> password = call("readPassword", {handle, folder, entry, kAppId});
        call("close", {handle, false, kAppId});
        if (password.size() != 1 || password[0].toString().isEmpty()) {
            return std::nullopt;
        }
        return password[0].toString().toStdString();
    }
    return std::nullopt;
}

}  // namespace

KeyringPlace DesktopKeyringPlace() {
    auto environment = [](const char* name) { return env::Value(name); };
    std::string config = environment("XDG_CONFIG_HOME");
    if (!config.starts_with('/')) {
        config = environment("HOME") + "/.config";
    }
    // As the browser chooses: KWallet on KDE's desktops, the Secret Service elsewhere.
    const QStringList desktops =
        QString::fromStdString(environment("XDG_CURRENT_DESKTOP")).split(u':');
    return {SessionBusAddress(), config + "/kwalletrc",
            desktops.contains(QStringLiteral("KDE"), Qt::CaseInsensitive)};
}

std::optional<std::string> ReadSafeStoragePassword(const KeyringPlace& place,
                                                   const SafeStorage& storage) {
    if (place.busAddress.empty()) {
        return std::nullopt;
    }
    qDBusRegisterMetaType<QMap<QString, QString>>();
    Bus bus(place.busAddress);
    if (!bus.Connected()) {
        return std::nullopt;
    }
    std::optional<std::string> password;
    if (place.kdeFirst) {
        password = FromKWallet(bus, storage, place.kwalletrc);
    }
    if (!password) {
        password = FromSecretService(bus, storage);
    }
    if (!password && !place.kdeFirst) {
        password = FromKWallet(bus, storage, place.kwalletrc);
    }
    return password;
}

std::shared_ptr<KeyringRead> KeyringRead::Start(const KeyringPlace& place,
                                                const SafeStorage& storage) {
    auto read = std::make_shared<KeyringRead>();
    try {
        // Detached: the keyring may take its time, and nobody waits for it but the page load,
        // which polls. The shared state outlives whichever side ends first.
        std::thread([read, place, storage] {
            std::optional<std::string> password = ReadSafeStoragePassword(place, storage);
            std::lock_guard lock(read->mutex_);
            read->password_ = std::move(password);
            read->done_ = true;
        }).detach();
    } catch (const std::system_error&) {
        std::lock_guard lock(read->mutex_);
        read->done_ = true;
    }
    return read;
}

bool KeyringRead::Done() const {
    std::lock_guard lock(mutex_);
    return done_;
}

std::optional<std::string> KeyringRead::Password() const {
    std::lock_guard lock(mutex_);
    return done_ ? password_ : std::nullopt;
}

}  // namespace platform
