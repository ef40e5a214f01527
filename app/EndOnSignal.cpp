#include "app/EndOnSignal.h"

#include <QApplication>
#include <QTimer>

#include "app/MainWindow.h"
#include "retrieval/Download.h"

namespace {

constexpr int kStepMs = 20;

}  // namespace

void EndAsAsked(TfrmMain& main) {
    auto* steps = new QTimer(&main);
    auto step = [&main, steps] {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* run = qobject_cast<TfrmDownload*>(modal)) {
            run->EndRun();
        } else if (modal != nullptr) {
            modal->close();
        } else if (main.close() && !main.isVisible()) {
            steps->stop();
            QApplication::quit();
        }
    };
    QObject::connect(steps, &QTimer::timeout, &main, step);
    steps->start(kStepMs);
    step();  // a run under way is stopped now, before any of its jobs can end otherwise
}
