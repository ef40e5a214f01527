#pragma once

// The plain arithmetic behind a transfer that resumes and runs over several connections: byte
// ranges and how they are split and taken over, what a response header says about ranges and
// the file's identity, the small file kept beside a partial download, and the waits between
// attempts. No sockets, no files: values in, values out.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace transfer {

// Bytes [begin, end) of the file.
struct ByteRange {
    std::int64_t begin = 0;
    std::int64_t end = 0;
    std::int64_t Size() const { return end - begin; }
    bool operator==(const ByteRange&) const = default;
};

// The whole [0, length) in parts of equal size (the last takes the remainder), as many as
// asked but none smaller than minPiece; at least one.
std::vector<ByteRange> SplitRange(ByteRange whole, int parts, std::int64_t minPiece);

// The index of the range with most bytes left, when its second half is worth a connection of
// its own (each half at least minPiece); nullopt otherwise. The taker gets
// [SplitPoint(r), r.end) and the range keeps [r.begin, SplitPoint(r)).
std::optional<std::size_t> RangeToShare(const std::vector<ByteRange>& remaining,
                                        std::int64_t minPiece);
inline std::int64_t SplitPoint(ByteRange r) {
    return r.begin + r.Size() / 2;
}

// [0, length) without the given ranges (which may be unsorted and overlap), in order.
std::vector<ByteRange> Complement(std::vector<ByteRange> ranges, std::int64_t length);

// "bytes 100-199/1000"; total -1 for "*".
struct ContentRangeValue {
    std::int64_t first = 0;
    std::int64_t last = 0;
    std::int64_t total = -1;
};
std::optional<ContentRangeValue> ParseContentRange(std::string_view value);

// What a response header tells about the file behind it.
struct FileFacts {
    bool acceptsRanges = false;  // "Accept-Ranges: bytes"
    std::string etag;            // strong entity tags only: a weak one may not go in If-Range
    std::string lastModified;
    std::optional<ContentRangeValue> range;
    // What identifies this version of the file: its entity tag, else its date; empty: nothing.
    std::string Validator() const { return etag.empty() ? lastModified : etag; }
};
FileFacts ReadFileFacts(const std::vector<std::string>& headerLines);

// What is kept beside NAME.part: the file's identity and the bytes already there.
struct PartMeta {
    std::string validator;
    std::int64_t length = 0;
    std::vector<ByteRange> done;  // sorted, not overlapping, inside [0, length)
    bool operator==(const PartMeta&) const = default;
};
std::string FormatPartMeta(const PartMeta& meta);
// nullopt for anything but a well-formed record of a file with a validator and a length.
std::optional<PartMeta> ParsePartMeta(std::string_view text);

// Where a Location value leads from the address base: absolute, "//host/...", "/path", "?query"
// or a path beside base's last segment. nullopt for a value with blanks or control bytes, or a
// base without a scheme.
std::optional<std::string> ResolveLocation(std::string_view base, std::string_view location);

// Seconds to wait before attempt number `attempt` (2 and on): 1, 2, 4, ... at most 30.
int RetryDelaySeconds(int attempt);

}  // namespace transfer
