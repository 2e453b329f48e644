#pragma once

// Packing: the files of a directory written as one package of a kind the
// tool reads, the inverse of a tree extraction.
//
// A packing is planned first (PlanPackage: which files, under which stored
// names, in which order), then handed to its kind's writer. Every writer
// streams the files, never holding one whole, and writes the same bytes for
// the same plan whatever the number of threads. The package is written into
// a temporary directory beside OUT, read back in full by the tool's own
// reader, and only then moved into place (WritePackage).

#include "ArchiveEntry.h"
#include "Formats.h"
#include "ReadOptions.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace Kestrune {

/// One file to pack: its stored name as --list shows it (relative to the
/// directory, "/" between levels), where to read it, and its length when it
/// was planned (a file that changes length since is a failure).
struct PackFile {
    std::string name;
    std::string source;
    std::uint64_t size = 0;
};

/// What the user chose for the package. Each writer refuses, by name, a
/// setting its kind or version cannot honour.
struct PackSettings {
    PackageKind kind = PackageKind::Pak;
    bool iwad = false;             ///< WAD: IWAD instead of PWAD.
    std::uint32_t vpkVersion = 2;  ///< VPK: 1 or 2.
    std::uint64_t splitSize = 0;   ///< VPK: bytes per numbered part; 0: one file.
    std::uint32_t pakVersion = 11; ///< Unreal: 1 to 11.
    bool v8a = false;              ///< Unreal version 8 with four method names.
    std::string mountPoint = "../../../";
    Codec compression = Codec::Stored; ///< Unreal, ZIP: the method of every entry.
    std::uint32_t blockSize = 65536;   ///< Unreal: bytes of content per block.
    std::optional<AesKey> aesKey;      ///< Unreal: encrypts entries and the index.
    bool encryptData = true;           ///< Unreal, with a key: the entries.
    bool encryptIndex = true;          ///< Unreal, with a key: the index too.
    std::uint64_t pathHashSeed = 0;    ///< Unreal 10-11.
    std::string oodleLibrary;          ///< Unreal, Oodle: the user's library.
    unsigned threads = 0;              ///< Compression threads; 0: one per core.
    /// ZIP: the time every entry carries, in seconds since 1970-01-01 UTC
    /// (SOURCE_DATE_EPOCH); none: 1980-01-01 00:00.
    std::optional<std::int64_t> timestamp;
};

/// The files of a package, in the order they are to be stored.
struct PackPlan {
    std::vector<PackFile> files;
    PackSettings settings;
    /// The user's order, one stored name a line, as --list shows them: a WAD
    /// places its markers by it; other kinds have their files in it already.
    std::vector<std::string> order;
};

/// A plan, or why there is none.
struct PlanOutcome {
    PackPlan plan;
    std::optional<std::string> failure;
};

/// Walks `dir` recursively and plans every file taken by `select` (all when
/// empty), named relative to `dir`, for a package of `settings.kind`. Order:
/// `order`'s names first, in its order, then the rest in byte order of their
/// names (a WAD's writer places them itself). Refused, by name: an
/// unreadable directory, a link that leads out of `dir` or to a directory,
/// something that is neither file nor directory, an `order` line with a ".."
/// component or (but for a WAD, whose lines are lump names) naming no file
/// taken, and `outPath` inside `dir`.
PlanOutcome PlanPackage(const std::string& dir, const std::string& outPath,
                        const std::function<bool(std::string_view)>& select,
                        std::vector<std::string> order, const PackSettings& settings);

/// A file a writer creates, written through a buffer; the first failure is
/// kept and every later write does nothing.
class PackSink {
public:
    virtual ~PackSink() = default;
    virtual bool Write(std::span<const unsigned char> bytes) = 0;
    bool Write(std::string_view bytes) {
        return Write({reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()});
    }
    /// Bytes written so far.
    virtual std::uint64_t Position() const = 0;
};

/// Where a writer puts the package and, for kinds that split, its parts.
class PackOutput {
public:
    virtual ~PackOutput() = default;
    /// The package's final file name (no directory): "mod.pak".
    virtual const std::string& PackageName() const = 0;
    /// Creates the file `fileName` beside the package (the package itself
    /// when it is PackageName()); null when it cannot be created.
    virtual PackSink* Create(const std::string& fileName) = 0;
    /// Why the last write or creation failed, naming the file.
    virtual std::string Failure() const = 0;
};

/// Hands the bytes of `file` to `each` in pieces of at most 1 MiB. Nullopt
/// when all `file.size` bytes came, and no more; otherwise why not (the file
/// cannot be read or changed since it was planned). When `each` returns
/// false the reading stops and "stopped" is returned: the caller knows why.
std::optional<std::string>
ReadPackFile(const PackFile& file, const std::function<bool(std::span<const unsigned char>)>& each);

/// The format that writes packages by the name --format takes, or of
/// `kind`: the table of formats' entries that have a writer (Formats.h;
/// the entries a WAD's markers add count, see WriterFunction). Null for any
/// other name or kind.
const PackageFormat* FindPackFormat(std::string_view name);
const PackageFormat* FindPackFormat(PackageKind kind);

/// What WritePackage did.
struct PackOutcome {
    bool written = false;
    std::uint64_t files = 0;
    std::optional<std::string> failure; ///< The cause, naming what failed.
};

/// Writes `plan` to `outPath` through its kind's writer: into a temporary
/// directory beside `outPath`, then read back in full with the tool's own
/// reader (with `verify`: the keys it needs), then renamed into place.
/// On failure nothing is left: no package, no part, no temporary file.
PackOutcome WritePackage(const PackPlan& plan, const std::string& outPath,
                         const ReadOptions& verify);

/// The settings of a package the game already loads, for --like.
struct LikeOutcome {
    PackSettings settings;
    std::string description; ///< What was copied: "version 11, mount point ../../../, Zlib".
    std::optional<std::string> failure;
};

/// Reads the package at `reference` (with `options`' keys) and copies what a
/// game cares about: its kind; an Unreal pak's version, mount point,
/// compression method and block size, encryption; a VPK's version and
/// whether it has parts; IWAD or PWAD; a ZIP's method (Deflate or stored).
/// `keyGiven`: the user gave --aes-key, which a reference that is not
/// encrypted refuses (the game would not read an encrypted pak where it
/// reads plain ones).
LikeOutcome ReadLikeSettings(const std::string& reference, const ReadOptions& options,
                             bool keyGiven);

} // namespace Kestrune
