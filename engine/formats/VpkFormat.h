#pragma once

// VPK directory, versions 1 and 2 (a single-file VPK, or the _dir.vpk file of
// a VPK whose data lies in numbered parts pak01_000.vpk, pak01_001.vpk, ...).
//
//   Header (12 bytes, 28 for version 2)
//     u32 signature   0x55AA1234 (bytes 34 12 AA 55)
//     u32 version     1 or 2
//     u32 tree size   bytes of the tree that follows the header
//     version 2 only: u32 file data, archive MD5, other MD5 and signature
//                     section sizes (not needed to read the entries)
//
//   Tree: three nested lists of NUL-terminated strings, each list ended by an
//   empty string: extensions; for each, directory paths; for each, file
//   names. A single space stands for "no extension" or "the root". After each
//   file name:
//     u32 CRC32            of the whole content
//     u16 preload bytes    kept in the tree, right after this record
//     u16 archive index    0x7FFF: the data follows the tree in this file;
//                          otherwise the number of the part file
//     u32 entry offset     in the part, or from the end of the tree
//     u32 entry length     bytes in the part
//     u16 terminator       0xFFFF
//     the preload bytes
//   An entry's content is its preload bytes, then its entry length bytes.
//
// All integers little-endian. Only a tree that parses completely inside its
// declared size is listed; anything else lists nothing.

#include "ArchiveEntry.h"
#include "ByteSource.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace Kestrune::Vpk {

inline constexpr std::uint64_t kHeaderSizeV1 = 12;
inline constexpr std::uint64_t kHeaderSizeV2 = 28;
inline constexpr std::size_t kRecordSize = 18;
inline constexpr std::uint16_t kInDirectoryFile = 0x7FFF;
inline constexpr std::uint16_t kTerminator = 0xFFFF;

// Hands the tree's entries, in tree order, to `visit` one by one, at most
// `limit` of them. The whole tree is checked before the first entry is
// handed over: a malformed one gives none and is not found.
DirectoryWalk VisitTree(ByteSource& source, const EntryVisitor& visit,
                        std::uint64_t limit = UINT64_MAX);

// The file name of numbered part `part` of the VPK at `directoryPath`:
// "pak01_dir.vpk" has parts "pak01_000.vpk", "pak01_001.vpk", ...
std::string PartPath(const std::string& directoryPath, std::uint32_t part);

// A file name `<stem>_<three digits>.vpk` is a part of the VPK whose
// directory file is `<stem>_dir.vpk`, where the entries are listed: that
// name, or empty for any other name.
std::string DirectoryOf(std::string_view fileName);

} // namespace Kestrune::Vpk
