#pragma once

// Hears of every clipboard change on a Wayland session, whichever program made it and whether
// or not one of our windows has the focus. A native Wayland client learns of the clipboard only
// while focused, and XWayland passes it on only to a focused X window on some compositors; the
// compositor's clipboard data-control protocol has no such limit. It is spoken by a helper
// program (wl-paste of wl-clipboard) that runs a command of ours for each change with the new
// text on its input; the command writes the text as one base64 line, so that any bytes the text
// holds, line breaks included, reach us whole and in order.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/UniqueFd.h"

class QSocketNotifier;

namespace platform {

class ChildProcess;

// Cuts the helper's output into the texts it carries: one base64 line per change.
class ClipboardFrames {
public:
    // A text larger than this (decoded about three quarters of it) is skipped whole, so that a
    // huge copy cannot take the memory.
    static constexpr std::size_t kMaxLine = std::size_t{16} << 20;

    // The texts completed by these bytes, in order.
    std::vector<std::string> Feed(std::string_view bytes);

private:
    std::string line_;
    bool skipping_ = false;  // the current line grew past kMaxLine
};

// The helper's arguments: text only, its command told to frame each change.
std::vector<std::string> ClipboardHelperArguments(const std::string& helperPath);

class ClipboardWatcher {
public:
    // onText gets each text copied, on the thread that runs the event loop.
    explicit ClipboardWatcher(std::function<void(const std::string&)> onText);
    ~ClipboardWatcher();
    ClipboardWatcher(const ClipboardWatcher&) = delete;
    ClipboardWatcher& operator=(const ClipboardWatcher&) = delete;

    // Starts helperPath (a bare name is looked for on PATH). False when it cannot be started.
    // The helper first reports the clipboard as it is when it starts, if it holds anything.
    // That is no change: text on the clipboard before the program started is taken by Paste
    // only, so a first report that equals what the clipboard held at the start is skipped.
    bool Start(const std::string& helperPath);
    // True from a successful start until the helper ends, as it does at once where the
    // compositor lacks the protocol.
    bool Active() const { return child_ != nullptr; }

private:
    void OnReadable();
    void Stop();

    std::function<void(const std::string&)> onText_;
    ClipboardFrames frames_;
    std::optional<std::string> atStart_;  // what the clipboard held as the helper started
    bool firstReport_ = true;
    std::shared_ptr<ChildProcess> child_;  // the keeper of the helper
    UniqueFd input_;                       // the keeper's input; closing it ends the helper
    UniqueFd output_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

// On a Wayland session with the helper installed: a started watcher. Null otherwise, and then
// the clipboard's own change notices are all there is.
std::unique_ptr<ClipboardWatcher> WatchWaylandClipboard(
    std::function<void(const std::string&)> onText);

}  // namespace platform
