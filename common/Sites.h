#pragma once

// Domains and host names of the three served sites. Address recognition, clipboard intake and the
// page parser all read them from here, so that the sites can be moved in one place.

#include <string_view>

namespace sites {

// Registered domains, tested (ignoring case) anywhere in an address.
inline constexpr std::string_view kYouTubeDomain = "youtube.com";
inline constexpr std::string_view kMetacafeDomain = "metacafe.com";
inline constexpr std::string_view kGoogleDomain = "google.com";

// The YouTube web host: file addresses are built on it.
inline constexpr std::string_view kYouTubeWebHost = "www.youtube.com";
// Every single-video address that a playlist address is reduced to starts with this.
inline constexpr std::string_view kCanonicalWatchPrefix = "http://www.youtube.com/watch?v=";

// The video cache server. Clipboard text that starts with its address is a file address copied
// out of a running download, never a page to take in.
inline constexpr std::string_view kYouTubeCacheHost = "cache.youtube.com";
inline constexpr std::string_view kYouTubeCacheAddress = "http://cache.youtube.com";

// Metacafe: the web host names the origin inside the file path, the file host serves the file.
inline constexpr std::string_view kMetacafeWebHost = "www.metacafe.com";
inline constexpr std::string_view kMetacafeVideoFileHost = "video.metacafe.com";

// Google Video pages link their file through this proxy host.
inline constexpr std::string_view kGoogleVideoProxyHost = "vp.video.google.com";

// The composed addresses must agree with the host names they are made of.
constexpr bool EndsWith(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}
static_assert(kCanonicalWatchPrefix.substr(0, 7) == "http://");
static_assert(kCanonicalWatchPrefix.substr(7, kYouTubeWebHost.size()) == kYouTubeWebHost);
static_assert(kCanonicalWatchPrefix.substr(7 + kYouTubeWebHost.size()) == "/watch?v=");
static_assert(kYouTubeCacheAddress.substr(0, 7) == "http://");
static_assert(kYouTubeCacheAddress.substr(7) == kYouTubeCacheHost);
static_assert(EndsWith(kYouTubeWebHost, kYouTubeDomain));
static_assert(EndsWith(kYouTubeCacheHost, kYouTubeDomain));
static_assert(EndsWith(kMetacafeWebHost, kMetacafeDomain));
static_assert(EndsWith(kMetacafeVideoFileHost, kMetacafeDomain));
static_assert(EndsWith(kGoogleVideoProxyHost, kGoogleDomain));

}  // namespace sites
