#pragma once

// ZIP archives, under every name games give them: .pk3 (Quake III and its
// family, the Doom ports), .pk4 (Doom 3, Quake 4), .ipk3, .pke, .wz
// (Warzone 2100), .iwd (Call of Duty), CryEngine's .pak, plain .zip.
//
//   [prefix] ([local header | stored bytes | [data descriptor]] ...)
//   [central directory] [ZIP64 end record] [ZIP64 locator] [end record]
//
//   End record (22 bytes plus its comment; the last one in the file, found by
//   searching back at most 65,535 + 22 bytes from the end)
//     u32 signature "PK\5\6"  u16 this disk  u16 directory's disk
//     u16 records on this disk  u16 records  u32 directory size
//     u32 directory offset  u16 comment length, comment
//   ZIP64 locator (20 bytes just before the end record)
//     u32 signature "PK\6\7"  u32 disk  u64 ZIP64 end record offset  u32 disks
//   ZIP64 end record (56 bytes and more)
//     u32 signature "PK\6\6"  u64 size of what follows  u16 made by
//     u16 needed  u32 disk  u32 directory's disk  u64 records on this disk
//     u64 records  u64 directory size  u64 directory offset
//   A 32-bit field of the end record holding all ones (0xFFFF for counts)
//   defers to its ZIP64 twin; any other value must equal it.
//
//   Central directory record (46 bytes, then name, extra fields, comment)
//     u32 signature "PK\1\2"  u16 made by  u16 needed  u16 flags  u16 method
//     u16 time  u16 date (MS-DOS)  u32 CRC-32  u32 stored size  u32 size
//     u16 name length  u16 extra length  u16 comment length  u16 disk
//     u16 internal attributes  u32 external attributes  u32 local header offset
//   Local header (30 bytes, then name and extra fields, then the stored bytes)
//     u32 signature "PK\3\4"  u16 needed  u16 flags  u16 method  u16 time
//     u16 date  u32 CRC-32  u32 stored size  u32 size  u16 name length
//     u16 extra length
//   Extra fields: u16 id, u16 length, data. 0x0001 ZIP64: the 64-bit size,
//   stored size, local header offset and u32 disk, each present only when
//   its 32-bit field holds all ones, in that order. 0x9901 WinZip AES:
//   u16 version, "AE", u8 strength, u16 the real method.
//   Data descriptor (after the stored bytes, with flag 3): ["PK\7\8"]
//   u32 CRC-32, stored size, size (u32 each, u64 each with ZIP64).
//   Flags: 0 encrypted, 3 sizes and CRC in a data descriptor after the
//   stored bytes (the local header's are then zero), 6 strong encryption,
//   11 name in UTF-8 (otherwise code page 437).
//   Methods: 0 stored, 8 deflate, 9 Deflate64, 12 bzip2, 14 LZMA (ZIP's
//   framing), 93 Zstandard, 95 XZ, 99 WinZip AES (real method in 0x9901).
//
// All integers little-endian; offsets count from the archive's start, which
// lies after any prefix (a self-extractor's program): the reader finds the
// prefix by where the central directory really is. The central directory is
// authoritative for names, sizes and offsets; each local header is checked
// against it.

#include "ArchiveEntry.h"
#include "ByteSource.h"
#include "ReadOptions.h"

#include <cstddef>
#include <cstdint>

namespace Kestrune::Zip {

inline constexpr std::uint32_t kLocalSignature = 0x04034B50;        // "PK\3\4"
inline constexpr std::uint32_t kCentralSignature = 0x02014B50;      // "PK\1\2"
inline constexpr std::uint32_t kEndSignature = 0x06054B50;          // "PK\5\6"
inline constexpr std::uint32_t kZip64EndSignature = 0x06064B50;     // "PK\6\6"
inline constexpr std::uint32_t kZip64LocatorSignature = 0x07064B50; // "PK\6\7"
inline constexpr std::uint32_t kDescriptorSignature = 0x08074B50;   // "PK\7\8"
inline constexpr std::size_t kEndSize = 22;
inline constexpr std::size_t kZip64LocatorSize = 20;
inline constexpr std::size_t kZip64EndSize = 56;
inline constexpr std::size_t kCentralSize = 46;
inline constexpr std::size_t kLocalSize = 30;
inline constexpr std::uint64_t kLongestComment = 0xFFFF;

// True when the file holds an end record whose central directory is where it
// says (the cheap part of VisitArchive, without reading the directory).
bool IsArchive(ByteSource& source);

// Hands every file entry of the central directory, in its order, to `visit`,
// at most `limit` of them; directory entries are not entries. The whole
// directory and every local header are read before the first entry is
// visited, and `announce` (when given) hears their number then. Found when an
// end record is found whose directory parses; a refusal when its ZIP64
// records contradict it.
DirectoryWalk VisitArchive(ByteSource& source, const EntryVisitor& visit, std::uint64_t limit,
                           const ReadOptions& options, const CountAnnouncer* announce = nullptr);

} // namespace Kestrune::Zip
