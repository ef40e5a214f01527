#include "platform/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <cerrno>
#include <climits>
#include <filesystem>
#include <random>

#include "platform/Dialogs.h"
#include "platform/UniqueFd.h"

namespace platform {

bool IsFileLocked(const std::string& path) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return false;
    }
    UniqueFd fd(open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW));
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
    return !path.empty() && lstat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

bool ForceDirectories(const std::string& path) {
    if (path.empty()) {
        return false;
    }
    std::error_code error;
    std::filesystem::create_directories(path, error);
    return DirectoryExists(path);
}

namespace {

// The first bytes of text, at most max, not ending inside a character.
std::string CutAtCharacter(const std::string& text, std::size_t max) {
    if (text.size() <= max) {
        return text;
    }
    std::size_t end = max;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    return text.substr(0, end);
}

// name as stem + extension; a leading dot alone is no extension.
std::pair<std::string, std::string> SplitExtension(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) {
        return {name, {}};
    }
    return {name.substr(0, dot), name.substr(dot)};
}

// stem cut so that before + stem + after fits the name limit.
std::string FitName(const std::string& before, const std::string& stem, const std::string& after,
                    std::size_t reserve = 0) {
    const std::size_t fixed = before.size() + after.size() + reserve;
    const std::size_t room = fixed < kMaxNameBytes ? kMaxNameBytes - fixed : 0;
    return before + CutAtCharacter(stem, room) + after;
}

bool SameNode(const struct stat& info, dev_t dev, ino_t ino) {
    return info.st_dev == dev && info.st_ino == ino;
}

}  // namespace

std::string PartFileName(const std::string& name) {
    const auto [stem, ext] = SplitExtension(name);
    return FitName({}, stem, ext + ".part", 5);
}

bool NewFile::OpenFolder(const std::string& folder) {
    folder_ = folder.empty() ? "." : folder;
    while (folder_.size() > 1 && folder_.back() == '/') {
        folder_.pop_back();
    }
    folderFd_.reset(open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat info {};
    if (!folderFd_.valid() || fstat(folderFd_.get(), &info) != 0) {
        return false;
    }
    folderDev_ = info.st_dev;
    folderIno_ = info.st_ino;
    return true;
}

std::unique_ptr<NewFile> NewFile::Create(const std::string& folder, const std::string& name,
                                         bool replace) {
    std::unique_ptr<NewFile> file(new NewFile);
    if (!file->OpenFolder(folder)) {
        return nullptr;
    }
    const int at = file->folderFd_.get();
    if (replace && unlinkat(at, name.c_str(), 0) != 0 && errno != ENOENT) {
        return nullptr;  // a folder in the way, or no right to remove
    }
    file->fd_.reset(
        openat(at, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    struct stat info {};
    if (!file->fd_.valid() || fstat(file->fd_.get(), &info) != 0) {
        file->committed_ = true;  // nothing of ours to remove
        return nullptr;
    }
    file->dev_ = info.st_dev;
    file->ino_ = info.st_ino;
    file->name_ = name;
    file->path_ = file->folder_ + "/" + name;
    return file;
}

std::unique_ptr<NewFile> NewFile::CreateHidden(const std::string& folder, const std::string& name) {
    const auto [stem, ext] = SplitExtension(name);
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device random;
    std::uniform_int_distribution<std::size_t> pick(0, sizeof kLetters - 2);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string tag = ".";
        for (int i = 0; i < 6; ++i) {
            tag += kLetters[pick(random)];
        }
        auto file = Create(folder, FitName(".", stem, tag + ext), false);
        if (file || errno != EEXIST) {
            return file;
        }
    }
    return nullptr;
}

NewFile::~NewFile() {
    if (committed_ || kept_ || !folderFd_.valid()) {
        return;
    }
    // Only the file made here: a name taken over by something else meanwhile is not ours.
    struct stat info {};
    if (fstatat(folderFd_.get(), name_.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        SameNode(info, dev_, ino_)) {
        unlinkat(folderFd_.get(), name_.c_str(), 0);
    }
}

NewFile::Place NewFile::CheckPlace() const {
    struct stat info {};
    if (stat(folder_.c_str(), &info) != 0 || !SameNode(info, folderDev_, folderIno_)) {
        return Place::FolderGone;
    }
    if (fstatat(folderFd_.get(), name_.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        !SameNode(info, dev_, ino_)) {
        return Place::FileGone;
    }
    return Place::Kept;
}

std::int64_t NewFile::Size() const {
    struct stat info {};
    if (fstatat(folderFd_.get(), name_.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        !SameNode(info, dev_, ino_)) {
        return -1;
    }
    return info.st_size;
}

bool NewFile::CommitAs(const std::string& finalName) {
    if (CheckPlace() != Place::Kept) {
        errno = ENOENT;
        return false;
    }
    if (renameat(folderFd_.get(), name_.c_str(), folderFd_.get(), finalName.c_str()) != 0) {
        return false;
    }
    committed_ = true;
    return true;
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
