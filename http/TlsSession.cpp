#include "http/TlsSession.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>

#include "common/StringTable.h"
#include "common/Text.h"

namespace {

struct CtxFree {
    void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
struct SslFree {
    void operator()(SSL* s) const { SSL_free(s); }
};

bool IsAddress(const std::string& host) {
    return host.find(':') != std::string::npos ||
           host.find_first_not_of("0123456789.") == std::string::npos;
}

std::string Replace(std::string text, const std::string& host) {
    const std::size_t at = text.find("%1");
    if (at != std::string::npos) {
        text.replace(at, 2, host);
    }
    return text;
}

}  // namespace

struct TTlsSession::Handles {
    std::unique_ptr<SSL_CTX, CtxFree> ctx;
    std::unique_ptr<SSL, SslFree> ssl;
    BIO* in = nullptr;   // owned by ssl
    BIO* out = nullptr;  // owned by ssl
};

TTlsSession::TTlsSession(std::string host)
    : host_(std::move(host)), h_(std::make_unique<Handles>()) {
    // "[::1]" is how a URL writes the address; certificates and lookups know it without brackets.
    if (host_.size() > 2 && host_.front() == '[' && host_.back() == ']') {
        host_ = host_.substr(1, host_.size() - 2);
    }
    // A context per session reads the trust store as the environment names it now.
    h_->ctx.reset(SSL_CTX_new(TLS_client_method()));
    if (!h_->ctx) {
        Fail(Failure::Other, "no TLS context");
        return;
    }
    SSL_CTX_set_min_proto_version(h_->ctx.get(), TLS1_2_VERSION);
    SSL_CTX_set_verify(h_->ctx.get(), SSL_VERIFY_PEER, nullptr);
    if (SSL_CTX_set_default_verify_paths(h_->ctx.get()) != 1) {
        Fail(Failure::Other, "the trust store cannot be read");
        return;
    }
    h_->ssl.reset(SSL_new(h_->ctx.get()));
    h_->in = BIO_new(BIO_s_mem());
    h_->out = BIO_new(BIO_s_mem());
    if (!h_->ssl || h_->in == nullptr || h_->out == nullptr) {
        BIO_free(h_->in);
        BIO_free(h_->out);
        h_->in = h_->out = nullptr;
        Fail(Failure::Other, "no TLS session");
        return;
    }
    BIO_set_mem_eof_return(h_->in, -1);  // an empty input means "wait", not the end
    SSL_set_bio(h_->ssl.get(), h_->in, h_->out);
    SSL* ssl = h_->ssl.get();
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    bool named = false;
    if (IsAddress(host_)) {
        named = X509_VERIFY_PARAM_set1_ip_asc(param, host_.c_str()) == 1;
    } else {
        named = SSL_set_tlsext_host_name(ssl, host_.c_str()) == 1 &&
                SSL_set1_host(ssl, host_.c_str()) == 1;
    }
    if (!named) {
        // Without a name to check, any valid certificate would pass: never connect so.
        Fail(Failure::Other, "the host name cannot be checked");
        return;
    }
    SSL_set_connect_state(ssl);
}

TTlsSession::~TTlsSession() = default;

void TTlsSession::Feed(const char* data, std::size_t len) {
    if (h_->in != nullptr && len > 0) {
        BIO_write(h_->in, data, static_cast<int>(len));
    }
}

void TTlsSession::Fail(Failure kind, std::string detail) {
    if (failure_ == Failure::None) {
        failure_ = kind;
        detail_ = std::move(detail);
    }
}

void TTlsSession::NoteFailure(int sslError) {
    const long verify = SSL_get_verify_result(h_->ssl.get());
    switch (verify) {
        case X509_V_OK:
            break;
        case X509_V_ERR_CERT_HAS_EXPIRED:
            Fail(Failure::Expired);
            return;
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH:
            Fail(Failure::OtherName);
            return;
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        case X509_V_ERR_CERT_UNTRUSTED:
        case X509_V_ERR_INVALID_CA:
        case X509_V_ERR_CERT_SIGNATURE_FAILURE:
            Fail(Failure::NotTrusted);
            return;
        default:
            Fail(Failure::Other, X509_verify_cert_error_string(verify));
            return;
    }
    const unsigned long code = ERR_peek_last_error();
    ERR_clear_error();
    if (sslError == SSL_ERROR_SYSCALL || sslError == SSL_ERROR_ZERO_RETURN ||
        (peerClosed_ && code == 0)) {
        Fail(Failure::Closed);
        return;
    }
    // OpenSSL's reason alone ("wrong version number"), without its codes and module names.
    const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
    Fail(Failure::Other, reason != nullptr ? reason : "");
}

TTlsSession::Progress TTlsSession::Handshake() {
    if (failure_ != Failure::None) {
        return Progress::Failed;
    }
    if (established_) {
        return Progress::Done;
    }
    ERR_clear_error();
    const int rc = SSL_do_handshake(h_->ssl.get());
    if (rc == 1) {
        established_ = true;
        return Progress::Done;
    }
    const int error = SSL_get_error(h_->ssl.get(), rc);
    if ((error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) && !peerClosed_) {
        return Progress::Pending;
    }
    NoteFailure(error == SSL_ERROR_WANT_READ ? SSL_ERROR_SYSCALL : error);
    return Progress::Failed;
}

int TTlsSession::Read(char* buffer, int capacity) {
    if (failure_ != Failure::None) {
        return -2;
    }
    if (!established_ || capacity <= 0) {
        return -1;
    }
    ERR_clear_error();
    const int n = SSL_read(h_->ssl.get(), buffer, capacity);
    if (n > 0) {
        return n;
    }
    const int error = SSL_get_error(h_->ssl.get(), n);
    if (error == SSL_ERROR_ZERO_RETURN) {
        return 0;
    }
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        // Many servers close without the closing record: to HTTP that is the close it frames
        // by; a body cut short is still seen by its length.
        return peerClosed_ ? 0 : -1;
    }
    ERR_clear_error();
    if (peerClosed_) {
        return 0;
    }
    Fail(Failure::Other, "the secure data could not be read");
    return -2;
}

bool TTlsSession::HasPending() const {
    // Whole records may wait in the input beside the one SSL_read has opened.
    return established_ && failure_ == Failure::None &&
           (SSL_pending(h_->ssl.get()) > 0 || BIO_ctrl_pending(h_->in) > 0);
}

bool TTlsSession::Write(const char* data, std::size_t len) {
    if (!established_ || failure_ != Failure::None) {
        return false;
    }
    // Memory BIOs take every record at once: SSL_write never waits here.
    while (len > 0) {
        ERR_clear_error();
        const int chunk = static_cast<int>(std::min<std::size_t>(len, 1 << 20));
        const int n = SSL_write(h_->ssl.get(), data, chunk);
        if (n <= 0) {
            Fail(Failure::Other, "the secure data could not be sent");
            return false;
        }
        data += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

std::string TTlsSession::TakeOutgoing() {
    std::string bytes;
    if (h_->out == nullptr) {
        return bytes;
    }
    char* data = nullptr;
    const long n = BIO_get_mem_data(h_->out, &data);
    if (n > 0) {
        bytes.assign(data, static_cast<std::size_t>(n));
        (void)BIO_reset(h_->out);
    }
    return bytes;
}

std::string TTlsSession::Error() const {
    return TlsFailureText(failure_, host_, detail_);
}

std::string TlsFailureText(TTlsSession::Failure kind, const std::string& host,
                           const std::string& detail) {
    using F = TTlsSession::Failure;
    switch (kind) {
        case F::None:
            return {};
        case F::NotTrusted:
            return Replace(LoadStr(StrId::TlsNotTrusted), host);
        case F::Expired:
            return Replace(LoadStr(StrId::TlsExpired), host);
        case F::OtherName:
            return Replace(LoadStr(StrId::TlsOtherName), host);
        case F::Closed:
            return Replace(LoadStr(StrId::TlsClosed), host);
        case F::Other:
            break;
    }
    std::string line = Replace(LoadStr(StrId::TlsFailed), host);
    return detail.empty() ? line : line + ": " + detail;
}
