#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace Kestrune {

/// The file that holds a run of an entry's bytes: the package itself, or a
/// numbered part file beside it (a VPK directory's pak01_003.vpk is part 3).
inline constexpr std::uint32_t kPackageFile = 0xFFFFFFFFu;

/// `length` stored bytes at `offset` in one file.
struct DataRun {
    std::uint32_t file = kPackageFile;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

/// How the stored bytes become the entry's content.
enum class ContentEncoding : std::uint8_t {
    Stored, ///< The runs are the content, unconverted.
};

/// Where an entry's content comes from. Most kinds store it as one run in the
/// package; a VPK entry may begin with bytes kept in its directory file and go
/// on in a numbered part. The runs are read one after the other, and the
/// checksum, when the package stores one, covers the whole content.
struct EntryContent {
    std::array<DataRun, 2> runs{};
    std::uint8_t runCount = 0;
    ContentEncoding encoding = ContentEncoding::Stored;
    std::optional<std::uint32_t> crc32;

    /// Content stored as one run of the package file.
    static EntryContent InPackage(std::uint64_t offset, std::uint64_t length) {
        EntryContent content;
        content.runs[0] = {kPackageFile, offset, length};
        content.runCount = 1;
        return content;
    }
    void Append(const DataRun& run) { runs[runCount++] = run; }
};

/// One entry of a package listing, as the package stores it.
struct ArchiveEntry {
    std::string name;                 ///< Raw bytes of the stored name, NUL bytes included.
    std::uint64_t offset = 0;         ///< First data byte, from the start of the package.
    std::uint64_t compressedSize = 0; ///< Bytes the entry occupies in the package, as stored.
    std::uint64_t size = 0;           ///< Bytes of content: what is listed and extracted.
    std::string compression = "None"; ///< No package kind read here stores a method.
    bool reservedFlag = false;
    EntryContent content; ///< Where the `size` bytes of content lie.
};

/// One entry as the index is being read, for listings too large to hold:
/// `name` refers to the reader's buffer and is valid only during the call
/// that receives it.
struct EntryView {
    std::string_view name;
    std::uint64_t offset = 0;
    std::uint64_t compressedSize = 0;
    std::uint64_t size = 0;
    EntryContent content;
};

using EntryVisitor = std::function<void(const EntryView&)>;

/// The kind of directory the readers found in a file. Unlike ArchiveType,
/// which looks at the first four bytes alone, this says which reader listed
/// the entries: a file ending in the PAK footer is `Pak` whatever its first
/// bytes, a "PACK" file is `Pack`, and `None` means no directory of any kind
/// the tool reads.
enum class PackageKind : std::uint8_t { None, Pak, Wad, Vpk, Pack };

/// What a walk over a package's directory found: how many entries it handed
/// over, and which kind of directory the file holds (`None` when none the
/// tool reads: such a file lists no entries, as does an empty package).
struct DirectoryWalk {
    std::uint64_t visited = 0;
    PackageKind kind = PackageKind::None;
    bool found() const { return kind != PackageKind::None; }
};

/// Package kind, decided by the signature in the first four bytes.
enum class ArchiveType : std::uint32_t {
    Pak = 0,        ///< Opened, neither WAD nor VPK: taken to be a footer-indexed container.
    Vpk = 1,        ///< Starts with the VPK signature.
    Wad = 2,        ///< Starts with "IWAD" or "PWAD".
    OpenFailed = 4, ///< Could not be opened for reading as a file.
};

} // namespace Kestrune
