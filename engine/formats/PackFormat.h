#pragma once

// "PACK" file, the package of early first-person shooters.
//
//   Header (12 bytes at offset 0)
//     char signature[4]   "PACK"
//     u32  directory offset
//     u32  directory length  in bytes, a whole number of records
//
//   Directory (directory length / 64 records of 64 bytes)
//     char name[56]   padded with NUL; the name ends at the first NUL
//     u32  offset     absolute position of the entry's data
//     u32  size
//
// All integers little-endian. Only a directory that lies wholly inside the
// file and holds whole records is read; anything else lists nothing.

#include "ArchiveEntry.h"
#include "ByteSource.h"

#include <cstddef>
#include <cstdint>

namespace Kestrune::Pack {

inline constexpr std::uint32_t kSignature = 0x4B434150; // "PACK"
inline constexpr std::size_t kHeaderSize = 12;
inline constexpr std::size_t kRecordSize = 64;
inline constexpr std::size_t kNameSize = 56;

// Hands the directory's records, in record order, to `visit` one by one, at
// most `limit` of them. Found when the file starts with "PACK" and its
// directory checks out.
DirectoryWalk VisitDirectory(ByteSource& source, const EntryVisitor& visit,
                             std::uint64_t limit = UINT64_MAX);

} // namespace Kestrune::Pack
