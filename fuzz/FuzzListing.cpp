// fuzz_list: any bytes at all, read as a package from memory and from a file.
//
// Promises checked on every input, beyond "no crash, no sanitizer report":
// - the kind follows from the first four bytes alone;
// - every entry is one the layout could really hold: a WAD lists at most one
//   entry per 16 bytes of the file, with 32-bit fields and names of at most 8
//   bytes without NUL; a PAK's index records, each 28 bytes plus its name,
//   fit in the file together, which bounds memory and time by the input size;
// - reading from a file gives exactly what reading from memory gives.

#include "ArchiveEntry.h"
#include "ByteOrder.h"
#include "ByteSource.h"
#include "Detect.h"
#include "FuzzSupport.h"
#include "KestruneEngine.h"

#include <cstddef>
#include <cstdint>
#include <span>
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

bool SameEntries(const std::vector<ArchiveEntry>& a, const std::vector<ArchiveEntry>& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].name != b[i].name || a[i].offset != b[i].offset ||
            a[i].compressedSize != b[i].compressedSize || a[i].size != b[i].size ||
            a[i].compression != b[i].compression || a[i].reservedFlag != b[i].reservedFlag) {
            return false;
        }
    }
    return true;
}

void CheckEntries(ArchiveType kind, const std::vector<ArchiveEntry>& entries, std::size_t size) {
    std::uint64_t indexBytes = 4; // a PAK index's entry count
    for (const ArchiveEntry& entry : entries) {
        KESTRUNE_FUZZ_CHECK(entry.compression == "None");
        KESTRUNE_FUZZ_CHECK(!entry.reservedFlag);
        if (kind == ArchiveType::Wad) {
            KESTRUNE_FUZZ_CHECK(entry.name.size() <= 8);
            KESTRUNE_FUZZ_CHECK(entry.name.find('\0') == std::string::npos);
            KESTRUNE_FUZZ_CHECK(entry.offset <= 0xFFFFFFFFu && entry.size <= 0xFFFFFFFFu);
            KESTRUNE_FUZZ_CHECK(entry.compressedSize == entry.size);
        } else {
            indexBytes += 28 + entry.name.size();
        }
    }
    if (kind == ArchiveType::Wad) {
        KESTRUNE_FUZZ_CHECK(entries.size() <= size / 16);
    } else if (!entries.empty()) {
        // The index lies inside the file, and the footer's 44 bytes follow
        // its start (the index may run on into the footer's own bytes).
        KESTRUNE_FUZZ_CHECK(size >= 44 && indexBytes <= size);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    MemorySource memory(std::span<const unsigned char>(data, size));
    const ArchiveType kind = DetectKind(memory);
    KESTRUNE_FUZZ_CHECK(kind == KindOfHead(data, size));
    const std::vector<ArchiveEntry> entries = ReadEntries(memory);
    CheckEntries(kind, entries, size);

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
                                entry.size == expected.size);
        }));
    KESTRUNE_FUZZ_CHECK(announced == entries.size() && streamed == entries.size());
    return 0;
}
