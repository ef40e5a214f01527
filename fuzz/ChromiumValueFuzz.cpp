// Fuzz entry for decrypting Chromium's stored cookie values (built and run by
// fuzz/run-fuzz.sh). Input: one byte of flags, a byte giving the password's length, the
// password, then the bytes. The bytes are decrypted as a stored value, and also encrypted as
// the browser would and decrypted back, which must give them again.

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/ChromiumCrypt.h"

namespace {

std::string Encrypt(const platform::ChromiumKey& key, std::string_view plain) {
    unsigned char iv[16];
    std::fill(std::begin(iv), std::end(iv), ' ');
    std::string out(plain.size() + 16, '\0');
    int written = 0;
    int last = 0;
    EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
    auto* o = reinterpret_cast<unsigned char*>(out.data());
    EVP_EncryptInit_ex(context, EVP_aes_128_cbc(), nullptr, key.data(), iv);
    EVP_EncryptUpdate(context, o, &written, reinterpret_cast<const unsigned char*>(plain.data()),
                      static_cast<int>(plain.size()));
    EVP_EncryptFinal_ex(context, o + written, &last);
    EVP_CIPHER_CTX_free(context);
    out.resize(static_cast<std::size_t>(written + last));
    return "v11" + out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    if (input.size() < 2) {
        return 0;
    }
    const bool domainDigest = (input[0] & 1) != 0;
    const std::size_t passwordSize =
        std::min<std::size_t>(static_cast<unsigned char>(input[1]), input.size() - 2);
    const std::string_view password = input.substr(2, passwordSize);
    const std::string_view bytes = input.substr(2 + passwordSize);
    const std::string_view host = "www.example.com";

    const auto key = platform::DeriveChromiumKey(password);
    if (!key) {
        std::abort();
    }
    if (const auto plain = platform::DecryptChromiumValue(bytes, *key, host, domainDigest)) {
        // Padding takes at least one byte, the digest its 32.
        if (plain->size() + 3 + 1 + (domainDigest ? 32 : 0) > bytes.size()) {
            std::abort();
        }
    }
    std::string prefix;
    if (domainDigest) {
        prefix.resize(32);
        EVP_Digest(host.data(), host.size(), reinterpret_cast<unsigned char*>(prefix.data()),
                   nullptr, EVP_sha256(), nullptr);
    }
    const auto back = platform::DecryptChromiumValue(Encrypt(*key, prefix + std::string(bytes)),
                                                     *key, host, domainDigest);
    if (!back || *back != bytes) {
        std::abort();
    }
    return 0;
}
