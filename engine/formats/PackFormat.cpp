#include "PackFormat.h"

#include "Bounds.h"
#include "ByteOrder.h"

#include <array>
#include <cstring>

namespace Kestrune::Pack {

DirectoryWalk VisitDirectory(ByteSource& source, const EntryVisitor& visit, std::uint64_t limit) {
    std::array<unsigned char, kHeaderSize> header{};
    if (source.ReadAt(0, header.data(), header.size()) != header.size() ||
        LoadU32LE(header.data()) != kSignature) {
        return {};
    }
    const std::uint32_t directoryOffset = LoadU32LE(header.data() + 4);
    const std::uint32_t directoryLength = LoadU32LE(header.data() + 8);
    if (!FitsWithin(directoryOffset, directoryLength, source.Size()) ||
        directoryLength % kRecordSize != 0) {
        return {};
    }

    SequentialReader reader(source, directoryOffset,
                            std::uint64_t{directoryOffset} + directoryLength);
    const std::uint64_t count = directoryLength / kRecordSize;
    std::array<unsigned char, kRecordSize> record{};
    std::uint64_t visited = 0;
    for (; visited < count && visited < limit; ++visited) {
        if (!reader.Read(record.data(), record.size())) {
            break; // the file shrank since it was measured
        }
        const char* name = reinterpret_cast<const char*>(record.data());
        const auto* nul = static_cast<const char*>(std::memchr(name, '\0', kNameSize));
        EntryView entry;
        entry.name = std::string_view(name, nul != nullptr ? static_cast<std::size_t>(nul - name)
                                                           : kNameSize);
        entry.offset = LoadU32LE(record.data() + kNameSize);
        entry.size = LoadU32LE(record.data() + kNameSize + 4);
        entry.compressedSize = entry.size;
        entry.content = EntryContent::InPackage(entry.offset, entry.size);
        visit(entry);
    }
    return DirectoryWalk::Of(visited, PackageKind::Pack);
}

} // namespace Kestrune::Pack
