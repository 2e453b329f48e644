#pragma once

// Unreal Engine .pak files, pak versions 1 to 11.
//
//   [entry: in-data header | payload] ... [index] ([path hash index]
//   [full directory index]) [footer]
//
//   Footer (ends the file; fields in file order, brackets: only in some versions)
//     [16 key GUID] (7+)  [u8 encrypted-index flag] (4+)  u32 magic 0x5A6F12E1
//     u32 version  i64 index offset  i64 index size  20 index SHA-1
//     [u8 frozen flag] (9)  [32-byte compression names × 4 (8a) or 5 (8b-11)]
//     Footer sizes: 44 (1-3), 45 (4-6), 61 (7), 189 (8a), 221 (8b, 10, 11),
//     222 (9); the magic lies 44 bytes from the end for 1-7, 172 for 8a,
//     204 for 8b/10/11, 205 for 9.
//
//   Index, versions 1-9: FString mount point, i32 count, count × {FString
//   name, record}. Versions 10-11: primary index (mount point, count, path
//   hash seed, the path hash and full directory indexes' places and SHA-1s,
//   the encoded-entries blob, the non-encoded records); the full directory
//   index gives the names and each name's location in the blob or the
//   record list.
//
//   Record: i64 offset (of the in-data header), i64 stored size, i64 size,
//   compression (u32 legacy flags 1-7, u8 method index 8a, u32 index 8b+),
//   [i64 timestamp] (1), 20 SHA-1 of the stored bytes, [blocks: i32 count,
//   {i64 start, i64 end}... when compressed] (3+), [u8 flags: 1 encrypted,
//   2 deleted] (3+), [u32 block size] (3+). Block positions are absolute
//   before version 5 and relative to the entry's offset from 5 on. The same
//   record, offset 0, is the in-data header before each payload.
//
//   Encrypted indexes and payloads: AES-256-ECB, lengths padded to 16; the
//   index hashes are over the decrypted bytes, padding included.
//
// A pak of version 1-7 ends in the same 44 bytes as our own container, so it
// is taken for a pak only when its index hash and its whole index prove it;
// everything else with that magic stays a container.

#include "ArchiveEntry.h"
#include "ByteSource.h"
#include "Codecs.h"
#include "ReadOptions.h"

#include <cstdint>
#include <optional>
#include <string_view>

namespace Kestrune::Unreal {

inline constexpr std::uint32_t kMagic = 0x5A6F12E1;
inline constexpr std::uint32_t kNewestVersion = 15;

// Numbers of the layout that the reader and the writer share.
inline constexpr std::uint64_t kAesBlock = 16;
inline constexpr std::uint8_t kFlagEncrypted = 0x01;
inline constexpr std::uint8_t kFlagDeleted = 0x02;
// Versions 1-7 name the method by flags; versions 8 on by an index into the
// footer's method names.
inline constexpr std::uint32_t kLegacyZlib = 0x01;
inline constexpr std::uint32_t kLegacyGzip = 0x02;
inline constexpr std::uint32_t kLegacyCustom = 0x04;
// The encoded records of versions 10 on give the block size in units of
// 2 KiB, or escape to a u32 that follows.
inline constexpr std::uint32_t kEncodedBlockSizeEscape = 0x3F;
inline constexpr std::uint64_t kEncodedBlockSizeUnit = 2048;

inline std::uint64_t Align16(std::uint64_t n) {
    return (n + (kAesBlock - 1)) & ~(kAesBlock - 1);
}

// The codec a method name of the footer (versions 8 on) or an IoStore
// container stands for, its letter case aside; none for a name the tool does
// not decode.
std::optional<Codec> MethodCodec(std::string_view name);

// FNV-1a 64 of the path's UTF-16LE units, lower-cased, from the seed: the
// version 10-11 path hash index. `unicode` lower-cases every letter, else
// only those of ASCII (writers differ; see the reader).
std::uint64_t PathHash(std::string_view path, std::uint64_t seed, bool unicode);

// The note a version 1-7 pak with an encrypted index gives when no key
// opens it (the container reading applies then); the caller names the file.
inline constexpr std::string_view kEncryptedLegacyIndexNote =
    "looks like an Unreal pak with an encrypted index: give its key with --aes-key";

// Reads the file as an Unreal pak. The walk is not found() when it is none
// (the container rules apply then); it carries a refusal when it is a pak the
// tool will not read. The whole index is checked before the first entry is
// visited, and `announce` (when given) hears their number then.
DirectoryWalk VisitPak(ByteSource& source, const EntryVisitor& visit, std::uint64_t limit,
                       const ReadOptions& options, const CountAnnouncer* announce = nullptr);

} // namespace Kestrune::Unreal
