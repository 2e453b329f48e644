#pragma once

// PAK container: no header, entry data first, then an index, then a fixed
// 44-byte footer that is always the last 44 bytes of the file.
//
//   Footer (44 bytes at file size - 44)
//     u32 magic         0x5A6F12E1 (bytes E1 12 6F 5A); anything else: no entries
//     u32 version       8 when written; not read
//     u64 index offset  absolute position of the index
//     u64 index size    bytes from the index offset to the footer; not read
//     u8  reserved[20]  0xAB each when written; not read
//
//   Index (at the index offset)
//     u32 entry count
//     entry count records of 28 bytes plus the name:
//       u32 name length, name bytes (no terminator, NUL bytes allowed),
//       u64 offset, u64 stored size, u64 size
//
// All integers little-endian. The reader trusts nothing but the footer's
// place: regions need not be contiguous or in this order.

#include "ArchiveEntry.h"
#include "ByteSource.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Kestrune::Pak {

inline constexpr std::uint64_t kFooterSize = 44;
inline constexpr std::uint32_t kFooterMagic = 0x5A6F12E1;
inline constexpr std::uint32_t kFooterVersion = 8;
inline constexpr std::size_t kReservedSize = 20;
inline constexpr unsigned char kReservedFill = 0xAB;
inline constexpr std::uint64_t kRecordFixedSize = 28;

// True when the last 44 bytes begin with the footer magic: such a file is a
// PAK container whatever its first bytes are.
bool HasFooter(ByteSource& source);

// Hands the records of the index that the footer points to, in record order,
// to `visit` one by one as they are read, at most `limit` of them. Stops at
// the first record that the package cannot hold in full. Found only when the
// footer is there and the index's entry count lies inside the file.
DirectoryWalk VisitIndex(ByteSource& source, const EntryVisitor& visit,
                         std::uint64_t limit = UINT64_MAX);

} // namespace Kestrune::Pak
