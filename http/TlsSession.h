#pragma once

// TTlsSession: the client side of one TLS connection, knowing nothing of sockets. The bytes the
// peer sent are fed in, the bytes for the peer are taken out, and the owner moves them over
// its socket as the socket's events allow; so the session never blocks and an abort is only
// dropping it.
//
// The peer's certificate chain is checked against the trust store OpenSSL finds by default
// (SSL_CERT_FILE and SSL_CERT_DIR apply), and its name against the host asked for; the name
// also goes out as the server name. TLS 1.2 is the oldest version spoken.

#include <cstddef>
#include <memory>
#include <string>

class TTlsSession {
public:
    enum class Progress { Pending, Done, Failed };

    // What went wrong, in the terms a user can act on.
    enum class Failure { None, NotTrusted, Expired, OtherName, Closed, Other };

    explicit TTlsSession(std::string host);
    ~TTlsSession();
    TTlsSession(const TTlsSession&) = delete;
    TTlsSession& operator=(const TTlsSession&) = delete;

    // Bytes that arrived from the peer.
    void Feed(const char* data, std::size_t len);
    // The peer has closed its side: a handshake still under way fails.
    void PeerClosed() { peerClosed_ = true; }
    // Drives the handshake as far as the bytes fed allow.
    Progress Handshake();
    bool Established() const { return established_; }

    // Plain bytes of the peer: > 0 a count, 0 the peer ended the session (or closed), -1 more
    // bytes must be fed first, -2 the session failed (Error tells why).
    int Read(char* buffer, int capacity);
    // True while bytes are held that Read may give without more being fed.
    bool HasPending() const;
    // Plain bytes for the peer; they come out of TakeOutgoing encrypted.
    bool Write(const char* data, std::size_t len);
    // Bytes waiting to go to the peer (handshake records or encrypted data); empties the store.
    std::string TakeOutgoing();

    Failure FailureKind() const { return failure_; }
    // The line for the user, e.g. "the certificate of example.com has expired".
    std::string Error() const;
    const std::string& Host() const { return host_; }

private:
    struct Handles;
    void Fail(Failure kind, std::string detail = {});
    void NoteFailure(int sslError);

    std::string host_;
    std::unique_ptr<Handles> h_;
    bool established_ = false;
    bool peerClosed_ = false;
    Failure failure_ = Failure::None;
    std::string detail_;
};

// The text of a failure for a host; empty for Failure::None.
std::string TlsFailureText(TTlsSession::Failure kind, const std::string& host,
                           const std::string& detail = {});
