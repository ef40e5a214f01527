#pragma once

#include <string>

namespace platform {

// Opens a folder or web address with the desktop's default program. Failures are not reported.
void ShellOpen(const std::string& target);

// Opens a local folder in the file manager. A relative path names a folder below the current
// one, and a "://" in the path is part of a folder name, never an address.
void ShellOpenFolder(const std::string& folder);

}  // namespace platform
