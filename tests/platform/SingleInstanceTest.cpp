#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <QCoreApplication>
#include <QElapsedTimer>
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
    bool event(QEvent* e) override {
        if (auto* m = dynamic_cast<MessageEvent*>(e)) {
            got.push_back(m->Message());
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
