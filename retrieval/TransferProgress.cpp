#include "retrieval/TransferProgress.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/Global.h"
#include "common/StringTable.h"
#include "common/Text.h"

namespace transfer {

std::string QualityUrl(int quality, const std::string& downloadUrl, bool hdAvailable) {
    switch (quality) {
        case kQualityHQ:
            return downloadUrl + "&fmt=18";
        case kQualityHD:
        case kQualityBest:
            return downloadUrl + (hdAvailable ? "&fmt=22" : "&fmt=18");
        default:
            return downloadUrl;
    }
}

std::string FileNamePart(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ReplaceExtension(const std::string& path, std::string_view ext) {
    const std::size_t slash = path.rfind('/');
    const std::size_t dot = path.rfind('.');
    const bool hasExt = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    return (hasExt ? path.substr(0, dot) : path) + std::string(ext);
}

std::optional<std::int64_t> ContentLengthOf(const std::vector<std::string>& headerLines) {
    constexpr std::string_view kName = "Content-Length:";
    for (const std::string& line : headerLines) {
        if (line.compare(0, kName.size(), kName) != 0) {
            continue;
        }
        const std::size_t blank = line.find(' ');
        if (blank == std::string::npos) {
            return std::nullopt;
        }
        auto value = text::ParseInt64(text::Trim(std::string_view(line).substr(blank + 1)));
        if (!value || *value < 0) {
            return std::nullopt;
        }
        return value;
    }
    return std::nullopt;
}

std::string ReceivedText(std::int64_t received, const std::string& totalSizeText) {
    return FormatSizeKB(received) + LoadStr(StrId::KB) + " of " + totalSizeText + " " +
           LoadStr(StrId::Received);
}

std::string SpeedText(std::int64_t bytes, std::uint32_t elapsedMs) {
    const double seconds = static_cast<double>(elapsedMs) / 1000.0;
    const double kbPerSecond = seconds > 0 ? static_cast<double>(bytes) / seconds / 1024.0 : 0.0;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.1f", kbPerSecond);
    return buf + LoadStr(StrId::KBPerSecond);
}

std::optional<std::int64_t> SecondsRemaining(std::int64_t total, std::int64_t received,
                                             std::int64_t sampleBytes, std::uint32_t elapsedMs) {
    const std::int64_t sampled = received - sampleBytes;
    if (sampled <= 0) {
        return std::nullopt;
    }
    return (total - received) * static_cast<std::int64_t>(elapsedMs) / (sampled * 1000);
}

std::string ClockText(std::int64_t seconds) {
    const auto hours = static_cast<std::int32_t>(seconds / 3600);
    const auto minutes = static_cast<std::int32_t>((seconds % 3600) / 60);
    const auto rest = static_cast<std::int32_t>(seconds % 60);
    return TwoDigits(hours) + ":" + TwoDigits(minutes) + ":" + TwoDigits(rest);
}

std::string PlainReason(int errorNumber) {
    switch (errorNumber) {
        case ENOSPC:
            return "the disk is full";
        case EDQUOT:
            return "your disk quota is used up";
        case EFBIG:
            return "the file is larger than the disk allows";
        case EISDIR:
            return "a folder of that name is in the way";
        case EACCES:
        case EPERM:
            return "no permission to write there";
        case EROFS:
            return "the disk is read-only";
        case EAGAIN:
        case ETXTBSY:
            return "the file is in use by another program";
        case ENOENT:
        case ENOTDIR:
            return "the folder is gone";
        case ENAMETOOLONG:
            return "the name is too long";
        case EIO:
            return "the disk reported an error";
        case 0:
            return "unknown error";
        default:
            return std::strerror(errorNumber);
    }
}

std::string ShownReason(std::string_view reason) {
    std::string shown;
    for (const char c : reason) {
        const auto code = static_cast<unsigned char>(c);
        if (code >= 32 && code != 127) {
            shown.push_back(c);
        } else if (!shown.empty() && shown.back() != ' ') {
            shown.push_back(' ');
        }
    }
    while (!shown.empty() && shown.back() == ' ') {
        shown.pop_back();
    }
    return shown;
}

}  // namespace transfer
