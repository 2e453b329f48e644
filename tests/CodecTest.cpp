// The codecs and the entry reader's pieces: blocks made by each library's
// own encoder, decoded back through the content layer, and the same blocks
// cut, lengthened, padded, encrypted with the wrong key.

#include "Codecs.h"
#include "Crypto.h"
#include "EntryData.h"
#include "PackageFiles.h"
#include "support/Files.h"
#include "support/UnityBuilder.h"

#include <bzlib.h>
#include <cstring>
#include <gtest/gtest.h>
#include <lz4.h>
#include <lzma.h>
#include <mbedtls/aes.h>
#include <string>
#include <vector>
#include <zlib.h>
#include <zstd.h>

namespace Kestrune {
namespace {

using Bytes = std::vector<unsigned char>;

Bytes Text(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// Content that compresses but not to nothing.
Bytes Sample(std::size_t size, unsigned seed = 1) {
    Bytes bytes(size);
    unsigned state = seed;
    for (std::size_t i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        bytes[i] = static_cast<unsigned char>(i % 7 == 0 ? (state >> 16) : 'a' + i % 13);
    }
    return bytes;
}

Bytes Deflated(const Bytes& data, int windowBits) {
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
    Bytes out(deflateBound(&z, static_cast<uLong>(data.size())) + 32);
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

Bytes LzmaCoded(const Bytes& data, bool alone, bool endMarker) {
    lzma_options_lzma options{};
    lzma_lzma_preset(&options, 1);
    lzma_stream stream = LZMA_STREAM_INIT;
    Bytes out;
    if (alone) {
        EXPECT_EQ(lzma_alone_encoder(&stream, &options), LZMA_OK);
    } else {
        options.ext_flags = endMarker ? LZMA_LZMA1EXT_ALLOW_EOPM : 0;
        options.ext_size_low = static_cast<std::uint32_t>(data.size());
        options.ext_size_high = 0;
        lzma_filter chain[2] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
        EXPECT_EQ(lzma_raw_encoder(&stream, chain), LZMA_OK);
        lzma_filter plain{LZMA_FILTER_LZMA1, &options};
        out.resize(5);
        lzma_properties_encode(&plain, out.data());
    }
    const std::size_t header = out.size();
    out.resize(header + data.size() + data.size() / 2 + 1024);
    stream.next_in = data.data();
    stream.avail_in = data.size();
    stream.next_out = out.data() + header;
    stream.avail_out = out.size() - header;
    while (lzma_code(&stream, LZMA_FINISH) == LZMA_OK) {
    }
    out.resize(header + stream.total_out);
    lzma_end(&stream);
    return out;
}

Bytes Encode(Codec codec, const Bytes& data) {
    switch (codec) {
    case Codec::Zlib:
        return Deflated(data, 15);
    case Codec::Gzip:
        return Deflated(data, 31);
    case Codec::Deflate:
        return Deflated(data, -15);
    case Codec::Lz4: {
        Bytes out(static_cast<std::size_t>(LZ4_compressBound(static_cast<int>(data.size()))));
        out.resize(static_cast<std::size_t>(LZ4_compress_default(
            reinterpret_cast<const char*>(data.data()), reinterpret_cast<char*>(out.data()),
            static_cast<int>(data.size()), static_cast<int>(out.size()))));
        return out;
    }
    case Codec::Lzma:
        return LzmaCoded(data, false, false);
    case Codec::LzmaAlone:
        return LzmaCoded(data, true, true);
    case Codec::Zstd: {
        Bytes out(ZSTD_compressBound(data.size()));
        out.resize(ZSTD_compress(out.data(), out.size(), data.data(), data.size(), 3));
        return out;
    }
    case Codec::Oodle: {
        Bytes out{'K'};
        for (unsigned char byte : data) {
            out.push_back(static_cast<unsigned char>(~byte));
        }
        return out;
    }
    case Codec::BZip2: {
        Bytes out(data.size() + data.size() / 100 + 600);
        auto length = static_cast<unsigned>(out.size());
        EXPECT_EQ(
            BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(out.data()), &length,
                                     const_cast<char*>(reinterpret_cast<const char*>(data.data())),
                                     static_cast<unsigned>(data.size()), 9, 0, 0),
            BZ_OK);
        out.resize(length);
        return out;
    }
    case Codec::Xz: {
        Bytes out(lzma_stream_buffer_bound(data.size()));
        std::size_t length = 0;
        EXPECT_EQ(lzma_easy_buffer_encode(1, LZMA_CHECK_CRC64, nullptr, data.data(), data.size(),
                                          out.data(), &length, out.size()),
                  LZMA_OK);
        out.resize(length);
        return out;
    }
    case Codec::LzmaZip: {
        // LZMA SDK version 9.20, 5 property bytes, the stream with its end marker.
        Bytes out{9, 20, 5, 0};
        const Bytes raw = LzmaCoded(data, false, true);
        out.insert(out.end(), raw.begin(), raw.end());
        return out;
    }
    case Codec::Brotli: {
        // Unity's form, the bytes in uncompressed meta-blocks.
        const std::string coded = Testing::BrotliWhole(std::string(data.begin(), data.end()));
        return Bytes(coded.begin(), coded.end());
    }
    case Codec::Stored:
        break;
    }
    return data;
}

ReadOptions WithOodle() {
    ReadOptions options;
    options.oodleLibrary = KESTRUNE_OODLE_STANDIN;
    return options;
}

const Codec kCodecs[] = {Codec::Zlib,  Codec::Gzip,      Codec::Deflate, Codec::Lz4,
                         Codec::Lzma,  Codec::LzmaAlone, Codec::Zstd,    Codec::Oodle,
                         Codec::BZip2, Codec::Xz,        Codec::LzmaZip, Codec::Brotli};

// One block of each codec, whole, cut at every length, one byte longer or
// shorter than declared, and followed by stray bytes.
TEST(Codecs, EveryCodecDecodesExactlyItsDeclaredLength) {
    const Bytes data = Sample(3000);
    const ReadOptions options = WithOodle();
    for (const Codec codec : kCodecs) {
        SCOPED_TRACE(std::string(CodecName(codec)) + (codec == Codec::LzmaAlone ? " alone" : ""));
        const Bytes coded = Encode(codec, data);
        Bytes out(data.size());
        EXPECT_EQ(DecodeWhole(codec, coded, out, options), std::nullopt);
        EXPECT_EQ(out, data);

        // Every prefix fails cleanly and keeps only bytes that decoded.
        for (std::size_t cut = 0; cut < coded.size(); ++cut) {
            Bytes part(data.size(), 0xEE);
            const auto outcome =
                DecodeInto(codec, std::span<const unsigned char>(coded).first(cut), part, options);
            ASSERT_TRUE(outcome.failure.has_value()) << "cut at " << cut;
            ASSERT_LE(outcome.produced, data.size());
            ASSERT_TRUE(std::equal(part.begin(), part.begin() + static_cast<long>(outcome.produced),
                                   data.begin()));
        }

        // Declared one byte short: the block decodes long, and no byte is
        // written beyond the declared ones.
        Bytes shorter(data.size() - 1);
        const auto longer = DecodeInto(codec, coded, shorter, options);
        ASSERT_TRUE(longer.failure.has_value());
        // LZMA told its decoded length, and Oodle, say only that the data is
        // damaged; the others say by how much.
        const bool lzma1 =
            codec == Codec::Lzma || codec == Codec::LzmaAlone || codec == Codec::LzmaZip;
        const bool saysLength = !lzma1 && codec != Codec::Oodle;
        EXPECT_EQ(longer.wrongLength, saysLength) << *longer.failure;
        Bytes roomier(data.size() + 1);
        const auto shortOutcome = DecodeInto(codec, coded, roomier, options);
        ASSERT_TRUE(shortOutcome.failure.has_value());
        if (!lzma1) {
            EXPECT_EQ(*shortOutcome.failure, "decodes to 3000 bytes, 3001 declared");
        }

        Bytes padded = coded;
        padded.insert(padded.end(), {'x', 'y', 'z'});
        EXPECT_TRUE(DecodeWhole(codec, padded, out, options).has_value());
    }
}

TEST(Codecs, ReasonsInWords) {
    const Bytes data = Sample(1000);
    Bytes out(data.size());
    Bytes shorter(999);
    EXPECT_EQ(DecodeWhole(Codec::Zlib, Encode(Codec::Zlib, data), shorter),
              "decodes to 1000 bytes, 999 declared");
    EXPECT_EQ(DecodeWhole(Codec::Lz4, Encode(Codec::Lz4, data), shorter),
              "decodes to 1000 bytes, 999 declared");
    EXPECT_EQ(DecodeWhole(Codec::Lz4, Text("\xF0garbage"), out), "LZ4 data is damaged");
    EXPECT_EQ(DecodeWhole(Codec::Oodle, Encode(Codec::Oodle, data), out), kOodleMissing);
    ReadOptions missing;
    missing.oodleLibrary = "/nonexistent/liboo2corelinux64.so";
    EXPECT_NE(DecodeWhole(Codec::Oodle, Encode(Codec::Oodle, data), out, missing)
                  ->find("the Oodle library /nonexistent/liboo2corelinux64.so cannot be used"),
              std::string::npos);
    Bytes zlib = Encode(Codec::Zlib, data);
    zlib.push_back(0);
    EXPECT_EQ(DecodeWhole(Codec::Zlib, zlib, out), "1 bytes follow the end of the Zlib data");
    Bytes lzma = Encode(Codec::Lzma, data);
    lzma[0] = 0xFF;
    EXPECT_EQ(DecodeWhole(Codec::Lzma, lzma, out), "LZMA properties are invalid");
    // A dictionary of 4 GiB declared for a 1000-byte block: clamped to the
    // block, so nothing near it is allocated.
    lzma = Encode(Codec::Lzma, data);
    std::memset(lzma.data() + 1, 0xFF, 4);
    EXPECT_EQ(DecodeWhole(Codec::Lzma, lzma, out), std::nullopt);
    EXPECT_EQ(out, data);
    // Raw LZMA with an end marker after the declared bytes is taken too.
    EXPECT_EQ(DecodeWhole(Codec::Lzma, LzmaCoded(data, false, true), out), std::nullopt);
}

// What a sink received.
class MemorySink final : public EntrySink {
public:
    bool Write(const unsigned char* data, std::size_t length) override {
        bytes.insert(bytes.end(), data, data + length);
        return true;
    }
    std::string FailureText() const override { return "cannot write"; }
    Bytes bytes;
};

// A package of pieces: their stored bytes one after another in one file.
struct PiecePackage {
    Testing::TempDir dir;
    std::string path = dir.file("pieces.bin");
    std::string stored;
    std::shared_ptr<SharedContent> shared = std::make_shared<SharedContent>();

    void Add(Codec codec, const Bytes& coded, std::uint64_t decoded, bool encrypted = false) {
        Piece piece;
        piece.offset = stored.size();
        piece.storedLength = coded.size();
        piece.codedLength = coded.size();
        piece.decodedLength = decoded;
        piece.codec = codec;
        piece.encrypted = encrypted;
        stored.append(coded.begin(), coded.end());
        shared->pieces.push_back(piece);
    }
    // Adds `data` encoded by `codec`, AES-encrypted with `key` when given.
    void AddEncoded(Codec codec, const Bytes& data, const AesKey* key = nullptr) {
        Bytes coded = Encode(codec, data);
        const std::size_t codedLength = coded.size();
        if (key != nullptr) {
            coded.resize((coded.size() + 15) / 16 * 16);
            mbedtls_aes_context aes;
            mbedtls_aes_init(&aes);
            mbedtls_aes_setkey_enc(&aes, key->data(), 256);
            for (std::size_t at = 0; at < coded.size(); at += 16) {
                mbedtls_aes_crypt_ecb(&aes, MBEDTLS_AES_ENCRYPT, coded.data() + at,
                                      coded.data() + at);
            }
            mbedtls_aes_free(&aes);
        }
        Add(codec, coded, data.size(), key != nullptr);
        shared->pieces.back().codedLength = codedLength;
    }
    ArchiveEntry Entry(std::uint32_t first, std::uint32_t count, std::uint64_t skip,
                       std::uint64_t size) const {
        ArchiveEntry entry;
        entry.size = size;
        entry.content.encoding = ContentEncoding::Pieces;
        entry.content.shared = shared;
        entry.content.firstPiece = first;
        entry.content.pieceCount = count;
        entry.content.skip = skip;
        return entry;
    }
    // Reads `entry`; the bytes in `got`, the reason (empty when whole).
    std::string Read(const ArchiveEntry& entry, Bytes& got, const ReadOptions& options = {}) {
        if (!files) {
            Testing::WriteFile(path, stored);
            files = PackageFiles::Open(path, options);
            reader = std::make_unique<EntryReader>(*files);
        }
        MemorySink sink;
        const auto failure = reader->Read(entry, sink);
        got = sink.bytes;
        return failure ? failure->reason : std::string();
    }
    std::unique_ptr<PackageFiles> files;
    std::unique_ptr<EntryReader> reader;
};

Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t length) {
    return Bytes(bytes.begin() + static_cast<long>(from),
                 bytes.begin() + static_cast<long>(from + length));
}

TEST(EntryReaderPieces, SlicesOfDecodedPieces) {
    PiecePackage package;
    const Bytes a = Sample(5000, 1), b = Sample(7000, 2), c = Sample(3000, 3);
    package.AddEncoded(Codec::Zlib, a);
    package.AddEncoded(Codec::Lz4, b);
    package.AddEncoded(Codec::Zstd, c);
    Bytes all = a;
    all.insert(all.end(), b.begin(), b.end());
    all.insert(all.end(), c.begin(), c.end());
    struct Case {
        std::uint32_t first, count;
        std::uint64_t skip, size;
    };
    // A whole multi-piece entry, a slice across all three, entries sharing
    // the middle piece (read twice, out of order), an empty one.
    for (const Case& row :
         {Case{0, 3, 0, 15000}, Case{0, 3, 4990, 7020}, Case{1, 1, 10, 100}, Case{1, 1, 6000, 1000},
          Case{1, 1, 0, 10}, Case{1, 2, 6999, 2}, Case{0, 1, 5000, 0}}) {
        Bytes got;
        EXPECT_EQ(package.Read(package.Entry(row.first, row.count, row.skip, row.size), got), "");
        const std::size_t base = row.first == 0 ? 0 : 5000;
        EXPECT_EQ(got, Slice(all, base + row.skip, row.size)) << row.first << " " << row.skip;
    }
}

// An entry of many whole blocks is decoded two threads at a time; what
// arrives is still the blocks in order, and a damaged block keeps exactly
// the blocks before it.
TEST(EntryReaderPieces, ManyWholeBlocksArriveInOrder) {
    const Codec codecs[] = {Codec::Zlib, Codec::Lz4, Codec::Zstd, Codec::Stored};
    struct Case {
        const char* what;
        int damaged; // block number from 1, 0 for none
        std::uint64_t skip;
        std::string reason;
    };
    for (const Case& row : {Case{"whole", 0, 0, ""}, Case{"from inside the first", 0, 1234, ""},
                            Case{"sixth damaged", 6, 0, "LZ4 data is damaged (block 6)"},
                            Case{"first damaged", 1, 0, "LZ4 data is damaged (block 1)"},
                            Case{"last damaged", 9, 0, "LZ4 data is damaged (block 9)"}}) {
        SCOPED_TRACE(row.what);
        PiecePackage package;
        Bytes all;
        for (int block = 1; block <= 9; ++block) {
            const Bytes data = Sample(4000, block);
            if (block == row.damaged) {
                package.Add(Codec::Lz4, Text("\xF0garbage"), 4000);
            } else {
                package.AddEncoded(codecs[block % 4], data);
            }
            all.insert(all.end(), data.begin(), data.end());
        }
        Bytes got;
        EXPECT_EQ(package.Read(package.Entry(0, 9, row.skip, 36000 - row.skip), got), row.reason);
        const std::size_t kept = row.damaged == 0 ? 36000 : (row.damaged - 1) * std::size_t{4000};
        EXPECT_EQ(got, Slice(all, row.skip, kept - row.skip));
    }
}

TEST(EntryReaderPieces, DamageToOneEntry) {
    const AesKey key{1, 2, 3}, otherKey{9, 9, 9};
    const Bytes data = Sample(4000);
    struct Case {
        const char* what;
        std::string reason;
    };
    for (int row = 0; row < 9; ++row) {
        PiecePackage package;
        package.AddEncoded(Codec::Zlib, data);
        ArchiveEntry entry = package.Entry(0, 2, 0, 8000);
        std::string expected;
        std::size_t kept = 4000;
        switch (row) {
        case 0: // the second block declares one byte fewer than it holds
            package.Add(Codec::Zlib, Encode(Codec::Zlib, data), 3999);
            expected = "block 2 of 2 decodes to 4000 bytes, 3999 declared";
            kept = 4000 + 3999;
            entry.size = 7999;
            break;
        case 1:
            package.Add(Codec::Lz4, Text("\xF0garbage"), 4000);
            expected = "LZ4 data is damaged (block 2)";
            break;
        case 2:
            package.shared->aesKey = otherKey;
            package.AddEncoded(Codec::Zlib, data, &key);
            expected = "does not decrypt with the key given";
            break;
        case 3:
            package.shared->aesKey = key;
            package.Add(Codec::Zlib, Bytes(20), 4000, true);
            expected = "block 2 of 2 is encrypted, but its 20 stored bytes are not a whole "
                       "number of 16-byte units";
            break;
        case 4:
            package.AddEncoded(Codec::Zlib, data, &key);
            expected = "encrypted, and no AES key was given for it";
            break;
        case 5: // the right key: it decodes
            package.shared->aesKey = key;
            package.AddEncoded(Codec::Lz4, data, &key);
            kept = 8000;
            break;
        case 6: {
            package.AddEncoded(Codec::Zstd, data);
            entry = package.Entry(0, 2, 0, 8000);
            entry.content.storedSha1 = Sha1Digest{};
            expected = "SHA-1 mismatch (0000000000000000000000000000000000000000 stored, ";
            kept = 8000;
            break;
        }
        case 7:
            package.AddEncoded(Codec::Oodle, data);
            expected = std::string(kOodleMissing);
            break;
        case 8: // a block declaring 4 GiB from a few bytes is a stream, never held
            package.Add(Codec::Zlib, Encode(Codec::Zlib, Text("hello")), std::uint64_t{4} << 30);
            entry.size = 4000 + (std::uint64_t{4} << 30);
            expected = "block 2 of 2 decodes to 5 bytes, 4294967296 declared";
            kept = 4005;
            break;
        }
        Bytes got;
        const std::string reason = package.Read(entry, got);
        SCOPED_TRACE(row);
        EXPECT_EQ(reason.substr(0, expected.size()), expected);
        EXPECT_EQ(got.size(), kept);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), got.begin()));
    }
    // The stored bytes' SHA-1, as stored, passes.
    PiecePackage package;
    package.AddEncoded(Codec::Zlib, data);
    ArchiveEntry entry = package.Entry(0, 1, 0, 4000);
    const Bytes coded = Encode(Codec::Zlib, data);
    entry.content.storedSha1 = Sha1(coded);
    Bytes got;
    EXPECT_EQ(package.Read(entry, got), "");
    // The next entry, without a SHA-1, shares the block through the cache.
    EXPECT_EQ(package.Read(package.Entry(0, 1, 100, 50), got), "");
    EXPECT_EQ(got, Slice(data, 100, 50));
    // The Oodle stand-in decodes when its path is given.
    PiecePackage oodle;
    oodle.AddEncoded(Codec::Oodle, data);
    EXPECT_EQ(oodle.Read(oodle.Entry(0, 1, 0, 4000), got, WithOodle()), "");
    EXPECT_EQ(got, data);
}

// A block larger than one that may be held is streamed: entries in stream
// order continue the stream, an earlier one restarts it, and one LZMA block
// declaring a dictionary beyond the limit is refused, not allocated.
TEST(EntryReaderPieces, LargeBlocksAreStreamed) {
    const Bytes data = Sample(static_cast<std::size_t>(kHeldBlockLimit) + 300000);
    for (const Codec codec : {Codec::Lzma, Codec::LzmaAlone, Codec::Zstd, Codec::Gzip}) {
        SCOPED_TRACE(static_cast<int>(codec));
        PiecePackage package;
        package.AddEncoded(codec, data);
        for (const std::uint64_t skip :
             {std::uint64_t{10}, std::uint64_t{2000000}, std::uint64_t{1000}, data.size() - 5}) {
            Bytes got;
            EXPECT_EQ(package.Read(package.Entry(0, 1, skip, 5), got), "");
            EXPECT_EQ(got, Slice(data, skip, 5));
        }
    }
    PiecePackage package;
    Bytes lzma = Encode(Codec::Lzma, Text("hello"));
    std::memset(lzma.data() + 1, 0xFF, 4);
    package.Add(Codec::Lzma, lzma, std::uint64_t{4} << 30);
    Bytes got;
    EXPECT_EQ(package.Read(package.Entry(0, 1, 0, 5), got),
              "needs an LZMA dictionary of 4294967295 bytes, more than the 16 MiB one block may "
              "use (block 1)");
}

} // namespace
} // namespace Kestrune
