#pragma once

// Enumerations and the exception of the HTTP client, shared by its reception engine.

#include <cstdint>
#include <stdexcept>
#include <string>

enum THttpRequest : std::uint8_t {
    httpABORT = 0,
    httpGET = 1,
    httpPOST = 2,
    httpPUT = 3,
    httpHEAD = 4,
    httpCLOSE = 5,
};

enum THttpState : std::uint8_t {
    httpReady = 0,
    httpNotConnected = 1,
    httpConnected = 2,
    httpDnsLookup = 3,
    httpDnsLookupDone = 4,
    httpWaitingHeader = 5,
    httpWaitingBody = 6,
    httpBodyReceived = 7,
    httpWaitingProxyConnect = 8,
    httpClosing = 9,
    httpAborting = 10,
};

enum THttpCliOption : std::uint8_t {
    httpoNoBasicAuth = 0,
    httpoNoNTLMAuth = 1,
    httpoBandwidthControl = 2,
    httpoEnableContentCoding = 3,
    httpoUseQuality = 4,
};

// A set of THttpCliOption, one bit per option in declaration order.
class THttpCliOptions {
public:
    THttpCliOptions() = default;
    THttpCliOptions(std::initializer_list<THttpCliOption> options) {
        for (auto o : options) {
            Include(o);
        }
    }
    bool Contains(THttpCliOption o) const { return (bits_ & Bit(o)) != 0; }
    void Include(THttpCliOption o) { bits_ |= Bit(o); }
    void Exclude(THttpCliOption o) { bits_ &= static_cast<std::uint8_t>(~Bit(o)); }
    bool Empty() const { return bits_ == 0; }
    std::uint8_t Bits() const { return bits_; }
    bool operator==(const THttpCliOptions&) const = default;

private:
    static std::uint8_t Bit(THttpCliOption o) { return static_cast<std::uint8_t>(1u << o); }
    std::uint8_t bits_ = 0;
};

// Client error codes carried by EHttpException and RequestDoneError.
constexpr std::uint16_t httperrBusy = 1;
constexpr std::uint16_t httperrNoData = 2;
constexpr std::uint16_t httperrAborted = 3;
// The response broke its own framing (a chunk size that does not fit).
constexpr std::uint16_t httperrInvalidResponse = 4;
constexpr std::uint16_t httperrVersion = 5;
constexpr std::uint16_t httperrInvalidAuthState = 6;
// The address or a header value holds bytes that would break the request apart (CR, LF, NUL,
// other control bytes, blanks in the address): nothing is sent.
constexpr std::uint16_t httperrRequestUnsafe = 7;
// The proxy refused the tunnel, or the TLS handshake failed (the certificate, the peer).
constexpr std::uint16_t httperrSecureLink = 8;

class EHttpException : public std::runtime_error {
public:
    EHttpException(const std::string& message, std::uint16_t errorCode)
        : std::runtime_error(message), errorCode_(errorCode) {}
    std::uint16_t ErrorCode() const { return errorCode_; }
    std::string Message() const { return what(); }

private:
    std::uint16_t errorCode_;
};
