#pragma once

// The fixture of whole runs through the real windows: the main window's Start, the download
// window and its stages, against the offline site reached as the system proxy, with the real
// converter. Dialogs are scripted; nothing else stands in for the program's own code.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/MainWindow.h"
#include "common/StringTable.h"
#include "convert/ConvertThread.h"
#include "http/HttpProt.h"
#include "platform/Dialogs.h"
#include "platform/Files.h"
#include "platform/Messages.h"
#include "platform/Process.h"
#include "platform/UniqueFd.h"
#include "platform/WebBrowser.h"
#include "retrieval/Download.h"
#include "tests/support/FixtureSite.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/TempDir.h"

namespace runtest {

using testsupport::FixtureSite;
using testsupport::ReadFile;
using testsupport::Reply;
using testsupport::TempDir;
using testsupport::WriteFile;

const std::string kYouTubeHd = "http://www.youtube.com/watch?v=Qz3kT0pLmW8";
const std::string kYouTubeHdFile =
    "http://www.youtube.com/get_video?video_id=Qz3kT0pLmW8&t=vjVQa1PpcFN2x_ab";
const std::string kYouTubeHdName = "Tom & Jerry The Chase";
const std::string kYouTubeSd = "http://www.youtube.com/watch?v=Pp4nR7sXc0A";
const std::string kYouTubeSdFile =
    "http://www.youtube.com/get_video?video_id=Pp4nR7sXc0A&t=QUOTEDFORMTOKEN";
const std::string kMetacafe = "http://www.metacafe.com/watch/1234567/funny_cats_compilation/";
const std::string kMetacafeFile =
    "http://video.metacafe.com/ItemFiles/"
    "%5BFrom%20www.metacafe.com%5D%20funny_cats_compilation.flv";
const std::string kGoogle = "http://video.google.com/videoplay?docid=-8120935472634791283";
const std::string kUnavailable = "http://www.youtube.com/watch?v=Un4vL7bN2cA";
const std::string kAgeGate = "http://www.youtube.com/watch?v=Ag1bD7eR3tH";
constexpr int kAviProfile = 6;

// A YouTube page of our own: title, high-definition marker and token, so that tests can give
// each job a file address that misbehaves in its own way.
struct OwnPage {
    std::string job;
    std::string file;
    std::string name;
};

inline OwnPage AddYouTubePage(FixtureSite& site, const std::string& id, const std::string& title) {
    const std::string html = "<html><head><title>YouTube - " + title +
                             "</title></head><body><script>var swfArgs = {\"IS_HD_AVAILABLE\": "
                             "false, \"t\": \"tok" +
                             id + "\"};</script></body></html>";
    OwnPage page{"http://www.youtube.com/watch?v=" + id,
                 "http://www.youtube.com/get_video?video_id=" + id + "&t=tok" + id, title + ".flv"};
    site.Route(page.job, Reply::Body(html));
    return page;
}

class Run : public ::testing::Test {
protected:
    void SetUp() override {
        content_ = testsupport::LoadDefaultSite(site_);
        setenv("http_proxy", site_.ProxyUrl().c_str(), 1);
        // A home of its own: the page loader reads the cookies of the browsers found there.
        const char* home = std::getenv("HOME");
        home_ = home != nullptr ? home : "";
        setenv("HOME", dir_.Path().c_str(), 1);
        out_ = dir_.File("out");
        std::filesystem::create_directory(out_);
        WriteFile(dir_.File("settings.ini"), "[Options]\nOutputDirectory=" + out_ + "\n");
        form_ = std::make_unique<TfrmMain>(dir_.Path() + "/");
        form_->show();
        watch_.setInterval(5);
        QObject::connect(&watch_, &QTimer::timeout, [this] { Watch(); });
    }
    void TearDown() override {
        watch_.stop();
        form_.reset();
        unsetenv("http_proxy");
        setenv("HOME", home_.c_str(), 1);
    }

    void AddJobs(const std::vector<std::string>& jobs) {
        std::string text;
        for (const auto& job : jobs) {
            text += job + "\n";
        }
        QGuiApplication::clipboard()->setText(QString::fromStdString(text));
        form_->bPasteClick();
    }
    // Makes the stand-in converter the program's and returns a local file that it "converts"
    // by starting a child of its own (its pid in child.pid in the output folder), reporting 10%
    // and then taking its time.
    std::string SlowConversion(const TempDir& local) {
        form_->ConvertProcess->Program =
            std::string(TAMBERLO_FIXTURES_DIR) + "/convert/stand-in-converter.sh";
        const std::string script = local.File("slow.flv");
        WriteFile(script,
                  "child\nerr Duration: 00:00:10.00, start\\n\nerr "
                  "time=00:00:01.00\\r\nsleep 30\n");
        return script;
    }
    // A new job list in the mode: page addresses pasted, or local files chosen in mode 2.
    void NewJobs(int mode, const std::vector<std::string>& jobs) {
        form_->miRemoveAllClick();
        SetMode(mode);
        if (mode == 2) {
            dialogs_.fileChoices = {jobs};
            form_->bSelectFileClick();
        } else {
            AddJobs(jobs);
        }
    }
    void SetMode(int mode) {
        QRadioButton* buttons[] = {form_->rbDownload, form_->rbDownloadConvert, form_->rbConvert};
        buttons[mode]->click();
    }
    // Runs the action once, inside the run, as soon as the download window meets the test.
    void When(std::function<bool(TfrmDownload&)> test, std::function<void(TfrmDownload&)> action) {
        steps_.push_back({std::move(test), std::move(action)});
    }
    // Runs on every look at the download window while the run goes on.
    void Observe(std::function<void(TfrmDownload&)> observe) { observe_ = std::move(observe); }
    // Presses Start (or does what starts the run); returns when the download window has closed.
    void Start(const std::function<void()>& press = {}) {
        watch_.start();
        if (press) {
            press();
        } else {
            form_->bStart->click();
        }
        watch_.stop();
        EXPECT_TRUE(steps_.empty()) << steps_.size() << " step(s) of the run never came to pass";
        steps_.clear();
    }
    std::string Out(const std::string& name) const { return out_ + "/" + name; }
    std::vector<std::string> ErrorLines() const {
        for (const auto& m : dialogs_.messages) {
            if (m.buttons == platform::MsgButtons::Ok && m.text.find("\r\n") != std::string::npos) {
                std::vector<std::string> lines;
                for (std::size_t at = 0, end; (end = m.text.find("\r\n", at)) != std::string::npos;
                     at = end + 2) {
                    lines.push_back(m.text.substr(at, end - at));
                }
                return lines;
            }
        }
        return {};
    }
    bool Requested(const std::string& address) const {
        for (const auto& r : site_.RecordedRequests()) {
            if (r.address == FixtureSite::NormaliseAddress(address)) {
                return true;
            }
        }
        return false;
    }

    static TfrmDownload* Window() {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (auto* d = qobject_cast<TfrmDownload*>(w); d != nullptr && d->isVisible()) {
                return d;
            }
        }
        return nullptr;
    }

    FixtureSite site_;
    testsupport::DefaultSite content_;
    TempDir dir_;
    std::string out_;
    platform::ScriptedDialogs dialogs_;
    std::unique_ptr<TfrmMain> form_;

private:
    std::string home_;
    struct Step {
        std::function<bool(TfrmDownload&)> test;
        std::function<void(TfrmDownload&)> action;
    };
    void Watch() {
        TfrmDownload* window = Window();
        if (window != nullptr && observe_) {
            observe_(*window);
        }
        if (window == nullptr || steps_.empty() || !steps_.front().test(*window)) {
            return;
        }
        Step step = std::move(steps_.front());
        steps_.erase(steps_.begin());
        step.action(*window);
    }
    QTimer watch_;
    std::vector<Step> steps_;
    std::function<void(TfrmDownload&)> observe_;
};

inline bool InTransfer(TfrmDownload& w) {
    return w.Panel2->isVisible() && w.HttpCli1->RcvdCount() > 0;
}

// Gone, or dead and left for a parent not ours to reap.
inline bool Ended(pid_t pid) {
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t paren = stat.rfind(')');
    return paren == std::string::npos || stat.compare(paren + 2, 1, "Z") == 0;
}

// What ffprobe says the container of a file is; empty when it is no media file.
inline std::string ContainerOf(const std::string& path) {
    std::string out;
    platform::RunAndCapture(platform::FindProgram("ffprobe", ""),
                            {"ffprobe", "-v", "error", "-show_entries", "format=format_name", "-of",
                             "default=noprint_wrappers=1:nokey=1", path},
                            20000, out);
    return out.substr(0, out.find('\n'));
}

}  // namespace runtest
