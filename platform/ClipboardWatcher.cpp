#include "platform/ClipboardWatcher.h"

#include <fcntl.h>
#include <unistd.h>

#include <QByteArray>
#include <QGuiApplication>
#include <QSocketNotifier>
#include <cerrno>

#include "platform/Display.h"
#include "platform/Process.h"

namespace platform {

namespace {

// What one read notice takes at most before it returns to the event loop.
constexpr std::size_t kReadPerNotice = std::size_t{1} << 20;
// How long a stop waits for the helper to be ended by its keeper.
constexpr int kStopWaitMs = 500;

// The helper is started by a keeper shell that ends it once its input reaches its end: when we
// stop, and also when this process dies without a word, so that no helper outlives us. The
// keeper lets go of our pipe, so that the helper ending by itself is seen at once.
// Before watching, the keeper writes what the clipboard holds as the first line (an empty one
// when it holds nothing): the watch reports that text at its start only when there is one, so
// the start report is told apart by its content, whenever it comes.
constexpr const char* kKeeper =
    "{ timeout 2 \"$0\" --type text --no-newline </dev/null 2>/dev/null | base64 -w 0; echo; }; "
    "\"$0\" \"$@\" </dev/null & exec >/dev/null; read line; kill $! 2>/dev/null";

}  // namespace

std::vector<std::string> ClipboardFrames::Feed(std::string_view bytes) {
    std::vector<std::string> texts;
    while (!bytes.empty()) {
        const std::size_t lf = bytes.find('\n');
        const std::string_view piece = bytes.substr(0, lf);
        if (!skipping_) {
            if (line_.size() + piece.size() > kMaxLine) {
                skipping_ = true;
                line_.clear();
            } else {
                line_.append(piece);
            }
        }
        if (lf == std::string_view::npos) {
            break;
        }
        bytes.remove_prefix(lf + 1);
        if (!skipping_) {
            const auto decoded = QByteArray::fromBase64Encoding(
                QByteArray::fromRawData(line_.data(), static_cast<qsizetype>(line_.size())),
                QByteArray::AbortOnBase64DecodingErrors);
            // A line that is not base64 did not come from our command: it is no text.
            if (decoded) {
                texts.emplace_back(decoded.decoded.constData(),
                                   static_cast<std::size_t>(decoded.decoded.size()));
            }
        }
        line_.clear();
        skipping_ = false;
    }
    return texts;
}

std::vector<std::string> ClipboardHelperArguments(const std::string& helperPath) {
    // The command sees the text on its input; "echo" ends the line once base64 has written it
    // all. The helper waits for each command before it runs the next, so lines never mix.
    return {helperPath, "--type", "text", "--watch", "/bin/sh", "-c", "base64 -w 0; echo"};
}

ClipboardWatcher::ClipboardWatcher(std::function<void(const std::string&)> onText)
    : onText_(std::move(onText)) {}

ClipboardWatcher::~ClipboardWatcher() {
    Stop();
    notifier_.reset();
}

bool ClipboardWatcher::Start(const std::string& helperPath) {
    Stop();
    notifier_.reset();
    const std::string path = FindProgram(helperPath, {});
    UniqueFd nothing(open("/dev/null", O_RDWR | O_CLOEXEC));
    UniqueFd inRead, inWrite, outRead, outWrite;
    if (path.empty() || access(path.c_str(), X_OK) != 0 || !nothing.valid() ||
        !CreatePipe(inRead, inWrite) || !CreatePipe(outRead, outWrite)) {
        return false;
    }
    std::vector<std::string> argv{"/bin/sh", "-c", kKeeper};
    for (std::string& argument : ClipboardHelperArguments(path)) {
        argv.push_back(std::move(argument));
    }
    auto child = ChildProcess::Spawn(argv[0], argv, inRead.get(), outWrite.get(), nothing.get());
    if (!child || fcntl(outRead.get(), F_SETFL, O_NONBLOCK) != 0) {
        return false;  // a child started here is killed and reaped as it is dropped
    }
    child_ = std::move(child);
    input_ = std::move(inWrite);
    output_ = std::move(outRead);
    frames_ = ClipboardFrames();
    atStart_.reset();
    firstReport_ = true;
    notifier_ = std::make_unique<QSocketNotifier>(output_.get(), QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(),
                     [this] { OnReadable(); });
    return true;
}

void ClipboardWatcher::OnReadable() {
    char buffer[65536];
    std::size_t taken = 0;
    while (taken < kReadPerNotice) {
        const std::ptrdiff_t got = ReadSome(output_.get(), buffer, sizeof buffer);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return;
        }
        if (got <= 0) {
            Stop();  // the helper has ended: a compositor without the protocol, or it died
            return;
        }
        taken += static_cast<std::size_t>(got);
        for (const std::string& text :
             frames_.Feed(std::string_view(buffer, static_cast<std::size_t>(got)))) {
            if (!atStart_) {
                atStart_ = text;
                continue;
            }
            const bool startReport = firstReport_ && text == *atStart_;
            firstReport_ = false;
            if (startReport) {
                continue;
            }
            onText_(text);
            if (!Active()) {
                return;
            }
        }
    }
}

void ClipboardWatcher::Stop() {
    if (notifier_) {
        // Kept until the next start or the end: Stop may run inside the notifier's own signal.
        notifier_->setEnabled(false);
    }
    output_.reset();
    input_.reset();  // tells the keeper to end the helper
    if (child_) {
        child_->WaitForExit(kStopWaitMs);
        child_.reset();  // reaps the keeper, or kills it if it has not ended
    }
}

std::unique_ptr<ClipboardWatcher> WatchWaylandClipboard(
    std::function<void(const std::string&)> onText) {
    // Only a program on the session's own display shares its clipboard (not offscreen, say).
    const QString platform = QGuiApplication::platformName();
    const bool onTheSession =
        platform == QLatin1String("xcb") || platform.startsWith(QLatin1String("wayland"));
    if (!onTheSession || !WaylandReachable(CurrentEnvironment())) {
        return nullptr;
    }
    auto watcher = std::make_unique<ClipboardWatcher>(std::move(onText));
    if (!watcher->Start("wl-paste")) {
        return nullptr;
    }
    return watcher;
}

}  // namespace platform
