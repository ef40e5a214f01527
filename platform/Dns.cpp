#include "platform/Dns.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <QCoreApplication>
#include <algorithm>
#include <cerrno>
#include <system_error>
#include <thread>

#include "platform/Socket.h"

namespace platform {

void DnsLookupTicket::Cancel() {
    std::lock_guard lock(mutex_);
    target_ = nullptr;
}

bool DnsLookupTicket::Cancelled() const {
    std::lock_guard lock(mutex_);
    return target_ == nullptr;
}

void DnsLookupTicket::Deliver(int error, std::vector<std::string> addresses) {
    // Posting under the lock: Cancel cannot return between the check and the post, and Qt
    // drops events still queued for an object that is destroyed afterwards.
    std::lock_guard lock(mutex_);
    if (target_ == nullptr) {
        return;
    }
    QCoreApplication::postEvent(target_,
                                new DnsAnswerEvent(eventType_, id_, error, std::move(addresses)));
}

int ResolveHostAddresses(const std::string& hostName, std::vector<std::string>& addresses) {
    addresses.clear();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    errno = 0;
    int rc = ::getaddrinfo(hostName.c_str(), nullptr, &hints, &list);
    int savedErrno = errno;
    if (rc != 0) {
        return SocketErrorFromResolver(rc, savedErrno);
    }
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(list, &::freeaddrinfo);
    for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET || ai->ai_addr == nullptr) {
            continue;
        }
        const auto* sa = reinterpret_cast<const sockaddr_in*>(ai->ai_addr);
        std::string dotted = FormatIPv4(sa->sin_addr);
        if (!dotted.empty() &&
            std::find(addresses.begin(), addresses.end(), dotted) == addresses.end()) {
            addresses.push_back(std::move(dotted));
        }
    }
    return addresses.empty() ? 11001 : 0;
}

std::shared_ptr<DnsLookupTicket> StartDnsLookup(QObject* target, int eventType, std::uint64_t id,
                                                const std::string& hostName, int& error) {
    auto ticket = std::make_shared<DnsLookupTicket>(target, eventType, id);
    try {
        // Detached: a resolver call cannot be interrupted, and the owner must never wait for
        // one (the ticket keeps what the worker touches alive).
        std::thread([ticket, hostName] {
            std::vector<std::string> addresses;
            int rc = ResolveHostAddresses(hostName, addresses);
            ticket->Deliver(rc, std::move(addresses));
        }).detach();
    } catch (const std::system_error&) {
        error = 10055;  // no resources for another worker
        return nullptr;
    }
    error = 0;
    return ticket;
}

}  // namespace platform
