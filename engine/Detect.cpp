#include "Detect.h"

#include "ByteOrder.h"
#include "PakFormat.h"
#include "WadFormat.h"

#include <array>

namespace Kestrune {

ArchiveType DetectKind(ByteSource& source) {
    std::array<unsigned char, 4> head{};
    // Fewer than four bytes read as the value 0, which matches no signature.
    const std::uint32_t signature =
        source.ReadAt(0, head.data(), head.size()) == head.size() ? LoadU32LE(head.data()) : 0;
    if (signature == kIwadSignature || signature == kPwadSignature) {
        return ArchiveType::Wad;
    }
    if (signature == kVpkSignature) {
        return ArchiveType::Vpk;
    }
    return ArchiveType::Pak;
}

std::uint64_t VisitEntries(ByteSource& source, const EntryVisitor& visit, std::uint64_t limit) {
    return DetectKind(source) == ArchiveType::Wad ? Wad::VisitDirectory(source, visit, limit)
                                                  : Pak::VisitIndex(source, visit, limit);
}

std::vector<ArchiveEntry> ReadEntries(ByteSource& source) {
    std::vector<ArchiveEntry> entries;
    VisitEntries(source, [&](const EntryView& view) {
        ArchiveEntry& entry = entries.emplace_back();
        entry.name = view.name;
        entry.offset = view.offset;
        entry.compressedSize = view.compressedSize;
        entry.size = view.size;
    });
    return entries;
}

} // namespace Kestrune
