#pragma once

// Asynchronous host name lookup: the blocking resolver call runs on a worker thread and its
// answer is posted back to a QObject as a DnsAnswerEvent. Cancelling a ticket guarantees that
// no answer is posted after Cancel returns, so the owner may be destroyed right away.

#include <QEvent>
#include <QObject>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

class DnsAnswerEvent : public QEvent {
public:
    DnsAnswerEvent(int eventType, std::uint64_t id, int error, std::vector<std::string> addresses)
        : QEvent(static_cast<QEvent::Type>(eventType)),
          Id(id),
          Error(error),
          Addresses(std::move(addresses)) {}

    std::uint64_t Id;
    int Error;                           // socket-layer error number, 0 on success
    std::vector<std::string> Addresses;  // IPv4 addresses in dotted form, resolver order
};

// Shared by the owner and the worker; the worker posts through it only while not cancelled.
class DnsLookupTicket {
public:
    DnsLookupTicket(QObject* target, int eventType, std::uint64_t id)
        : target_(target), eventType_(eventType), id_(id) {}

    void Cancel();
    bool Cancelled() const;
    std::uint64_t Id() const { return id_; }
    // Posts the answer unless cancelled (called by the worker).
    void Deliver(int error, std::vector<std::string> addresses);

private:
    mutable std::mutex mutex_;
    QObject* target_;  // not owned; null once cancelled
    int eventType_;
    std::uint64_t id_;
};

// Starts the lookup of hostName (IPv4 addresses). Returns null and sets error to a socket-layer
// error number when no worker could be started.
std::shared_ptr<DnsLookupTicket> StartDnsLookup(QObject* target, int eventType, std::uint64_t id,
                                                const std::string& hostName, int& error);

// The blocking lookup itself: IPv4 addresses in dotted form, duplicates removed, resolver order.
// Returns 0 or a socket-layer error number (11001 host not found, ...).
int ResolveHostAddresses(const std::string& hostName, std::vector<std::string>& addresses);

}  // namespace platform
