#include "common/IniFile.h"

#include "common/Text.h"

namespace {

std::string_view TrimBlanks(std::string_view s) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!s.empty() && blank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && blank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool Quoted(std::string_view s) {
    return s.size() >= 2 && s.front() == '"' && s.back() == '"';
}

bool HasLineBreak(std::string_view s) {
    return s.find_first_of("\r\n") != std::string_view::npos;
}

}  // namespace

IniDocument::Line IniDocument::Classify(std::string raw) {
    Line line;
    line.raw = std::move(raw);
    std::string_view content = TrimBlanks(line.raw);
    if (!content.empty() && content.front() == '[') {
        std::size_t close = content.find(']');
        if (close != std::string_view::npos) {
            line.isSection = true;
            line.section = std::string(TrimBlanks(content.substr(1, close - 1)));
        }
        return line;
    }
    if (!content.empty() && content.front() != ';') {
        std::size_t eq = content.find('=');
        if (eq != std::string_view::npos) {
            line.isValue = true;
            line.key = std::string(TrimBlanks(content.substr(0, eq)));
        }
    }
    return line;
}

IniDocument IniDocument::Parse(std::string_view bytes) {
    IniDocument doc;
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t lf = bytes.find('\n', start);
        if (lf == std::string_view::npos) {
            doc.lines_.push_back(Classify(std::string(bytes.substr(start))));
            doc.endsWithNewline_ = false;
            break;
        }
        doc.lines_.push_back(Classify(std::string(bytes.substr(start, lf - start))));
        if (doc.lines_.size() == 1) {
            doc.crlf_ = lf > start && bytes[lf - 1] == '\r';
        }
        start = lf + 1;
    }
    return doc;
}

long IniDocument::FindSection(std::string_view section) const {
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        if (lines_[i].isSection && text::EqualsCaseless(lines_[i].section, section)) {
            return static_cast<long>(i);
        }
    }
    return -1;
}

std::size_t IniDocument::SectionEnd(std::size_t index) const {
    std::size_t end = index + 1;
    while (end < lines_.size() && !lines_[end].isSection) {
        ++end;
    }
    return end;
}

std::optional<std::string> IniDocument::Get(std::string_view section, std::string_view key) const {
    long start = FindSection(section);
    if (start < 0) {
        return std::nullopt;
    }
    const std::size_t end = SectionEnd(static_cast<std::size_t>(start));
    for (std::size_t i = static_cast<std::size_t>(start) + 1; i < end; ++i) {
        if (lines_[i].isValue && text::EqualsCaseless(lines_[i].key, key)) {
            return ValueOf(lines_[i]);
        }
    }
    return std::nullopt;
}

std::string IniDocument::ValueOf(const Line& line) {
    std::string_view raw = line.raw;
    std::string_view value = TrimBlanks(raw.substr(raw.find('=') + 1));
    if (Quoted(value)) {
        value = value.substr(1, value.size() - 2);
    }
    return std::string(value);
}

std::vector<IniDocument::Section> IniDocument::Sections() const {
    std::vector<Section> sections;
    for (const Line& line : lines_) {
        if (line.isSection) {
            sections.push_back({text::LowerCase(line.section), {}});
        } else if (line.isValue && !sections.empty() && !line.key.empty()) {
            sections.back().values.try_emplace(text::LowerCase(line.key), ValueOf(line));
        }
    }
    return sections;
}

std::string IniDocument::Section::Value(const std::string& lowerKey) const {
    const auto found = values.find(lowerKey);
    return found == values.end() ? std::string() : found->second;
}

bool IniDocument::Set(std::string_view section, std::string_view key, std::string_view value) {
    if (HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value)) {
        return false;
    }
    // New lines follow the line ends the file already uses.
    const std::string cr = crlf_ ? "\r" : "";
    // Blanks at either end would be trimmed away on reading, and a quoted value loses its
    // quotes: such a value is stored in quotes, which reading removes again.
    std::string stored(value);
    if (!value.empty() && (IsBlank(value.front()) || IsBlank(value.back()) || Quoted(value))) {
        stored = "\"" + stored + "\"";
    }
    std::string entry = std::string(key) + "=" + stored + cr;
    long start = FindSection(section);
    if (start < 0) {
        if (!lines_.empty()) {
            if (!endsWithNewline_) {
                endsWithNewline_ = true;
            }
            if (!TrimBlanks(lines_.back().raw).empty()) {
                lines_.push_back(Classify(cr));
            }
        }
        lines_.push_back(Classify("[" + std::string(section) + "]" + cr));
        lines_.push_back(Classify(std::move(entry)));
        endsWithNewline_ = true;
        return true;
    }
    const std::size_t end = SectionEnd(static_cast<std::size_t>(start));
    std::size_t insertAt = static_cast<std::size_t>(start) + 1;
    for (std::size_t i = insertAt; i < end; ++i) {
        if (lines_[i].isValue && text::EqualsCaseless(lines_[i].key, key)) {
            // The key keeps the spelling the file gave it.
            lines_[i] = Classify(lines_[i].key + "=" + stored + cr);
            return true;
        }
        if (!TrimBlanks(lines_[i].raw).empty()) {
            insertAt = i + 1;  // after the section's last non-blank line
        }
    }
    if (insertAt == lines_.size()) {
        endsWithNewline_ = true;
    }
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(insertAt),
                  Classify(std::move(entry)));
    return true;
}

std::string IniDocument::Serialize() const {
    std::string out;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        out += lines_[i].raw;
        if (i + 1 < lines_.size() || endsWithNewline_) {
            out += '\n';
        }
    }
    return out;
}
