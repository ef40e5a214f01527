#include "retrieval/TitleToFileName.h"

#include <array>
#include <cstddef>
#include <utility>
#include <vector>

#include "common/Global.h"
#include "common/Text.h"

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
    // The first occurrence in a text is also the one that ends first. So the text is moved byte
    // by byte onto an output that never holds an occurrence; when the output comes to end in the
    // pattern, that is the first occurrence of the whole current text: it is dropped and the
    // replacement is fed in again ahead of the rest, exactly as a fresh search from the start
    // would find it. The matcher's state is kept per output byte so that dropping bytes rewinds
    // it. Every replacement shortens the text, so the bytes fed stay within a constant factor of
    // the text's length.
    const std::vector<std::size_t> fail = FailureTable(pattern);
    std::string out;
    std::vector<std::size_t> state;  // state[i]: matched pattern length after out[0, i]
    out.reserve(text.size());
    state.reserve(text.size());

    std::string pending;  // replacement bytes still to feed, last byte first
    std::size_t next = 0;
    while (next < text.size() || !pending.empty()) {
        char c;
        if (!pending.empty()) {
            c = pending.back();
            pending.pop_back();
        } else {
            c = text[next++];
        }
        std::size_t k = state.empty() ? 0 : state.back();
        while (k > 0 && c != pattern[k]) {
            k = fail[k];
        }
        if (c == pattern[k]) {
            ++k;
        }
        out.push_back(c);
        state.push_back(k);
        if (k == pattern.size()) {
            out.resize(out.size() - pattern.size());
            state.resize(state.size() - pattern.size());
            // The replacement goes ahead of whatever was still pending.
            pending.append(replacement.rbegin(), replacement.rend());
        }
    }
    return out;
}

std::string TitleToFileName(std::string_view title) {
    std::string name(title);
    for (const auto& [pattern, replacement] : kEntities) {
        name = ReplaceAll(name, pattern, replacement);
    }
    name = text::Trim(name);
    name += ".flv";
    return CleanFileName(name);
}
