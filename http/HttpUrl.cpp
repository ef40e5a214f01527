#include "http/HttpUrl.h"

#include "common/Text.h"

namespace {

// The folder of a path: up to and including its last "/", or "/" when it has none.
std::string Folder(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? std::string("/")
                                           : std::string(path.substr(0, slash + 1));
}

// "/a/b/" -> "/a/"; never above "/".
std::string ParentFolder(const std::string& folder) {
    if (folder.size() <= 1) {
        return "/";
    }
    const std::size_t slash = folder.rfind('/', folder.size() - 2);
    return slash == std::string::npos ? std::string("/") : folder.substr(0, slash + 1);
}

bool ValidSchemeChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

void ParseAuthority(std::string_view rest, std::string& user, std::string& password,
                    std::string& host, std::string& port, std::string& path) {
    const std::size_t pathPos = rest.find_first_of("/?");
    if (pathPos != std::string_view::npos) {
        path = std::string(rest.substr(pathPos));
    }
    const std::string_view part = rest.substr(0, pathPos);
    std::size_t colon = part.rfind(':');
    const std::size_t at = part.rfind('@');
    const std::size_t hostStart = at == std::string_view::npos ? 0 : at + 1;
    // "[::1]" or "[::1]:8080": the colons of an IPv6 address inside brackets are no port
    // separator. The host keeps its brackets, as the Host line and an absolute address need.
    if (const std::size_t close = part.rfind(']');
        close != std::string_view::npos && close > hostStart && part[hostStart] == '[' &&
        (colon == std::string_view::npos || colon < close)) {
        colon = std::string_view::npos;
    }
    if (colon != std::string_view::npos && (at == std::string_view::npos || colon > at)) {
        port = std::string(part.substr(colon + 1));
        host = std::string(part.substr(hostStart, colon - hostStart));
    } else {
        host = std::string(part.substr(hostStart));
    }
    if (at != std::string_view::npos) {
        const std::string_view info = part.substr(0, at);
        const std::size_t c = info.find(':');
        user = std::string(info.substr(0, c));
        if (c != std::string_view::npos) {
            password = std::string(info.substr(c + 1));
        }
    }
}

}  // namespace

void ParseURL(std::string_view url, std::string& proto, std::string& user, std::string& password,
              std::string& host, std::string& port, std::string& path) {
    const std::string previous = path;
    proto.clear();
    user.clear();
    password.clear();
    host.clear();
    port.clear();
    path.clear();
    if (url.empty()) {
        return;
    }
    if (url.starts_with("./")) {
        path = Folder(previous) + std::string(url.substr(2));
        return;
    }
    if (url.starts_with("../")) {
        std::string folder = Folder(previous);
        while (url.starts_with("../")) {
            url.remove_prefix(3);
            folder = ParentFolder(folder);
        }
        path = folder + std::string(url);
        return;
    }
    if (const std::size_t sep = url.find("://"); sep != std::string_view::npos) {
        const std::string scheme = text::LowerCase(url.substr(0, sep));
        bool valid = !scheme.empty();
        for (char c : scheme) {
            valid = valid && ValidSchemeChar(c);
        }
        if (valid) {
            proto = scheme;
            ParseAuthority(url.substr(sep + 3), user, password, host, port, path);
            return;
        }
        proto = "http";
    }
    std::size_t authority = 0;
    if (url[0] == '/') {
        proto = "http";
        if (url.size() < 2 || url[1] != '/') {
            path = std::string(url);
            return;
        }
        // "//host/path": the authority follows the two slashes.
        authority = 2;
    } else if (text::StartsWithCaseless(url, "http:")) {
        proto = "http";
        if (url.size() > 6 && url[6] != '/') {
            path = std::string(url.substr(5));
            return;
        }
        authority = std::min<std::size_t>(6, url.size());
    } else if (text::StartsWithCaseless(url, "mailto:")) {
        proto = "mailto";
        authority = url.find(':') + 1;
    }
    ParseAuthority(url.substr(authority), user, password, host, port, path);
}

THttpUrlParts ParseURL(std::string_view url, std::string_view currentPath) {
    THttpUrlParts p;
    p.Path = std::string(currentPath);
    ParseURL(url, p.Proto, p.User, p.Password, p.Host, p.Port, p.Path);
    return p;
}

std::string LookupHost(std::string_view host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    return std::string(host);
}

std::string AdjustDocName(std::string_view docName) {
    std::string name(docName.substr(0, docName.find('?')));
    if (name.empty() || name.back() == '/') {
        return "document.htm";
    }
    const std::size_t slash = name.rfind('/');
    if (slash != std::string::npos) {
        name = name.substr(slash + 1);
    }
    name = name.substr(0, 255);
    return name.substr(0, name.find('?'));
}

std::string HtmlDocName(const std::string& docName) {
    const std::size_t dot = docName.rfind('.');
    const std::size_t slash = docName.rfind('/');
    const bool hasExt = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    if (!hasExt) {
        return docName + ".htm";
    }
    if (text::LowerCase(docName.substr(dot)) == ".exe") {
        return docName.substr(0, dot + 1) + "htm";
    }
    return docName;
}

namespace {

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

}  // namespace

std::string EncodeUrlBytes(std::string_view piece, std::string_view alsoEncode) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    static constexpr std::string_view kUnsafe = "\"<>\\^`{|}";
    std::string out;
    out.reserve(piece.size());
    for (std::size_t i = 0; i < piece.size(); ++i) {
        const char c = piece[i];
        const auto code = static_cast<unsigned char>(c);
        const bool escape = c == '%' && i + 2 < piece.size() && IsHexDigit(piece[i + 1]) &&
                            IsHexDigit(piece[i + 2]);
        const bool encode = code <= 32 || code >= 127 ||
                            kUnsafe.find(c) != std::string_view::npos ||
                            alsoEncode.find(c) != std::string_view::npos || (c == '%' && !escape);
        if (encode) {
            out.push_back('%');
            out.push_back(kHex[code >> 4]);
            out.push_back(kHex[code & 15]);
        } else {
            out.push_back(c);
        }
    }
    return out;
}

bool IsRequestSafe(std::string_view text, bool blanksAllowed) {
    for (const char c : text) {
        const auto code = static_cast<unsigned char>(c);
        if (code < 32 || code == 127 || (c == ' ' && !blanksAllowed)) {
            return false;
        }
    }
    return true;
}
