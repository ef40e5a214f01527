#pragma once

// Questions put to the user: message boxes, the file chooser and the folder chooser. Windows ask
// through Dialogs::Current(); tests install a ScriptedDialogs that answers from a script.

#include <deque>
#include <optional>
#include <string>
#include <vector>

class QWidget;

namespace platform {

enum class MsgIcon { Information, Error };
enum class MsgButtons { Ok, YesNo };
enum class MsgAnswer { Ok, Yes, No };

struct MessageBoxRequest {
    std::string text;
    std::string caption;
    MsgIcon icon = MsgIcon::Information;
    MsgButtons buttons = MsgButtons::Ok;
    bool defaultNo = false;  // No is the default button of a Yes/No box
};

struct OpenFilesRequest {
    std::string filter;  // "Description(*.ext)|*.ext|..." pairs, the first preselected
    bool multiSelect = true;
    std::string caption;      // what the files are for
    std::string startFolder;  // empty: the user's home folder
};

// Neither chooser starts in the program's working folder, which for a desktop start is wherever
// the launcher happened to be.
struct SelectFolderRequest {
    std::string caption;
    std::string root;  // empty: the whole file system is offered, starting at the user's home
};

class Dialogs {
public:
    virtual ~Dialogs() = default;

    virtual MsgAnswer MessageBox(QWidget* owner, const MessageBoxRequest& request) = 0;
    // The chosen files in the order the chooser gives them; nullopt when cancelled.
    virtual std::optional<std::vector<std::string>> OpenFiles(QWidget* owner,
                                                              const OpenFilesRequest& request) = 0;
    // The chosen folder; nullopt when cancelled.
    virtual std::optional<std::string> SelectFolder(QWidget* owner,
                                                    const SelectFolderRequest& request) = 0;

    // The dialogs in use: the real ones unless a test has installed its own.
    static Dialogs& Current();
    static void Install(Dialogs* dialogs);  // nullptr restores the real dialogs
};

// The real dialogs, drawn with Qt.
class QtDialogs : public Dialogs {
public:
    MsgAnswer MessageBox(QWidget* owner, const MessageBoxRequest& request) override;
    std::optional<std::vector<std::string>> OpenFiles(QWidget* owner,
                                                      const OpenFilesRequest& request) override;
    std::optional<std::string> SelectFolder(QWidget* owner,
                                            const SelectFolderRequest& request) override;
};

// Answers questions from a script and records every question, so that no test ever blocks on a
// real dialog. Installs itself while it lives. A question without a scripted answer gets the
// safe answer (OK, No, cancel) and is still recorded.
class ScriptedDialogs : public Dialogs {
public:
    ScriptedDialogs();
    ~ScriptedDialogs() override;
    ScriptedDialogs(const ScriptedDialogs&) = delete;
    ScriptedDialogs& operator=(const ScriptedDialogs&) = delete;

    std::deque<MsgAnswer> answers;
    std::deque<std::optional<std::vector<std::string>>> fileChoices;
    std::deque<std::optional<std::string>> folderChoices;

    std::vector<MessageBoxRequest> messages;
    std::vector<OpenFilesRequest> fileRequests;
    std::vector<SelectFolderRequest> folderRequests;

    MsgAnswer MessageBox(QWidget* owner, const MessageBoxRequest& request) override;
    std::optional<std::vector<std::string>> OpenFiles(QWidget* owner,
                                                      const OpenFilesRequest& request) override;
    std::optional<std::string> SelectFolder(QWidget* owner,
                                            const SelectFolderRequest& request) override;

private:
    Dialogs* previous_;
};

// What a message box shows of text: lines past kShownLineMax characters shortened in the
// middle, and no more than kShownLinesMax lines, the rest counted. Laying out megabytes in a
// box would hold the window for minutes and run it off the screen; the box offers the whole
// text in its details whenever anything was left out.
inline constexpr int kShownLineMax = 200;
inline constexpr int kShownLinesMax = 25;
std::string ShownMessageText(const std::string& text);

// Converts "Desc(*.a)|*.a|Other|*.*" into Qt's "Desc(*.a) (*.a);;Other (*)" form: the pattern
// "*.*" stands for every file, as it does where it comes from.
std::string QtFilterFromPairs(const std::string& pairs);

}  // namespace platform
