// The notification at the end of a whole run, watched on a bus of the test's own.

#include <QDBusMessage>

#include "tests/app/RunFixture.h"
#include "tests/support/PrivateBus.h"

using namespace runtest;

namespace {

TEST_F(Run, ARunEndingBehindAnotherWindowTellsTheDesktop) {
    testsupport::PrivateBus bus;
    testsupport::StandInNotifications service(bus.Address());
    ASSERT_TRUE(service.Registered());
    setenv("DBUS_SESSION_BUS_ADDRESS", bus.Address().c_str(), 1);
    const OwnPage missing = AddYouTubePage(site_, "missing0001", "Gone");
    site_.Route(missing.file, Reply::Status(404));

    struct Case {
        const char* name;
        bool behind;
        std::size_t notifications;
    };
    const Case cases[] = {{"behind another window", true, 1}, {"in front", false, 0}};
    QWidget other;
    AddJobs({kMetacafe, missing.job});
    for (const Case& c : cases) {
        // A file left from the round before would ask to be overwritten.
        for (const auto& entry : std::filesystem::directory_iterator(out_)) {
            std::filesystem::remove(entry.path());
        }
        dialogs_.messages.clear();
        const std::size_t before = service.Calls().size();
        When([](TfrmDownload& w) { return w.isVisible(); },
             [&](TfrmDownload& w) {
                 QWidget* front = c.behind ? &other : static_cast<QWidget*>(&w);
                 front->show();
                 front->activateWindow();
             });
        Start();
        // The error box is still shown.
        EXPECT_EQ(ErrorLines().size(), 1u) << c.name;
        service.WaitForCalls(before + c.notifications, c.notifications ? 5000 : 300);
        const auto calls = service.Calls();
        ASSERT_EQ(calls.size(), before + c.notifications) << c.name;
        if (c.notifications != 0) {
            const QList<QVariant> args = calls.back().arguments();
            EXPECT_EQ(args[0].toString(), "Tamberlo");
            EXPECT_EQ(args[3].toString(), "Run finished");
            EXPECT_EQ(args[4].toString(), "Jobs done: 2 of 2\nWith an error: 1");
        }
        other.hide();
    }
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

}  // namespace
