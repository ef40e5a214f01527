#include "retrieval/TransferPlan.h"

#include <algorithm>

#include "common/Text.h"
#include "http/HttpUrl.h"

namespace transfer {

namespace {

constexpr std::string_view kMetaMagic = "tamberlo-part 1";

// A digit-only count; no sign, no blanks.
std::optional<std::int64_t> Count(std::string_view s) {
    if (s.empty() || s.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    return text::ParseInt64(s);
}

bool HasControlBytes(std::string_view s) {
    return std::any_of(s.begin(), s.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 32 || c == 127; });
}

}  // namespace

std::vector<ByteRange> SplitRange(ByteRange whole, int parts, std::int64_t minPiece) {
    const std::int64_t size = std::max<std::int64_t>(0, whole.Size());
    std::int64_t n = std::max(1, parts);
    if (minPiece > 0) {
        n = std::clamp<std::int64_t>(size / minPiece, 1, n);
    }
    std::vector<ByteRange> out;
    const std::int64_t piece = size / n;
    for (std::int64_t i = 0; i < n; ++i) {
        const std::int64_t begin = whole.begin + i * piece;
        out.push_back({begin, i + 1 == n ? whole.end : begin + piece});
    }
    return out;
}

std::optional<std::size_t> RangeToShare(const std::vector<ByteRange>& remaining,
                                        std::int64_t minPiece) {
    std::optional<std::size_t> best;
    for (std::size_t i = 0; i < remaining.size(); ++i) {
        if (!best || remaining[i].Size() > remaining[*best].Size()) {
            best = i;
        }
    }
    if (!best || remaining[*best].Size() < 2 * std::max<std::int64_t>(1, minPiece)) {
        return std::nullopt;
    }
    return best;
}

std::vector<ByteRange> Complement(std::vector<ByteRange> ranges, std::int64_t length) {
    std::sort(ranges.begin(), ranges.end(),
              [](const ByteRange& a, const ByteRange& b) { return a.begin < b.begin; });
    std::vector<ByteRange> out;
    std::int64_t at = 0;
    for (const ByteRange& r : ranges) {
        if (r.begin > at) {
            out.push_back({at, std::min(r.begin, length)});
        }
        at = std::max(at, r.end);
        if (at >= length) {
            return out;
        }
    }
    if (at < length) {
        out.push_back({at, length});
    }
    return out;
}

std::optional<ContentRangeValue> ParseContentRange(std::string_view value) {
    const std::string v = text::Trim(value);
    if (!text::StartsWithCaseless(v, "bytes ")) {
        return std::nullopt;
    }
    const std::string_view rest = std::string_view(v).substr(6);
    const std::size_t dash = rest.find('-');
    const std::size_t slash = rest.find('/');
    if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash) {
        return std::nullopt;
    }
    const auto first = Count(text::Trim(rest.substr(0, dash)));
    const auto last = Count(text::Trim(rest.substr(dash + 1, slash - dash - 1)));
    const std::string totalText = text::Trim(rest.substr(slash + 1));
    const auto total = totalText == "*" ? std::optional<std::int64_t>(-1) : Count(totalText);
    if (!first || !last || !total || *last < *first || (*total >= 0 && *last >= *total)) {
        return std::nullopt;
    }
    return ContentRangeValue{*first, *last, *total};
}

FileFacts ReadFileFacts(const std::vector<std::string>& headerLines) {
    FileFacts f;
    for (const std::string& line : headerLines) {
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        const std::string name = text::LowerCase(text::Trim(line.substr(0, colon)));
        const std::string value = text::Trim(std::string_view(line).substr(colon + 1));
        if (name == "accept-ranges") {
            f.acceptsRanges = text::ContainsCaseless(value, "bytes");
        } else if (name == "etag") {
            // Only a strong tag names one version byte for byte.
            if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
                f.etag = value;
            }
        } else if (name == "last-modified") {
            f.lastModified = value;
        } else if (name == "content-range") {
            f.range = ParseContentRange(value);
        }
    }
    return f;
}

std::string FormatPartMeta(const PartMeta& meta) {
    std::string out = std::string(kMetaMagic) + "\n";
    out += "length " + std::to_string(meta.length) + "\n";
    out += "validator " + meta.validator + "\n";
    for (const ByteRange& r : meta.done) {
        out += "done " + std::to_string(r.begin) + "-" + std::to_string(r.end) + "\n";
    }
    return out;
}

std::optional<PartMeta> ParsePartMeta(std::string_view text) {
    PartMeta meta;
    bool magic = false;
    bool length = false;
    std::int64_t at = 0;
    while (!text.empty()) {
        const std::size_t nl = text.find('\n');
        if (nl == std::string_view::npos) {
            return std::nullopt;  // a record cut short while it was written
        }
        const std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl + 1);
        if (!magic) {
            if (line != kMetaMagic) {
                return std::nullopt;
            }
            magic = true;
            continue;
        }
        const std::size_t sp = line.find(' ');
        const std::string_view key = line.substr(0, sp);
        const std::string_view value =
            sp == std::string_view::npos ? std::string_view() : line.substr(sp + 1);
        if (key == "length" && !length) {
            const auto n = Count(value);
            if (!n || *n <= 0) {
                return std::nullopt;
            }
            meta.length = *n;
            length = true;
        } else if (key == "validator" && meta.validator.empty()) {
            if (value.empty() || HasControlBytes(value)) {
                return std::nullopt;
            }
            meta.validator = std::string(value);
        } else if (key == "done" && length) {
            const std::size_t dash = value.find('-');
            const auto b = Count(value.substr(0, dash));
            const auto e =
                dash == std::string_view::npos ? std::nullopt : Count(value.substr(dash + 1));
            if (!b || !e || *b < at || *e <= *b || *e > meta.length) {
                return std::nullopt;
            }
            meta.done.push_back({*b, *e});
            at = *e;
        } else {
            return std::nullopt;
        }
    }
    if (!magic || !length || meta.validator.empty()) {
        return std::nullopt;
    }
    return meta;
}

std::optional<std::string> ResolveLocation(std::string_view base, std::string_view location) {
    std::string loc = text::Trim(location);
    loc = loc.substr(0, loc.find('#'));
    if (loc.empty() || HasControlBytes(loc)) {
        return std::nullopt;
    }
    // Blanks and bytes beyond ASCII go out encoded, as browsers send them.
    loc = EncodeUrlBytes(loc);
    const std::size_t sep = base.find("://");
    if (sep == std::string_view::npos) {
        return std::nullopt;
    }
    const std::size_t locSep = loc.find("://");
    if (locSep != std::string::npos && locSep > 0 && loc.find_first_of("/?") > locSep) {
        return loc;
    }
    const std::size_t authorityEnd = base.find_first_of("/?#", sep + 3);
    const std::string origin(base.substr(0, authorityEnd));
    if (loc.starts_with("//")) {
        return std::string(base.substr(0, sep)) + ":" + loc;
    }
    if (loc.front() == '/') {
        return origin + loc;
    }
    std::string path = authorityEnd == std::string_view::npos
                           ? std::string("/")
                           : std::string(base.substr(authorityEnd));
    path = path.substr(0, path.find_first_of("?#"));
    if (path.empty() || path.front() != '/') {
        path.insert(0, "/");
    }
    if (loc.front() == '?') {
        return origin + path + loc;
    }
    return origin + path.substr(0, path.rfind('/') + 1) + loc;
}

int RetryDelaySeconds(int attempt) {
    constexpr int kMaxDelay = 30;
    if (attempt <= 1) {
        return 0;
    }
    const int shift = std::min(attempt - 2, 5);
    return std::min(kMaxDelay, 1 << shift);
}

}  // namespace transfer
