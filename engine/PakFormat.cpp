#include "PakFormat.h"

#include "Bounds.h"
#include "ByteOrder.h"

#include <algorithm>
#include <array>

namespace Kestrune::Pak {

std::vector<ArchiveEntry> ReadIndex(ByteSource& source) {
    std::vector<ArchiveEntry> entries;
    const std::uint64_t size = source.Size();
    if (size < kFooterSize) {
        return entries;
    }

    std::array<unsigned char, kFooterSize> footer{};
    if (source.ReadAt(size - kFooterSize, footer.data(), footer.size()) != footer.size() ||
        LoadU32LE(footer.data()) != kFooterMagic) {
        return entries;
    }
    const std::uint64_t indexOffset = LoadU64LE(footer.data() + 8);

    SequentialReader reader(source, indexOffset);
    std::uint32_t count = 0;
    if (!FitsWithin(indexOffset, 4, size) || !reader.ReadU32(count)) {
        return entries;
    }

    // Every record takes at least 28 bytes, so the bytes left bound how many
    // records can exist, whatever count the index declares.
    entries.reserve(static_cast<std::size_t>(
        std::min<std::uint64_t>(count, reader.Remaining() / kRecordFixedSize)));
    for (std::uint32_t i = 0; i < count; ++i) {
        ArchiveEntry entry;
        std::uint32_t nameLength = 0;
        if (!reader.ReadU32(nameLength) || !reader.ReadString(nameLength, entry.name) ||
            !reader.ReadU64(entry.offset) || !reader.ReadU64(entry.compressedSize) ||
            !reader.ReadU64(entry.size)) {
            break;
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

} // namespace Kestrune::Pak
