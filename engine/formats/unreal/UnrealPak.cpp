#include "UnrealPak.h"

#include "Bounds.h"
#include "ByteOrder.h"
#include "Codecs.h"
#include "Crypto.h"
#include "UnrealCursor.h"
#include "Utf8.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace Kestrune::Unreal {
namespace {

constexpr std::uint64_t kLegacyMagicFromEnd = 44;
// Version 14 adds an i32 pakchunk number after the name slots, version 15 a
// u8 encryption method and three 12-byte IVs after that: the magic moves.
constexpr std::uint64_t kChunkFooterMagicFromEnd = 208;
constexpr std::uint64_t kMethodFooterMagicFromEnd = 245;
constexpr std::size_t kIvSize = 12;
constexpr std::uint8_t kEncryptionEcb = 1;
constexpr std::uint8_t kEncryptionCtr = 2;
// Version 13 on: a full directory index may be the flat, sorted form, which
// starts with this u32 ("QDFP" in the file).
constexpr std::uint32_t kFlatDirectoryMagic = 0x50464451;
// Version 12 on, file names in the directory maps are UTF-8 without a NUL.
constexpr std::uint32_t kUtf8NamesVersion = 12;
constexpr std::uint64_t kNameSlotSize = 32;
constexpr std::uint32_t kLegacyHints = 0x30;
// Where the SHA-1 lies in the in-data header of versions 10+ (offset, stored
// size, size, u32 method).
constexpr std::uint64_t kHeaderSha1At = 8 + 8 + 8 + 4;
constexpr std::uint64_t kFnvOffsetBasis = 0xCBF29CE484222325ull;
constexpr std::uint64_t kFnvPrime = 0x100000001B3ull;
// Pieces are handed out from shared groups of this many, so that a listing
// allocates one group per thousands of entries, never one per entry.
constexpr std::size_t kPiecesPerGroup = 4096;

struct Footer {
    std::uint32_t version = 0;
    bool v8a = false;
    std::uint64_t size = 0; // footer bytes
    bool encryptedIndex = false;
    std::uint64_t indexOffset = 0;
    std::uint64_t indexSize = 0;
    Sha1Digest indexHash{};
    std::vector<std::string> methods; // slot i is method index i + 1
    // Version 15: how encrypted blocks are encrypted (1 AES-ECB, 2 AES-CTR)
    // and the CTR IVs of the three index blocks.
    std::uint8_t encryptionMethod = kEncryptionEcb;
    std::array<std::array<unsigned char, 12>, 3> ivs{};
};

// One entry as its record or encoded form describes it.
struct Record {
    std::uint64_t offset = 0;
    std::uint64_t storedSize = 0;
    std::uint64_t size = 0;
    std::uint32_t method = 0; // method index (v8+) or legacy flags
    std::optional<Sha1Digest> sha1;
    std::uint8_t flags = 0;
    std::uint32_t blockSize = 0;
    // An encoded record of one block that keeps block size 0 (newer engines
    // write it so; the in-data header keeps the real one): the block is the
    // whole entry.
    bool blockSizeUnset = false;
    // Version 15 with AES-CTR: the IV of the encrypted payload.
    CtrIv iv{};
    // Block positions relative to the entry's offset ({start, end}).
    std::vector<std::pair<std::uint64_t, std::uint64_t>> blocks;
    bool compressed() const { return method != 0; }
};

// Bytes of a record (and of the in-data header) of `version` with `blocks`.
std::uint64_t RecordSize(std::uint32_t version, bool v8a, bool compressed, std::uint64_t blocks) {
    std::uint64_t size = 8 + 8 + 8 + (v8a ? 1 : 4) + 20;
    if (version == 1) {
        size += 8;
    }
    if (version >= 3) {
        size += (compressed ? 4 + 16 * blocks : 0) + 1 + 4;
    }
    return size;
}

bool ParseRecord(Cursor& in, const Footer& footer, Record& r) {
    r.offset = in.NonNegative();
    r.storedSize = in.NonNegative();
    r.size = in.NonNegative();
    r.method = footer.v8a ? in.U8() : in.U32();
    if (footer.version == 1) {
        in.U64();
    }
    Sha1Digest sha{};
    if (const auto* p = in.Take(20)) {
        std::memcpy(sha.data(), p, 20);
    }
    r.sha1 = sha;
    r.blocks.clear();
    if (footer.version < 3) {
        r.flags = 0;
        r.blockSize = 0;
        return in.ok && r.method == 0;
    }
    if (r.compressed()) {
        const std::uint64_t count = in.Count(16);
        r.blocks.reserve(static_cast<std::size_t>(count));
        for (std::uint64_t i = 0; i < count && in.ok; ++i) {
            std::uint64_t start = in.NonNegative();
            std::uint64_t end = in.NonNegative();
            if (footer.version < 5) { // absolute before version 5
                if (start < r.offset || end < r.offset) {
                    return false;
                }
                start -= r.offset;
                end -= r.offset;
            }
            r.blocks.emplace_back(start, end);
        }
    }
    r.flags = in.U8();
    r.blockSize = in.U32();
    const std::uint8_t known = footer.version >= 6 ? kFlagEncrypted | kFlagDeleted : kFlagEncrypted;
    return in.ok && (r.flags & ~known) == 0;
}

// `ctr`: the pak encrypts with AES-CTR, and an encrypted record keeps its
// payload's IV after the size.
bool ParseEncoded(Cursor& in, Record& r, bool ctr) {
    const std::uint32_t bits = in.U32();
    const std::uint32_t sizeField = bits & 0x3F;
    r.blockSize = sizeField == kEncodedBlockSizeEscape
                      ? in.U32()
                      : static_cast<std::uint32_t>(sizeField * kEncodedBlockSizeUnit);
    const std::uint32_t blockCount = (bits >> 6) & 0xFFFF;
    r.flags = (bits >> 22) & 1 ? kFlagEncrypted : 0;
    r.method = (bits >> 23) & 0x3F;
    r.offset = (bits >> 31) & 1 ? in.U32() : in.U64();
    r.size = (bits >> 30) & 1 ? in.U32() : in.U64();
    if (ctr && (r.flags & kFlagEncrypted) != 0) {
        if (const auto* iv = in.Take(kIvSize)) {
            std::memcpy(r.iv.data(), iv, kIvSize);
        }
    }
    r.storedSize = r.size;
    if (r.compressed()) {
        r.storedSize = (bits >> 29) & 1 ? in.U32() : in.U64();
    }
    r.sha1.reset();
    r.blocks.clear();
    r.blockSizeUnset = false;
    if (!in.ok || r.offset > static_cast<std::uint64_t>(INT64_MAX) ||
        r.size > static_cast<std::uint64_t>(INT64_MAX) ||
        r.storedSize > static_cast<std::uint64_t>(INT64_MAX)) {
        return false;
    }
    if (!r.compressed()) {
        return blockCount == 0;
    }
    const bool encrypted = (r.flags & kFlagEncrypted) != 0;
    if (blockCount > in.Left() / 4 + 1) {
        return false;
    }
    r.blockSizeUnset = blockCount == 1 && r.blockSize == 0;
    if (r.blockSizeUnset) {
        r.blockSize = static_cast<std::uint32_t>(std::min<std::uint64_t>(r.size, UINT32_MAX));
    }
    std::uint64_t start = RecordSize(11, false, true, blockCount);
    for (std::uint32_t i = 0; i < blockCount; ++i) {
        const std::uint64_t length =
            blockCount > 1 || encrypted ? std::uint64_t{in.U32()} : r.storedSize;
        r.blocks.emplace_back(start, start + length);
        start += encrypted ? Align16(length) : length;
    }
    return in.ok;
}

enum class Misplacement : std::uint8_t { None, OutsideFile, OverEntry, OverIndex };

struct PakState {
    PakState(ByteSource& from, const ReadOptions& given, Footer read)
        : source(from), options(given), footer(std::move(read)) {}
    ByteSource& source;
    const ReadOptions& options;
    Footer footer;
    std::optional<AesKey> key;
    std::string mount; // leading "../" and "/" removed
    std::string mountStored;
    std::uint64_t dataEnd = 0; // file size minus the footer
    std::uint64_t tombstones = 0;
    std::vector<std::string> notes;
    std::vector<std::string> damage; // what a check found, for DirectoryWalk::damage
    // A check's view of where entries lie: the extents gathered while the
    // index is checked, then what is wrong with each entry's place.
    struct Extent {
        std::uint64_t start = 0;
        std::uint64_t end = 0;
        std::uint64_t ordinal = 0;
    };
    std::vector<Extent> extents;
    std::vector<Misplacement> misplaced;
    std::shared_ptr<SharedContent> group;
    std::size_t groupUsed = 0;
    EntryView view; // handed to the visitor for every entry in turn
};

std::optional<Codec> MethodCodec(const Footer& footer, std::uint32_t method,
                                 std::string_view& name) {
    if (footer.version < 8) {
        Codec codec = Codec::Stored;
        switch (method & ~kLegacyHints) {
        case kLegacyZlib:
            codec = Codec::Zlib;
            break;
        case kLegacyGzip:
            codec = Codec::Gzip;
            break;
        case kLegacyCustom:
            codec = Codec::Oodle;
            break;
        default:
            return std::nullopt;
        }
        name = CodecName(codec);
        return codec;
    }
    name = footer.methods[method - 1];
    const std::optional<Codec> codec = Unreal::MethodCodec(name);
    if (codec) {
        name = CodecName(*codec);
    }
    return codec; // none: a name the tool does not decode, and the entry fails by it
}

// Checks that what the index says of an entry holds together; false:
// malformed. Where the entry lies is a matter of that entry alone (Misplaced).
bool CheckRecord(const PakState& pak, const Record& r) {
    const bool encrypted = (r.flags & kFlagEncrypted) != 0;
    if (!r.compressed()) {
        return r.blocks.empty() && r.storedSize == r.size;
    }
    if (pak.footer.version >= 8 && r.method > pak.footer.methods.size()) {
        return false;
    }
    if (pak.footer.version < 8) {
        const std::uint32_t base = r.method & ~kLegacyHints;
        if (base != kLegacyZlib && base != kLegacyGzip && base != kLegacyCustom) {
            return false;
        }
    }
    const std::uint64_t header =
        RecordSize(pak.footer.version, pak.footer.v8a, true, r.blocks.size());
    if (r.blockSize == 0 || r.blocks.size() != (r.size + r.blockSize - 1) / r.blockSize) {
        return false;
    }
    std::uint64_t at = header;
    for (const auto& [start, end] : r.blocks) {
        if (start != at || end < start) {
            return false;
        }
        at = start + (encrypted ? Align16(end - start) : end - start);
    }
    return at - header == r.storedSize;
}

// The bytes an entry takes, from its in-data header to the end of its stored
// bytes (with the AES padding of an uncompressed encrypted one): offsets
// and sizes are below 2^63, so the sum cannot wrap.
std::pair<std::uint64_t, std::uint64_t> Extent(const PakState& pak, const Record& r) {
    const std::uint64_t header =
        RecordSize(pak.footer.version, pak.footer.v8a, r.compressed(), r.blocks.size());
    const bool padded = !r.compressed() && (r.flags & kFlagEncrypted) != 0;
    return {r.offset, r.offset + header + (padded ? Align16(r.size) : r.storedSize)};
}

// A check notes where each entry it will visit lies, by its place in the
// listing.
void NoteExtent(PakState& pak, const Record& r, std::uint64_t ordinal) {
    if (pak.options.checkEntryHeaders) {
        const auto [start, end] = Extent(pak, r);
        pak.extents.push_back({start, end, ordinal});
    }
}

// Marks each entry that lies outside the file or shares bytes with another
// entry, an index block or the footer (`regions`): damage of that entry
// alone, which a check names. One sweep over the extents sorted by start:
// an extent that starts before the furthest end seen so far overlaps the
// extent that reached it.
void FindMisplaced(PakState& pak, std::vector<PakState::Extent> regions) {
    constexpr std::uint64_t kRegion = UINT64_MAX;
    std::uint64_t entries = 0;
    for (const PakState::Extent& e : pak.extents) {
        entries = std::max(entries, e.ordinal + 1);
    }
    pak.misplaced.assign(static_cast<std::size_t>(entries), Misplacement::None);
    const std::uint64_t fileSize = pak.source.Size();
    for (PakState::Extent& region : regions) {
        region.ordinal = kRegion;
        if (region.start < region.end) {
            pak.extents.push_back(region);
        }
    }
    std::sort(
        pak.extents.begin(), pak.extents.end(),
        [](const PakState::Extent& a, const PakState::Extent& b) { return a.start < b.start; });
    const auto mark = [&pak](std::uint64_t ordinal, Misplacement why) {
        if (ordinal != kRegion && pak.misplaced[ordinal] == Misplacement::None) {
            pak.misplaced[ordinal] = why;
        }
    };
    std::uint64_t furthest = 0;
    std::uint64_t owner = kRegion;
    bool any = false;
    for (const PakState::Extent& e : pak.extents) {
        if (e.ordinal != kRegion && e.end > fileSize) {
            mark(e.ordinal, Misplacement::OutsideFile);
        }
        if (any && e.start < furthest) {
            mark(e.ordinal, owner == kRegion ? Misplacement::OverIndex : Misplacement::OverEntry);
            mark(owner, e.ordinal == kRegion ? Misplacement::OverIndex : Misplacement::OverEntry);
        }
        if (!any || e.end > furthest) {
            furthest = e.end;
            owner = e.ordinal;
            any = true;
        }
    }
    std::vector<PakState::Extent>().swap(pak.extents);
}

std::string_view MisplacedReason(const PakState& pak, std::uint64_t ordinal) {
    if (ordinal >= pak.misplaced.size()) {
        return {};
    }
    switch (pak.misplaced[static_cast<std::size_t>(ordinal)]) {
    case Misplacement::OutsideFile:
        return "its data lies outside the file";
    case Misplacement::OverEntry:
        return "its data overlaps another entry's";
    case Misplacement::OverIndex:
        return "its data overlaps the index or the footer";
    case Misplacement::None:
        break;
    }
    return {};
}

// The pieces of a compressed or encrypted entry, placed in the current group.
std::pair<std::shared_ptr<const SharedContent>, std::uint32_t> PlacePieces(PakState& pak,
                                                                           std::size_t count) {
    if (!pak.group || pak.groupUsed + count > pak.group->pieces.size()) {
        pak.group = std::make_shared<SharedContent>();
        // Sized once: slots are filled later, never moved, while earlier
        // entries of the group are already in use.
        pak.group->pieces.resize(std::max(count, kPiecesPerGroup));
        pak.group->aesKey = pak.key;
        pak.groupUsed = 0;
    }
    const auto first = static_cast<std::uint32_t>(pak.groupUsed);
    pak.groupUsed += count;
    return {pak.group, first};
}

// Reads the in-data header at the entry's offset and compares it with the
// record; takes its SHA-1 where the index keeps none.
bool CheckHeader(PakState& pak, Record& r) {
    const std::uint64_t length =
        RecordSize(pak.footer.version, pak.footer.v8a, r.compressed(), r.blocks.size());
    std::vector<unsigned char> bytes(static_cast<std::size_t>(length));
    if (pak.source.ReadAt(r.offset, bytes.data(), bytes.size()) != bytes.size()) {
        return false;
    }
    Cursor in(bytes);
    Record h;
    Footer f = pak.footer;
    if (f.version >= 10) {
        f.version = 8; // the same record layout as 8b
    }
    if (!ParseRecord(in, f, h)) {
        return false;
    }
    // Before version 5 block positions are absolute in the header too,
    // whose own offset field is 0: relative to the entry, as in the record.
    if (f.version < 5 && h.offset == 0) {
        for (auto& [start, end] : h.blocks) {
            if (start < r.offset || end < r.offset) {
                return false;
            }
            start -= r.offset;
            end -= r.offset;
        }
    }
    if (!r.sha1) {
        r.sha1 = h.sha1;
    }
    const std::uint8_t flagMask = kFlagEncrypted;
    return (h.offset == 0 || h.offset == r.offset) && h.storedSize == r.storedSize &&
           h.size == r.size && h.method == r.method && *h.sha1 == *r.sha1 &&
           (h.flags & flagMask) == (r.flags & flagMask) &&
           (h.blockSize == r.blockSize ||
            (r.blockSizeUnset && (h.blockSize == 0 || h.blockSize >= r.size))) &&
           h.blocks == r.blocks;
}

void Visit(PakState& pak, std::string_view name, Record& r, std::uint64_t ordinal,
           const EntryVisitor& visit) {
    // Only a check compares the two: a listing does not read every entry's
    // header.
    const std::string_view misplaced = MisplacedReason(pak, ordinal);
    const bool headerDiffers =
        pak.options.checkEntryHeaders && misplaced.empty() && !CheckHeader(pak, r);
    const bool encrypted = (r.flags & kFlagEncrypted) != 0;
    const std::uint64_t header =
        RecordSize(pak.footer.version, pak.footer.v8a, r.compressed(), r.blocks.size());
    // One view serves every entry, its fields set anew for each: building
    // and destroying a whole EntryContent per entry costs more than the
    // rest of a listing.
    EntryView& view = pak.view;
    EntryContent& content = view.content;
    content.runCount = 0;
    content.encoding = ContentEncoding::Stored;
    content.crc32.reset();
    content.storedSha1.reset();
    content.shared.reset();
    content.firstPiece = content.pieceCount = 0;
    content.skip = 0;
    view.compression = "None";
    view.damage = !misplaced.empty() ? misplaced
                  : headerDiffers    ? "its in-data header differs from the index"
                                     : "";
    view.name = name;
    view.offset = r.offset + header;
    view.size = r.size;
    view.compressedSize = r.storedSize;
    view.encrypted = encrypted;
    if (!r.compressed() && !encrypted) {
        content.Append({kPackageFile, view.offset, r.size});
    } else {
        std::string_view method = "None";
        std::optional<Codec> codec = Codec::Stored;
        if (r.compressed()) {
            codec = MethodCodec(pak.footer, r.method, method);
        }
        view.compression = method;
        view.content.encoding = ContentEncoding::Pieces;
        // A method without a codec leaves the entry without pieces: reading
        // it fails with the method's name (EntryReader).
        if (codec) {
            const std::size_t count = r.compressed() ? r.blocks.size() : 1;
            auto [shared, first] = PlacePieces(pak, count);
            auto* pieces = const_cast<Piece*>(shared->pieces.data()) + first;
            const bool ctr = pak.footer.encryptionMethod == kEncryptionCtr;
            if (!r.compressed()) {
                pieces[0] = {view.offset,  Align16(r.size), r.size, r.size,
                             kPackageFile, Codec::Stored,   true};
                pieces[0].ctr = ctr;
                pieces[0].ctrIv = r.iv;
                pieces[0].ctrBlock = 0;
            } else {
                for (std::size_t i = 0; i < count; ++i) {
                    const auto [start, end] = r.blocks[i];
                    const std::uint64_t share =
                        std::min<std::uint64_t>(r.blockSize, r.size - i * r.blockSize);
                    pieces[i] = {r.offset + start, encrypted ? Align16(end - start) : end - start,
                                 end - start,      share,
                                 kPackageFile,     *codec,
                                 encrypted};
                    // One CTR stream runs over the whole payload, padding
                    // and all, from the data's start.
                    pieces[i].ctr = ctr && encrypted;
                    pieces[i].ctrIv = r.iv;
                    pieces[i].ctrBlock = (start - std::min(start, header)) / kAesBlock;
                }
            }
            view.content.shared = std::move(shared);
            view.content.firstPiece = first;
            view.content.pieceCount = static_cast<std::uint32_t>(count);
        }
    }
    // The SHA-1 covers the stored bytes, padding included, except for an
    // uncompressed encrypted entry, where it covers only the first `size`
    // ciphertext bytes (as the piece reader hashes a piece without a codec).
    // Versions 10+ keep it only in the in-data header, which the reader
    // looks at with the content.
    view.content.storedSha1 = r.sha1;
    view.content.storedSha1At.reset();
    if (!r.sha1) {
        view.content.storedSha1At = r.offset + kHeaderSha1At;
    }
    visit(view);
}

// Reads an index block and decrypts it with the pak's key when the footer
// says so. Where its SHA-1 `decides` (the key of an encrypted index, a pak
// of version 1-7 against our container) a mismatch is nullopt; elsewhere it
// is damage that a check reports under the block's name, `what`, and the
// block is read all the same. Nullopt too when the block is not in the
// file. A plain block of a mapped file is looked at where it lies; others
// are copied.
// The index blocks, in the order of their CTR IVs in a version 15 footer.
enum class IndexSlot : std::uint8_t { Primary, PathHash, Directory };

struct IndexBlock {
    std::vector<unsigned char> copy;
    std::span<const unsigned char> bytes;
    operator std::span<const unsigned char>() const { return bytes; }
};

std::optional<IndexBlock> ReadBlock(PakState& pak, std::uint64_t offset, std::uint64_t size,
                                    const Sha1Digest& hash, std::string_view what, bool decides,
                                    IndexSlot slot) {
    if (!FitsWithin(offset, size, pak.dataEnd) ||
        (pak.footer.encryptedIndex && size % kAesBlock != 0)) {
        return std::nullopt;
    }
    IndexBlock block;
    const unsigned char* mapped = pak.footer.encryptedIndex ? nullptr : pak.source.Bytes();
    if (mapped != nullptr && pak.source.Ready(offset, size)) {
        block.bytes = {mapped + offset, static_cast<std::size_t>(size)};
    } else {
        block.copy.resize(static_cast<std::size_t>(size));
        if (size > 0 &&
            pak.source.ReadAt(offset, block.copy.data(), block.copy.size()) != block.copy.size()) {
            return std::nullopt;
        }
        if (pak.footer.encryptedIndex && pak.key) {
            if (pak.footer.encryptionMethod == kEncryptionCtr) {
                CryptAes256Ctr(*pak.key, pak.footer.ivs[static_cast<std::size_t>(slot)], 0,
                               block.copy);
            } else {
                DecryptAes256Ecb(*pak.key, block.copy);
            }
        }
        block.bytes = block.copy;
    }
    const std::span<const unsigned char> bytes = block.bytes;
    // Otherwise the hash only detects damage, which a check looks for and a
    // listing of a million entries need not pay for.
    if ((decides || pak.options.checkEntryHeaders) && Sha1(bytes) != hash) {
        if (decides) {
            return std::nullopt;
        }
        pak.damage.push_back(std::string(what) + " does not match its SHA-1");
    }
    return block;
}

void StripMount(PakState& pak) {
    std::string_view m = pak.mountStored;
    while (m.starts_with("../")) {
        m.remove_prefix(3);
    }
    if (m.starts_with("/")) {
        m.remove_prefix(1);
    }
    pak.mount.assign(m);
    if (!pak.mount.empty() && pak.mount.back() != '/') {
        pak.mount.push_back('/');
    }
}

// Versions 1-9: the index names each entry. With `visit` null only checks,
// and counts in `visited` the entries a visit would hand over.
bool WalkLegacy(PakState& pak, std::span<const unsigned char> index, const EntryVisitor* visit,
                std::uint64_t limit, std::uint64_t& visited) {
    Cursor in(index);
    in.String(pak.mountStored);
    StripMount(pak);
    const std::uint64_t count =
        in.Count(4 + RecordSize(pak.footer.version, pak.footer.v8a, false, 0));
    std::string name;
    std::string full;
    Record r;
    pak.tombstones = 0;
    for (std::uint64_t i = 0; i < count && in.ok; ++i) {
        in.String(name);
        if (!in.ok || !ParseRecord(in, pak.footer, r)) {
            return false;
        }
        if (r.flags & kFlagDeleted) {
            ++pak.tombstones;
            continue;
        }
        if (name.empty() || !CheckRecord(pak, r)) {
            return false;
        }
        if (visit == nullptr) {
            NoteExtent(pak, r, visited);
            ++visited; // the check counts what a visit would hand over
        } else if (visited < limit) {
            full.assign(pak.mount).append(name);
            Visit(pak, full, r, visited, *visit);
            ++visited;
        }
    }
    // Nothing follows the last record but the padding of an encrypted index.
    return in.ok && in.Left() < (pak.footer.encryptedIndex ? kAesBlock : 1);
}

// The lower case of the capital letters of the Latin, Greek, Cyrillic and
// Armenian alphabets (and of full-width Latin), as the C library's towlower
// and Unicode's simple mapping give them; every other character is its own.
char32_t UnicodeLower(char32_t c) {
    const auto in = [c](char32_t first, char32_t last) { return c >= first && c <= last; };
    const auto pairEven = [c](char32_t first, char32_t last) {
        return c >= first && c <= last && (c - first) % 2 == 0;
    };
    if (in('A', 'Z') || (in(0xC0, 0xDE) && c != 0xD7) || (in(0x391, 0x3AB) && c != 0x3A2) ||
        in(0x410, 0x42F) || in(0xFF21, 0xFF3A)) {
        return c + 0x20;
    }
    if (c == 0x130) {
        return 'i';
    }
    if (c == 0x178) {
        return 0xFF;
    }
    if (pairEven(0x100, 0x12F) || pairEven(0x132, 0x137) || pairEven(0x139, 0x148) ||
        pairEven(0x14A, 0x177) || pairEven(0x179, 0x17E) || pairEven(0x3D8, 0x3EF) ||
        pairEven(0x460, 0x481) || pairEven(0x48A, 0x4BF) || pairEven(0x4C1, 0x4CE) ||
        pairEven(0x4D0, 0x52F) || pairEven(0x1E00, 0x1E95) || pairEven(0x1EA0, 0x1EFF)) {
        return c + 1;
    }
    if (in(0x400, 0x40F)) {
        return c + 0x50;
    }
    if (in(0x531, 0x556)) {
        return c + 0x30;
    }
    if (c == 0x386) {
        return 0x3AC;
    }
    if (in(0x388, 0x38A)) {
        return c + 0x25;
    }
    if (c == 0x38C) {
        return 0x3CC;
    }
    if (in(0x38E, 0x38F)) {
        return c + 0x3F;
    }
    return c;
}

struct Primary {
    std::uint64_t count = 0;
    std::uint64_t seed = 0;
    bool hasHashIndex = false;
    std::uint64_t hashOffset = 0, hashSize = 0;
    Sha1Digest hashHash{};
    bool hasDirectory = false;
    std::uint64_t dirOffset = 0, dirSize = 0;
    Sha1Digest dirHash{};
    std::span<const unsigned char> blob;
    std::vector<Record> nonEncoded;
};

bool ParsePrimary(PakState& pak, std::span<const unsigned char> index, Primary& p) {
    Cursor in(index);
    in.String(pak.mountStored);
    StripMount(pak);
    const std::int32_t count = in.I32();
    p.count = count < 0 ? 0 : static_cast<std::uint64_t>(count);
    p.seed = in.U64();
    auto place = [&in](bool& has, std::uint64_t& off, std::uint64_t& size, Sha1Digest& hash) {
        const std::uint32_t flag = in.U32();
        has = flag == 1;
        if (flag > 1) {
            in.ok = false;
        }
        if (has) {
            off = in.NonNegative();
            size = in.NonNegative();
            if (const auto* h = in.Take(20)) {
                std::memcpy(hash.data(), h, 20);
            }
        }
    };
    place(p.hasHashIndex, p.hashOffset, p.hashSize, p.hashHash);
    place(p.hasDirectory, p.dirOffset, p.dirSize, p.dirHash);
    const std::uint64_t blobSize = in.Count(1);
    const auto* blob = in.Take(blobSize);
    p.blob = blob ? std::span<const unsigned char>(blob, static_cast<std::size_t>(blobSize))
                  : std::span<const unsigned char>{};
    const std::uint64_t nonEncoded = in.Count(RecordSize(11, false, false, 0));
    Footer f = pak.footer;
    f.version = 8;
    p.nonEncoded.resize(static_cast<std::size_t>(nonEncoded));
    for (Record& r : p.nonEncoded) {
        if (!ParseRecord(in, f, r)) {
            return false;
        }
    }
    // With AES-CTR the records' IVs follow them, one each.
    if (pak.footer.encryptionMethod == kEncryptionCtr) {
        for (Record& r : p.nonEncoded) {
            if (const auto* iv = in.Take(kIvSize)) {
                std::memcpy(r.iv.data(), iv, kIvSize);
            }
        }
    }
    return in.ok && count >= 0 && in.Left() < (pak.footer.encryptedIndex ? kAesBlock : 1);
}

bool Locate(const PakState& pak, const Primary& p, std::int32_t location, Record& r) {
    if (location >= 0) {
        if (static_cast<std::uint64_t>(location) >= p.blob.size()) {
            return false;
        }
        Cursor in(p.blob.subspan(static_cast<std::size_t>(location)));
        return ParseEncoded(in, r, pak.footer.encryptionMethod == kEncryptionCtr);
    }
    if (location == INT32_MIN) {
        return false;
    }
    const auto at = static_cast<std::uint64_t>(-(static_cast<std::int64_t>(location) + 1));
    if (at >= p.nonEncoded.size()) {
        return false;
    }
    r = p.nonEncoded[static_cast<std::size_t>(at)];
    return true;
}

// A path's hashes under both lower-casings (the same for an ASCII path),
// and its location.
struct NameHash {
    std::uint64_t ascii = 0;
    std::uint64_t unicode = 0;
    std::int32_t location = 0;
};

// Hands each directory of a full directory index to `onDirectory(name)`
// and each of its files to `onFile(name, location)`, in stored order; false
// when the index is malformed or a handler says so. The classic form: a
// list of directories, each with its files (names in UTF-8 without a NUL
// from version 12 on).
template <typename OnDirectory, typename OnFile>
bool ForEachClassicName(const PakState& pak, std::span<const unsigned char> dir,
                        OnDirectory&& onDirectory, OnFile&& onFile) {
    Cursor in(dir);
    const std::uint64_t dirs = in.Count(8);
    const bool utf8 = pak.footer.version >= kUtf8NamesVersion;
    std::string dirName;
    std::string converted; // a name that is not ASCII, as UTF-8
    for (std::uint64_t d = 0; d < dirs && in.ok; ++d) {
        in.String(dirName);
        const std::uint64_t files = in.Count(8);
        if (!in.ok || !onDirectory(std::string_view(dirName))) {
            return false;
        }
        for (std::uint64_t i = 0; i < files && in.ok; ++i) {
            bool slash = false;
            const std::string_view file =
                utf8 ? in.Utf8View(slash) : in.StringView(converted, slash);
            const std::int32_t location = in.I32();
            if (!in.ok || slash || !onFile(file, location)) {
                return false;
            }
        }
    }
    return in.ok && in.Left() < (pak.footer.encryptedIndex ? kAesBlock : 1);
}

// The flat form of version 13 on: counts, a sorted copy of the path hashes,
// then tables of i32 (restart anchors into the directory names, each
// directory's first file, each file name's start, each file's location),
// then the directory names (each an i32 count of bytes shared with the
// previous name, an i32 length and that many bytes; none shared at an
// anchor) and the file names, back to back, all in UTF-8.
// `hashTable`, when given, receives the sorted copy of the path hashes.
template <typename OnDirectory, typename OnFile>
bool ForEachFlatName(
    const PakState& pak, std::span<const unsigned char> dir, OnDirectory&& onDirectory,
    OnFile&& onFile,
    std::optional<std::vector<std::pair<std::uint64_t, std::int32_t>>>* hashTable) {
    Cursor in(dir);
    in.U32(); // the magic
    const std::int32_t dirCount = in.I32();
    const std::int32_t fileCount = in.I32();
    const std::int32_t restart = in.I32();
    const std::int32_t dirBytes = in.I32();
    const std::int32_t fileBytes = in.I32();
    const std::int32_t hashCount = in.I32();
    in.U32(); // reserved
    if (!in.ok || dirCount < 0 || fileCount < 0 || restart <= 0 || dirBytes < 0 || fileBytes < 0 ||
        hashCount < 0) {
        return false;
    }
    const auto nd = static_cast<std::uint64_t>(dirCount);
    const auto nf = static_cast<std::uint64_t>(fileCount);
    const std::uint64_t anchors =
        (nd + static_cast<std::uint64_t>(restart) - 1) / static_cast<std::uint64_t>(restart);
    // Every count is below 2^31: the sum cannot wrap in 64 bits, and the
    // tables must all be there before any of them is read.
    const std::uint64_t need = 12 * static_cast<std::uint64_t>(hashCount) + 4 * (anchors + 1) +
                               4 * (nd + 1) + 4 * (nf + 1) + 4 * nf +
                               static_cast<std::uint64_t>(dirBytes) +
                               static_cast<std::uint64_t>(fileBytes);
    const std::uint64_t left = in.Left();
    if (need > left || left - need >= (pak.footer.encryptedIndex ? kAesBlock : 1)) {
        return false;
    }
    const unsigned char* anchorAt =
        dir.data() + in.At() + 12 * static_cast<std::uint64_t>(hashCount);
    const unsigned char* firstAt = anchorAt + 4 * (anchors + 1);
    const unsigned char* startAt = firstAt + 4 * (nd + 1);
    const unsigned char* locationAt = startAt + 4 * (nf + 1);
    const unsigned char* dirBlob = locationAt + 4 * nf;
    const char* fileBlob = reinterpret_cast<const char*>(dirBlob) + dirBytes;
    const auto at = [](const unsigned char* table, std::uint64_t i) {
        return static_cast<std::int32_t>(LoadU32LE(table + 4 * i));
    };
    if (hashTable != nullptr) {
        const unsigned char* hashAt = dir.data() + in.At();
        const std::uint64_t count = static_cast<std::uint64_t>(hashCount);
        auto& pairs = hashTable->emplace();
        pairs.reserve(static_cast<std::size_t>(count));
        for (std::uint64_t i = 0; i < count; ++i) {
            pairs.emplace_back(LoadU64LE(hashAt + 8 * i),
                               static_cast<std::int32_t>(LoadU32LE(hashAt + 8 * count + 4 * i)));
        }
    }
    if (at(firstAt, 0) != 0 || at(firstAt, nd) != fileCount || at(startAt, 0) != 0 ||
        at(startAt, nf) != fileBytes || at(anchorAt, anchors) != dirBytes) {
        return false;
    }
    const auto wellFormed = [](std::string_view text) {
        return text.find('\0') == std::string_view::npos && IsValidUtf8(text);
    };
    std::string name;
    std::uint64_t pos = 0;
    for (std::uint64_t d = 0; d < nd; ++d) {
        const bool anchor = d % static_cast<std::uint64_t>(restart) == 0;
        if ((anchor && at(anchorAt, d / static_cast<std::uint64_t>(restart)) !=
                           static_cast<std::int64_t>(pos)) ||
            !FitsWithin(pos, 8, static_cast<std::uint64_t>(dirBytes))) {
            return false;
        }
        const std::int32_t shared = at(dirBlob + pos, 0);
        const std::int32_t suffix = at(dirBlob + pos, 1);
        pos += 8;
        if (shared < 0 || suffix < 0 || static_cast<std::uint64_t>(shared) > name.size() ||
            (anchor && shared != 0) ||
            !FitsWithin(pos, static_cast<std::uint64_t>(suffix),
                        static_cast<std::uint64_t>(dirBytes))) {
            return false;
        }
        name.resize(static_cast<std::size_t>(shared));
        name.append(reinterpret_cast<const char*>(dirBlob + pos), static_cast<std::size_t>(suffix));
        pos += static_cast<std::uint64_t>(suffix);
        if (!wellFormed(name) || !onDirectory(std::string_view(name))) {
            return false;
        }
        const std::int32_t first = at(firstAt, d);
        const std::int32_t last = at(firstAt, d + 1);
        if (first < 0 || last < first || last > fileCount) {
            return false;
        }
        for (auto f = static_cast<std::uint64_t>(first); f < static_cast<std::uint64_t>(last);
             ++f) {
            const std::int32_t start = at(startAt, f);
            const std::int32_t end = at(startAt, f + 1);
            if (start < 0 || end < start || end > fileBytes) {
                return false;
            }
            const std::string_view file(fileBlob + start, static_cast<std::size_t>(end - start));
            if (!wellFormed(file) || file.find('/') != std::string_view::npos ||
                !onFile(file, at(locationAt, f))) {
                return false;
            }
        }
    }
    return pos == static_cast<std::uint64_t>(dirBytes);
}

// Versions 10+: names from the full directory index. With `visit` null
// only checks, counts in `visited` the entries a visit would hand over, and
// gathers the path hashes for the check of the path hash index.
bool WalkDirectoryIndex(
    PakState& pak, const Primary& p, std::span<const unsigned char> dir, const EntryVisitor* visit,
    std::uint64_t limit, std::uint64_t& visited, std::vector<NameHash>* hashes,
    std::optional<std::vector<std::pair<std::uint64_t, std::int32_t>>>* flatTable = nullptr) {
    // The mount point, the directory and then each file's name: the entry's
    // full name, of which the path from the mount point is hashed.
    std::string full;
    std::size_t prefix = 0;
    Record r;
    std::uint64_t names = 0;
    const auto onDirectory = [&](std::string_view dirName) {
        if (dirName.empty() || dirName.back() != '/') {
            return false;
        }
        full.assign(pak.mount);
        if (dirName != "/") {
            full.append(dirName.substr(dirName.starts_with('/') ? 1 : 0));
        }
        prefix = full.size();
        return true;
    };
    const auto onFile = [&](std::string_view file, std::int32_t location) {
        if (file.empty() || !Locate(pak, p, location, r)) {
            return false;
        }
        ++names;
        if (visit != nullptr || hashes != nullptr) {
            full.resize(prefix);
            full.append(file);
        }
        const std::string_view relative = std::string_view(full).substr(pak.mount.size());
        if (hashes != nullptr) {
            const std::uint64_t ascii = PathHash(relative, p.seed, false);
            const bool plain =
                std::all_of(relative.begin(), relative.end(), [](char c) { return c >= 0; });
            hashes->push_back({ascii, plain ? ascii : PathHash(relative, p.seed, true), location});
        }
        if (r.flags & kFlagDeleted) {
            ++pak.tombstones;
            return true;
        }
        if (!CheckRecord(pak, r)) {
            return false;
        }
        if (visit == nullptr) {
            NoteExtent(pak, r, visited);
            ++visited; // the check counts what a visit would hand over
        } else if (visited < limit) {
            Visit(pak, full, r, visited, *visit);
            ++visited;
        }
        return true;
    };
    const bool flat =
        pak.footer.version >= 13 && dir.size() >= 4 && LoadU32LE(dir.data()) == kFlatDirectoryMagic;
    const bool ok = flat ? ForEachFlatName(pak, dir, onDirectory, onFile, flatTable)
                         : ForEachClassicName(pak, dir, onDirectory, onFile);
    return ok && names == p.count;
}

// Whether stored (hash, location) pairs are those of the names, lower-cased
// either way.
bool HashesAgree(std::vector<std::pair<std::uint64_t, std::int32_t>>& stored,
                 const std::vector<NameHash>& names) {
    std::sort(stored.begin(), stored.end());
    std::vector<std::pair<std::uint64_t, std::int32_t>> computed;
    computed.reserve(names.size());
    for (const bool unicode : {true, false}) {
        computed.clear();
        for (const NameHash& n : names) {
            computed.emplace_back(unicode ? n.unicode : n.ascii, n.location);
        }
        std::sort(computed.begin(), computed.end());
        if (computed == stored) {
            return true;
        }
    }
    return false;
}

// What a check finds in the path hash index against the names of the full
// directory index (which alone name the entries): empty when they agree.
std::string CheckPathHashes(PakState& pak, const Primary& p, const std::vector<NameHash>& names) {
    const auto bytes = ReadBlock(pak, p.hashOffset, p.hashSize, p.hashHash, "the path hash index",
                                 false, IndexSlot::PathHash);
    if (!bytes) {
        return "the path hash index lies outside the file";
    }
    Cursor in(*bytes);
    const std::uint64_t count = in.Count(12);
    std::vector<std::pair<std::uint64_t, std::int32_t>> stored;
    stored.reserve(static_cast<std::size_t>(count));
    for (std::uint64_t i = 0; i < count && in.ok; ++i) {
        const std::uint64_t hash = in.U64();
        stored.emplace_back(hash, in.I32());
    }
    if (!in.ok) {
        return "the path hash index is malformed";
    }
    if (pak.footer.version < 11) {
        return {}; // the earlier hash differs by platform: not compared
    }
    return HashesAgree(stored, names) ? "" : "the path hash index does not match the names";
}

std::optional<Footer> ReadFooter(ByteSource& source, std::uint64_t magicFromEnd,
                                 std::uint32_t& versionFound) {
    const std::uint64_t fileSize = source.Size();
    std::array<unsigned char, 8> head{};
    if (fileSize < magicFromEnd ||
        source.ReadAt(fileSize - magicFromEnd, head.data(), head.size()) != head.size() ||
        LoadU32LE(head.data()) != kMagic) {
        return std::nullopt;
    }
    Footer f;
    f.version = versionFound = LoadU32LE(head.data() + 4);
    std::uint64_t before = 0; // footer bytes before the magic
    std::uint64_t slots = 0;
    switch (magicFromEnd) {
    case kLegacyMagicFromEnd:
        if (f.version < 1 || f.version > 7) {
            return std::nullopt;
        }
        before = f.version >= 7 ? 17 : f.version >= 4 ? 1 : 0;
        break;
    case 172:
        if (f.version != 8) {
            return std::nullopt;
        }
        f.v8a = true;
        before = 17;
        slots = 4;
        break;
    case 204:
        if (f.version != 8 && (f.version < 10 || f.version > 13) && f.version <= kNewestVersion) {
            return std::nullopt;
        }
        before = 17;
        slots = 5;
        break;
    case 205:
        if (f.version != 9 && f.version <= kNewestVersion) {
            return std::nullopt;
        }
        before = 17;
        slots = 5;
        break;
    case kChunkFooterMagicFromEnd:
        if (f.version != 14) {
            return std::nullopt;
        }
        before = 17;
        slots = 5;
        break;
    case kMethodFooterMagicFromEnd:
        if (f.version < 15) {
            return std::nullopt;
        }
        before = 17;
        slots = 5;
        break;
    default:
        return std::nullopt;
    }
    if (f.version > kNewestVersion) {
        return f;
    }
    f.size = magicFromEnd + before;
    if (fileSize < f.size) {
        return std::nullopt;
    }
    std::vector<unsigned char> bytes(static_cast<std::size_t>(f.size));
    if (source.ReadAt(fileSize - f.size, bytes.data(), bytes.size()) != bytes.size()) {
        return std::nullopt;
    }
    const unsigned char* p = bytes.data() + before;
    if (before > 0) {
        if (p[-1] > 1) {
            return std::nullopt;
        }
        f.encryptedIndex = p[-1] == 1;
    }
    f.indexOffset = LoadU64LE(p + 8);
    f.indexSize = LoadU64LE(p + 16);
    std::memcpy(f.indexHash.data(), p + 24, 20);
    std::uint64_t at = before + 44;
    if (f.version == 9) {
        if (p[44] > 1) {
            return std::nullopt;
        }
        if (p[44] == 1) {
            f.methods.push_back("frozen"); // marks the refusal; the reader stops at it
            return f;
        }
        ++at;
    }
    for (std::uint64_t s = 0; s < slots; ++s) {
        const auto* slot = reinterpret_cast<const char*>(bytes.data() + at + s * kNameSlotSize);
        f.methods.emplace_back(slot, strnlen(slot, kNameSlotSize));
        for (const char c : f.methods.back()) {
            if (c < 0x20 || c > 0x7E) {
                return std::nullopt;
            }
        }
    }
    at += slots * kNameSlotSize;
    if (f.version >= 14) {
        at += 4; // the pakchunk number: nothing a reader needs
    }
    if (f.version >= 15) {
        f.encryptionMethod = bytes[static_cast<std::size_t>(at)];
        for (std::size_t i = 0; i < f.ivs.size(); ++i) {
            std::memcpy(f.ivs[i].data(), bytes.data() + at + 1 + i * kIvSize, kIvSize);
        }
    }
    return f;
}

DirectoryWalk Refuse(std::string reason) {
    DirectoryWalk walk;
    walk.kind = PackageKind::Unreal;
    walk.refusal = std::move(reason);
    return walk;
}

} // namespace

DirectoryWalk VisitPak(ByteSource& source, const EntryVisitor& visit, std::uint64_t limit,
                       const ReadOptions& options, const CountAnnouncer* announce) {
    std::uint32_t version = 0;
    std::optional<Footer> footer = ReadFooter(source, kLegacyMagicFromEnd, version);
    const bool legacy = footer.has_value();
    if (!legacy) {
        // Newest layouts first, as the engine itself tries them.
        for (const std::uint64_t at :
             {kMethodFooterMagicFromEnd, kChunkFooterMagicFromEnd, std::uint64_t{204},
              std::uint64_t{205}, std::uint64_t{172}}) {
            footer = ReadFooter(source, at, version);
            if (footer) {
                break;
            }
        }
    }
    if (!footer) {
        return {};
    }
    if (footer->version > kNewestVersion) {
        return Refuse("pak version " + std::to_string(footer->version) + " is not read");
    }
    if (footer->version == 9 && footer->methods.size() == 1 && footer->methods[0] == "frozen") {
        return Refuse("frozen index: not read");
    }
    if (footer->encryptionMethod > kEncryptionCtr) {
        return Refuse("encryption method " + std::to_string(footer->encryptionMethod) +
                      " is not read");
    }
    PakState pak(source, options, std::move(*footer));
    pak.dataEnd = source.Size() - pak.footer.size;
    const Footer& f = pak.footer;
    // Not a pak at all when its index is not where the footer says: for
    // 1-7 the container reading applies.
    const auto malformed = [&](std::string what) {
        return legacy ? DirectoryWalk{} : Refuse(std::move(what));
    };
    if (f.indexOffset > static_cast<std::uint64_t>(INT64_MAX) ||
        !FitsWithin(f.indexOffset, f.indexSize, pak.dataEnd)) {
        return malformed("the index lies outside the file");
    }
    std::optional<IndexBlock> index;
    if (f.encryptedIndex) {
        for (const AesKey& key : options.aesKeys) {
            pak.key = key;
            if ((index = ReadBlock(pak, f.indexOffset, f.indexSize, f.indexHash, "the index", true,
                                   IndexSlot::Primary))) {
                break;
            }
        }
        if (!index) {
            if (legacy) {
                DirectoryWalk walk;
                walk.notes.emplace_back(kEncryptedLegacyIndexNote);
                return walk; // not found: the container reading, with the note
            }
            return Refuse(options.aesKeys.empty()
                              ? "the index is encrypted: give its key with --aes-key"
                              : "no key given decrypts the index");
        }
    } else {
        if (!options.aesKeys.empty()) {
            pak.key = options.aesKeys.front(); // for encrypted entries: nothing says which
        }
        // From version 8 on the footer alone says it is a pak: a mismatch is
        // damage a check reports.
        index = ReadBlock(pak, f.indexOffset, f.indexSize, f.indexHash, "the index", legacy,
                          IndexSlot::Primary);
        if (!index) {
            return malformed("the index does not match its SHA-1");
        }
    }

    std::uint64_t visited = 0;
    DirectoryWalk walk;
    walk.kind = PackageKind::Unreal;
    const auto checked = [&] {
        if (announce != nullptr) {
            (*announce)(std::min(visited, limit));
        }
        visited = 0;
        return limit > 0;
    };
    if (f.version < 10) {
        // The index hash has proved a pak of version 1-7 by now: a malformed
        // index is refused, never read as another kind.
        if (!WalkLegacy(pak, *index, nullptr, 0, visited)) {
            return Refuse("the index is malformed");
        }
        if (options.checkEntryHeaders) {
            FindMisplaced(pak, {{f.indexOffset, f.indexOffset + f.indexSize, 0},
                                {pak.dataEnd, source.Size(), 0}});
        }
        if (checked()) {
            WalkLegacy(pak, *index, &visit, limit, visited);
        }
    } else {
        Primary primary;
        if (!ParsePrimary(pak, *index, primary)) {
            return Refuse("the index is malformed");
        }
        if (!primary.hasDirectory) {
            return Refuse("the pak keeps no directory of names: not read");
        }
        const auto dir = ReadBlock(pak, primary.dirOffset, primary.dirSize, primary.dirHash,
                                   "the directory index", false, IndexSlot::Directory);
        if (!dir) {
            return Refuse("the directory index does not match its SHA-1");
        }
        // The names come from the full directory index; the path hash index
        // only repeats them, so a check compares the two and a listing does
        // not look at it.
        // The flat directory index of version 13 on keeps a copy of the path
        // hashes too, compared the same way.
        const bool pathHashes = options.checkEntryHeaders;
        std::vector<NameHash> hashes;
        std::optional<std::vector<std::pair<std::uint64_t, std::int32_t>>> flatTable;
        if (!WalkDirectoryIndex(pak, primary, *dir, nullptr, 0, visited,
                                pathHashes ? &hashes : nullptr,
                                pathHashes ? &flatTable : nullptr)) {
            return Refuse("the directory index is malformed");
        }
        if (pathHashes && primary.hasHashIndex) {
            if (std::string finding = CheckPathHashes(pak, primary, hashes); !finding.empty()) {
                pak.damage.push_back(std::move(finding));
            }
        }
        if (flatTable && !HashesAgree(*flatTable, hashes)) {
            pak.damage.emplace_back("the directory index's path hashes do not match the names");
        }
        std::vector<NameHash>().swap(hashes);
        if (options.checkEntryHeaders) {
            std::vector<PakState::Extent> regions = {
                {f.indexOffset, f.indexOffset + f.indexSize, 0}, {pak.dataEnd, source.Size(), 0}};
            if (primary.hasHashIndex) {
                regions.push_back({primary.hashOffset, primary.hashOffset + primary.hashSize, 0});
            }
            regions.push_back({primary.dirOffset, primary.dirOffset + primary.dirSize, 0});
            FindMisplaced(pak, std::move(regions));
        }
        if (checked()) {
            pak.tombstones = 0;
            WalkDirectoryIndex(pak, primary, *dir, &visit, limit, visited, nullptr);
        }
    }
    walk.visited = visited;
    walk.notes = std::move(pak.notes);
    walk.damage = std::move(pak.damage);
    if (pak.tombstones > 0) {
        walk.notes.push_back(std::to_string(pak.tombstones) +
                             " deleted records (patch tombstones) not listed");
    }
    walk.properties.emplace_back("mount_point", pak.mountStored);
    return walk;
}

// Which
// lower case the writer took is not said: the engine's own lower-cases the
// letters of ASCII only on some platforms and every letter on others, and
// independent writers do either. `unicode` picks every letter.
std::uint64_t PathHash(std::string_view path, std::uint64_t seed, bool unicode) {
    std::uint64_t h = kFnvOffsetBasis + seed;
    std::size_t at = 0;
    while (at < path.size()) {
        char32_t c = DecodeUtf8(path, at).value_or(0xFFFD);
        if (c >= 'A' && c <= 'Z') {
            c += 'a' - 'A';
        } else if (unicode && c >= 0x80) {
            c = UnicodeLower(c);
        }
        auto unit = [&h](std::uint32_t u) {
            h = (h ^ (u & 0xFF)) * kFnvPrime;
            h = (h ^ (u >> 8)) * kFnvPrime;
        };
        if (c >= 0x10000) {
            unit(0xD800 + ((c - 0x10000) >> 10));
            unit(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            unit(static_cast<std::uint32_t>(c));
        }
    }
    return h;
}

std::optional<Codec> MethodCodec(std::string_view name) {
    static constexpr std::pair<std::string_view, Codec> kKnown[] = {{"zlib", Codec::Zlib},
                                                                    {"gzip", Codec::Gzip},
                                                                    {"lz4", Codec::Lz4},
                                                                    {"zstd", Codec::Zstd},
                                                                    {"oodle", Codec::Oodle}};
    for (const auto& [known, codec] : kKnown) {
        if (name.size() == known.size() &&
            std::equal(name.begin(), name.end(), known.begin(), [](char a, char b) {
                return (a >= 'A' && a <= 'Z' ? a - 'A' + 'a' : a) == b;
            })) {
            return codec;
        }
    }
    return std::nullopt;
}

} // namespace Kestrune::Unreal
