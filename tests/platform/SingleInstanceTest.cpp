#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QWidget>
#include <cstdlib>
#include <filesystem>

#include "platform/Messages.h"
#include "platform/SingleInstance.h"
#include "platform/UniqueFd.h"
#include "tests/support/TempDir.h"

using namespace platform;

namespace {

// Every test gets its own runtime folder, so no real running copy is ever disturbed.
class SingleInstance : public ::testing::Test {
protected:
    void SetUp() override { setenv("XDG_RUNTIME_DIR", runtime_.Path().c_str(), 1); }
    void TearDown() override { unsetenv("XDG_RUNTIME_DIR"); }
    testsupport::TempDir runtime_;
};

struct Receiver : QObject {
    std::vector<int> got;
    std::vector<std::string> tokens;
    bool event(QEvent* e) override {
        if (auto* m = dynamic_cast<MessageEvent*>(e)) {
            got.push_back(m->Message());
            const auto* start = dynamic_cast<SecondInstanceEvent*>(e);
            tokens.push_back(start != nullptr ? start->ActivationToken() : "(no event of its own)");
            return true;
        }
        return QObject::event(e);
    }
};

void PumpUntil(const std::function<bool()>& done) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < 5000) {
        WaitForMessages(10);
    }
}

}  // namespace

TEST_F(SingleInstance, NoRunningCopyMeansNoHandOver) {
    EXPECT_FALSE(SendToRunningInstance("Some Class", WM_SECOND_INSTANCE));
}

TEST_F(SingleInstance, TheRunningCopyReceivesTheMessageNumber) {
    Receiver receiver;
    InstanceListener listener("Some Class", &receiver);
    ASSERT_TRUE(listener.Listen());
    const std::string path = InstanceSocketPath("Some Class");
    EXPECT_EQ(path.rfind(runtime_.Path(), 0), 0u);
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 077, 0u) << "only the user may connect";

    // The sender blocks until the bytes are written; the listener sees them on its event loop.
    EXPECT_TRUE(SendToRunningInstance("Some Class", WM_SECOND_INSTANCE));
    PumpUntil([&] { return !receiver.got.empty(); });
    EXPECT_EQ(receiver.got, std::vector<int>{WM_SECOND_INSTANCE});
    // Another class name is another program.
    EXPECT_FALSE(SendToRunningInstance("Other Class", WM_SECOND_INSTANCE));
}

TEST_F(SingleInstance, AStaleSocketIsReplaced) {
    const std::string path = InstanceSocketPath("Stale Class");
    {
        // A socket file that nobody listens on any more, as a crashed copy leaves it.
        UniqueFd fd(socket(AF_UNIX, SOCK_STREAM, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        ASSERT_EQ(bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    ASSERT_TRUE(std::filesystem::exists(path));
    Receiver receiver;
    InstanceListener listener("Stale Class", &receiver);
    EXPECT_TRUE(listener.Listen());
    EXPECT_TRUE(SendToRunningInstance("Stale Class", WM_SECOND_INSTANCE));
    PumpUntil([&] { return !receiver.got.empty(); });
    EXPECT_EQ(receiver.got.size(), 1u);
}

TEST_F(SingleInstance, ASecondListenerDoesNotStealALiveCopysSocket) {
    Receiver first;
    InstanceListener one("Live Class", &first);
    ASSERT_TRUE(one.Listen());
    Receiver second;
    InstanceListener two("Live Class", &second);
    EXPECT_FALSE(two.Listen());
}

TEST_F(SingleInstance, OnlyTheSecondStartMessageIsPosted) {
    Receiver receiver;
    InstanceListener listener("Some Class", &receiver);
    ASSERT_TRUE(listener.Listen());
    QLocalSocket client;
    client.connectToServer(QString::fromStdString(InstanceSocketPath("Some Class")));
    ASSERT_TRUE(client.waitForConnected(1000));
    client.write("1000\n5638\n-5636\n0x1604\nabc\n\n5636\n");
    ASSERT_TRUE(client.waitForBytesWritten(1000));
    EXPECT_TRUE(SendToRunningInstance("Some Class", WM_CONVERT_STATUS));
    EXPECT_TRUE(SendToRunningInstance("Some Class", WM_SECOND_INSTANCE));
    PumpUntil([&] { return receiver.got.size() >= 2; });
    WaitForMessages(50);
    EXPECT_EQ(receiver.got, (std::vector<int>{WM_SECOND_INSTANCE, WM_SECOND_INSTANCE}));
}

TEST(InstanceMessages, TheNumberComesFirstAndATokenOnlyRightAfterIt) {
    // What a start sends: an older copy, reading numbers line by line, still sees its number.
    EXPECT_EQ(InstanceMessageText({5636, ""}), "5636\n");
    EXPECT_EQ(InstanceMessageText({5636, "kwin-7f3a_T1"}), "5636\nactivation-token kwin-7f3a_T1\n");
    EXPECT_EQ(InstanceMessageText({5636, "two words"}), "5636\n") << "not a usable token";
    EXPECT_EQ(InstanceMessageText({5636, std::string(5000, 'a')}), "5636\n");

    struct Case {
        const char* name;
        std::vector<std::string> lines;
        std::vector<InstanceMessage> expected;
    };
    const Case cases[] = {
        {"an older start", {"5636"}, {{5636, ""}}},
        {"with a token", {"5636", "activation-token abc"}, {{5636, "abc"}}},
        {"two starts together", {"5636", "activation-token a", "5636"}, {{5636, "a"}, {5636, ""}}},
        {"a token with no number before it", {"activation-token a", "5636"}, {{5636, ""}}},
        {"a second token line",
         {"5636", "activation-token a", "activation-token b"},
         {{5636, "a"}}},
        {"a token after a stray line", {"5636", "x", "activation-token a"}, {{5636, ""}}},
        {"a token with a control byte", {"5636", "activation-token a\tb"}, {{5636, ""}}},
        {"an empty token", {"5636", "activation-token "}, {{5636, ""}}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ReadInstanceMessages(c.lines), c.expected) << c.name;
    }
}

TEST_F(SingleInstance, TheTokenOfTheSecondStartReachesTheWindow) {
    Receiver receiver;
    InstanceListener listener("Some Class", &receiver);
    ASSERT_TRUE(listener.Listen());
    EXPECT_TRUE(SendToRunningInstance("Some Class", WM_SECOND_INSTANCE, "gnome-shell/T/1-2_TIME3"));
    EXPECT_TRUE(SendToRunningInstance("Some Class", WM_SECOND_INSTANCE));
    PumpUntil([&] { return receiver.got.size() >= 2; });
    EXPECT_EQ(receiver.tokens, (std::vector<std::string>{"gnome-shell/T/1-2_TIME3", ""}));
}

TEST(LaunchToken, IsTakenOnceAndLeavesNoTokenForTheProgramsWeStart) {
    struct Case {
        const char* activation;  // nullptr: unset
        const char* startupId;
        const char* token;
    } cases[] = {
        {"wayland-token", nullptr, "wayland-token"},
        {nullptr, "glib-startup-id", "glib-startup-id"},
        {"wayland-token", "glib-startup-id", "wayland-token"},
        {"", "glib-startup-id", "glib-startup-id"},
        {nullptr, nullptr, ""},
    };
    for (const Case& c : cases) {
        c.activation ? setenv("XDG_ACTIVATION_TOKEN", c.activation, 1)
                     : unsetenv("XDG_ACTIVATION_TOKEN");
        c.startupId ? setenv("DESKTOP_STARTUP_ID", c.startupId, 1) : unsetenv("DESKTOP_STARTUP_ID");
        EXPECT_EQ(TakeLaunchToken(), c.token);
        // Whatever platform runs the window, XDG_ACTIVATION_TOKEN is gone at once; the startup
        // id once the application is made, and bringing the window forward puts back neither.
        EXPECT_EQ(std::getenv("XDG_ACTIVATION_TOKEN"), nullptr);
        DropStartupId();
        EXPECT_EQ(std::getenv("DESKTOP_STARTUP_ID"), nullptr);
        QWidget window;
        BringToFront(window, c.token);
        EXPECT_EQ(std::getenv("XDG_ACTIVATION_TOKEN"), nullptr);
    }
}

namespace {

// Without a runtime folder the instance folder lies below TMPDIR, here a folder of the test's.
class SingleInstanceWithoutRuntimeFolder : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("XDG_RUNTIME_DIR");
        setenv("TMPDIR", temp_.Path().c_str(), 1);
        folder_ = temp_.File("tamberlo-runtime-" + std::to_string(geteuid()));
    }
    void TearDown() override {
        unsetenv("TMPDIR");
        unsetenv("XDG_RUNTIME_DIR");
    }
    testsupport::TempDir temp_;
    std::string folder_;
};

uid_t Nobody() {
    const passwd* entry = getpwnam("nobody");
    return entry != nullptr ? entry->pw_uid : 65534;
}

}  // namespace

TEST_F(SingleInstanceWithoutRuntimeFolder, APrivateFolderOfOurOwnIsMadeAndUsed) {
    Receiver receiver;
    InstanceListener listener("Some Class", &receiver);
    ASSERT_TRUE(listener.Listen());
    struct stat info {};
    ASSERT_EQ(lstat(folder_.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    EXPECT_EQ(InstanceSocketPath("Some Class").rfind(folder_ + "/", 0), 0u);
    EXPECT_TRUE(SendToRunningInstance("Some Class", WM_SECOND_INSTANCE));
    PumpUntil([&] { return !receiver.got.empty(); });
    EXPECT_EQ(receiver.got, std::vector<int>{WM_SECOND_INSTANCE});
}

TEST_F(SingleInstanceWithoutRuntimeFolder, AFolderThatIsNotSafelyOursIsNeverUsed) {
    // Another local user made the folder first and listens in it under the instance's name.
    struct Case {
        const char* name;
        bool otherOwner;
        mode_t mode;
        bool symlink;
    };
    const Case cases[] = {
        {"another user's, open to all", true, 0777, false},
        {"another user's, private", true, 0700, false},
        {"ours, but others may write", false, 0777, false},
        {"ours, but the group may write", false, 0770, false},
        {"a link to a folder of ours", false, 0700, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(folder_);
        const std::string real = c.symlink ? temp_.File("elsewhere") : folder_;
        std::filesystem::remove_all(real);
        ASSERT_EQ(mkdir(real.c_str(), 0700), 0);
        if (c.symlink) {
            ASSERT_EQ(symlink(real.c_str(), folder_.c_str()), 0);
        }
        QLocalServer squatter;
        ASSERT_TRUE(squatter.listen(QString::fromStdString(folder_ + "/Some-Class.instance")));
        ASSERT_EQ(chmod(real.c_str(), c.mode), 0);
        if (c.otherOwner) {
            ASSERT_EQ(chown(real.c_str(), Nobody(), static_cast<gid_t>(-1)), 0);
        }

        EXPECT_FALSE(SendToRunningInstance("Some Class", WM_SECOND_INSTANCE))
            << "a start must never hand over to someone else's socket";
        Receiver receiver;
        InstanceListener listener("Some Class", &receiver);
        listener.Listen();
        WaitForMessages(20);
        EXPECT_FALSE(squatter.hasPendingConnections());
        EXPECT_EQ(InstanceSocketPath("Some Class").rfind(folder_ + "/", 0), std::string::npos);
    }
}

TEST_F(SingleInstanceWithoutRuntimeFolder, ARuntimeFolderOthersMayWriteIsPassedOver) {
    testsupport::TempDir shared;
    ASSERT_EQ(chmod(shared.Path().c_str(), 01777), 0);
    setenv("XDG_RUNTIME_DIR", shared.Path().c_str(), 1);
    EXPECT_EQ(InstanceSocketPath("Some Class").rfind(folder_ + "/", 0), 0u);
}
