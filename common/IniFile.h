#pragma once

// The text of an INI file: "[Section]" lines open sections, "key=value" lines hold values.
// Section and key names match without regard to ASCII letter case; the first of duplicate
// sections or keys is the one read and written. Every line that is not touched is kept as it
// was, byte for byte.

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class IniDocument {
public:
    static IniDocument Parse(std::string_view bytes);

    // The value of key in section, blanks around it removed, and then one pair of double
    // quotes around it; nullopt when section or key is missing.
    std::optional<std::string> Get(std::string_view section, std::string_view key) const;
    // Sets the value, adding the key at the end of its section, or the section at the end. A
    // value that Get would not give back as it is (blanks at an end, quotes around it) is
    // stored in double quotes.
    // A section, key or value holding a line break (CR or LF) would end its line early, and the
    // rest could add keys or sections: it is refused (false), and the document stays unchanged.
    bool Set(std::string_view section, std::string_view key, std::string_view value);

    std::string Serialize() const;

    // Every section in the order of the file, with its values as Get reads them: a whole file
    // read in one pass. Names and keys are in lower case; the first of duplicate keys counts.
    struct Section {
        std::string name;
        std::map<std::string, std::string> values;
        std::string Value(const std::string& lowerKey) const;
    };
    std::vector<Section> Sections() const;

private:
    struct Line {
        std::string raw;      // the line as read, without its line feed
        std::string section;  // for a section line: its name
        std::string key;      // for a value line: its key
        bool isSection = false;
        bool isValue = false;
    };

    static Line Classify(std::string raw);
    static std::string ValueOf(const Line& line);
    // Index of the first section line with this name, or -1.
    long FindSection(std::string_view section) const;
    // Index one past the last line of the section that starts at index.
    std::size_t SectionEnd(std::size_t index) const;

    std::vector<Line> lines_;
    bool endsWithNewline_ = true;
    bool crlf_ = false;  // the file's lines end with CR LF
};
