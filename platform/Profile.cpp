#include "platform/Profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <optional>

#include "common/IniFile.h"
#include "common/Text.h"
#include "platform/UniqueFd.h"

namespace platform {

namespace {

// The whole file, or nullopt when it exists but cannot be read or is no regular file. A
// missing file reads as empty.
std::optional<std::string> ReadWholeFile(const std::string& path, bool* exists) {
    // Without blocking: opening a FIFO for reading would wait for a writer for ever.
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    *exists = fd.valid() || errno != ENOENT;
    if (!fd.valid()) {
        return errno == ENOENT ? std::optional<std::string>(std::string()) : std::nullopt;
    }
    struct stat info {};
    if (fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return std::nullopt;
    }
    std::string bytes;
    char buffer[65536];
    while (true) {
        ssize_t n = read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::nullopt;
        }
        if (n == 0) {
            return bytes;
        }
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
}

bool WriteAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool ReplaceFile(const std::string& path, const std::string& bytes, bool existed) {
    std::string temp = path + ".XXXXXX";
    UniqueFd fd(mkostemp(temp.data(), O_CLOEXEC));
    if (!fd.valid()) {
        return false;
    }
    mode_t mode = 0644;
    struct stat info {};
    if (existed && stat(path.c_str(), &info) == 0) {
        mode = info.st_mode & 07777;
    }
    const bool written =
        fchmod(fd.get(), mode) == 0 && WriteAll(fd.get(), bytes) && fsync(fd.get()) == 0;
    fd.reset();
    if (!written || rename(temp.c_str(), path.c_str()) != 0) {
        unlink(temp.c_str());
        return false;
    }
    return true;
}

std::optional<std::string> ReadValue(const std::string& section, const std::string& key,
                                     const std::string& path) {
    bool exists = false;
    auto bytes = ReadWholeFile(path, &exists);
    if (!bytes) {
        return std::nullopt;
    }
    return IniDocument::Parse(*bytes).Get(section, key);
}

}  // namespace

std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& fallback, const std::string& path) {
    std::string value = ReadValue(section, key, path).value_or(fallback);
    if (value.size() > kProfileStringMax) {
        value.resize(kProfileStringMax);
    }
    return value;
}

std::int32_t ProfileIntFromText(const std::string& value, std::int32_t fallback) {
    if (value.size() > 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X')) {
        std::uint32_t hex = 0;
        const char* begin = value.data() + 2;
        const char* end = value.data() + value.size();
        auto [ptr, ec] = std::from_chars(begin, end, hex, 16);
        if (ec != std::errc() || ptr != end) {
            return fallback;
        }
        return static_cast<std::int32_t>(hex);
    }
    return text::StrToIntDef(value, fallback);
}

std::int32_t GetPrivateProfileInt(const std::string& section, const std::string& key,
                                  std::int32_t fallback, const std::string& path) {
    auto value = ReadValue(section, key, path);
    return value ? ProfileIntFromText(*value, fallback) : fallback;
}

ProfileAccess CheckProfileAccess(const std::string& path) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) {
        return ProfileAccess::Writable;  // made anew; a folder without write access fails then
    }
    if (S_ISLNK(info.st_mode)) {
        return ProfileAccess::Link;
    }
    if (!S_ISREG(info.st_mode)) {
        return ProfileAccess::NotAFile;
    }
    // Marked read-only by its mode: even an owner who may change it anyway (root) is asked not to.
    if ((info.st_mode & 0222) == 0 || access(path.c_str(), W_OK) != 0) {
        return ProfileAccess::ReadOnly;
    }
    return ProfileAccess::Writable;
}

bool WritePrivateProfileString(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& path) {
    if (CheckProfileAccess(path) != ProfileAccess::Writable || value.size() > kProfileStringMax) {
        return false;
    }
    bool exists = false;
    auto bytes = ReadWholeFile(path, &exists);
    if (!bytes) {
        return false;  // an unreadable file must not be replaced by one that lost its content
    }
    IniDocument doc = IniDocument::Parse(*bytes);
    if (!doc.Set(section, key, value)) {
        return false;  // stored as it is, a line break would let the value add other keys
    }
    return ReplaceFile(path, doc.Serialize(), exists);
}

}  // namespace platform
