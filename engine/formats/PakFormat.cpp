#include "PakFormat.h"

#include "Bounds.h"
#include "ByteOrder.h"

#include <algorithm>
#include <array>
#include <optional>

namespace Kestrune::Pak {

namespace {

// The footer, when the file ends in one.
std::optional<std::array<unsigned char, kFooterSize>> ReadFooter(ByteSource& source) {
    const std::uint64_t size = source.Size();
    std::array<unsigned char, kFooterSize> footer{};
    if (size < kFooterSize ||
        source.ReadAt(size - kFooterSize, footer.data(), footer.size()) != footer.size() ||
        LoadU32LE(footer.data()) != kFooterMagic) {
        return std::nullopt;
    }
    return footer;
}

} // namespace

bool HasFooter(ByteSource& source) {
    return ReadFooter(source).has_value();
}

DirectoryWalk VisitIndex(ByteSource& source, const EntryVisitor& visit, std::uint64_t limit) {
    const auto footer = ReadFooter(source);
    if (!footer) {
        return {};
    }
    const std::uint64_t indexOffset = LoadU64LE(footer->data() + 8);

    SequentialReader reader(source, indexOffset);
    std::uint32_t count = 0;
    if (!FitsWithin(indexOffset, 4, source.Size()) || !reader.ReadU32(count)) {
        return {};
    }

    std::string spill; // holds a record too long for the reader's buffer
    std::uint64_t visited = 0;
    // One view for every entry, its content one run that each record only
    // moves: building and destroying a whole EntryContent per record costs
    // more than the rest of the listing.
    EntryView entry;
    entry.content = EntryContent::InPackage(0, 0);
    DataRun& run = entry.content.runs[0];
    for (; visited < count && visited < limit; ++visited) {
        // The name and the three numbers after it are taken as one piece, so
        // the name still lies where its view points when the entry is visited.
        std::uint32_t nameLength = 0;
        std::string_view rest;
        if (!reader.ReadU32(nameLength) ||
            !reader.ReadView(std::uint64_t{nameLength} + kRecordFixedSize - 4, rest, spill)) {
            break;
        }
        const auto* numbers = reinterpret_cast<const unsigned char*>(rest.data() + nameLength);
        entry.name = rest.substr(0, nameLength);
        entry.offset = LoadU64LE(numbers);
        entry.compressedSize = LoadU64LE(numbers + 8);
        entry.size = LoadU64LE(numbers + 16);
        run.offset = entry.offset;
        run.length = entry.size;
        visit(entry);
    }
    DirectoryWalk walk = DirectoryWalk::Of(visited, PackageKind::Pak);
    // An index that ends before its count (a damaged one, or the index of
    // another kind of file with this footer) is no success for a check.
    if (visited < count && visited < limit) {
        walk.damage.push_back("the index ends after " + std::to_string(visited) + " of its " +
                              std::to_string(count) + " records");
    }
    return walk;
}

} // namespace Kestrune::Pak
