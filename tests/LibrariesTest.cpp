// Every library the engine decodes and decrypts with, linked and run. On
// Windows these are the static archives that scripts/build-windows-deps.sh
// builds from Debian's sources, so a library built for the wrong target, with
// the wrong calling convention or not linked at all fails here, before any
// format reader depends on it. The codecs round-trip through each library's
// own encoder (which only tests use); the cipher and the hash are checked
// through the engine against published answers.

#include "Crypto.h"

#include <bzlib.h>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <gtest/gtest.h>
#include <libdeflate.h>
#include <lz4.h>
#include <lzma.h>
#include <string>
#include <vector>
#include <zlib.h>
#include <zstd.h>

namespace Kestrune {
namespace {

using Buffer = std::vector<unsigned char>;

// Text-like data that every codec shrinks, with enough variety that a
// decoder which drops or repeats a match gives different bytes.
Buffer Sample() {
    Buffer data;
    for (std::uint32_t i = 0; data.size() < 100000; ++i) {
        const std::string line = "entry " + std::to_string(i * 7919U % 1000U) + " of the package\n";
        data.insert(data.end(), line.begin(), line.end());
    }
    return data;
}

Buffer ZlibRoundTrip(const Buffer& in) {
    uLongf packedSize = compressBound(static_cast<uLong>(in.size()));
    Buffer packed(packedSize);
    EXPECT_EQ(compress(packed.data(), &packedSize, in.data(), static_cast<uLong>(in.size())), Z_OK);
    uLongf outSize = static_cast<uLongf>(in.size());
    Buffer out(in.size());
    EXPECT_EQ(uncompress(out.data(), &outSize, packed.data(), packedSize), Z_OK);
    out.resize(outSize);
    return out;
}

Buffer Lz4RoundTrip(const Buffer& in) {
    const int inSize = static_cast<int>(in.size());
    Buffer packed(static_cast<std::size_t>(LZ4_compressBound(inSize)));
    const int packedSize = LZ4_compress_default(reinterpret_cast<const char*>(in.data()),
                                                reinterpret_cast<char*>(packed.data()), inSize,
                                                static_cast<int>(packed.size()));
    EXPECT_GT(packedSize, 0);
    Buffer out(in.size());
    const int outSize =
        LZ4_decompress_safe(reinterpret_cast<const char*>(packed.data()),
                            reinterpret_cast<char*>(out.data()), packedSize, inSize);
    out.resize(outSize < 0 ? 0 : static_cast<std::size_t>(outSize));
    return out;
}

Buffer LzmaRoundTrip(const Buffer& in) {
    Buffer packed(lzma_stream_buffer_bound(in.size()));
    std::size_t packedSize = 0;
    EXPECT_EQ(lzma_easy_buffer_encode(LZMA_PRESET_DEFAULT, LZMA_CHECK_CRC32, nullptr, in.data(),
                                      in.size(), packed.data(), &packedSize, packed.size()),
              LZMA_OK);
    Buffer out(in.size());
    std::uint64_t memoryLimit = UINT64_MAX;
    std::size_t inAt = 0;
    std::size_t outAt = 0;
    EXPECT_EQ(lzma_stream_buffer_decode(&memoryLimit, 0, nullptr, packed.data(), &inAt, packedSize,
                                        out.data(), &outAt, out.size()),
              LZMA_OK);
    out.resize(outAt);
    return out;
}

Buffer ZstdRoundTrip(const Buffer& in) {
    Buffer packed(ZSTD_compressBound(in.size()));
    const std::size_t packedSize =
        ZSTD_compress(packed.data(), packed.size(), in.data(), in.size(), 3);
    EXPECT_FALSE(ZSTD_isError(packedSize)) << ZSTD_getErrorName(packedSize);
    Buffer out(in.size());
    const std::size_t outSize = ZSTD_decompress(out.data(), out.size(), packed.data(), packedSize);
    EXPECT_FALSE(ZSTD_isError(outSize)) << ZSTD_getErrorName(outSize);
    out.resize(ZSTD_isError(outSize) ? 0 : outSize);
    return out;
}

Buffer BZip2RoundTrip(const Buffer& in) {
    Buffer packed(in.size() + in.size() / 100 + 600);
    auto packedSize = static_cast<unsigned>(packed.size());
    EXPECT_EQ(BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(packed.data()), &packedSize,
                                       const_cast<char*>(reinterpret_cast<const char*>(in.data())),
                                       static_cast<unsigned>(in.size()), 9, 0, 0),
              BZ_OK);
    Buffer out(in.size());
    auto outSize = static_cast<unsigned>(out.size());
    EXPECT_EQ(BZ2_bzBuffToBuffDecompress(reinterpret_cast<char*>(out.data()), &outSize,
                                         reinterpret_cast<char*>(packed.data()), packedSize, 0, 0),
              BZ_OK);
    out.resize(outSize);
    return out;
}

Buffer DeflateRoundTrip(const Buffer& in) {
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(6);
    EXPECT_NE(compressor, nullptr);
    Buffer packed(libdeflate_deflate_compress_bound(compressor, in.size()));
    const std::size_t packedSize =
        libdeflate_deflate_compress(compressor, in.data(), in.size(), packed.data(), packed.size());
    libdeflate_free_compressor(compressor);
    EXPECT_GT(packedSize, 0U);
    libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
    EXPECT_NE(decompressor, nullptr);
    Buffer out(in.size());
    std::size_t outSize = 0;
    EXPECT_EQ(libdeflate_deflate_decompress(decompressor, packed.data(), packedSize, out.data(),
                                            out.size(), &outSize),
              LIBDEFLATE_SUCCESS);
    libdeflate_free_decompressor(decompressor);
    out.resize(outSize);
    return out;
}

TEST(LibrariesTest, EachCodecRoundTripsThroughItsLibrary) {
    const struct {
        const char* library;
        std::function<Buffer(const Buffer&)> roundTrip;
    } cases[] = {
        {"zlib", ZlibRoundTrip},    {"liblz4", Lz4RoundTrip},         {"liblzma", LzmaRoundTrip},
        {"libzstd", ZstdRoundTrip}, {"libdeflate", DeflateRoundTrip}, {"libbz2", BZip2RoundTrip},
    };
    const Buffer sample = Sample();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.library);
        EXPECT_EQ(c.roundTrip(sample), sample);
    }
}

Buffer FromHex(const std::string& hex) {
    Buffer bytes;
    for (std::size_t at = 0; at + 1 < hex.size(); at += 2) {
        bytes.push_back(static_cast<unsigned char>(std::stoi(hex.substr(at, 2), nullptr, 16)));
    }
    return bytes;
}

// FIPS-197 appendix C.3 (AES-256) and FIPS 180 ("abc", SHA-1).
TEST(LibrariesTest, MbedCryptoGivesThePublishedAnswers) {
    AesKey key{};
    for (std::size_t i = 0; i < key.size(); ++i)
        key[i] = static_cast<unsigned char>(i);
    Buffer block = FromHex("8ea2b7ca516745bfeafc49904b496089");
    DecryptAes256Ecb(key, block);
    EXPECT_EQ(block, FromHex("00112233445566778899aabbccddeeff"));

    const Buffer abc = {'a', 'b', 'c'};
    const Sha1Digest digest = Sha1(abc);
    EXPECT_EQ(Buffer(digest.begin(), digest.end()),
              FromHex("a9993e364706816aba3e25717850c26c9cd0d89d"));
}

} // namespace
} // namespace Kestrune
