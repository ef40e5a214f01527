#pragma once

#include <string>

namespace testsupport {

// A fresh folder below the system temp folder, removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return path_; }
    // Path() + "/" + name
    std::string File(const std::string& name) const;

private:
    std::string path_;
};

// Whole file content as bytes; empty when the file cannot be read.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
// Number of file descriptors this process has open (from /proc/self/fd).
int OpenFdCount();

}  // namespace testsupport
