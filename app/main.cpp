// Program entry: hand over to a running copy, or run the main window until it closes.

#include <QApplication>

#include "app/MainWindow.h"
#include "app/Places.h"
#include "platform/Files.h"
#include "platform/Messages.h"
#include "platform/SingleInstance.h"
#include "ui/Look.h"

int main(int argc, char** argv) {
    // A second copy only wakes the first one: no window, no settings read.
    if (platform::SendToRunningInstance(kMainWindowClassName, platform::WM_SECOND_INSTANCE)) {
        return 0;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tamberlo"));
    QApplication::setDesktopFileName(QStringLiteral("tamberlo"));
    ui::ApplyLook(app);

    TfrmMain frmMain(PlacesOf(platform::ExecutableFolder()));
    platform::InstanceListener listener(kMainWindowClassName, &frmMain);
    listener.Listen();
    frmMain.show();
    app.exec();
    return 0;
}
