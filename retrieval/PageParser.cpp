#include "retrieval/PageParser.h"

#include <string.h>

#include <chrono>
#include <optional>
#include <random>

#include "common/Sites.h"
#include "common/StringTable.h"
#include "common/Text.h"
#include "retrieval/TitleToFileName.h"

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

// The captured page with exact and caseless first-occurrence searches. Pages run to megabytes and
// are searched many times a second, so the searches use the C library's substring search, and
// caseless ones run over a lower-cased copy made once, when the first caseless search needs it.
class PageText {
public:
    explicit PageText(std::string_view page) : page_(page) {}

    std::string_view View() const { return page_; }
    std::size_t Size() const { return page_.size(); }

    std::size_t Find(std::string_view needle, std::size_t from = 0) const {
        return Search(page_, needle, from);
    }

    std::size_t FindCaseless(std::string_view needle, std::size_t from = 0) {
        if (!lower_) {
            lower_ = text::LowerCase(page_);
        }
        return Search(*lower_, text::LowerCase(needle), from);
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
    static std::size_t Search(std::string_view hay, std::string_view needle, std::size_t from) {
        if (from > hay.size() || needle.size() > hay.size() - from) {
            return npos;
        }
        if (needle.empty()) {
            return from;
        }
        const void* hit =
            memmem(hay.data() + from, hay.size() - from, needle.data(), needle.size());
        return hit == nullptr
                   ? npos
                   : static_cast<std::size_t>(static_cast<const char*>(hit) - hay.data());
    }

    std::string_view page_;
    std::optional<std::string> lower_;
};

std::optional<PassOutcome> YouTubePass(PageText& page, std::string_view jobUrl, PageState& state,
                                       std::string& message) {
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

    // Titles in three forms, the first that is present wins. Every name TitleToFileName makes
    // ends in ".flv", so its presence means a title has been found, in this pass or an earlier one.
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

        const std::size_t equals = jobUrl.find('=');
        if (equals == npos) {
            return PassOutcome::PollAgain;
        }
        std::string_view id = jobUrl.substr(equals + 1);
        const std::size_t feature = text::FindCaseless(id, kFeatureParam);
        if (feature != npos) {
            id = id.substr(0, feature);
        }

        std::string url = "http://";
        url.append(sites::kYouTubeWebHost);
        url.append(kGetVideoPath);
        url.append(id);
        url.append(kTokenParam);
        url.append(token);
        state.eDownloadUrl = std::move(url);
    }

    // Without the marker the page may still be filling in: poll on until the attempt ends.
    if (!state.HDAvailable && hd == npos) {
        return PassOutcome::PollAgain;
    }
    return std::nullopt;
}

std::optional<PassOutcome> MetacafePass(PageText& page, PageState& state) {
    state.eFileName.clear();
    const std::size_t open = page.FindCaseless(kTitleOpen);
    if (open != npos) {
        const std::size_t start = open + kTitleOpen.size();
        const std::size_t end = page.FindCaseless(kMetacafeTitleEnd, start);
        if (end != npos) {
            state.eFileName = text::Trim(page.Between(start, end)) + ".flv";
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
        state.eFileName = std::string(name);
    }

    std::string url = "http://";
    url.append(sites::kMetacafeVideoFileHost);
    url.append(kItemFilesPath);
    url.append(sites::kMetacafeWebHost);
    url.append(kItemFilesOriginEnd);
    url.append(name);
    state.eDownloadUrl = std::move(url);
    return std::nullopt;
}

std::optional<PassOutcome> GoogleVideoPass(PageText& page, PageState& state,
                                           const SeedSource& seed) {
    // The files are not FLV; nothing of this run is converted from here on.
    state.Mode = 0;

    const std::size_t open = page.FindCaseless(kTitleOpen);
    if (open != npos) {
        const std::size_t start = open + kTitleOpen.size();
        const std::size_t close = page.FindCaseless(kTitleClose, start);
        if (close != npos) {
            state.eFileName = text::Trim(page.Between(start, close)) + std::string(kGoogleVideoExt);
        }
    }
    if (state.eFileName.empty()) {
        std::mt19937 generator(seed ? seed() : ClockSeed());
        std::uniform_int_distribution<int> number(0, 255);
        state.eFileName = std::string(kGoogleVideoFallbackName) + std::to_string(number(generator));
    }

    std::string linkStart(kLinkStart);
    linkStart.append("http://");
    linkStart.append(sites::kGoogleVideoProxyHost);
    const std::size_t link = page.FindCaseless(linkStart);
    if (link == npos) {
        return PassOutcome::PollAgain;
    }
    const std::size_t target = link + kLinkStart.size();
    const std::size_t end = page.FindCaseless(kLinkEnd, target);
    if (end == npos) {
        return PassOutcome::PollAgain;
    }
    state.eDownloadUrl = std::string(page.Between(target, end));
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
