// Fuzz entry for the page parser (built and run by fuzz/run-fuzz.sh).
// The first input byte picks the site, the rest is the page.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "http/HttpUrl.h"
#include "retrieval/PageParser.h"
#include "retrieval/TitleToFileName.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const char* const jobs[] = {
        "http://www.youtube.com/watch?v=Fz&feature=x",
        "http://www.metacafe.com/watch/1/f/",
        "http://video.google.com/videoplay?docid=1",
        "http://www.youtube.com/watch",
    };
    const std::string_view job = jobs[size == 0 ? 0 : data[0] % 4];
    const std::string_view page(reinterpret_cast<const char*>(data) + (size ? 1 : 0),
                                size ? size - 1 : 0);
    const PassResult r = ParsePage(page, job, {}, [] { return 1u; });
    if (r.outcome == PassOutcome::Resolved && r.state.eDownloadUrl.empty()) {
        std::abort();
    }
    if ((r.outcome == PassOutcome::StopRun) == r.message.empty()) {
        std::abort();
    }
    // Whatever the page holds, the file address goes out as one request line, and the name
    // fits in a directory entry.
    if (!IsRequestSafe(r.state.eDownloadUrl) || r.state.eFileName.size() > kMaxFileNameBytes) {
        std::abort();
    }
    // Decoding ends on any text, whatever entities it is built of.
    (void)TitleToFileName(page);
    return 0;
}
