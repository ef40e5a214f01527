#include "app/JobList.h"

#include <QString>
#include <algorithm>
#include <unordered_set>

#include "common/Sites.h"
#include "common/Text.h"
#include "common/VideoUrl.h"

namespace {

// The key a job is known by: the served sites' addresses (and files) ignoring the case of a to
// z, other sites' addresses exactly, without their #fragment (their paths are case-sensitive).
std::string JobKey(std::string_view s) {
    return IsOtherSiteAddress(s) ? "o" + std::string(WithoutFragment(s))
                                 : "c" + text::CaselessKey(s);
}

// A set of job keys, so that duplicate tests stay linear in the size of the list.
class CaselessSet {
public:
    explicit CaselessSet(const std::vector<std::string>& initial) {
        keys_.reserve(initial.size() * 2);
        for (const std::string& s : initial) {
            keys_.insert(JobKey(s));
        }
    }
    // True when s was new and is now in the set.
    bool Insert(std::string_view s) { return keys_.insert(JobKey(s)).second; }

private:
    std::unordered_set<std::string> keys_;
};

bool HasControlBytes(std::string_view s) {
    return std::any_of(s.begin(), s.end(), [](char c) {
        const auto code = static_cast<unsigned char>(c);
        return code < 32 || code == 127;
    });
}

// Leading and trailing blanks and control characters (codes of 32 or below) removed, without a
// copy of a text that may be megabytes long.
std::string_view TrimView(std::string_view s) {
    auto blank = [](char c) { return static_cast<unsigned char>(c) <= 32; };
    while (!s.empty() && blank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && blank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

// Every address a served site recognises holds ".com" (in its domain).
static_assert(sites::kYouTubeDomain.find(".com") != text::npos &&
              sites::kMetacafeDomain.find(".com") != text::npos &&
              sites::kGoogleDomain.find(".com") != text::npos);

}  // namespace

std::string IntakeBytes(QStringView text) {
    auto blank = [](QChar c) { return c.unicode() <= 32; };
    while (!text.isEmpty() && blank(text.front())) {
        text = text.mid(1);
    }
    while (!text.isEmpty() && blank(text.back())) {
        text.chop(1);
    }
    constexpr auto keep = static_cast<qsizetype>(kMaxAddressLength) + 1;
    QString kept;
    bool cut = false;
    for (qsizetype start = 0; start <= text.size();) {
        qsizetype end = text.indexOf(u'\n', start);
        const bool last = end < 0;
        if (last) {
            end = text.size();
        }
        const QStringView line = text.mid(start, end - start);
        if (line.size() > keep && !cut) {
            cut = true;
            kept.reserve(start + keep);
            kept.append(text.left(start));
        }
        if (cut) {
            kept.append(line.left(keep));
            if (!last) {
                kept.append(u'\n');
            }
        }
        if (last) {
            break;
        }
        start = end + 1;
    }
    const QByteArray bytes = cut ? kept.toLocal8Bit() : text.toLocal8Bit();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

bool IsIntakeLine(std::string_view line, IntakeSource source) {
    // The length is looked at first, so that a line of megabytes costs nothing more.
    if (line.empty() || line.size() > kMaxAddressLength || HasControlBytes(line)) {
        return false;
    }
    if (IsOtherSiteAddress(line)) {
        return source == IntakeSource::PasteOrDrop || !VideoExtensionOfAddress(line).empty();
    }
    return IsVideoUrl(line);
}

std::vector<std::string> SplitClipboardUrls(std::string_view text,
                                            const std::vector<std::string>& jobs,
                                            IntakeSource source) {
    CaselessSet seen(jobs);
    std::vector<std::string> accepted;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t lf = text.find('\n', start);
        std::string_view piece = text.substr(start, lf == std::string_view::npos ? lf : lf - start);
        if (lf != std::string_view::npos && !piece.empty() && piece.back() == '\r') {
            piece.remove_suffix(1);
        }
        if (IsIntakeLine(piece, source) && seen.Insert(piece)) {
            accepted.emplace_back(piece);
        }
        if (lf == std::string_view::npos) {
            break;
        }
        start = lf + 1;
    }
    return accepted;
}

std::optional<std::vector<std::string>> IntakeAddresses(std::string_view text,
                                                        const std::vector<std::string>& jobs,
                                                        IntakeSource source) {
    const std::string_view trimmed = TrimView(text);
    // Addresses of the video site's cache server are never jobs; the whole text is ignored.
    if (text::StartsWithCaseless(trimmed, sites::kYouTubeCacheAddress)) {
        return std::nullopt;
    }
    // The lines decide, without a search through a text that may be megabytes long: every line
    // of the served sites that is taken holds ".com", and other sites' addresses need none.
    return SplitClipboardUrls(trimmed, jobs, source);
}

std::vector<std::string> NewFileJobs(const std::vector<std::string>& files,
                                     const std::vector<std::string>& jobs) {
    CaselessSet seen(jobs);
    std::vector<std::string> added;
    for (const std::string& file : files) {
        if (seen.Insert(file)) {
            added.push_back(file);
        }
    }
    return added;
}

int SelectionAfterRemove(int selected, int count) {
    return selected < count - 1 ? selected : count - 2;
}

int JobColumnWidth(int count) {
    return count > 5 ? 355 : 374;
}
