#include "Formats.h"

#include "ByteOrder.h"
#include "Detect.h"
#include "IoStore.h"
#include "PackFormat.h"
#include "PackWriters.h"
#include "PakFormat.h"
#include "UnrealCompanions.h"
#include "UnrealPak.h"
#include "VpkFormat.h"
#include "WadFormat.h"
#include "unity/UnityBundle.h"
#include "unity/UnityExport.h"
#include "unity/UnitySerialized.h"
#include "unity/UnitySplit.h"
#include "unity/UnityWebData.h"
#include "zip/ZipFormat.h"

#include <array>
#include <utility>

namespace Kestrune {
namespace {

// The little-endian u32 at offset 0; 0 for a file of fewer than four bytes,
// which matches no signature.
std::uint32_t Signature(ByteSource& source) {
    std::array<unsigned char, 4> head{};
    return source.ReadAt(0, head.data(), head.size()) == head.size() ? LoadU32LE(head.data()) : 0;
}

bool HasWadSignature(ByteSource& source) {
    const std::uint32_t signature = Signature(source);
    return signature == kIwadSignature || signature == kPwadSignature;
}

bool HasVpkSignature(ByteSource& source) {
    return Signature(source) == kVpkSignature;
}

bool HasPackSignature(ByteSource& source) {
    return Signature(source) == Pack::kSignature;
}

DirectoryWalk WalkWad(ByteSource& source, const EntryVisitor& visit, std::uint64_t limit,
                      const ReadOptions&, const CountAnnouncer*) {
    return Wad::VisitDirectory(source, visit, limit);
}

DirectoryWalk WalkContainer(ByteSource& source, const EntryVisitor& visit, std::uint64_t limit,
                            const ReadOptions&, const CountAnnouncer*) {
    return Pak::VisitIndex(source, visit, limit);
}

DirectoryWalk WalkVpk(ByteSource& source, const EntryVisitor& visit, std::uint64_t limit,
                      const ReadOptions&, const CountAnnouncer*) {
    return Vpk::VisitTree(source, visit, limit);
}

DirectoryWalk WalkUnityBundle(ByteSource& source, const EntryVisitor& visit, std::uint64_t limit,
                              const ReadOptions& options, const CountAnnouncer*) {
    return Unity::VisitBundle(source, visit, limit, options);
}

DirectoryWalk WalkUnitySerialized(ByteSource& source, const EntryVisitor& visit,
                                  std::uint64_t limit, const ReadOptions& options,
                                  const CountAnnouncer*) {
    return Unity::VisitSerializedFile(source, visit, limit, options);
}

DirectoryWalk WalkPack(ByteSource& source, const EntryVisitor& visit, std::uint64_t limit,
                       const ReadOptions&, const CountAnnouncer*) {
    return Pack::VisitDirectory(source, visit, limit);
}

// The order, and why:
// - Signatures at the start come first, the WAD's before all: a file that
//   begins with "IWAD" or "PWAD" is a WAD, whatever it ends in (our own
//   container has no signature at its start and may begin with anything).
// - An IoStore table of contents begins with its own 16-byte magic, and
//   is read as one whatever it ends in.
// - The Unreal footer rules before our container's: a pak of version 1 to 7
//   ends in the container's 44 bytes, and is taken for a pak only when its
//   index hash and its whole index prove it. The Unreal reader passes every
//   other file on, and the container's footer then decides.
// - A file ending in the container's footer has always been read as our
//   container, a VPK signature at its start included: the container comes
//   before the VPK.
// - The VPK, the Unity bundle, the Unity WebGL container and the Quake
//   PACK are told apart by their signatures alone; none of them can be
//   taken for another. A WebGL container compressed whole is taken only
//   when its first decoded bytes are the container's signature.
// - A ZIP archive comes after every kind read before it: its end record is
//   searched for from the end, and a self-extracting archive may begin with
//   anything, so every file another kind names stays that kind.
// - A Unity serialized file has no signature: it is recognised by the
//   consistency of its header alone, and so comes last of all.
// - A format recognised by its structure rather than a signature comes
//   after every signature, so that it can never take a file that a
//   signature names.
constexpr std::array kFormats{
    PackageFormat{.kind = PackageKind::Wad,
                  .name = "wad",
                  .recognises = HasWadSignature,
                  .walk = WalkWad,
                  .writerName = "wad",
                  .writer = Wad::WritePackage},
    PackageFormat{.kind = PackageKind::IoStore,
                  .name = "iostore",
                  .recognises = IoStore::IsToc,
                  .walk = IoStore::VisitContainer,
                  .partPath = IoStore::PartPath,
                  .packageFileFor = IoStore::TocPathFor,
                  .annotate = IoStore::AnnotateContainer},
    PackageFormat{.kind = PackageKind::Unreal,
                  .name = "unreal",
                  .walk = Unreal::VisitPak,
                  .passesOn = true,
                  .annotate = Unreal::AnnotatePak,
                  .writerName = "unreal",
                  .writer = Unreal::WritePackage},
    PackageFormat{.kind = PackageKind::Pak,
                  .name = "pak",
                  .recognises = Pak::HasFooter,
                  .walk = WalkContainer,
                  .writerName = "kestrune",
                  .writer = Pak::WritePackage},
    PackageFormat{.kind = PackageKind::Vpk,
                  .name = "vpk",
                  .recognises = HasVpkSignature,
                  .walk = WalkVpk,
                  .partPath = Vpk::PartPath,
                  .companionOf = Vpk::DirectoryOf,
                  .writerName = "vpk",
                  .writer = Vpk::WritePackage},
    PackageFormat{.kind = PackageKind::Unity,
                  .name = "unity",
                  .recognises = Unity::HasSignature,
                  .walk = WalkUnityBundle,
                  .exporter = Unity::MakeBundleExporter,
                  .objects = Unity::ListBundleObjects},
    PackageFormat{.kind = PackageKind::UnityWebData,
                  .name = "unity-webdata",
                  .recognises = Unity::IsWebData,
                  .walk = Unity::VisitWebData,
                  .exporter = Unity::MakeWebDataExporter,
                  .objects = Unity::ListWebDataObjects},
    PackageFormat{.kind = PackageKind::Pack,
                  .name = "pack",
                  .recognises = HasPackSignature,
                  .walk = WalkPack,
                  .writerName = "quake",
                  .writer = Pack::WritePackage},
    PackageFormat{.kind = PackageKind::Zip,
                  .name = "zip",
                  .recognises = Zip::IsArchive,
                  .walk = Zip::VisitArchive,
                  .writerName = "zip",
                  .writer = Zip::WritePackage},
    PackageFormat{.kind = PackageKind::UnitySerialized,
                  .name = "unity-serialized",
                  .recognises = Unity::LooksStandaloneSerialized,
                  .walk = WalkUnitySerialized,
                  .partPath = Unity::StreamPartPath,
                  .companionOf = Unity::SplitFirstPart,
                  .annotate = Unity::AnnotateStandalone,
                  .exporter = Unity::MakeSerializedFileExporter,
                  .objects = Unity::ListStandaloneObjects},
};

bool Recognises(const PackageFormat& format, ByteSource& source) {
    return format.recognises == nullptr || format.recognises(source);
}

} // namespace

std::span<const PackageFormat> Formats() {
    return kFormats;
}

const PackageFormat* FormatOf(PackageKind kind) {
    for (const PackageFormat& format : kFormats) {
        if (format.kind == kind) {
            return &format;
        }
    }
    return nullptr;
}

DirectoryWalk WalkFormats(ByteSource& source, const EntryVisitor& visit, std::uint64_t limit,
                          const ReadOptions& options, const CountAnnouncer* announce) {
    std::vector<std::string> passedNotes;
    // Bytes that are not the file they stand for (a split file lacking a
    // part) are no format's to read.
    if (std::string defect = source.Defect(); !defect.empty()) {
        DirectoryWalk refused;
        refused.refusal = std::move(defect);
        return refused;
    }
    for (const PackageFormat& format : kFormats) {
        if (!Recognises(format, source)) {
            continue;
        }
        DirectoryWalk walk = format.walk(source, visit, limit, options, announce);
        if (format.passesOn && !walk.found()) {
            passedNotes.insert(passedNotes.end(), std::make_move_iterator(walk.notes.begin()),
                               std::make_move_iterator(walk.notes.end()));
            continue;
        }
        walk.notes.insert(walk.notes.begin(), std::make_move_iterator(passedNotes.begin()),
                          std::make_move_iterator(passedNotes.end()));
        return walk;
    }
    DirectoryWalk none;
    none.notes = std::move(passedNotes);
    return none;
}

PartPathFunction CompanionNaming(ByteSource& source) {
    for (const PackageFormat& format : kFormats) {
        if (!Recognises(format, source)) {
            continue;
        }
        if (format.partPath != nullptr || !format.passesOn) {
            return format.partPath;
        }
    }
    return nullptr;
}

std::string PackageOfCompanion(std::string_view fileName) {
    for (const PackageFormat& format : kFormats) {
        if (format.companionOf != nullptr) {
            if (std::string package = format.companionOf(fileName); !package.empty()) {
                return package;
            }
        }
    }
    return {};
}

std::string PackageFileFor(const std::string& path) {
    for (const PackageFormat& format : kFormats) {
        if (format.packageFileFor != nullptr) {
            if (std::string file = format.packageFileFor(path); file != path) {
                return file;
            }
        }
    }
    return path;
}

std::unique_ptr<ByteSource> OpenPackageSource(const std::string& path, int* error) {
    if (!Unity::SplitJoinedName(path).empty()) {
        return Unity::OpenSplitSet(path, error);
    }
    int opened = 0;
    if (auto file = FileSource::Open(path, &opened)) {
        return file;
    }
    // A stream file that a split serialized file refers to by its joined
    // name may itself be split.
    if (auto parts = Unity::OpenSplitSet(path + ".split0")) {
        return parts;
    }
    if (error != nullptr) {
        *error = opened;
    }
    return nullptr;
}

const ReadOptions& OptionsFor(const std::string& path, ByteSource& source,
                              const ReadOptions& options, ReadOptions& borrowed) {
    if (!options.unityVersion.empty()) {
        return options;
    }
    std::string version = Unity::VersionBeside(path, source);
    if (version.empty()) {
        return options;
    }
    borrowed = options;
    borrowed.unityVersion = std::move(version);
    return borrowed;
}

void AnnotateWalk(const std::string& path, const ReadOptions& options, DirectoryWalk& walk) {
    for (const PackageFormat& format : kFormats) {
        if (format.annotate != nullptr) {
            format.annotate(path, options, walk);
        }
    }
}

} // namespace Kestrune
