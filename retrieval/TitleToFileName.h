#pragma once

// File names made from video titles.

#include <cstddef>
#include <string>
#include <string_view>

// The text with every occurrence of pattern replaced, searching again from the start after each
// replacement, so that a replacement which joins the text after it into a new occurrence is
// replaced as well ("&amp;amp;" with "&amp;" -> "&" gives "&"). The work is linear in the text's
// length for a fixed pattern. A replacement at least as long as the pattern could make that
// search run forever; such a replacement is applied in one left-to-right pass instead.
// An empty pattern leaves the text unchanged.
std::string ReplaceAll(std::string_view text, std::string_view pattern,
                       std::string_view replacement);

// The most a file name can hold, in bytes, on the file systems the program writes to.
constexpr std::size_t kMaxFileNameBytes = 255;

// The longest start of text of at most limit bytes that does not end inside a UTF-8 character.
std::string_view CutAtCharacter(std::string_view text, std::size_t limit);

// A page title as a file name: cut to what a name with ".flv" can hold, then the few HTML
// entities titles carry decoded, blanks and control characters trimmed, ".flv" appended, and the
// characters a file name cannot hold dropped. Cutting first keeps a title of megabytes cheap.
std::string TitleToFileName(std::string_view title);
