#pragma once

// A certificate authority made at test time, and the server side of TLS the fixture site speaks
// with it. The certificate a connection gets depends on the name the client asks for (its
// server name; "127.0.0.1" without one):
//   "expired.*"    signed by the authority, for the name, expired a day ago
//   "untrusted.*"  for the name, signed by itself
//   "othername.*"  signed by the authority, for "elsewhere.invalid"
//   anything else  signed by the authority, for the name (an IP address as an address)
// A client trusts the authority through SSL_CERT_FILE=CaFile().

#include <memory>
#include <string>

typedef struct ssl_ctx_st SSL_CTX;

namespace testsupport {

class TestAuthority {
public:
    // Writes the authority's certificate (PEM) to caFile. Throws std::runtime_error on failure.
    explicit TestAuthority(std::string caFile);
    ~TestAuthority();
    TestAuthority(const TestAuthority&) = delete;
    TestAuthority& operator=(const TestAuthority&) = delete;

    const std::string& CaFile() const { return caFile_; }
    // The server context; certificates are made per name as clients ask for them.
    SSL_CTX* ServerContext() const;

private:
    struct Impl;
    std::string caFile_;
    std::unique_ptr<Impl> impl_;
};

}  // namespace testsupport
