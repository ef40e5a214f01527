#pragma once

#include <string>

namespace platform {

// True when the file exists but cannot be had for exclusive use: it cannot be opened for
// reading and writing (read-only, access refused), or another process holds it open.
// The file is never changed.
bool IsFileLocked(const std::string& path);

bool DirectoryExists(const std::string& path);
bool FileExists(const std::string& path);
// True when both paths name the same existing file, by whatever way of writing them.
bool SameFile(const std::string& a, const std::string& b);
// Creates the folder with every missing parent folder; true when it exists afterwards.
bool ForceDirectories(const std::string& path);

// The folder of the running executable, with a trailing "/".
std::string ExecutableFolder();

// Asks for a folder with the caption shown above the tree. A folder argument that names no
// existing folder is cleared first; on a choice it receives the path and true is returned.
bool SelectFolder(const std::string& caption, const std::string& root, std::string& folder);

}  // namespace platform
