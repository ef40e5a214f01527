#include "platform/Dialogs.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QScreen>
#include <QTimer>

#include "common/StringTable.h"

namespace platform {

namespace {

Dialogs*& Installed() {
    static Dialogs* installed = nullptr;
    return installed;
}

QString Q(const std::string& s) {
    return QString::fromLocal8Bit(s.data(), static_cast<qsizetype>(s.size()));
}

// The line cut in the middle to at most max characters, a pair of surrogates kept whole.
QString Shortened(const QString& line, int max) {
    if (line.size() <= max) {
        return line;
    }
    qsizetype head = (max - 1) / 2;
    qsizetype tail = max - 1 - head;
    if (head > 0 && line.at(head - 1).isHighSurrogate()) {
        --head;
    }
    if (tail > 0 && line.at(line.size() - tail).isLowSurrogate()) {
        --tail;
    }
    return line.left(head) + QChar(0x2026) + line.right(tail);
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

std::string ShownMessageText(const std::string& text) {
    const QStringList lines = Q(text).split(QLatin1Char('\n'));
    QStringList shown;
    for (qsizetype i = 0; i < lines.size() && i < kShownLinesMax; ++i) {
        shown.push_back(Shortened(lines.at(i), kShownLineMax));
    }
    // A last line break ends the last line rather than starting one more.
    const qsizetype count = lines.size() - (lines.back().isEmpty() ? 1 : 0);
    if (count > kShownLinesMax) {
        shown.push_back(
            QString::fromLocal8Bit(LoadStr(StrId::MoreLinesInDetails)).arg(count - kShownLinesMax));
    }
    return shown.join(QLatin1Char('\n')).toLocal8Bit().toStdString();
}

MsgAnswer QtDialogs::MessageBox(QWidget* owner, const MessageBoxRequest& request) {
    const std::string shown = ShownMessageText(request.text);
    QMessageBox box(
        request.icon == MsgIcon::Error ? QMessageBox::Critical : QMessageBox::Information,
        Q(request.caption), Q(shown), QMessageBox::NoButton, owner);
    if (shown != request.text) {
        box.setDetailedText(Q(request.text));
    }
    // The picture says what kind of message this is; it says it to assistive technology too.
    if (auto* picture = box.findChild<QLabel*>(QStringLiteral("qt_msgboxex_icon_label"))) {
        picture->setAccessibleName(QString::fromLocal8Bit(LoadStr(
            request.icon == MsgIcon::Error ? StrId::MessageError : StrId::MessageInformation)));
    }
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
