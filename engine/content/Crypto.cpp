#include "Crypto.h"

#include <cstring>
#include <mbedtls/aes.h>
#include <mbedtls/base64.h>
#include <mbedtls/sha1.h>
#include <new>

namespace Kestrune {
namespace {

static_assert(sizeof(mbedtls_sha1_context) <= 128, "Sha1Hasher keeps the context inline");

mbedtls_sha1_context& Context(unsigned char* state) {
    return *std::launder(reinterpret_cast<mbedtls_sha1_context*>(state));
}

} // namespace

void DecryptAes256Ecb(const AesKey& key, std::span<unsigned char> data) {
    mbedtls_aes_context aes;
    mbedtls_aes_init(&aes);
    mbedtls_aes_setkey_dec(&aes, key.data(), 256);
    for (std::size_t at = 0; at + 16 <= data.size(); at += 16) {
        mbedtls_aes_crypt_ecb(&aes, MBEDTLS_AES_DECRYPT, data.data() + at, data.data() + at);
    }
    mbedtls_aes_free(&aes);
}

void CryptAes256Ctr(const AesKey& key, std::span<const unsigned char, 12> iv,
                    std::uint32_t firstUnit, std::span<unsigned char> data) {
    mbedtls_aes_context aes;
    mbedtls_aes_init(&aes);
    mbedtls_aes_setkey_enc(&aes, key.data(), 256);
    unsigned char counter[16];
    std::memcpy(counter, iv.data(), 12);
    for (int i = 0; i < 4; ++i) {
        counter[12 + i] = static_cast<unsigned char>(firstUnit >> (24 - 8 * i));
    }
    unsigned char stream[16];
    std::size_t used = 0;
    mbedtls_aes_crypt_ctr(&aes, data.size(), &used, counter, stream, data.data(), data.data());
    mbedtls_aes_free(&aes);
}

Sha1Digest Sha1(std::span<const unsigned char> data) {
    Sha1Hasher hasher;
    hasher.Update(data);
    return hasher.Finish();
}

bool DecodeBase64(std::string_view text, std::span<unsigned char> out, std::size_t& length) {
    length = 0;
    return mbedtls_base64_decode(out.data(), out.size(), &length,
                                 reinterpret_cast<const unsigned char*>(text.data()),
                                 text.size()) == 0;
}

void AppendBase64(std::span<const unsigned char> data, std::string& out) {
    const std::size_t at = out.size();
    out.resize(at + (data.size() + 2) / 3 * 4 + 1);
    std::size_t written = 0;
    mbedtls_base64_encode(reinterpret_cast<unsigned char*>(out.data() + at), out.size() - at,
                          &written, data.data(), data.size());
    out.resize(at + written);
}

Sha1Hasher::Sha1Hasher() {
    new (state_) mbedtls_sha1_context;
    mbedtls_sha1_init(&Context(state_));
    mbedtls_sha1_starts_ret(&Context(state_));
}

Sha1Hasher::~Sha1Hasher() {
    mbedtls_sha1_free(&Context(state_));
}

void Sha1Hasher::Update(std::span<const unsigned char> data) {
    mbedtls_sha1_update_ret(&Context(state_), data.data(), data.size());
}

Sha1Digest Sha1Hasher::Finish() {
    Sha1Digest digest{};
    mbedtls_sha1_finish_ret(&Context(state_), digest.data());
    return digest;
}

} // namespace Kestrune
