#pragma once

// Pages of sites other than the three served ones: most name their video file in standard
// places that need no site-specific code. The resolver reads them in one pass over the page,
// in time linear in its length whatever it holds, and knows nothing of browsers or sockets.

#include <string>
#include <string_view>

struct FoundVideo {
    enum class Kind {
        File,          // url is the video file
        NoVideo,       // the page names no file the program can fetch
        ManifestOnly,  // only a streaming manifest (.m3u8, .mpd), which is not downloaded
    };
    Kind kind = Kind::NoVideo;
    std::string url;        // the file's (or the manifest's) absolute address
    std::string title;      // og:title, else <title>, else the file's name; entities decoded
    std::string extension;  // ".mp4", ".webm", ".ogv", ".mkv", ".mov", ".m4v" or ".flv"
    std::string fileName;   // the name the file is stored under, at most 255 bytes
};

// The longest address taken from a page; longer ones are not addresses anyone serves.
constexpr std::size_t kMaxPageAddressBytes = 8192;

// The video file a page names, looked for in this order: og:video:secure_url, og:video:url and
// og:video of a video type; a JSON-LD VideoObject's contentUrl; <video src> and its
// <source src>; a link to a file with a video extension. Addresses are resolved against
// pageUrl or the page's <base href>. Quality 0 and 1 take the first usable source, 2 and 3
// the one with the most lines. An address that leads back to the page itself is no file.
FoundVideo ResolveVideoPage(std::string_view page, std::string_view pageUrl, int quality);

// Whether a response is the video file itself rather than a page: a video/* type, or an octet
// stream whose address ends in a video extension.
bool IsVideoResponse(std::string_view contentType, std::string_view url);

// The extension a file of this address and type is stored with: the address's own video
// extension, else the one of its type, else ".mp4".
std::string VideoExtensionFor(std::string_view url, std::string_view contentType);

// The name a file with this title is stored under: the title cut to fit, trimmed, the
// extension appended and the characters a file name cannot hold dropped. An empty title takes
// the file's name from its address, and failing that "get_video".
std::string VideoFileName(std::string_view title, std::string_view url, std::string_view extension);

// Text with the HTML character references decoded: the named ones pages use in titles and
// addresses (&amp; &lt; &gt; &quot; &apos; &nbsp;) and numeric ones (&#39; &#x2F;) as UTF-8.
// Each reference is decoded once.
std::string DecodeHtmlEntities(std::string_view text);
