#pragma once

// A package's kind is decided by its first four bytes alone, compared byte for
// byte at offset 0. The WAD signatures are tested before the VPK one; a file
// with neither (a PAK container has no signature at its start) is taken to be
// a PAK container, and its footer is left for the listing to check.

#include "ArchiveEntry.h"
#include "ByteSource.h"
#include "PackageFiles.h"
#include "ReadOptions.h"

#include <cstdint>
#include <vector>

namespace Kestrune {

inline constexpr std::uint32_t kIwadSignature = 0x44415749; // "IWAD"
inline constexpr std::uint32_t kPwadSignature = 0x44415750; // "PWAD"
inline constexpr std::uint32_t kVpkSignature = 0x55AA1234;  // bytes 34 12 AA 55

ArchiveType DetectKind(ByteSource& source);

// Opens the package at `path` with its format's naming of part files (a VPK
// directory's pak01_000.vpk, ...): what every operation that reads entries'
// content opens. Null as PackageFiles::Open.
std::unique_ptr<PackageFiles> OpenPackageFiles(const std::string& path,
                                               const ReadOptions& options = {});

// The entries of an open package, read by the format that the table of
// formats (Formats.h) finds for it.
std::vector<ArchiveEntry> ReadEntries(ByteSource& source, const ReadOptions& options = {});

// The same entries handed to `visit` one by one as they are read, at most
// `limit` of them, without holding them; returns how many were handed over.
std::uint64_t VisitEntries(ByteSource& source, const EntryVisitor& visit,
                           std::uint64_t limit = UINT64_MAX, const ReadOptions& options = {});

// Makes `entry` hold what `view` shows, its name copied out of the reader's
// buffer.
void AssignEntry(ArchiveEntry& entry, const EntryView& view);

// As VisitEntries, and also tells whether the file holds a directory of a
// kind the tool reads, and what the reader has to say of it. `options` carries
// what the user gave for packages that need it (keys).
// `announce`, when given, hears the number of entries before the first one
// from the readers that know it then (not under a selection, whose number is
// known only at the end).
DirectoryWalk WalkEntries(ByteSource& source, const EntryVisitor& visit,
                          std::uint64_t limit = UINT64_MAX, const ReadOptions& options = {},
                          const CountAnnouncer* announce = nullptr);

} // namespace Kestrune
