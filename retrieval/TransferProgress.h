#pragma once

// The arithmetic of the transfer display, as plain functions: which address a quality asks
// for, the size of the file from its header, and the size, speed and time remaining texts.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace transfer {

constexpr int kQualityNormal = 0;
constexpr int kQualityHQ = 1;
constexpr int kQualityHD = 2;
constexpr int kQualityBest = 3;

// The address to request for a quality: HQ adds "&fmt=18", HD and Best Available "&fmt=22"
// when the page offers high definition, else "&fmt=18".
std::string QualityUrl(int quality, const std::string& downloadUrl, bool hdAvailable);

// The last segment of a path: the file's name.
std::string FileNamePart(const std::string& path);

// The path with its extension replaced by ext (with its dot); a name without one gets ext
// appended. Only the last path segment is looked at.
std::string ReplaceExtension(const std::string& path, std::string_view ext);

// The value of the first header line whose first 15 characters are exactly "Content-Length:",
// read after its first blank; nullopt without such a line or when the value is not a number.
std::optional<std::int64_t> ContentLengthOf(const std::vector<std::string>& headerLines);

// "1,025 KB of 2,048 KB received": the received size, " KB", " of ", the total text, " ",
// and the word received.
std::string ReceivedText(std::int64_t received, const std::string& totalSizeText);

// Speed over a sample: bytes in elapsedMs as kilobytes per second, "12.3 KB/S".
std::string SpeedText(std::int64_t bytes, std::uint32_t elapsedMs);

// Whole seconds until total is reached at the sample's rate; nullopt for an empty sample.
std::optional<std::int64_t> SecondsRemaining(std::int64_t total, std::int64_t received,
                                             std::int64_t sampleBytes, std::uint32_t elapsedMs);

// "hh:mm:ss" with two digits at least in each field; hours may have more.
std::string ClockText(std::int64_t seconds);

// Why a file could not be created or written, in words a user can act on.
std::string PlainReason(int errorNumber);
// A reason as an error line shows it: a server's bytes in it (a reason phrase) may carry line
// breaks or other control bytes, which are folded to single blanks and trimmed.
std::string ShownReason(std::string_view reason);

}  // namespace transfer
