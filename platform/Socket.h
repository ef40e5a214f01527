#pragma once

// Thin non-blocking IPv4 (and IPv6 address) socket calls for the socket layer. Every failure comes
// back as a socket-layer error number (the classic 100xx/110xx numbers), mapped from errno or from
// the resolver's result in one table, so callers never look at errno themselves.

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/UniqueFd.h"

namespace platform {

// errno value -> socket-layer error number (10022 for an errno the table does not know).
int SocketErrorFromErrno(int err);
// getaddrinfo result (with the errno saved right after it, for EAI_SYSTEM) -> error number.
int SocketErrorFromResolver(int gaiResult, int savedErrno);

// Parses an IPv4 address in dotted form (inet_aton rules); false when it is not one.
bool ParseIPv4(const std::string& text, in_addr& out);
std::string FormatIPv4(in_addr address);
// Parses an IPv6 address without brackets ("::1"); false when it is not one. With scope, a zone
// after it ("fe80::1%eth0", or an interface number) is read into *scope (0 without one); without,
// a zone makes the text no address.
bool ParseIPv6(const std::string& text, in6_addr& out, std::uint32_t* scope = nullptr);
// The address, with "%" and the interface of a scope other than 0.
std::string FormatIPv6(const in6_addr& address, std::uint32_t scope = 0);

// Protocol number for a name from the system's protocol table; 0 or an error number.
int LookupProtocol(const std::string& name, int& protocol);
// Port (host order) for a service name and protocol name; 0 or an error number.
int LookupService(const std::string& name, const std::string& protocolName, int& port);

// A new non-blocking, close-on-exec IPv4 socket; error is 0 or an error number.
UniqueFd OpenSocket(int type, int protocol, int& error);
// The same for an address family (AF_INET or AF_INET6).
UniqueFd OpenSocket(int family, int type, int protocol, int& error);
int GetIntOption(int fd, int level, int name, int& value);
int SetIntOption(int fd, int level, int name, int value);
int SetLinger(int fd, bool on, int seconds);
int Bind(int fd, in_addr address, int port);
// Starts a connect: 0 when connected at once, 10035 when under way, otherwise the error.
int StartConnect(int fd, in_addr address, int port);
int StartConnect(int fd, const in6_addr& address, int port, std::uint32_t scope = 0);
// The pending error of the socket (SO_ERROR), read and cleared; 0 when none.
int TakePendingError(int fd);

// Readiness of fd at this moment, without waiting.
struct Readiness {
    bool readable = false;
    bool writable = false;
    bool hangup = false;     // the peer has shut down its sending side, or the link is gone
    bool errorFlag = false;  // an error is pending (read it with TakePendingError)
};
Readiness PollNow(int fd);

// Bytes waiting to be read; -1 and error set on failure.
int BytesWaiting(int fd, int& error);
// recv/send without blocking and without SIGPIPE: count, or -1 with error set (10035 would
// block). Receive returns 0 when the peer has closed.
long ReceiveSome(int fd, void* buffer, std::size_t size, int& error);
long SendSome(int fd, const void* data, std::size_t size, int& error);
int ShutdownSend(int fd);
// Closes fd; 0 or an error number. The descriptor is gone either way.
int CloseSocket(int fd);
// Address and port of the connected peer; 0 or an error number.
int PeerName(int fd, std::string& address, int& port);

}  // namespace platform
