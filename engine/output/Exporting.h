#pragma once

// Exporting: a package's objects converted into the files modders use
// (PNG, OBJ, text), one file per object. Each package kind that has
// converters gives a PackageExporter; the export itself (DIR, names, the
// guarantees of an extraction) is the same for every kind.

#include "ArchiveEntry.h"
#include "Extraction.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Kestrune {

class PackageFiles;

/// What an export does with one object of a package.
struct PlannedExport {
    std::string source; ///< The object as messages name it: its asset path, or name and ID.
    std::string objectClass;
    std::string entry; ///< The listing entry (file) that holds the object.
    std::int64_t pathId = 0;
    std::string name;    ///< The file it becomes, "/" between directories; empty when skipped.
    std::string form;    ///< "PNG", "OBJ", "text", "bytes", "TrueType", ...
    std::string skipped; ///< Why it is not exported; empty when it is.
    /// With `skipped`: the object has a converter but its data could not be
    /// read for it (no layout, a range outside its file, a missing stream
    /// file): a failure, not a skip.
    bool failed = false;
    bool unconverted = false; ///< Written as its stored data, with no converter: a failure.
    /// The file --export writes for it without --tree, as this system names
    /// it (flattened, "~N" for repeats); set by KestruneEngine::PlanExport.
    std::optional<std::string> output;
};

/// One object converted.
struct ConvertedObject {
    std::vector<unsigned char> bytes;
    std::optional<std::string> failure; ///< Why nothing was written.
    std::vector<std::string> notes;     ///< What the user should know of a file written.
};

class PackageExporter {
public:
    virtual ~PackageExporter() = default;
    /// Every object the package holds, in its order, with what an export
    /// does with it.
    virtual const std::vector<PlannedExport>& Plan() const = 0;
    /// The file of the planned object `item`, which is not skipped. Called
    /// in plan order, from one thread.
    virtual ConvertedObject Convert(std::size_t item) = 0;
};

/// The exporter for a package of `kind`; null when the kind has no
/// converters.
std::unique_ptr<PackageExporter> MakeExporter(PackageKind kind, PackageFiles& files);

/// The bytes one converted object may occupy in memory (its stored data and
/// its converted file each); larger ones fail with their reason.
inline constexpr std::uint64_t kExportObjectLimit = 512ull << 20;

/// What one export did.
struct ExportReport {
    ExtractionReport files;             ///< As an extraction's, one entry per exported object.
    bool hasConverters = true;          ///< False: the package's kind has none.
    std::vector<PlannedExport> skipped; ///< Objects no file was planned for.
    /// Objects with a converter whose data could not be read for it: the
    /// first of files.failures, named by PlannedExport::source.
    std::size_t failedBeforeWriting = 0;
    std::vector<std::pair<std::string, std::string>> notes; ///< (name, note) of files written.
};

} // namespace Kestrune
