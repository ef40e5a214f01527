#include "retrieval/TitleToFileName.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <utility>
#include <vector>

#include "common/Global.h"

namespace {

// Applied in this order, each to the result of the one before.
constexpr std::array<std::pair<std::string_view, std::string_view>, 6> kEntities = {{
    {"&amp;", "&"},
    {"&quot;", ""},
    {"&lt;", ""},
    {"&gt;", ""},
    {"&nbsp;", " "},
    {"&copy;", "@"},
}};

std::string ReplaceEachOnce(std::string_view text, std::string_view pattern,
                            std::string_view replacement) {
    std::string out;
    out.reserve(text.size());
    std::size_t from = 0;
    for (std::size_t at = text.find(pattern); at != std::string_view::npos;
         at = text.find(pattern, from)) {
        out.append(text.substr(from, at - from));
        out.append(replacement);
        from = at + pattern.size();
    }
    out.append(text.substr(from));
    return out;
}

// KMP failure function: fail[k] is the length of the longest proper border of pattern[0, k).
std::vector<std::size_t> FailureTable(std::string_view pattern) {
    std::vector<std::size_t> fail(pattern.size() + 1, 0);
    std::size_t k = 0;
    for (std::size_t i = 1; i < pattern.size(); ++i) {
        while (k > 0 && pattern[i] != pattern[k]) {
            k = fail[k];
        }
        if (pattern[i] == pattern[k]) {
            ++k;
        }
        fail[i + 1] = k;
    }
    return fail;
}

}  // namespace

std::string ReplaceAll(std::string_view text, std::string_view pattern,
                       std::string_view replacement) {
    if (pattern.empty()) {
        return std::string(text);
    }
    if (replacement.size() >= pattern.size()) {
        return ReplaceEachOnce(text, pattern, replacement);
    }
    // The first occurrence in a text is also the one that ends first. So the text is moved onto
    // an output that never holds an occurrence; when the output comes to end in the pattern, that
    // is the first occurrence of the whole current text: it is dropped and the replacement is fed
    // in again ahead of the rest, exactly as a fresh search from the start would find it. Runs of
    // text that cannot take part in a match are copied whole. Every replacement shortens the
    // text, so the bytes fed stay within a constant factor of the text's length.
    const std::size_t m = pattern.size();
    const std::vector<std::size_t> fail = FailureTable(pattern);
    auto step = [&](std::size_t k, char c) {
        while (k > 0 && c != pattern[k]) {
            k = fail[k];
        }
        return c == pattern[k] ? k + 1 : k;
    };
    std::string out;
    out.reserve(text.size());
    // Matched pattern length at the end of the output. With no occurrence in the output it is
    // below m, so the output's last m - 1 bytes decide it.
    auto stateOfTail = [&] {
        std::size_t k = 0;
        for (std::size_t i = out.size() - std::min(out.size(), m - 1); i < out.size(); ++i) {
            k = step(k, out[i]);
        }
        return k;
    };

    std::string pending;  // replacement bytes still to feed, next byte last
    std::size_t next = 0;
    std::size_t k = 0;
    for (;;) {
        char c;
        if (!pending.empty()) {
            c = pending.back();
            pending.pop_back();
        } else if (k == 0) {
            // Nothing at the output's end can begin an occurrence, so the next one lies wholly
            // in the rest of the text.
            const std::size_t at = text.find(pattern, next);
            if (at == std::string_view::npos) {
                out.append(text.substr(next));
                break;
            }
            out.append(text.substr(next, at - next));
            next = at + m;
            pending.assign(replacement.rbegin(), replacement.rend());
            k = stateOfTail();
            continue;
        } else if (next < text.size()) {
            c = text[next++];
        } else {
            break;
        }
        k = step(k, c);
        out.push_back(c);
        if (k == m) {
            out.resize(out.size() - m);
            // The replacement goes ahead of whatever was still pending.
            pending.append(replacement.rbegin(), replacement.rend());
            k = stateOfTail();
        }
    }
    return out;
}

std::string_view CutAtCharacter(std::string_view text, std::size_t limit) {
    if (text.size() <= limit) {
        return text;
    }
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    // The start of the character the cut falls into: at most three continuation bytes back.
    std::size_t start = limit;
    while (start > 0 && limit - start < 3 && (byte(start) & 0xC0) == 0x80) {
        --start;
    }
    const unsigned char lead = byte(start);
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    // A character that would end past the limit goes whole; bytes that are no UTF-8 are cut
    // where they stand.
    return text.substr(0, start + length > limit && start < limit ? start : limit);
}

std::string TitleToFileName(std::string_view title) {
    // A hostile page can hand over a title of megabytes; no name can hold more than this.
    title = CutAtCharacter(title, kMaxFileNameBytes - 4);
    std::string name;
    name.reserve(title.size() + 4);  // room for the extension
    name.assign(title);
    for (const auto& [pattern, replacement] : kEntities) {
        if (name.find(pattern) != std::string::npos) {
            name = ReplaceAll(name, pattern, replacement);
        }
    }
    auto blank = [](char c) { return static_cast<unsigned char>(c) <= 32; };
    std::size_t end = name.size();
    while (end > 0 && blank(name[end - 1])) {
        --end;
    }
    std::size_t start = 0;
    while (start < end && blank(name[start])) {
        ++start;
    }
    name.erase(end);
    name.erase(0, start);
    name += ".flv";
    return CleanFileName(name);
}
