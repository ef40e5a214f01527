#include <netinet/in.h>
#include <sys/socket.h>

#include "common/Text.h"
#include "http/WSocket.h"
#include "http/WSocketInternal.h"
#include "platform/Dns.h"
#include "platform/Socket.h"

using wsocket_internal::DottedToAddress;
using wsocket_internal::IsDigit;
using wsocket_internal::NextSerial;

namespace {

struct ErrorText {
    int code;
    const char* text;
};

constexpr ErrorText kErrorTexts[] = {
    {0, "No Error"},
    {10004, "Interrupted system call"},
    {10009, "Bad file number"},
    {10013, "Permission denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open files"},
    {10035, "Operation would block"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on non-socket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Protocol wrong type for socket"},
    {10042, "Protocol not available"},
    {10043, "Protocol not supported"},
    {10044, "Socket type not supported"},
    {10045, "Operation not supported on socket"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported by protocol family"},
    {10048, "Address already in use"},
    {10049, "Address not available"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Network dropped connection on reset"},
    {10053, "Connection aborted"},
    {10054, "Connection reset by peer"},
    {10055, "No buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Can't send after socket shutdown"},
    {10059, "Too many references: can't splice"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "Too many levels of symbolic links"},
    {10063, "File name too long"},
    {10064, "Host is down"},
    {10065, "No route to host"},
    {10066, "Directory not empty"},
    {10067, "Too many processes"},
    {10068, "Too many users"},
    {10069, "Disc quota exceeded"},
    {10070, "Stale NFS file handle"},
    {10071, "Too many levels of remote in path"},
    {10091, "Network sub-system is unusable"},
    {10092, "WinSock DLL cannot support this application"},
    {10093, "WinSock not initialized"},
    {11001, "Host not found"},
    {11002, "Non-authoritative host not found"},
    {11003, "Non-recoverable error"},
    {11004, "No Data"},
};

}  // namespace

namespace wsocket_internal {

// Reads the four numbers of a text that WSocketIsDottedIP accepted, in decimal.
in_addr DottedToAddress(std::string_view s) {
    std::uint32_t parts[4] = {0, 0, 0, 0};
    int index = 0;
    for (char c : s) {
        if (IsDigit(c)) {
            parts[index] = parts[index] * 10 + static_cast<std::uint32_t>(c - '0');
        } else if (c == '.') {
            ++index;
        }
    }
    in_addr a{};
    a.s_addr = htonl((parts[0] << 24) | (parts[1] << 16) | (parts[2] << 8) | parts[3]);
    return a;
}

}  // namespace wsocket_internal

namespace {

// A port text: "" or 32 characters and more are invalid; leading digits give the number.
struct PortText {
    bool numeric = false;
    long value = 0;
};

PortText ReadLeadingNumber(std::string_view s) {
    PortText r;
    std::size_t i = 0;
    while (i < s.size() && s[i] == ' ') {
        ++i;
    }
    if (i < s.size() && IsDigit(s[i])) {
        r.numeric = true;
        while (i < s.size() && IsDigit(s[i])) {
            if (r.value <= 1000000) {
                r.value = r.value * 10 + (s[i] - '0');
            }
            ++i;
        }
    }
    return r;
}

}  // namespace

std::string WSocketErrorDesc(int errCode) {
    for (const auto& e : kErrorTexts) {
        if (e.code == errCode) {
            return e.text;
        }
    }
    return "Not a WinSock error";
}

bool WSocketIsDottedIP(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size() && s[i] == ' ') {
        ++i;
    }
    std::size_t end = s.size();
    while (end > i && s[end - 1] == ' ') {
        --end;
    }
    if (i >= end || s[i] == '.') {
        return false;
    }
    int dots = 0;
    long number = 0;
    bool digitSeen = false;
    for (std::size_t k = i; k < end; ++k) {
        char c = s[k];
        if (c == '.') {
            if (!digitSeen) {
                return false;
            }
            ++dots;
            number = 0;
            digitSeen = false;
        } else if (IsDigit(c)) {
            number = number * 10 + (c - '0');
            if (number > 255) {
                return false;
            }
            digitSeen = true;
        } else {
            return false;
        }
    }
    return dots == 3 && digitSeen;
}

namespace {

// Resolution failures carry the message and the error number they give LastError.
struct ResolveFailure {
    std::string message;
    int code;
};

int ResolveProto(const std::string& text, std::string& protoName) {
    std::string p = text::LowerCase(text::Trim(text));
    if (p.empty() || p.size() >= 32) {
        throw ResolveFailure{"WSocketResolveProto: Invalid Protocol.", WSAEINVAL};
    }
    if (IsDigit(p[0])) {
        PortText n = ReadLeadingNumber(p);
        protoName = n.value == 6 ? "tcp" : n.value == 17 ? "udp" : p;
        return static_cast<int>(n.value);
    }
    protoName = p;
    if (p == "tcp") {
        return 6;
    }
    if (p == "udp") {
        return 17;
    }
    if (p == "raw") {
        return 255;
    }
    int protocol = 0;
    int rc = platform::LookupProtocol(p, protocol);
    if (rc != 0) {
        throw ResolveFailure{"WSocketResolveProto: Cannot convert protocol '" + text +
                                 "', Error #" + std::to_string(rc),
                             rc};
    }
    return protocol;
}

int ResolvePort(const std::string& text, const std::string& protoName) {
    if (text.empty() || text.size() >= 32) {
        throw ResolveFailure{"WSocketResolvePort: Invalid Port.", WSAEINVAL};
    }
    PortText n = ReadLeadingNumber(text);
    if (n.numeric) {
        // A number past 65535 would otherwise wrap onto some other port.
        if (n.value > 65535) {
            throw ResolveFailure{"WSocketResolvePort: Invalid Port.", WSAEINVAL};
        }
        return static_cast<int>(n.value);
    }
    if (protoName.empty()) {
        throw ResolveFailure{"WSocketResolvePort: Invalid Proto.", WSAEINVAL};
    }
    int port = 0;
    int rc = platform::LookupService(text::Trim(text), protoName, port);
    if (rc != 0) {
        throw ResolveFailure{
            "WSocketResolvePort: Cannot convert port '" + text + "', Error #" + std::to_string(rc),
            rc};
    }
    return port;
}

in_addr ResolveHost(const std::string& name) {
    if (name.empty() || name.size() > 256) {
        throw ResolveFailure{"WSocketResolveHost: '" + name + "' Invalid Hostname.", WSAEINVAL};
    }
    if (WSocketIsDottedIP(name)) {
        return DottedToAddress(name);
    }
    std::vector<std::string> addresses;
    int rc = platform::ResolveHostAddresses(name, addresses);
    in_addr a{};
    if (rc != 0 || !platform::ParseIPv4(addresses.front(), a)) {
        if (rc == 0) {
            rc = WSAHOST_NOT_FOUND;
        }
        throw ResolveFailure{"WSocketResolveHost: Cannot convert host address '" + name +
                                 "', Error #" + std::to_string(rc),
                             rc};
    }
    return a;
}

}  // namespace

// --- Name lookup -----------------------------------------------------------------------------

void TWSocket::DnsLookup(std::string_view hostName) {
    if (hostName.empty()) {
        RaiseException("DNS lookup: invalid host name.", WSAEINVAL);
        if (OnDnsLookupDone) {
            OnDnsLookupDone(*this, WSAEINVAL);
        }
        return;
    }
    // A new lookup replaces the one under way without an event; its late answer is dropped.
    if (lookup_) {
        lookup_->Cancel();
        lookup_.reset();
    }
    dnsResult_.clear();
    dnsResultList_.clear();

    in6_addr ipv6{};
    std::uint32_t scope = 0;
    if (WSocketIsDottedIP(hostName) || platform::ParseIPv6(std::string(hostName), ipv6, &scope)) {
        dnsResult_ = WSocketIsDottedIP(hostName) ? platform::FormatIPv4(DottedToAddress(hostName))
                                                 : platform::FormatIPv6(ipv6, scope);
        dnsResultList_.push_back(dnsResult_);
        if (OnDnsLookupDone) {
            OnDnsLookupDone(*this, 0);
        }
        return;
    }

    lookupId_ = NextSerial();
    int error = 0;
    std::string name(hostName);
    lookup_ = platform::StartDnsLookup(this, WM_ASYNCGETHOSTBYNAME, lookupId_, name, error);
    if (!lookup_) {
        lastError_ = error;
        RaiseException(name + ": can't start DNS lookup, error #" + std::to_string(error), error);
        if (OnDnsLookupDone) {
            OnDnsLookupDone(*this, static_cast<std::uint16_t>(error));
        }
    }
}

void TWSocket::CancelDnsLookup() {
    if (!lookup_) {
        return;
    }
    lookup_->Cancel();
    lookup_.reset();
    if (!destroying_ && OnDnsLookupDone) {
        OnDnsLookupDone(*this, WSAEINTR);
    }
}

void TWSocket::DnsAnswer(std::uint64_t id, int error, std::vector<std::string> addresses) {
    if (!lookup_ || id != lookupId_) {
        return;  // the answer of a cancelled or replaced lookup
    }
    lookup_.reset();
    if (error == 0) {
        dnsResultList_ = std::move(addresses);
        dnsResult_ = dnsResultList_.empty() ? std::string() : dnsResultList_.front();
    }
    if (OnDnsLookupDone) {
        OnDnsLookupDone(*this, static_cast<std::uint16_t>(error));
    }
}

// --- Connecting ------------------------------------------------------------------------------

bool TWSocket::ResolveForConnect(Resolved& out) {
    try {
        std::string protoName;
        out.protocol = ResolveProto(proto_, protoName);
        out.type = out.protocol == 6 ? SOCK_STREAM : out.protocol == 17 ? SOCK_DGRAM : SOCK_RAW;
        out.port = ResolvePort(port_, protoName);
        // An IPv6 address is used as it is; names are looked up for IPv4 addresses.
        out.ipv6 = platform::ParseIPv6(addr_, out.addr6, &out.scope6);
        if (!out.ipv6) {
            out.addr = ResolveHost(addr_);
        }
        out.localPort = ResolvePort(localPort_, protoName);
        out.localAddr = ResolveHost(localAddr_);
        out.bind = localPort_ != "0" || localAddr_ != "0.0.0.0";
        return true;
    } catch (const ResolveFailure& f) {
        lastError_ = f.code;
        RaiseException("connect: " + f.message, f.code);
        return false;
    }
}
