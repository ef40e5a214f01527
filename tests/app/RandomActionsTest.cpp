// Random hands on the whole program: seeded sequences of what users do to it, between runs and
// inside them, against the offline site's misbehaving addresses and the real converter. After
// every run nothing may be left behind: no window, no child, no descriptor, no error page kept
// as a video, no job without an outcome.
//
// CI runs a short sequence. By hand, for a long one or to replay a failure:
//   QT_QPA_PLATFORM=offscreen TAMBERLO_RANDOM_SEED=1234 TAMBERLO_RANDOM_ACTIONS=10000
//   build/tests/test_app --gtest_filter='Run.RandomActions*'

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QDir>
#include <map>
#include <optional>
#include <random>

#include "app/MainWindow.h"
#include "platform/SingleInstance.h"
#include "tests/app/RunFixture.h"

using namespace runtest;

namespace {

unsigned EnvNumber(const char* name, unsigned fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? static_cast<unsigned>(std::stoul(value)) : fallback;
}

int Children() {
    int count = 0;
    const std::string self = " " + std::to_string(getpid()) + " ";
    for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool number = false;
        pid.toInt(&number);
        if (!number) {
            continue;
        }
        const std::string stat = ReadFile("/proc/" + pid.toStdString() + "/stat");
        const std::size_t paren = stat.rfind(')');
        // After the name: the state, then the parent's pid.
        count += paren != std::string::npos && stat.compare(paren + 3, self.size(), self) == 0;
    }
    return count;
}

// Sets a variable for one test and puts back what it was.
class EnvironmentGuard {
public:
    EnvironmentGuard(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        setenv(name, value.c_str(), 1);
    }
    ~EnvironmentGuard() {
        if (old_) {
            setenv(name_, old_->c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }
    EnvironmentGuard(const EnvironmentGuard&) = delete;
    EnvironmentGuard& operator=(const EnvironmentGuard&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

class Hands {
public:
    Hands(unsigned seed) : rng_(seed) {}
    int Pick(int count) { return std::uniform_int_distribution<int>(0, count - 1)(rng_); }
    bool Chance(int percent) { return Pick(100) < percent; }

private:
    std::mt19937 rng_;
};

TEST_F(Run, RandomActionsLeaveNothingBehind) {
    const unsigned seed = EnvNumber("TAMBERLO_RANDOM_SEED", std::random_device{}());
    const unsigned budget = EnvNumber("TAMBERLO_RANDOM_ACTIONS", 400);
    const int seconds =
        static_cast<int>(EnvNumber("TAMBERLO_RANDOM_SECONDS", budget > 400 ? 0 : 45));
    std::printf("random actions: TAMBERLO_RANDOM_SEED=%u TAMBERLO_RANDOM_ACTIONS=%u\n", seed,
                budget);
    SCOPED_TRACE("replay with TAMBERLO_RANDOM_SEED=" + std::to_string(seed));
    Hands hands(seed);

    // Pages whose files misbehave each in their own way; one page never answers at all.
    std::vector<OwnPage> pages;
    auto page = [&](const char* id, const char* title, std::optional<Reply> file) {
        pages.push_back(AddYouTubePage(site_, id, title));
        if (file) {
            site_.Route(pages.back().file, *file);
        }
    };
    page("rndfine0001", "Fine", std::nullopt);
    page("rndslow0001", "Slow", Reply::Body(content_.flv, "video/x-flv").Trickle(8192, 15));
    page("rndmiss0001", "Missing", Reply::Status(404));
    page("rndbusy0001", "Busy", Reply::Status(503));
    page("rndcut00001", "Cut", Reply::Body(content_.flv, "video/x-flv").ShortAfter(3000));
    page("rndreset001", "Reset", Reply::Body(content_.flv, "video/x-flv").ResetAfter(5000));
    page("rndstall001", "Stalled", Reply::Body(content_.flv, "video/x-flv").StallAfter(4000));
    page("rndhung0001", "Hung", std::nullopt);
    site_.Route(pages.back().job, Reply::Body("<html>").StallBeforeResponse());
    for (const OwnPage& p : pages) {
        site_.Route(p.file + "&fmt=18", Reply::Status(404));
    }
    TempDir local;
    std::vector<std::string> localFiles = {local.File("one.flv"), local.File("two.flv"),
                                           local.File("broken.flv")};
    WriteFile(localFiles[0], *content_.flv);
    WriteFile(localFiles[1], *content_.flv);
    WriteFile(localFiles[2], "no video");
    form_->cbFormat->setCurrentIndex(kAviProfile);

    // A second start hands over to this window.
    TempDir runtime;
    chmod(runtime.Path().c_str(), 0700);
    const EnvironmentGuard runtimeFolder("XDG_RUNTIME_DIR", runtime.Path());
    platform::InstanceListener listener(kMainWindowClassName, form_.get());
    ASSERT_TRUE(listener.Listen());
    auto secondStart = [] {
        std::string out;
        int code = -1;
        ASSERT_TRUE(
            platform::RunAndCapture(TAMBERLO_APP_BINARY, {TAMBERLO_APP_BINARY}, 10000, out, &code));
        EXPECT_EQ(code, 0) << "a second start did not hand over and end by itself: " << out;
    };
    auto press = [](QWidget* control) {
        if (QAccessibleInterface* a = QAccessible::queryAccessibleInterface(control);
            a != nullptr && a->actionInterface() != nullptr) {
            a->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        }
    };

    const int fdsAtStart = testsupport::OpenFdCount();
    QElapsedTimer clock;
    clock.start();
    unsigned actions = 0;
    int runs = 0;
    while (actions < budget && (seconds == 0 || clock.elapsed() < seconds * 1000)) {
        // Between runs: the job list, the mode, the quality, files in the way.
        ++actions;
        switch (hands.Pick(6)) {
            case 0:
                form_->miRemoveAllClick();
                break;
            case 1: {
                std::string text;
                for (int i = 0, n = 1 + hands.Pick(3); i < n; ++i) {
                    text +=
                        pages[static_cast<std::size_t>(hands.Pick(static_cast<int>(pages.size())))]
                            .job +
                        "\n";
                }
                QGuiApplication::clipboard()->setText(QString::fromStdString(text));
                form_->bPasteClick();
                break;
            }
            case 2: {
                const int mode = hands.Pick(3);
                SetMode(mode);
                if (mode == 2) {
                    form_->miRemoveAllClick();
                    dialogs_.fileChoices = {localFiles};
                    form_->bSelectFileClick();
                }
                break;
            }
            case 3:
                form_->Quality = hands.Pick(4);
                break;
            case 4:
                WriteFile(
                    Out(pages[static_cast<std::size_t>(hands.Pick(static_cast<int>(pages.size())))]
                            .name),
                    "the user's own");
                break;
            default:
                break;
        }
        if (!hands.Chance(40) || form_->JobCount() == 0) {
            continue;
        }

        // A run, with hands on it.
        ++runs;
        dialogs_.messages.clear();
        dialogs_.answers.clear();
        for (int i = 0; i < 6; ++i) {
            dialogs_.answers.push_back(hands.Chance(50) ? platform::MsgAnswer::Yes
                                                        : platform::MsgAnswer::No);
        }
        const std::vector<std::string> jobs = form_->Jobs();
        const bool converting = form_->rbConvert->isChecked();
        // The folder as the run finds it: a file counts as a job's outcome only when the run
        // wrote it, not when the test placed it or an earlier run left it.
        std::map<std::string, std::string> before;
        for (const QString& name : QDir(QString::fromStdString(out_)).entryList(QDir::Files)) {
            before[name.toStdString()] = ReadFile(Out(name.toStdString()));
        }
        bool interrupted = false;
        QElapsedTimer runClock;
        QTimer handsOnRun;
        handsOnRun.setSingleShot(true);
        QObject::connect(&handsOnRun, &QTimer::timeout, [&] {
            TfrmDownload* w = Window();
            if (w == nullptr) {
                return;
            }
            handsOnRun.start(5 + hands.Pick(150));
            // A run that lasts is stopped: a stalled file or a page that never answers would
            // otherwise keep it for ever. So is the last one.
            const int what = runClock.elapsed() > 4000 || actions >= budget ? 0 : hands.Pick(10);
            ++actions;
            switch (what) {
                case 0: {
                    interrupted = true;
                    QPushButton* stops[] = {w->bStop, w->suiButton1, w->suiButton2};
                    for (QPushButton* stop : stops) {
                        if (stop->isVisible()) {
                            QTest::mouseClick(stop, Qt::LeftButton);
                            break;
                        }
                    }
                    break;
                }
                case 1:
                    interrupted = true;
                    for (int i = 0, n = 1 + hands.Pick(3); i < n; ++i) {
                        w->close();
                    }
                    break;
                case 2: {
                    QWidget* controls[] = {form_->bExit,   form_->bStart,      form_->bBrowser,
                                           form_->bRemove, form_->bSelectFile, form_->rbConvert,
                                           form_->bPaste};
                    press(controls[hands.Pick(7)]);
                    break;
                }
                case 3:
                    form_->close();
                    break;
                case 4:
                    QGuiApplication::clipboard()->setText(
                        hands.Chance(50) ? QString::fromStdString(pages[0].job)
                                         : QStringLiteral("no address at all"));
                    break;
                case 5:
                    secondStart();
                    break;
                default:
                    break;  // the run goes on by itself
            }
        });
        QTimer::singleShot(0, [&] {
            runClock.start();
            handsOnRun.start(0);
        });
        Start();
        handsOnRun.stop();
        testsupport::PumpFor(150);  // presses made during the run show themselves, then do nothing

        // What every run must leave behind.
        ASSERT_EQ(Window(), nullptr);
        ASSERT_EQ(QApplication::activeModalWidget(), nullptr);
        ASSERT_TRUE(form_->isVisible()) << "the main window closed under a run";
        ASSERT_TRUE(form_->bStart->isEnabled());
        ASSERT_NE(form_->ConvertProcess, nullptr);
        ASSERT_TRUE(testsupport::PumpUntil([] { return Children() == 0; }, 5000))
            << "a child process outlived its run";
        for (const QString& name : QDir(QString::fromStdString(out_)).entryList(QDir::Files)) {
            const std::string bytes = ReadFile(Out(name.toStdString()));
            ASSERT_NE(bytes.rfind("<html>", 0), 0u) << name.toStdString() << " holds an error page";
            ASSERT_EQ(name.toStdString().find(".converting"), std::string::npos);
        }
        // A run that ended by itself gave every job an outcome: a file, a declined question or
        // its error line.
        if (!interrupted) {
            const std::vector<std::string> errors = ErrorLines();
            for (const std::string& job : jobs) {
                if (!converting && job.rfind("http", 0) != 0) {
                    continue;  // no page address: passed over in a download mode, as it should
                }
                // The page's title, or the local file's name, without extension.
                std::string name = job.substr(job.rfind('/') + 1);
                name = name.substr(0, name.rfind('.'));
                for (const OwnPage& p : pages) {
                    name = p.job == job && !converting ? p.name.substr(0, p.name.rfind('.')) : name;
                }
                bool outcome = false;
                for (const std::string& line : errors) {
                    outcome |= line.find(job) != std::string::npos ||
                               line.find(name + ".") != std::string::npos;
                }
                for (const auto& m : dialogs_.messages) {
                    outcome |= m.text.find("/" + name + ".") != std::string::npos;  // asked
                }
                for (const QString& file :
                     QDir(QString::fromStdString(out_)).entryList(QDir::Files)) {
                    const std::string fileName = file.toStdString();
                    const auto old = before.find(fileName);
                    const bool written =
                        old == before.end() || old->second != ReadFile(Out(fileName));
                    outcome |= written && fileName.rfind(name + ".", 0) == 0;
                }
                std::string seen;
                for (const auto& m : dialogs_.messages) {
                    seen += "\n  message: " + m.text;
                }
                for (const QString& file :
                     QDir(QString::fromStdString(out_)).entryList(QDir::Files)) {
                    seen += "\n  file: " + file.toStdString();
                }
                ASSERT_TRUE(outcome)
                    << job << " ended without a file, a question or a line" << seen;
            }
        }
        // Any file the user lets go of is fine to lose; start the next run from a clean folder
        // now and then so that downloads happen, not only questions.
        if (hands.Chance(30)) {
            for (const QString& name : QDir(QString::fromStdString(out_)).entryList(QDir::Files)) {
                std::remove(Out(name.toStdString()).c_str());
            }
        }
    }
    ASSERT_TRUE(testsupport::PumpUntil([&] { return site_.OpenConnections() == 0; }));
    testsupport::PumpFor(200);
    // The first runs open what the program keeps for its lifetime (the page loader's
    // connections, the converter's probe); allow for that, and for nothing that grows.
    EXPECT_LE(testsupport::OpenFdCount(), fdsAtStart + 8);
    std::printf("random actions: %u actions in %d runs, %lld ms\n", actions, runs,
                static_cast<long long>(clock.elapsed()));
}

}  // namespace
