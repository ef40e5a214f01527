#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QProcess>
#include <QThread>
#include <filesystem>

#include "app/MainWindow.h"
#include "platform/SingleInstance.h"
#include "tests/support/TempDir.h"

namespace {

QProcessEnvironment Environment(const std::string& runtime) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_RUNTIME_DIR", QString::fromStdString(runtime));
    env.insert("QT_QPA_PLATFORM", "offscreen");
    return env;
}

bool WaitForPath(const std::string& path) {
    QElapsedTimer timer;
    timer.start();
    while (!std::filesystem::exists(path) && timer.elapsed() < 10000) {
        QThread::msleep(20);
    }
    return std::filesystem::exists(path);
}

}  // namespace

TEST(SecondStart, HandsOverToTheRunningCopyAndEndsAtOnceWithCodeZero) {
    testsupport::TempDir runtime;
    setenv("XDG_RUNTIME_DIR", runtime.Path().c_str(), 1);
    const std::string socket = platform::InstanceSocketPath(kMainWindowClassName);
    unsetenv("XDG_RUNTIME_DIR");

    QProcess first;
    first.setProcessEnvironment(Environment(runtime.Path()));
    first.start(TAMBERLO_APP_BINARY, {});
    ASSERT_TRUE(first.waitForStarted());
    ASSERT_TRUE(WaitForPath(socket)) << "the first copy never listened";

    QProcess second;
    second.setProcessEnvironment(Environment(runtime.Path()));
    second.start(TAMBERLO_APP_BINARY, {});
    ASSERT_TRUE(second.waitForFinished(10000)) << "the second copy did not end by itself";
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_TRUE(second.readAllStandardError().isEmpty());
    EXPECT_EQ(first.state(), QProcess::Running) << "the first copy must keep running";

    first.kill();
    first.waitForFinished();
}
