#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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
    Pieces, ///< The content is a slice of decoded pieces (below).
};

/// The codec that turns a piece's stored bytes into its decoded bytes.
enum class Codec : std::uint8_t {
    Stored,    ///< The stored bytes, unconverted.
    Zlib,      ///< RFC 1950.
    Gzip,      ///< RFC 1952.
    Deflate,   ///< Raw RFC 1951.
    Lz4,       ///< One LZ4 block (LZ4 and LZ4HC write the same).
    Lzma,      ///< Raw LZMA1 after its 5 property bytes.
    LzmaAlone, ///< The .lzma "alone" header (properties, then a 64-bit size), then LZMA1.
    Zstd,      ///< One or more Zstandard frames.
    Oodle,     ///< Decoded by the user's own Oodle library, loaded at run time.
    BZip2,     ///< One bzip2 stream.
    Xz,        ///< One .xz stream.
    LzmaZip,   ///< ZIP's LZMA framing: 2 version bytes, a 16-bit property size (5), then raw LZMA1.
    Brotli,    ///< One Brotli stream (RFC 7932).
};

/// One stored unit of content: `storedLength` bytes at `offset` in `file`,
/// decrypted first when `encrypted` (AES-256-ECB with the package's key; the
/// stored length is then a multiple of 16, of which the codec reads
/// `codedLength`), then decoded by `codec` into exactly `decodedLength`
/// bytes. Anything else is damage to the entries that use the piece.
struct Piece {
    std::uint64_t offset = 0;
    std::uint64_t storedLength = 0;
    std::uint64_t codedLength = 0; ///< Bytes the codec reads; storedLength unless encrypted.
    std::uint64_t decodedLength = 0;
    std::uint32_t file = kPackageFile;
    Codec codec = Codec::Stored;
    bool encrypted = false;
    /// Encrypted with AES-256-CTR instead of ECB: the stream of `ctrIv`,
    /// whose block number `ctrBlock` is the piece's first stored byte's.
    bool ctr = false;
    std::array<unsigned char, 12> ctrIv{};
    std::uint64_t ctrBlock = 0;
};

/// What the entries of one package share: the pieces they refer to by range
/// (a Unity bundle's block list, read once, serves every file in it) and the
/// key that decrypts encrypted pieces. Held once per package, or per group of
/// entries, never copied per entry.
struct SharedContent {
    std::vector<Piece> pieces;
    std::optional<std::array<unsigned char, 32>> aesKey;
    /// When not empty, encrypted pieces are AES-256-CTR rather than ECB,
    /// piece i with the 12-byte IV ctrIvs[i] (an IoStore container of TOC
    /// version 10).
    std::vector<std::array<unsigned char, 12>> ctrIvs;
    /// Non-empty when the entries that refer to this content cannot be read
    /// at all (blocks that overlap, or lie in a file the package lacks): why.
    std::string unreadable;
};

/// Where an entry's content comes from. Most kinds store it as one run in the
/// package; a VPK entry may begin with bytes kept in its directory file and go
/// on in a numbered part. The runs are read one after the other, and the
/// checksum, when the package stores one, covers the whole content.
///
/// With ContentEncoding::Pieces the content is instead `size` bytes of the
/// decoded stream of shared->pieces[firstPiece, firstPiece + pieceCount),
/// from `skip` bytes into the first piece's decoded bytes: an Unreal entry's
/// blocks (skip 0), or a Unity file's range of its bundle's block stream.
struct EntryContent {
    std::array<DataRun, 2> runs{};
    std::uint8_t runCount = 0;
    ContentEncoding encoding = ContentEncoding::Stored;
    std::optional<std::uint32_t> crc32;
    /// Non-empty when the reader knows the content cannot be read (an
    /// encryption the tool does not decrypt, bytes that other entries share):
    /// why, as static text. Reading the entry fails with it.
    std::string_view refusal;
    /// SHA-1 of the entry's stored bytes, as an Unreal pak keeps it: of
    /// every stored byte of its runs or pieces, except that an encrypted
    /// piece without a codec is hashed only to its coded length (the AES
    /// padding after an uncompressed entry lies outside the hash).
    std::optional<std::array<unsigned char, 20>> storedSha1;
    /// Where in the package file that SHA-1 lies, when the index does not
    /// keep it (an Unreal entry's in-data header): read with the content.
    std::optional<std::uint64_t> storedSha1At;
    /// The first 20 bytes of the BLAKE3 of the content, as an IoStore
    /// container keeps it for every chunk.
    std::optional<std::array<unsigned char, 20>> blake3;

    std::shared_ptr<const SharedContent> shared;
    std::uint32_t firstPiece = 0;
    std::uint32_t pieceCount = 0;
    std::uint64_t skip = 0;

    /// Content stored as one run of the package file.
    static EntryContent InPackage(std::uint64_t offset, std::uint64_t length) {
        EntryContent content;
        content.runs[0] = {kPackageFile, offset, length};
        content.runCount = 1;
        return content;
    }
    void Append(const DataRun& run) { runs[runCount++] = run; }
    /// The pieces this content is a slice of; empty for stored runs.
    std::span<const Piece> Pieces() const {
        if (encoding != ContentEncoding::Pieces || !shared) {
            return {};
        }
        return std::span<const Piece>(shared->pieces).subspan(firstPiece, pieceCount);
    }
};

/// One entry of a package listing, as the package stores it.
struct ArchiveEntry {
    std::string name;                 ///< Raw bytes of the stored name, NUL bytes included.
    std::uint64_t offset = 0;         ///< First data byte, from the start of the package.
    std::uint64_t compressedSize = 0; ///< Bytes the entry occupies in the package, as stored.
    std::uint64_t size = 0;           ///< Bytes of content: what is listed and extracted.
    std::string compression = "None"; ///< The method by name: "None", "Zlib", "LZ4", ...
    bool reservedFlag = false;
    EntryContent content;   ///< Where the `size` bytes of content lie.
    bool encrypted = false; ///< Some of its stored bytes are encrypted.
    std::string folder;     ///< As EntryView::folder.
};

/// One fact about an entry that --list-json shows beside the common ones,
/// where a kind has more to say (an IoStore chunk's id and type): a member
/// name and a text, a number, or `true`.
struct EntryFact {
    enum class Form : std::uint8_t { Text, Number, True };
    std::string_view name;
    Form form = Form::Text;
    std::string_view text;
    std::uint64_t number = 0;
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
    std::string_view compression = "None"; ///< As ArchiveEntry::compression; static text.
    bool encrypted = false;
    /// The folder a tree extraction puts the entry in, ending in "/", where
    /// the package groups entries without storing directories in their names
    /// (a WAD's map and namespace markers); empty otherwise. Valid as `name`.
    std::string_view folder;
    /// Non-empty when the reader itself found the entry damaged while it
    /// checked what the package keeps twice (an Unreal entry's in-data header
    /// against its index record): the reason. Static text.
    std::string_view damage;
    /// The entry's modification time as the package stores it, as text
    /// ("2024-05-01 12:30:58"); empty for kinds that keep none. Valid as `name`.
    std::string_view modified;
    /// What --list-json adds for this entry; valid as `name`.
    std::span<const EntryFact> facts;
};

using EntryVisitor = std::function<void(const EntryView&)>;
/// Told how many entries a walk is about to hand over, before the first of
/// them, by a reader that has checked its whole directory by then (an
/// Unreal pak); readers that learn the number only at the end never call it.
using CountAnnouncer = std::function<void(std::uint64_t count)>;

/// The kind of directory the readers found in a file. Unlike ArchiveType,
/// which looks at the first four bytes alone, this says which reader listed
/// the entries: a file ending in the PAK footer is `Pak` whatever its first
/// bytes, a "PACK" file is `Pack`, and `None` means no directory of any kind
/// the tool reads.
enum class PackageKind : std::uint8_t {
    None,
    Pak,
    Wad,
    Vpk,
    Pack,
    Unreal,
    Unity,
    Zip,
    IoStore,
    UnitySerialized, ///< A standalone Unity serialized file: its objects are its entries.
    UnityWebData,    ///< A Unity WebGL data container, plain or compressed whole.
};

/// What a walk over a package's directory found: how many entries it handed
/// over, and which kind of directory the file holds (`None` when none the
/// tool reads: such a file lists no entries, as does an empty package).
struct DirectoryWalk {
    std::uint64_t visited = 0;
    PackageKind kind = PackageKind::None;
    /// Non-empty when the file is of a kind the tool knows but will not read
    /// (an Unreal pak of an unknown version, an encrypted index without its
    /// key): the reason in words. No entries are handed over then.
    std::string refusal;
    /// Things the user should know about the package, one line each, for
    /// standard error (a key that would open more of it, companion files the
    /// tool does not read).
    std::vector<std::string> notes;
    /// What a check (ReadOptions::checkEntryHeaders) found wrong with the
    /// package as a whole, one reason each (an index that does not match its
    /// hash): --test fails the package for them, while a listing or an
    /// extraction reads the entries all the same.
    std::vector<std::string> damage;
    /// Facts about the whole package that --list-json shows, by member name
    /// ("mount_point", "engine_version"), as UTF-8 text.
    std::vector<std::pair<std::string, std::string>> properties;
    bool found() const { return kind != PackageKind::None; }
    /// `visited` entries of a directory of `kind`, with nothing more to say.
    static DirectoryWalk Of(std::uint64_t visited, PackageKind kind) {
        DirectoryWalk walk;
        walk.visited = visited;
        walk.kind = kind;
        return walk;
    }
};

/// Package kind, decided by the signature in the first four bytes.
enum class ArchiveType : std::uint32_t {
    Pak = 0,        ///< Opened, neither WAD nor VPK: taken to be a footer-indexed container.
    Vpk = 1,        ///< Starts with the VPK signature.
    Wad = 2,        ///< Starts with "IWAD" or "PWAD".
    OpenFailed = 4, ///< Could not be opened for reading as a file.
};

} // namespace Kestrune
