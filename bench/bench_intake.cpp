// Prints how long the main window takes to take in large clipboard texts (no jobs yet, then a
// second paste of the same text against the full list), texts of megabytes copied by mistake
// (one line that starts with an address, and words with an address among them), and the same
// large texts dragged over the job list: entering, ten moves of the mouse, the drop.

#include <QApplication>
#include <QClipboard>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QMimeData>
#include <QTreeWidget>
#include <cstdio>
#include <string>
#include <utility>

#include "app/MainWindow.h"
#include "platform/Messages.h"

namespace {

double PasteMs(TfrmMain& form, const std::string& text) {
    QApplication::clipboard()->setText(
        QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size())));
    QElapsedTimer timer;
    timer.start();
    form.bPasteClick();
    platform::ProcessMessages();
    return static_cast<double>(timer.nsecsElapsed()) / 1e6;
}

struct DragMs {
    double enterAndMoves;
    double drop;
};

DragMs Drag(TfrmMain& form, const std::string& text) {
    QMimeData data;
    data.setText(QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size())));
    QWidget* list = form.lvMain->viewport();
    const Qt::DropActions actions = Qt::CopyAction | Qt::MoveAction;
    QElapsedTimer timer;
    timer.start();
    QDragEnterEvent enter(QPoint(10, 10), actions, &data, Qt::LeftButton, {});
    QApplication::sendEvent(list, &enter);
    for (int i = 0; i < 10; ++i) {
        QDragMoveEvent move(QPoint(10, 11 + i), actions, &data, Qt::LeftButton, {});
        QApplication::sendEvent(list, &move);
    }
    const double moves = static_cast<double>(timer.nsecsElapsed()) / 1e6;
    timer.restart();
    QDropEvent drop(QPoint(10, 20), actions, &data, Qt::LeftButton, {});
    QApplication::sendEvent(list, &drop);
    platform::ProcessMessages();
    return {moves, static_cast<double>(timer.nsecsElapsed()) / 1e6};
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    for (int lines : {1000, 10000, 100000}) {
        std::string text;
        for (int i = 0; i < lines; ++i) {
            text += "http://www.youtube.com/watch?v=id" + std::to_string(i) + "&feature=x\r\n";
        }
        TfrmMain form("/proc/");
        form.show();
        const double first = PasteMs(form, text);
        const double again = PasteMs(form, text);
        std::printf(
            "%7d lines (%5.1f MB): first paste %8.1f ms, repeated paste %8.1f ms, jobs %d\n", lines,
            static_cast<double>(text.size()) / 1e6, first, again, form.JobCount());
        TfrmMain target("/proc/");
        target.show();
        const DragMs drag = Drag(target, text);
        std::printf("%7d lines dragged: enter and 10 moves %8.1f ms, drop %8.1f ms, jobs %d\n",
                    lines, drag.enterAndMoves, drag.drop, target.JobCount());
    }
    const std::string address = "http://www.youtube.com/watch?v=Qz3kT0pLmW8";
    const std::pair<const char*, std::string> mistakes[] = {
        {"one line", address + std::string(20u << 20, 'z')},
        {"words",
         [&] {
             std::string words = address + "\n";
             while (words.size() < (20u << 20)) {
                 words += "lorem ipsum dolor sit amet\t";
             }
             return words;
         }()},
    };
    for (const auto& [what, text] : mistakes) {
        TfrmMain form("/proc/");
        form.show();
        const double first = PasteMs(form, text);
        const double again = PasteMs(form, text);
        std::printf("20 MB of %-8s: first paste %8.1f ms, repeated paste %8.1f ms, jobs %d\n", what,
                    first, again, form.JobCount());
    }
    return 0;
}
