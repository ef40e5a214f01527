#pragma once

// The streams the HTTP client reads a request body from and writes a response body to. They
// belong to the caller; the client never frees them. A failed operation returns false and
// leaves its reason in ErrorText().

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/UniqueFd.h"

class THttpStream {
public:
    virtual ~THttpStream() = default;
    // Writes all of data at the position, growing the stream as needed.
    virtual bool Write(const char* data, std::size_t len) = 0;
    // Reads up to len bytes from the position; -1 on failure.
    virtual std::int64_t Read(char* data, std::size_t len) = 0;
    virtual std::int64_t Size() const = 0;
    virtual std::int64_t Position() const = 0;
    virtual bool Seek(std::int64_t position) = 0;
    // Cuts or extends the stream; the position moves to the new end when it lay beyond it.
    virtual bool SetSize(std::int64_t size) = 0;
    virtual std::string ErrorText() const { return error_; }
    // The system's error number of the last failure, 0 when it had none.
    virtual int ErrorNumber() const { return errorNumber_; }

protected:
    std::string error_;
    int errorNumber_ = 0;
};

class THttpMemoryStream : public THttpStream {
public:
    THttpMemoryStream() = default;
    explicit THttpMemoryStream(std::string bytes) : bytes_(std::move(bytes)) {}
    bool Write(const char* data, std::size_t len) override;
    std::int64_t Read(char* data, std::size_t len) override;
    std::int64_t Size() const override { return static_cast<std::int64_t>(bytes_.size()); }
    std::int64_t Position() const override { return position_; }
    bool Seek(std::int64_t position) override;
    bool SetSize(std::int64_t size) override;
    const std::string& Bytes() const { return bytes_; }

private:
    std::string bytes_;
    std::int64_t position_ = 0;
};

class THttpFileStream : public THttpStream {
public:
    // Creates the file (or truncates it) for reading and writing, held with an exclusive lock
    // so that no second writer joins. Null with the reason in *error (and errno) on failure.
    static std::unique_ptr<THttpFileStream> Create(const std::string& path, std::string* error);
    // Opens an existing file for reading (a request body).
    static std::unique_ptr<THttpFileStream> OpenRead(const std::string& path, std::string* error);

    bool Write(const char* data, std::size_t len) override;
    std::int64_t Read(char* data, std::size_t len) override;
    std::int64_t Size() const override;
    std::int64_t Position() const override { return position_; }
    bool Seek(std::int64_t position) override;
    bool SetSize(std::int64_t size) override;
    int Fd() const { return fd_.get(); }

private:
    explicit THttpFileStream(platform::UniqueFd fd) : fd_(std::move(fd)) {}
    bool Fail(const char* what);

    platform::UniqueFd fd_;
    std::int64_t position_ = 0;
};
