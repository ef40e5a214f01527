#pragma once

// Reading the converter's output: lines, the input's length from its "Duration:" line, the
// media time converted so far from its "time=" lines, and the progress figures made of them.
// Plain values in and out; the runner applies the results.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/Global.h"

namespace convert {

// Longest line kept while waiting for its end. A longer one is taken as a line of its own at
// this length, so a converter that never ends its lines cannot make us hold its whole output.
inline constexpr std::size_t kMaxLineLength = 64 * 1024;

// Cuts one output stream into lines at every CR or LF (and a zero byte, which cannot belong to
// text). A line whose end has not arrived yet is kept for the next Feed, so the lines do not
// depend on how the stream was cut into reads.
class LineSplitter {
public:
    // Appends every line completed by bytes to lines (empty lines included).
    void Feed(std::string_view bytes, std::vector<std::string>& lines);
    // The unfinished last line, if any, as a line of its own; the splitter is then empty.
    bool Flush(std::vector<std::string>& lines);
    void Clear() { pending_.clear(); }
    std::size_t PendingSize() const { return pending_.size(); }

private:
    std::string pending_;
};

// The numbers carried from line to line: the duration's hours, minutes and seconds, and the
// progress time in seconds.
struct ParseState {
    std::int32_t hours = 0;
    std::int32_t minutes = 0;
    std::int32_t seconds = 0;
    std::int64_t progress = 0;
};

struct LineResult {
    std::optional<std::int64_t> duration;  // seconds, when the line is a duration line
    std::optional<std::int64_t> progress;  // seconds, when the line is a progress line
};

// Both tests on one line. Blank lines yield nothing.
LineResult ParseLine(std::string_view line, ParseState& state);

// The value of a "time=" field up to its ".": whole seconds ("102"), or the clock form
// "hh:mm:ss" that newer converters write. nullopt when it is neither.
std::optional<std::int64_t> ParseProgressTime(std::string_view beforeDot);

// The progress record for progress seconds of duration, elapsedDays after the duration became
// known; nullopt unless both are positive and the percentage is 1 to 100.
std::optional<TProcessInfo> ProgressRecord(std::int64_t progress, std::int64_t duration,
                                           double elapsedDays);

// Round to nearest, halves to even.
std::int64_t RoundHalfEven(double value);

// "mm:ss" of whole seconds; minutes are never carried into hours.
std::string MinutesSeconds(std::int64_t seconds);

}  // namespace convert
