// Conversion overhead: the same clip converted with three profiles through TConvertProcess and by
// running the converter directly with the same arguments. Prints the wall-time ratio and the CPU
// time our own process spends while the converter works.
//
// Usage: bench_convert CLIP.flv [ROUNDS]   (scripts/bench-convert.sh makes a 60-second clip)

#include <fcntl.h>
#include <sys/resource.h>

#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "convert/ConvertThread.h"
#include "convert/Profiles.h"
#include "platform/Files.h"
#include "platform/Messages.h"
#include "platform/Process.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double OwnCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto tv = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return tv(usage.ru_utime) + tv(usage.ru_stime);
}

class EndSink : public QObject {
public:
    int progress = 0;
    bool ended = false;
    bool event(QEvent* e) override {
        if (e->type() != static_cast<QEvent::Type>(platform::WM_CONVERT_STATUS)) {
            return QObject::event(e);
        }
        auto info = static_cast<ConvertStatusEvent*>(e)->TakeInfo();
        if (info->Percent == kPercentFinished) {
            ended = true;
        } else {
            ++progress;
        }
        return true;
    }
};

struct RunnerResult {
    double wall = 0;
    double cpu = 0;
    int progress = 0;
    std::vector<std::string> arguments;
};

RunnerResult ThroughRunner(const std::string& clip, const std::string& output, int profile) {
    std::remove(output.c_str());
    EndSink sink;
    TConvertProcess runner;
    runner.NotifyWindow = &sink;
    runner.Running = true;
    runner.InputFile = clip;
    runner.OutputFile = output;
    runner.Params = convert::ConvertParamsForIndex(profile);
    double cpu0 = OwnCpuSeconds();
    auto t0 = Clock::now();
    runner.Start();
    while (!sink.ended) {
        platform::WaitForMessages(1000);
    }
    RunnerResult r;
    r.wall = Seconds(Clock::now() - t0);
    r.cpu = OwnCpuSeconds() - cpu0;
    r.progress = sink.progress;
    r.arguments = runner.Arguments();
    return r;
}

double Direct(const std::string& program, std::vector<std::string> arguments,
              const std::string& output) {
    std::remove(output.c_str());
    platform::UniqueFd null(open("/dev/null", O_RDWR | O_CLOEXEC));
    auto t0 = Clock::now();
    auto child =
        platform::ChildProcess::Spawn(program, arguments, null.get(), null.get(), null.get());
    if (!child) {
        std::perror("spawn");
        std::exit(1);
    }
    child->WaitForExit(-1);
    return Seconds(Clock::now() - t0);
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CLIP.flv [ROUNDS]\n", argv[0]);
        return 2;
    }
    if (!std::getenv("QT_QPA_PLATFORM")) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    QApplication app(argc, argv);
    const std::string clip = argv[1];
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const std::string program = platform::FindProgram("ffmpeg", platform::ExecutableFolder());
    const std::string folder = clip.substr(0, clip.rfind('/') + 1);

    std::printf("%-34s %9s %9s %7s %10s %9s %6s\n", "profile", "runner s", "direct s", "ratio",
                "our cpu ms", "cpu/core", "recs");
    double runnerTotal = 0;
    double directTotal = 0;
    for (int profile : {1, 4, 7}) {
        std::string ext = convert::OutputExtForText(convert::ProfileText(profile));
        std::string output = folder + "bench-out" + ext;
        std::vector<double> runnerWall, directWall, cpu;
        int records = 0;
        // A first run warms the caches and gives the arguments the runner hands over.
        const std::vector<std::string> arguments = ThroughRunner(clip, output, profile).arguments;
        for (int round = 0; round < rounds; ++round) {
            // Alternate the order so that neither side is always second.
            RunnerResult r;
            double d;
            if (round % 2 == 0) {
                r = ThroughRunner(clip, output, profile);
                d = Direct(program, arguments, output);
            } else {
                d = Direct(program, arguments, output);
                r = ThroughRunner(clip, output, profile);
            }
            runnerWall.push_back(r.wall);
            directWall.push_back(d);
            cpu.push_back(r.cpu);
            records = r.progress;
        }
        double rw = Median(runnerWall);
        double dw = Median(directWall);
        double c = Median(cpu);
        runnerTotal += rw;
        directTotal += dw;
        std::printf("%-34s %9.3f %9.3f %7.4f %10.1f %8.3f%% %6d\n",
                    convert::ProfileText(profile).c_str(), rw, dw, rw / dw, c * 1000,
                    100.0 * c / rw, records);
    }
    std::printf("overall wall-time ratio runner/direct: %.4f (%+.2f%%)\n",
                runnerTotal / directTotal, 100.0 * (runnerTotal / directTotal - 1));
    return 0;
}
