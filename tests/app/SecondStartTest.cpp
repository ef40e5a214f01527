#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QThread>
#include <filesystem>

#include "app/MainWindow.h"
#include "platform/Messages.h"
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

// A settings file as found on disk: its bytes and when it was last written, or nothing.
std::string FileState(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        return "missing";
    }
    return testsupport::ReadFile(path) + "@" + std::to_string(info.st_mtim.tv_sec) + "." +
           std::to_string(info.st_mtim.tv_nsec);
}

const std::string kBesideTheProgram =
    QFileInfo(TAMBERLO_APP_BINARY).absolutePath().toStdString() + "/settings.ini";

// Starts the program as a second copy, which must end by itself at once with code 0, silently.
void RunSecondCopy(const std::string& runtime) {
    QProcess second;
    second.setProcessEnvironment(Environment(runtime));
    second.start(TAMBERLO_APP_BINARY, {});
    ASSERT_TRUE(second.waitForFinished(10000)) << "the second copy did not end by itself";
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_TRUE(second.readAllStandardError().isEmpty());
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
    const std::string settings = FileState(kBesideTheProgram);

    RunSecondCopy(runtime.Path());
    EXPECT_EQ(first.state(), QProcess::Running) << "the first copy must keep running";
    EXPECT_EQ(FileState(kBesideTheProgram), settings) << "settings.ini was touched";

    first.kill();
    first.waitForFinished();
}

TEST(SecondStart, TheRunningWindowComesToTheFrontAndNeitherCopyTouchesTheSettings) {
    // The running copy is this process, wired as the program entry wires it.
    testsupport::TempDir runtime;
    testsupport::TempDir folder;
    testsupport::WriteFile(folder.File("settings.ini"), "[Options]\nQuality=2\n");
    setenv("XDG_RUNTIME_DIR", runtime.Path().c_str(), 1);
    TfrmMain running(folder.Path() + "/");
    platform::InstanceListener listener(kMainWindowClassName, &running);
    const bool listening = listener.Listen();
    unsetenv("XDG_RUNTIME_DIR");
    ASSERT_TRUE(listening);
    running.showMinimized();
    running.hide();
    const std::string ours = FileState(folder.File("settings.ini"));
    const std::string beside = FileState(kBesideTheProgram);

    RunSecondCopy(runtime.Path());
    QElapsedTimer timer;
    timer.start();
    while (!running.isVisible() && timer.elapsed() < 5000) {
        platform::WaitForMessages(20);
    }
    EXPECT_TRUE(running.isVisible());
    EXPECT_FALSE(running.isMinimized());
    EXPECT_EQ(FileState(folder.File("settings.ini")), ours);
    EXPECT_EQ(FileState(kBesideTheProgram), beside);
}
