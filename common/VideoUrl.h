#pragma once

// Which addresses are video pages of the served sites, and the single-video form of YouTube
// addresses. Plain functions over bytes; letters compare ignoring ASCII case; they never throw.

#include <string>
#include <string_view>

// True when the address is a video page of one of the served sites: a YouTube or Metacafe
// address with "watch" anywhere in it, or any address on the Google domain.
bool IsVideoUrl(std::string_view url);

// The address in single-video form ("/watch?v=ID"), or the address unchanged when no rule applies.
// Only YouTube addresses are rewritten. Playlist addresses ("/watch_videos") are reduced to the
// one id they point at: the id after the index-th "%2C" when an index of 1 or more is given,
// otherwise the first id of "video_ids=".
std::string NormalizeVideoUrl(std::string_view url);

// An http or https address of none of the served sites' domains: a page (or file) of another
// site, which the served sites' rules never apply to.
bool IsOtherSiteAddress(std::string_view url);

// An http or https address: a scheme of either name (any case), "://", and a host.
bool IsWebAddress(std::string_view url);

// The address without its "#fragment".
std::string_view WithoutFragment(std::string_view url);

// The video extension its path ends in (".mp4", ".webm", ".ogv", ".mkv", ".mov", ".m4v" or
// ".flv", in lower case), or "" when it ends in none. Query and fragment are not part of the
// path.
std::string VideoExtensionOfAddress(std::string_view url);

// True when the path names a streaming manifest (".m3u8" or ".mpd"), which the program does not
// download.
bool IsManifestAddress(std::string_view url);
