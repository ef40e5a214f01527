#include "tests/support/TestTls.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <stdexcept>

namespace testsupport {

namespace {

struct KeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct CertFree {
    void operator()(X509* c) const { X509_free(c); }
};
struct CtxFree {
    void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;

constexpr long kDay = 24 * 60 * 60;

void Require(bool ok, const char* what) {
    if (!ok) {
        throw std::runtime_error(std::string("TestAuthority: ") + what);
    }
}

void AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    Require(ext != nullptr && X509_add_ext(cert, ext, -1) == 1, "extension");
    X509_EXTENSION_free(ext);
}

bool IsAddress(const std::string& name) {
    return name.find_first_not_of("0123456789.") == std::string::npos;
}

// A certificate for name valid from..to seconds from now; issuer null means signed by itself.
Cert MakeCert(EVP_PKEY* key, const std::string& name, bool ca, long from, long to, X509* issuer,
              EVP_PKEY* issuerKey) {
    static std::atomic<long> serial{1000};
    Cert cert(X509_new());
    X509* x = cert.get();
    Require(x != nullptr, "certificate");
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), ++serial);
    X509_gmtime_adj(X509_getm_notBefore(x), from);
    X509_gmtime_adj(X509_getm_notAfter(x), to);
    X509_set_pubkey(x, key);
    X509_NAME* subject = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(name.c_str()), -1, -1, 0);
    X509* signer = issuer != nullptr ? issuer : x;
    X509_set_issuer_name(x, X509_get_subject_name(signer));
    AddExtension(x, signer, NID_basic_constraints, ca ? "critical,CA:TRUE" : "CA:FALSE");
    AddExtension(x, signer, NID_subject_key_identifier, "hash");
    if (ca) {
        AddExtension(x, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        AddExtension(x, signer, NID_subject_alt_name, (IsAddress(name) ? "IP:" : "DNS:") + name);
        AddExtension(x, signer, NID_ext_key_usage, "serverAuth");
    }
    if (issuer != nullptr) {
        AddExtension(x, signer, NID_authority_key_identifier, "keyid:always");
    }
    Require(X509_sign(x, issuerKey != nullptr ? issuerKey : key, EVP_sha256()) > 0, "signing");
    return cert;
}

}  // namespace

struct TestAuthority::Impl {
    Key caKey;
    Cert ca;
    Key leafKey;
    std::unique_ptr<SSL_CTX, CtxFree> ctx;
    std::mutex mutex;
    std::map<std::string, Cert> leaves;

    X509* LeafFor(const std::string& asked) {
        std::lock_guard lock(mutex);
        auto it = leaves.find(asked);
        if (it != leaves.end()) {
            return it->second.get();
        }
        Cert leaf;
        if (asked.starts_with("expired.")) {
            leaf = MakeCert(leafKey.get(), asked, false, -30 * kDay, -kDay, ca.get(), caKey.get());
        } else if (asked.starts_with("untrusted.")) {
            leaf = MakeCert(leafKey.get(), asked, false, -kDay, 30 * kDay, nullptr, nullptr);
        } else if (asked.starts_with("othername.")) {
            leaf = MakeCert(leafKey.get(), "elsewhere.invalid", false, -kDay, 30 * kDay, ca.get(),
                            caKey.get());
        } else {
            leaf = MakeCert(leafKey.get(), asked, false, -kDay, 30 * kDay, ca.get(), caKey.get());
        }
        return leaves.emplace(asked, std::move(leaf)).first->second.get();
    }

    static int ChooseCertificate(SSL* ssl, void* arg) {
        auto* self = static_cast<Impl*>(arg);
        const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
        try {
            X509* leaf = self->LeafFor(name != nullptr ? name : "127.0.0.1");
            return SSL_use_certificate(ssl, leaf) == 1 &&
                           SSL_use_PrivateKey(ssl, self->leafKey.get()) == 1
                       ? 1
                       : 0;
        } catch (...) {
            return 0;
        }
    }
};

TestAuthority::TestAuthority(std::string caFile)
    : caFile_(std::move(caFile)), impl_(std::make_unique<Impl>()) {
    impl_->caKey.reset(EVP_EC_gen("P-256"));
    impl_->leafKey.reset(EVP_EC_gen("P-256"));
    Require(impl_->caKey && impl_->leafKey, "key");
    impl_->ca = MakeCert(impl_->caKey.get(), "Tamberlo Test Authority", true, -kDay, 365 * kDay,
                         nullptr, nullptr);
    FILE* f = std::fopen(caFile_.c_str(), "w");
    Require(f != nullptr, "cannot write the authority's file");
    const bool written = PEM_write_X509(f, impl_->ca.get()) == 1;
    std::fclose(f);
    Require(written, "cannot write the authority's file");
    impl_->ctx.reset(SSL_CTX_new(TLS_server_method()));
    Require(impl_->ctx != nullptr, "context");
    SSL_CTX_set_min_proto_version(impl_->ctx.get(), TLS1_2_VERSION);
    SSL_CTX_set_cert_cb(impl_->ctx.get(), &Impl::ChooseCertificate, impl_.get());
}

TestAuthority::~TestAuthority() = default;

SSL_CTX* TestAuthority::ServerContext() const {
    return impl_->ctx.get();
}

}  // namespace testsupport
