#pragma once

// The package formats the tool reads, as one ordered table (Formats.cpp).
// Each format is a value: its name, how it recognises a file, how it walks
// the file's directory, how its companion files are named, and what it
// offers beyond entries (objects, converters). Detection and every operation
// that needs something of a format ask the table; nothing outside a
// format's own folder names it.
//
// Adding a format: its reader in a folder (or file) of its own under
// engine/formats/, one line in the table at the place its recognition
// belongs (see the order's reasons beside the table), and its tests.

#include "ArchiveEntry.h"
#include "ByteSource.h"
#include "PackageFiles.h"
#include "ReadOptions.h"
#include "unity/SerializedFile.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace Kestrune {

class PackageExporter;

/// Receives the objects of one serialized file of a package that holds
/// objects (a Unity bundle), with the index of its entry in the listing.
using ObjectListingVisitor =
    std::function<void(std::uint64_t entryIndex, const Unity::SerializedFileListing& listing)>;

/// A cheap, bounded look at a file: whether it may be of the format. Reads
/// at most what the format's signature or footer needs.
using RecogniseFunction = bool (*)(ByteSource& source);

/// Walks the directory of a file the format recognised: hands at most
/// `limit` entries to `visit` and says what it found (a refusal, notes).
/// `announce`, when given, hears the number of entries before the first one
/// from a reader that has checked its whole directory by then.
using WalkFunction = DirectoryWalk (*)(ByteSource& source, const EntryVisitor& visit,
                                       std::uint64_t limit, const ReadOptions& options,
                                       const CountAnnouncer* announce);

/// The name of the package file (beside it) that a file named `fileName` is
/// a companion of, by the format's naming rule; empty when the name is none
/// of its companions'.
using CompanionOfFunction = std::string (*)(std::string_view fileName);

/// The file that holds the directory of a package the user named by one of
/// its companions (an IoStore container's .ucas stands for its .utoc), or
/// `path` itself.
using PackageFileFunction = std::string (*)(const std::string& path);

/// What the format adds to a walk's notes once the package's path is known
/// (a note that names the file, companion files beside it).
using AnnotateFunction = void (*)(const std::string& path, const ReadOptions& options,
                                  DirectoryWalk& walk);

/// The converters of a package's objects; null when it has none.
using ExporterFunction = std::unique_ptr<PackageExporter> (*)(PackageFiles& files);

/// Hands the objects of every serialized file of the package to `each`, in
/// entry order.
using ObjectsFunction = void (*)(PackageFiles& files, const ObjectListingVisitor& each,
                                 const ReadOptions& options);

struct PackPlan;
class PackOutput;
/// Writes `plan` as a package of the format to `out` and says how many
/// entries the format's reader lists for it; nullopt on success, else the
/// cause in words (Packing.h). Empty for formats the tool only reads.
using WriterFunction = std::optional<std::string> (*)(const PackPlan& plan, PackOutput& out,
                                                      std::uint64_t& entries);

struct PackageFormat {
    PackageKind kind = PackageKind::None;
    /// As --list-json's "kind" shows it.
    std::string_view name{};
    /// Null: the walk itself recognises the file.
    RecogniseFunction recognises = nullptr;
    WalkFunction walk = nullptr;
    /// True when the format's walk may find, after recognising the file,
    /// that it is none of its own (a walk that is not found()): the formats
    /// after it then look at the file, and the notes it gave are kept.
    /// Otherwise recognition decides.
    bool passesOn = false;
    /// How the package's numbered companion files are named; null when its
    /// entries lie in the package file alone.
    PartPathFunction partPath = nullptr;
    CompanionOfFunction companionOf = nullptr;
    PackageFileFunction packageFileFor = nullptr;
    AnnotateFunction annotate = nullptr;
    ExporterFunction exporter = nullptr;
    ObjectsFunction objects = nullptr;
    /// The name --pack's --format takes for the format; empty when the
    /// tool does not write it.
    std::string_view writerName{};
    WriterFunction writer = nullptr;
};

/// Every format, in the order detection tries them.
std::span<const PackageFormat> Formats();

/// The table's entry for `kind`; null for PackageKind::None.
const PackageFormat* FormatOf(PackageKind kind);

/// The format that reads the file, found by walking the table in its order.
/// The walk of the first format that recognises the file and does not pass
/// it on is returned, with the notes of those that passed it on; a walk of
/// kind None when no format reads it.
DirectoryWalk WalkFormats(ByteSource& source, const EntryVisitor& visit, std::uint64_t limit,
                          const ReadOptions& options, const CountAnnouncer* announce);

/// The naming of the companion files of the package in `source`: that of
/// the first format, in table order, that recognises it and either names
/// companions or does not pass the file on. Null when it has none.
PartPathFunction CompanionNaming(ByteSource& source);

/// The package file that `fileName` is a companion of, by the first format
/// whose naming rule claims it; empty when none does.
std::string PackageOfCompanion(std::string_view fileName);

/// The file that holds the directory of the package named by `path`, by the
/// first format that reads a package through that file; `path` otherwise.
std::string PackageFileFor(const std::string& path);

/// The bytes that stand for the file at `path`: the file itself, or the
/// parts it was cut into when `path` names the first of them ("X.split0"),
/// or when `path` is missing and its parts lie beside it (a split stream
/// file). Null when there are none, with the system's error in `error`.
std::unique_ptr<ByteSource> OpenPackageSource(const std::string& path, int* error = nullptr);

/// The options the package at `path` is read with: `options`, or a copy in
/// `borrowed` that names the version a player's data folder states for its
/// files that state a stripped one, when the user named none.
const ReadOptions& OptionsFor(const std::string& path, ByteSource& source,
                              const ReadOptions& options, ReadOptions& borrowed);

/// Lets every format add what it knows of the package at `path` to `walk`.
void AnnotateWalk(const std::string& path, const ReadOptions& options, DirectoryWalk& walk);

} // namespace Kestrune
