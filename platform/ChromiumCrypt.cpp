#include "platform/ChromiumCrypt.h"

#include <openssl/evp.h>

#include <memory>

namespace platform {

namespace {

constexpr std::string_view kFixedKeyTag = "v10";
constexpr std::string_view kKeyringKeyTag = "v11";
constexpr std::size_t kBlock = 16;
constexpr std::size_t kDomainDigestBytes = 32;

struct CipherFree {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};

}  // namespace

ChromiumKeyKind KeyKindOf(std::string_view encrypted) {
    if (encrypted.starts_with(kFixedKeyTag)) {
        return ChromiumKeyKind::Fixed;
    }
    if (encrypted.starts_with(kKeyringKeyTag)) {
        return ChromiumKeyKind::Keyring;
    }
    return ChromiumKeyKind::Unknown;
}

std::optional<ChromiumKey> DeriveChromiumKey(std::string_view password) {
    static constexpr std::string_view kSalt = "saltysalt";
    ChromiumKey key{};
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                          reinterpret_cast<const unsigned char*>(kSalt.data()),
                          static_cast<int>(kSalt.size()), 1, EVP_sha1(),
                          static_cast<int>(key.size()), key.data()) != 1) {
        return std::nullopt;
    }
    return key;
}

const std::optional<ChromiumKey>& FixedChromiumKey() {
    static const std::optional<ChromiumKey> key = DeriveChromiumKey("peanuts");
    return key;
}

std::optional<std::string> DecryptChromiumValue(std::string_view encrypted, const ChromiumKey& key,
                                                std::string_view hostKey, bool domainDigest) {
    if (KeyKindOf(encrypted) == ChromiumKeyKind::Unknown) {
        return std::nullopt;
    }
    const std::string_view data = encrypted.substr(kFixedKeyTag.size());
    if (data.empty() || data.size() % kBlock != 0) {
        return std::nullopt;
    }
    std::unique_ptr<EVP_CIPHER_CTX, CipherFree> context(EVP_CIPHER_CTX_new());
    std::array<unsigned char, kBlock> iv;
    iv.fill(' ');
    std::string plain(data.size() + kBlock, '\0');
    int written = 0;
    int last = 0;
    auto* out = reinterpret_cast<unsigned char*>(plain.data());
    if (!context ||
        EVP_DecryptInit_ex(context.get(), EVP_aes_128_cbc(), nullptr, key.data(), iv.data()) != 1 ||
        EVP_DecryptUpdate(context.get(), out, &written,
                          reinterpret_cast<const unsigned char*>(data.data()),
                          static_cast<int>(data.size())) != 1 ||
        EVP_DecryptFinal_ex(context.get(), out + written, &last) != 1) {
        return std::nullopt;
    }
    plain.resize(static_cast<std::size_t>(written + last));
    if (domainDigest) {
        std::array<unsigned char, kDomainDigestBytes> digest{};
        unsigned int digestSize = 0;
        if (plain.size() < kDomainDigestBytes ||
            EVP_Digest(hostKey.data(), hostKey.size(), digest.data(), &digestSize, EVP_sha256(),
                       nullptr) != 1 ||
            digestSize != digest.size() ||
            plain.compare(0, kDomainDigestBytes,
                          std::string_view(reinterpret_cast<const char*>(digest.data()),
                                           digest.size())) != 0) {
            return std::nullopt;
        }
        plain.erase(0, kDomainDigestBytes);
    }
    return plain;
}

}  // namespace platform
