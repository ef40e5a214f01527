// Fuzz entry for the resolver of other sites' pages (built and run by fuzz/run-fuzz.sh).
// The first input byte picks the quality and the page address, the rest is the page.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "common/VideoUrl.h"
#include "http/HttpUrl.h"
#include "retrieval/GenericPage.h"
#include "retrieval/TitleToFileName.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const char* const pages[] = {
        "https://pages.example/show/item.html?id=7#top",
        "http://pages.example",
    };
    const int pick = size == 0 ? 0 : data[0];
    const std::string_view pageUrl = pages[(pick >> 2) % 2];
    const std::string_view page(reinterpret_cast<const char*>(data) + (size ? 1 : 0),
                                size ? size - 1 : 0);
    const FoundVideo found = ResolveVideoPage(page, pageUrl, pick % 4);
    switch (found.kind) {
        case FoundVideo::Kind::File:
            // A file is an absolute web address that goes out as one request line, never the
            // page itself, stored under a name that fits a directory entry and has its extension.
            if (!IsWebAddress(found.url) || !IsRequestSafe(found.url) ||
                found.url == WithoutFragment(pageUrl) ||
                found.fileName.size() > kMaxFileNameBytes || found.extension.empty() ||
                !found.fileName.ends_with(found.extension) ||
                found.fileName.find('/') != std::string::npos) {
                std::abort();
            }
            break;
        case FoundVideo::Kind::ManifestOnly:
            if (!IsWebAddress(found.url)) {
                std::abort();
            }
            break;
        case FoundVideo::Kind::NoVideo:
            if (!found.url.empty()) {
                std::abort();
            }
            break;
    }
    return 0;
}
