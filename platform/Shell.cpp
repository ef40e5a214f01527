#include "platform/Shell.h"

#include <QDesktopServices>
#include <QUrl>

namespace platform {

void ShellOpen(const std::string& target) {
    const QString text =
        QString::fromLocal8Bit(target.data(), static_cast<qsizetype>(target.size()));
    const bool isAddress = text.contains(QStringLiteral("://"));
    QDesktopServices::openUrl(isAddress ? QUrl(text) : QUrl::fromLocalFile(text));
}

}  // namespace platform
