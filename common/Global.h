#pragma once

// Small helpers shared by every window: file-name cleaning, number formatting and the progress
// record of a conversion. They never throw; bad input yields an empty text or 0.

#include <cstdint>
#include <string>
#include <string_view>

// Progress or end record of one conversion, posted to the download window with
// WM_CONVERT_STATUS. The receiver owns it.
struct TProcessInfo {
    std::int32_t Percent = 0;  // 1..100 progress, 1000 the end of a conversion
    std::string Elapsed;       // "mm:ss"
    std::string Estimated;     // "mm:ss", the estimated length of the whole conversion
    std::int32_t Status = 0;   // 0 normal, 2 the output file is locked
    // With the end record: how the converter exited (128 plus the signal when it was killed);
    // 0 when it succeeded or was never started.
    std::int32_t ExitCode = 0;
};

constexpr std::int32_t kPercentFinished = 1000;
constexpr std::int32_t kStatusNormal = 0;
constexpr std::int32_t kStatusOutputLocked = 2;

// The text without the bytes a file name cannot hold: * / : < > ? \ |, the control codes 0 to
// 31 and 127, and the control characters U+0080 to U+009F (C2 80 to C2 9F in UTF-8).
std::string CleanFileName(std::string_view text);

// 7 -> "07", 12 -> "12", -5 -> "0-5": every number below 10 gets a leading zero.
std::string TwoDigits(std::int32_t number);

// Kilobytes rounded up, digits grouped by "," from the right: 1025 -> "2", 1536000 -> "1,500".
std::string FormatSizeKB(std::int64_t bytes);
