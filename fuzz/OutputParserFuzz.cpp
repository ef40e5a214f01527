// Fuzz entry for the converter output parser (built and run by fuzz/run-fuzz.sh).
// The first two input bytes pick where the output is cut into two reads; the rest is the output.


#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "convert/OutputParser.h"

namespace {

struct Scan {
    std::vector<std::int64_t> values;  // durations as d, progress as p, in line order
    std::vector<char> kinds;
};

Scan Parse(std::string_view output, std::size_t cut) {
    convert::LineSplitter splitter;
    convert::ParseState state;
    std::vector<std::string> lines;
    splitter.Feed(output.substr(0, cut), lines);
    splitter.Feed(output.substr(cut), lines);
    splitter.Flush(lines);
    Scan scan;
    std::int64_t duration = 0;
    for (const std::string& line : lines) {
        if (line.size() > convert::kMaxLineLength) {
            std::abort();
        }
        convert::LineResult r = convert::ParseLine(line, state);
        if (r.duration) {
            duration = *r.duration;
            scan.values.push_back(duration);
            scan.kinds.push_back('d');
        }
        if (r.progress) {
            scan.values.push_back(*r.progress);
            scan.kinds.push_back('p');
            if (auto record = convert::ProgressRecord(*r.progress, duration, 0.5)) {
                if (record->Percent < 1 || record->Percent > 100) {
                    std::abort();
                }
            }
        }
    }
    return scan;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const std::string_view output(reinterpret_cast<const char*>(data) + 2, size - 2);
    const std::size_t cut = (std::size_t{data[0]} << 8 | data[1]) % (output.size() + 1);
    const Scan whole = Parse(output, output.size());
    const Scan split = Parse(output, cut);
    // However the reads fall, the same lines and the same values come out.
    if (whole.values != split.values || whole.kinds != split.kinds) {
        std::abort();
    }
    return 0;
}

