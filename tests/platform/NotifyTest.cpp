// Desktop notifications, against a stand-in notification service on a bus of the test's own.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDBusArgument>
#include <QElapsedTimer>
#include <cstdlib>
#include <optional>

#include "platform/Notify.h"
#include "platform/UniqueFd.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/TempDir.h"

using namespace platform;
using testsupport::PrivateBus;
using testsupport::StandInNotifications;
using testsupport::TempDir;

namespace {

// Each test chooses its own bus; none ever reaches the desktop of the user running them.
class Notify : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
        setenv("XDG_RUNTIME_DIR", runtime_.Path().c_str(), 1);
    }
    void TearDown() override {
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
        unsetenv("XDG_RUNTIME_DIR");
    }
    static void UseBus(const std::string& address) {
        setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    }
    TempDir runtime_;
};

const Notification kNote{"Tamberlo", "tamberlo", "Run finished",
                         "Jobs done: 2 of 3\nWith an error: 1 \xC3\xA9"};

// A listening Unix socket at path, for as long as the descriptor lives.
UniqueFd ListenAt(const std::string& path) {
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    listen(fd.get(), 1);
    return fd;
}

}  // namespace

TEST_F(Notify, TheServiceGetsEveryArgumentOfNotify) {
    PrivateBus bus;
    ASSERT_FALSE(bus.Address().empty());
    StandInNotifications service(bus.Address());
    ASSERT_TRUE(service.Registered());
    UseBus(bus.Address());

    DesktopNotify(kNote);
    ASSERT_TRUE(service.WaitForCalls(1, 5000));
    const QDBusMessage call = service.Calls()[0];
    EXPECT_EQ(call.interface(), "org.freedesktop.Notifications");
    EXPECT_EQ(call.member(), "Notify");
    EXPECT_EQ(call.path(), "/org/freedesktop/Notifications");
    ASSERT_EQ(call.signature(), "susssasa{sv}i");
    const QList<QVariant> args = call.arguments();
    EXPECT_EQ(args[0].toString(), "Tamberlo");
    EXPECT_EQ(args[1].toUInt(), 0u);
    EXPECT_EQ(args[2].toString(), "tamberlo");
    EXPECT_EQ(args[3].toString(), "Run finished");
    EXPECT_EQ(args[4].toString(),
              QString::fromUtf8("Jobs done: 2 of 3\nWith an error: 1 \xC3\xA9"));
    EXPECT_TRUE(qdbus_cast<QStringList>(args[5]).isEmpty());
    const auto hints = qdbus_cast<QVariantMap>(args[6]);
    EXPECT_EQ(hints.value("desktop-entry").toString(), "tamberlo");
    EXPECT_EQ(args[7].toInt(), -1);
}

TEST_F(Notify, FollowsTheSessionBusToANewAddressAndBackAfterARestart) {
    PrivateBus first;
    PrivateBus second;
    StandInNotifications one(first.Address());
    StandInNotifications two(second.Address());
    UseBus(first.Address());
    DesktopNotify(kNote);
    UseBus(second.Address());
    DesktopNotify(kNote);
    EXPECT_TRUE(two.WaitForCalls(1, 5000));
    EXPECT_TRUE(one.WaitForCalls(1, 5000));
    EXPECT_EQ(one.Calls().size(), 1u);

    // The user's bus socket stays where it was when the bus is started again.
    const std::string socket = "unix:path=" + runtime_.File("bus");
    UseBus(socket);
    for (int start = 0; start < 2; ++start) {
        PrivateBus bus(socket);
        StandInNotifications service(bus.Address());
        DesktopNotify(kNote);
        EXPECT_TRUE(service.WaitForCalls(1, 5000)) << "start " << start;
    }
}

TEST_F(Notify, WithoutAServiceOrABusNothingHappensAtOnce) {
    PrivateBus bus;
    ListenAt(runtime_.File("dead"));  // closed again: a socket file nobody answers on
    struct Case {
        const char* name;
        std::optional<std::string> address;
    };
    const Case cases[] = {
        {"no service on the bus", bus.Address()},
        {"no session bus", std::nullopt},
        {"a bus socket left behind", "unix:path=" + runtime_.File("dead")},
        {"an address of no known kind", "nonsense:"},
    };
    for (const Case& c : cases) {
        if (c.address) {
            UseBus(*c.address);
        } else {
            unsetenv("DBUS_SESSION_BUS_ADDRESS");
        }
        QElapsedTimer timer;
        timer.start();
        DesktopNotify(kNote);
        EXPECT_LT(timer.elapsed(), 500) << c.name;
    }
}

TEST_F(Notify, TheSessionBusComesFromTheEnvironmentOrTheRuntimeFolder) {
    EXPECT_EQ(SessionBusAddress(), "");
    testsupport::WriteFile(runtime_.File("bus"), "");
    EXPECT_EQ(SessionBusAddress(), "") << "a plain file is no bus";
    unlink(runtime_.File("bus").c_str());
    const UniqueFd socket = ListenAt(runtime_.File("bus"));
    EXPECT_EQ(SessionBusAddress(), "unix:path=" + runtime_.File("bus"));
    UseBus("unix:path=/elsewhere");
    EXPECT_EQ(SessionBusAddress(), "unix:path=/elsewhere");
    UseBus("");
    EXPECT_EQ(SessionBusAddress(), "unix:path=" + runtime_.File("bus"));
    KeepQtFromLaunchingABus();
    EXPECT_EQ(std::getenv("DBUS_SESSION_BUS_ADDRESS"), std::string()) << "a bus is there";

    // Without one, the address names none, so that nothing launches a bus.
    unlink(runtime_.File("bus").c_str());
    KeepQtFromLaunchingABus();
    EXPECT_EQ(std::getenv("DBUS_SESSION_BUS_ADDRESS"), std::string(kNoBusAddress));
    EXPECT_EQ(SessionBusAddress(), "");
}
