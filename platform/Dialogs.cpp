#include "platform/Dialogs.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>
#include <QTimer>

namespace platform {

namespace {

Dialogs*& Installed() {
    static Dialogs* installed = nullptr;
    return installed;
}

QString Q(const std::string& s) {
    return QString::fromLocal8Bit(s.data(), static_cast<qsizetype>(s.size()));
}

QString FolderOrHome(const std::string& folder) {
    return folder.empty() ? QDir::homePath() : Q(folder);
}

}  // namespace

Dialogs& Dialogs::Current() {
    static QtDialogs real;
    Dialogs* installed = Installed();
    return installed != nullptr ? *installed : real;
}

void Dialogs::Install(Dialogs* dialogs) {
    Installed() = dialogs;
}

MsgAnswer QtDialogs::MessageBox(QWidget* owner, const MessageBoxRequest& request) {
    QMessageBox box(
        request.icon == MsgIcon::Error ? QMessageBox::Critical : QMessageBox::Information,
        Q(request.caption), Q(request.text), QMessageBox::NoButton, owner);
    if (request.buttons == MsgButtons::YesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(request.defaultNo ? QMessageBox::No : QMessageBox::Yes);
    } else {
        box.setStandardButtons(QMessageBox::Ok);
    }
    const int answer = box.exec();
    if (request.buttons == MsgButtons::Ok) {
        return MsgAnswer::Ok;
    }
    return answer == QMessageBox::Yes ? MsgAnswer::Yes : MsgAnswer::No;
}

std::optional<std::vector<std::string>> QtDialogs::OpenFiles(QWidget* owner,
                                                             const OpenFilesRequest& request) {
    QFileDialog dialog(owner, Q(request.caption), FolderOrHome(request.startFolder));
    dialog.setFileMode(request.multiSelect ? QFileDialog::ExistingFiles
                                           : QFileDialog::ExistingFile);
    dialog.setNameFilter(Q(QtFilterFromPairs(request.filter)));
    // The entries read as their descriptions; the patterns Qt is given may differ from them.
    dialog.setOption(QFileDialog::HideNameFilterDetails);
    if (dialog.exec() != QDialog::Accepted) {
        return std::nullopt;
    }
    std::vector<std::string> files;
    for (const QString& file : dialog.selectedFiles()) {
        files.push_back(file.toLocal8Bit().toStdString());
    }
    return files;
}

std::optional<std::string> QtDialogs::SelectFolder(QWidget* owner,
                                                   const SelectFolderRequest& request) {
    QFileDialog dialog(owner, Q(request.caption), FolderOrHome(request.root));
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    dialog.setWindowModality(Qt::ApplicationModal);  // every other window is disabled meanwhile
    // Centred on the screen once it is laid out, whatever window owns it.
    QTimer::singleShot(0, &dialog, [&dialog] {
        if (QScreen* screen = QGuiApplication::primaryScreen()) {
            const QRect area = screen->geometry();
            dialog.move((area.width() - dialog.width()) / 2, (area.height() - dialog.height()) / 2);
        }
    });
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return dialog.selectedFiles().first().toLocal8Bit().toStdString();
}

ScriptedDialogs::ScriptedDialogs() : previous_(Installed()) {
    Dialogs::Install(this);
}

ScriptedDialogs::~ScriptedDialogs() {
    Dialogs::Install(previous_);
}

MsgAnswer ScriptedDialogs::MessageBox(QWidget*, const MessageBoxRequest& request) {
    messages.push_back(request);
    if (answers.empty()) {
        return request.buttons == MsgButtons::YesNo ? MsgAnswer::No : MsgAnswer::Ok;
    }
    MsgAnswer answer = answers.front();
    answers.pop_front();
    return answer;
}

std::optional<std::vector<std::string>> ScriptedDialogs::OpenFiles(
    QWidget*, const OpenFilesRequest& request) {
    fileRequests.push_back(request);
    if (fileChoices.empty()) {
        return std::nullopt;
    }
    auto choice = fileChoices.front();
    fileChoices.pop_front();
    return choice;
}

std::optional<std::string> ScriptedDialogs::SelectFolder(QWidget*,
                                                         const SelectFolderRequest& request) {
    folderRequests.push_back(request);
    if (folderChoices.empty()) {
        return std::nullopt;
    }
    auto choice = folderChoices.front();
    folderChoices.pop_front();
    return choice;
}

std::string QtFilterFromPairs(const std::string& pairs) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (true) {
        std::size_t bar = pairs.find('|', start);
        parts.push_back(
            pairs.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
        if (bar == std::string::npos) {
            break;
        }
        start = bar + 1;
    }
    std::string out;
    for (std::size_t i = 0; i + 1 < parts.size(); i += 2) {
        std::string description = parts[i];
        while (!description.empty() && description.front() == ' ') {
            description.erase(0, 1);
        }
        if (!out.empty()) {
            out += ";;";
        }
        // "*.*" means any file; taken literally it would hide every file without a dot.
        const std::string patterns = parts[i + 1] == "*.*" ? "*" : parts[i + 1];
        out += description + " (" + patterns + ")";
    }
    return out;
}

}  // namespace platform
