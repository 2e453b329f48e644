#include "Detect.h"

#include "ByteOrder.h"
#include "Formats.h"

#include <array>
#include <utility>

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

std::unique_ptr<PackageFiles> OpenPackageFiles(const std::string& path,
                                               const ReadOptions& options) {
    auto files = PackageFiles::Open(path, options, nullptr, OpenPackageSource);
    if (files) {
        if (const PartPathFunction naming = CompanionNaming(files->Package())) {
            files = PackageFiles::Open(path, options, naming, OpenPackageSource);
        }
    }
    return files;
}

DirectoryWalk WalkEntries(ByteSource& source, const EntryVisitor& visit, std::uint64_t limit,
                          const ReadOptions& options, const CountAnnouncer* announce) {
    if (!options.select) {
        return WalkFormats(source, visit, limit, options, announce);
    }
    // Entries not taken are passed over here, so that no reader and no
    // operation needs to know about the selection; `limit` counts the taken.
    std::uint64_t taken = 0;
    DirectoryWalk walk = WalkFormats(
        source,
        [&](const EntryView& view) {
            if (taken < limit && options.select(view.name)) {
                ++taken;
                visit(view);
            }
        },
        UINT64_MAX, options, nullptr);
    walk.visited = taken;
    return walk;
}

std::uint64_t VisitEntries(ByteSource& source, const EntryVisitor& visit, std::uint64_t limit,
                           const ReadOptions& options) {
    return WalkEntries(source, visit, limit, options).visited;
}

void AssignEntry(ArchiveEntry& entry, const EntryView& view) {
    entry.name.assign(view.name);
    entry.offset = view.offset;
    entry.compressedSize = view.compressedSize;
    entry.size = view.size;
    entry.content = view.content;
    entry.compression.assign(view.compression);
    entry.encrypted = view.encrypted;
    entry.folder.assign(view.folder);
}

std::vector<ArchiveEntry> ReadEntries(ByteSource& source, const ReadOptions& options) {
    std::vector<ArchiveEntry> entries;
    VisitEntries(
        source, [&](const EntryView& view) { AssignEntry(entries.emplace_back(), view); },
        UINT64_MAX, options);
    return entries;
}

} // namespace Kestrune
