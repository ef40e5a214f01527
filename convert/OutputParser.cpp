#include "convert/OutputParser.h"

#include <cmath>

#include "common/Text.h"

namespace convert {

void LineSplitter::Feed(std::string_view bytes, std::vector<std::string>& lines) {
    std::size_t start = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        char c = bytes[i];
        if (c == '\r' || c == '\n' || c == '\0') {
            pending_.append(bytes.substr(start, i - start));
            lines.push_back(std::move(pending_));
            pending_.clear();
            start = i + 1;
        } else if (pending_.size() + (i + 1 - start) >= kMaxLineLength) {
            pending_.append(bytes.substr(start, i + 1 - start));
            lines.push_back(std::move(pending_));
            pending_.clear();
            start = i + 1;
        }
    }
    pending_.append(bytes.substr(start));
}

bool LineSplitter::Flush(std::vector<std::string>& lines) {
    if (pending_.empty()) {
        return false;
    }
    lines.push_back(std::move(pending_));
    pending_.clear();
    return true;
}

namespace {

// The two characters just before pos, as a number; 0 when there are not two or they are not a
// whole number.
std::int32_t TwoBefore(std::string_view s, std::size_t pos) {
    if (pos < 2) {
        return 0;
    }
    return text::StrToIntDef(s.substr(pos - 2, 2), 0);
}

bool AllDigits(std::string_view s) {
    if (s.empty()) {
        return false;
    }
    for (char c : s) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

}  // namespace

LineResult ParseLine(std::string_view line, ParseState& state) {
    LineResult result;
    if (text::Trim(line).empty()) {
        return result;
    }
    constexpr std::string_view kDuration = "duration:";
    if (std::size_t at = text::FindCaseless(line, kDuration); at != text::npos) {
        std::string rest = text::Trim(line.substr(at + kDuration.size()));
        std::string_view r = rest;
        if (std::size_t colon = r.find(':'); colon != std::string_view::npos) {
            state.hours = TwoBefore(r, colon);
            r = r.substr(colon + 1);
        }
        if (std::size_t colon = r.find(':'); colon != std::string_view::npos) {
            state.minutes = TwoBefore(r, colon);
            r = r.substr(colon + 1);
        }
        if (std::size_t dot = r.find('.'); dot != std::string_view::npos) {
            state.seconds = TwoBefore(r, dot);
        }
        result.duration =
            std::int64_t{state.hours} * 3600 + std::int64_t{state.minutes} * 60 + state.seconds;
    }
    constexpr std::string_view kTime = "time=";
    if (std::size_t at = text::FindCaseless(line, kTime); at != text::npos) {
        std::string_view r = line.substr(at + kTime.size());
        if (std::size_t dot = r.find('.'); dot != std::string_view::npos) {
            state.progress = ParseProgressTime(r.substr(0, dot)).value_or(0);
        }
        result.progress = state.progress;
    }
    return result;
}

std::optional<std::int64_t> ParseProgressTime(std::string_view beforeDot) {
    if (auto seconds = text::ParseInt64(beforeDot)) {
        return seconds;
    }
    // hh:mm:ss, possibly negative as converters write it before the first frame.
    std::string_view s = beforeDot;
    bool negative = !s.empty() && s[0] == '-';
    if (negative) {
        s.remove_prefix(1);
    }
    std::size_t first = s.find(':');
    if (first == std::string_view::npos) {
        return std::nullopt;
    }
    std::size_t second = s.find(':', first + 1);
    if (second == std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view h = s.substr(0, first);
    std::string_view m = s.substr(first + 1, second - first - 1);
    std::string_view sec = s.substr(second + 1);
    if (!AllDigits(h) || h.size() > 9 || !AllDigits(m) || m.size() > 2 || !AllDigits(sec) ||
        sec.size() > 2) {
        return std::nullopt;
    }
    std::int64_t value =
        *text::ParseInt64(h) * 3600 + *text::ParseInt64(m) * 60 + *text::ParseInt64(sec);
    return negative ? -value : value;
}

std::int64_t RoundHalfEven(double value) {
    double down = std::floor(value);
    double diff = value - down;
    if (diff > 0.5 || (diff == 0.5 && std::fmod(down, 2.0) != 0.0)) {
        down += 1.0;
    }
    return static_cast<std::int64_t>(down);
}

std::string MinutesSeconds(std::int64_t seconds) {
    auto minutes = static_cast<std::int32_t>(seconds / 60);
    auto rest = static_cast<std::int32_t>(seconds % 60);
    return TwoDigits(minutes) + ":" + TwoDigits(rest);
}

std::optional<TProcessInfo> ProgressRecord(std::int64_t progress, std::int64_t duration,
                                           double elapsedDays) {
    if (progress <= 0 || duration <= 0) {
        return std::nullopt;
    }
    // progress * 100 cannot overflow for any time a converter could report.
    if (progress > INT64_MAX / 100) {
        return std::nullopt;
    }
    std::int64_t percent = progress * 100 / duration;
    if (percent < 1 || percent > 100) {
        return std::nullopt;
    }
    TProcessInfo info;
    info.Percent = static_cast<std::int32_t>(percent);
    std::int64_t elapsed = RoundHalfEven(elapsedDays * 86400.0);
    std::int64_t estimated =
        RoundHalfEven(static_cast<double>(elapsed) * 100.0 / static_cast<double>(percent));
    info.Elapsed = MinutesSeconds(elapsed);
    info.Estimated = MinutesSeconds(estimated);
    info.Status = kStatusNormal;
    return info;
}

}  // namespace convert
