// A whole run through the program's windows, as a user starts it: the main window, Start, the
// download window and its stages, downloading through the system proxy (http_proxy).
//
//   bench_run OUTPUT_FOLDER ADDRESS...
//
// Runs in mode 0 and prints, per file, "file=N seconds=.. max_gap_ms=.. rss_kib=..", then
// "total_seconds=.. max_gap_ms=.. peak_rss_kib=..". The gap is the longest pause between two
// ticks of a 10 ms timer of the window's thread, whose event loop runs inside every stage.
// scripts/bench-run.sh runs it against the offline site, beside the bare client and curl.

#include <sys/resource.h>

#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "app/MainWindow.h"
#include "retrieval/Download.h"

namespace {

using Clock = std::chrono::steady_clock;

long ResidentKib() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return 0;
}

TfrmDownload* Window() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* d = qobject_cast<TfrmDownload*>(w); d != nullptr && d->isVisible()) {
            return d;
        }
    }
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_run OUTPUT_FOLDER ADDRESS...\n");
        return 2;
    }
    QApplication app(argc, argv);
    const std::string folder = argv[1];
    // The program keeps its settings beside itself; the benchmark's go with its output.
    TfrmMain main(folder + "/");
    main.show();
    main.eOutputFolder->setText(QString::fromLocal8Bit(folder.c_str()));
    std::string jobs;
    for (int i = 2; i < argc; ++i) {
        jobs += std::string(argv[i]) + "\n";
    }
    QGuiApplication::clipboard()->setText(QString::fromLocal8Bit(jobs.c_str()));
    main.bPasteClick();

    double maxGap = 0, fileGap = 0;
    auto last = Clock::now();
    auto fileStart = last;
    int current = -1;
    QTimer ticker;
    auto endFile = [&](int index) {
        const double seconds = std::chrono::duration<double>(Clock::now() - fileStart).count();
        std::printf("file=%d seconds=%.3f max_gap_ms=%.1f rss_kib=%ld\n", index + 1, seconds,
                    fileGap, ResidentKib());
        std::fflush(stdout);
    };
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const auto now = Clock::now();
        const double gap = std::chrono::duration<double, std::milli>(now - last).count();
        last = now;
        maxGap = std::max(maxGap, gap);
        fileGap = std::max(fileGap, gap);
        TfrmDownload* w = Window();
        if (w != nullptr && w->JobIndex != current && w->JobIndex < argc - 2) {
            if (current >= 0) {
                endFile(current);
            }
            current = w->JobIndex;
            fileStart = now;
            fileGap = 0;
        }
    });
    ticker.start(10);
    const auto start = Clock::now();
    last = start;
    main.bStart->click();
    const double total = std::chrono::duration<double>(Clock::now() - start).count();
    if (current >= 0) {
        endFile(current);
    }
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    std::printf("total_seconds=%.3f max_gap_ms=%.1f peak_rss_kib=%ld\n", total, maxGap,
                ru.ru_maxrss);
    main.close();
    return 0;
}
