#include "SerializedFile.h"

#include "Bounds.h"
#include "UnityLayouts.h"

#include <unordered_map>

namespace Kestrune::Unity {
namespace {

constexpr std::uint32_t kFirstVersion = 9;
constexpr std::uint32_t kLastVersion = 22;
constexpr std::uint32_t kLargeHeaderVersion = 22;
constexpr std::size_t kSmallHeaderSize = 20;
constexpr std::size_t kLargeHeaderSize = 48;
constexpr std::size_t kVersionLimit = 64;
constexpr std::size_t kHashSize = 16;
// A file path in the externals: longer ones are taken for damage.
constexpr std::size_t kExternalPathLimit = 4096;

struct ClassEntry {
    std::int32_t id;
    std::string_view name;
};
constexpr ClassEntry kClasses[] = {
    {1, "GameObject"},
    {4, "Transform"},
    {21, "Material"},
    {23, "MeshRenderer"},
    {25, "Renderer"},
    {28, "Texture2D"},
    {33, "MeshFilter"},
    {43, "Mesh"},
    {48, "Shader"},
    {49, "TextAsset"},
    {72, "ComputeShader"},
    {74, "AnimationClip"},
    {83, "AudioClip"},
    {84, "RenderTexture"},
    {89, "Cubemap"},
    {90, "Avatar"},
    {91, "AnimatorController"},
    {95, "Animator"},
    {114, "MonoBehaviour"},
    {115, "MonoScript"},
    {117, "Texture3D"},
    {128, "Font"},
    {134, "PhysicMaterial"},
    {137, "SkinnedMeshRenderer"},
    {142, "AssetBundle"},
    {150, "PreloadData"},
    {156, "TerrainData"},
    {187, "Texture2DArray"},
    {198, "ParticleSystem"},
    {200, "ShaderVariantCollection"},
    {212, "SpriteRenderer"},
    {213, "Sprite"},
    {221, "AnimatorOverrideController"},
    {224, "RectTransform"},
    {240, "AudioMixer"},
    {290, "AssetBundleManifest"},
    {319, "AvatarMask"},
    {329, "VideoClip"},
    {687078895, "SpriteAtlas"},
};
// Classes whose first field, in player builds, is m_Name.
constexpr std::int32_t kNamedFirst[] = {21,  28,  43,  48,  49,  72,  74,  83,  84,
                                        89,  90,  91,  115, 117, 128, 134, 142, 150,
                                        156, 187, 200, 213, 221, 240, 319, 329, 687078895};

struct Type {
    std::int32_t classId = 0;
    std::optional<TypeTree> tree;
    bool fromLayout = false;
};

struct Header {
    std::uint32_t version = 0;
    std::uint64_t metadataSize = 0, fileSize = 0, dataOffset = 0;
    std::size_t headerSize = 0;
    bool bigEndian = false;
};

std::optional<Header> ReadHeader(std::span<const unsigned char> bytes) {
    Cursor in(bytes);
    Header header;
    in.Seek(8);
    header.version = in.U32();
    in.Seek(0);
    if (!in.ok() || header.version < kFirstVersion || header.version > 50) {
        return std::nullopt;
    }
    std::uint8_t endian = 0;
    if (header.version >= kLargeHeaderVersion) {
        in.Seek(16);
        header.metadataSize = in.U64();
        header.fileSize = in.U64();
        header.dataOffset = in.U64();
        endian = in.U8();
        header.headerSize = kLargeHeaderSize;
    } else {
        header.metadataSize = in.U32();
        header.fileSize = in.U32();
        in.U32();
        header.dataOffset = in.U32();
        endian = in.U8();
        header.headerSize = kSmallHeaderSize;
    }
    in.Skip(header.headerSize - in.Position());
    if (!in.ok() || endian > 1) {
        return std::nullopt;
    }
    header.bigEndian = endian == 1;
    return header;
}

// An aligned string at the cursor, or nullopt when its length does not fit.
std::optional<std::string_view> AlignedString(Cursor& in) {
    const std::int32_t length = in.I32();
    if (!in.ok() || length < 0 || !in.Holds(static_cast<std::uint64_t>(length), 1)) {
        return std::nullopt;
    }
    const auto bytes = in.Take(static_cast<std::uint64_t>(length));
    in.AlignFrom(0, 4);
    return std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

void SkipPPtr(Cursor& in, std::uint32_t version) {
    in.I32();
    in.Skip(version >= 14 ? 8 : 4);
}

// m_Name by the layout of player builds, for files without type trees.
std::optional<std::string_view> NameByLayout(std::int32_t classId, std::uint32_t version,
                                             Cursor& in) {
    if (classId == ClassId::GameObject) {
        const std::int32_t components = in.I32();
        const std::uint64_t each = (version >= 14 ? 12 : 8) + (version < 17 ? 4 : 0);
        if (components < 0 || !in.Holds(static_cast<std::uint64_t>(components), each)) {
            return std::nullopt;
        }
        in.Skip(static_cast<std::uint64_t>(components) * each);
        in.U32(); // m_Layer
        return AlignedString(in);
    }
    if (classId == ClassId::MonoBehaviour) {
        SkipPPtr(in, version);
        in.U8();
        in.AlignFrom(0, 4);
        SkipPPtr(in, version);
        return AlignedString(in);
    }
    for (const std::int32_t named : kNamedFirst) {
        if (named == classId) {
            return AlignedString(in);
        }
    }
    return std::nullopt;
}

// The AssetBundle's m_Container by its player-build layout: m_Name,
// m_PreloadTable (PPtrs), then pairs of an aligned string and AssetInfo
// {i32 preload index, i32 preload size, PPtr asset}.
void ContainerByLayout(Cursor& in, std::uint32_t version,
                       std::vector<std::pair<std::string_view, std::int64_t>>& out) {
    if (!AlignedString(in)) {
        return;
    }
    const std::uint64_t ptr = version >= 14 ? 12 : 8;
    const std::int32_t preload = in.I32();
    if (preload < 0 || !in.Holds(static_cast<std::uint64_t>(preload), ptr)) {
        return;
    }
    in.Skip(static_cast<std::uint64_t>(preload) * ptr);
    const std::int32_t count = in.I32();
    if (count < 0 || !in.Holds(static_cast<std::uint64_t>(count), 4 + 8 + ptr)) {
        return;
    }
    for (std::int32_t i = 0; i < count; ++i) {
        const auto path = AlignedString(in);
        in.Skip(8);
        const std::int32_t file = in.I32();
        const std::int64_t pathId = version >= 14 ? in.I64() : in.I32();
        if (!path || !in.ok()) {
            return;
        }
        if (file == 0) {
            out.emplace_back(*path, pathId);
        }
    }
}

// After the object table: the script references (version 11 on), then the
// externals, each an empty path (version 6 on), a GUID and a type (version
// 5 on) and the file's path. Read only as far as the metadata holds them.
void ReadExternals(Cursor& in, std::uint32_t v, SerializedFileListing& listing) {
    if (v >= 11) {
        const std::int32_t scripts = in.I32();
        if (!in.ok() || scripts < 0 || !in.Holds(static_cast<std::uint64_t>(scripts), 8)) {
            return;
        }
        for (std::int32_t i = 0; i < scripts && in.ok(); ++i) {
            in.I32();
            if (v >= 14) {
                in.AlignFrom(0, 4);
                in.I64();
            } else {
                in.I32();
            }
        }
    }
    const std::int32_t count = in.I32();
    if (!in.ok() || count < 0 || !in.Holds(static_cast<std::uint64_t>(count), 1)) {
        return;
    }
    for (std::int32_t i = 0; i < count; ++i) {
        if (v >= 6) {
            in.CString(kExternalPathLimit);
        }
        if (v >= 5) {
            in.Skip(kHashSize + 4);
        }
        const std::string_view path = in.CString(kExternalPathLimit);
        if (!in.ok()) {
            return;
        }
        listing.externals.emplace_back(path);
    }
}

void ContainerByTree(const UnityValue& bundle,
                     std::vector<std::pair<std::string_view, std::int64_t>>& out) {
    const UnityValue* container = bundle.Field("m_Container");
    if (container == nullptr || container->kind != UnityValue::Kind::Array) {
        return;
    }
    for (const UnityValue& pair : container->items) {
        const UnityValue* first = pair.Field("first");
        const UnityValue* second = pair.Field("second");
        const UnityValue* asset = second ? second->Field("asset") : nullptr;
        const UnityValue* file = asset ? asset->Field("m_FileID") : nullptr;
        const UnityValue* id = asset ? asset->Field("m_PathID") : nullptr;
        if (first && first->kind == UnityValue::Kind::String && file && id && file->AsInt() &&
            id->AsInt() && *file->AsInt() == 0) {
            out.emplace_back(first->Text(), *id->AsInt());
        }
    }
}

// m_StreamData {offset, size, path} or m_Resource / m_ExternalResources
// {m_Source, m_Offset, m_Size}: data kept in another file of the bundle.
void FindStream(const UnityValue& object, SerializedObject& out,
                const std::vector<std::pair<std::string_view, std::uint64_t>>& files, bool beside) {
    const UnityValue* path = nullptr;
    const UnityValue* offset = nullptr;
    const UnityValue* size = nullptr;
    if (const UnityValue* data = object.Field("m_StreamData")) {
        path = data->Field("path");
        offset = data->Field("offset");
        size = data->Field("size");
    } else if (const UnityValue* resource = object.Field("m_Resource")
                                                ? object.Field("m_Resource")
                                                : object.Field("m_ExternalResources")) {
        path = resource->Field("m_Source");
        offset = resource->Field("m_Offset");
        size = resource->Field("m_Size");
    }
    if (!path || !offset || !size || path->kind != UnityValue::Kind::String || !offset->AsInt() ||
        !size->AsInt() || path->bytes.empty()) {
        return;
    }
    const std::string_view text = path->Text();
    const std::string_view node = text.substr(text.rfind('/') + 1);
    const auto at = static_cast<std::uint64_t>(*offset->AsInt());
    const auto length = static_cast<std::uint64_t>(*size->AsInt());
    for (const auto& [name, fileSize] : files) {
        if (name == node) {
            if (FitsWithin(at, length, fileSize)) {
                out.stream = ObjectStream{std::string(node), at, length};
            } else {
                out.note = "streamed data lies outside " + std::string(node);
            }
            return;
        }
    }
    out.note = beside ? "needs " + std::string(node) + ", which is not beside it"
                      : "streamed from " + std::string(text) + ", which is not in this bundle";
}

} // namespace

std::string_view ClassName(std::int32_t classId) {
    for (const ClassEntry& entry : kClasses) {
        if (entry.id == classId) {
            return entry.name;
        }
    }
    return {};
}

bool LooksSerialized(std::span<const unsigned char> head, std::uint64_t size) {
    const auto header = ReadHeader(head);
    return header && header->fileSize == size && header->version <= kLastVersion &&
           FitsWithin(header->headerSize, header->metadataSize, header->dataOffset) &&
           header->dataOffset <= size;
}

SerializedFileListing
ReadSerializedFile(std::span<const unsigned char> bytes, std::uint64_t size,
                   const std::vector<std::pair<std::string_view, std::uint64_t>>& files,
                   std::string_view strippedVersion, bool beside) {
    return ParseSerializedFile(bytes, size, files, strippedVersion, beside).listing;
}

SerializedFile
ParseSerializedFile(std::span<const unsigned char> bytes, std::uint64_t size,
                    const std::vector<std::pair<std::string_view, std::uint64_t>>& files,
                    std::string_view strippedVersion, bool beside) {
    SerializedFile file;
    file.bytes = bytes;
    SerializedFileListing& listing = file.listing;
    std::string layoutNote;
    const auto header = ReadHeader(bytes);
    if (!header) {
        listing.note = "not a serialized file";
        return file;
    }
    const std::uint32_t v = header->version;
    listing.version = v;
    if (v > kLastVersion) {
        listing.note = "serialized file version " + std::to_string(v) + " is not read";
        return file;
    }
    if (header->fileSize != size ||
        !FitsWithin(header->headerSize, header->metadataSize, header->dataOffset) ||
        header->dataOffset > size) {
        listing.note = "the serialized file's header does not match its size";
        return file;
    }
    if (!FitsWithin(0, header->headerSize + header->metadataSize, bytes.size())) {
        listing.note = "the serialized file's metadata lies beyond what was read";
        return file;
    }
    // Offsets that follow are counted from the file start, as Unity aligns.
    Cursor in(bytes.first(static_cast<std::size_t>(header->headerSize + header->metadataSize)),
              header->bigEndian);
    in.Seek(header->headerSize);
    file.bigEndian = header->bigEndian;
    file.unityVersion = std::string(in.CString(kVersionLimit));
    listing.unityVersion = file.unityVersion;
    in.I32(); // target platform
    const bool trees = v >= 13 ? in.U8() != 0 : true;
    const std::int32_t typeCount = in.I32();
    if (!in.ok() || typeCount < 0 || !in.Holds(static_cast<std::uint64_t>(typeCount), 4)) {
        listing.note = "the type count does not fit in the metadata";
        return file;
    }
    std::vector<Type> types;
    types.reserve(static_cast<std::size_t>(typeCount));
    for (std::int32_t i = 0; i < typeCount && in.ok(); ++i) {
        Type& type = types.emplace_back();
        type.classId = in.I32();
        if (v >= 16) {
            in.U8();
        }
        if (v >= 17) {
            in.I16();
        }
        if (v >= 13) {
            if ((v >= 16 && type.classId == ClassId::MonoBehaviour) ||
                (v < 16 && type.classId < 0)) {
                in.Skip(kHashSize);
            }
            in.Skip(kHashSize);
        }
        if (trees) {
            std::string why;
            type.tree = v == 10 || v >= 12 ? ReadBlobTypeTree(in, v >= 19 ? 32 : 24, why)
                                           : ReadOldTypeTree(in, why);
            if (!type.tree) {
                listing.note = "type " + std::to_string(i) + ": " + why;
                return file;
            }
            if (v >= 21) {
                const std::int32_t dependencies = in.I32();
                if (dependencies < 0 || !in.Holds(static_cast<std::uint64_t>(dependencies), 4)) {
                    in.Fail();
                }
                in.Skip(static_cast<std::uint64_t>(std::max(dependencies, 0)) * 4);
            }
        }
    }
    // Player builds keep no type trees: their classes' layouts come from
    // the table of the file's engine version, looked up once, when needed.
    bool layoutsLooked = false;
    std::optional<std::string_view> layouts;
    const auto layoutOf = [&](std::int32_t classId) -> std::optional<TypeTree> {
        if (!layoutsLooked) {
            layoutsLooked = true;
            const std::string_view version =
                IsStrippedVersion(file.unityVersion) ? strippedVersion : file.unityVersion;
            layouts = LayoutVersion(version);
            if (layouts) {
                listing.layoutVersion = std::string(*layouts);
            } else if (IsStrippedVersion(version)) {
                layoutNote = "the file's Unity version is stripped (\"" + file.unityVersion +
                             "\"): its objects need --unity-version to be read";
            } else {
                layoutNote = "no class layouts are known for Unity " + std::string(version);
            }
        }
        return layouts ? LayoutTree(*layouts, classId) : std::nullopt;
    };
    if (!trees) {
        for (Type& type : types) {
            type.tree = layoutOf(type.classId);
            type.fromLayout = type.tree.has_value();
        }
    }
    const bool bigIds = v < 14 && in.I32() != 0;
    const std::int32_t objectCount = in.I32();
    if (!in.ok() || objectCount < 0 || !in.Holds(static_cast<std::uint64_t>(objectCount), 12)) {
        listing.note = "the object table does not fit in the metadata";
        return file;
    }
    struct Record {
        std::size_t type = SIZE_MAX;
    };
    std::vector<Record> records;
    listing.objects.reserve(static_cast<std::size_t>(objectCount));
    std::unordered_map<std::int64_t, std::size_t> byId;
    for (std::int32_t i = 0; i < objectCount; ++i) {
        SerializedObject& object = listing.objects.emplace_back();
        Record& record = records.emplace_back();
        if (v >= 14) {
            in.AlignFrom(0, 4);
        }
        object.pathId = v >= 14 || bigIds ? in.I64() : in.I32();
        const std::uint64_t start = v >= 22 ? in.U64() : in.U32();
        object.size = in.U32();
        const std::int32_t typeField = in.I32();
        if (v < 16) {
            object.classId = in.U16();
        }
        if (v < 11) {
            in.U16();
        }
        if (v >= 11 && v < 17) {
            in.I16();
        }
        if (v == 15 || v == 16) {
            in.U8();
        }
        if (!in.ok()) {
            listing.objects.pop_back();
            records.pop_back();
            listing.note = "the object table is cut short";
            break;
        }
        if (v >= 16) {
            if (typeField >= 0 && static_cast<std::size_t>(typeField) < types.size()) {
                record.type = static_cast<std::size_t>(typeField);
                object.classId = types[record.type].classId;
            } else {
                object.note = "type index " + std::to_string(typeField) + " is out of range";
            }
        } else {
            for (std::size_t t = 0; t < types.size(); ++t) {
                if (types[t].classId == typeField) {
                    record.type = t;
                }
            }
            if (record.type == SIZE_MAX) {
                // Unity 4 players list no types at all: each object names
                // its class, and the class's layout is its type.
                for (std::size_t t = 0; t < types.size(); ++t) {
                    if (types[t].fromLayout && types[t].classId == object.classId) {
                        record.type = t;
                    }
                }
                if (record.type == SIZE_MAX) {
                    if (auto tree = layoutOf(object.classId)) {
                        record.type = types.size();
                        types.push_back({object.classId, std::move(tree), true});
                    }
                }
            }
        }
        object.className = std::string(ClassName(object.classId));
        if (!FitsWithin(header->dataOffset, start, size) ||
            !FitsWithin(header->dataOffset + start, object.size, size)) {
            object.offset = start;
            if (object.note.empty()) {
                object.note = "the object lies outside the serialized file";
            }
            record.type = SIZE_MAX;
            continue;
        }
        object.offset = header->dataOffset + start;
        if (!byId.emplace(object.pathId, listing.objects.size() - 1).second &&
            object.note.empty()) {
            object.note = "path ID repeats an earlier object's";
        }
    }

    ReadExternals(in, v, listing);

    std::vector<std::pair<std::string_view, std::int64_t>> container;
    for (std::size_t i = 0; i < listing.objects.size(); ++i) {
        SerializedObject& object = listing.objects[i];
        if (records[i].type == SIZE_MAX) {
            continue;
        }
        if (!FitsWithin(object.offset, object.size, bytes.size())) {
            object.note = "the object lies beyond the part of the file that was read";
            records[i].type = SIZE_MAX;
            continue;
        }
        const auto data = bytes.subspan(static_cast<std::size_t>(object.offset),
                                        static_cast<std::size_t>(object.size));
        const Type& type = types[records[i].type];
        std::optional<UnityValue> value;
        std::size_t consumed = 0;
        if (type.tree) {
            std::string why;
            value = ReadObject(*type.tree, data, header->bigEndian, why, &consumed);
            if (!value && !type.fromLayout) {
                object.note = why;
                continue;
            }
            if (!value) {
                // A layout that does not fit still leaves the name, read
                // by the hand-kept layouts below.
                object.note =
                    "its class layout of Unity " + listing.layoutVersion + " does not fit: " + why;
            }
        }
        if (value) {
            if (const UnityValue* name = value->Field("m_Name");
                name && name->kind == UnityValue::Kind::String) {
                object.name = std::string(name->Text());
            }
            // A MonoBehaviour's layout is its header: the script's own
            // fields follow, which only the game's scripts describe.
            if (consumed != data.size() &&
                !(type.fromLayout && object.classId == ClassId::MonoBehaviour)) {
                object.note = "the type tree covers " + std::to_string(consumed) + " of " +
                              std::to_string(data.size()) + " bytes";
            }
            FindStream(*value, object, files, beside);
            if (object.classId == ClassId::AssetBundle) {
                ContainerByTree(*value, container);
            }
        }
        if (!value) {
            Cursor layout(data, header->bigEndian);
            if (const auto name = NameByLayout(object.classId, v, layout); name && layout.ok()) {
                object.name = std::string(*name);
            }
            if (object.classId == ClassId::AssetBundle) {
                Cursor again(data, header->bigEndian);
                ContainerByLayout(again, v, container);
            }
        }
    }
    for (const auto& [path, pathId] : container) {
        const auto found = byId.find(pathId);
        if (found != byId.end() && !listing.objects[found->second].containerPath) {
            listing.objects[found->second].containerPath = std::string(path);
        }
    }
    file.objectType.reserve(records.size());
    for (const Record& record : records) {
        file.objectType.push_back(record.type);
    }
    file.trees.reserve(types.size());
    for (Type& type : types) {
        file.trees.push_back(std::move(type.tree));
        file.fromLayout.push_back(type.fromLayout);
    }
    if (listing.note.empty() && !layoutNote.empty()) {
        listing.note = layoutNote;
    }
    return file;
}

ManagerNames ReadManagerNames(const SerializedFile& managers) {
    ManagerNames names;
    const std::vector<SerializedObject>& objects = managers.listing.objects;
    for (std::size_t i = 0; i < objects.size(); ++i) {
        const std::int32_t classId = objects[i].classId;
        const TypeTree* tree = managers.TreeOf(i);
        if (tree == nullptr ||
            (classId != ClassId::ResourceManager && classId != ClassId::BuildSettings)) {
            continue;
        }
        std::string why;
        const auto value = ReadObject(*tree, managers.BytesOf(i), managers.bigEndian, why);
        if (!value) {
            continue;
        }
        if (classId == ClassId::BuildSettings) {
            if (const UnityValue* scenes = value->Field("scenes");
                scenes && scenes->kind == UnityValue::Kind::Array) {
                for (const UnityValue& scene : scenes->items) {
                    names.scenes.emplace_back(
                        scene.kind == UnityValue::Kind::String ? scene.Text() : std::string_view());
                }
            }
            continue;
        }
        const UnityValue* container = value->Field("m_Container");
        if (container == nullptr || container->kind != UnityValue::Kind::Array) {
            continue;
        }
        const std::vector<std::string>& externals = managers.listing.externals;
        for (const UnityValue& pair : container->items) {
            const UnityValue* key = pair.Field("first");
            const UnityValue* target = pair.Field("second");
            const UnityValue* file = target ? target->Field("m_FileID") : nullptr;
            const UnityValue* id = target ? target->Field("m_PathID") : nullptr;
            if (key == nullptr || key->kind != UnityValue::Kind::String || !file || !id ||
                !file->AsInt() || !id->AsInt() || *file->AsInt() < 1 ||
                static_cast<std::uint64_t>(*file->AsInt()) > externals.size()) {
                continue;
            }
            names.resources.push_back({std::string(key->Text()),
                                       externals[static_cast<std::size_t>(*file->AsInt() - 1)],
                                       *id->AsInt()});
        }
    }
    return names;
}

} // namespace Kestrune::Unity
