#include "IoStore.h"

#include "Bounds.h"
#include "ByteOrder.h"
#include "Codecs.h"
#include "Crypto.h"
#include "Platform.h"
#include "UnrealCursor.h"
#include "UnrealPak.h"
#include "Utf8.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace Kestrune::IoStore {
namespace {

constexpr std::uint64_t kHeaderSize = 144;
constexpr std::uint64_t kChunkIdSize = 12;
constexpr std::uint64_t kOffsetLengthSize = 10;
constexpr std::uint64_t kBlockEntrySize = 12;
constexpr std::uint64_t kIvSize = 12;
constexpr std::uint64_t kMethodNameLength = 32;
constexpr std::uint64_t kAesBlock = 16;
constexpr std::uint32_t kNone = 0xFFFFFFFFu;

constexpr std::uint8_t kFlagCompressed = 0x01;
constexpr std::uint8_t kFlagEncrypted = 0x02;
constexpr std::uint8_t kFlagSigned = 0x04;
constexpr std::uint8_t kFlagIndexed = 0x08;
constexpr std::uint8_t kFlagOnDemand = 0x10;
constexpr std::uint8_t kKnownFlags =
    kFlagCompressed | kFlagEncrypted | kFlagSigned | kFlagIndexed | kFlagOnDemand;

constexpr std::uint8_t kCipherNone = 0;
constexpr std::uint8_t kCipherEcb = 1;
constexpr std::uint8_t kCipherCtr = 2;

// TOC versions that add sections or fields.
constexpr std::uint8_t kVersionDirectoryIndex = 2;
constexpr std::uint8_t kVersionPartitions = 3;
constexpr std::uint8_t kVersionPerfectHash = 4;
constexpr std::uint8_t kVersionOverflow = 5;
constexpr std::uint8_t kVersionShortMetas = 8;
constexpr std::uint8_t kVersionCipherMethod = 10;

// Chunk type names by value: UE 4.25-4.27 and UE 5 number them differently.
constexpr std::array<std::string_view, 13> kTypesUe4 = {
    "Invalid",           "InstallManifest",        "ExportBundleData", "BulkData",
    "OptionalBulkData",  "MemoryMappedBulkData",   "LoaderGlobalMeta", "LoaderInitialLoadMeta",
    "LoaderGlobalNames", "LoaderGlobalNameHashes", "ContainerHeader",  "ShaderCodeLibrary",
    "ShaderCode"};
constexpr std::array<std::string_view, 14> kTypesUe5 = {
    "Invalid",           "ExportBundleData",     "BulkData",
    "OptionalBulkData",  "MemoryMappedBulkData", "ScriptObjects",
    "ContainerHeader",   "ExternalFile",         "ShaderCodeLibrary",
    "ShaderCode",        "PackageStoreEntry",    "DerivedData",
    "EditorDerivedData", "PackageResource"};
constexpr std::uint8_t kUe4ExportBundle = 2;
constexpr std::uint8_t kUe5ExportBundle = 1;
constexpr std::uint8_t kUe4ContainerHeader = 10;

struct Header {
    std::uint8_t version = 0;
    std::uint32_t headerSize = 0;
    std::uint32_t chunks = 0;
    std::uint32_t blocks = 0;
    std::uint32_t blockEntrySize = 0;
    std::uint32_t methodCount = 0;
    std::uint32_t methodLength = 0;
    std::uint32_t blockSize = 0;
    std::uint32_t directorySize = 0;
    std::uint32_t partitions = 1;
    std::uint64_t containerId = 0;
    std::array<std::uint32_t, 4> guid{};
    std::uint8_t flags = 0;
    std::uint8_t cipher = kCipherNone;
    std::uint32_t seeds = 0;
    std::uint64_t partitionSize = UINT64_MAX;
    std::uint32_t overflow = 0;
    std::uint32_t ivs = 0;
};

Header ParseHeader(const unsigned char* p) {
    Header h;
    h.version = p[16];
    h.headerSize = LoadU32LE(p + 20);
    h.chunks = LoadU32LE(p + 24);
    h.blocks = LoadU32LE(p + 28);
    h.blockEntrySize = LoadU32LE(p + 32);
    h.methodCount = LoadU32LE(p + 36);
    h.methodLength = LoadU32LE(p + 40);
    h.blockSize = LoadU32LE(p + 44);
    h.directorySize = LoadU32LE(p + 48);
    h.containerId = LoadU64LE(p + 56);
    for (std::size_t i = 0; i < 4; ++i) {
        h.guid[i] = LoadU32LE(p + 64 + 4 * i);
    }
    h.flags = p[80];
    if (h.version >= kVersionPartitions) {
        h.partitions = LoadU32LE(p + 52);
        h.partitionSize = LoadU64LE(p + 88);
    }
    if (h.version >= kVersionPerfectHash) {
        h.seeds = LoadU32LE(p + 84);
    }
    if (h.version >= kVersionOverflow) {
        h.overflow = LoadU32LE(p + 96);
    }
    if (h.version >= kVersionCipherMethod) {
        h.cipher = p[81];
        h.ivs = LoadU32LE(p + 104);
    } else {
        h.cipher = (h.flags & kFlagEncrypted) ? kCipherEcb : kCipherNone;
    }
    return h;
}

// The key GUID as the engine writes it.
std::string GuidText(const std::array<std::uint32_t, 4>& g) {
    char text[40];
    std::snprintf(text, sizeof text, "%08X-%04X-%04X-%04X-%04X%08X", static_cast<unsigned>(g[0]),
                  static_cast<unsigned>(g[1] >> 16), static_cast<unsigned>(g[1] & 0xFFFF),
                  static_cast<unsigned>(g[2] >> 16), static_cast<unsigned>(g[2] & 0xFFFF),
                  static_cast<unsigned>(g[3]));
    return text;
}

std::uint64_t LoadU40BE(const unsigned char* p) {
    std::uint64_t v = 0;
    for (int i = 0; i < 5; ++i) {
        v = v << 8 | p[i];
    }
    return v;
}

std::uint64_t LoadLE(const unsigned char* p, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) {
        v = v << 8 | p[i];
    }
    return v;
}

std::uint64_t Align16(std::uint64_t n) {
    return (n + (kAesBlock - 1)) & ~(kAesBlock - 1);
}

struct Named {
    std::string path;
    std::uint32_t chunk = 0;
};

// The directory index's files, in its order: each directory's files, then
// its subdirectories, depth first. False when an index is out of range or
// an entry is reached twice (a loop or a cross-link).
bool WalkIndex(std::span<const unsigned char> bytes, std::uint32_t chunks, std::string& mountStored,
               std::vector<Named>& named) {
    Unreal::Cursor in(bytes);
    in.String(mountStored, Unreal::FStringRule::Lenient);
    struct Directory {
        std::uint32_t name, child, sibling, file;
    };
    struct File {
        std::uint32_t name, next, chunk;
    };
    std::vector<Directory> dirs(in.Count(16));
    for (Directory& d : dirs) {
        d = {in.U32(), in.U32(), in.U32(), in.U32()};
    }
    std::vector<File> files(in.Count(12));
    for (File& f : files) {
        f = {in.U32(), in.U32(), in.U32()};
    }
    std::vector<std::string> strings(in.Count(4));
    for (std::string& s : strings) {
        in.String(s, Unreal::FStringRule::Lenient);
    }
    if (!in.ok) {
        return false;
    }
    std::string_view mount = mountStored;
    while (mount.starts_with("../")) {
        mount.remove_prefix(3);
    }
    if (mount.starts_with("/")) {
        mount.remove_prefix(1);
    }
    std::string root(mount);
    if (!root.empty() && root.back() != '/') {
        root.push_back('/');
    }
    if (dirs.empty()) {
        return true;
    }
    std::vector<bool> queued(dirs.size(), false);
    std::vector<bool> fileSeen(files.size(), false);
    std::vector<std::pair<std::uint32_t, std::string>> stack;
    stack.emplace_back(0, root);
    queued[0] = true;
    std::vector<std::uint32_t> children;
    while (!stack.empty()) {
        auto [d, path] = std::move(stack.back());
        stack.pop_back();
        const Directory& dir = dirs[d];
        if (d != 0 && dir.name != kNone) {
            if (dir.name >= strings.size()) {
                return false;
            }
            path.append(strings[dir.name]).push_back('/');
        }
        for (std::uint32_t f = dir.file; f != kNone; f = files[f].next) {
            if (f >= files.size() || fileSeen[f]) {
                return false;
            }
            fileSeen[f] = true;
            const File& file = files[f];
            if (file.name >= strings.size() || file.chunk >= chunks) {
                return false;
            }
            named.push_back({path + strings[file.name], file.chunk});
        }
        children.clear();
        for (std::uint32_t c = dir.child; c != kNone; c = dirs[c].sibling) {
            if (c >= dirs.size() || queued[c]) {
                return false;
            }
            queued[c] = true;
            children.push_back(c);
        }
        for (auto c = children.rbegin(); c != children.rend(); ++c) {
            stack.emplace_back(*c, path);
        }
    }
    return true;
}

// Why a block cannot be read, when it cannot.
enum class BlockFault : std::uint8_t { None, Method, Partition, Sizes, Overlap };

std::string_view FaultText(BlockFault fault) {
    switch (fault) {
    case BlockFault::Method:
        return "a block names a compression method the TOC does not have";
    case BlockFault::Partition:
        return "a block lies in a partition the container does not have";
    case BlockFault::Sizes:
        return "a block's sizes do not fit its method and the block size";
    case BlockFault::Overlap:
        return "its blocks overlap other blocks";
    case BlockFault::None:
        break;
    }
    return {};
}

DirectoryWalk Refuse(std::string reason) {
    DirectoryWalk walk;
    walk.kind = PackageKind::IoStore;
    walk.refusal = std::move(reason);
    return walk;
}

// For each block, the first block from it on (itself included) for which
// `is` holds; `count` when none.
template <typename Test> std::vector<std::uint32_t> NextWhere(std::uint32_t count, Test is) {
    std::vector<std::uint32_t> next(count + std::size_t{1}, count);
    for (std::uint32_t j = count; j-- > 0;) {
        next[j] = is(j) ? j : next[j + 1];
    }
    return next;
}

} // namespace

bool IsToc(ByteSource& source) {
    std::array<unsigned char, 16> head{};
    return source.Size() >= head.size() && source.ReadAt(0, head.data(), head.size()) == 16 &&
           std::memcmp(head.data(), kMagic.data(), head.size()) == 0;
}

DirectoryWalk VisitContainer(ByteSource& source, const EntryVisitor& visit, std::uint64_t limit,
                             const ReadOptions& options, const CountAnnouncer* announce) {
    if (!IsToc(source)) {
        return {};
    }
    const std::uint64_t fileSize = source.Size();
    std::vector<unsigned char> toc(static_cast<std::size_t>(std::min(fileSize, kHeaderSize)));
    if (fileSize < kHeaderSize || source.ReadAt(0, toc.data(), toc.size()) != toc.size()) {
        return Refuse("the TOC is cut short in its header");
    }
    if (std::memcmp(toc.data() + 16, kMagic.data(), kMagic.size()) == 0) {
        return Refuse("the magic is written twice (a licensee's variant of the TOC): not read");
    }
    const Header h = ParseHeader(toc.data());
    if (h.version == 0 || h.version > kNewestVersion) {
        return Refuse("TOC version " + std::to_string(h.version) + " is not read");
    }
    if (h.headerSize != kHeaderSize) {
        return Refuse("a TOC header of " + std::to_string(h.headerSize) +
                      " bytes is not read (144 expected)");
    }
    if (h.blockEntrySize != kBlockEntrySize) {
        return Refuse("compression block entries of " + std::to_string(h.blockEntrySize) +
                      " bytes are not read (12 expected)");
    }
    if (h.methodCount > 0 && h.methodLength != kMethodNameLength) {
        return Refuse("method names of " + std::to_string(h.methodLength) +
                      " bytes are not read (32 expected)");
    }
    if (h.cipher > kCipherCtr) {
        return Refuse("encryption method " + std::to_string(h.cipher) + " is not read");
    }
    const bool encrypted = (h.flags & kFlagEncrypted) != 0 && h.cipher != kCipherNone;
    const bool indexed = h.version >= kVersionDirectoryIndex && (h.flags & kFlagIndexed) != 0;
    if (h.blocks > 0 && h.blockSize == 0) {
        return Refuse("the compression block size is 0");
    }
    if (h.partitions == 0 || h.partitionSize == 0) {
        return Refuse("the container declares no partition");
    }
    if (h.cipher == kCipherCtr && h.ivs != std::uint64_t{h.blocks} + (indexed ? 1 : 0)) {
        return Refuse("the TOC's IV count does not match its blocks");
    }

    // The sections in file order, each checked against the file before it
    // is read.
    std::uint64_t at = kHeaderSize;
    std::string cut;
    const auto section = [&](std::uint64_t count, std::uint64_t unit, std::string_view what) {
        const std::uint64_t start = at;
        const auto length = CheckedProduct(count, unit);
        if (!cut.empty() || !length || !FitsWithin(at, *length, fileSize)) {
            if (cut.empty()) {
                cut = "the TOC is cut short in its " + std::string(what);
            }
            return start;
        }
        at += *length;
        return start;
    };
    const std::uint64_t idsAt = section(h.chunks, kChunkIdSize, "chunk ids");
    const std::uint64_t placesAt = section(h.chunks, kOffsetLengthSize, "chunk offsets");
    section(h.seeds, 4, "perfect hash seeds");
    section(h.overflow, 4, "chunks without a perfect hash");
    const std::uint64_t blocksAt = section(h.blocks, kBlockEntrySize, "compression blocks");
    const std::uint64_t ivsAt =
        section(h.cipher == kCipherCtr ? h.ivs : 0, kIvSize, "encryption IVs");
    const std::uint64_t namesAt = section(h.methodCount, h.methodLength, "compression methods");
    if (cut.empty() && (h.flags & kFlagSigned) != 0) {
        std::array<unsigned char, 4> size{};
        if (!FitsWithin(at, 4, fileSize) || source.ReadAt(at, size.data(), 4) != 4 ||
            LoadU32LE(size.data()) > INT32_MAX) {
            cut = "the TOC is cut short in its signatures";
        } else {
            at += 4;
            section(LoadU32LE(size.data()), 2, "signatures");
            section(h.blocks, 20, "block signatures");
        }
    }
    const std::uint64_t directoryAt = section(indexed ? h.directorySize : 0, 1, "directory index");
    const std::uint64_t metaSize = h.version >= kVersionShortMetas ? 24 : 33;
    const std::uint64_t metasAt = section(h.chunks, metaSize, "chunk metas");
    if (!cut.empty()) {
        return Refuse(cut);
    }
    // Everything up to the metas' end is held: the TOC is small beside its
    // data, and each part of it is read once.
    toc.resize(static_cast<std::size_t>(at));
    if (source.ReadAt(0, toc.data(), toc.size()) != toc.size()) {
        return Refuse("the TOC is cut short");
    }
    const unsigned char* ids = toc.data() + idsAt;
    const unsigned char* places = toc.data() + placesAt;
    const unsigned char* blockEntries = toc.data() + blocksAt;
    const unsigned char* metas = toc.data() + metasAt;

    std::vector<std::string> methods(h.methodCount);
    for (std::uint32_t i = 0; i < h.methodCount; ++i) {
        const auto* slot = reinterpret_cast<const char*>(toc.data() + namesAt + i * h.methodLength);
        methods[i].assign(slot, strnlen(slot, h.methodLength));
    }

    // The key: the one that opens the directory index, else the first given.
    std::optional<AesKey> key;
    std::vector<std::array<unsigned char, 12>> ivs;
    for (std::uint32_t i = 0; h.cipher == kCipherCtr && i < h.ivs; ++i) {
        std::memcpy(ivs.emplace_back().data(), toc.data() + ivsAt + i * kIvSize, kIvSize);
    }
    std::string mountStored;
    std::vector<Named> named;
    if (indexed) {
        const std::span<const unsigned char> stored(toc.data() + directoryAt, h.directorySize);
        if (!encrypted) {
            if (!WalkIndex(stored, h.chunks, mountStored, named)) {
                return Refuse("the directory index is malformed");
            }
        } else {
            std::vector<unsigned char> plain;
            bool opened = false;
            for (const AesKey& candidate : options.aesKeys) {
                plain.assign(stored.begin(), stored.end());
                if (h.cipher == kCipherCtr) {
                    CryptAes256Ctr(candidate, ivs.back(), 0, plain);
                } else if (plain.size() % kAesBlock == 0) {
                    DecryptAes256Ecb(candidate, plain);
                } else {
                    break;
                }
                named.clear();
                if (WalkIndex(plain, h.chunks, mountStored, named)) {
                    key = candidate;
                    opened = true;
                    break;
                }
            }
            if (!opened) {
                return Refuse("the directory index is encrypted (key " + GuidText(h.guid) +
                              "): give its key with --aes-key");
            }
        }
    }
    if (!key && !options.aesKeys.empty()) {
        key = options.aesKeys.front();
    }

    // Chunk types by the numbering of the engine that wrote the TOC; version
    // 4 (UE5 early access) is told by its container header chunk's type.
    bool ue4Types = h.version <= kVersionPartitions;
    if (h.version == kVersionPerfectHash) {
        for (std::uint32_t i = 0; i < h.chunks; ++i) {
            const unsigned char* id = ids + i * kChunkIdSize;
            if (LoadU64LE(id) == h.containerId && id[8] == 0 && id[9] == 0) {
                ue4Types = id[11] == kUe4ContainerHeader;
                break;
            }
        }
    }
    const auto typeName = [&](std::uint8_t type) -> std::string {
        if (ue4Types && type < kTypesUe4.size()) {
            return std::string(kTypesUe4[type]);
        }
        if (!ue4Types && type < kTypesUe5.size()) {
            return std::string(kTypesUe5[type]);
        }
        return "Type" + std::to_string(type);
    };
    const std::uint8_t exportBundle = ue4Types ? kUe4ExportBundle : kUe5ExportBundle;

    // Every block becomes one piece, shared by the chunks it serves.
    auto shared = std::make_shared<SharedContent>();
    shared->aesKey = key;
    shared->ctrIvs = std::move(ivs);
    shared->pieces.resize(h.blocks);
    std::vector<BlockFault> faults(h.blocks, BlockFault::None);
    std::vector<std::uint64_t> storedBefore(h.blocks + std::size_t{1}, 0);
    for (std::uint32_t j = 0; j < h.blocks; ++j) {
        const unsigned char* b = blockEntries + j * kBlockEntrySize;
        const std::uint64_t offset = LoadLE(b, 5);
        const std::uint64_t stored = LoadLE(b + 5, 3);
        const std::uint64_t size = LoadLE(b + 8, 3);
        const std::uint8_t method = b[11];
        Piece& piece = shared->pieces[j];
        piece.file = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(offset / h.partitionSize, std::uint64_t{kPackageFile} - 1));
        piece.offset = offset % h.partitionSize;
        piece.codedLength = stored;
        piece.storedLength = encrypted ? Align16(stored) : stored;
        piece.decodedLength = size;
        piece.encrypted = encrypted;
        storedBefore[j + 1] = storedBefore[j] + stored;
        if (method > methods.size()) {
            faults[j] = BlockFault::Method;
        } else if (method > 0) {
            piece.codec = Unreal::MethodCodec(methods[method - 1]).value_or(Codec::Stored);
        }
        if (faults[j] == BlockFault::None && piece.file >= h.partitions) {
            faults[j] = BlockFault::Partition;
        }
        if (faults[j] == BlockFault::None &&
            (size > h.blockSize || !FitsWithin(piece.offset, piece.storedLength, h.partitionSize) ||
             (method == 0 && stored != size))) {
            faults[j] = BlockFault::Sizes;
        }
    }
    // Blocks that share stored bytes: both are damage.
    {
        std::vector<std::uint32_t> order(h.blocks);
        for (std::uint32_t j = 0; j < h.blocks; ++j) {
            order[j] = j;
        }
        const auto& pieces = shared->pieces;
        std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
            return std::pair(pieces[a].file, pieces[a].offset) <
                   std::pair(pieces[b].file, pieces[b].offset);
        });
        std::uint64_t reach = 0;
        std::uint32_t reacher = 0;
        for (std::size_t k = 0; k < order.size(); ++k) {
            const Piece& p = pieces[order[k]];
            if (k > 0 && p.file == pieces[reacher].file && p.offset < reach && p.storedLength > 0) {
                faults[order[k]] = faults[reacher] = BlockFault::Overlap;
            }
            if (k == 0 || p.file != pieces[reacher].file || p.offset + p.storedLength > reach) {
                reach = p.offset + p.storedLength;
                reacher = order[k];
            }
        }
    }
    const auto nextFault =
        NextWhere(h.blocks, [&](std::uint32_t j) { return faults[j] != BlockFault::None; });
    const auto nextShort = NextWhere(
        h.blocks, [&](std::uint32_t j) { return shared->pieces[j].decodedLength != h.blockSize; });
    const auto nextCompressed = NextWhere(
        h.blocks, [&](std::uint32_t j) { return blockEntries[j * kBlockEntrySize + 11] != 0; });
    const auto nextUnknown = NextWhere(h.blocks, [&](std::uint32_t j) {
        const std::uint8_t m = blockEntries[j * kBlockEntrySize + 11];
        return m > 0 && m <= methods.size() && !Unreal::MethodCodec(methods[m - 1]);
    });

    // Listing order: the named chunks, then the others in table order.
    std::vector<bool> isNamed(h.chunks, false);
    for (const Named& n : named) {
        isNamed[n.chunk] = true;
    }
    std::uint64_t unnamed = 0;
    for (std::uint32_t i = 0; i < h.chunks; ++i) {
        unnamed += isNamed[i] ? 0 : 1;
    }
    const std::uint64_t total = named.size() + unnamed;
    if (announce != nullptr) {
        (*announce)(std::min(total, limit));
    }
    std::uint64_t zen = 0;
    for (const Named& n : named) {
        const std::string_view path = n.path;
        if (ids[n.chunk * kChunkIdSize + 11] == exportBundle &&
            (path.ends_with(".uasset") || path.ends_with(".umap"))) {
            ++zen;
        }
    }

    std::map<std::string, std::shared_ptr<SharedContent>> unreadableContent;
    EntryView view;
    std::string name;
    std::uint64_t visited = 0;
    // What --list-json tells of each chunk beyond the common fields.
    std::array<EntryFact, 7> facts;
    std::string idText;
    std::string typeText;
    const std::string_view cipherText = h.cipher == kCipherCtr   ? "AES-256-CTR"
                                        : h.cipher == kCipherEcb ? "AES-256-ECB"
                                                                 : "None";
    const auto hand = [&](std::uint32_t i, std::string_view entryName) {
        const unsigned char* place = places + i * kOffsetLengthSize;
        const std::uint64_t offset = LoadU40BE(place);
        const std::uint64_t length = LoadU40BE(place + 5);
        const unsigned char* id = ids + i * kChunkIdSize;
        view = EntryView{};
        view.name = entryName;
        idText.clear();
        for (std::size_t k = 0; k < kChunkIdSize; ++k) {
            idText.push_back("0123456789abcdef"[id[k] >> 4]);
            idText.push_back("0123456789abcdef"[id[k] & 15]);
        }
        typeText = typeName(id[11]);
        std::size_t factCount = 0;
        facts[factCount++] = {"chunk_id", EntryFact::Form::Text, idText, 0};
        facts[factCount++] = {"chunk_type", EntryFact::Form::Text, typeText, 0};
        facts[factCount++] = {"encryption", EntryFact::Form::Text, cipherText, 0};
        const std::uint64_t firstBlock = offset / std::max<std::uint32_t>(h.blockSize, 1);
        if (length > 0 && firstBlock < h.blocks) {
            const Piece& piece = shared->pieces[firstBlock];
            facts[factCount++] = {"partition", EntryFact::Form::Number, {}, piece.file};
            facts[factCount++] = {"partition_offset", EntryFact::Form::Number, {}, piece.offset};
        }
        if (id[11] == exportBundle &&
            (entryName.ends_with(".uasset") || entryName.ends_with(".umap"))) {
            facts[factCount++] = {"zen", EntryFact::Form::True, {}, 0};
        }
        view.facts = std::span<const EntryFact>(facts.data(), factCount);
        view.offset = offset;
        view.size = length;
        view.encrypted = encrypted;
        EntryContent& content = view.content;
        content.encoding = ContentEncoding::Pieces;
        std::array<unsigned char, 20> hash{};
        std::memcpy(hash.data(), metas + i * metaSize, hash.size());
        content.blake3 = hash;
        std::string_view damage;
        if (length > 0) {
            const std::uint64_t first = offset / std::max<std::uint32_t>(h.blockSize, 1);
            const std::uint64_t last =
                (offset + length - 1) / std::max<std::uint32_t>(h.blockSize, 1);
            if (h.blockSize == 0 || last >= h.blocks || offset + length < offset) {
                damage = "its bytes lie beyond the container's blocks";
            } else {
                const auto f = static_cast<std::uint32_t>(first);
                const auto l = static_cast<std::uint32_t>(last);
                view.compressedSize = storedBefore[l + 1] - storedBefore[f];
                if (nextCompressed[f] <= l) {
                    const std::uint8_t m = blockEntries[nextCompressed[f] * kBlockEntrySize + 11];
                    if (m <= methods.size()) {
                        const auto codec = Unreal::MethodCodec(methods[m - 1]);
                        view.compression =
                            codec ? CodecName(*codec) : std::string_view(methods[m - 1]);
                    }
                }
                if (nextFault[f] <= l) {
                    damage = FaultText(faults[nextFault[f]]);
                } else if (nextShort[f] < l ||
                           shared->pieces[l].decodedLength < offset + length - last * h.blockSize) {
                    damage = "its blocks do not hold its bytes";
                } else if (nextUnknown[f] <= l) {
                    // No pieces: reading fails with the method's name.
                    content.shared.reset();
                    visit(view);
                    return;
                }
                content.shared = shared;
                content.firstPiece = f;
                content.pieceCount = l - f + 1;
                content.skip = offset - first * h.blockSize;
            }
        } else {
            content.shared = shared;
        }
        if (!damage.empty()) {
            // Nothing is read of a chunk whose blocks are not sound: reading
            // it fails with the reason.
            auto& unreadable = unreadableContent[std::string(damage)];
            if (!unreadable) {
                unreadable = std::make_shared<SharedContent>();
                unreadable->unreadable = damage;
            }
            content.shared = unreadable;
            content.firstPiece = content.pieceCount = 0;
            content.skip = 0;
            view.compression = "None";
            view.damage = damage;
        }
        visit(view);
    };
    for (const Named& n : named) {
        if (visited >= limit) {
            break;
        }
        hand(n.chunk, n.path);
        ++visited;
    }
    for (std::uint32_t i = 0; i < h.chunks && visited < limit; ++i) {
        if (isNamed[i]) {
            continue;
        }
        static constexpr char kHex[] = "0123456789abcdef";
        name.clear();
        for (std::size_t k = 0; k < kChunkIdSize; ++k) {
            const unsigned char byte = ids[i * kChunkIdSize + k];
            name.push_back(kHex[byte >> 4]);
            name.push_back(kHex[byte & 15]);
        }
        name.append(".").append(typeName(ids[i * kChunkIdSize + 11]));
        hand(i, name);
        ++visited;
    }

    DirectoryWalk walk;
    walk.kind = PackageKind::IoStore;
    walk.visited = visited;
    if (zen > 0) {
        walk.notes.push_back(std::to_string(zen) + " " + std::string(kZenNote));
    }
    if ((h.flags & ~kKnownFlags) != 0) {
        char text[8];
        std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(h.flags & ~kKnownFlags));
        walk.notes.push_back(std::string("unknown container flags ") + text + " ignored");
    }
    if (indexed) {
        walk.properties.emplace_back("mount_point", mountStored);
    }
    walk.properties.emplace_back("toc_version", std::to_string(h.version));
    walk.properties.emplace_back("partitions", std::to_string(h.partitions));
    return walk;
}

std::string PartPath(const std::string& tocPath, std::uint32_t part) {
    std::string stem = tocPath;
    if (stem.size() > 5) {
        if (AsciiLower(std::string_view(stem).substr(stem.size() - 5)) == ".utoc") {
            stem.resize(stem.size() - 5);
        }
    }
    return part == 0 ? stem + ".ucas" : stem + "_s" + std::to_string(part) + ".ucas";
}

std::string TocPathFor(const std::string& path) {
    if (path.size() <= 5) {
        return path;
    }
    if (AsciiLower(std::string_view(path).substr(path.size() - 5)) != ".ucas") {
        return path;
    }
    const std::string toc = path.substr(0, path.size() - 5) + ".utoc";
    Platform::InputFile file;
    return file.Open(toc) ? toc : path;
}

void AnnotateContainer(const std::string& path, const ReadOptions&, DirectoryWalk& walk) {
    for (std::string& note : walk.notes) {
        if (note.ends_with(kZenNote)) {
            note = path + ": " + note;
        }
    }
}

} // namespace Kestrune::IoStore
