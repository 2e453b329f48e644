#pragma once

// The cipher and the hash that packages use, from mbedTLS: AES-256-ECB for
// Unreal paks' encrypted indexes and entries (and AES-256-CTR for IoStore
// containers that declare it), SHA-1 for the hashes they keep of them.

#include "ReadOptions.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace Kestrune {

using Sha1Digest = std::array<unsigned char, 20>;

// Decrypts `data` in place, 16 bytes at a time; a trailing partial unit is
// left as it is (callers check that lengths are multiples of 16).
void DecryptAes256Ecb(const AesKey& key, std::span<unsigned char> data);

// Encrypts `data` in place, the inverse of DecryptAes256Ecb.
void EncryptAes256Ecb(const AesKey& key, std::span<unsigned char> data);

// The 12-byte IV of an AES-256-CTR stream; the counter block is the IV and
// a big-endian 32-bit block number.
using CtrIv = std::array<unsigned char, 12>;

// Decrypts (or encrypts: the same) `data` in place as the part of a CTR
// stream that starts at block number `firstBlock`, 16 bytes a block.
void CryptAes256Ctr(const AesKey& key, const CtrIv& iv, std::uint64_t firstBlock,
                    std::span<unsigned char> data);

Sha1Digest Sha1(std::span<const unsigned char> data);

using Md5Digest = std::array<unsigned char, 16>;

// MD5 over data that arrives in pieces, as VPK directories keep it.
class Md5Hasher {
public:
    Md5Hasher();
    ~Md5Hasher();
    Md5Hasher(const Md5Hasher&) = delete;
    Md5Hasher& operator=(const Md5Hasher&) = delete;

    void Update(std::span<const unsigned char> data);
    Md5Digest Finish();

private:
    alignas(8) unsigned char state_[128]; // mbedtls_md5_context, kept out of this header
};

// The bytes of base64 text (RFC 4648, with its padding), as keys are often
// written. False when `text` is not base64 or its bytes do not fit `out`;
// `length` then says nothing.
bool DecodeBase64(std::string_view text, std::span<unsigned char> out, std::size_t& length);

// `data` as base64 text (RFC 4648, with padding), appended to `out`.
void AppendBase64(std::span<const unsigned char> data, std::string& out);

// SHA-1 over data that arrives in pieces.
class Sha1Hasher {
public:
    Sha1Hasher();
    ~Sha1Hasher();
    Sha1Hasher(const Sha1Hasher&) = delete;
    Sha1Hasher& operator=(const Sha1Hasher&) = delete;

    void Update(std::span<const unsigned char> data);
    Sha1Digest Finish();

private:
    alignas(8) unsigned char state_[128]; // mbedtls_sha1_context, kept out of this header
};

} // namespace Kestrune
