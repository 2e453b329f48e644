#pragma once

// WAD file (IWAD and PWAD alike).
//
//   Header (12 bytes at offset 0)
//     char signature[4]  "IWAD" or "PWAD"
//     u32  lump count
//     u32  directory offset
//
//   Directory (lump count records of 16 bytes at the directory offset)
//     u32  lump data position
//     u32  lump size
//     char name[8]       padded with NUL; the name ends at the first NUL
//
// All integers little-endian and unsigned: 0x80000000 is 2 GiB into the file.
//
// Lumps have no directories; a tree extraction shows them as WAD editors do.
// A map marker ("MAPxx", "ExMy", followed by THINGS or TEXTMAP) puts the map
// lumps after it (THINGS, LINEDEFS, ... ENDMAP) under "MAPxx/", up to the
// first lump that is none. Between the namespace markers S_START and S_END
// (or SS_), F_ and FF_, P_ and PP_, lumps go under "sprites/", "flats/" and
// "patches/", inner markers such as P1_START with them. Markers themselves
// have no folder.

#include "ArchiveEntry.h"
#include "ByteSource.h"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace Kestrune::Wad {

inline constexpr std::size_t kHeaderSize = 12;
inline constexpr std::size_t kDirectoryRecordSize = 16;
inline constexpr std::size_t kLumpNameSize = 8;

// "MAPxx" (two digits or more) or "ExMy", as Doom-engine games name maps.
bool HasMapName(std::string_view name);

// The lumps that make up a map after its marker: the binary Doom and Hexen
// formats, and the text format (TEXTMAP up to ENDMAP).
bool IsMapLump(std::string_view name);

// Hands the lump directory's records, in record order, to `visit` one by one
// as they are read, at most `limit` of them. Stops at the first record that
// the file cannot hold in full. Found when the header is whole and the
// directory starts inside the file.
DirectoryWalk VisitDirectory(ByteSource& source, const EntryVisitor& visit,
                             std::uint64_t limit = UINT64_MAX);

} // namespace Kestrune::Wad
