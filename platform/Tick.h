#pragma once

#include <cstdint>

namespace platform {

// Milliseconds of a monotonic clock as an unsigned 32-bit count; it wraps after about 49 days,
// so intervals are always taken as unsigned differences.
std::uint32_t GetTickCount();

}  // namespace platform
