// Program entry: hand over to a running copy, or run the main window until it closes.

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/EndOnSignal.h"
#include "app/MainWindow.h"
#include "app/Places.h"
#include "common/StringTable.h"
#include "platform/Display.h"
#include "platform/EndSignals.h"
#include "platform/Files.h"
#include "platform/Form.h"
#include "platform/Messages.h"
#include "platform/Notify.h"
#include "platform/SingleInstance.h"
#include "ui/Look.h"

namespace {

// How long a start that cannot open a window waits for the notification service.
constexpr int kNotifyWaitMs = 2000;

// Tells the user, where they can see it, that no window can be opened; Qt would abort.
int NoDisplay(int argc, char** argv) {
    QCoreApplication core(argc, argv);  // the session bus needs one
    const std::string summary = LoadStr(StrId::NoDisplaySummary);
    const std::string body = LoadStr(StrId::NoDisplayBody);
    std::fprintf(stderr, "%s: %s\n", summary.c_str(), body.c_str());
    platform::DesktopNotify({LoadStr(StrId::ProductName), "tamberlo", summary, body},
                            kNotifyWaitMs);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    // Taken out of the environment before Qt or any thread starts: it is for our window alone.
    const std::string launchToken = platform::TakeLaunchToken();
    // Before anything of Qt's: a bus launched for it would outlive the program.
    platform::KeepQtFromLaunchingABus();
    // A second copy only wakes the first one, with the token its launcher gave it so that the
    // window may come forward on Wayland: no window, no settings read.
    if (platform::SendToRunningInstance(kMainWindowClassName, platform::WM_SECOND_INSTANCE,
                                        launchToken)) {
        return 0;
    }
    const platform::Environment environment = platform::CurrentEnvironment();
    const platform::PlatformChoice choice = platform::ChoosePlatform(
        environment, platform::PlatformArgument(argc, argv), platform::ProbeDisplays(environment));
    if (!choice.usable) {
        return NoDisplay(argc, argv);
    }
    // Our choice goes to Qt as an argument, never through the environment, so that the programs
    // the window opens (the file manager, the browser) make their own.
    std::vector<char*> arguments(argv, argv + argc);
    std::string platformOption = "-platform";
    std::string platformName = choice.platform;
    if (!platformName.empty()) {
        arguments.insert(arguments.begin() + 1, {platformOption.data(), platformName.data()});
    }
    int count = static_cast<int>(arguments.size());
    arguments.push_back(nullptr);

    QApplication app(count, arguments.data());
    platform::DropStartupId();
    QApplication::setApplicationName(QStringLiteral("Tamberlo"));
    QApplication::setDesktopFileName(QStringLiteral("tamberlo"));
    ui::ApplyLook(app);
    // No window's controls act behind a run or a dialog.
    platform::InstallModalGuard(app);

    TfrmMain frmMain(PlacesOf(platform::ExecutableFolder()));
    platform::InstanceListener listener(kMainWindowClassName, &frmMain);
    listener.Listen();
    platform::EndSignals ending([&frmMain](int) { EndAsAsked(frmMain); });
    frmMain.show();
    // The launcher's token, handed to Qt's Wayland platform for the first activation.
    platform::BringToFront(frmMain, launchToken);
    app.exec();
    return 0;
}
