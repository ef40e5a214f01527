// A start that can reach no display says so where the user can see it and ends with an error.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>

#include "tests/support/PrivateBus.h"
#include "tests/support/TempDir.h"

TEST(NoDisplay, TheStartTellsTheDesktopAndEndsWithAnErrorInsteadOfAborting) {
    testsupport::PrivateBus bus;
    testsupport::StandInNotifications service(bus.Address());
    ASSERT_TRUE(service.Registered());
    testsupport::TempDir runtime;  // no compositor listens here
    struct Case {
        const char* name;
        const char* platform;  // the user's choice; null: none
        bool withBus;
    };
    const Case cases[] = {
        {"no display, the desktop's bus", nullptr, true},
        {"no display, no bus: standard error only", nullptr, false},
        {"the user's choice of an X display that is not there", "xcb", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "WAYLAND_SOCKET", "QT_QPA_PLATFORM",
                                 "DBUS_SESSION_BUS_ADDRESS"}) {
            env.remove(name);
        }
        env.insert("XDG_RUNTIME_DIR", QString::fromStdString(runtime.Path()));
        if (c.platform != nullptr) {
            env.insert("QT_QPA_PLATFORM", c.platform);
        }
        if (c.withBus) {
            env.insert("DBUS_SESSION_BUS_ADDRESS", QString::fromStdString(bus.Address()));
        }
        const std::size_t before = service.Calls().size();
        QProcess start;
        start.setProcessEnvironment(env);
        start.start(TAMBERLO_APP_BINARY, {});
        // The stand-in service answers on this thread while the start waits for it.
        QElapsedTimer timer;
        timer.start();
        while (!start.waitForFinished(10) && timer.elapsed() < 20000) {
            QCoreApplication::processEvents();
        }
        ASSERT_EQ(start.state(), QProcess::NotRunning);
        EXPECT_EQ(start.exitStatus(), QProcess::NormalExit) << "aborted";
        EXPECT_EQ(start.exitCode(), 1);
        EXPECT_TRUE(start.readAllStandardError().contains("Tamberlo cannot start: No display"));
        service.WaitForCalls(before + (c.withBus ? 1 : 0), c.withBus ? 5000 : 200);
        const auto calls = service.Calls();
        ASSERT_EQ(calls.size(), before + (c.withBus ? 1 : 0));
        if (c.withBus) {
            const QList<QVariant> args = calls.back().arguments();
            EXPECT_EQ(args[3].toString(), "Tamberlo cannot start");
            EXPECT_TRUE(args[4].toString().contains("qt6-wayland"));
        }
    }
}
