#include "WadFormat.h"

#include "Bounds.h"
#include "ByteOrder.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace Kestrune::Wad {

DirectoryWalk VisitDirectory(ByteSource& source, const EntryVisitor& visit, std::uint64_t limit) {
    std::array<unsigned char, kHeaderSize> header{};
    if (source.ReadAt(0, header.data(), header.size()) != header.size()) {
        return {};
    }
    const std::uint32_t count = LoadU32LE(header.data() + 4);
    const std::uint32_t directoryOffset = LoadU32LE(header.data() + 8);
    if (!FitsWithin(directoryOffset, 0, source.Size())) {
        return {};
    }

    SequentialReader reader(source, directoryOffset);
    std::array<unsigned char, kDirectoryRecordSize> record{};
    std::uint64_t visited = 0;
    for (; visited < count && visited < limit; ++visited) {
        if (!reader.Read(record.data(), record.size())) {
            break;
        }
        const char* name = reinterpret_cast<const char*>(record.data() + 8);
        const auto* nul = static_cast<const char*>(std::memchr(name, '\0', kLumpNameSize));
        EntryView entry;
        entry.name = std::string_view(name, nul != nullptr ? static_cast<std::size_t>(nul - name)
                                                           : kLumpNameSize);
        entry.offset = LoadU32LE(record.data());
        entry.size = LoadU32LE(record.data() + 4);
        entry.compressedSize = entry.size;
        entry.content = EntryContent::InPackage(entry.offset, entry.size);
        visit(entry);
    }
    return DirectoryWalk::Of(visited, PackageKind::Wad);
}

} // namespace Kestrune::Wad
