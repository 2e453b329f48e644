#pragma once

// Unreal Engine IoStore containers (UE 4.25 to 6.0): a table of contents,
// X.utoc, and its data in partitions X.ucas, X_s1.ucas, X_s2.ucas, ...
//
//   .utoc sections, back to back (brackets: only in some versions or flags)
//     header (144 bytes)
//       16 magic "-==--==--==--==-"   u8 version (1-10)   3 reserved
//       u32 header size (144)   u32 chunk count   u32 block count
//       u32 block entry size (12)   u32 method name count
//       u32 method name length (32)   u32 block size   u32 directory index size
//       u32 partition count (3+)   u64 container id   16 key GUID (4 x u32)
//       u8 flags (1 compressed, 2 encrypted, 4 signed, 8 indexed, 16 on demand)
//       u8 encryption method (10+: 1 AES-ECB, 2 AES-CTR)   2 reserved
//       u32 perfect hash seed count (4+)   u64 partition size (3+)
//       u32 chunks without perfect hash (5+)   u32 source hash count (9+)
//       u32 IV count (10+)   36 reserved
//     chunk ids            12 x chunks: u64 id, u16 index (big-endian), 1
//                          padding, u8 chunk type
//     offsets and lengths  10 x chunks: 40-bit big-endian offset, then
//                          length, in the uncompressed address space
//     [seeds]              4 x seed count (4+)
//     [overflow indices]   4 x count (5+)
//     blocks               12 x blocks: 40-bit LE offset, 24-bit LE stored
//                          size, 24-bit LE size, u8 method (0 none, k: name k-1)
//     [IVs]                12 x IV count (10+, AES-CTR): block i's, then
//                          the directory index's
//     method names         name count x 32, NUL-padded ASCII
//     [signatures]         i32 hash size, 2 x hash size, 20 x blocks (signed)
//     [directory index]    directory index size bytes (2+, indexed; AES
//                          padded when encrypted): FString mount point,
//                          {u32 name, first child, next sibling, first file}[],
//                          {u32 name, next file, chunk index}[], FString[]
//     chunk metas          33 x chunks (<= 7) or 24 x chunks (8+): the first
//                          20 bytes of the BLAKE3 of the chunk's bytes, flags
//     [on-demand metas]    20 x chunks + 20 x blocks (version 6, on demand)
//
// Block i covers bytes [i x block size, i x block size + its size) of the
// address space; a chunk takes the blocks its bytes fall in. A block's
// offset splits into a partition (offset / partition size) and a place in
// it. Encrypted blocks are AES-256 over their stored size rounded up to 16.
// 0xFFFFFFFF is "none" in every directory index field.

#include "ArchiveEntry.h"
#include "ByteSource.h"
#include "ReadOptions.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace Kestrune::IoStore {

inline constexpr std::string_view kMagic = "-==--==--==--==-";
inline constexpr std::uint32_t kNewestVersion = 10;

// The end of the note that counts a container's zen packages; the caller
// puts the package's path before it.
inline constexpr std::string_view kZenNote =
    ".uasset/.umap entries are zen packages (IoStore's cooked form), not legacy packages";

// True when the file starts with the IoStore table-of-contents magic.
bool IsToc(ByteSource& source);

// Reads the file as an IoStore table of contents: every chunk is an entry,
// those the directory index names first, in its order, then the others in
// table order. Not found() when the file is no TOC; a refusal when it is
// one the tool will not read. The whole table is checked before the first
// entry is visited, and `announce` hears their number then.
DirectoryWalk VisitContainer(ByteSource& source, const EntryVisitor& visit, std::uint64_t limit,
                             const ReadOptions& options, const CountAnnouncer* announce = nullptr);

// Partition `part` of the container whose TOC is at `tocPath`: X.utoc has
// X.ucas (part 0), X_s1.ucas, X_s2.ucas, ...
std::string PartPath(const std::string& tocPath, std::uint32_t part);

// The TOC of the container whose first partition is `path` (X.utoc for
// X.ucas) when that file exists; `path` itself otherwise.
std::string TocPathFor(const std::string& path);

// Names the container's file in its note on zen packages.
void AnnotateContainer(const std::string& path, const ReadOptions& options, DirectoryWalk& walk);

} // namespace Kestrune::IoStore
