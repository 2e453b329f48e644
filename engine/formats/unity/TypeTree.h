#pragma once

// Unity type trees, and reading any object through its type's tree.
//
//   Blob form (serialized file version 10 and 12 on)
//     i32 node count (>= 1), i32 string buffer size
//     per node (24 bytes; 32 from version 19): i16 version, u8 level,
//       u8 type flags (1: array), u32 type name ref, u32 field name ref,
//       i32 byte size (-1: variable), i32 index, i32 meta flags
//       (0x4000: align to 4 after the field), (version >= 19) u64 ref hash
//     the string buffer; a ref with the high bit set is an offset into
//     Unity's common string table instead
//   Old form (versions 9 and 11): one node, recursively: cstr type, cstr
//     name, i32 byte size, i32 index, i32 is-array, i32 version, i32 meta
//     flags, i32 child count, the children.
//
// Nodes are depth first: the first has level 0 and each next node is at most
// one level deeper than the one before. A node's value, over the object's
// bytes (in the file's byte order):
//   - primitives by type name (SInt8 .. double, FileSize, Type*);
//   - `string`: i32 length and the bytes; `TypelessData`: the same;
//   - a node whose first child is an array node (type `Array`, flag 1):
//     its children are the i32 element count and the element's node;
//   - anything else: its children in order;
//   - after any node with meta flag 0x4000, zero bytes to a multiple of 4
//     from the object's start.

#include "UnityBytes.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace Kestrune::Unity {

struct TypeTreeNode {
    std::string_view type;
    std::string_view name;
    std::int32_t byteSize = 0;
    std::int32_t metaFlags = 0;
    std::uint8_t level = 0;
    bool isArray = false;
    std::uint32_t end = 0; ///< One past the last node of this node's subtree.
};

inline constexpr std::int32_t kMetaAlign = 0x4000;

// A type's tree, its names pointing into the serialized file's bytes or the
// common string table.
struct TypeTree {
    std::vector<TypeTreeNode> nodes;
};

// The byte size of a primitive type by its name; nullopt for others.
std::optional<std::size_t> PrimitiveSize(std::string_view type);

// Unity's built-in strings that type trees refer to by offset.
std::string_view CommonStrings();

// Reads a blob-form tree (`nodeSize` 24 or 32) or an old-form tree at the
// cursor. Nullopt with `why` set when it is damaged or refers to strings
// that are not there.
std::optional<TypeTree> ReadBlobTypeTree(Cursor& in, std::size_t nodeSize, std::string& why);
std::optional<TypeTree> ReadOldTypeTree(Cursor& in, std::string& why);

// Gives every node of `tree` the end of its subtree; false with `why` when
// the levels do not start at 0 or skip one.
bool LinkSubtrees(TypeTree& tree, std::string& why);

// One value read through a tree. Arrays of primitives are kept as their
// bytes, not one value per element.
struct UnityValue {
    enum class Kind : std::uint8_t {
        Int,
        UInt,
        Float,
        Bool,
        String,
        Bytes,
        PackedArray,
        Array,
        Struct
    };
    Kind kind = Kind::Struct;
    const TypeTreeNode* node = nullptr;
    std::int64_t i = 0;
    std::uint64_t u = 0;
    double f = 0;
    std::span<const unsigned char> bytes;  ///< String, Bytes, PackedArray
    std::uint64_t count = 0;               ///< PackedArray elements
    const TypeTreeNode* element = nullptr; ///< PackedArray: the element's node
    std::size_t offset = 0;                ///< In the object
    std::vector<UnityValue> items;         ///< Array elements, Struct fields

    std::string_view Name() const { return node ? node->name : std::string_view{}; }
    std::string_view Text() const {
        return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
    }
    // The field named `name` of a struct; null when there is none.
    const UnityValue* Field(std::string_view name) const;
    // An integer of any width or sign; nullopt for anything else.
    std::optional<std::int64_t> AsInt() const;
};

// Reads `object` (the bytes of one object, in `bigEndian` order) through
// `tree`. The work is bounded by the object's size: arrays cannot claim more
// elements than the bytes left hold. Nullopt with `why` when the tree does
// not fit the bytes or holds a type the reader does not know. `consumed`
// receives how many bytes the tree covered.
std::optional<UnityValue> ReadObject(const TypeTree& tree, std::span<const unsigned char> object,
                                     bool bigEndian, std::string& why,
                                     std::size_t* consumed = nullptr);

} // namespace Kestrune::Unity
