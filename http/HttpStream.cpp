#include "http/HttpStream.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

bool THttpMemoryStream::Write(const char* data, std::size_t len) {
    const auto pos = static_cast<std::size_t>(position_);
    if (pos + len > bytes_.size()) {
        bytes_.resize(pos + len);
    }
    std::memcpy(bytes_.data() + pos, data, len);
    position_ += static_cast<std::int64_t>(len);
    return true;
}

std::int64_t THttpMemoryStream::Read(char* data, std::size_t len) {
    const auto pos = static_cast<std::size_t>(position_);
    const std::size_t n = pos >= bytes_.size() ? 0 : std::min(len, bytes_.size() - pos);
    std::memcpy(data, bytes_.data() + pos, n);
    position_ += static_cast<std::int64_t>(n);
    return static_cast<std::int64_t>(n);
}

bool THttpMemoryStream::Seek(std::int64_t position) {
    if (position < 0) {
        error_ = "Invalid stream position";
        return false;
    }
    position_ = position;
    return true;
}

bool THttpMemoryStream::SetSize(std::int64_t size) {
    if (size < 0) {
        error_ = "Invalid stream size";
        return false;
    }
    bytes_.resize(static_cast<std::size_t>(size));
    position_ = std::min(position_, size);
    return true;
}

std::unique_ptr<THttpFileStream> THttpFileStream::Create(const std::string& path,
                                                         std::string* error) {
    auto fail = [&]() -> std::unique_ptr<THttpFileStream> {
        const int reason = errno;
        if (error != nullptr) {
            *error = "Cannot create file \"" + path + "\". " + std::strerror(reason);
        }
        errno = reason;
        return nullptr;
    };
    platform::UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!fd.valid()) {
        return fail();
    }
    // Lock before truncating, so that a file another writer holds is left as it is.
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0 || ::ftruncate(fd.get(), 0) != 0) {
        return fail();
    }
    return std::unique_ptr<THttpFileStream>(new THttpFileStream(std::move(fd)));
}

std::unique_ptr<THttpFileStream> THttpFileStream::OpenRead(const std::string& path,
                                                           std::string* error) {
    platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        if (error != nullptr) {
            *error = "Cannot open file \"" + path + "\". " + std::strerror(errno);
        }
        return nullptr;
    }
    return std::unique_ptr<THttpFileStream>(new THttpFileStream(std::move(fd)));
}

bool THttpFileStream::Fail(const char* what) {
    errorNumber_ = errno;
    error_ = std::string(what) + ": " + std::strerror(errno);
    return false;
}

bool THttpFileStream::Write(const char* data, std::size_t len) {
    while (len > 0) {
        const ssize_t n = ::pwrite(fd_.get(), data, len, position_);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Fail("Write error");
        }
        if (n == 0) {
            errno = ENOSPC;
            return Fail("Write error");
        }
        data += n;
        len -= static_cast<std::size_t>(n);
        position_ += n;
    }
    return true;
}

std::int64_t THttpFileStream::Read(char* data, std::size_t len) {
    while (true) {
        const ssize_t n = ::pread(fd_.get(), data, len, position_);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            Fail("Read error");
            return -1;
        }
        position_ += n;
        return n;
    }
}

std::int64_t THttpFileStream::Size() const {
    struct stat st {};
    if (::fstat(fd_.get(), &st) != 0) {
        return -1;
    }
    return st.st_size;
}

bool THttpFileStream::Seek(std::int64_t position) {
    if (position < 0) {
        errno = EINVAL;
        return Fail("Seek error");
    }
    position_ = position;
    return true;
}

bool THttpFileStream::SetSize(std::int64_t size) {
    if (size < 0 || ::ftruncate(fd_.get(), size) != 0) {
        if (size < 0) {
            errno = EINVAL;
        }
        return Fail("Cannot set the file size");
    }
    position_ = std::min(position_, size);
    return true;
}
