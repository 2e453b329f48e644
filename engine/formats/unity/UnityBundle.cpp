#include "UnityBundle.h"

#include "Bounds.h"
#include "Codecs.h"
#include "UnityBytes.h"

#include <algorithm>
#include <array>
#include <numeric>

namespace Kestrune::Unity {
namespace {

constexpr std::string_view kUnityFs = "UnityFS";
constexpr std::string_view kUnityWeb = "UnityWeb";
constexpr std::string_view kUnityRaw = "UnityRaw";
constexpr std::string_view kUnityArchive = "UnityArchive";

constexpr std::size_t kSignatureLimit = 16;
constexpr std::size_t kVersionLimit = 64;
// The header, version strings and UnityWeb level table included, lies in
// this much of the file's start; a longer one is damage.
constexpr std::size_t kHeaderReadLimit = 64 * 1024;

constexpr std::uint32_t kFirstFsFormat = 6;
constexpr std::uint32_t kLastFsFormat = 8;
constexpr std::uint32_t kLastWebFormat = 5;

constexpr std::uint32_t kCodecMask = 0x3F;
constexpr std::uint32_t kFlagDirectoryWithBlocks = 0x40;
constexpr std::uint32_t kFlagBlockInfoAtEnd = 0x80;
constexpr std::uint32_t kFlagWebPluginByte = 0x100;
constexpr std::uint32_t kFlag200 = 0x200; // padding or encryption, by engine version
constexpr std::uint32_t kFlagsNewEncryption = 0x400 | 0x1000;
constexpr std::uint32_t kBlockFlagStreamed = 0x40;
constexpr std::uint32_t kBlockFlagEncrypted = 0x100;

constexpr std::uint32_t kMethodNone = 0;
constexpr std::uint32_t kMethodLzma = 1;
constexpr std::uint32_t kMethodLz4 = 2;
constexpr std::uint32_t kMethodLz4Hc = 3;
constexpr std::uint32_t kMethodLzham = 4;

constexpr std::size_t kHashSize = 16;
constexpr std::uint64_t kBlockRecordSize = 10;
constexpr std::uint64_t kNodeRecordMinimum = 21;
constexpr std::size_t kMaxDirectoryPadding = 15;
constexpr std::size_t kLzmaPropertiesSize = 5;
constexpr std::size_t kLzmaAloneHeaderSize = 13;

// The block info is metadata: a bundle declaring more is damaged or hostile.
constexpr std::uint64_t kMaxBlockInfoSize = 64ull << 20;
// An old UnityWeb file's directory lies inside its one LZMA stream, which is
// decoded whole to read it; beyond this size the tool declines.
constexpr std::uint64_t kMaxWebPayloadSize = 256ull << 20;
// A valid LZ4 block expands at most about 255 times.
constexpr std::uint64_t kLz4MaxRatio = 256;
constexpr std::uint64_t kLz4Slack = 64;

const std::string kEncrypted = "Unity bundle encryption is not supported";

std::string Damaged(const std::string& what) {
    return "damaged Unity bundle: " + what;
}

struct EngineVersion {
    bool known = false;
    std::uint64_t major = 0, minor = 0, patch = 0;
    bool AtLeast(std::uint64_t a, std::uint64_t b, std::uint64_t c) const {
        return std::array{major, minor, patch} >= std::array{a, b, c};
    }
};

// The first three dot-separated numbers; "0.0.0" or fewer numbers: unknown.
EngineVersion ParseEngineVersion(std::string_view text) {
    EngineVersion version;
    std::array<std::uint64_t, 3> parts{};
    std::size_t at = 0;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) {
            if (at >= text.size() || text[at] != '.') {
                return version;
            }
            ++at;
        }
        const std::size_t start = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < 9) {
            parts[i] = parts[i] * 10 + static_cast<std::uint64_t>(text[at] - '0');
            ++at;
        }
        if (at == start) {
            return version;
        }
    }
    version.major = parts[0];
    version.minor = parts[1];
    version.patch = parts[2];
    version.known = parts != std::array<std::uint64_t, 3>{};
    return version;
}

// Engines that fixed unaligned bundle files give 0x200 its padding meaning
// and move encryption to 0x400/0x1000.
bool NewFlagSet(const EngineVersion& v) {
    if (v.major == 2020) {
        return v.AtLeast(2020, 3, 34);
    }
    if (v.major == 2021) {
        return v.AtLeast(2021, 3, 2);
    }
    if (v.major == 2022) {
        return v.AtLeast(2022, 1, 1);
    }
    return v.major > 2022;
}

bool HeaderAligned(std::uint32_t format, const EngineVersion& v) {
    return format >= 7 || (format == 6 && v.AtLeast(2019, 4, 15) && v.major < 2020);
}

std::uint64_t AlignUp(std::uint64_t value, std::uint64_t alignment) {
    return value + (alignment - value % alignment) % alignment;
}

struct Method {
    Codec codec = Codec::Stored;
    std::string_view name;
};

// The codec of a block info or block method; nullopt with `why` set when
// the method is not one the tool reads.
std::optional<Method> MethodOf(std::uint32_t method, std::string& why) {
    switch (method) {
    case kMethodNone:
        return Method{Codec::Stored, "None"};
    case kMethodLzma:
        return Method{Codec::Lzma, "LZMA"};
    case kMethodLz4:
        return Method{Codec::Lz4, "LZ4"};
    case kMethodLz4Hc:
        return Method{Codec::Lz4, "LZ4HC"};
    case kMethodLzham:
        why = "Unity bundle compressed with LZHAM is not supported";
        return std::nullopt;
    default:
        why = "Unity bundle compression method " + std::to_string(method) + " is not known";
        return std::nullopt;
    }
}

// Whether `stored` bytes can hold `decoded` bytes by `method` at all: the
// check before anything is allocated or decoded.
std::optional<std::string> PlausibleSizes(std::uint32_t method, std::uint64_t stored,
                                          std::uint64_t decoded) {
    if (method == kMethodNone && stored != decoded) {
        return std::to_string(stored) + " bytes stored declare " + std::to_string(decoded);
    }
    if ((method == kMethodLz4 || method == kMethodLz4Hc) &&
        (stored == 0 || decoded > stored * kLz4MaxRatio + kLz4Slack)) {
        return std::to_string(stored) + " LZ4 bytes cannot decode to " + std::to_string(decoded);
    }
    if (method == kMethodLzma && stored < kLzmaPropertiesSize) {
        return "an LZMA block of " + std::to_string(stored) + " bytes has no properties";
    }
    return std::nullopt;
}

std::vector<unsigned char> ReadRange(ByteSource& source, std::uint64_t offset, std::size_t length,
                                     bool& ok) {
    std::vector<unsigned char> bytes(length);
    ok = length == 0 || source.ReadAt(offset, bytes.data(), length) == length;
    return bytes;
}

Bundle Refused(Bundle bundle, std::string reason) {
    bundle.walk.refusal = std::move(reason);
    bundle.nodes.clear();
    return bundle;
}

// Checks the nodes against the decoded data (inside it, no overlap) and
// gives each the range of blocks it spans.
std::optional<std::string> PlaceNodes(Bundle& bundle, const std::vector<std::uint64_t>& starts,
                                      const std::vector<std::string_view>& blockMethods,
                                      const std::shared_ptr<const SharedContent>& shared,
                                      std::uint64_t total) {
    std::vector<std::size_t> order;
    order.reserve(bundle.nodes.size());
    for (std::size_t i = 0; i < bundle.nodes.size(); ++i) {
        const BundleNode& node = bundle.nodes[i];
        if (!FitsWithin(node.offset, node.size, total)) {
            return Damaged("node " + std::to_string(i) + " lies outside the " +
                           std::to_string(total) + " bytes of decoded data");
        }
        if (node.size > 0) {
            order.push_back(i);
        }
    }
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return bundle.nodes[a].offset < bundle.nodes[b].offset;
    });
    for (std::size_t i = 1; i < order.size(); ++i) {
        const BundleNode& before = bundle.nodes[order[i - 1]];
        if (bundle.nodes[order[i]].offset - before.offset < before.size) {
            return Damaged("nodes " + std::to_string(order[i - 1]) + " and " +
                           std::to_string(order[i]) + " overlap");
        }
    }
    const auto blockOf = [&](std::uint64_t offset) {
        return static_cast<std::uint32_t>(std::upper_bound(starts.begin(), starts.end(), offset) -
                                          starts.begin() - 1);
    };
    for (BundleNode& node : bundle.nodes) {
        node.content.encoding = ContentEncoding::Pieces;
        node.content.shared = shared;
        node.compression = "None";
        if (node.size == 0) {
            continue;
        }
        const std::uint32_t first = blockOf(node.offset);
        const std::uint32_t last = blockOf(node.offset + node.size - 1);
        node.content.firstPiece = first;
        node.content.pieceCount = last - first + 1;
        node.content.skip = node.offset - starts[first];
        node.compression = blockMethods[first];
        for (std::uint32_t b = first; b <= last; ++b) {
            node.storedSize += shared->pieces[b].storedLength;
            if (blockMethods[b] != node.compression) {
                node.compression = "Mixed";
            }
        }
    }
    return std::nullopt;
}

Bundle ReadUnityFs(ByteSource& source, Bundle bundle, Cursor& head, std::string_view signature,
                   std::uint32_t format) {
    const std::uint64_t fileSize = source.Size();
    if (format < kFirstFsFormat || format > kLastFsFormat) {
        return Refused(std::move(bundle),
                       "Unity bundle format " + std::to_string(format) + " is not supported");
    }
    head.CString(kVersionLimit); // player version, unused
    bundle.engineVersion = std::string(head.CString(kVersionLimit));
    const std::uint64_t declaredSize = head.U64();
    const std::uint32_t infoStored = head.U32();
    const std::uint32_t infoDecoded = head.U32();
    const std::uint32_t flags = head.U32();
    if (signature != kUnityFs) {
        head.U8(); // the web plugin's extra byte
    }
    if (!head.ok()) {
        return Refused(std::move(bundle), Damaged("the header is cut short"));
    }
    bundle.walk.properties.emplace_back("engine_version", bundle.engineVersion);
    const EngineVersion version = ParseEngineVersion(bundle.engineVersion);
    const bool newFlags = NewFlagSet(version);
    if ((flags & kFlag200) != 0 && !version.known) {
        return Refused(std::move(bundle),
                       "Unity bundle flag 0x200 cannot be read without the engine version");
    }
    if ((newFlags && (flags & kFlagsNewEncryption) != 0) || (!newFlags && (flags & kFlag200))) {
        return Refused(std::move(bundle), kEncrypted);
    }
    const bool padded = newFlags && (flags & kFlag200) != 0;
    const std::uint32_t knownFlags = kCodecMask | kFlagDirectoryWithBlocks | kFlagBlockInfoAtEnd |
                                     kFlagWebPluginByte | (newFlags ? kFlag200 : 0);
    if ((flags & ~knownFlags) != 0) {
        return Refused(std::move(bundle), "Unity bundle flags " + std::to_string(flags) +
                                              " hold bits that are not known");
    }
    if ((flags & kFlagDirectoryWithBlocks) == 0) {
        return Refused(std::move(bundle),
                       "Unity bundle without its directory beside the blocks is not supported");
    }
    std::string why;
    const auto infoMethod = MethodOf(flags & kCodecMask, why);
    if (!infoMethod) {
        return Refused(std::move(bundle), why);
    }
    if (HeaderAligned(format, version)) {
        const std::size_t before = head.Position();
        head.AlignFrom(0, 16);
        const auto padding = head.Bytes().subspan(before, head.ok() ? head.Position() - before : 0);
        if (!head.ok() || std::any_of(padding.begin(), padding.end(), [](auto b) { return b; })) {
            return Refused(std::move(bundle), Damaged("the header's alignment is not zero bytes"));
        }
    }
    const std::uint64_t headerEnd = head.Position();
    if (declaredSize != fileSize) {
        return Refused(std::move(bundle),
                       Damaged("the header declares " + std::to_string(declaredSize) +
                               " bytes, the file has " + std::to_string(fileSize)));
    }
    const bool atEnd = (flags & kFlagBlockInfoAtEnd) != 0;
    if (!FitsWithin(headerEnd, infoStored, fileSize)) {
        return Refused(std::move(bundle),
                       Damaged("the block info of " + std::to_string(infoStored) +
                               " bytes does not fit in the file"));
    }
    const std::uint64_t infoOffset = atEnd ? fileSize - infoStored : headerEnd;
    std::uint64_t blocksStart = atEnd ? headerEnd : headerEnd + infoStored;
    const std::uint64_t blocksEnd = atEnd ? fileSize - infoStored : fileSize;
    if (padded) {
        if (headerEnd % 16 != 0) {
            return Refused(std::move(bundle),
                           Damaged("the padding flag on an unaligned header is ambiguous"));
        }
        blocksStart = AlignUp(blocksStart, 16);
    }
    if (blocksStart > blocksEnd) {
        return Refused(std::move(bundle), Damaged("the blocks start past their end"));
    }
    if (infoDecoded > kMaxBlockInfoSize) {
        return Refused(std::move(bundle), Damaged("a block info of " + std::to_string(infoDecoded) +
                                                  " bytes is beyond any real bundle"));
    }
    if (auto implausible = PlausibleSizes(flags & kCodecMask, infoStored, infoDecoded)) {
        return Refused(std::move(bundle), Damaged("block info: " + *implausible));
    }
    bool readOk = false;
    const auto coded = ReadRange(source, infoOffset, infoStored, readOk);
    if (!readOk) {
        return Refused(std::move(bundle), Damaged("the block info cannot be read"));
    }
    bundle.directory.resize(infoDecoded);
    if (auto failed = DecodeWhole(infoMethod->codec, coded, bundle.directory)) {
        return Refused(std::move(bundle), Damaged("block info: " + *failed));
    }

    Cursor info(bundle.directory);
    info.Skip(kHashSize);
    const std::int32_t blockCount = info.I32();
    if (blockCount < 0 || !info.Holds(static_cast<std::uint64_t>(blockCount), kBlockRecordSize)) {
        return Refused(std::move(bundle), Damaged("the block count " + std::to_string(blockCount) +
                                                  " does not fit in the block info"));
    }
    auto shared = std::make_shared<SharedContent>();
    shared->pieces.reserve(static_cast<std::size_t>(blockCount));
    std::vector<std::uint64_t> starts;
    std::vector<std::string_view> blockMethods;
    starts.reserve(static_cast<std::size_t>(blockCount));
    blockMethods.reserve(static_cast<std::size_t>(blockCount));
    std::uint64_t storedAt = blocksStart;
    std::uint64_t total = 0;
    for (std::int32_t i = 0; i < blockCount; ++i) {
        const std::uint32_t decoded = info.U32();
        const std::uint32_t stored = info.U32();
        const std::uint16_t blockFlags = info.U16();
        const std::string block = "block " + std::to_string(i) + ": ";
        if ((blockFlags & kBlockFlagEncrypted) != 0) {
            return Refused(std::move(bundle), kEncrypted);
        }
        if ((blockFlags & ~(kCodecMask | kBlockFlagStreamed)) != 0) {
            return Refused(std::move(bundle), "Unity bundle " + block + "flags " +
                                                  std::to_string(blockFlags) + " are not known");
        }
        const auto method = MethodOf(blockFlags & kCodecMask, why);
        if (!method) {
            return Refused(std::move(bundle), why);
        }
        if (auto implausible = PlausibleSizes(blockFlags & kCodecMask, stored, decoded)) {
            return Refused(std::move(bundle), Damaged(block + *implausible));
        }
        if (!FitsWithin(storedAt, stored, blocksEnd)) {
            return Refused(std::move(bundle), Damaged(block + "runs past the end of the blocks"));
        }
        Piece piece;
        piece.offset = storedAt;
        piece.storedLength = stored;
        piece.codedLength = stored;
        piece.decodedLength = decoded;
        piece.codec = method->codec;
        shared->pieces.push_back(piece);
        starts.push_back(total);
        blockMethods.push_back(method->name);
        storedAt += stored;
        total += decoded; // at most 2^31 blocks of 2^32 bytes: no overflow
    }
    if (storedAt != blocksEnd) {
        return Refused(std::move(bundle), Damaged(std::to_string(blocksEnd - storedAt) +
                                                  " bytes follow the last block"));
    }
    const std::int32_t nodeCount = info.I32();
    if (nodeCount < 0 || !info.Holds(static_cast<std::uint64_t>(nodeCount), kNodeRecordMinimum)) {
        return Refused(std::move(bundle), Damaged("the node count " + std::to_string(nodeCount) +
                                                  " does not fit in the block info"));
    }
    bundle.nodes.reserve(static_cast<std::size_t>(nodeCount));
    for (std::int32_t i = 0; i < nodeCount; ++i) {
        BundleNode& node = bundle.nodes.emplace_back();
        const std::int64_t offset = info.I64();
        const std::int64_t size = info.I64();
        node.flags = info.U32();
        node.path = info.CString(info.Remaining());
        if (!info.ok()) {
            return Refused(std::move(bundle),
                           Damaged("node " + std::to_string(i) + " is cut short"));
        }
        if (offset < 0 || size < 0) {
            return Refused(std::move(bundle),
                           Damaged("node " + std::to_string(i) + " has a negative range"));
        }
        node.offset = static_cast<std::uint64_t>(offset);
        node.size = static_cast<std::uint64_t>(size);
        node.flaggedSerialized = (node.flags & kNodeSerializedFile) != 0;
    }
    const auto trailing = bundle.directory.size() - info.Position();
    if (trailing > kMaxDirectoryPadding ||
        std::any_of(bundle.directory.begin() + static_cast<std::ptrdiff_t>(info.Position()),
                    bundle.directory.end(), [](auto b) { return b != 0; })) {
        return Refused(std::move(bundle),
                       Damaged(std::to_string(trailing) + " bytes follow the directory"));
    }
    if (trailing > 0) {
        bundle.walk.notes.push_back(std::to_string(trailing) +
                                    " zero bytes of padding follow the bundle's directory");
    }
    if (auto misplaced = PlaceNodes(bundle, starts, blockMethods, shared, total)) {
        return Refused(std::move(bundle), *misplaced);
    }
    return bundle;
}

Bundle ReadUnityWeb(ByteSource& source, Bundle bundle, Cursor& head, bool compressed,
                    std::uint32_t format, const ReadOptions& options) {
    const std::uint64_t fileSize = source.Size();
    head.CString(kVersionLimit); // player version
    bundle.engineVersion = std::string(head.CString(kVersionLimit));
    if (format >= 4) {
        head.Skip(kHashSize + 4); // hash and CRC, unchecked
    }
    head.U32(); // minimum streamed bytes
    const std::uint32_t headerSize = head.U32();
    head.U32(); // levels before streaming
    const std::int32_t levelCount = head.I32();
    if (!head.ok() || levelCount < 1 || !head.Holds(static_cast<std::uint64_t>(levelCount), 8)) {
        return Refused(std::move(bundle), Damaged("the level table does not fit in the header"));
    }
    std::uint32_t storedEnd = 0;
    std::uint32_t decodedEnd = 0;
    for (std::int32_t i = 0; i < levelCount; ++i) {
        const std::uint32_t stored = head.U32();
        const std::uint32_t decoded = head.U32();
        if (stored < storedEnd || decoded < decodedEnd) {
            return Refused(std::move(bundle), Damaged("the level table decreases"));
        }
        storedEnd = stored;
        decodedEnd = decoded;
    }
    if (format >= 2) {
        head.U32(); // complete file size, not reliable
    }
    std::optional<std::uint32_t> directorySize;
    if (format >= 3) {
        directorySize = head.U32();
    }
    if (!head.ok()) {
        return Refused(std::move(bundle), Damaged("the header is cut short"));
    }
    bundle.walk.properties.emplace_back("engine_version", bundle.engineVersion);
    if (headerSize < head.Position() || !FitsWithin(headerSize, storedEnd, fileSize)) {
        return Refused(std::move(bundle), Damaged("the payload does not lie in the file"));
    }
    if (!compressed && storedEnd != decodedEnd) {
        return Refused(std::move(bundle), Damaged("a stored payload declares two sizes"));
    }
    auto shared = std::make_shared<SharedContent>();
    Piece payload;
    payload.offset = headerSize;
    payload.storedLength = storedEnd;
    payload.codedLength = storedEnd;
    payload.decodedLength = decodedEnd;
    payload.codec = compressed ? Codec::LzmaAlone : Codec::Stored;
    shared->pieces.push_back(payload);

    // The directory lies at the payload's start; a UnityWeb payload is one
    // LZMA stream, decoded whole to reach it.
    bool readOk = false;
    if (compressed) {
        if (decodedEnd > kMaxWebPayloadSize) {
            return Refused(std::move(bundle),
                           "UnityWeb payload of " + std::to_string(decodedEnd) +
                               " bytes is larger than the 256 MiB decoded to read its directory");
        }
        if (storedEnd < kLzmaAloneHeaderSize) {
            return Refused(std::move(bundle), Damaged("the LZMA payload has no header"));
        }
        const auto coded = ReadRange(source, headerSize, storedEnd, readOk);
        bundle.directory.resize(decodedEnd);
        if (!readOk) {
            return Refused(std::move(bundle), Damaged("the payload cannot be read"));
        }
        if (auto failed = DecodeWhole(Codec::LzmaAlone, coded, bundle.directory, options)) {
            return Refused(std::move(bundle), Damaged("payload: " + *failed));
        }
    } else {
        const auto length =
            std::min<std::uint64_t>(directorySize.value_or(decodedEnd),
                                    std::min<std::uint64_t>(decodedEnd, kMaxBlockInfoSize));
        bundle.directory = ReadRange(source, headerSize, static_cast<std::size_t>(length), readOk);
        if (!readOk) {
            return Refused(std::move(bundle), Damaged("the directory cannot be read"));
        }
    }
    Cursor directory(bundle.directory);
    const std::int32_t nodeCount = directory.I32();
    if (nodeCount < 0 || !directory.Holds(static_cast<std::uint64_t>(nodeCount), 9)) {
        return Refused(std::move(bundle), Damaged("the node count " + std::to_string(nodeCount) +
                                                  " does not fit in the directory"));
    }
    for (std::int32_t i = 0; i < nodeCount; ++i) {
        BundleNode& node = bundle.nodes.emplace_back();
        node.path = directory.CString(directory.Remaining());
        node.offset = directory.U32();
        node.size = directory.U32();
        node.flagsKnown = false;
        if (!directory.ok()) {
            return Refused(std::move(bundle),
                           Damaged("node " + std::to_string(i) + " is cut short"));
        }
    }
    directory.AlignFrom(0, 4);
    if (!directory.ok() || (directorySize && directory.Position() != *directorySize)) {
        return Refused(std::move(bundle), Damaged("the directory does not end where declared"));
    }
    for (std::size_t i = 0; i < bundle.nodes.size(); ++i) {
        if (bundle.nodes[i].offset < directory.Position() && bundle.nodes[i].size > 0) {
            return Refused(std::move(bundle),
                           Damaged("node " + std::to_string(i) + " overlaps the directory"));
        }
    }
    const std::vector<std::uint64_t> starts{0};
    const std::vector<std::string_view> methods{compressed ? "LZMA" : "None"};
    if (auto misplaced = PlaceNodes(bundle, starts, methods, shared, decodedEnd)) {
        return Refused(std::move(bundle), *misplaced);
    }
    if (!compressed) {
        // A stored payload is read as the file's own bytes.
        for (BundleNode& node : bundle.nodes) {
            node.content = EntryContent::InPackage(headerSize + node.offset, node.size);
            node.storedSize = node.size;
        }
    }
    return bundle;
}

} // namespace

bool HasSignature(ByteSource& source) {
    std::array<unsigned char, kSignatureLimit> head{};
    const std::size_t got =
        source.ReadAt(0, head.data(), std::min<std::uint64_t>(head.size(), source.Size()));
    const std::string_view text(reinterpret_cast<const char*>(head.data()), got);
    for (const std::string_view signature : {kUnityFs, kUnityWeb, kUnityRaw, kUnityArchive}) {
        if (text.size() > signature.size() && text.substr(0, signature.size()) == signature &&
            text[signature.size()] == '\0') {
            return true;
        }
    }
    return false;
}

Bundle ReadBundle(ByteSource& source, const ReadOptions& options) {
    Bundle bundle;
    bundle.walk.kind = PackageKind::Unity;
    bool readOk = false;
    const auto headBytes = ReadRange(
        source, 0,
        static_cast<std::size_t>(std::min<std::uint64_t>(kHeaderReadLimit, source.Size())), readOk);
    if (!readOk) {
        return Refused(std::move(bundle), Damaged("the header cannot be read"));
    }
    Cursor head(headBytes);
    const std::string_view signature = head.CString(kSignatureLimit);
    const std::uint32_t format = head.U32();
    if (!head.ok()) {
        return Refused(std::move(bundle), Damaged("the header is cut short"));
    }
    if (signature == kUnityArchive) {
        return Refused(std::move(bundle), "UnityArchive files are not supported");
    }
    if (signature == kUnityFs || format >= kFirstFsFormat) {
        return ReadUnityFs(source, std::move(bundle), head, signature, format);
    }
    if (format == 0 || format > kLastWebFormat) {
        return Refused(std::move(bundle), std::string(signature) + " format " +
                                              std::to_string(format) + " is not supported");
    }
    return ReadUnityWeb(source, std::move(bundle), head, signature == kUnityWeb, format, options);
}

DirectoryWalk VisitBundle(ByteSource& source, const EntryVisitor& visit, std::uint64_t limit,
                          const ReadOptions& options) {
    Bundle bundle = ReadBundle(source, options);
    for (const BundleNode& node : bundle.nodes) {
        if (bundle.walk.visited >= limit) {
            break;
        }
        EntryView view;
        view.name = node.path;
        view.offset = node.offset;
        view.size = node.size;
        view.compressedSize = node.storedSize;
        view.content = node.content;
        view.compression = node.compression;
        visit(view);
        ++bundle.walk.visited;
    }
    return std::move(bundle.walk);
}

} // namespace Kestrune::Unity
