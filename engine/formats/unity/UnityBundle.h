#pragma once

// Unity asset bundles: UnityFS (archive formats 6, 7, 8) and the older
// UnityWeb and UnityRaw files. Every number is big-endian.
//
//   UnityFS header
//     cstr signature        "UnityFS" ("UnityWeb"/"UnityRaw" with format >= 6:
//                           the same layout plus one byte after the flags)
//     u32  format           6, 7 or 8; 9 (blocks that record their own
//                           offsets) is refused
//     cstr player version   "5.x.x", unused
//     cstr engine version   "2018.4.4f1"; "0.0.0" when stripped
//     u64  size             bytes of the whole file
//     u32  block info stored size, u32 block info decoded size
//     u32  flags            0x3F block info codec (0 none, 1 LZMA, 2 LZ4,
//                           3 LZ4HC, 4 LZHAM), 0x40 block info and directory
//                           together (always), 0x80 block info at the end of
//                           the file, 0x100 web plugin header byte, 0x200 and
//                           0x400/0x1000 by engine version (below)
//     zero bytes to a multiple of 16 from the file start when format >= 7, or
//     format 6 from engine 2019.4.15 to 2019.4.x
//
//   Flags 0x200: from engine 2020.3.34, 2021.3.2 and 2022.1.1 on (and every
//   later major version) the blocks start at a multiple of 16 after the
//   block info, and 0x400 or 0x1000 mark encryption; before those versions
//   0x200 itself marks encryption (UnityCN). Unknown engine version with
//   0x200 set cannot be read either way and is refused.
//
//   Block info (after the header, or the last `stored size` bytes of the
//   file with 0x80), decoded to exactly its declared size
//     16 bytes  hash (zero, unchecked)
//     i32  block count; per block: u32 decoded size, u32 stored size,
//          u16 flags (0x3F codec as above, 0x40 streamed, 0x100 encrypted)
//     i32  node count; per node: i64 offset, i64 size (in the decoded data),
//          u32 flags (4: serialized file), cstr path
//     up to 15 zero bytes of padding
//
//   Blocks follow each other without gaps from their start to the end of
//   the file (or to the block info at its end); their decoded bytes, one
//   after the other, are the data that node offsets index.
//
//   UnityWeb / UnityRaw, formats 1 to 5
//     cstr signature, u32 format, cstr player version, cstr engine version,
//     (format >= 4) 16 bytes hash + u32 crc, u32 minimum streamed bytes,
//     u32 header size, u32 levels before streaming, i32 level count >= 1,
//     per level u32 stored end + u32 decoded end (cumulative), (format >= 2)
//     u32 complete file size, (format >= 3) u32 directory size
//     payload at `header size`: the last level's stored end bytes, one .lzma
//     stream (UnityWeb) or stored (UnityRaw), decoding to the last level's
//     decoded end; it starts with the directory: i32 node count, per node
//     cstr path, u32 offset, u32 size (from the payload start), then zero
//     padding to a multiple of 4.

#include "ArchiveEntry.h"
#include "ByteSource.h"
#include "ReadOptions.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace Kestrune::Unity {

inline constexpr std::uint32_t kNodeSerializedFile = 4;

// One file of a bundle, as its directory holds it.
struct BundleNode {
    std::string_view path; ///< Into Bundle::directory.
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::uint32_t flags = 0;
    /// Whether the bundle says the node is a serialized file: UnityFS nodes
    /// flag it; UnityWeb and UnityRaw directories do not, so readers test.
    bool flaggedSerialized = false;
    bool flagsKnown = true;
    EntryContent content;
    std::uint64_t storedSize = 0;
    std::string_view compression;
};

// What a bundle's header and directory hold, read and checked whole before
// any entry is handed over.
struct Bundle {
    DirectoryWalk walk; ///< kind Unity; refusal when the bundle is not read
    std::string engineVersion;
    std::vector<unsigned char> directory; ///< the decoded block info or directory
    std::vector<BundleNode> nodes;
    /// A standalone file's objects that globalgamemanagers beside it names
    /// by the ResourceManager's container: (path ID, key).
    std::vector<std::pair<std::int64_t, std::string>> containerNames;
};

// True when the file starts with one of Unity's bundle signatures.
bool HasSignature(ByteSource& source);

// Reads the bundle's header and directory. A bundle that cannot be read
// whole comes back with kind Unity, the reason in `walk.refusal`, no nodes.
Bundle ReadBundle(ByteSource& source, const ReadOptions& options = {});

// Hands the nodes, in stored order, to `visit` as entries, at most `limit`.
DirectoryWalk VisitBundle(ByteSource& source, const EntryVisitor& visit, std::uint64_t limit,
                          const ReadOptions& options);

} // namespace Kestrune::Unity
