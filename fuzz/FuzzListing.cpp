// fuzz_list: any bytes at all, read as a package from memory and from a file.
//
// Promises checked on every input, beyond "no crash, no sanitizer report":
// - the kind follows from the first four bytes alone;
// - every entry is one the layout could really hold: a WAD lists at most one
//   entry per 16 bytes of the file, with 32-bit fields and names of at most 8
//   bytes without NUL; a PAK's index records, each 28 bytes plus its name,
//   fit in the file together, which bounds memory and time by the input size;
//   a "PACK" file lists exactly its directory's 64-byte records, and a VPK
//   exactly the files of its tree, as a second, deliberately plain reading of
//   the input finds them (names, offsets, sizes, the runs of their content
//   and the stored CRC32), and nothing when that reading rejects the
//   directory; the runs of every entry's content add up to its size;
// - reading from a file gives exactly what reading from memory gives.

#include "ArchiveEntry.h"
#include "Bounds.h"
#include "ByteOrder.h"
#include "ByteSource.h"
#include "Detect.h"
#include "Formats.h"
#include "FuzzSupport.h"
#include "KestruneEngine.h"
#include "PakFormat.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace Kestrune;

ArchiveType KindOfHead(const std::uint8_t* data, std::size_t size) {
    if (size < 4) {
        return ArchiveType::Pak;
    }
    const std::uint32_t head = LoadU32LE(data);
    if (head == kIwadSignature || head == kPwadSignature) {
        return ArchiveType::Wad;
    }
    return head == kVpkSignature ? ArchiveType::Vpk : ArchiveType::Pak;
}

bool SameContent(const EntryContent& a, const EntryContent& b) {
    if (a.runCount != b.runCount || a.encoding != b.encoding || a.crc32 != b.crc32) {
        return false;
    }
    for (std::size_t i = 0; i < a.runCount; ++i) {
        if (a.runs[i].file != b.runs[i].file || a.runs[i].offset != b.runs[i].offset ||
            a.runs[i].length != b.runs[i].length) {
            return false;
        }
    }
    return true;
}

bool SameEntries(const std::vector<ArchiveEntry>& a, const std::vector<ArchiveEntry>& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].name != b[i].name || a[i].offset != b[i].offset ||
            a[i].compressedSize != b[i].compressedSize || a[i].size != b[i].size ||
            a[i].compression != b[i].compression || a[i].reservedFlag != b[i].reservedFlag ||
            !SameContent(a[i].content, b[i].content)) {
            return false;
        }
    }
    return true;
}

std::uint32_t U32At(std::string_view bytes, std::size_t at) {
    return LoadU32LE(reinterpret_cast<const unsigned char*>(bytes.data()) + at);
}

std::uint16_t U16At(std::string_view bytes, std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                      static_cast<unsigned char>(bytes[at + 1]) << 8);
}

// The "PACK" directory read plainly from the input: nullopt when the header
// or the directory does not check out.
std::optional<std::vector<ArchiveEntry>> PlainPack(std::string_view in) {
    if (in.size() < 12 || in.substr(0, 4) != "PACK") {
        return std::nullopt;
    }
    const std::uint64_t at = U32At(in, 4);
    const std::uint64_t length = U32At(in, 8);
    if (at + length > in.size() || length % 64 != 0) {
        return std::nullopt;
    }
    std::vector<ArchiveEntry> entries;
    for (std::uint64_t record = at; record < at + length; record += 64) {
        const auto start = static_cast<std::size_t>(record);
        const std::string_view field = in.substr(start, 56);
        ArchiveEntry& entry = entries.emplace_back();
        entry.name = field.substr(0, field.find('\0'));
        entry.offset = U32At(in, start + 56);
        entry.size = U32At(in, start + 60);
        entry.compressedSize = entry.size;
        entry.content = EntryContent::InPackage(entry.offset, entry.size);
    }
    return entries;
}

// The VPK tree read plainly from the input, held whole as one string view:
// nullopt when the header is not one of versions 1 and 2 or the tree does not
// parse completely inside its declared size.
std::optional<std::vector<ArchiveEntry>> PlainVpk(std::string_view in) {
    if (in.size() < 12 || U32At(in, 0) != kVpkSignature) {
        return std::nullopt;
    }
    const std::uint32_t version = U32At(in, 4);
    if (version != 1 && version != 2) {
        return std::nullopt;
    }
    const std::size_t treeStart = version == 2 ? 28 : 12;
    const std::uint64_t treeSize = U32At(in, 8);
    if (treeStart > in.size() || treeSize > in.size() - treeStart) {
        return std::nullopt;
    }
    const std::uint64_t treeEnd = treeStart + treeSize;
    const std::string_view tree = in.substr(treeStart, static_cast<std::size_t>(treeSize));
    std::size_t at = 0;
    bool cut = false;
    // The next string of a list; false at the list's end, or where the tree
    // is cut short.
    const auto next = [&](std::string_view& out) {
        const std::size_t nul = tree.find('\0', at);
        if (nul == std::string_view::npos) {
            cut = true;
            return false;
        }
        out = tree.substr(at, nul - at);
        at = nul + 1;
        return !out.empty();
    };
    std::vector<ArchiveEntry> entries;
    std::string_view ext;
    std::string_view path;
    std::string_view file;
    while (next(ext)) {
        while (next(path)) {
            while (next(file)) {
                if (tree.size() - at < 18 || U16At(tree, at + 16) != 0xFFFF) {
                    return std::nullopt;
                }
                const std::uint16_t preload = U16At(tree, at + 4);
                const std::uint16_t archive = U16At(tree, at + 6);
                const std::uint64_t offset = U32At(tree, at + 8);
                const std::uint64_t length = U32At(tree, at + 12);
                ArchiveEntry& entry = entries.emplace_back();
                entry.content.crc32 = U32At(tree, at);
                at += 18;
                if (tree.size() - at < preload) {
                    return std::nullopt;
                }
                entry.name = (path == " " ? std::string() : std::string(path) + "/") +
                             std::string(file) + (ext == " " ? "" : "." + std::string(ext));
                const std::uint64_t preloadAt = treeStart + at;
                const std::uint64_t dataAt = archive == 0x7FFF ? treeEnd + offset : offset;
                at += preload;
                entry.size = preload + length;
                entry.compressedSize = entry.size;
                entry.offset = length == 0 ? preloadAt : dataAt;
                if (preload > 0) {
                    entry.content.Append({kPackageFile, preloadAt, preload});
                }
                if (length > 0) {
                    entry.content.Append(
                        {archive == 0x7FFF ? kPackageFile : archive, dataAt, length});
                }
            }
        }
    }
    if (cut) {
        return std::nullopt;
    }
    return entries;
}

// A PAK or WAD entry's content is the one run its offset and size name.
void CheckOneRun(const ArchiveEntry& entry) {
    KESTRUNE_FUZZ_CHECK(
        SameContent(entry.content, EntryContent::InPackage(entry.offset, entry.size)));
}

// A Unity bundle's nodes index the decoded blocks: each lies inside the
// pieces it names, and a stored UnityRaw node inside the file.
using Fuzzing::UnitySignature;

void CheckUnityEntries(const std::vector<ArchiveEntry>& entries, std::string_view input) {
    for (const ArchiveEntry& entry : entries) {
        if (entry.content.encoding == ContentEncoding::Stored) {
            KESTRUNE_FUZZ_CHECK(entry.content.runCount == 1 &&
                                entry.content.runs[0].length == entry.size &&
                                FitsWithin(entry.content.runs[0].offset, entry.size, input.size()));
            continue;
        }
        std::uint64_t decoded = 0;
        for (const Piece& piece : entry.content.Pieces()) {
            KESTRUNE_FUZZ_CHECK(FitsWithin(piece.offset, piece.storedLength, input.size()));
            decoded += piece.decodedLength;
        }
        KESTRUNE_FUZZ_CHECK(entry.size == 0 || (entry.content.skip < decoded &&
                                                entry.size <= decoded - entry.content.skip));
    }
}

void CheckEntries(ArchiveType kind, bool pakFooter, const std::vector<ArchiveEntry>& entries,
                  std::string_view input) {
    const std::size_t size = input.size();
    if (!pakFooter && kind == ArchiveType::Pak && UnitySignature(input)) {
        CheckUnityEntries(entries, input);
        return;
    }
    for (const ArchiveEntry& entry : entries) {
        KESTRUNE_FUZZ_CHECK(entry.compression == "None");
        KESTRUNE_FUZZ_CHECK(!entry.reservedFlag);
        KESTRUNE_FUZZ_CHECK(entry.content.runCount <= entry.content.runs.size());
        std::uint64_t runBytes = 0;
        for (std::size_t i = 0; i < entry.content.runCount; ++i) {
            runBytes += entry.content.runs[i].length;
        }
        KESTRUNE_FUZZ_CHECK(runBytes == entry.size);
    }
    if (kind == ArchiveType::Wad) {
        for (const ArchiveEntry& entry : entries) {
            KESTRUNE_FUZZ_CHECK(entry.name.size() <= 8);
            KESTRUNE_FUZZ_CHECK(entry.name.find('\0') == std::string::npos);
            KESTRUNE_FUZZ_CHECK(entry.offset <= 0xFFFFFFFFu && entry.size <= 0xFFFFFFFFu);
            KESTRUNE_FUZZ_CHECK(entry.compressedSize == entry.size);
            CheckOneRun(entry);
        }
        KESTRUNE_FUZZ_CHECK(entries.size() <= size / 16);
    } else if (pakFooter) {
        std::uint64_t indexBytes = 4; // a PAK index's entry count
        for (const ArchiveEntry& entry : entries) {
            indexBytes += 28 + entry.name.size();
            CheckOneRun(entry);
        }
        // The index lies inside the file, and the footer's 44 bytes follow
        // its start (the index may run on into the footer's own bytes).
        KESTRUNE_FUZZ_CHECK(entries.empty() || (size >= 44 && indexBytes <= size));
    } else if (kind == ArchiveType::Vpk) {
        KESTRUNE_FUZZ_CHECK(
            SameEntries(entries, PlainVpk(input).value_or(std::vector<ArchiveEntry>{})));
        // Each file of the tree takes at least a one-byte name, its NUL and
        // the 18-byte record, however long the directory and extension
        // strings it shares with others make its name.
        KESTRUNE_FUZZ_CHECK(entries.size() <= size / 20);
    } else {
        KESTRUNE_FUZZ_CHECK(
            SameEntries(entries, PlainPack(input).value_or(std::vector<ArchiveEntry>{})));
        KESTRUNE_FUZZ_CHECK(entries.size() <= size / 64);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    MemorySource memory(std::span<const unsigned char>(data, size));
    const ArchiveType kind = DetectKind(memory);
    KESTRUNE_FUZZ_CHECK(kind == KindOfHead(data, size));
    const std::vector<ArchiveEntry> entries = ReadEntries(memory);
    // Whatever the first bytes, a PAK footer at the end makes a PAK container.
    const bool pakFooter = kind != ArchiveType::Wad && Pak::HasFooter(memory);
    const DirectoryWalk walk = WalkEntries(memory, [](const EntryView&) {});
    if (walk.kind == PackageKind::Unreal) {
        // A refused pak lists nothing. An entry whose record points outside
        // the file is listed and fails when read (its own damage), so only
        // the index bounds the number of entries: each takes a record.
        KESTRUNE_FUZZ_CHECK(walk.refusal.empty() || entries.empty());
        KESTRUNE_FUZZ_CHECK(entries.size() <= size);
    } else if (walk.kind == PackageKind::IoStore) {
        // A container's chunks lie in its .ucas files, not in the TOC: a
        // refused one lists nothing, and each entry takes at least a
        // 12-byte chunk id or directory index record.
        KESTRUNE_FUZZ_CHECK(walk.refusal.empty() || entries.empty());
        KESTRUNE_FUZZ_CHECK(entries.size() <= size / 12);
    } else if (walk.kind == PackageKind::Zip || walk.kind == PackageKind::UnitySerialized) {
        // A refused archive or file lists nothing. An entry whose range
        // leaves the file is listed and fails when read, by name; each takes
        // a central directory record or an object table row.
        KESTRUNE_FUZZ_CHECK(walk.refusal.empty() || entries.empty());
        KESTRUNE_FUZZ_CHECK(entries.size() <= size / 12);
    } else if (walk.kind == PackageKind::UnityWebData) {
        // A refused container lists nothing. Each entry takes a 12-byte
        // record of a directory of at most 4 MiB (decoded, when the file is
        // compressed whole), and a plain one's entries lie in the file.
        KESTRUNE_FUZZ_CHECK(walk.refusal.empty() || entries.empty());
        KESTRUNE_FUZZ_CHECK(entries.size() <= (std::size_t{4} << 20) / 12);
        for (const ArchiveEntry& entry : entries) {
            KESTRUNE_FUZZ_CHECK(entry.content.encoding == ContentEncoding::Pieces ||
                                entry.offset + entry.size <= size);
        }
    } else {
        CheckEntries(kind, pakFooter, entries,
                     std::string_view(reinterpret_cast<const char*>(data), size));
    }

    const std::filesystem::path path = Fuzzing::ScratchRoot() / "input.pak";
    Fuzzing::WriteBytes(path, data, size);
    KESTRUNE_FUZZ_CHECK(KestruneEngine::DetectType(path.string()) == kind);
    KESTRUNE_FUZZ_CHECK(SameEntries(KestruneEngine::ListEntries(path.string()), entries));

    // The streamed report walks the index twice; it must announce and then
    // give exactly the entries of the listing.
    std::uint64_t announced = UINT64_MAX;
    std::size_t streamed = 0;
    KESTRUNE_FUZZ_CHECK(KestruneEngine::VisitEntries(
        path.string(), [&](std::uint64_t count) { announced = count; },
        [&](const EntryView& entry) {
            KESTRUNE_FUZZ_CHECK(streamed < entries.size());
            const ArchiveEntry& expected = entries[streamed++];
            KESTRUNE_FUZZ_CHECK(entry.name == expected.name && entry.offset == expected.offset &&
                                entry.compressedSize == expected.compressedSize &&
                                entry.size == expected.size &&
                                SameContent(entry.content, expected.content));
        }));
    KESTRUNE_FUZZ_CHECK(announced == entries.size() && streamed == entries.size());

    // What an export would do with each object: a file named, or a reason.
    bool hasConverters = false;
    KESTRUNE_FUZZ_CHECK(
        KestruneEngine::PlanExport(path.string(), hasConverters, [&](const PlannedExport& planned) {
            KESTRUNE_FUZZ_CHECK(planned.skipped.empty() != planned.name.empty());
        }));
    const PackageFormat* format = FormatOf(walk.kind);
    KESTRUNE_FUZZ_CHECK(hasConverters == (format != nullptr && format->exporter != nullptr));
    return 0;
}
