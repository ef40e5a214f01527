#include "retrieval/GenericPage.h"

#include <array>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "common/Global.h"
#include "common/Text.h"
#include "common/VideoUrl.h"
#include "retrieval/TitleToFileName.h"
#include "retrieval/TransferPlan.h"

namespace {

using Attr = std::pair<std::string_view, std::string_view>;

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}
bool IsAlpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

std::string_view AttrOf(const std::vector<Attr>& attrs, std::string_view name) {
    for (const auto& [key, value] : attrs) {
        if (text::EqualsCaseless(key, name)) {
            return value;
        }
    }
    return {};
}

// Where the sources come from, best first.
enum class Origin { OpenGraph, JsonLd, VideoTag, Link };

// A source as the page writes it; resolved only once the whole page (and its <base>) is read.
struct RawSource {
    Origin origin;
    std::string_view address;  // undecoded, or already decoded for JSON-LD
    bool decoded = false;
    std::string_view type;
    int lines = 0;
};

// One og:video object: og:video (or og:video:url) starts it, the fields after it belong to it.
struct OgVideo {
    std::string_view url;
    std::string_view secureUrl;
    std::string_view type;
    int lines = 0;
};

// The lines a value tells: "1080p" anywhere in it, else its leading number. 0 when none.
int LinesOf(std::string_view value) {
    auto number = [](std::string_view digits) {
        int n = 0;
        for (const char c : digits.substr(0, 6)) {
            n = n * 10 + (c - '0');
        }
        return n;
    };
    for (std::size_t i = 0; i < value.size();) {
        if (!IsDigit(value[i])) {
            ++i;
            continue;
        }
        const std::size_t start = i;
        while (i < value.size() && IsDigit(value[i])) {
            ++i;
        }
        if (i < value.size() && (value[i] == 'p' || value[i] == 'P')) {
            return number(value.substr(start, i - start));
        }
    }
    std::size_t end = 0;
    while (end < value.size() && IsDigit(value[end])) {
        ++end;
    }
    return number(value.substr(0, end));
}

int LinesOfAttrs(const std::vector<Attr>& attrs) {
    for (const std::string_view name :
         {"data-height", "height", "size", "res", "label", "data-res", "data-quality", "title"}) {
        if (const int lines = LinesOf(AttrOf(attrs, name)); lines > 0) {
            return lines;
        }
    }
    return 0;
}

bool IsVideoType(std::string_view type) {
    return text::StartsWithCaseless(text::Trim(type), "video/");
}
bool IsManifestType(std::string_view type) {
    const std::string t = text::LowerCase(text::Trim(type));
    return t.find("mpegurl") != std::string::npos || t == "application/dash+xml";
}

void AppendUtf8(std::string& out, std::uint32_t code) {
    if (code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        code = 0xFFFD;
    }
    if (code < 0x80) {
        out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (code >> 6)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (code >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (code >> 18)));
        out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

int HexValue(char c) {
    if (IsDigit(c)) {
        return c - '0';
    }
    const char l = text::LowerChar(c);
    return l >= 'a' && l <= 'f' ? l - 'a' + 10 : -1;
}

// A JSON string starting after its opening quote; nullopt when it does not end. `end` is set
// past the closing quote.
std::optional<std::string> JsonString(std::string_view json, std::size_t from, std::size_t& end) {
    std::string out;
    std::size_t i = from;
    while (i < json.size()) {
        const char c = json[i++];
        if (c == '"') {
            end = i;
            return out;
        }
        if (c != '\\') {
            out.push_back(c);
            continue;
        }
        if (i >= json.size()) {
            break;
        }
        const char e = json[i++];
        switch (e) {
            case 'u': {
                std::uint32_t code = 0;
                for (int k = 0; k < 4; ++k, ++i) {
                    const int h = i < json.size() ? HexValue(json[i]) : -1;
                    if (h < 0) {
                        return std::nullopt;
                    }
                    code = code * 16 + static_cast<std::uint32_t>(h);
                }
                AppendUtf8(out, code);
                break;
            }
            case 'n':
            case 't':
            case 'r':
            case 'b':
            case 'f':
                out.push_back(' ');
                break;
            default:
                out.push_back(e);  // \" \\ \/
        }
    }
    end = json.size();
    return std::nullopt;
}

// The contentUrl values of a JSON-LD block that describes a VideoObject. Not a JSON parser: a
// block that is no JSON simply yields nothing usable.
void ReadJsonLd(std::string_view json, std::vector<std::string>& out) {
    if (json.find("VideoObject") == std::string_view::npos) {
        return;
    }
    constexpr std::string_view kKey = "\"contentUrl\"";
    std::size_t at = json.find(kKey);
    while (at != std::string_view::npos) {
        std::size_t i = at + kKey.size();
        while (i < json.size() && IsSpace(json[i])) {
            ++i;
        }
        std::size_t next = i;
        if (i < json.size() && json[i] == ':') {
            ++i;
            while (i < json.size() && IsSpace(json[i])) {
                ++i;
            }
            if (i < json.size() && json[i] == '"') {
                if (auto value = JsonString(json, i + 1, next)) {
                    out.push_back(std::move(*value));
                }
            }
        }
        at = json.find(kKey, std::max(next, at + kKey.size()));
    }
}

bool HasOtherScheme(std::string_view address) {
    const std::size_t colon = address.find(':');
    if (colon == std::string_view::npos || address.find_first_of("/?#") < colon) {
        return false;
    }
    const std::string scheme = text::LowerCase(address.substr(0, colon));
    return scheme != "http" && scheme != "https";
}

// The absolute address of a value as the page writes it, or "" when it is none.
std::string Resolve(std::string_view base, std::string_view value, bool decoded) {
    if (value.size() > kMaxPageAddressBytes) {
        return {};
    }
    const std::string plain = decoded ? std::string(value) : DecodeHtmlEntities(value);
    const std::string trimmed = text::Trim(plain);
    if (trimmed.empty() || HasOtherScheme(trimmed)) {
        return {};
    }
    auto resolved = transfer::ResolveLocation(base, trimmed);
    if (!resolved || !IsWebAddress(*resolved) || resolved->size() > kMaxPageAddressBytes) {
        return {};
    }
    return std::move(*resolved);
}

struct PageFacts {
    std::vector<RawSource> sources;
    std::vector<std::string> jsonUrls;  // owns the decoded JSON-LD addresses
    std::string_view baseHref;
    std::string_view ogTitle;
    std::string_view title;
    bool haveTitle = false;
};

void AddOgVideo(PageFacts& facts, const OgVideo& og, int pageLines) {
    // A player page (text/html, a plug-in) is not the file; nor is an address of no known
    // kind when the page gives no type.
    const std::string_view address = og.secureUrl.empty() ? og.url : og.secureUrl;
    if (address.empty()) {
        return;
    }
    facts.sources.push_back(
        {Origin::OpenGraph, address, false, og.type, og.lines > 0 ? og.lines : pageLines});
}

PageFacts ReadPage(std::string_view page) {
    PageFacts facts;
    std::vector<OgVideo> ogVideos;
    int ogHeight = 0;  // an og:video:height before any og:video tells of the page's one video
    bool inVideo = false;
    int videoLines = 0;
    std::vector<Attr> attrs;
    const std::size_t n = page.size();
    std::size_t i = 0;
    for (;;) {
        const std::size_t lt = page.find('<', i);
        if (lt == std::string_view::npos) {
            break;
        }
        i = lt + 1;
        if (page.substr(i, 3) == "!--") {
            const std::size_t end = page.find("-->", i + 3);
            if (end == std::string_view::npos) {
                break;
            }
            i = end + 3;
            continue;
        }
        const bool closing = i < n && page[i] == '/';
        if (closing) {
            ++i;
        }
        if (i >= n || !IsAlpha(page[i])) {
            continue;
        }
        const std::size_t nameStart = i;
        while (i < n &&
               (IsAlpha(page[i]) || IsDigit(page[i]) || page[i] == '-' || page[i] == ':')) {
            ++i;
        }
        const std::string_view name = page.substr(nameStart, i - nameStart);
        attrs.clear();
        while (i < n && page[i] != '>') {
            if (IsSpace(page[i]) || page[i] == '/') {
                ++i;
                continue;
            }
            const std::size_t keyStart = i;
            while (i < n && !IsSpace(page[i]) && page[i] != '=' && page[i] != '>' &&
                   page[i] != '/') {
                ++i;
            }
            if (i == keyStart) {
                ++i;  // a stray '=': nothing to name
                continue;
            }
            const std::string_view key = page.substr(keyStart, i - keyStart);
            std::string_view value;
            std::size_t j = i;
            while (j < n && IsSpace(page[j])) {
                ++j;
            }
            if (j < n && page[j] == '=') {
                i = j + 1;
                while (i < n && IsSpace(page[i])) {
                    ++i;
                }
                if (i < n && (page[i] == '"' || page[i] == '\'')) {
                    const std::size_t end = page.find(page[i], i + 1);
                    const std::size_t stop = end == std::string_view::npos ? n : end;
                    value = page.substr(i + 1, stop - i - 1);
                    i = stop == n ? n : stop + 1;
                } else {
                    const std::size_t start = i;
                    while (i < n && !IsSpace(page[i]) && page[i] != '>') {
                        ++i;
                    }
                    value = page.substr(start, i - start);
                }
            }
            attrs.emplace_back(key, value);
        }
        if (i < n) {
            ++i;  // past '>'
        }

        if (closing) {
            if (text::EqualsCaseless(name, "video")) {
                inVideo = false;
            }
            continue;
        }
        if (text::EqualsCaseless(name, "script") || text::EqualsCaseless(name, "style")) {
            // Their content is not markup; only a JSON-LD block is read.
            const std::size_t end = text::FindCaseless(
                page, text::EqualsCaseless(name, "script") ? "</script" : "</style", i);
            const std::size_t stop = end == text::npos ? n : end;
            if (text::EqualsCaseless(text::Trim(AttrOf(attrs, "type")), "application/ld+json")) {
                ReadJsonLd(page.substr(i, stop - i), facts.jsonUrls);
            }
            i = stop;
        } else if (text::EqualsCaseless(name, "title")) {
            const std::size_t end = text::FindCaseless(page, "</title", i);
            const std::size_t stop = end == text::npos ? n : end;
            if (!facts.haveTitle) {
                facts.title = page.substr(i, stop - i);
                facts.haveTitle = true;
            }
            i = stop;
        } else if (text::EqualsCaseless(name, "meta")) {
            std::string_view property = AttrOf(attrs, "property");
            if (property.empty()) {
                property = AttrOf(attrs, "name");
            }
            const std::string prop = text::LowerCase(text::Trim(property));
            const std::string_view content = AttrOf(attrs, "content");
            if (prop == "og:title") {
                if (facts.ogTitle.empty()) {
                    facts.ogTitle = content;
                }
            } else if (prop == "og:video" || prop == "og:video:url") {
                if (ogVideos.empty() || !ogVideos.back().url.empty()) {
                    ogVideos.emplace_back();
                }
                ogVideos.back().url = content;
            } else if (prop == "og:video:secure_url") {
                if (ogVideos.empty() || !ogVideos.back().secureUrl.empty()) {
                    ogVideos.emplace_back();
                }
                ogVideos.back().secureUrl = content;
            } else if (prop == "og:video:type") {
                if (!ogVideos.empty()) {
                    ogVideos.back().type = content;
                }
            } else if (prop == "og:video:height") {
                if (ogVideos.empty()) {
                    ogHeight = LinesOf(content);
                } else {
                    ogVideos.back().lines = LinesOf(content);
                }
            }
        } else if (text::EqualsCaseless(name, "base")) {
            if (facts.baseHref.empty()) {
                facts.baseHref = AttrOf(attrs, "href");
            }
        } else if (text::EqualsCaseless(name, "video")) {
            inVideo = true;
            videoLines = LinesOfAttrs(attrs);
            if (const std::string_view src = AttrOf(attrs, "src"); !src.empty()) {
                facts.sources.push_back(
                    {Origin::VideoTag, src, false, AttrOf(attrs, "type"), videoLines});
            }
        } else if (text::EqualsCaseless(name, "source")) {
            const std::string_view type = AttrOf(attrs, "type");
            const std::string_view src = AttrOf(attrs, "src");
            if (!src.empty() && (inVideo || IsVideoType(type) || IsManifestType(type))) {
                const int lines = LinesOfAttrs(attrs);
                facts.sources.push_back(
                    {Origin::VideoTag, src, false, type, lines > 0 ? lines : videoLines});
            }
        } else if (text::EqualsCaseless(name, "a")) {
            if (const std::string_view href = AttrOf(attrs, "href"); !href.empty()) {
                facts.sources.push_back({Origin::Link, href, false, {}, LinesOfAttrs(attrs)});
            }
        }
    }
    for (const OgVideo& og : ogVideos) {
        AddOgVideo(facts, og, ogHeight);
    }
    for (const std::string& url : facts.jsonUrls) {
        facts.sources.push_back({Origin::JsonLd, url, true, {}, 0});
    }
    return facts;
}

// Runs of blanks and line breaks as one blank, none at either end: a title spread over lines
// in the markup reads as one line.
std::string CollapseBlanks(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        if (static_cast<unsigned char>(c) > 32) {
            out.push_back(c);
        } else if (!out.empty() && out.back() != ' ') {
            out.push_back(' ');
        }
    }
    if (!out.empty() && out.back() == ' ') {
        out.pop_back();
    }
    return out;
}

std::string_view TypeExtension(std::string_view type) {
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 9> kTypes = {{
        {"video/mp4", ".mp4"},
        {"video/webm", ".webm"},
        {"video/ogg", ".ogv"},
        {"video/x-matroska", ".mkv"},
        {"video/quicktime", ".mov"},
        {"video/x-m4v", ".m4v"},
        {"video/x-flv", ".flv"},
        {"video/flv", ".flv"},
        {"video/matroska", ".mkv"},
    }};
    const std::string t = text::LowerCase(text::Trim(type.substr(0, type.find(';'))));
    for (const auto& [name, ext] : kTypes) {
        if (t == name) {
            return ext;
        }
    }
    return {};
}

}  // namespace

std::string DecodeHtmlEntities(std::string_view text) {
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 6> kNamed = {{
        {"amp;", "&"},
        {"lt;", "<"},
        {"gt;", ">"},
        {"quot;", "\""},
        {"apos;", "'"},
        {"nbsp;", " "},
    }};
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t amp = text.find('&', i);
        if (amp == std::string_view::npos) {
            out.append(text.substr(i));
            break;
        }
        out.append(text.substr(i, amp - i));
        i = amp + 1;
        bool done = false;
        for (const auto& [name, value] : kNamed) {
            if (text.substr(i, name.size()) == name) {
                out.append(value);
                i += name.size();
                done = true;
                break;
            }
        }
        if (!done && i < text.size() && text[i] == '#') {
            std::size_t j = i + 1;
            const bool hex = j < text.size() && (text[j] == 'x' || text[j] == 'X');
            if (hex) {
                ++j;
            }
            std::uint32_t code = 0;
            const std::size_t digits = j;
            while (j < text.size() && j - digits < 8 &&
                   (hex ? HexValue(text[j]) >= 0 : IsDigit(text[j]))) {
                code = code * (hex ? 16 : 10) + static_cast<std::uint32_t>(HexValue(text[j]));
                ++j;
            }
            if (j > digits && j < text.size() && text[j] == ';') {
                AppendUtf8(out, code);
                i = j + 1;
                done = true;
            }
        }
        if (!done) {
            out.push_back('&');
        }
    }
    return out;
}

bool IsVideoResponse(std::string_view contentType, std::string_view url) {
    const std::string type =
        text::LowerCase(text::Trim(contentType.substr(0, contentType.find(';'))));
    if (type.starts_with("video/")) {
        return true;
    }
    return (type == "application/octet-stream" || type == "binary/octet-stream") &&
           !VideoExtensionOfAddress(url).empty();
}

std::string VideoExtensionFor(std::string_view url, std::string_view contentType) {
    std::string ext = VideoExtensionOfAddress(url);
    if (ext.empty()) {
        ext = TypeExtension(contentType);
    }
    return ext.empty() ? ".mp4" : ext;
}

std::string VideoFileName(std::string_view title, std::string_view url,
                          std::string_view extension) {
    std::string name = text::Trim(CutAtCharacter(title, kMaxFileNameBytes * 4));
    if (name.empty()) {
        // The last segment of the path, without its own extension.
        std::string_view path = WithoutFragment(url);
        path = path.substr(0, path.find('?'));
        const std::size_t sep = path.find("://");
        if (sep != std::string_view::npos && path.find('/', sep + 3) != std::string_view::npos) {
            std::string_view segment = path.substr(path.rfind('/') + 1);
            if (!VideoExtensionOfAddress(std::string("http://h/") + std::string(segment)).empty()) {
                segment = segment.substr(0, segment.rfind('.'));
            }
            name = text::Trim(segment);
        }
    }
    name = CleanFileName(name);
    if (name.empty()) {
        name = "get_video";
    }
    name = std::string(CutAtCharacter(name, kMaxFileNameBytes - extension.size()));
    return name + std::string(extension);
}

FoundVideo ResolveVideoPage(std::string_view page, std::string_view pageUrl, int quality) {
    const PageFacts facts = ReadPage(page);
    FoundVideo found;
    std::string base(WithoutFragment(pageUrl));
    if (!facts.baseHref.empty()) {
        if (std::string resolved = Resolve(base, facts.baseHref, false); !resolved.empty()) {
            base = std::move(resolved);
        }
    }
    const std::string self(WithoutFragment(pageUrl));

    const bool most = quality >= 2;
    const RawSource* best = nullptr;
    std::string bestUrl;
    std::string manifest;
    // Sources are tried best origin first, in page order within one origin.
    for (const Origin origin :
         {Origin::OpenGraph, Origin::JsonLd, Origin::VideoTag, Origin::Link}) {
        for (const RawSource& source : facts.sources) {
            if (source.origin != origin || (best && (!most || source.lines <= best->lines))) {
                continue;
            }
            std::string url = Resolve(base, source.address, source.decoded);
            if (url.empty() || url == self) {
                continue;
            }
            const bool typed = !text::Trim(source.type).empty();
            if (IsManifestAddress(url) || IsManifestType(source.type)) {
                if (manifest.empty()) {
                    manifest = url;
                }
                continue;
            }
            const bool videoExtension = !VideoExtensionOfAddress(url).empty();
            bool usable = false;
            switch (origin) {
                case Origin::OpenGraph:
                    usable = typed ? IsVideoType(source.type) : videoExtension;
                    break;
                case Origin::JsonLd:
                    usable = true;
                    break;
                case Origin::VideoTag:
                    usable = !typed || IsVideoType(source.type);
                    break;
                case Origin::Link:
                    usable = videoExtension;
                    break;
            }
            if (usable) {
                best = &source;
                bestUrl = std::move(url);
            }
        }
    }

    const std::string_view rawTitle = facts.ogTitle.empty() ? facts.title : facts.ogTitle;
    const std::string title =
        CollapseBlanks(DecodeHtmlEntities(CutAtCharacter(rawTitle, kMaxFileNameBytes * 4)));
    if (!best) {
        found.kind = manifest.empty() ? FoundVideo::Kind::NoVideo : FoundVideo::Kind::ManifestOnly;
        found.url = manifest;
        found.title = title;
        return found;
    }
    found.kind = FoundVideo::Kind::File;
    found.url = std::move(bestUrl);
    found.extension = VideoExtensionFor(found.url, best->type);
    found.fileName = VideoFileName(title, found.url, found.extension);
    found.title = title.empty() ? found.fileName : title;
    return found;
}
