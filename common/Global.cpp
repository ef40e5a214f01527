#include "common/Global.h"

std::string CleanFileName(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const auto code = static_cast<unsigned char>(c);
        // The C1 controls (U+0080 to U+009F, NEL among them) are two bytes in UTF-8, C2 80 to
        // C2 9F; a terminal or file manager would act on them as on the C0 ones.
        if (code == 0xC2 && i + 1 < text.size() &&
            (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80) {
            ++i;
            continue;
        }
        const bool forbidden = code < 32 || code == 127 || c == '*' || c == '/' || c == ':' ||
                               c == '<' || c == '>' || c == '?' || c == '\\' || c == '|';
        if (!forbidden) {
            out.push_back(c);
        }
    }
    return out;
}

std::string TwoDigits(std::int32_t number) {
    return number < 10 ? "0" + std::to_string(number) : std::to_string(number);
}

std::string FormatSizeKB(std::int64_t bytes) {
    std::int64_t kb = bytes / 1024;
    if (bytes % 1024 != 0) {
        ++kb;
    }
    const bool negative = kb < 0;
    std::string digits = std::to_string(kb);
    if (negative) {
        digits.erase(0, 1);
    }
    std::string grouped;
    grouped.reserve(digits.size() + digits.size() / 3 + 1);
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) {
            grouped.push_back(',');
        }
        grouped.push_back(digits[i]);
    }
    return negative ? "-" + grouped : grouped;
}
