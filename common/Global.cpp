#include "common/Global.h"

#include <algorithm>
#include <cstdlib>

#include "common/Text.h"

std::string CleanFileName(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto code = static_cast<unsigned char>(c);
        const bool forbidden = code < 32 || c == '*' || c == '/' || c == ':' || c == '<' ||
                               c == '>' || c == '?' || c == '\\' || c == '|';
        if (!forbidden) {
            out.push_back(c);
        }
    }
    return out;
}

std::string TwoDigits(std::int32_t number) {
    return number < 10 ? "0" + std::to_string(number) : std::to_string(number);
}

std::string FormatSizeKB(std::int64_t bytes) {
    std::int64_t kb = bytes / 1024;
    if (bytes % 1024 != 0) {
        ++kb;
    }
    const bool negative = kb < 0;
    std::string digits = std::to_string(kb);
    if (negative) {
        digits.erase(0, 1);
    }
    std::string grouped;
    grouped.reserve(digits.size() + digits.size() / 3 + 1);
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) {
            grouped.push_back(',');
        }
        grouped.push_back(digits[i]);
    }
    return negative ? "-" + grouped : grouped;
}

// --- System proxy ---------------------------------------------------------------------------

namespace {

std::string_view ProxyVariable() {
    for (const char* name : {"http_proxy", "HTTP_PROXY"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') {
            return value;
        }
    }
    return {};
}

}  // namespace

bool ProxyEnabled() {
    return !ProxyVariable().empty();
}

std::string GetProxyList() {
    return ProxyListFromVariable(ProxyVariable());
}

void GetProxyServer(std::string_view scheme, std::string& host, std::int32_t& port) {
    ProxyServerFromList(GetProxyList(), scheme, host, port);
}

std::string ProxyListFromVariable(std::string_view value) {
    const std::string trimmed = text::Trim(value);
    std::string_view v = trimmed;
    if (const std::size_t sep = v.find("://"); sep != std::string_view::npos) {
        v.remove_prefix(sep + 3);
    }
    v = v.substr(0, v.find('/'));
    // Credentials are the proxy's business, never part of the host we connect to.
    if (const std::size_t at = v.rfind('@'); at != std::string_view::npos) {
        v.remove_prefix(at + 1);
    }
    if (v.empty() || v.front() == ':') {
        return {};
    }
    return "http=" + std::string(v) + (v.find(':') == std::string_view::npos ? ":80" : "");
}

void ProxyServerFromList(std::string_view list, std::string_view scheme, std::string& host,
                         std::int32_t& port) {
    host.clear();
    port = 0;
    if (list.empty()) {
        return;
    }
    const std::string key = std::string(scheme) + "=";
    if (const std::size_t at = list.find(key); at != std::string_view::npos) {
        list.remove_prefix(at + key.size());
        list = list.substr(0, list.find(';'));
    } else if (list.find('=') != std::string_view::npos &&
               text::FindCaseless(list, key) == text::npos) {
        // Entries for other schemes only: read whole, the list would give a host named
        // "ftp=a" or similar. No proxy is the answer.
        return;
    }
    const std::size_t colon = list.find(':');
    if (colon == std::string_view::npos) {
        return;
    }
    host = std::string(list.substr(0, colon));
    port = text::StrToIntDef(list.substr(colon + 1), 0);
}
