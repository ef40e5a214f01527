#pragma once

// Address splitting and document names of the HTTP client: plain values in and out.

#include <string>
#include <string_view>

struct THttpUrlParts {
    std::string Proto;
    std::string User;
    std::string Password;
    std::string Host;
    std::string Port;
    std::string Path;
};

// Splits an address. An IPv6 host comes in its brackets ("[::1]"). path is in and out: on entry the
// current path, which the relative forms
// "./" and "../" are resolved against; every other output is emptied first.
void ParseURL(std::string_view url, std::string& proto, std::string& user, std::string& password,
              std::string& host, std::string& port, std::string& path);
// The same with the current path given, as one value.
THttpUrlParts ParseURL(std::string_view url, std::string_view currentPath = {});

// The host to look up for a host of ParseURL: an IPv6 address without its brackets.
std::string LookupHost(std::string_view host);

// The document name of a request path: the last segment without a query, at most 255 bytes,
// or "document.htm" for a folder.
std::string AdjustDocName(std::string_view docName);

// ".exe" or no extension becomes ".htm" (for an HTML body).
std::string HtmlDocName(const std::string& docName);

// A piece of an address with the bytes that may not stand in a request line percent-encoded:
// control bytes, the blank, DEL, bytes above 127, " < > \ ^ ` { | } and a "%" that does not begin
// an escape. Escapes already there are kept, so encoding twice changes nothing. Each byte of
// alsoEncode is encoded as well (a value that must stay one query value: "&#").
std::string EncodeUrlBytes(std::string_view piece, std::string_view alsoEncode = {});

// True when text can stand in a request line or header as it is: no control byte (CR, LF and
// NUL included), no DEL and, unless blanks are allowed (header values), no blank.
bool IsRequestSafe(std::string_view text, bool blanksAllowed = false);
