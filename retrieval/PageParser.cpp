#include "retrieval/PageParser.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <random>
#include <utility>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/Global.h"
#include "common/Sites.h"
#include "common/StringTable.h"
#include "common/Text.h"
#include "http/HttpUrl.h"
#include "retrieval/TitleToFileName.h"

// ---- Marker search ----
//
// A pass searches a page of up to megabytes for a dozen markers, many times a second, and most
// markers are absent from most pages, so every search usually crosses the whole page. Each search
// tests two anchor bytes of the marker, the two that are rarest in web pages, at 16 or 32
// positions at once, and compares the whole marker only where both anchors agree. Caseless searches
// fold the anchors by setting bit 0x20, which maps exactly A-Z onto a-z for a letter anchor, so no
// lower-cased copy of the page is made.

namespace {

// Rough frequency of each byte in web pages; only the order matters.
constexpr std::array<std::uint8_t, 256> ByteFrequencies() {
    std::array<std::uint8_t, 256> f{};
    for (int c = 0; c < 256; ++c) {
        f[c] = c >= 128 ? 2 : 1;
    }
    for (int c = 'A'; c <= 'Z'; ++c) {
        f[c] = 3;
    }
    for (int c = '0'; c <= '9'; ++c) {
        f[c] = 8;
    }
    constexpr std::pair<char, std::uint8_t> common[] = {
        {' ', 150}, {'e', 70}, {'t', 60}, {'a', 55}, {'o', 50}, {'i', 50},  {'n', 50},  {'s', 45},
        {'r', 45},  {'"', 40}, {'l', 35}, {'c', 30}, {'d', 30}, {'h', 30},  {'<', 25},  {'>', 25},
        {'/', 25},  {'=', 25}, {'u', 25}, {'m', 22}, {'p', 22}, {'\n', 20}, {'f', 15},  {'g', 15},
        {'v', 15},  {'.', 15}, {'w', 12}, {'y', 12}, {'b', 12}, {'-', 10},  {'\t', 10}, {':', 8},
        {',', 8},   {';', 8},  {'\'', 8}, {'k', 6},  {'&', 5},  {'x', 4},   {'_', 4},   {'#', 4},
        {'(', 4},   {')', 4},  {'{', 3},  {'}', 3},  {'?', 3},  {'q', 2},   {'j', 2},   {'%', 2},
    };
    for (const auto& [c, n] : common) {
        f[static_cast<unsigned char>(c)] = n;
    }
    return f;
}
constexpr std::array<std::uint8_t, 256> kByteFrequency = ByteFrequencies();

bool IsUpper(unsigned char c) {
    return c >= 'A' && c <= 'Z';
}
bool IsLower(unsigned char c) {
    return c >= 'a' && c <= 'z';
}
unsigned char Fold(unsigned char c) {
    return IsUpper(c) ? static_cast<unsigned char>(c + 32) : c;
}

class MarkerSearch {
public:
    MarkerSearch(std::string_view needle, bool caseless) : needle_(needle), caseless_(caseless) {
        // Pick the rarest byte, then the rarest at another position.
        auto weight = [&](std::size_t i) {
            const auto c = static_cast<unsigned char>(needle[i]);
            if (caseless && (IsUpper(c) || IsLower(c))) {
                const unsigned char lower = Fold(c);
                return kByteFrequency[lower] + kByteFrequency[lower - 32];
            }
            return static_cast<int>(kByteFrequency[c]);
        };
        std::size_t first = 0;
        for (std::size_t i = 1; i < needle.size(); ++i) {
            if (weight(i) < weight(first)) {
                first = i;
            }
        }
        std::size_t second = first;
        for (std::size_t i = 0; i < needle.size(); ++i) {
            if (i != first && (second == first || weight(i) < weight(second))) {
                second = i;
            }
        }
        offset1_ = std::min(first, second);
        offset2_ = std::max(first, second);
        if (!needle.empty()) {
            SetAnchor(offset1_, byte1_, mask1_);
            SetAnchor(offset2_, byte2_, mask2_);
        }
    }

    std::size_t Size() const { return needle_.size(); }

    std::size_t Find(std::string_view hay, std::size_t from) const {
        const std::size_t m = needle_.size();
        if (from > hay.size() || m > hay.size() - from) {
            return std::string_view::npos;
        }
        if (m == 0) {
            return from;
        }
        const auto* data = reinterpret_cast<const unsigned char*>(hay.data());
        const std::size_t last = hay.size() - m;  // last position a match can start at
        std::size_t pos = from;
#if defined(__x86_64__)
        if (HasAvx2()) {
            const std::size_t at = BlocksAvx2(data, pos, last);
            if (at != std::string_view::npos) {
                return at;
            }
        }
#endif
#if defined(__SSE2__)
        {
            const std::size_t at = BlocksSse2(data, pos, last);
            if (at != std::string_view::npos) {
                return at;
            }
        }
#endif
        for (; pos <= last; ++pos) {
            if ((data[pos + offset1_] | mask1_) == byte1_ &&
                (data[pos + offset2_] | mask2_) == byte2_ && Matches(data + pos)) {
                return pos;
            }
        }
        return std::string_view::npos;
    }

private:
#if defined(__SSE2__)
    // Tests whole blocks of 16 start positions from pos on, as long as a block's anchors lie
    // inside the text; pos is left at the first position not tested.
    std::size_t BlocksSse2(const unsigned char* data, std::size_t& pos, std::size_t last) const {
        const __m128i b1 = _mm_set1_epi8(static_cast<char>(byte1_));
        const __m128i b2 = _mm_set1_epi8(static_cast<char>(byte2_));
        const __m128i k1 = _mm_set1_epi8(static_cast<char>(mask1_));
        const __m128i k2 = _mm_set1_epi8(static_cast<char>(mask2_));
        std::size_t p = pos;  // a local, so the loop keeps it in a register
        for (; p + 16 <= last + 1; p += 16) {
            const __m128i a1 =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + p + offset1_));
            const __m128i a2 =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + p + offset2_));
            const __m128i e1 = _mm_cmpeq_epi8(_mm_or_si128(a1, k1), b1);
            const __m128i e2 = _mm_cmpeq_epi8(_mm_or_si128(a2, k2), b2);
            auto bits = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(e1, e2)));
            for (; bits != 0; bits &= bits - 1) {
                const std::size_t at = p + static_cast<std::size_t>(__builtin_ctz(bits));
                if (Matches(data + at)) {
                    return at;
                }
            }
        }
        pos = p;
        return std::string_view::npos;
    }
#endif

#if defined(__x86_64__)
    static bool HasAvx2() {
        static const bool has = __builtin_cpu_supports("avx2");
        return has;
    }

    // As BlocksSse2 with 32 positions per block, on processors that have the wider registers.
    __attribute__((target("avx2"))) std::size_t BlocksAvx2(const unsigned char* data,
                                                           std::size_t& pos,
                                                           std::size_t last) const {
        const __m256i b1 = _mm256_set1_epi8(static_cast<char>(byte1_));
        const __m256i b2 = _mm256_set1_epi8(static_cast<char>(byte2_));
        const __m256i k1 = _mm256_set1_epi8(static_cast<char>(mask1_));
        const __m256i k2 = _mm256_set1_epi8(static_cast<char>(mask2_));
        std::size_t p = pos;  // a local, so the loop keeps it in a register
        for (; p + 32 <= last + 1; p += 32) {
            const __m256i a1 =
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + p + offset1_));
            const __m256i a2 =
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + p + offset2_));
            const __m256i e1 = _mm256_cmpeq_epi8(_mm256_or_si256(a1, k1), b1);
            const __m256i e2 = _mm256_cmpeq_epi8(_mm256_or_si256(a2, k2), b2);
            auto bits = static_cast<unsigned>(_mm256_movemask_epi8(_mm256_and_si256(e1, e2)));
            for (; bits != 0; bits &= bits - 1) {
                const std::size_t at = p + static_cast<std::size_t>(__builtin_ctz(bits));
                if (Matches(data + at)) {
                    return at;
                }
            }
        }
        pos = p;
        return std::string_view::npos;
    }
#endif

    void SetAnchor(std::size_t offset, unsigned char& byte, unsigned char& mask) const {
        const auto c = static_cast<unsigned char>(needle_[offset]);
        const bool letter = IsUpper(c) || IsLower(c);
        mask = caseless_ && letter ? 0x20 : 0;
        byte = static_cast<unsigned char>(c | mask);
    }

    bool Matches(const unsigned char* at) const {
        if (!caseless_) {
            return std::memcmp(at, needle_.data(), needle_.size()) == 0;
        }
        for (std::size_t i = 0; i < needle_.size(); ++i) {
            if (Fold(at[i]) != Fold(static_cast<unsigned char>(needle_[i]))) {
                return false;
            }
        }
        return true;
    }

    std::string_view needle_;
    bool caseless_;
    std::size_t offset1_ = 0;
    std::size_t offset2_ = 0;
    unsigned char byte1_ = 0;
    unsigned char byte2_ = 0;
    unsigned char mask1_ = 0;
    unsigned char mask2_ = 0;
};

}  // namespace

std::size_t FindMarker(std::string_view hay, std::string_view needle, std::size_t from,
                       bool caseless) {
    return MarkerSearch(needle, caseless).Find(hay, from);
}

namespace {

constexpr std::size_t npos = std::string_view::npos;

// YouTube page markers.
constexpr std::string_view kAgeGateBirthDate = "confirm birth date";
constexpr std::string_view kAgeGateVerify18 = "please verify you are 18 or older";
constexpr std::string_view kAgeGateVerifyAge = "verify_age";
constexpr std::string_view kAgeGate18 = "18";
constexpr std::string_view kUnavailableNotice = "This functionality is not available right now";
constexpr std::string_view kHdMarker = "IS_HD_AVAILABLE";
constexpr std::size_t kHdValueLength = 10;
constexpr std::string_view kHdTrue = "true";
constexpr std::string_view kTitleForm1 = "<title>YouTube - ";
constexpr std::string_view kTitleForm1End = "/title>";
constexpr std::string_view kTitleForm2 = "meta name=\"title\" content=\"";
constexpr std::string_view kTitleOpen = "<title>";
constexpr std::string_view kTitleClose = "</title>";
constexpr std::string_view kTokenQuoted = "\"t\":";
constexpr std::string_view kTokenParam = "&t=";
constexpr std::string_view kFeatureParam = "&feature=";
constexpr std::string_view kGetVideoPath = "/get_video?video_id=";
constexpr std::string_view kFileNameExt = ".flv";

// Metacafe page markers.
constexpr std::string_view kMetacafeTitleEnd = "- Video";
constexpr std::string_view kEncodedBlank = "%2520";
constexpr std::string_view kItemFilesPath = "/ItemFiles/%5BFrom%20";
constexpr std::string_view kItemFilesOriginEnd = "%5D%20";

// Google Video page markers.
constexpr std::string_view kLinkStart = "href=\"";
constexpr std::string_view kLinkEnd = "\">this link";
constexpr std::string_view kGoogleVideoExt = ".mp4";
constexpr std::string_view kGoogleVideoFallbackName = "GoogleVideo";

struct Marker {
    std::string_view needle;
    bool caseless = false;
};

// The captured page with exact and caseless first-occurrence searches over its bytes. The markers
// a branch looks for from the start of the page are found together in one sweep (Prefetch), so a
// page of megabytes is read from memory once per pass rather than once per marker.
class PageText {
public:
    explicit PageText(std::string_view page) : page_(page) {}

    std::string_view View() const { return page_; }
    std::size_t Size() const { return page_.size(); }

    void Prefetch(std::initializer_list<Marker> markers) {
        std::vector<MarkerSearch> searches;
        std::vector<std::size_t> found(markers.size(), npos);
        std::vector<std::size_t> open;  // indexes of markers not found yet
        for (const Marker& marker : markers) {
            open.push_back(searches.size());
            searches.emplace_back(marker.needle, marker.caseless);
        }
        for (std::size_t chunk = 0; chunk < page_.size() && !open.empty(); chunk += kSweepChunk) {
            for (std::size_t k = 0; k < open.size();) {
                const std::size_t i = open[k];
                // A match starting inside this chunk may end past it.
                const std::size_t end =
                    std::min(page_.size(), chunk + kSweepChunk + searches[i].Size() - 1);
                const std::size_t at = searches[i].Find(page_.substr(0, end), chunk);
                if (at != npos) {
                    found[i] = at;
                    open[k] = open.back();
                    open.pop_back();
                } else {
                    ++k;
                }
            }
        }
        std::size_t i = 0;
        for (const Marker& marker : markers) {
            if (!marker.needle.empty()) {  // found at 'from' anyway, never worth a sweep
                cache_.push_back({marker, found[i]});
            }
            ++i;
        }
    }

    std::size_t Find(std::string_view needle, std::size_t from = 0) const {
        return Search({needle, false}, from);
    }
    std::size_t FindCaseless(std::string_view needle, std::size_t from = 0) const {
        return Search({needle, true}, from);
    }

    // The text from 'from' up to 'to' (exclusive), clamped to the page.
    std::string_view Between(std::size_t from, std::size_t to) const {
        if (from >= page_.size() || to <= from) {
            return {};
        }
        return page_.substr(from, to - from);
    }
    std::string_view From(std::size_t from) const {
        return from >= page_.size() ? std::string_view() : page_.substr(from);
    }

private:
    // Small enough to stay in the core's cache while every open marker is tested over it.
    static constexpr std::size_t kSweepChunk = 64 * 1024;

    struct Cached {
        Marker marker;
        std::size_t position;
    };

    std::size_t Search(Marker marker, std::size_t from) const {
        if (from == 0) {
            for (const Cached& c : cache_) {
                if (c.marker.caseless == marker.caseless && c.marker.needle == marker.needle) {
                    return c.position;
                }
            }
        }
        return FindMarker(page_, marker.needle, from, marker.caseless);
    }

    std::string_view page_;
    std::vector<Cached> cache_;
};

// The video id of a YouTube job: the text after the first "=", up to "&feature=" (caseless).
std::optional<std::string_view> VideoId(std::string_view jobUrl) {
    const std::size_t equals = jobUrl.find('=');
    if (equals == npos) {
        return std::nullopt;
    }
    std::string_view id = jobUrl.substr(equals + 1);
    const std::size_t feature = text::FindCaseless(id, kFeatureParam);
    if (feature != npos) {
        id = id.substr(0, feature);
    }
    return id;
}

// The name for a video whose title gives none: its id, or "video" and the job's number.
std::string FallbackName(std::string_view jobUrl, std::int32_t jobNumber) {
    const std::optional<std::string_view> id = VideoId(jobUrl);
    std::string name = CleanFileName(
        CutAtCharacter(id.value_or(std::string_view()), kMaxFileNameBytes - kFileNameExt.size()));
    if (text::Trim(name).empty() || name.front() == '.') {
        name = "video";
        if (jobNumber > 0) {
            name += " " + std::to_string(jobNumber);
        }
    }
    return name;
}

// A title of another branch, cut to what a name with the extension can hold and trimmed.
std::string TrimmedTitle(std::string_view title, std::string_view ext) {
    return text::Trim(CutAtCharacter(title, kMaxFileNameBytes - ext.size()));
}

std::optional<PassOutcome> YouTubePass(PageText& page, std::string_view jobUrl, PageState& state,
                                       std::string& message) {
    page.Prefetch({{kAgeGateBirthDate, true},
                   {kAgeGateVerify18, true},
                   {kAgeGateVerifyAge, true},
                   {kUnavailableNotice, true},
                   {kHdMarker},
                   {kTitleForm1},
                   {kTitleForm2},
                   {kTitleOpen},
                   {kTokenQuoted},
                   {kTokenParam}});
    // Age gates: the video needs a signed-in account, and no later pass will get past them.
    if (page.FindCaseless(kAgeGateBirthDate) != npos ||
        page.FindCaseless(kAgeGateVerify18) != npos ||
        (page.FindCaseless(kAgeGateVerifyAge) != npos && page.Find(kAgeGate18) != npos)) {
        message = AgeMessage();
        return PassOutcome::StopRun;
    }
    if (page.FindCaseless(kUnavailableNotice) != npos) {
        return PassOutcome::GiveUpAttempt;
    }

    const std::size_t hd = page.Find(kHdMarker);
    if (hd != npos) {
        const std::string_view value =
            page.View().substr(hd + kHdMarker.size()).substr(0, kHdValueLength);
        if (text::ContainsCaseless(value, kHdTrue)) {
            state.HDAvailable = true;
        }
    }

    // Titles come in three forms. The first always sets the name when present; the other two only
    // fill in while no title has been found, in this pass or an earlier one: every name that
    // TitleToFileName makes ends in ".flv".
    const std::size_t form1 = page.Find(kTitleForm1);
    if (form1 != npos) {
        const std::size_t start = form1 + kTitleForm1.size();
        const std::size_t end = page.Find(kTitleForm1End, start);
        if (end != npos) {
            std::string_view title = page.Between(start, end);
            if (!title.empty() && title.back() == '<') {
                title.remove_suffix(1);
            }
            state.eFileName = TitleToFileName(title);
        }
    }
    if (!text::Contains(state.eFileName, kFileNameExt)) {
        const std::size_t form2 = page.Find(kTitleForm2);
        if (form2 != npos) {
            const std::size_t start = form2 + kTitleForm2.size();
            const std::size_t quote = page.Find("\"", start);
            if (quote != npos) {
                state.eFileName = TitleToFileName(page.Between(start, quote));
            } else if (start < page.Size()) {
                state.eFileName = TitleToFileName(page.From(start));
            }
        }
    }
    if (!text::Contains(state.eFileName, kFileNameExt)) {
        const std::size_t open = page.Find(kTitleOpen);
        if (open != npos) {
            const std::size_t start = open + kTitleOpen.size();
            const std::size_t close = page.Find(kTitleClose, start);
            if (close != npos) {
                state.eFileName = TitleToFileName(page.Between(start, close));
            }
        }
    }

    // An empty title, or one of entities and blanks only, leaves the bare extension: a hidden
    // file, and the same one for every such job.
    if (state.eFileName == kFileNameExt) {
        state.eFileName = FallbackName(jobUrl, state.JobNumber) + std::string(kFileNameExt);
    }

    if (state.eDownloadUrl.empty()) {
        std::string_view token;
        const std::size_t quoted = page.Find(kTokenQuoted);
        if (quoted != npos) {
            const std::size_t open = page.Find("\"", quoted + kTokenQuoted.size());
            if (open == npos) {
                return PassOutcome::PollAgain;
            }
            const std::size_t close = page.Find("\"", open + 1);
            if (close == npos) {
                return PassOutcome::PollAgain;
            }
            token = page.Between(open + 1, close);
        } else {
            const std::size_t param = page.Find(kTokenParam);
            if (param == npos) {
                return PassOutcome::PollAgain;
            }
            const std::size_t amp = page.Find("&", param + kTokenParam.size());
            if (amp == npos) {
                return PassOutcome::PollAgain;
            }
            token = page.Between(param + kTokenParam.size(), amp);
        }

        const std::optional<std::string_view> id = VideoId(jobUrl);
        if (!id) {
            return PassOutcome::PollAgain;
        }

        // Both pieces come from outside (the page, the copied address): a blank or a line
        // break in them must not reach the request line, and the token stays one value.
        std::string url = "http://";
        url.append(sites::kYouTubeWebHost);
        url.append(kGetVideoPath);
        url.append(EncodeUrlBytes(*id));
        url.append(kTokenParam);
        url.append(EncodeUrlBytes(token, "&#"));
        state.eDownloadUrl = std::move(url);
    }

    // Without the marker the page may still be filling in: poll on until the attempt ends.
    if (!state.HDAvailable && hd == npos) {
        return PassOutcome::PollAgain;
    }
    return std::nullopt;
}

std::optional<PassOutcome> MetacafePass(PageText& page, PageState& state) {
    page.Prefetch({{kTitleOpen, true}, {kFileNameExt, true}, {kEncodedBlank}});
    state.eFileName.clear();
    const std::size_t open = page.FindCaseless(kTitleOpen);
    if (open != npos) {
        const std::size_t start = open + kTitleOpen.size();
        const std::size_t end = page.FindCaseless(kMetacafeTitleEnd, start);
        // A title that leaves no name gives way to the file part, as no title does.
        const std::string title = TrimmedTitle(page.Between(start, end), kFileNameExt);
        if (end != npos && !CleanFileName(title).empty()) {
            state.eFileName = title + ".flv";
        }
    }

    // The file name is the text between the last "%2520" before the first ".flv" and that ".flv".
    const std::size_t flv = page.FindCaseless(kFileNameExt);
    if (flv == npos) {
        return PassOutcome::PollAgain;
    }
    std::size_t blank = page.Find(kEncodedBlank);
    if (blank == npos || blank > flv) {
        return PassOutcome::PollAgain;
    }
    for (std::size_t later = page.Find(kEncodedBlank, blank + kEncodedBlank.size());
         later != npos && later <= flv;
         later = page.Find(kEncodedBlank, later + kEncodedBlank.size())) {
        blank = later;
    }
    const std::string_view name =
        page.Between(blank + kEncodedBlank.size(), flv + kFileNameExt.size());
    if (state.eFileName.empty()) {
        state.eFileName =
            name.size() <= kMaxFileNameBytes
                ? std::string(name)
                : TrimmedTitle(name.substr(0, name.size() - kFileNameExt.size()), kFileNameExt) +
                      std::string(kFileNameExt);
    }

    std::string url = "http://";
    url.append(sites::kMetacafeVideoFileHost);
    url.append(kItemFilesPath);
    url.append(sites::kMetacafeWebHost);
    url.append(kItemFilesOriginEnd);
    url.append(EncodeUrlBytes(name));
    state.eDownloadUrl = std::move(url);
    return std::nullopt;
}

std::optional<PassOutcome> GoogleVideoPass(PageText& page, PageState& state,
                                           const SeedSource& seed) {
    std::string linkStart(kLinkStart);
    linkStart.append("http://");
    linkStart.append(sites::kGoogleVideoProxyHost);
    page.Prefetch({{kTitleOpen, true}, {linkStart, true}});

    // The files are not FLV; nothing of this run is converted from here on.
    state.Mode = 0;

    const std::size_t open = page.FindCaseless(kTitleOpen);
    if (open != npos) {
        const std::size_t start = open + kTitleOpen.size();
        const std::size_t close = page.FindCaseless(kTitleClose, start);
        const std::string title = TrimmedTitle(page.Between(start, close), kGoogleVideoExt);
        if (close != npos && !CleanFileName(title).empty()) {
            state.eFileName = title + std::string(kGoogleVideoExt);
        }
    }
    if (state.eFileName.empty()) {
        std::mt19937 generator(seed ? seed() : ClockSeed());
        std::uniform_int_distribution<int> number(0, 255);
        state.eFileName = std::string(kGoogleVideoFallbackName) + std::to_string(number(generator));
    }

    const std::size_t link = page.FindCaseless(linkStart);
    if (link == npos) {
        return PassOutcome::PollAgain;
    }
    const std::size_t target = link + kLinkStart.size();
    const std::size_t end = page.FindCaseless(kLinkEnd, target);
    if (end == npos) {
        return PassOutcome::PollAgain;
    }
    state.eDownloadUrl = EncodeUrlBytes(page.Between(target, end));
    return std::nullopt;
}

}  // namespace

std::uint32_t ClockSeed() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    const auto ticks = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count();
    return static_cast<std::uint32_t>(ticks ^ (ticks >> 32));
}

PassResult ParsePage(std::string_view page, std::string_view jobUrl, PageState state,
                     const SeedSource& seed) {
    PassResult result;
    PageText pageText(page);
    std::optional<PassOutcome> outcome;
    if (text::ContainsCaseless(jobUrl, sites::kYouTubeDomain)) {
        outcome = YouTubePass(pageText, jobUrl, state, result.message);
    }
    if (!outcome && text::ContainsCaseless(jobUrl, sites::kMetacafeDomain)) {
        outcome = MetacafePass(pageText, state);
    }
    if (!outcome && text::ContainsCaseless(jobUrl, sites::kGoogleDomain)) {
        outcome = GoogleVideoPass(pageText, state, seed);
    }
    result.outcome = outcome.value_or(state.eDownloadUrl.empty() ? PassOutcome::PollAgain
                                                                 : PassOutcome::Resolved);
    result.state = std::move(state);
    return result;
}
