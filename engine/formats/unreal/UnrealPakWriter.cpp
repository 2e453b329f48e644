#include "ByteOrder.h"
#include "Codecs.h"
#include "Crypto.h"
#include "Encoders.h"
#include "KestruneEngine.h"
#include "PackWriters.h"
#include "Platform.h"
#include "UnrealPak.h"
#include "Utf8.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <map>
#include <thread>
#include <unordered_map>
#include <unordered_set>

// An Unreal pak of version 1 to 11 (layout in UnrealPak.h), as UnrealPak
// writes one: each entry's in-data header and payload in plan order from
// offset 0, then the index (versions 10-11: the primary index, the path hash
// index and the full directory index), then the footer.
//
// Content is cut into blocks of 64 KiB (one block of the file's size when it
// fits in one, as UnrealPak records it), each compressed on its own; blocks
// are compressed by several threads but always written in order, so the
// bytes never depend on which thread finished first. An entry whose blocks
// together do not come out smaller than its content is stored uncompressed.
// With a key, payloads are padded to 16 bytes with copies of their own first
// bytes (UE 4.21 and later) and encrypted, each block on its own; so is each
// index block from version 4 on. Index hashes are over the plain, padded
// bytes, as the engine checks them.
namespace Kestrune::Unreal {
namespace {

// A file up to this size is read, compressed and encrypted once, in memory;
// a larger one twice, streamed: once for the sizes and the hash that its
// header holds before the payload, once to write.
constexpr std::uint64_t kHeldFile = std::uint64_t{16} << 20;
// Blocks handed to the threads at a time.
constexpr std::size_t kBatchBlocks = 32;

void AppendI32(std::string& out, std::int32_t value) {
    AppendU32LE(out, static_cast<std::uint32_t>(value));
}

// FString: ASCII as bytes, anything else as UTF-16LE, the terminator counted.
void AppendFString(std::string& out, std::string_view text) {
    if (text.empty()) {
        AppendI32(out, 0);
        return;
    }
    if (std::all_of(text.begin(), text.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
        AppendI32(out, static_cast<std::int32_t>(text.size() + 1));
        out.append(text);
        out.push_back('\0');
        return;
    }
    std::vector<std::uint16_t> units;
    std::size_t at = 0;
    while (at < text.size()) {
        const char32_t c = DecodeUtf8(text, at).value_or(0xFFFD);
        if (c >= 0x10000) {
            units.push_back(static_cast<std::uint16_t>(0xD800 + ((c - 0x10000) >> 10)));
            units.push_back(static_cast<std::uint16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        } else {
            units.push_back(static_cast<std::uint16_t>(c));
        }
    }
    units.push_back(0);
    AppendI32(out, -static_cast<std::int32_t>(units.size()));
    for (const std::uint16_t unit : units) {
        out.push_back(static_cast<char>(unit & 0xFF));
        out.push_back(static_cast<char>(unit >> 8));
    }
}

// Pads `bytes` to 16 with copies of its own first bytes, as UE 4.21 and
// later do, and encrypts it.
void PadAndEncrypt(const AesKey& key, std::vector<unsigned char>& bytes, std::size_t from = 0) {
    const std::size_t length = bytes.size() - from;
    const std::size_t padded = static_cast<std::size_t>(Align16(length));
    for (std::size_t i = 0; length + i < padded; ++i) {
        bytes.push_back(bytes[from + i % length]);
    }
    EncryptAes256Ecb(key, {bytes.data() + from, padded});
}

std::string PaddedIndex(const std::optional<AesKey>& key, std::string block, Sha1Digest& hash) {
    if (key) {
        std::vector<unsigned char> bytes(block.begin(), block.end());
        const std::size_t length = bytes.size();
        for (std::size_t i = 0; length > 0 && length + i < Align16(length); ++i) {
            bytes.push_back(bytes[i % length]);
        }
        hash = Sha1(bytes);
        EncryptAes256Ecb(*key, bytes);
        return std::string(bytes.begin(), bytes.end());
    }
    hash = Sha1({reinterpret_cast<const unsigned char*>(block.data()), block.size()});
    return block;
}

// An entry as its index record and in-data header describe it.
struct Record {
    std::uint64_t offset = 0;
    std::uint64_t storedSize = 0;
    std::uint64_t size = 0;
    std::uint32_t method = 0; // legacy flags (1-7) or name slot + 1 (8+); 0: none
    Sha1Digest sha1{};
    std::vector<std::uint64_t> blockLengths; // unpadded, compressed
    bool encrypted = false;
    std::uint32_t blockSize = 0;
};

struct Version {
    std::uint32_t number = 11;
    bool v8a = false;
};

std::uint64_t HeaderSize(const Version& v, const Record& r) {
    std::uint64_t size = 8 + 8 + 8 + (v.v8a ? 1 : 4) + 20;
    if (v.number == 1) {
        size += 8;
    }
    if (v.number >= 3) {
        size += 1 + 4;
        if (r.method != 0) {
            size += 4 + 16 * r.blockLengths.size();
        }
    }
    return size;
}

// The record as the index (offset given) or the in-data header (offset 0)
// holds it.
void AppendRecord(std::string& out, const Version& v, const Record& r, bool inIndex) {
    AppendU64LE(out, inIndex ? r.offset : 0);
    AppendU64LE(out, r.storedSize);
    AppendU64LE(out, r.size);
    if (v.v8a) {
        out.push_back(static_cast<char>(r.method));
    } else {
        AppendU32LE(out, r.method);
    }
    if (v.number == 1) {
        AppendU64LE(out, 0); // timestamp: none, so that every run writes the same
    }
    out.append(reinterpret_cast<const char*>(r.sha1.data()), r.sha1.size());
    if (v.number < 3) {
        return;
    }
    if (r.method != 0) {
        AppendU32LE(out, static_cast<std::uint32_t>(r.blockLengths.size()));
        // Relative to the header from version 5 on, absolute before.
        std::uint64_t start = HeaderSize(v, r) + (v.number < 5 ? r.offset : 0);
        for (const std::uint64_t length : r.blockLengths) {
            AppendU64LE(out, start);
            AppendU64LE(out, start + length);
            start += r.encrypted ? Align16(length) : length;
        }
    }
    out.push_back(static_cast<char>(r.encrypted ? kFlagEncrypted : 0));
    AppendU32LE(out, r.blockSize);
}

// The version 10-11 encoded form of a record, into the blob.
void AppendEncoded(std::string& out, const Record& r) {
    const bool compressed = r.method != 0;
    const std::uint32_t sizeField =
        r.blockSize % kEncodedBlockSizeUnit == 0 &&
                r.blockSize / kEncodedBlockSizeUnit < kEncodedBlockSizeEscape
            ? static_cast<std::uint32_t>(r.blockSize / kEncodedBlockSizeUnit)
            : kEncodedBlockSizeEscape;
    std::uint32_t bits = sizeField;
    bits |= static_cast<std::uint32_t>(r.blockLengths.size() & 0xFFFF) << 6;
    bits |= (r.encrypted ? 1u : 0u) << 22;
    bits |= (r.method & 0x3F) << 23;
    const bool smallStored = r.storedSize <= UINT32_MAX;
    const bool smallSize = r.size <= UINT32_MAX;
    const bool smallOffset = r.offset <= UINT32_MAX;
    bits |= (smallStored ? 1u : 0u) << 29;
    bits |= (smallSize ? 1u : 0u) << 30;
    bits |= (smallOffset ? 1u : 0u) << 31;
    AppendU32LE(out, bits);
    if (sizeField == kEncodedBlockSizeEscape) {
        AppendU32LE(out, r.blockSize);
    }
    const auto number = [&out](std::uint64_t value, bool small) {
        if (small) {
            AppendU32LE(out, static_cast<std::uint32_t>(value));
        } else {
            AppendU64LE(out, value);
        }
    };
    number(r.offset, smallOffset);
    number(r.size, smallSize);
    if (compressed) {
        number(r.storedSize, smallStored);
        if (r.blockLengths.size() > 1 || r.encrypted) {
            for (const std::uint64_t length : r.blockLengths) {
                AppendU32LE(out, static_cast<std::uint32_t>(length));
            }
        }
    }
}

// Compresses and encrypts one file's content block by block, handing each
// stored block (padded and encrypted when there is a key) to `emit` in
// order, with its unpadded length.
class BlockMaker {
public:
    BlockMaker(const PackSettings& settings, Codec codec, unsigned threads)
        : settings_(settings), codec_(codec), threads_(std::max(1u, threads)) {}

    // Runs over the file; nullopt or why it failed.
    std::optional<std::string>
    Run(const PackFile& file, std::uint32_t blockSize,
        const std::function<bool(std::span<const unsigned char>, std::uint64_t)>& emit) {
        raw_.clear();
        std::optional<std::string> failure;
        std::optional<std::string> read =
            ReadPackFile(file, [&](std::span<const unsigned char> bytes) {
                raw_.insert(raw_.end(), bytes.begin(), bytes.end());
                if (raw_.size() >= std::size_t{blockSize} * kBatchBlocks) {
                    failure = Flush(blockSize, false, emit);
                }
                return !failure;
            });
        if (read && *read != "stopped") {
            return read;
        }
        if (!failure) {
            failure = Flush(blockSize, true, emit);
        }
        return failure;
    }

private:
    std::optional<std::string>
    Flush(std::uint32_t blockSize, bool last,
          const std::function<bool(std::span<const unsigned char>, std::uint64_t)>& emit) {
        const std::size_t whole = raw_.size() / blockSize;
        const std::size_t count = last ? (raw_.size() + blockSize - 1) / blockSize : whole;
        out_.resize(std::max(out_.size(), count));
        std::vector<char> ok(count, 1);
        const auto work = [&](std::size_t first) {
            for (std::size_t b = first; b < count; b += threads_) {
                const std::size_t begin = b * blockSize;
                const std::size_t end = std::min(raw_.size(), begin + blockSize);
                ok[b] = EncodeWhole(codec_, {raw_.data() + begin, end - begin}, out_[b],
                                    settings_.oodleLibrary)
                            ? 1
                            : 0;
            }
        };
        // One thread or one block: work(0) alone covers every block.
        std::vector<std::thread> pool;
        for (unsigned t = 1; t < threads_ && t < count; ++t) {
            pool.emplace_back(work, t);
        }
        work(0);
        for (std::thread& thread : pool) {
            thread.join();
        }
        for (std::size_t b = 0; b < count; ++b) {
            if (!ok[b]) {
                return std::string(CodecName(codec_)) + " compression failed";
            }
            const std::uint64_t length = out_[b].size();
            if (settings_.aesKey && settings_.encryptData) {
                PadAndEncrypt(*settings_.aesKey, out_[b]);
            }
            if (!emit(out_[b], length)) {
                return std::string("stopped");
            }
        }
        raw_.erase(raw_.begin(), raw_.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                    raw_.size(), count * std::size_t{blockSize})));
        return std::nullopt;
    }

    const PackSettings& settings_;
    Codec codec_;
    unsigned threads_;
    std::vector<unsigned char> raw_;
    std::vector<std::vector<unsigned char>> out_;
};

// Hands a stored entry's payload to `emit` as it lies on disk, in pieces:
// with a key, padded at its end with copies of its own first bytes and
// encrypted (the pieces are whole AES blocks but the last), with the number
// of its bytes that are content, not padding.
std::optional<std::string>
RunStored(const PackFile& file, const std::optional<AesKey>& key,
          const std::function<bool(std::span<const unsigned char>, std::size_t)>& emit) {
    std::array<unsigned char, kAesBlock> head{};
    std::size_t headLength = 0;
    std::vector<unsigned char> chunk;
    return ReadPackFile(file, [&](std::span<const unsigned char> bytes) {
        if (!key) {
            return emit(bytes, bytes.size());
        }
        if (headLength < kAesBlock) {
            const std::size_t take = std::min(kAesBlock - headLength, bytes.size());
            std::copy_n(bytes.begin(), take,
                        head.begin() + static_cast<std::ptrdiff_t>(headLength));
            headLength += take;
        }
        chunk.assign(bytes.begin(), bytes.end());
        while (chunk.size() % kAesBlock != 0) {
            chunk.push_back(head[(chunk.size() - bytes.size()) % headLength]);
        }
        EncryptAes256Ecb(*key, chunk);
        return emit(chunk, bytes.size());
    });
}

std::string MethodName(Codec codec) {
    switch (codec) {
    case Codec::Zlib:
        return "Zlib";
    case Codec::Gzip:
        return "Gzip";
    case Codec::Lz4:
        return "LZ4";
    case Codec::Zstd:
        return "Zstd";
    case Codec::Oodle:
        return "Oodle";
    default:
        return {};
    }
}

std::optional<std::string> CheckSettings(const PackSettings& s) {
    if (s.pakVersion < 1 || s.pakVersion > kNewestVersion) {
        return std::string("--pak-version takes 1 to 11");
    }
    if (s.v8a && s.pakVersion != 8) {
        return std::string("8a is a form of version 8 only");
    }
    const Codec c = s.compression;
    if (c == Codec::Oodle) {
        if (auto missing = OodleEncoderMissing(s.oodleLibrary)) {
            return "--compression Oodle " + *missing;
        }
    }
    if (c == Codec::Deflate) {
        return std::string("--compression Deflate: a pak holds deflated blocks as Zlib or Gzip");
    }
    if (c != Codec::Stored && !CanEncode(c)) {
        return std::string("--compression: not a method a pak holds");
    }
    if (c != Codec::Stored && s.pakVersion < 3) {
        return "--compression " + MethodName(c) + ": pak version " + std::to_string(s.pakVersion) +
               " cannot hold compressed entries (3 or later can)";
    }
    if ((c == Codec::Lz4 || c == Codec::Zstd) && s.pakVersion < 8) {
        return "--compression " + MethodName(c) + ": pak version " + std::to_string(s.pakVersion) +
               " names only Zlib and Gzip (8 or later names it)";
    }
    if (s.aesKey && s.pakVersion < 3) {
        return "--aes-key: pak version " + std::to_string(s.pakVersion) +
               " cannot hold encrypted entries (3 or later can)";
    }
    if (s.blockSize == 0) {
        return std::string("a block size of 0 bytes");
    }
    return std::nullopt;
}

// "../../../Game/Content/" as --list shows names under it: "Game/Content/".
std::string ListedMount(std::string_view mount) {
    while (mount.starts_with("../")) {
        mount.remove_prefix(3);
    }
    if (mount.starts_with("/")) {
        mount.remove_prefix(1);
    }
    std::string listed(mount);
    if (!listed.empty() && listed.back() != '/') {
        listed.push_back('/');
    }
    return listed;
}

// The path hash seed of a version 10-11 pak: the primary index holds it
// after the mount point and the entry count. 0 when it cannot be read.
std::uint64_t ReadSeed(Platform::InputFile& input, std::uint64_t magicAt, bool encrypted,
                       const std::string& mount, const ReadOptions& options) {
    std::array<unsigned char, 24> where{};
    if (input.ReadAt(magicAt + 8, where.data(), where.size()) != where.size()) {
        return 0;
    }
    const std::uint64_t offset = LoadU64LE(where.data());
    const std::uint64_t length = LoadU64LE(where.data() + 8);
    // The mount point as UTF-16 at most, its length, the count and the seed.
    const std::uint64_t want = std::min<std::uint64_t>(length, Align16(2 * mount.size() + 64));
    if (offset > input.Size() || want > input.Size() - offset) {
        return 0;
    }
    std::vector<unsigned char> head(static_cast<std::size_t>(want));
    if (input.ReadAt(offset, head.data(), head.size()) != head.size()) {
        return 0;
    }
    std::vector<std::optional<AesKey>> keys;
    if (encrypted) {
        keys.assign(options.aesKeys.begin(), options.aesKeys.end());
    } else {
        keys.push_back(std::nullopt);
    }
    std::string expected;
    AppendFString(expected, mount);
    for (const auto& key : keys) {
        std::vector<unsigned char> plain = head;
        if (key) {
            DecryptAes256Ecb(*key, plain);
        }
        // The right key shows the mount point the reader found.
        if (plain.size() >= expected.size() + 12 &&
            std::equal(
                expected.begin(), expected.end(), plain.begin(),
                [](char a, unsigned char b) { return static_cast<unsigned char>(a) == b; })) {
            return LoadU64LE(plain.data() + expected.size() + 4);
        }
    }
    return 0;
}

// The index blocks of a pak whose index starts at `indexOffset`.
struct IndexBlocks {
    std::string index;   // the index (versions 10-11: the primary index), as stored
    std::string trailer; // versions 10-11: the path hash and full directory indexes
    Sha1Digest hash{};   // of `index`, plain and padded
};

std::optional<std::string> BuildIndex(const PackSettings& settings, const Version& version,
                                      const std::vector<Record>& records,
                                      const std::vector<std::string>& names,
                                      std::uint64_t indexOffset,
                                      const std::optional<AesKey>& indexKey, IndexBlocks& blocks) {
    std::string primary;
    AppendFString(primary, settings.mountPoint);
    AppendI32(primary, static_cast<std::int32_t>(records.size()));
    if (version.number < 10) {
        for (std::size_t i = 0; i < records.size(); ++i) {
            AppendFString(primary, names[i]);
            AppendRecord(primary, version, records[i], true);
        }
        blocks.index = PaddedIndex(indexKey, std::move(primary), blocks.hash);
    } else {
        std::string blob;
        std::vector<std::int32_t> locations;
        for (const Record& r : records) {
            locations.push_back(static_cast<std::int32_t>(blob.size()));
            AppendEncoded(blob, r);
        }
        if (blob.size() > INT32_MAX) {
            return std::string("too many entries for the pak's index");
        }
        std::string hashIndex;
        AppendI32(hashIndex, static_cast<std::int32_t>(records.size()));
        for (std::size_t i = 0; i < records.size(); ++i) {
            AppendU64LE(hashIndex, PathHash(names[i], settings.pathHashSeed, false));
            AppendI32(hashIndex, locations[i]);
        }
        AppendI32(hashIndex, 0); // no pruned directories
        // Directories in the order their first file comes, each after its
        // ancestors; files in plan order.
        std::vector<std::string> directories;
        std::unordered_map<std::string, std::vector<std::size_t>> filesOf;
        const auto addDirectory = [&](const std::string& dir) {
            if (filesOf.try_emplace(dir).second) {
                directories.push_back(dir);
            }
        };
        addDirectory("/");
        for (std::size_t i = 0; i < names.size(); ++i) {
            const std::string& name = names[i];
            for (std::size_t slash = name.find('/'); slash != std::string::npos;
                 slash = name.find('/', slash + 1)) {
                addDirectory(name.substr(0, slash + 1));
            }
            const std::size_t last = name.rfind('/');
            filesOf[last == std::string::npos ? "/" : name.substr(0, last + 1)].push_back(i);
        }
        std::string directoryIndex;
        AppendI32(directoryIndex, static_cast<std::int32_t>(directories.size()));
        for (const std::string& dir : directories) {
            AppendFString(directoryIndex, dir);
            const std::vector<std::size_t>& files = filesOf[dir];
            AppendI32(directoryIndex, static_cast<std::int32_t>(files.size()));
            for (const std::size_t i : files) {
                const std::size_t last = names[i].rfind('/');
                AppendFString(directoryIndex,
                              last == std::string::npos ? names[i] : names[i].substr(last + 1));
                AppendI32(directoryIndex, locations[i]);
            }
        }
        Sha1Digest hashHash{};
        Sha1Digest directoryHash{};
        const std::string hashBlock = PaddedIndex(indexKey, std::move(hashIndex), hashHash);
        const std::string directoryBlock =
            PaddedIndex(indexKey, std::move(directoryIndex), directoryHash);
        // The primary index's length does not depend on the offsets it holds.
        const auto buildPrimary = [&](std::uint64_t hashAt, std::uint64_t directoryAt) {
            std::string p = primary;
            AppendU64LE(p, settings.pathHashSeed);
            AppendU32LE(p, 1);
            AppendU64LE(p, hashAt);
            AppendU64LE(p, hashBlock.size());
            p.append(reinterpret_cast<const char*>(hashHash.data()), hashHash.size());
            AppendU32LE(p, 1);
            AppendU64LE(p, directoryAt);
            AppendU64LE(p, directoryBlock.size());
            p.append(reinterpret_cast<const char*>(directoryHash.data()), directoryHash.size());
            AppendI32(p, static_cast<std::int32_t>(blob.size()));
            p += blob;
            AppendI32(p, 0); // no records outside the blob
            return p;
        };
        const std::uint64_t primaryStored =
            indexKey ? Align16(buildPrimary(0, 0).size()) : buildPrimary(0, 0).size();
        const std::uint64_t hashAt = indexOffset + primaryStored;
        blocks.index =
            PaddedIndex(indexKey, buildPrimary(hashAt, hashAt + hashBlock.size()), blocks.hash);
        blocks.trailer = hashBlock + directoryBlock;
    }
    return std::nullopt;
}

std::string Footer(const Version& version, bool encryptIndex, std::uint64_t indexOffset,
                   const IndexBlocks& blocks, Codec codec) {
    std::string footer;
    if (version.number >= 7) {
        footer.append(16, '\0'); // key GUID: the default key
    }
    if (version.number >= 4) {
        footer.push_back(encryptIndex ? 1 : 0);
    }
    AppendU32LE(footer, kMagic);
    AppendU32LE(footer, version.number);
    AppendU64LE(footer, indexOffset);
    AppendU64LE(footer, blocks.index.size());
    footer.append(reinterpret_cast<const char*>(blocks.hash.data()), blocks.hash.size());
    if (version.number == 9) {
        footer.push_back(0); // not frozen
    }
    if (version.number >= 8) {
        const std::size_t slots = version.v8a ? 4 : 5;
        for (std::size_t slot = 0; slot < slots; ++slot) {
            std::string name = slot == 0 ? MethodName(codec) : std::string();
            name.resize(32, '\0');
            footer += name;
        }
    }
    return footer;
}

} // namespace

std::optional<std::string> WritePackage(const PackPlan& plan, PackOutput& out,
                                        std::uint64_t& entries) {
    const PackSettings& settings = plan.settings;
    if (auto bad = CheckSettings(settings)) {
        return bad;
    }
    const Version version{settings.pakVersion, settings.v8a};
    const bool encryptIndex = settings.aesKey && settings.encryptIndex && version.number >= 4;
    const std::optional<AesKey> indexKey = encryptIndex ? settings.aesKey : std::nullopt;
    const std::optional<AesKey> dataKey = settings.encryptData ? settings.aesKey : std::nullopt;

    // Names relative to the mount point, each one the engine can tell apart.
    const std::string listedMount = ListedMount(settings.mountPoint);
    std::vector<std::string> names;
    std::unordered_set<std::string> seen;
    for (const PackFile& file : plan.files) {
        if (!file.name.starts_with(listedMount) || file.name.size() == listedMount.size()) {
            return "'" + file.name + "' lies outside the mount point's folder '" + listedMount +
                   "'";
        }
        if (!IsValidUtf8(file.name)) {
            return "'" + file.name + "' is not UTF-8 text: a pak cannot hold the name";
        }
        std::string name = file.name.substr(listedMount.size());
        if (!seen.insert(AsciiLower(name)).second) {
            return "'" + file.name +
                   "' differs from another name only in letter case: the game "
                   "would read one of them";
        }
        names.push_back(std::move(name));
    }

    PackSink* sink = out.Create(out.PackageName());
    if (sink == nullptr) {
        return out.Failure();
    }
    const Codec codec = settings.compression;
    // Before version 8 the method is a flag: Oodle went in as the "custom"
    // one; from 8 on, the index of the one name in the footer.
    const std::uint32_t compressedMethod = codec == Codec::Stored ? 0
                                           : version.number >= 8  ? 1
                                           : codec == Codec::Zlib ? kLegacyZlib
                                           : codec == Codec::Gzip ? kLegacyGzip
                                                                  : kLegacyCustom;
    unsigned threads =
        settings.threads != 0 ? settings.threads : std::thread::hardware_concurrency();
    threads = std::clamp(threads, 1u, 16u);
    BlockMaker maker(settings, codec, threads);
    std::vector<Record> records;
    records.reserve(plan.files.size());
    std::vector<unsigned char> held;
    std::vector<std::uint64_t> lengths;

    for (const PackFile& file : plan.files) {
        Record r;
        r.offset = sink->Position();
        r.size = file.size;
        r.encrypted = dataKey.has_value();
        bool compressed = codec != Codec::Stored && file.size > 0;
        const std::uint32_t blockSize =
            file.size <= settings.blockSize
                ? static_cast<std::uint32_t>(std::max<std::uint64_t>(file.size, 1))
                : settings.blockSize;
        const bool holdWhole = file.size <= kHeldFile;
        if (compressed) {
            // First run: the blocks' lengths and the hash (and the blocks,
            // for a file small enough to hold).
            held.clear();
            lengths.clear();
            Sha1Hasher hash;
            std::uint64_t stored = 0;
            if (auto failure =
                    maker.Run(file, blockSize,
                              [&](std::span<const unsigned char> block, std::uint64_t length) {
                                  hash.Update(block);
                                  stored += block.size();
                                  lengths.push_back(length);
                                  if (holdWhole) {
                                      held.insert(held.end(), block.begin(), block.end());
                                  }
                                  return true;
                              })) {
                return failure;
            }
            if (stored < file.size) {
                r.method = compressedMethod;
                r.storedSize = stored;
                r.blockLengths = lengths;
                r.blockSize = blockSize;
                r.sha1 = hash.Finish();
            } else {
                compressed = false;
            }
        }
        if (!compressed) {
            // Stored: the hash is of the bytes on disk, the cipher text when
            // encrypted, its padding left out.
            r.storedSize = file.size;
            held.clear();
            Sha1Hasher hash;
            if (auto failure = RunStored(
                    file, dataKey, [&](std::span<const unsigned char> bytes, std::size_t real) {
                        hash.Update(bytes.first(real));
                        if (holdWhole) {
                            held.insert(held.end(), bytes.begin(), bytes.end());
                        }
                        return true;
                    })) {
                return failure;
            }
            r.sha1 = hash.Finish();
        }
        std::string header;
        AppendRecord(header, version, r, false);
        if (!sink->Write(header)) {
            return out.Failure();
        }
        if (holdWhole) {
            if (!sink->Write(held)) {
                return out.Failure();
            }
        } else if (compressed) {
            if (auto failure = maker.Run(file, blockSize,
                                         [&](std::span<const unsigned char> block, std::uint64_t) {
                                             return sink->Write(block);
                                         })) {
                return *failure == "stopped" ? out.Failure() : *failure;
            }
        } else {
            // Stored and too large to hold: read again, encrypting as above.
            if (auto failure = RunStored(file, dataKey,
                                         [&](std::span<const unsigned char> bytes, std::size_t) {
                                             return sink->Write(bytes);
                                         })) {
                return *failure == "stopped" ? out.Failure() : *failure;
            }
        }
        records.push_back(std::move(r));
    }

    const std::uint64_t indexOffset = sink->Position();
    IndexBlocks blocks;
    if (auto failure =
            BuildIndex(settings, version, records, names, indexOffset, indexKey, blocks)) {
        return failure;
    }
    if (!sink->Write(blocks.index) || !sink->Write(blocks.trailer) ||
        !sink->Write(Footer(version, encryptIndex, indexOffset, blocks, codec))) {
        return out.Failure();
    }
    entries = records.size();
    return std::nullopt;
}

std::optional<std::string> ReadLike(const std::string& reference, const ReadOptions& options,
                                    bool keyGiven, PackSettings& settings,
                                    std::string& description) {
    const std::string quoted = "'" + reference + "'";
    Platform::InputFile input;
    if (!input.Open(reference)) {
        return "cannot open " + quoted + ": " + Platform::ErrorText(input.LastError());
    }
    // The footer's layout: where its magic lies from the end, per version.
    const std::uint64_t size = input.Size();
    struct Layout {
        std::uint64_t magicFromEnd;
        bool v8a;
    };
    std::optional<std::pair<Layout, std::uint32_t>> found;
    for (const Layout layout :
         {Layout{204, false}, Layout{205, false}, Layout{172, true}, Layout{44, false}}) {
        std::array<unsigned char, 8> head{};
        if (size < layout.magicFromEnd ||
            input.ReadAt(size - layout.magicFromEnd, head.data(), head.size()) != head.size() ||
            LoadU32LE(head.data()) != kMagic) {
            continue;
        }
        const std::uint32_t v = LoadU32LE(head.data() + 4);
        const bool fits = layout.magicFromEnd == 44    ? v >= 1 && v <= 7
                          : layout.magicFromEnd == 205 ? v == 9
                          : layout.magicFromEnd == 172 ? v == 8
                                                       : v == 8 || v == 10 || v == 11;
        if (fits) {
            found = {layout, v};
            break;
        }
    }
    if (!found) {
        return quoted + " has no Unreal pak footer the tool knows";
    }
    const auto [layout, number] = *found;
    settings.pakVersion = number;
    settings.v8a = layout.v8a;
    bool indexEncrypted = false;
    if (number >= 4) {
        unsigned char flag = 0;
        input.ReadAt(size - layout.magicFromEnd - 1, &flag, 1);
        indexEncrypted = flag == 1;
    }
    settings.encryptIndex = indexEncrypted;
    settings.encryptData = true; // set below from the entries

    std::string mount;
    bool dataEncrypted = false;
    std::optional<std::string> method;
    std::optional<std::uint64_t> blockSize;
    const PackageSummary summary = KestruneEngine::StreamEntries(
        reference, [](std::uint64_t) {},
        [&](const EntryView& entry) {
            dataEncrypted = dataEncrypted || entry.encrypted;
            if (!method && entry.compression != "None") {
                method = std::string(entry.compression);
            }
            const auto pieces = entry.content.Pieces();
            if (!blockSize && pieces.size() > 1 && pieces[0].codec != Codec::Stored) {
                blockSize = pieces[0].decodedLength;
            }
        },
        options);
    if (!summary.walk.refusal.empty()) {
        return quoted + ": " + summary.walk.refusal;
    }
    for (const auto& [key, value] : summary.walk.properties) {
        if (key == "mount_point") {
            mount = value;
        }
    }
    settings.mountPoint = mount;
    settings.compression = Codec::Stored;
    if (method) {
        for (const Codec codec :
             {Codec::Zlib, Codec::Gzip, Codec::Lz4, Codec::Zstd, Codec::Oodle}) {
            if (CodecName(codec) == *method) {
                settings.compression = codec;
            }
        }
    }
    // A reference of single-block entries does not show its block size:
    // UnrealPak's default then.
    settings.blockSize = static_cast<std::uint32_t>(blockSize.value_or(65536));
    settings.encryptData = dataEncrypted;
    if (number >= 10) {
        settings.pathHashSeed =
            ReadSeed(input, size - layout.magicFromEnd, indexEncrypted, mount, options);
    }
    const bool encrypted = dataEncrypted || indexEncrypted;
    if (encrypted && !keyGiven) {
        return quoted + " is encrypted: give the key to encrypt with, --aes-key";
    }
    if (!encrypted && keyGiven) {
        return "--aes-key: " + quoted +
               " is not encrypted, and the game would not read an encrypted pak in its place";
    }

    description =
        "version " + (number == 8 ? std::string(layout.v8a ? "8a" : "8b") : std::to_string(number));
    description += ", mount point " + mount;
    description += ", " + (method ? *method : std::string("no compression"));
    if (blockSize && *blockSize != 65536) {
        description += " in blocks of " + std::to_string(*blockSize) + " bytes";
    }
    if (settings.pathHashSeed != 0) {
        char seed[32];
        std::snprintf(seed, sizeof seed, "%016llx",
                      static_cast<unsigned long long>(settings.pathHashSeed));
        description += std::string(", path hash seed 0x") + seed;
    }
    if (dataEncrypted && indexEncrypted) {
        description += ", data and index encrypted";
    } else if (indexEncrypted) {
        description += ", index encrypted";
    } else if (dataEncrypted) {
        description += ", data encrypted";
    }
    return std::nullopt;
}

} // namespace Kestrune::Unreal
