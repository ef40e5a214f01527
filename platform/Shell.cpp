#include "platform/Shell.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QUrl>

namespace platform {

void ShellOpen(const std::string& target) {
    const QString text =
        QString::fromLocal8Bit(target.data(), static_cast<qsizetype>(target.size()));
    const bool isAddress = text.contains(QStringLiteral("://"));
    QDesktopServices::openUrl(isAddress ? QUrl(text) : QUrl::fromLocalFile(text));
}

void ShellOpenFolder(const std::string& folder) {
    const QString path =
        QString::fromLocal8Bit(folder.data(), static_cast<qsizetype>(folder.size()));
    // The desktop cannot tell what a relative file address is relative to.
    QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()));
}

}  // namespace platform
