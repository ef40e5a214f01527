#include "platform/Socket.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace platform {

namespace {

struct ErrnoMapping {
    int err;
    int code;
};

// One table for every errno the socket calls can give.
constexpr ErrnoMapping kErrnoTable[] = {
    {EINTR, 10004},        {EBADF, 10009},           {EACCES, 10013},
    {EPERM, 10013},        {EFAULT, 10014},          {EINVAL, 10022},
    {EMFILE, 10024},       {ENFILE, 10024},          {EWOULDBLOCK, 10035},
    {EINPROGRESS, 10035},  {EALREADY, 10037},        {ENOTSOCK, 10038},
    {EDESTADDRREQ, 10039}, {EMSGSIZE, 10040},        {EPROTOTYPE, 10041},
    {ENOPROTOOPT, 10042},  {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044},
    {EOPNOTSUPP, 10045},   {EPFNOSUPPORT, 10046},    {EAFNOSUPPORT, 10047},
    {EADDRINUSE, 10048},   {EADDRNOTAVAIL, 10049},   {ENETDOWN, 10050},
    {ENETUNREACH, 10051},  {ENETRESET, 10052},       {ECONNABORTED, 10053},
    {ECONNRESET, 10054},   {EPIPE, 10054},           {ENOBUFS, 10055},
    {ENOMEM, 10055},       {EISCONN, 10056},         {ENOTCONN, 10057},
    {ESHUTDOWN, 10058},    {ETOOMANYREFS, 10059},    {ETIMEDOUT, 10060},
    {ECONNREFUSED, 10061}, {ELOOP, 10062},           {ENAMETOOLONG, 10063},
    {EHOSTDOWN, 10064},    {EHOSTUNREACH, 10065},    {ENOTEMPTY, 10066},
    {EUSERS, 10068},       {EDQUOT, 10069},          {ESTALE, 10070},
    {EREMOTE, 10071},
};

int LastSocketError() {
    return SocketErrorFromErrno(errno);
}

sockaddr_in MakeAddress(in_addr address, int port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    sa.sin_addr = address;
    return sa;
}

}  // namespace

int SocketErrorFromErrno(int err) {
    if (err == 0) {
        return 0;
    }
    for (const auto& m : kErrnoTable) {
        if (m.err == err) {
            return m.code;
        }
    }
    return 10022;
}

int SocketErrorFromResolver(int gaiResult, int savedErrno) {
    switch (gaiResult) {
        case 0:
            return 0;
        case EAI_NONAME:
#ifdef EAI_NODATA
        case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
        case EAI_ADDRFAMILY:
#endif
            return 11001;  // host not found
        case EAI_AGAIN:
            return 11002;  // no answer now: try again
        case EAI_FAIL:
            return 11003;  // non-recoverable
        case EAI_MEMORY:
            return 10055;
        case EAI_FAMILY:
            return 10047;
        case EAI_SOCKTYPE:
            return 10044;
        case EAI_SERVICE:
            return 11004;
        case EAI_SYSTEM:
            return savedErrno != 0 ? SocketErrorFromErrno(savedErrno) : 11003;
        default:
            return 11003;
    }
}

bool ParseIPv4(const std::string& text, in_addr& out) {
    return ::inet_aton(text.c_str(), &out) != 0;
}

std::string FormatIPv4(in_addr address) {
    char buffer[INET_ADDRSTRLEN] = {};
    if (::inet_ntop(AF_INET, &address, buffer, sizeof buffer) == nullptr) {
        return {};
    }
    return buffer;
}

bool ParseIPv6(const std::string& text, in6_addr& out, std::uint32_t* scope) {
    const std::size_t percent = text.find('%');
    if (scope != nullptr) {
        *scope = 0;
    }
    if (percent == std::string::npos) {
        return ::inet_pton(AF_INET6, text.c_str(), &out) == 1;
    }
    const std::string zone = text.substr(percent + 1);
    if (scope == nullptr || zone.empty() ||
        ::inet_pton(AF_INET6, text.substr(0, percent).c_str(), &out) != 1) {
        return false;
    }
    // A link-local address is reachable only through the interface its zone names.
    if (zone.find_first_not_of("0123456789") == std::string::npos && zone.size() <= 9) {
        *scope = static_cast<std::uint32_t>(std::stoul(zone));
    } else {
        *scope = ::if_nametoindex(zone.c_str());
    }
    return *scope != 0;
}

std::string FormatIPv6(const in6_addr& address, std::uint32_t scope) {
    char buffer[INET6_ADDRSTRLEN] = {};
    if (::inet_ntop(AF_INET6, &address, buffer, sizeof buffer) == nullptr) {
        return {};
    }
    if (scope == 0) {
        return buffer;
    }
    char name[IF_NAMESIZE] = {};
    return std::string(buffer) + "%" +
           (::if_indextoname(scope, name) != nullptr ? std::string(name) : std::to_string(scope));
}

int LookupProtocol(const std::string& name, int& protocol) {
    protoent entry{};
    protoent* result = nullptr;
    std::vector<char> buffer(4096);
    int rc = ::getprotobyname_r(name.c_str(), &entry, buffer.data(), buffer.size(), &result);
    if (rc != 0 || result == nullptr) {
        return 11004;
    }
    protocol = result->p_proto;
    return 0;
}

int LookupService(const std::string& name, const std::string& protocolName, int& port) {
    servent entry{};
    servent* result = nullptr;
    std::vector<char> buffer(4096);
    int rc = ::getservbyname_r(name.c_str(), protocolName.empty() ? nullptr : protocolName.c_str(),
                               &entry, buffer.data(), buffer.size(), &result);
    if (rc != 0 || result == nullptr) {
        return 11004;
    }
    port = ntohs(static_cast<std::uint16_t>(result->s_port));
    return 0;
}

UniqueFd OpenSocket(int type, int protocol, int& error) {
    return OpenSocket(AF_INET, type, protocol, error);
}

UniqueFd OpenSocket(int family, int type, int protocol, int& error) {
    int fd = ::socket(family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
    error = fd < 0 ? LastSocketError() : 0;
    return UniqueFd(fd);
}

int GetIntOption(int fd, int level, int name, int& value) {
    socklen_t len = sizeof value;
    return ::getsockopt(fd, level, name, &value, &len) == 0 ? 0 : LastSocketError();
}

int SetIntOption(int fd, int level, int name, int value) {
    return ::setsockopt(fd, level, name, &value, sizeof value) == 0 ? 0 : LastSocketError();
}

int SetLinger(int fd, bool on, int seconds) {
    linger l{};
    l.l_onoff = on ? 1 : 0;
    l.l_linger = seconds;
    return ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l) == 0 ? 0 : LastSocketError();
}

int Bind(int fd, in_addr address, int port) {
    sockaddr_in sa = MakeAddress(address, port);
    return ::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 ? 0
                                                                              : LastSocketError();
}

int StartConnect(int fd, in_addr address, int port) {
    sockaddr_in sa = MakeAddress(address, port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) {
        return 0;
    }
    return LastSocketError();
}

int StartConnect(int fd, const in6_addr& address, int port, std::uint32_t scope) {
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_scope_id = scope;
    sa.sin6_port = htons(static_cast<std::uint16_t>(port));
    sa.sin6_addr = address;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) {
        return 0;
    }
    return LastSocketError();
}

int TakePendingError(int fd) {
    int value = 0;
    int rc = GetIntOption(fd, SOL_SOCKET, SO_ERROR, value);
    if (rc != 0) {
        return rc;
    }
    return SocketErrorFromErrno(value);
}

Readiness PollNow(int fd) {
    Readiness r;
    pollfd p{};
    p.fd = fd;
    p.events = POLLIN | POLLOUT | POLLRDHUP;
    int rc;
    do {
        rc = ::poll(&p, 1, 0);
    } while (rc < 0 && errno == EINTR);
    if (rc <= 0) {
        return r;
    }
    r.readable = (p.revents & POLLIN) != 0;
    r.writable = (p.revents & POLLOUT) != 0;
    r.hangup = (p.revents & (POLLRDHUP | POLLHUP)) != 0;
    r.errorFlag = (p.revents & (POLLERR | POLLNVAL)) != 0;
    return r;
}

int BytesWaiting(int fd, int& error) {
    int count = 0;
    if (::ioctl(fd, FIONREAD, &count) != 0) {
        error = LastSocketError();
        return -1;
    }
    error = 0;
    return count;
}

long ReceiveSome(int fd, void* buffer, std::size_t size, int& error) {
    ssize_t n;
    do {
        n = ::recv(fd, buffer, size, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    error = n < 0 ? LastSocketError() : 0;
    return static_cast<long>(n);
}

long SendSome(int fd, const void* data, std::size_t size, int& error) {
    ssize_t n;
    do {
        n = ::send(fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    error = n < 0 ? LastSocketError() : 0;
    return static_cast<long>(n);
}

int ShutdownSend(int fd) {
    return ::shutdown(fd, SHUT_WR) == 0 ? 0 : LastSocketError();
}

int CloseSocket(int fd) {
    if (fd < 0) {
        return 10038;
    }
    // Linux releases the descriptor even when close reports an error; never retry it.
    return ::close(fd) == 0 ? 0 : LastSocketError();
}

int PeerName(int fd, std::string& address, int& port) {
    sockaddr_storage storage{};
    socklen_t len = sizeof storage;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&storage), &len) != 0) {
        return LastSocketError();
    }
    if (storage.ss_family == AF_INET6) {
        const auto* sa = reinterpret_cast<const sockaddr_in6*>(&storage);
        address = FormatIPv6(sa->sin6_addr);
        port = ntohs(sa->sin6_port);
        return 0;
    }
    if (storage.ss_family != AF_INET) {
        return 10047;
    }
    const auto* sa = reinterpret_cast<const sockaddr_in*>(&storage);
    address = FormatIPv4(sa->sin_addr);
    port = ntohs(sa->sin_port);
    return 0;
}

}  // namespace platform
