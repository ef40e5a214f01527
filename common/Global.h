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

// The text without the bytes a file name cannot hold: * / : < > ? \ | and codes 0 to 31.
std::string CleanFileName(std::string_view text);

// 7 -> "07", 12 -> "12", -5 -> "0-5": every number below 10 gets a leading zero.
std::string TwoDigits(std::int32_t number);

// Kilobytes rounded up, digits grouped by "," from the right: 1025 -> "2", 1536000 -> "1,500".
std::string FormatSizeKB(std::int64_t bytes);

// --- System proxy ---------------------------------------------------------------------------
// On this desktop the system proxy is the http_proxy (or HTTP_PROXY) environment variable.

// True when http_proxy or HTTP_PROXY is set and not empty.
bool ProxyEnabled();
// The proxy list of the system, "http=host:port", or empty when no proxy is set.
std::string GetProxyList();
// Host and port that the system proxy list names for scheme; empty host and port 0 when none.
void GetProxyServer(std::string_view scheme, std::string& host, std::int32_t& port);

// The pure steps of the above.
// A proxy variable in the forms it takes in practice ("host:port", "http://host:port/",
// "user:password@host:port") as a list "http=host:port"; a missing port is 80.
std::string ProxyListFromVariable(std::string_view value);
// Host and port a proxy list names for scheme: "scheme=host:port" entries joined by ";", or one
// "host:port" for every scheme. A list of entries for other schemes only names no proxy.
void ProxyServerFromList(std::string_view list, std::string_view scheme, std::string& host,
                         std::int32_t& port);
