#pragma once

// What the parts of TWSocket (WSocket.cpp, WSocketNames.cpp, WSocketTransfer.cpp) share; no
// other file includes this.

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <mutex>
#include <string_view>

#include "http/WSocket.h"

namespace wsocket_internal {

// All send buffers share one re-entrant lock: handlers fired while sending may send again.
std::recursive_mutex& SendBufferLock();

// Serials of connections and name lookups, unique in the process.
std::uint64_t NextSerial();

inline bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Reads the four numbers of a text that WSocketIsDottedIP accepted, in decimal.
in_addr DottedToAddress(std::string_view s);

}  // namespace wsocket_internal

struct TWSocket::Resolved {
    int protocol = 6;
    int type = SOCK_STREAM;
    in_addr addr{};
    bool ipv6 = false;  // addr6 holds the address
    in6_addr addr6{};
    std::uint32_t scope6 = 0;  // the interface of a link-local addr6
    int port = 0;
    in_addr localAddr{};
    int localPort = 0;
    bool bind = false;
};
