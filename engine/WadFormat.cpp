#include "WadFormat.h"

#include "Bounds.h"
#include "ByteOrder.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace Kestrune::Wad {

std::vector<ArchiveEntry> ReadDirectory(ByteSource& source) {
    std::vector<ArchiveEntry> entries;
    std::array<unsigned char, kHeaderSize> header{};
    if (source.ReadAt(0, header.data(), header.size()) != header.size()) {
        return entries;
    }
    const std::uint32_t count = LoadU32LE(header.data() + 4);
    const std::uint32_t directoryOffset = LoadU32LE(header.data() + 8);
    if (count == 0 || !FitsWithin(directoryOffset, 0, source.Size())) {
        return entries;
    }

    SequentialReader reader(source, directoryOffset);
    entries.reserve(static_cast<std::size_t>(
        std::min<std::uint64_t>(count, reader.Remaining() / kDirectoryRecordSize)));
    std::array<unsigned char, kDirectoryRecordSize> record{};
    for (std::uint32_t i = 0; i < count; ++i) {
        if (!reader.Read(record.data(), record.size())) {
            break;
        }
        const char* name = reinterpret_cast<const char*>(record.data() + 8);
        const auto* nul = static_cast<const char*>(std::memchr(name, '\0', kLumpNameSize));
        ArchiveEntry entry;
        entry.name.assign(name,
                          nul != nullptr ? static_cast<std::size_t>(nul - name) : kLumpNameSize);
        entry.offset = LoadU32LE(record.data());
        entry.size = LoadU32LE(record.data() + 4);
        entry.compressedSize = entry.size;
        entries.push_back(std::move(entry));
    }
    return entries;
}

} // namespace Kestrune::Wad
