#include "common/VideoUrl.h"

#include <string>

#include "common/Sites.h"
#include "common/Text.h"

namespace {

constexpr std::string_view kWatchMarker = "watch";
constexpr std::string_view kSingleVideoMarker = "watch?v=";
constexpr std::string_view kIndexKey = "index=";
constexpr std::string_view kIdListKey = "video_ids=";
constexpr std::string_view kIdSeparator = "%2C";
constexpr std::string_view kParamSeparator = "&";
constexpr std::string_view kVideoKey = "v=";

std::string PlaylistPath() {
    return std::string(sites::kYouTubeDomain) + "/watch_videos";
}
std::string WatchPath() {
    return std::string(sites::kYouTubeDomain) + "/watch";
}

// The text of s before the first caseless occurrence of cut, or all of s.
std::string_view CutBefore(std::string_view s, std::string_view cut) {
    const std::size_t at = text::FindCaseless(s, cut);
    return at == text::npos ? s : s.substr(0, at);
}

// The index of an "index=" key: its value up to the next "&", or up to the end when the key is
// the last parameter. -1 when the key is missing or the value is not a whole number.
std::int32_t PlaylistIndex(std::string_view url) {
    const std::size_t key = text::FindCaseless(url, kIndexKey);
    if (key == text::npos) {
        return -1;
    }
    return text::StrToIntDef(CutBefore(url.substr(key + kIndexKey.size()), kParamSeparator), -1);
}

// The first id of the "video_ids=" list, with whatever parameters follow a lone id. The separator
// is matched exactly here; a lower-case "%2c" does not cut the list.
std::string FirstListedId(std::string_view url) {
    const std::size_t key = text::FindCaseless(url, kIdListKey);
    if (key == text::npos) {
        return {};
    }
    std::string_view ids = url.substr(key + kIdListKey.size());
    const std::size_t sep = ids.find(kIdSeparator);
    return std::string(sep == text::npos ? ids : ids.substr(0, sep));
}

std::string PlaylistToWatchUrl(std::string_view url) {
    std::string result(sites::kCanonicalWatchPrefix);
    const std::int32_t index = PlaylistIndex(url);
    if (index > 0) {
        // Skip index separators counted over the whole address; past the end of the list the
        // last id stays.
        std::string_view rest = url;
        for (std::int32_t n = index; n > 0; --n) {
            const std::size_t sep = text::FindCaseless(rest, kIdSeparator);
            if (sep == text::npos) {
                break;
            }
            rest = rest.substr(sep + kIdSeparator.size());
        }
        const std::size_t sep = text::FindCaseless(rest, kIdSeparator);
        if (sep != text::npos) {
            result.append(rest.substr(0, sep));
        } else {
            result.append(CutBefore(rest, kParamSeparator));
        }
        return result;
    }
    // No usable index (none, 0, negative or not a number): the first id of the list.
    result.append(FirstListedId(url));
    return result;
}

}  // namespace

bool IsVideoUrl(std::string_view url) {
    if (text::ContainsCaseless(url, sites::kYouTubeDomain) ||
        text::ContainsCaseless(url, sites::kMetacafeDomain)) {
        return text::ContainsCaseless(url, kWatchMarker);
    }
    return text::ContainsCaseless(url, sites::kGoogleDomain);
}

std::string NormalizeVideoUrl(std::string_view url) {
    if (!text::ContainsCaseless(url, sites::kYouTubeDomain) ||
        text::ContainsCaseless(url, kSingleVideoMarker)) {
        return std::string(url);
    }
    if (text::ContainsCaseless(url, PlaylistPath())) {
        return PlaylistToWatchUrl(url);
    }
    const std::string watchPath = WatchPath();
    const std::size_t watch = text::FindCaseless(url, watchPath);
    if (watch == text::npos) {
        return std::string(url);
    }
    const std::size_t key = text::FindCaseless(url, kVideoKey);
    if (key == text::npos) {
        return std::string(url);
    }
    std::string result(url.substr(0, watch + watchPath.size()));
    result.push_back('?');
    result.append(url.substr(key));
    return result;
}

namespace {

// The path of an address: after the host, before its query and fragment.
std::string_view PathOf(std::string_view url) {
    url = WithoutFragment(url);
    url = url.substr(0, url.find('?'));
    const std::size_t sep = url.find("://");
    if (sep == std::string_view::npos) {
        return url;
    }
    const std::size_t slash = url.find('/', sep + 3);
    return slash == std::string_view::npos ? std::string_view() : url.substr(slash);
}

std::string ExtensionOfPath(std::string_view path) {
    const std::size_t dot = path.rfind('.');
    if (dot == std::string_view::npos || path.find('/', dot) != std::string_view::npos) {
        return {};
    }
    return text::LowerCase(path.substr(dot));
}

}  // namespace

bool IsWebAddress(std::string_view url) {
    for (const std::string_view scheme : {"http://", "https://"}) {
        if (text::StartsWithCaseless(url, scheme) && url.size() > scheme.size() &&
            url[scheme.size()] != '/') {
            return true;
        }
    }
    return false;
}

bool IsOtherSiteAddress(std::string_view url) {
    return IsWebAddress(url) && !text::ContainsCaseless(url, sites::kYouTubeDomain) &&
           !text::ContainsCaseless(url, sites::kMetacafeDomain) &&
           !text::ContainsCaseless(url, sites::kGoogleDomain);
}

std::string_view WithoutFragment(std::string_view url) {
    return url.substr(0, url.find('#'));
}

std::string VideoExtensionOfAddress(std::string_view url) {
    const std::string ext = ExtensionOfPath(PathOf(url));
    for (const std::string_view known : {".mp4", ".webm", ".ogv", ".mkv", ".mov", ".m4v", ".flv"}) {
        if (ext == known) {
            return ext;
        }
    }
    return {};
}

bool IsManifestAddress(std::string_view url) {
    const std::string ext = ExtensionOfPath(PathOf(url));
    return ext == ".m3u8" || ext == ".mpd";
}
