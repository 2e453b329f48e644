#include "UnrealPakBuilder.h"

#include <algorithm>
#include <cstring>
#include <lz4.h>
#include <map>
#include <mbedtls/aes.h>
#include <mbedtls/sha1.h>
#include <stdexcept>
#include <zlib.h>
#include <zstd.h>

namespace Kestrune::Testing {
namespace {

UnrealPakRegions lastRegions;

void Put(std::string& out, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
}

std::string Sha1Of(const std::string& data) {
    unsigned char digest[20];
    mbedtls_sha1_ret(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest);
    return std::string(reinterpret_cast<const char*>(digest), 20);
}

std::u16string Utf16(const std::string& utf8) {
    std::u16string out;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto b = static_cast<unsigned char>(utf8[i]);
        char32_t c = b;
        int extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : 0;
        if (extra > 0) {
            c = b & (0x3F >> extra);
        }
        for (int k = 1; k <= extra; ++k) {
            c = (c << 6) |
                (static_cast<unsigned char>(utf8[i + static_cast<std::size_t>(k)]) & 0x3F);
        }
        i += static_cast<std::size_t>(extra) + 1;
        if (c >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
    }
    return out;
}

void FString(std::string& out, const std::string& text) {
    if (text.empty()) {
        Put(out, 0, 4);
        return;
    }
    bool ascii = true;
    for (const char c : text) {
        ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    }
    if (ascii) {
        Put(out, text.size() + 1, 4);
        out += text;
        out.push_back('\0');
        return;
    }
    const std::u16string units = Utf16(text);
    Put(out, static_cast<std::uint32_t>(-static_cast<std::int32_t>(units.size() + 1)), 4);
    for (const char16_t u : units) {
        Put(out, u, 2);
    }
    Put(out, 0, 2);
}

// A file name of version 12 on: byte count, then UTF-8 without a NUL.
void Utf8Name(std::string& out, const std::string& text) {
    Put(out, text.size(), 4);
    out += text;
}

std::uint64_t Align16(std::uint64_t n) {
    return (n + 15) / 16 * 16;
}

void Pad16(std::string& data) {
    data.resize(Align16(data.size()), '\0');
}

struct Built {
    std::uint64_t offset = 0;
    std::uint64_t stored = 0;
    std::uint64_t size = 0;
    std::uint32_t method = 0;
    std::string sha1;
    std::vector<std::uint64_t> lengths; // unpadded block lengths
    std::uint8_t flags = 0;
    std::uint32_t blockSize = 0;
    std::string iv; // v15 AES-CTR: 12 bytes when encrypted
};

// AES-256-CTR from block 0: the IV, then a big-endian 32-bit block number.
void CtrForTest(const TestAesKey& key, const std::string& iv, std::string& data) {
    mbedtls_aes_context aes;
    mbedtls_aes_init(&aes);
    mbedtls_aes_setkey_enc(&aes, key.data(), 256);
    unsigned char counter[16] = {};
    std::memcpy(counter, iv.data(), 12);
    unsigned char stream[16] = {};
    std::size_t used = 0;
    auto* bytes = reinterpret_cast<unsigned char*>(data.data());
    mbedtls_aes_crypt_ctr(&aes, data.size(), &used, counter, stream, bytes, bytes);
    mbedtls_aes_free(&aes);
}

std::uint64_t HeaderSize(const UnrealPakLayout& l, bool compressed, std::size_t blocks) {
    std::uint64_t size = 24 + (l.v8a ? 1 : 4) + 20 + (l.version == 1 ? 8 : 0);
    if (l.version >= 3) {
        size += (compressed ? 4 + 16 * blocks : 0) + 5;
    }
    return size;
}

std::string Record(const UnrealPakLayout& l, const Built& b, std::uint64_t offsetField) {
    std::string out;
    Put(out, offsetField, 8);
    Put(out, b.stored, 8);
    Put(out, b.size, 8);
    Put(out, b.method, l.v8a ? 1 : 4);
    if (l.version == 1) {
        Put(out, 0x08D0000000000000ull, 8);
    }
    out += b.sha1;
    if (l.version >= 3) {
        if (b.method != 0) {
            Put(out, b.lengths.size(), 4);
            std::uint64_t at = HeaderSize(l, true, b.lengths.size());
            if (l.version < 5) {
                at += b.offset;
            }
            for (const std::uint64_t length : b.lengths) {
                Put(out, at, 8);
                Put(out, at + length, 8);
                at += (b.flags & 1) ? Align16(length) : length;
            }
        }
        Put(out, b.flags, 1);
        Put(out, b.blockSize, 4);
    }
    return out;
}

std::string Encoded(const UnrealPakLayout& l, const Built& b) {
    std::string out;
    std::uint32_t bits = 0;
    // From version 12 a single block keeps block size 0 here (the in-data
    // header has the real one), as UE 5.8 writes it.
    const std::uint32_t blockSize = l.version >= 12 && b.lengths.size() == 1 ? 0 : b.blockSize;
    const bool escape = blockSize % 2048 != 0 || blockSize / 2048 >= 0x3F;
    bits |= escape ? 0x3F : blockSize / 2048;
    bits |= static_cast<std::uint32_t>(b.lengths.size() & 0xFFFF) << 6;
    bits |= (b.flags & 1u) << 22;
    bits |= (b.method & 0x3F) << 23;
    const bool offset32 = b.offset <= 0xFFFFFFFFu;
    const bool size32 = b.size <= 0xFFFFFFFFu;
    const bool stored32 = b.stored <= 0xFFFFFFFFu;
    bits |= (stored32 ? 1u : 0u) << 29 | (size32 ? 1u : 0u) << 30 | (offset32 ? 1u : 0u) << 31;
    Put(out, bits, 4);
    if (escape) {
        Put(out, blockSize, 4);
    }
    Put(out, b.offset, offset32 ? 4 : 8);
    Put(out, b.size, size32 ? 4 : 8);
    out += b.iv;
    if (b.method != 0) {
        Put(out, b.stored, stored32 ? 4 : 8);
        if (b.lengths.size() > 1 || (b.flags & 1)) {
            for (const std::uint64_t length : b.lengths) {
                Put(out, length, 4);
            }
        }
    }
    return out;
}

std::uint64_t PathHash(const std::string& path, std::uint64_t seed, bool unicode) {
    std::uint64_t h = 0xCBF29CE484222325ull + seed;
    for (char16_t u : Utf16(path)) {
        if ((u >= 'A' && u <= 'Z') || (unicode && u >= 0xC0 && u <= 0xDE && u != 0xD7)) {
            u = static_cast<char16_t>(u + 32);
        }
        h = (h ^ (u & 0xFFu)) * 0x100000001B3ull;
        h = (h ^ (u >> 8)) * 0x100000001B3ull;
    }
    return h;
}

using Directories = std::map<std::string, std::vector<std::pair<std::string, std::int32_t>>>;

// The flat full directory index of version 13 on: directories in byte
// order, each name sharing a prefix with the one before (none at every
// 16th), files sorted within each, and a sorted copy of the path hashes.
std::string FlatDirectory(const UnrealPakLayout& l, const Directories& dirs) {
    constexpr std::size_t kRestart = 16;
    std::vector<std::pair<std::uint64_t, std::int32_t>> hashes;
    std::string anchors, firsts, starts, locations, dirBlob, fileBlob;
    std::string previous;
    std::size_t d = 0;
    std::size_t files = 0;
    for (const auto& [dir, unsorted] : dirs) {
        if (d % kRestart == 0) {
            Put(anchors, dirBlob.size(), 4);
        }
        std::size_t shared = 0;
        while (d % kRestart != 0 && shared < previous.size() && shared < dir.size() &&
               previous[shared] == dir[shared]) {
            ++shared;
        }
        Put(dirBlob, shared, 4);
        Put(dirBlob, dir.size() - shared, 4);
        dirBlob += dir.substr(shared);
        previous = dir;
        Put(firsts, files, 4);
        auto entries = unsorted;
        std::sort(entries.begin(), entries.end());
        for (const auto& [file, location] : entries) {
            Put(starts, fileBlob.size(), 4);
            fileBlob += file;
            Put(locations, static_cast<std::uint32_t>(location), 4);
            hashes.emplace_back(
                PathHash((dir == "/" ? std::string() : dir) + file, l.seed, l.unicodeLowerHash),
                location);
            ++files;
        }
        ++d;
    }
    Put(anchors, dirBlob.size(), 4);
    Put(firsts, files, 4);
    Put(starts, fileBlob.size(), 4);
    std::sort(hashes.begin(), hashes.end());
    std::string out;
    Put(out, 0x50464451, 4);
    Put(out, dirs.size(), 4);
    Put(out, files, 4);
    Put(out, kRestart, 4);
    Put(out, dirBlob.size(), 4);
    Put(out, fileBlob.size(), 4);
    Put(out, hashes.size(), 4);
    Put(out, 0, 4);
    for (const auto& [hash, location] : hashes) {
        Put(out, hash, 8);
    }
    for (const auto& [hash, location] : hashes) {
        Put(out, static_cast<std::uint32_t>(location), 4);
    }
    return out + anchors + firsts + starts + locations + dirBlob + fileBlob;
}

} // namespace

std::string CompressForTest(const std::string& method, const std::string& raw) {
    std::string out;
    if (method == "Zlib" || method == "Gzip") {
        z_stream z{};
        deflateInit2(&z, 6, Z_DEFLATED, method == "Zlib" ? 15 : 31, 8, Z_DEFAULT_STRATEGY);
        out.resize(deflateBound(&z, static_cast<uLong>(raw.size())) + 32);
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(raw.data()));
        z.avail_in = static_cast<uInt>(raw.size());
        z.next_out = reinterpret_cast<Bytef*>(out.data());
        z.avail_out = static_cast<uInt>(out.size());
        deflate(&z, Z_FINISH);
        out.resize(z.total_out);
        deflateEnd(&z);
    } else if (method == "LZ4") {
        out.resize(static_cast<std::size_t>(LZ4_compressBound(static_cast<int>(raw.size()))));
        out.resize(static_cast<std::size_t>(LZ4_compress_default(
            raw.data(), out.data(), static_cast<int>(raw.size()), static_cast<int>(out.size()))));
    } else if (method == "Zstd") {
        out.resize(ZSTD_compressBound(raw.size()));
        out.resize(ZSTD_compress(out.data(), out.size(), raw.data(), raw.size(), 3));
    } else if (method == "Oodle") {
        // What the tests' stand-in Oodle library decodes: 'K', then the
        // bytes with their bits flipped.
        out.assign(raw.size() + 1, 'K');
        for (std::size_t i = 0; i < raw.size(); ++i) {
            out[i + 1] = static_cast<char>(~static_cast<unsigned char>(raw[i]));
        }
    } else {
        out = raw; // a method the tests do not encode: stored as it is
    }
    return out;
}

void EncryptForTest(const TestAesKey& key, std::string& data) {
    mbedtls_aes_context aes;
    mbedtls_aes_init(&aes);
    mbedtls_aes_setkey_enc(&aes, key.data(), 256);
    for (std::size_t i = 0; i + 16 <= data.size(); i += 16) {
        auto* p = reinterpret_cast<unsigned char*>(data.data() + i);
        mbedtls_aes_crypt_ecb(&aes, MBEDTLS_AES_ENCRYPT, p, p);
    }
    mbedtls_aes_free(&aes);
}

UnrealPakRegions LastUnrealPakRegions() {
    return lastRegions;
}

std::string BuildUnrealPak(const UnrealPakLayout& l, const std::vector<UnrealFile>& files) {
    const bool ctr = l.version >= 15 && l.encryptionMethod == 2;
    const auto ivOf = [](std::size_t n) {
        std::string iv(12, '\0');
        for (std::size_t k = 0; k < iv.size(); ++k) {
            iv[k] = static_cast<char>(n * 29 + k * 7 + 1);
        }
        return iv;
    };
    std::vector<std::string> methods; // v8+ name slots
    std::string data;
    std::vector<Built> built;
    for (const UnrealFile& f : files) {
        Built b;
        b.offset = data.size();
        b.size = f.content.size();
        b.flags = static_cast<std::uint8_t>((f.encrypted ? 1 : 0) | (f.deleted ? 2 : 0));
        if (ctr && f.encrypted) {
            b.iv = ivOf(built.size() + 1);
        }
        std::string payload;
        if (f.method != "None") {
            if (l.version >= 8) {
                std::size_t slot = 0;
                while (slot < methods.size() && methods[slot] != f.method) {
                    ++slot;
                }
                if (slot == methods.size()) {
                    methods.push_back(f.method);
                }
                b.method = static_cast<std::uint32_t>(slot + 1);
            } else {
                b.method = f.method == "Zlib"    ? 1
                           : f.method == "Gzip"  ? 2
                           : f.method == "Oodle" ? 4
                                                 : 0x40;
            }
            b.blockSize = f.content.size() <= f.blockSize
                              ? static_cast<std::uint32_t>(f.content.size())
                              : f.blockSize;
            for (std::size_t at = 0; at < f.content.size(); at += b.blockSize) {
                std::string block = CompressForTest(f.method, f.content.substr(at, b.blockSize));
                b.lengths.push_back(block.size());
                if (f.encrypted) {
                    Pad16(block);
                    if (!ctr) {
                        EncryptForTest(*l.key, block);
                    }
                }
                payload += block;
            }
            if (ctr && f.encrypted) {
                CtrForTest(*l.key, b.iv, payload); // one stream over every block
            }
            b.stored = payload.size();
            b.sha1 = Sha1Of(payload);
        } else {
            payload = f.content;
            b.stored = b.size;
            if (f.encrypted) {
                Pad16(payload);
                if (ctr) {
                    CtrForTest(*l.key, b.iv, payload);
                } else {
                    EncryptForTest(*l.key, payload);
                }
            }
            b.sha1 = Sha1Of(payload.substr(0, b.size));
        }
        data += Record(l, b, 0);
        data += payload;
        built.push_back(b);
    }
    const std::uint64_t indexOffset = data.size();
    // One index block: padded and encrypted when asked; its hash is of the
    // plain bytes, padding included.
    const auto seal = [&](std::string block, std::string& hash, std::size_t slot) {
        if (l.encryptIndex) {
            Pad16(block);
        }
        hash = Sha1Of(block);
        if (l.encryptIndex && ctr) {
            CtrForTest(*l.key, ivOf(100 + slot), block);
        } else if (l.encryptIndex) {
            EncryptForTest(*l.key, block);
        }
        return block;
    };
    std::string index;
    std::string indexHash;
    if (l.version < 10) {
        std::string plain;
        FString(plain, l.mount);
        Put(plain, files.size(), 4);
        for (std::size_t i = 0; i < files.size(); ++i) {
            FString(plain, files[i].name);
            plain += Record(l, built[i], built[i].offset);
        }
        if (l.editIndex) {
            l.editIndex(plain);
        }
        index = seal(plain, indexHash, 0);
    } else {
        std::string blob;
        std::string records;
        std::string recordIvs; // v15 AES-CTR: one IV per non-encoded record
        std::uint32_t nonEncoded = 0;
        Directories dirs;
        std::string hashes;
        for (std::size_t i = 0; i < files.size(); ++i) {
            std::int32_t location = 0;
            if (files[i].nonEncoded) {
                location = -static_cast<std::int32_t>(++nonEncoded);
                records += Record(l, built[i], built[i].offset);
                recordIvs += built[i].iv.empty() ? std::string(12, '\0') : built[i].iv;
            } else {
                location = static_cast<std::int32_t>(blob.size());
                blob += Encoded(l, built[i]);
            }
            const std::string& name = files[i].name;
            const auto slash = name.rfind('/');
            const std::string dir = slash == std::string::npos ? "/" : name.substr(0, slash + 1);
            dirs[dir].emplace_back(slash == std::string::npos ? name : name.substr(slash + 1),
                                   location);
            Put(hashes, PathHash(name, l.seed, l.unicodeLowerHash), 8);
            Put(hashes, static_cast<std::uint32_t>(location), 4);
        }
        std::string phiPlain;
        Put(phiPlain, files.size(), 4);
        phiPlain += hashes;
        Put(phiPlain, 0, 4);
        if (l.editPathHashIndex) {
            l.editPathHashIndex(phiPlain);
        }
        std::string fdiPlain;
        if (l.version >= 13 && !l.classicDirectory) {
            fdiPlain = FlatDirectory(l, dirs);
        } else {
            Put(fdiPlain, dirs.size(), 4);
            for (const auto& [dir, entries] : dirs) {
                FString(fdiPlain, dir);
                Put(fdiPlain, entries.size(), 4);
                for (const auto& [file, location] : entries) {
                    if (l.version >= 12) {
                        Utf8Name(fdiPlain, file);
                    } else {
                        FString(fdiPlain, file);
                    }
                    Put(fdiPlain, static_cast<std::uint32_t>(location), 4);
                }
            }
        }
        if (l.editDirectory) {
            l.editDirectory(fdiPlain);
        }
        std::string phiHash;
        std::string fdiHash;
        const std::string phi = seal(phiPlain, phiHash, 1);
        const std::string fdi = seal(fdiPlain, fdiHash, 2);
        if (l.corruptDirectoryHash) {
            fdiHash[0] = static_cast<char>(fdiHash[0] ^ 1);
        }
        const auto primary = [&](std::uint64_t primarySize) {
            std::string p;
            FString(p, l.mount);
            Put(p, files.size(), 4);
            Put(p, l.seed, 8);
            Put(p, 1, 4);
            Put(p, indexOffset + primarySize, 8);
            Put(p, phi.size(), 8);
            p += phiHash;
            Put(p, 1, 4);
            Put(p, indexOffset + primarySize + phi.size(), 8);
            Put(p, fdi.size(), 8);
            p += fdiHash;
            Put(p, blob.size(), 4);
            p += blob;
            Put(p, nonEncoded, 4);
            p += records;
            if (ctr) {
                p += recordIvs;
            }
            return p;
        };
        const auto edited = [&](std::uint64_t primarySize) {
            std::string p = primary(primarySize);
            if (l.editIndex) {
                l.editIndex(p);
            }
            return p;
        };
        std::string sized = edited(0);
        const std::uint64_t primarySize = l.encryptIndex ? Align16(sized.size()) : sized.size();
        index = seal(edited(primarySize), indexHash, 0) + phi + fdi;
        index.resize(index.size()); // primary, then the two others
        // The footer's size covers the primary index only.
        lastRegions.indexSize = primarySize;
    }
    if (l.version < 10) {
        lastRegions.indexSize = index.size();
    }
    if (l.corruptIndexHash) {
        indexHash[0] = static_cast<char>(indexHash[0] ^ 1);
    }
    lastRegions.dataEnd = indexOffset;
    lastRegions.indexOffset = indexOffset;
    std::string pak = data + index;
    if (l.version >= 7) {
        pak.append(16, '\0'); // key GUID
    }
    if (l.version >= 4) {
        pak.push_back(l.encryptIndex ? '\1' : '\0');
    }
    Put(pak, 0x5A6F12E1, 4);
    Put(pak, l.version, 4);
    Put(pak, indexOffset, 8);
    Put(pak, lastRegions.indexSize, 8);
    pak += indexHash;
    if (l.version == 9) {
        pak.push_back(l.frozen ? '\1' : '\0');
    }
    if (l.version >= 8) {
        const std::size_t slots = l.v8a ? 4 : 5;
        for (std::size_t s = 0; s < slots; ++s) {
            std::string slot = s < methods.size() ? methods[s] : std::string();
            slot.resize(32, '\0');
            pak += slot;
        }
    }
    if (l.version >= 14) {
        Put(pak, 0xFFFFFFFFu, 4); // no pakchunk number
    }
    if (l.version >= 15) {
        pak.push_back(static_cast<char>(l.encryptionMethod));
        for (std::size_t slot = 0; slot < 3; ++slot) {
            pak += ctr ? ivOf(100 + slot) : std::string(12, '\0'); // the index blocks' IVs
        }
    }
    return pak;
}

} // namespace Kestrune::Testing
