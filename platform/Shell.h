#pragma once

#include <string>

namespace platform {

// Opens a folder or web address with the desktop's default program. Failures are not reported.
void ShellOpen(const std::string& target);

}  // namespace platform
