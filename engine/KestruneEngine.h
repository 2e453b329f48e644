#pragma once

#include "ArchiveEntry.h"
#include "Exporting.h"
#include "Extraction.h"
#include "Formats.h"
#include "MeshData.h"
#include "PackageFolder.h"
#include "Preview.h"
#include "ReadOptions.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace Kestrune {

/// What a package is, found before any entry is read: whether it opened, the
/// kind of directory it holds, and what its reader has to say of it (a
/// refusal, notes, package facts).
struct PackageSummary {
    bool opened = false;
    int openError = 0;  ///< The system's error number when it did not open.
    DirectoryWalk walk; ///< `visited` is 0: no entry is read.
};

/// The tool's operations. Stateless: each call opens what it needs, closes it
/// before returning, prints nothing and reports through its result. Every
/// operation that reads a package takes the user's ReadOptions (keys, the
/// Oodle library) last; the default is none.
class KestruneEngine {
public:
    /// The file that holds the directory of the package the user named with
    /// `path`, as the formats name their companion files: an IoStore
    /// container's X.utoc for its X.ucas, when it exists; `path` itself
    /// otherwise.
    static std::string PackageFileFor(const std::string& path);

    /// What the folder `folder` holds, for commands that read every package
    /// in it (see PackageFolder.h): the files that may be packages, in byte
    /// order of their paths inside it, without the companion files of
    /// others, links, or the directory `outDir` when it lies in the folder.
    static FolderListing ListFolder(const std::string& folder, const std::string& outDir = {});

    /// Classifies the file at `path` by its first four bytes. `OpenFailed` when
    /// it cannot be opened for reading or is a directory.
    static ArchiveType DetectType(const std::string& path);

    /// Every entry of the package at `path`, in the order the package stores
    /// them. Empty when the file cannot be opened or holds no listable entries;
    /// a damaged index yields the records read in full before the damage.
    static std::vector<ArchiveEntry> ListEntries(const std::string& path,
                                                 const ReadOptions& options = {});

    /// The package at `path` looked at without reading its entries.
    static PackageSummary Examine(const std::string& path, const ReadOptions& options = {});

    /// The listing of the package at `path` streamed, for packages too large
    /// to hold as records: `begin` receives the number of entries, then
    /// `each` receives every entry in listing order, the same entries as
    /// ListEntries gives. Memory stays small whatever the number of entries.
    /// False, calling neither, when the file cannot be opened (as when
    /// DetectType reports `OpenFailed`).
    static bool VisitEntries(const std::string& path,
                             const std::function<void(std::uint64_t count)>& begin,
                             const EntryVisitor& each, const ReadOptions& options = {});

    /// As VisitEntries, and also what Examine tells of the package, from the
    /// same reading: a listing needs no look beforehand. Neither `begin` nor
    /// `each` is called when the file does not open or the package is
    /// refused. A reader that checks its whole directory first (an Unreal
    /// pak) is walked once; the others twice, counted and then visited.
    static PackageSummary StreamEntries(const std::string& path,
                                        const std::function<void(std::uint64_t count)>& begin,
                                        const EntryVisitor& each, const ReadOptions& options = {});

    /// Writes the data of the first listed entry named exactly `entryName`
    /// (byte for byte, case-sensitive) to the file `outPath`. True only when
    /// every byte of the entry was written. An existing file at `outPath` is
    /// left untouched when the entry is not found or the package does not
    /// open, and the package itself is never opened for writing.
    static bool ExtractFile(const std::string& archive, const std::string& entryName,
                            const std::string& outPath, const ReadOptions& options = {});

    /// Creates the directory `outDir` (one level) and writes every listed
    /// entry into it, each with its own data and a name of its own (see
    /// OutputNames.h): as one flat file, or with `OutputLayout::Tree` in the
    /// package's directories (the entry's folder and name), created inside
    /// `outDir`. Entries that fail are recorded in `report` and do not stop
    /// the others; `written`, when given, receives each file written whole.
    /// True only when the directory exists, the package opened and every
    /// entry was written whole.
    /// With `folder`, the package is one of a folder's, and its files go
    /// under its place there (FolderPlace).
    static bool ExtractAll(const std::string& archive, const std::string& outDir,
                           ExtractionReport* report = nullptr,
                           const ProgressCallback& progress = {}, const ReadOptions& options = {},
                           OutputLayout layout = OutputLayout::Flat,
                           const WrittenCallback& written = {},
                           const FolderPlace* folder = nullptr);

    /// Reads the content of every listed entry of the package at `archive` as
    /// ExtractAll would and writes nothing. `damaged` receives, in listing
    /// order, each entry that an extraction would not write whole, with the
    /// reason ExtractAll would give (cut short, a missing part file, a
    /// checksum mismatch, no safe file name). The result also counts the
    /// entries whose bytes overlap another entry's and the bytes an
    /// extraction would write. Memory holds a few words per entry, no names.
    static PackageCheck TestPackage(const std::string& archive, const DamageCallback& damaged,
                                    const ReadOptions& options = {});

    /// The listing of the package at `archive` streamed as VisitEntries does,
    /// each entry with the file name ExtractAll gives it on this system in
    /// `layout` (with Tree: the path relative to DIR, "/" between levels).
    /// `begin` receives the kind of directory found before any entry. Memory
    /// holds a hash of every name; the names themselves only when some repeat
    /// and "~N" names must be assigned.
    /// False, calling neither, when the file cannot be opened.
    static bool VisitEntriesWithOutputNames(const std::string& archive,
                                            const std::function<void(PackageKind kind)>& begin,
                                            const NamedEntryVisitor& each,
                                            const ReadOptions& options = {},
                                            OutputLayout layout = OutputLayout::Flat);

    /// Hands the content of the first listed entry named exactly `entryName`
    /// (ExtractFile's rule) to `write`, in pieces of at most 1 MiB: only bytes
    /// that lie in the package's files, never padding.
    static EntryCopy CopyEntryContent(const std::string& archive, const std::string& entryName,
                                      const ContentWriter& write, const ReadOptions& options = {});

    /// The objects of every serialized file in the package at `archive`
    /// (a Unity bundle's), in entry order: path ID, class, name, container
    /// path, byte range and streamed data; an object that cannot be read is
    /// given with its class and a note. Each file is read into memory, at
    /// most its first 64 MiB. Nothing for kinds without objects; false when
    /// the file cannot be opened.
    static bool ListObjects(const std::string& archive, const ObjectListingVisitor& each,
                            const ReadOptions& options = {});

    /// What ExportAll does with each object of the package at `archive`, in
    /// the package's order: the file it becomes (its name before flattening
    /// or placing in a tree, and its form), or why it is skipped.
    /// `hasConverters` is false for kinds without converters (nothing is
    /// visited). False when the file cannot be opened.
    static bool PlanExport(const std::string& archive, bool& hasConverters,
                           const std::function<void(const PlannedExport&)>& each,
                           const ReadOptions& options = {});

    /// Creates the directory `outDir` (one level) and writes each object the
    /// package's converters know as one file, as ExtractAll writes entries
    /// (names of their own, never outside DIR, never over the package). The
    /// user's selection picks by the planned file name. Objects without a
    /// converter are listed in `report->skipped`. True only when every
    /// selected object was converted and written whole; false, creating
    /// nothing, for kinds without converters. `folder` as for ExtractAll.
    static bool ExportAll(const std::string& archive, const std::string& outDir,
                          ExportReport* report = nullptr, const ReadOptions& options = {},
                          OutputLayout layout = OutputLayout::Flat,
                          const WrittenCallback& written = {}, const FolderPlace* folder = nullptr);

    /// The built-in sample mesh: a cube named "GameCrate_LOD0", edge length 2,
    /// centred on the origin, 8 shared corners and 12 counter-clockwise
    /// triangles. Every call returns a fresh, independent copy.
    static MeshData CreateSampleMesh();

    /// `mesh` as Wavefront OBJ text: a comment header, the object line, the
    /// position, texture-coordinate and normal blocks, then one face line per
    /// complete index triple. A mesh without texture coordinates or normals
    /// writes no such block and leaves those references out of its faces
    /// ("f 1//1 ...", "f 1/1 ...", "f 1 ..."); a mesh with groups writes each
    /// group as a "g" line followed by the faces of its indices. Numbers are
    /// written as printf's "%g" writes them in the C locale, whatever the
    /// global locale is. Indices are not checked against the vertex count.
    static std::string ExportObj(const MeshData& mesh);

    /// Writes the sample package to `outPath`: a 731-byte PAK container holding
    /// the sample cube's OBJ text and a small JSON configuration. False when
    /// the file cannot be opened (nothing is created then, and an existing file
    /// is left as it was) or when any byte of it could not be written.
    static bool CreateSamplePackage(const std::string& outPath);
};

} // namespace Kestrune
