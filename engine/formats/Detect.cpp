#include "Detect.h"

#include "ByteOrder.h"
#include "IoStore.h"
#include "PackFormat.h"
#include "PakFormat.h"
#include "UnrealPak.h"
#include "VpkFormat.h"
#include "WadFormat.h"
#include "unity/UnityBundle.h"

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
    auto files = PackageFiles::Open(path, options);
    // Only a VPK directory's and an IoStore TOC's entries lie in part files.
    if (files && DetectKind(files->Package()) == ArchiveType::Vpk) {
        files = PackageFiles::Open(path, options, &Vpk::PartPath);
    } else if (files && IoStore::IsToc(files->Package())) {
        files = PackageFiles::Open(path, options, &IoStore::PartPath);
    }
    return files;
}

namespace {

DirectoryWalk WalkDirectory(ByteSource& source, const EntryVisitor& visit, std::uint64_t limit,
                            const ReadOptions& options, const CountAnnouncer* announce) {
    const ArchiveType kind = DetectKind(source);
    if (kind == ArchiveType::Wad) {
        return Wad::VisitDirectory(source, visit, limit);
    }
    if (IoStore::IsToc(source)) {
        return IoStore::VisitContainer(source, visit, limit, options, announce);
    }
    // An Unreal pak of version 8-11 ends in a footer of its own; one of
    // 1-7 ends as the container does and is taken for a pak only when its
    // index hash and its whole index prove it (the reader's rules).
    DirectoryWalk unreal = Unreal::VisitPak(source, visit, limit, options, announce);
    if (unreal.found()) {
        return unreal;
    }
    // The container footer decides next: a file ending in it has always been
    // read as a PAK container, a VPK signature at its start included.
    if (Pak::HasFooter(source)) {
        DirectoryWalk walk = Pak::VisitIndex(source, visit, limit);
        walk.notes = std::move(unreal.notes);
        return walk;
    }
    if (kind == ArchiveType::Vpk) {
        return Vpk::VisitTree(source, visit, limit);
    }
    return Unity::VisitBundleOrPack(source, visit, limit, options);
}

} // namespace

DirectoryWalk WalkEntries(ByteSource& source, const EntryVisitor& visit, std::uint64_t limit,
                          const ReadOptions& options, const CountAnnouncer* announce) {
    if (!options.select) {
        return WalkDirectory(source, visit, limit, options, announce);
    }
    // Entries not taken are passed over here, so that no reader and no
    // operation needs to know about the selection; `limit` counts the taken.
    std::uint64_t taken = 0;
    DirectoryWalk walk = WalkDirectory(
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
