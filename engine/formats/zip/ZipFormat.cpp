#include "ZipFormat.h"

#include "Bounds.h"
#include "ByteOrder.h"
#include "Platform.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Kestrune::Zip {
namespace {

constexpr std::uint16_t kFlagEncrypted = 0x0001;
constexpr std::uint16_t kFlagDescriptor = 0x0008;
constexpr std::uint16_t kFlagStrongEncryption = 0x0040;
constexpr std::uint16_t kFlagUtf8 = 0x0800;

constexpr std::uint16_t kMethodStore = 0;
constexpr std::uint16_t kMethodDeflate = 8;
constexpr std::uint16_t kMethodBZip2 = 12;
constexpr std::uint16_t kMethodLzma = 14;
constexpr std::uint16_t kMethodZstd = 93;
constexpr std::uint16_t kMethodXz = 95;
constexpr std::uint16_t kMethodAes = 99;

constexpr std::uint16_t kExtraZip64 = 0x0001;
constexpr std::uint16_t kExtraAes = 0x9901;
constexpr std::size_t kExtraAesSize = 7;

constexpr std::uint32_t kAllOnes32 = 0xFFFFFFFF;
constexpr std::uint16_t kAllOnes16 = 0xFFFF;

// Pieces are handed out from shared groups of this many, so that a listing
// of many compressed entries allocates once per group, not once per entry.
constexpr std::size_t kPiecesPerGroup = 4096;

constexpr std::string_view kAesRefusal = "encrypted (WinZip AES), which kestrune does not decrypt";
constexpr std::string_view kStrongRefusal =
    "encrypted (PKWARE strong encryption), which kestrune does not decrypt";
constexpr std::string_view kTraditionalRefusal =
    "encrypted (traditional PKWARE), which kestrune does not decrypt";
constexpr std::string_view kOverlapRefusal =
    "shares its stored bytes with another entry (overlapping entries, as in a zip bomb)";
constexpr std::string_view kOutsideRefusal =
    "its local header or stored bytes lie outside the archive's data, before its central directory";
constexpr std::string_view kNoLocalHeaderRefusal = "its local header is missing";
constexpr std::string_view kZip64FieldsRefusal =
    "its record defers to ZIP64 fields that its extra field does not hold";
constexpr std::string_view kHeaderDiffers = "its local header differs from the central directory";
constexpr std::string_view kDescriptorDiffers =
    "its data descriptor differs from the central directory";

// The method by the name listings give it.
std::string_view MethodName(std::uint16_t method) {
    switch (method) {
    case 0:
        return "Store";
    case 1:
        return "Shrink";
    case 2:
    case 3:
    case 4:
    case 5:
        return "Reduce";
    case 6:
        return "Implode";
    case 8:
        return "Deflate";
    case 9:
        return "Deflate64";
    case 10:
        return "PKWARE DCL Implode";
    case 12:
        return "BZip2";
    case 14:
        return "LZMA";
    case 16:
        return "IBM z/OS CMPSC";
    case 18:
        return "IBM TERSE";
    case 19:
        return "IBM LZ77";
    case 20:
        return "Zstd (old number 20)";
    case 93:
        return "Zstd";
    case 94:
        return "MP3";
    case 95:
        return "XZ";
    case 96:
        return "JPEG";
    case 97:
        return "WavPack";
    case 98:
        return "PPMd";
    default:
        return "unknown method";
    }
}

std::optional<Codec> MethodCodec(std::uint16_t method) {
    switch (method) {
    case kMethodDeflate:
        return Codec::Deflate;
    case kMethodBZip2:
        return Codec::BZip2;
    case kMethodLzma:
        return Codec::LzmaZip;
    case kMethodZstd:
        return Codec::Zstd;
    case kMethodXz:
        return Codec::Xz;
    default:
        return std::nullopt;
    }
}

// Where the archive's directory lies, from its end records.
struct End {
    std::uint64_t count = 0;   // records declared
    std::uint64_t start = 0;   // of the directory in the file, prefix included
    std::uint64_t size = 0;    // of the directory
    std::uint64_t shift = 0;   // prefix length: added to every stored offset
    std::uint64_t dataEnd = 0; // where entries' bytes must end: the directory's start
    std::string_view refusal;  // the end records contradict each other
    std::uint16_t comment = 0; // length of the archive comment
    std::uint64_t commentAt = 0;
};

std::uint32_t SignatureAt(ByteSource& source, std::uint64_t offset) {
    std::array<unsigned char, 4> bytes{};
    if (!FitsWithin(offset, bytes.size(), source.Size()) ||
        source.ReadAt(offset, bytes.data(), bytes.size()) != bytes.size()) {
        return 0;
    }
    return LoadU32LE(bytes.data());
}

// True when a directory of `count` records and `size` bytes can start at
// `start` and end by `limit`: empty, or its first bytes a record's signature.
bool DirectoryAt(ByteSource& source, std::uint64_t start, std::uint64_t size, std::uint64_t count,
                 std::uint64_t limit) {
    if (!FitsWithin(start, size, limit)) {
        return false;
    }
    if (count == 0) {
        return size == 0 || SignatureAt(source, start) == kCentralSignature;
    }
    return size >= kCentralSize && SignatureAt(source, start) == kCentralSignature;
}

// Reads the ZIP64 end record that the locator before the end record at
// `endAt` points to, into `end`. False when there is no locator; a
// contradiction sets end.refusal.
bool ReadZip64(ByteSource& source, std::uint64_t endAt, std::uint64_t& count, std::uint64_t& size,
               std::uint64_t& offset, std::uint64_t& recordAt, std::uint64_t& recordShift,
               std::string_view& refusal) {
    if (endAt < kZip64LocatorSize) {
        return false;
    }
    const std::uint64_t locatorAt = endAt - kZip64LocatorSize;
    std::array<unsigned char, kZip64LocatorSize> locator{};
    if (source.ReadAt(locatorAt, locator.data(), locator.size()) != locator.size() ||
        LoadU32LE(locator.data()) != kZip64LocatorSignature) {
        return false;
    }
    const std::uint64_t declared = LoadU64LE(locator.data() + 8);
    // As written, or moved by a prefix: then the record lies just before the
    // locator.
    std::uint64_t at = declared;
    if (!FitsWithin(at, kZip64EndSize, locatorAt) ||
        SignatureAt(source, at) != kZip64EndSignature) {
        at = locatorAt >= kZip64EndSize ? locatorAt - kZip64EndSize : 0;
        if (locatorAt < kZip64EndSize || at < declared ||
            SignatureAt(source, at) != kZip64EndSignature) {
            refusal = "its ZIP64 locator points to no ZIP64 end record";
            return true;
        }
    }
    std::array<unsigned char, kZip64EndSize> record{};
    if (source.ReadAt(at, record.data(), record.size()) != record.size()) {
        refusal = "its ZIP64 locator points to no ZIP64 end record";
        return true;
    }
    count = LoadU64LE(record.data() + 32);
    size = LoadU64LE(record.data() + 40);
    offset = LoadU64LE(record.data() + 48);
    recordAt = at;
    recordShift = at - declared;
    return true;
}

// The end record at `at` (its 22 bytes in `bytes`) and the directory it
// points to, or nullopt when they do not parse.
std::optional<End> ParseEnd(ByteSource& source, std::uint64_t at, const unsigned char* bytes) {
    const std::uint16_t disk = LoadU16LE(bytes + 4);
    const std::uint16_t directoryDisk = LoadU16LE(bytes + 6);
    const std::uint16_t onDisk = LoadU16LE(bytes + 8);
    const std::uint16_t count16 = LoadU16LE(bytes + 10);
    const std::uint32_t size32 = LoadU32LE(bytes + 12);
    const std::uint32_t offset32 = LoadU32LE(bytes + 16);
    const std::uint16_t comment = LoadU16LE(bytes + 20);
    if (!FitsWithin(at + kEndSize, comment, source.Size())) {
        return std::nullopt;
    }
    End end;
    end.comment = comment;
    end.commentAt = at + kEndSize;
    std::uint64_t count = count16;
    std::uint64_t size = size32;
    std::uint64_t offset = offset32;
    std::uint64_t limit = at; // the directory ends by the end records
    std::uint64_t shift = 0;
    std::uint64_t count64 = 0;
    std::uint64_t size64 = 0;
    std::uint64_t offset64 = 0;
    std::uint64_t recordAt = 0;
    std::uint64_t recordShift = 0;
    std::string_view refusal;
    const bool zip64 =
        ReadZip64(source, at, count64, size64, offset64, recordAt, recordShift, refusal);
    if (zip64) {
        if (!refusal.empty()) {
            end.refusal = refusal;
            return end;
        }
        // Each 32-bit field defers to its twin only when it holds all ones.
        if ((count16 != kAllOnes16 && count16 != count64) ||
            (onDisk != kAllOnes16 && onDisk != count64) ||
            (size32 != kAllOnes32 && size32 != size64) ||
            (offset32 != kAllOnes32 && offset32 != offset64)) {
            end.refusal = "its ZIP64 end record disagrees with its end record";
            return end;
        }
        count = count64;
        size = size64;
        offset = offset64;
        limit = recordAt;
        shift = recordShift;
    } else if (disk != 0 || directoryDisk != 0 || onDisk != count16) {
        return std::nullopt; // a part of a split archive, or no end record
    }
    // Where the directory was written, or moved by a prefix: then it lies
    // just before the end records.
    if (offset > UINT64_MAX - shift || !DirectoryAt(source, offset + shift, size, count, limit)) {
        if (limit < size || limit - size < offset) {
            return std::nullopt;
        }
        shift = limit - size - offset;
        if (!DirectoryAt(source, offset + shift, size, count, limit)) {
            return std::nullopt;
        }
    }
    end.count = count;
    end.start = offset + shift;
    end.size = size;
    end.shift = shift;
    end.dataEnd = end.start;
    return end;
}

// The end record whose directory parses. A comment may hold bytes that
// parse as an end record too: of two, the one whose comment holds the other
// is the archive's own.
std::optional<End> FindEnd(ByteSource& source) {
    const std::uint64_t size = source.Size();
    if (size < kEndSize) {
        return std::nullopt;
    }
    const std::uint64_t window = std::min<std::uint64_t>(size, kLongestComment + kEndSize);
    const std::uint64_t from = size - window;
    std::vector<unsigned char> tail(static_cast<std::size_t>(window));
    if (source.ReadAt(from, tail.data(), tail.size()) != tail.size()) {
        return std::nullopt;
    }
    std::optional<End> found;
    std::size_t foundAt = 0;
    for (std::size_t at = tail.size() - kEndSize + 1; at-- > 0;) {
        if (tail[at] != 'P' || LoadU32LE(tail.data() + at) != kEndSignature) {
            continue;
        }
        // Once one is found, only a record whose comment holds it can win.
        if (found && at + kEndSize + LoadU16LE(tail.data() + at + 20) < foundAt + kEndSize) {
            continue;
        }
        if (auto end = ParseEnd(source, from + at, tail.data() + at)) {
            found = end;
            foundAt = at;
        }
    }
    return found;
}

// One central directory record, its name, extra fields and comment.
struct Central {
    std::uint16_t flags = 0;
    std::uint16_t method = 0;
    std::uint16_t time = 0;
    std::uint16_t date = 0;
    std::uint32_t crc = 0;
    std::uint64_t storedSize = 0;
    std::uint64_t size = 0;
    std::uint64_t localOffset = 0;
    std::string_view name;
    bool aes = false;
    std::uint16_t aesMethod = 0;
    bool zip64Missing = false; // a field defers to a ZIP64 twin that is not there

    bool directory() const {
        return size == 0 && !name.empty() && (name.back() == '/' || name.back() == '\\');
    }
    // The method the stored bytes are compressed with, under any encryption.
    std::uint16_t realMethod() const { return aes ? aesMethod : method; }
};

// The ZIP64 fields of an extra block: each present only when its 32-bit
// field holds all ones. False when one that must be there is not.
bool ReadZip64Extra(std::string_view extra, bool wantSize, std::uint64_t& size, bool wantStored,
                    std::uint64_t& stored, bool wantOffset, std::uint64_t* offset) {
    std::size_t at = 0;
    while (extra.size() - at >= 4) {
        const auto* field = reinterpret_cast<const unsigned char*>(extra.data() + at);
        const std::uint16_t id = LoadU16LE(field);
        const std::uint16_t length = LoadU16LE(field + 2);
        if (length > extra.size() - at - 4) {
            break;
        }
        if (id == kExtraZip64) {
            const unsigned char* value = field + 4;
            std::size_t left = length;
            const auto take = [&](bool wanted, std::uint64_t& out) {
                if (!wanted) {
                    return true;
                }
                if (left < 8) {
                    return false;
                }
                out = LoadU64LE(value);
                value += 8;
                left -= 8;
                return true;
            };
            std::uint64_t ignored = 0;
            return take(wantSize, size) && take(wantStored, stored) &&
                   take(wantOffset, offset != nullptr ? *offset : ignored);
        }
        at += 4 + std::size_t{length};
    }
    return !wantSize && !wantStored && !wantOffset;
}

// Parses the record at the reader's position; false when there is none.
// The name's view lies in the reader's buffer or in `spill`, valid until the
// next read.
bool ReadCentral(SequentialReader& reader, Central& record, std::string& spill) {
    std::array<unsigned char, kCentralSize> fixed{};
    if (!reader.Read(fixed.data(), fixed.size()) || LoadU32LE(fixed.data()) != kCentralSignature) {
        return false;
    }
    record.flags = LoadU16LE(fixed.data() + 8);
    record.method = LoadU16LE(fixed.data() + 10);
    record.time = LoadU16LE(fixed.data() + 12);
    record.date = LoadU16LE(fixed.data() + 14);
    record.crc = LoadU32LE(fixed.data() + 16);
    const std::uint32_t stored32 = LoadU32LE(fixed.data() + 20);
    const std::uint32_t size32 = LoadU32LE(fixed.data() + 24);
    const std::uint16_t nameLength = LoadU16LE(fixed.data() + 28);
    const std::uint16_t extraLength = LoadU16LE(fixed.data() + 30);
    const std::uint16_t commentLength = LoadU16LE(fixed.data() + 32);
    const std::uint32_t offset32 = LoadU32LE(fixed.data() + 42);
    // Name, extra fields and comment together: at most 3 × 64 KiB.
    std::string_view rest;
    const std::uint64_t restLength =
        std::uint64_t{nameLength} + std::uint64_t{extraLength} + std::uint64_t{commentLength};
    if (!reader.ReadView(restLength, rest, spill)) {
        return false;
    }
    record.name = rest.substr(0, nameLength);
    const std::string_view extra = rest.substr(nameLength, extraLength);
    record.storedSize = stored32;
    record.size = size32;
    record.localOffset = offset32;
    // A record without the ZIP64 fields it defers to is still a record: the
    // entry is listed, and fails by name.
    record.zip64Missing =
        !ReadZip64Extra(extra, size32 == kAllOnes32, record.size, stored32 == kAllOnes32,
                        record.storedSize, offset32 == kAllOnes32, &record.localOffset);
    record.aes = false;
    for (std::size_t at = 0; extra.size() - at >= 4;) {
        const auto* field = reinterpret_cast<const unsigned char*>(extra.data() + at);
        const std::uint16_t length = LoadU16LE(field + 2);
        if (length > extra.size() - at - 4) {
            break;
        }
        if (LoadU16LE(field) == kExtraAes && length >= kExtraAesSize) {
            record.aes = true;
            record.aesMethod = LoadU16LE(field + 4 + 5);
        }
        at += 4 + std::size_t{length};
    }
    return true;
}

// What the first pass learns of one file entry from its local header.
struct Located {
    std::uint64_t dataOffset = 0; // first stored byte, in the file
    std::uint64_t spanStart = 0;  // the local header
    std::uint64_t spanEnd = 0;    // one past the last stored byte
    std::string_view refusal;
    std::string_view damage; // what --test reports; extraction writes the entry
};

// `length` bytes at `offset`, inside the source: looked at where a mapped
// file has them, otherwise read into `buffer`; null when they cannot be read.
// The bytes of local headers and data descriptors. Where the archive is
// mapped, one Ready() covers a window from the header asked for on: the
// headers lie in ascending order in nearly every archive, so an archive of
// many small entries costs one call into the system for a dozen of them
// rather than two for each.
class HeaderBytes {
public:
    explicit HeaderBytes(ByteSource& source) : source_(source), mapped_(source.Bytes()) {}

    // [offset, offset + length), or null when the archive is shorter.
    const unsigned char* At(std::uint64_t offset, std::size_t length) {
        if (mapped_ != nullptr && offset <= source_.Size()) {
            if (offset >= readyFrom_ && offset <= readyTo_ && length <= readyTo_ - offset) {
                return mapped_ + offset;
            }
            const std::uint64_t window = std::min<std::uint64_t>(
                std::max<std::uint64_t>(length, kWindow), source_.Size() - offset);
            if (window >= length && source_.Ready(offset, window)) {
                readyFrom_ = offset;
                readyTo_ = offset + window;
                return mapped_ + offset;
            }
        }
        buffer_.resize(length);
        return source_.ReadAt(offset, buffer_.data(), length) == length ? buffer_.data() : nullptr;
    }

private:
    static constexpr std::uint64_t kWindow = 16 * 1024;
    ByteSource& source_;
    const unsigned char* mapped_;
    std::uint64_t readyFrom_ = 0;
    std::uint64_t readyTo_ = 0;
    std::vector<unsigned char> buffer_;
};

// True when the data descriptor after an entry's stored bytes holds the
// record's CRC-32 and sizes. Writers differ in whether it begins with its
// signature and whether its sizes take 4 or 8 bytes: any of the four forms
// that agrees will do.
bool DescriptorAgrees(HeaderBytes& source, std::uint64_t at, std::uint64_t limit,
                      const Central& record) {
    constexpr std::size_t kLongest = 24; // signature, CRC-32, two 64-bit sizes
    const auto length = static_cast<std::size_t>(
        std::min<std::uint64_t>(kLongest, BytesWithin(at, kLongest, limit)));
    const unsigned char* bytes = source.At(at, length);
    if (bytes == nullptr) {
        return false;
    }
    for (const std::size_t skip : {std::size_t{4}, std::size_t{0}}) {
        if (skip == 4 && (length < 4 || LoadU32LE(bytes) != kDescriptorSignature)) {
            continue;
        }
        if (length >= skip + 12 && LoadU32LE(bytes + skip) == record.crc &&
            LoadU32LE(bytes + skip + 4) == record.storedSize &&
            LoadU32LE(bytes + skip + 8) == record.size) {
            return true;
        }
        if (length >= skip + 20 && LoadU32LE(bytes + skip) == record.crc &&
            LoadU64LE(bytes + skip + 4) == record.storedSize &&
            LoadU64LE(bytes + skip + 12) == record.size) {
            return true;
        }
    }
    return false;
}

// Reads the entry's local header and compares it with its record.
Located Locate(HeaderBytes& source, const End& end, const Central& record) {
    Located located;
    if (record.zip64Missing) {
        located.refusal = kZip64FieldsRefusal;
        return located;
    }
    if (record.localOffset > UINT64_MAX - end.shift) {
        located.refusal = kOutsideRefusal;
        return located;
    }
    const std::uint64_t at = record.localOffset + end.shift;
    located.spanStart = at;
    if (!FitsWithin(at, kLocalSize, end.dataEnd)) {
        located.refusal = kOutsideRefusal;
        return located;
    }
    const unsigned char* fixed = source.At(at, kLocalSize);
    if (fixed == nullptr || LoadU32LE(fixed) != kLocalSignature) {
        located.refusal = kNoLocalHeaderRefusal;
        return located;
    }
    const std::uint16_t flags = LoadU16LE(fixed + 6);
    const std::uint16_t method = LoadU16LE(fixed + 8);
    const std::uint32_t crc = LoadU32LE(fixed + 14);
    const std::uint32_t stored32 = LoadU32LE(fixed + 18);
    const std::uint32_t size32 = LoadU32LE(fixed + 22);
    const std::uint16_t nameLength = LoadU16LE(fixed + 26);
    const std::uint16_t extraLength = LoadU16LE(fixed + 28);
    const std::uint64_t variable = std::uint64_t{nameLength} + extraLength;
    if (!FitsWithin(at + kLocalSize, variable, end.dataEnd)) {
        located.refusal = kOutsideRefusal;
        return located;
    }
    located.dataOffset = at + kLocalSize + variable;
    if (!FitsWithin(located.dataOffset, record.storedSize, end.dataEnd)) {
        located.refusal = kOutsideRefusal;
        return located;
    }
    located.spanEnd = located.dataOffset + record.storedSize;
    const unsigned char* names = source.At(at + kLocalSize, static_cast<std::size_t>(variable));
    if (names == nullptr) {
        located.refusal = kNoLocalHeaderRefusal;
        return located;
    }
    const std::string_view name(reinterpret_cast<const char*>(names), nameLength);
    const std::string_view extra(reinterpret_cast<const char*>(names) + nameLength, extraLength);
    bool same = name == record.name && method == record.method && flags == record.flags;
    // With a data descriptor the local header may hold zeros for the CRC
    // and sizes; otherwise they are the record's.
    if (same && (flags & kFlagDescriptor) == 0) {
        std::uint64_t size = size32;
        std::uint64_t stored = stored32;
        same = ReadZip64Extra(extra, size32 == kAllOnes32, size, stored32 == kAllOnes32, stored,
                              false, nullptr) &&
               size == record.size && stored == record.storedSize && crc == record.crc;
    }
    if (!same) {
        located.damage = kHeaderDiffers;
    } else if ((flags & kFlagDescriptor) != 0 &&
               !DescriptorAgrees(source, located.spanEnd, end.dataEnd, record)) {
        located.damage = kDescriptorDiffers;
    }
    return located;
}

// Marks every entry whose span shares a byte with another's.
void MarkOverlaps(std::vector<Located>& located) {
    std::vector<std::size_t> order;
    order.reserve(located.size());
    for (std::size_t i = 0; i < located.size(); ++i) {
        if (located[i].spanEnd > located[i].spanStart) {
            order.push_back(i);
        }
    }
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return located[a].spanStart < located[b].spanStart;
    });
    // Sorted by start, an entry overlaps one before it when it starts before
    // the furthest end so far, and one after it when the next starts before
    // its own end.
    std::uint64_t furthest = 0;
    for (std::size_t k = 0; k < order.size(); ++k) {
        Located& entry = located[order[k]];
        const bool before = k > 0 && entry.spanStart < furthest;
        const bool after = k + 1 < order.size() && located[order[k + 1]].spanStart < entry.spanEnd;
        furthest = std::max(furthest, entry.spanEnd);
        if (before || after) {
            entry.refusal = kOverlapRefusal;
        }
    }
}

// "2024-05-01 12:30:58" from MS-DOS date and time fields, as stored.
std::string_view DosTime(std::uint16_t date, std::uint16_t time, std::array<char, 32>& text) {
    const int length = std::snprintf(text.data(), text.size(), "%04u-%02u-%02u %02u:%02u:%02u",
                                     1980u + (date >> 9u), (date >> 5u) & 0xFu, date & 0x1Fu,
                                     static_cast<unsigned>(time >> 11u), (time >> 5u) & 0x3Fu,
                                     (time & 0x1Fu) * 2u);
    return std::string_view(text.data(), length > 0 ? static_cast<std::size_t>(length) : 0);
}

// The name as the tool shows it: UTF-8 as flagged, else from code page 437;
// "\" read as "/".
void ShowName(const Central& record, std::string& out) {
    const bool ascii = std::all_of(record.name.begin(), record.name.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    std::optional<std::string> converted;
    if (!ascii && (record.flags & kFlagUtf8) == 0) {
        converted = Platform::Cp437ToUtf8(record.name);
    }
    if (converted) {
        out = std::move(*converted);
    } else {
        out.assign(record.name);
    }
    std::replace(out.begin(), out.end(), '\\', '/');
}

struct Walker {
    std::shared_ptr<SharedContent> group;
    std::size_t groupUsed = 0;
    std::string name;
    std::array<char, 32> time{};
    EntryView view;

    Piece& PlacePiece() {
        if (!group || groupUsed == group->pieces.size()) {
            group = std::make_shared<SharedContent>();
            // Sized once: slots are filled later, never moved, while earlier
            // entries of the group are already in use.
            group->pieces.resize(kPiecesPerGroup);
            groupUsed = 0;
        }
        view.content.shared = group;
        view.content.firstPiece = static_cast<std::uint32_t>(groupUsed);
        view.content.pieceCount = 1;
        return group->pieces[groupUsed++];
    }

    void Visit(const Central& record, const Located& located, const EntryVisitor& visit) {
        EntryContent& content = view.content;
        content = EntryContent{};
        ShowName(record, name);
        view.name = name;
        view.offset = located.refusal.empty() ? located.dataOffset : located.spanStart;
        view.size = record.size;
        view.compressedSize = record.storedSize;
        view.compression = MethodName(record.realMethod());
        view.encrypted = (record.flags & kFlagEncrypted) != 0;
        view.damage = located.damage;
        view.modified = DosTime(record.date, record.time, time);
        content.crc32 = record.crc;
        if (!located.refusal.empty()) {
            content.refusal = located.refusal;
        } else if (view.encrypted) {
            content.refusal = record.aes || record.method == kMethodAes     ? kAesRefusal
                              : (record.flags & kFlagStrongEncryption) != 0 ? kStrongRefusal
                                                                            : kTraditionalRefusal;
        } else if (record.method == kMethodStore && record.storedSize == record.size) {
            content.Append({kPackageFile, located.dataOffset, record.size});
        } else {
            content.encoding = ContentEncoding::Pieces;
            const std::optional<Codec> codec = record.method == kMethodStore
                                                   ? std::optional<Codec>(Codec::Stored)
                                                   : MethodCodec(record.method);
            // A method without a codec leaves the entry without pieces:
            // reading it fails with the method's name (EntryReader).
            if (codec) {
                PlacePiece() = {located.dataOffset,
                                record.storedSize,
                                record.storedSize,
                                record.size,
                                kPackageFile,
                                *codec,
                                false};
            }
        }
        visit(view);
    }
};

// Walks the directory's records, calling `each(record)` for each file entry;
// returns how many records parsed (directory entries included).
template <typename Each>
std::uint64_t WalkRecords(ByteSource& source, const End& end, Each&& each) {
    SequentialReader reader(source, end.start, end.start + end.size);
    Central record;
    std::string spill;
    std::uint64_t read = 0;
    for (; read < end.count; ++read) {
        if (!ReadCentral(reader, record, spill)) {
            break;
        }
        if (!record.directory()) {
            if (!each(record)) {
                return read + 1;
            }
        }
    }
    return read;
}

std::string CountNote(std::uint64_t records, std::uint64_t declared) {
    return "its central directory holds " + std::to_string(records) + " records, " +
           std::to_string(declared) + " declared";
}

} // namespace

bool IsArchive(ByteSource& source) {
    return FindEnd(source).has_value();
}

DirectoryWalk VisitArchive(ByteSource& source, const EntryVisitor& visit, std::uint64_t limit,
                           const ReadOptions& options, const CountAnnouncer* announce) {
    static_cast<void>(options);
    const std::optional<End> end = FindEnd(source);
    if (!end) {
        return {};
    }
    DirectoryWalk walk = DirectoryWalk::Of(0, PackageKind::Zip);
    if (!end->refusal.empty()) {
        walk.refusal = std::string(end->refusal);
        return walk;
    }
    // A look that hands over no entry reads no local header.
    if (limit == 0 && announce == nullptr) {
        const std::uint64_t records =
            WalkRecords(source, *end, [](const Central&) { return true; });
        if (records != end->count) {
            walk.notes.push_back(CountNote(records, end->count));
        }
        return walk;
    }
    // First pass: every local header, for the offsets a listing shows and
    // the overlaps a bomb is made of. A few words per entry, no names.
    std::vector<Located> located;
    // Every record takes at least kCentralSize bytes of the directory.
    located.reserve(
        static_cast<std::size_t>(std::min<std::uint64_t>(end->count, end->size / kCentralSize)));
    HeaderBytes headers(source);
    const std::uint64_t records = WalkRecords(source, *end, [&](const Central& record) {
        located.push_back(Locate(headers, *end, record));
        return true;
    });
    if (records != end->count) {
        walk.notes.push_back(CountNote(records, end->count));
    }
    MarkOverlaps(located);
    if (announce != nullptr) {
        (*announce)(std::min<std::uint64_t>(located.size(), limit));
    }
    if (limit == 0 || located.empty()) {
        return walk;
    }
    Walker walker;
    std::size_t index = 0;
    WalkRecords(source, *end, [&](const Central& record) {
        if (index >= located.size()) {
            return false; // the file changed between the passes
        }
        walker.Visit(record, located[index], visit);
        ++index;
        return index < limit;
    });
    walk.visited = index;
    return walk;
}

} // namespace Kestrune::Zip
