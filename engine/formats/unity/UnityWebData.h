#pragma once

// A Unity WebGL build's data file (Build/<name>.data): the files of the
// player's data folder in one container, with no compression of its own.
//
//   cstr "UnityWebData1.0" (16 bytes with its NUL)
//   i32  directory length: where the directory ends and the first file
//        begins, from the start of the file
//   entries until the directory length is reached, each
//     i32 offset (from the start of the file), i32 size,
//     i32 name length, then that many bytes of UTF-8 name, "/" separated
//
// All little-endian. The builds write the files one after the other from
// the end of the directory to the end of the data; the reader demands only
// that each lies after the directory and within the data, and that none
// overlaps another, and checks the whole directory before the first entry.
//
// The whole file is often compressed as one stream: gzip (".data.gz",
// ".data.unityweb", ".datagz") or Brotli (".data.br", ".data.unityweb"; a
// Brotli metadata block "UnityWeb Compressed Content (brotli)" puts the word
// "brotli" at byte 32, which is what tells such a file from any other, as
// Brotli has no signature). The container is then read from the stream: the
// directory is decoded as far as its end (at most 4 MiB of it), and every
// entry is a range of the one decoded stream, decoded a part at a time as
// it is read and never held whole (memory stays within the decoding cap
// whatever the size of the data), exactly to the end of the last entry.

#include "ArchiveEntry.h"
#include "ByteSource.h"
#include "ReadOptions.h"
#include "SerializedFile.h"
#include "UnityBundle.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

namespace Kestrune {
class PackageExporter;
class PackageFiles;
} // namespace Kestrune

namespace Kestrune::Unity {

inline constexpr std::string_view kWebDataSignature{"UnityWebData1.0\0", 16};

// Whether the file is a WebGL data container, plain or compressed whole:
// reads its first bytes, and for a compressed one decodes the first 16.
bool IsWebData(ByteSource& source);

// The files of the container, to `visit`, at most `limit`.
DirectoryWalk VisitWebData(ByteSource& source, const EntryVisitor& visit, std::uint64_t limit,
                           const ReadOptions& options, const CountAnnouncer* announce);

// The largest bundle inside a compressed container that is decoded into
// memory for its objects, as the export holds a serialized file.
inline constexpr std::uint64_t kHeldBundleLimit = 512ull << 20;

// The container's files as the nodes of one bundle, for the objects and the
// converters: a bundle inside (a build's data.unity3d) gives its own nodes,
// read where they lie in a plain container, from its decoded bytes held in
// memory in a compressed one; every other file is a node of its own, taken
// for a serialized file when it looks like one. `entryOf[i]`, when asked
// for, is the index of the container's entry node i comes from.
Bundle WebDataAsBundle(PackageFiles& files, std::vector<std::uint64_t>* entryOf = nullptr);

// The converters of the serialized files in the container.
std::unique_ptr<PackageExporter> MakeWebDataExporter(PackageFiles& files);

// The objects of every serialized file in the container, by the entry that
// holds them (those of a bundle's files together, under the bundle's entry).
void ListWebDataObjects(
    PackageFiles& files,
    const std::function<void(std::uint64_t, const SerializedFileListing&)>& each,
    const ReadOptions& options);

} // namespace Kestrune::Unity
