#pragma once

// A Unity serialized file (versions 9 to 22), read to its object table.
//
//   Header, big-endian
//     versions 9-21: u32 metadata size, u32 file size, u32 version,
//                    u32 data offset, u8 endianness (1 big), 3 reserved
//     version 22:    8 unused, u32 version, 4 reserved, u64 metadata size,
//                    u64 file size, u64 data offset, u8 endianness, 7 reserved
//   Metadata, in the file's byte order
//     cstr unity version, i32 target platform, u8 type trees present,
//     i32 type count, the types:
//       i32 class ID, (v >= 16) u8 stripped, (v >= 17) i16 script index,
//       (v >= 13) 16-byte script ID for scripts, 16-byte type hash,
//       the type tree when present, (v >= 21) i32 count + i32 dependencies
//     (v 9-13) i32 big path ID flag
//     i32 object count, the objects:
//       (v >= 14) zero bytes to a multiple of 4 from the file start and
//       i64 path ID (else i32, or i64 with the big ID flag),
//       u32 byte start (i64 from v22) from the data offset, u32 byte size,
//       i32 type (v >= 16 an index into the types, else the class ID),
//       (v < 16) u16 class ID, (v < 11) u16 destroyed, (11 <= v < 17)
//       i16 script index, (v 15, 16) u8 stripped
//   The rest of the metadata (scripts, externals, reference types) holds
//   nothing the object table needs and is not read.

#include "TypeTree.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Kestrune::Unity {

/// The class IDs the readers and converters act on.
namespace ClassId {
inline constexpr std::int32_t GameObject = 1;
inline constexpr std::int32_t Texture2D = 28;
inline constexpr std::int32_t Mesh = 43;
inline constexpr std::int32_t TextAsset = 49;
inline constexpr std::int32_t AudioClip = 83;
inline constexpr std::int32_t MonoBehaviour = 114;
inline constexpr std::int32_t Font = 128;
inline constexpr std::int32_t BuildSettings = 141;
inline constexpr std::int32_t AssetBundle = 142;
inline constexpr std::int32_t ResourceManager = 147;
inline constexpr std::int32_t Sprite = 213;
} // namespace ClassId

/// Where an object's large data (texture pixels, audio) lies instead of
/// inside it: a range of another file of the bundle.
struct ObjectStream {
    std::string node;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
};

/// One object of a serialized file.
struct SerializedObject {
    std::int64_t pathId = 0;
    std::int32_t classId = 0;
    std::string className; ///< Empty for a class the tool does not name.
    std::string name;      ///< m_Name; empty when none or not readable.
    std::optional<std::string> containerPath;
    std::uint64_t offset = 0; ///< In the serialized file.
    std::uint64_t size = 0;
    std::optional<ObjectStream> stream;
    std::string note; ///< Why something of the object could not be read.
};

struct SerializedFileListing {
    std::uint32_t version = 0;
    std::string unityVersion; ///< As the file states it; "0.0.0" when stripped.
    /// The version of the class layouts the objects without a type tree are
    /// read by; empty when none was needed or none is known.
    std::string layoutVersion;
    std::string note; ///< Why the file, or part of it, could not be read.
    std::vector<SerializedObject> objects;
    /// The paths of the files its references name: file ID n is
    /// externals[n - 1] (in a player build, the bare file name of a file
    /// of the same data folder).
    std::vector<std::string> externals;
};

/// A serialized file read for its objects' contents: the listing, and the
/// type tree each object is read through. The trees' names point into the
/// file's bytes, which must outlive it.
struct SerializedFile {
    SerializedFileListing listing;
    std::string unityVersion;
    bool bigEndian = false;
    std::vector<std::optional<TypeTree>> trees; ///< per type; nullopt without a tree
    std::vector<bool> fromLayout;               ///< per type: the tree is a class layout
    std::vector<std::size_t> objectType;        ///< per object; SIZE_MAX when unknown
    std::span<const unsigned char> bytes;

    /// The object's bytes and tree; nullopt when it has no readable tree.
    const TypeTree* TreeOf(std::size_t object) const {
        const std::size_t type = objectType[object];
        return type < trees.size() && trees[type] ? &*trees[type] : nullptr;
    }
    bool TreeFromLayout(std::size_t object) const {
        const std::size_t type = objectType[object];
        return type < fromLayout.size() && fromLayout[type];
    }
    std::span<const unsigned char> BytesOf(std::size_t object) const {
        const SerializedObject& o = listing.objects[object];
        return bytes.subspan(static_cast<std::size_t>(o.offset), static_cast<std::size_t>(o.size));
    }
};

// The name Unity gives a class ID, for the common classes; empty otherwise.
std::string_view ClassName(std::int32_t classId);

// Whether the first bytes look like a serialized file's header for a file
// of `size` bytes.
bool LooksSerialized(std::span<const unsigned char> head, std::uint64_t size);

// Reads the object table of the serialized file whose first bytes are
// `bytes` (all of it, or the first bytes of a larger file of `size` bytes).
// `files` are the bundle's nodes (name, size), to which streamed data refer.
// Objects without a type tree are read by the class layouts of the file's
// Unity version, or of `strippedVersion` when the file's is stripped.
// `beside`: `files` are the stream files found beside a standalone file, not
// a bundle's, as messages say.
SerializedFileListing
ReadSerializedFile(std::span<const unsigned char> bytes, std::uint64_t size,
                   const std::vector<std::pair<std::string_view, std::uint64_t>>& files,
                   std::string_view strippedVersion = {}, bool beside = false);

// The same, keeping what reading the objects' contents needs. An object
// whose bytes lie beyond `bytes` has objectType SIZE_MAX.
SerializedFile
ParseSerializedFile(std::span<const unsigned char> bytes, std::uint64_t size,
                    const std::vector<std::pair<std::string_view, std::uint64_t>>& files,
                    std::string_view strippedVersion = {}, bool beside = false);

/// What a player's globalgamemanagers names of the other files of its data
/// folder: the ResourceManager's container (the keys Resources.Load takes,
/// each with the file and path ID of its object) and BuildSettings' scenes,
/// scene i being the file level<i>.
struct ManagerNames {
    struct Resource {
        std::string key;
        std::string file; ///< as the externals name it
        std::int64_t pathId = 0;
    };
    std::vector<Resource> resources;
    std::vector<std::string> scenes;
    /// The Unity version the managers' own header states; empty when it is
    /// stripped too. Player builds strip it from their other files only.
    std::string unityVersion;
};

// Reads those names from `managers`, through its type trees or its class
// layouts; what cannot be read is left out.
ManagerNames ReadManagerNames(const SerializedFile& managers);

} // namespace Kestrune::Unity
