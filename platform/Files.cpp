#include "platform/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <cerrno>
#include <climits>
#include <filesystem>

#include "platform/Dialogs.h"
#include "platform/UniqueFd.h"

namespace platform {

bool IsFileLocked(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return false;
    }
    UniqueFd fd(open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY));
    if (!fd.valid()) {
        return true;
    }
    // Linux grants a write lease only while no other descriptor has the file open.
    if (fcntl(fd.get(), F_SETLEASE, F_WRLCK) != 0) {
        return errno == EAGAIN || errno == EBUSY;
    }
    fcntl(fd.get(), F_SETLEASE, F_UNLCK);
    return false;
}

bool DirectoryExists(const std::string& path) {
    struct stat info {};
    return !path.empty() && stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool FileExists(const std::string& path) {
    struct stat info {};
    return !path.empty() && stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat first {};
    struct stat second {};
    return !a.empty() && !b.empty() && stat(a.c_str(), &first) == 0 &&
           stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

bool ForceDirectories(const std::string& path) {
    if (path.empty()) {
        return false;
    }
    std::error_code error;
    std::filesystem::create_directories(path, error);
    return DirectoryExists(path);
}

std::string ExecutableFolder() {
    char buffer[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) {
        return "./";
    }
    std::string exe(buffer, static_cast<std::size_t>(n));
    return exe.substr(0, exe.rfind('/') + 1);
}

bool SelectFolder(const std::string& caption, const std::string& root, std::string& folder) {
    if (!DirectoryExists(folder)) {
        folder.clear();
    }
    auto chosen = Dialogs::Current().SelectFolder(QApplication::activeWindow(), {caption, root});
    if (!chosen) {
        return false;
    }
    folder = *chosen;
    return true;
}

}  // namespace platform
