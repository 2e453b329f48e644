#pragma once

// A standalone Unity serialized file (a player's level0, sharedassets0.assets,
// resources.assets, globalgamemanagers) as a package: its entries are its
// objects, in the order of its object table, each named "<Class>/<name>"
// ("<Class>/#<path ID>" without a name), its stored bytes in the file.
//
// Such a file has no magic number. It is taken for one only after every
// signature has been tried, and only when its header agrees with itself and
// with the file: the format (big-endian u32 at 8) is 1 to 50; the header's
// reserved bytes are zero; the endianness byte is 0 or 1; the file size it
// states is the file's; its metadata lies between the header and the data
// offset, which lies within the file; and the metadata starts with an engine
// version ("2019.4.31f1", "0.0.0" or empty when stripped). Formats 9 to 22
// are read; others are refused by name.
//
// Its stream files lie beside it: "<file>.resS" (textures, meshes) and
// "<stem>.resource" (audio, video; "sharedassets0" for
// "sharedassets0.assets"); the package's parts 0 and 1. A file read from its
// split parts ("level0.split0") has the streams of its joined name
// ("level0.resS"), themselves whole or split.

#include "ArchiveEntry.h"
#include "ByteSource.h"
#include "ReadOptions.h"
#include "SerializedFile.h"
#include "UnityBundle.h"

#include <cstdint>
#include <optional>
#include <string>

namespace Kestrune {
class PackageFiles;
}

namespace Kestrune::Unity {

inline constexpr std::uint32_t kStreamPart = 0;   ///< <file>.resS
inline constexpr std::uint32_t kResourcePart = 1; ///< <stem>.resource

// Whether the file's first bytes pass the rule above (any format 1 to 50).
bool LooksStandaloneSerialized(ByteSource& source);

// The file size that a serialized file's header states, when the first
// bytes are such a header of format 9 or later (its fixed fields agree),
// whatever the length of the source.
std::optional<std::uint64_t> StatedFileSize(ByteSource& source);

// The path of a standalone file's stream file `part` (above), for
// PackageFiles.
std::string StreamPartPath(const std::string& packagePath, std::uint32_t part);

// The entry name of an object: "<Class>/<name>" or "<Class>/#<path ID>"
// (class "class <ID>" for a class the tool does not name).
std::string ObjectEntryName(const SerializedObject& object);

// The objects, in table order, to `visit` as entries, at most `limit`.
DirectoryWalk VisitSerializedFile(ByteSource& source, const EntryVisitor& visit,
                                  std::uint64_t limit, const ReadOptions& options);

// What the globalgamemanagers beside the standalone file at `packagePath`
// names (ManagerNames); nothing when there is none or it cannot be read.
ManagerNames ManagerNamesBeside(const std::string& packagePath, std::string_view strippedVersion);

// For a standalone file that states a stripped version: the version the
// globalgamemanagers beside it states; empty otherwise.
std::string VersionBeside(const std::string& packagePath, ByteSource& source);

// Gives each object of `listing` without a container path the longest of
// the keys `names` has for its path ID.
void NameByContainer(SerializedFileListing& listing,
                     const std::vector<std::pair<std::int64_t, std::string>>& names);

// For a player's level<N>: its scene's path, as BuildSettings in the
// globalgamemanagers beside it names scene N, in --list-json's
// "scene_path".
void AnnotateStandalone(const std::string& path, const ReadOptions& options, DirectoryWalk& walk);

// The standalone file and the stream files found beside it, as the nodes of
// a bundle would hold them: node 0 the file itself (named by its file name),
// then the .resS and .resource that exist.
Bundle StandaloneAsBundle(PackageFiles& files);

} // namespace Kestrune::Unity
