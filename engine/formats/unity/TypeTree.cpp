#include "TypeTree.h"

#include "Bounds.h"

#include <cstring>

namespace Kestrune::Unity {

std::optional<std::size_t> PrimitiveSize(std::string_view type) {
    static constexpr std::pair<std::string_view, std::size_t> kPrimitives[] = {
        {"SInt8", 1},    {"UInt8", 1},          {"char", 1},
        {"bool", 1},     {"SInt16", 2},         {"UInt16", 2},
        {"short", 2},    {"unsigned short", 2}, {"int", 4},
        {"SInt32", 4},   {"UInt32", 4},         {"unsigned int", 4},
        {"float", 4},    {"Type*", 4},          {"long long", 8},
        {"SInt64", 8},   {"UInt64", 8},         {"unsigned long long", 8},
        {"FileSize", 8}, {"double", 8},
    };
    for (const auto& [name, size] : kPrimitives) {
        if (name == type) {
            return size;
        }
    }
    return std::nullopt;
}

namespace {

constexpr std::uint32_t kCommonStringFlag = 0x80000000u;
constexpr std::uint8_t kTypeFlagArray = 1;
constexpr std::size_t kOldTreeDepthLimit = 64;
constexpr std::size_t kNameLimit = 1024;

// Unity's common strings, NUL-separated, in Unity's order: type trees name
// them by offset into this text.
constexpr char kCommon[] =
    "AABB\0AnimationClip\0AnimationCurve\0AnimationState\0Array\0Base\0BitField\0bitset\0bool\0"
    "char\0ColorRGBA\0Component\0data\0deque\0double\0dynamic_array\0FastPropertyName\0first\0"
    "float\0Font\0GameObject\0Generic Mono\0GradientNEW\0GUID\0GUIStyle\0int\0list\0long long\0"
    "map\0Matrix4x4f\0MdFour\0MonoBehaviour\0MonoScript\0m_ByteSize\0m_Curve\0"
    "m_EditorClassIdentifier\0m_EditorHideFlags\0m_Enabled\0m_ExtensionPtr\0m_GameObject\0"
    "m_Index\0m_IsArray\0m_IsStatic\0m_MetaFlag\0m_Name\0m_ObjectHideFlags\0m_PrefabInternal\0"
    "m_PrefabParentObject\0m_Script\0m_StaticEditorFlags\0m_Type\0m_Version\0Object\0pair\0"
    "PPtr<Component>\0PPtr<GameObject>\0PPtr<Material>\0PPtr<MonoBehaviour>\0PPtr<MonoScript>\0"
    "PPtr<Object>\0PPtr<Prefab>\0PPtr<Sprite>\0PPtr<TextAsset>\0PPtr<Texture>\0PPtr<Texture2D>\0"
    "PPtr<Transform>\0Prefab\0Quaternionf\0Rectf\0RectInt\0RectOffset\0second\0set\0short\0size\0"
    "SInt16\0SInt32\0SInt64\0SInt8\0staticvector\0string\0TextAsset\0TextMesh\0Texture\0"
    "Texture2D\0Transform\0TypelessData\0UInt16\0UInt32\0UInt64\0UInt8\0unsigned int\0"
    "unsigned long long\0unsigned short\0vector\0Vector2f\0Vector3f\0Vector4f\0"
    "m_ScriptingClassIdentifier\0Gradient\0Type*\0int2_storage\0int3_storage\0BoundsInt\0"
    "m_CorrespondingSourceObject\0m_PrefabInstance\0m_PrefabAsset\0FileSize\0";

// The string at `offset` of `table`: it must start inside and end in a NUL.
std::optional<std::string_view> StringAt(std::string_view table, std::uint32_t offset) {
    if (offset >= table.size()) {
        return std::nullopt;
    }
    const std::size_t nul = table.find('\0', offset);
    if (nul == std::string_view::npos) {
        return std::nullopt;
    }
    return table.substr(offset, nul - offset);
}

class ObjectReader {
public:
    ObjectReader(const TypeTree& tree, std::span<const unsigned char> object, bool bigEndian,
                 std::string& why)
        // Each value read consumes a byte, or is one of the few fields a
        // node has: more values than this means elements of nothing.
        : tree_(tree), in_(object, bigEndian), why_(why), budget_(4 * object.size() + 4096) {}

    std::optional<UnityValue> Read() {
        UnityValue root;
        if (!ReadNode(0, root)) {
            return std::nullopt;
        }
        return root;
    }
    std::size_t Consumed() const { return in_.Position(); }

private:
    bool Fail(std::string why) {
        if (why_.empty()) {
            why_ = std::move(why);
        }
        return false;
    }
    bool Short(const TypeTreeNode& node) {
        return Fail("field " + std::string(node.name) + " runs past the object's end");
    }

    bool ReadNode(std::uint32_t index, UnityValue& value) {
        if (budget_ == 0) {
            return Fail("type tree reads more values than the object's bytes can hold");
        }
        --budget_;
        const TypeTreeNode& node = tree_.nodes[index];
        value.node = &node;
        value.offset = in_.Position();
        if (!ReadBody(index, value)) {
            return false;
        }
        if ((node.metaFlags & kMetaAlign) != 0) {
            in_.AlignFrom(0, 4);
        }
        return in_.ok() || Short(node);
    }

    bool ReadBody(std::uint32_t index, UnityValue& value) {
        const TypeTreeNode& node = tree_.nodes[index];
        const std::uint32_t firstChild = index + 1;
        const bool hasChildren = firstChild < node.end;
        if (node.type == "ManagedReferencesRegistry" || node.type == "ReferencedObject") {
            return Fail("SerializeReference data (" + std::string(node.type) + ") is not read");
        }
        if (const auto size = PrimitiveSize(node.type); size && !hasChildren) {
            return ReadPrimitive(node, *size, value);
        }
        if (node.type == "string" || node.type == "TypelessData") {
            const std::int32_t length = in_.I32();
            if (!in_.ok() || length < 0 || !in_.Holds(static_cast<std::uint64_t>(length), 1)) {
                return Short(node);
            }
            value.kind = node.type == "string" ? UnityValue::Kind::String : UnityValue::Kind::Bytes;
            value.bytes = in_.Take(static_cast<std::uint64_t>(length));
            // The alignment a string's array child asks for.
            if (hasChildren && (tree_.nodes[firstChild].metaFlags & kMetaAlign) != 0) {
                in_.AlignFrom(0, 4);
            }
            return true;
        }
        if (node.isArray) {
            return ReadArray(index, value);
        }
        if (hasChildren && tree_.nodes[firstChild].isArray &&
            tree_.nodes[firstChild].end == node.end) {
            // vector, map, set, staticvector: the value is its array's.
            UnityValue array;
            if (!ReadNode(firstChild, array)) {
                return false;
            }
            array.node = &node;
            array.offset = value.offset;
            value = std::move(array);
            return true;
        }
        if (!hasChildren) {
            if (node.byteSize == 0) {
                value.kind = UnityValue::Kind::Struct; // an empty class
                return true;
            }
            return Fail("type " + std::string(node.type) + " of field " + std::string(node.name) +
                        " is not known");
        }
        value.kind = UnityValue::Kind::Struct;
        for (std::uint32_t child = firstChild; child < node.end; child = tree_.nodes[child].end) {
            if (!ReadNode(child, value.items.emplace_back())) {
                return false;
            }
        }
        return true;
    }

    bool ReadPrimitive(const TypeTreeNode& node, std::size_t size, UnityValue& value) {
        const std::uint64_t raw = size == 1   ? in_.U8()
                                  : size == 2 ? in_.U16()
                                  : size == 4 ? in_.U32()
                                              : in_.U64();
        if (!in_.ok()) {
            return Short(node);
        }
        const std::string_view type = node.type;
        if (type == "float" || type == "double") {
            value.kind = UnityValue::Kind::Float;
            if (size == 4) {
                float f = 0;
                const auto bits = static_cast<std::uint32_t>(raw);
                std::memcpy(&f, &bits, sizeof f);
                value.f = f;
            } else {
                std::memcpy(&value.f, &raw, sizeof value.f);
            }
        } else if (type == "bool") {
            value.kind = UnityValue::Kind::Bool;
            value.u = raw;
        } else if (type.starts_with("SInt") || type == "int" || type == "short" ||
                   type == "long long" || type == "char") {
            value.kind = UnityValue::Kind::Int;
            const unsigned shift = static_cast<unsigned>(64 - 8 * size);
            value.i = static_cast<std::int64_t>(raw << shift) >> shift;
        } else {
            value.kind = UnityValue::Kind::UInt;
            value.u = raw;
        }
        return true;
    }

    bool ReadArray(std::uint32_t index, UnityValue& value) {
        const TypeTreeNode& node = tree_.nodes[index];
        const std::uint32_t sizeNode = index + 1;
        const std::uint32_t dataNode = sizeNode < node.end ? tree_.nodes[sizeNode].end : node.end;
        if (sizeNode >= node.end || dataNode >= node.end || tree_.nodes[dataNode].end != node.end) {
            return Fail("array " + std::string(node.name) + " lacks its size and data fields");
        }
        const std::int32_t count = in_.I32();
        if (!in_.ok() || count < 0) {
            return Short(node);
        }
        const TypeTreeNode& element = tree_.nodes[dataNode];
        const auto elementSize = PrimitiveSize(element.type);
        if (elementSize && element.end == dataNode + 1) {
            if (!in_.Holds(static_cast<std::uint64_t>(count), *elementSize)) {
                return Short(node);
            }
            value.kind = UnityValue::Kind::PackedArray;
            value.element = &element;
            value.count = static_cast<std::uint64_t>(count);
            value.bytes = in_.Take(value.count * *elementSize);
            return true;
        }
        // Every element takes at least a byte or a share of the budget.
        if (static_cast<std::uint64_t>(count) > in_.Remaining() + budget_) {
            return Short(node);
        }
        value.kind = UnityValue::Kind::Array;
        for (std::int32_t i = 0; i < count; ++i) {
            if (!ReadNode(dataNode, value.items.emplace_back())) {
                return false;
            }
        }
        return true;
    }

    const TypeTree& tree_;
    Cursor in_;
    std::string& why_;
    std::uint64_t budget_;
};

} // namespace

// Gives every node the end of its subtree, and checks that levels start at
// 0 and deepen one at a time: the form every reader after this relies on.
bool LinkSubtrees(TypeTree& tree, std::string& why) {
    if (tree.nodes.empty() || tree.nodes[0].level != 0) {
        why = "type tree does not start at level 0";
        return false;
    }
    std::vector<std::uint32_t> open;
    for (std::uint32_t i = 0; i < tree.nodes.size(); ++i) {
        const std::uint8_t level = tree.nodes[i].level;
        if (i > 0 && (level == 0 || level > tree.nodes[i - 1].level + 1)) {
            why = "type tree node " + std::to_string(i) + " skips a level";
            return false;
        }
        while (open.size() > level) {
            tree.nodes[open.back()].end = i;
            open.pop_back();
        }
        open.push_back(i);
    }
    for (const std::uint32_t index : open) {
        tree.nodes[index].end = static_cast<std::uint32_t>(tree.nodes.size());
    }
    return true;
}

std::string_view CommonStrings() {
    return {kCommon, sizeof kCommon - 1};
}

std::optional<TypeTree> ReadBlobTypeTree(Cursor& in, std::size_t nodeSize, std::string& why) {
    const std::int32_t count = in.I32();
    const std::int32_t stringSize = in.I32();
    if (!in.ok() || count < 1 || stringSize < 0 ||
        !in.Holds(static_cast<std::uint64_t>(count), nodeSize) ||
        !FitsWithin(static_cast<std::uint64_t>(count) * nodeSize,
                    static_cast<std::uint64_t>(stringSize), in.Remaining())) {
        why = "type tree of " + std::to_string(count) + " nodes does not fit in the metadata";
        return std::nullopt;
    }
    Cursor nodes(in.Take(static_cast<std::uint64_t>(count) * nodeSize), in.BigEndian());
    const auto stringBytes = in.Take(static_cast<std::uint64_t>(stringSize));
    const std::string_view strings(reinterpret_cast<const char*>(stringBytes.data()),
                                   stringBytes.size());
    const auto resolve = [&](std::uint32_t ref) -> std::optional<std::string_view> {
        return (ref & kCommonStringFlag) != 0 ? StringAt(CommonStrings(), ref & ~kCommonStringFlag)
                                              : StringAt(strings, ref);
    };
    TypeTree tree;
    tree.nodes.reserve(static_cast<std::size_t>(count));
    for (std::int32_t i = 0; i < count; ++i) {
        TypeTreeNode& node = tree.nodes.emplace_back();
        const std::size_t start = nodes.Position();
        nodes.I16(); // version
        node.level = nodes.U8();
        node.isArray = (nodes.U8() & kTypeFlagArray) != 0;
        const auto type = resolve(nodes.U32());
        const auto name = resolve(nodes.U32());
        node.byteSize = nodes.I32();
        nodes.I32(); // index
        node.metaFlags = nodes.I32();
        nodes.Seek(start + nodeSize);
        if (!type || !name) {
            why =
                "type tree node " + std::to_string(i) + " names a string outside its string table";
            return std::nullopt;
        }
        node.type = *type;
        node.name = *name;
    }
    if (!LinkSubtrees(tree, why)) {
        return std::nullopt;
    }
    return tree;
}

std::optional<TypeTree> ReadOldTypeTree(Cursor& in, std::string& why) {
    TypeTree tree;
    // Children still to read at each open level: an explicit stack, so that
    // depth is bounded without recursion.
    std::vector<std::int32_t> pending{1};
    while (!pending.empty()) {
        if (pending.back() == 0) {
            pending.pop_back();
            continue;
        }
        --pending.back();
        if (pending.size() > kOldTreeDepthLimit || !in.Holds(1, 26)) {
            why = "type tree is deeper or longer than its metadata";
            return std::nullopt;
        }
        TypeTreeNode& node = tree.nodes.emplace_back();
        node.level = static_cast<std::uint8_t>(pending.size() - 1);
        node.type = in.CString(kNameLimit);
        node.name = in.CString(kNameLimit);
        node.byteSize = in.I32();
        in.I32(); // index
        node.isArray = in.I32() != 0;
        in.I32(); // version
        node.metaFlags = in.I32();
        const std::int32_t children = in.I32();
        if (!in.ok() || children < 0 || !in.Holds(static_cast<std::uint64_t>(children), 26)) {
            why = "type tree node " + std::to_string(tree.nodes.size() - 1) + " is damaged";
            return std::nullopt;
        }
        pending.push_back(children);
    }
    if (!LinkSubtrees(tree, why)) {
        return std::nullopt;
    }
    return tree;
}

const UnityValue* UnityValue::Field(std::string_view name) const {
    if (kind != Kind::Struct) {
        return nullptr;
    }
    for (const UnityValue& item : items) {
        if (item.Name() == name) {
            return &item;
        }
    }
    return nullptr;
}

std::optional<std::int64_t> UnityValue::AsInt() const {
    if (kind == Kind::Int) {
        return i;
    }
    if (kind == Kind::UInt || kind == Kind::Bool) {
        return static_cast<std::int64_t>(u);
    }
    return std::nullopt;
}

std::optional<UnityValue> ReadObject(const TypeTree& tree, std::span<const unsigned char> object,
                                     bool bigEndian, std::string& why, std::size_t* consumed) {
    ObjectReader reader(tree, object, bigEndian, why);
    auto value = reader.Read();
    if (consumed != nullptr) {
        *consumed = reader.Consumed();
    }
    return value;
}

} // namespace Kestrune::Unity
