#include "UnityExport.h"

#include "Bounds.h"
#include "Crypto.h"
#include "Detect.h"
#include "EntryData.h"
#include "Fsb5.h"
#include "KestruneEngine.h"
#include "PackageFiles.h"
#include "Png.h"
#include "SerializedFile.h"
#include "Texture.h"
#include "UnityBundle.h"
#include "UnityLayouts.h"
#include "UnityMesh.h"
#include "UnitySerialized.h"
#include "UnityWebData.h"
#include "Utf8.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>

namespace Kestrune::Unity {
namespace {

#ifdef _WIN32
constexpr const char* kPathSeparators = "/\\";
#else
constexpr const char* kPathSeparators = "/";
#endif

// Sprite settingsRaw: bit 0 packed into an atlas, bit 1 the packing mode
// (0 tight), bits 2-5 the rotation it was packed with.
constexpr std::uint64_t kSpritePacked = 1;
constexpr std::uint64_t kSpriteRectanglePacking = 2;
constexpr unsigned kSpriteRotationShift = 2;
constexpr std::uint64_t kSpriteRotationMask = 0xF;

// An FSB5 bank's tables lie at its start; this much of it is read to plan.
constexpr std::uint64_t kBankHeadRead = 1u << 20;

// How deep MonoBehaviour fields may nest in the JSON written for them; the
// type tree reader bounds the work, this bounds the writer's recursion.
constexpr int kJsonDepthLimit = 64;

// The written form's extension replaces the last one of the file name,
// where it has one.
std::string WithExtension(std::string_view path, std::string_view extension) {
    const std::size_t slash = path.rfind('/');
    const std::size_t dot = path.rfind('.');
    if (dot != std::string_view::npos && (slash == std::string_view::npos || dot > slash + 1)) {
        path = path.substr(0, dot);
    }
    return std::string(path) + std::string(extension);
}

bool HasExtension(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    const std::size_t dot = path.rfind('.');
    return dot != std::string_view::npos && (slash == std::string_view::npos || dot > slash + 1) &&
           dot + 1 < path.size();
}

std::string_view FontExtension(std::span<const unsigned char> data) {
    if (data.size() >= 4) {
        const std::string_view head(reinterpret_cast<const char*>(data.data()), 4);
        if (head == std::string_view("\0\1\0\0", 4) || head == "true") {
            return ".ttf";
        }
        if (head == "OTTO") {
            return ".otf";
        }
    }
    return {};
}

void AppendJsonString(std::string_view text, std::string& out) {
    out += '"';
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t start = at;
        const auto code = DecodeUtf8(text, at);
        if (!code) {
            // Bytes that are no UTF-8: the replacement character, as JSON
            // holds only text.
            out += "\\ufffd";
            at = start + 1;
            continue;
        }
        if (*code == '"' || *code == '\\') {
            out += '\\';
            out += static_cast<char>(*code);
        } else if (*code < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(*code));
            out += escape;
        } else {
            out.append(text.substr(start, at - start));
        }
    }
    out += '"';
}

void AppendNumber(double value, std::string& out) {
    if (!std::isfinite(value)) {
        out += "null"; // JSON has no infinities or NaN
        return;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", value);
    out += text;
}

// Bytes as a JSON string of their base64; false when that would be more
// than an export holds.
bool AppendBase64String(std::span<const unsigned char> bytes, std::string& out) {
    if (bytes.size() / 3 * 4 > kExportObjectLimit) {
        return false;
    }
    out += '"';
    AppendBase64(bytes, out);
    out += '"';
    return true;
}

// A packed array's elements: bytes as base64, numbers as a JSON array.
// False once the text grows past what an export holds.
bool AppendPacked(const UnityValue& value, bool bigEndian, std::string& out) {
    const std::string_view type = value.element ? value.element->type : std::string_view("UInt8");
    const std::size_t size = PrimitiveSize(type).value_or(1);
    if (size == 1 && type != "bool") {
        return AppendBase64String(value.bytes, out);
    }
    out += '[';
    for (std::uint64_t i = 0; i < value.count; ++i) {
        if (out.size() > kExportObjectLimit) {
            return false;
        }
        std::uint64_t raw = 0;
        for (std::size_t b = 0; b < size; ++b) {
            const std::uint64_t byte = value.bytes[static_cast<std::size_t>(i) * size + b];
            raw |= byte << (8 * (bigEndian ? size - 1 - b : b));
        }
        if (i != 0) {
            out += ',';
        }
        if (type == "float") {
            float f = 0;
            const auto bits = static_cast<std::uint32_t>(raw);
            std::memcpy(&f, &bits, sizeof f);
            AppendNumber(f, out);
        } else if (type == "double") {
            double d = 0;
            std::memcpy(&d, &raw, sizeof d);
            AppendNumber(d, out);
        } else if (type == "bool") {
            out += raw != 0 ? "true" : "false";
        } else if (type.starts_with("SInt") || type == "int" || type == "short" ||
                   type == "long long") {
            const unsigned shift = static_cast<unsigned>(64 - 8 * size);
            out += std::to_string(static_cast<std::int64_t>(raw << shift) >> shift);
        } else {
            out += std::to_string(raw);
        }
    }
    out += ']';
    return true;
}

// False when the fields nest too deep, or the text grows past what an
// export holds (field names repeat for every element of an array).
bool AppendJson(const UnityValue& value, bool bigEndian, int depth, std::string& out,
                bool& tooDeep) {
    tooDeep = depth > kJsonDepthLimit;
    if (tooDeep || out.size() > kExportObjectLimit) {
        return false;
    }
    switch (value.kind) {
    case UnityValue::Kind::Int:
        out += std::to_string(value.i);
        return true;
    case UnityValue::Kind::UInt:
        out += std::to_string(value.u);
        return true;
    case UnityValue::Kind::Float:
        AppendNumber(value.f, out);
        return true;
    case UnityValue::Kind::Bool:
        out += value.u != 0 ? "true" : "false";
        return true;
    case UnityValue::Kind::String:
        AppendJsonString(value.Text(), out);
        return true;
    case UnityValue::Kind::Bytes:
        return AppendBase64String(value.bytes, out);
    case UnityValue::Kind::PackedArray:
        return AppendPacked(value, bigEndian, out);
    case UnityValue::Kind::Array:
        out += '[';
        for (std::size_t i = 0; i < value.items.size(); ++i) {
            if (i != 0) {
                out += ',';
            }
            if (!AppendJson(value.items[i], bigEndian, depth + 1, out, tooDeep)) {
                return false;
            }
        }
        out += ']';
        return true;
    case UnityValue::Kind::Struct:
        break;
    }
    if (value.node && value.node->type.starts_with("PPtr<")) {
        const UnityValue* file = value.Field("m_FileID");
        const UnityValue* id = value.Field("m_PathID");
        if (file && id && file->AsInt() && id->AsInt()) {
            out += "{\"file_id\":" + std::to_string(*file->AsInt()) +
                   ",\"path_id\":" + std::to_string(*id->AsInt()) + "}";
            return true;
        }
    }
    out += '{';
    for (std::size_t i = 0; i < value.items.size(); ++i) {
        if (i != 0) {
            out += ',';
        }
        AppendJsonString(value.items[i].Name(), out);
        out += ':';
        if (!AppendJson(value.items[i], bigEndian, depth + 1, out, tooDeep)) {
            return false;
        }
    }
    out += '}';
    return true;
}

std::vector<unsigned char> Bytes(std::span<const unsigned char> data) {
    return {data.begin(), data.end()};
}

// Where one planned object lies, and what naming it needs.
struct ObjectRef {
    std::size_t node = 0;
    std::size_t object = SIZE_MAX;
    std::string container; ///< its container path; empty for none
    std::string ownName;   ///< the name it takes beside an object that keeps the path
    std::string extension;
};

class BundleExporter final : public PackageExporter {
public:
    BundleExporter(PackageFiles& files, Bundle bundle, bool standalone)
        : files_(files), bundle_(std::move(bundle)), standalone_(standalone), reader_(files) {
        // A stripped file's version: the user's, else the bundle's own.
        strippedVersion_ = !files.Options().unityVersion.empty()      ? files.Options().unityVersion
                           : IsStrippedVersion(bundle_.engineVersion) ? std::string()
                                                                      : bundle_.engineVersion;
        for (const BundleNode& node : bundle_.nodes) {
            names_.emplace_back(node.path, node.size);
        }
        for (std::size_t n = 0; n < bundle_.nodes.size(); ++n) {
            PlanNode(n);
        }
        NameShared();
    }

    const std::vector<PlannedExport>& Plan() const override { return plan_; }

    ConvertedObject Convert(std::size_t item) override {
        ConvertedObject result;
        const ObjectRef& ref = refs_[item];
        if (!Load(ref.node)) {
            result.failure = loadFailure_;
            return result;
        }
        const auto value = Read(ref.object, result.failure);
        if (!value) {
            return result;
        }
        switch (loaded_.listing.objects[ref.object].classId) {
        case ClassId::TextAsset:
            if (const UnityValue* script = value->Field("m_Script")) {
                result.bytes = Bytes(script->bytes);
            }
            break;
        case ClassId::Font:
            if (const UnityValue* font = value->Field("m_FontData")) {
                result.bytes = Bytes(font->bytes);
            }
            break;
        case ClassId::MonoBehaviour: {
            std::string json;
            bool tooDeep = false;
            if (!AppendJson(*value, loaded_.bigEndian, 0, json, tooDeep)) {
                result.failure = !tooDeep ? "its JSON text is more than an export holds (" +
                                                std::to_string(kExportObjectLimit) + " bytes)"
                                          : "its fields nest deeper than " +
                                                std::to_string(kJsonDepthLimit) + " levels";
                return result;
            }
            json += '\n';
            result.bytes.assign(json.begin(), json.end());
            break;
        }
        case ClassId::AudioClip:
            ConvertAudio(ref, *value, result);
            break;
        case ClassId::Mesh:
            ConvertMesh(ref, *value, result);
            break;
        case ClassId::Texture2D:
            ConvertTexture(item, *value, result);
            break;
        case ClassId::Sprite:
            ConvertSprite(*value, result);
            break;
        default:
            result.failure = "no converter";
            break;
        }
        return result;
    }

private:
    // Reads the serialized file of node `n` into memory, keeping it for the
    // objects that follow in it.
    bool Load(std::size_t n) {
        if (loadedNode_ == n) {
            return loadFailure_.empty();
        }
        loadedNode_ = n;
        loadFailure_.clear();
        loaded_ = SerializedFile{};
        const BundleNode& node = bundle_.nodes[n];
        if (node.size > kExportObjectLimit) {
            loadFailure_ = "its file " + std::string(node.path) + " holds " +
                           std::to_string(node.size) + " bytes, more than an export reads (" +
                           std::to_string(kExportObjectLimit) + ")";
            loadedBytes_.clear();
            return false;
        }
        ArchiveEntry entry;
        entry.name.assign(node.path);
        entry.offset = node.offset;
        entry.size = node.size;
        entry.content = node.content;
        MemorySink sink(static_cast<std::size_t>(node.size));
        if (const auto failure = reader_.Read(entry, sink)) {
            loadFailure_ = "reading " + std::string(node.path) + " failed: " + failure->reason;
            loadedBytes_.clear();
            return false;
        }
        loadedBytes_ = std::move(sink.bytes);
        loaded_ =
            ParseSerializedFile(loadedBytes_, node.size, names_, strippedVersion_, standalone_);
        NameByContainer(loaded_.listing, bundle_.containerNames);
        return true;
    }

    std::optional<UnityValue> Read(std::size_t object, std::optional<std::string>& failure) {
        const TypeTree* tree = loaded_.TreeOf(object);
        if (tree == nullptr) {
            failure = loaded_.listing.layoutVersion.empty()
                          ? "the file holds no type tree for it"
                          : "the file holds no type tree for it, and Unity " +
                                loaded_.listing.layoutVersion + " no class layout";
            return std::nullopt;
        }
        std::string why;
        auto value = ReadObject(*tree, loaded_.BytesOf(object), loaded_.bigEndian, why);
        if (!value) {
            failure = why;
        }
        return value;
    }

    // `length` bytes of the streamed data `stream` (in another file of the
    // bundle); nullopt with `why` when they cannot be read whole.
    std::optional<std::vector<unsigned char>> ReadRange(const ObjectStream& stream,
                                                        std::uint64_t length, std::string& why) {
        const BundleNode* node = nullptr;
        for (const BundleNode& candidate : bundle_.nodes) {
            if (candidate.path == stream.node) {
                node = &candidate;
            }
        }
        if (node == nullptr || !FitsWithin(stream.offset, length, node->size)) {
            why = "its data lies outside " + stream.node;
            return std::nullopt;
        }
        if (length > kExportObjectLimit) {
            why = "its data of " + std::to_string(length) +
                  " bytes is more than an export reads (" + std::to_string(kExportObjectLimit) +
                  ")";
            return std::nullopt;
        }
        ArchiveEntry entry;
        entry.name = stream.node;
        entry.size = length;
        entry.content = node->content;
        EntryContent& content = entry.content;
        if (content.encoding == ContentEncoding::Pieces) {
            // Whole pieces before the range are passed over, not decoded.
            content.skip += stream.offset;
            const std::span<const Piece> pieces = content.Pieces();
            std::size_t passed = 0;
            while (passed + 1 < pieces.size() && content.skip >= pieces[passed].decodedLength) {
                content.skip -= pieces[passed].decodedLength;
                ++passed;
            }
            content.firstPiece += static_cast<std::uint32_t>(passed);
            content.pieceCount -= static_cast<std::uint32_t>(passed);
        } else if (content.runCount == 1) {
            content.runs[0].offset += stream.offset;
            content.runs[0].length = length;
        } else {
            why = "its data lies in a file stored in parts";
            return std::nullopt;
        }
        MemorySink sink(static_cast<std::size_t>(length));
        if (const auto failure = reader_.Read(entry, sink)) {
            why = "reading its data from " + stream.node + " failed: " + failure->reason;
            return std::nullopt;
        }
        return std::move(sink.bytes);
    }

    // The audio of a clip: from its .resource range, or kept in the object
    // by engines before 5.
    std::optional<std::vector<unsigned char>> AudioOf(const SerializedObject& object,
                                                      const UnityValue& value, std::uint64_t limit,
                                                      std::string& why) {
        if (object.stream) {
            return ReadRange(*object.stream, std::min(limit, object.stream->size), why);
        }
        const UnityValue* data = value.Field("m_AudioData");
        if (data && data->kind == UnityValue::Kind::PackedArray && !data->bytes.empty()) {
            return Bytes(data->bytes.first(
                static_cast<std::size_t>(std::min<std::uint64_t>(limit, data->bytes.size()))));
        }
        why = object.note.empty() ? "it holds no audio data" : object.note;
        return std::nullopt;
    }

    std::uint64_t AudioSize(const SerializedObject& object, const UnityValue& value) {
        if (object.stream) {
            return object.stream->size;
        }
        const UnityValue* data = value.Field("m_AudioData");
        return data ? data->bytes.size() : 0;
    }

    // A bank of one PCM sample becomes a WAVE file; any other bank is
    // written as it is, being the clip's own stored form.
    void PlanAudio(const SerializedObject& object, const UnityValue& value, PlannedExport& planned,
                   std::string& extension) {
        std::string why;
        const auto head = AudioOf(object, value, kBankHeadRead, why);
        const auto bank = head ? ReadFsbBank(*head, AudioSize(object, value), why) : std::nullopt;
        if (!bank) {
            // Audio data that cannot be read is a failure; data read that
            // is no FSB5 bank is only not converted.
            planned.skipped = why;
            planned.failed = !head;
            return;
        }
        const bool wave = bank->samples.size() == 1 && FsbPcmBits(bank->mode) != 0;
        planned.form = wave ? "WAV" : "FSB5";
        extension = wave ? ".wav" : ".fsb";
    }

    void ConvertAudio(const ObjectRef& ref, const UnityValue& value, ConvertedObject& result) {
        const SerializedObject& object = loaded_.listing.objects[ref.object];
        std::string why;
        auto audio = AudioOf(object, value, AudioSize(object, value), why);
        const auto bank = audio ? ReadFsbBank(*audio, audio->size(), why) : std::nullopt;
        if (!bank) {
            result.failure = why;
            return;
        }
        const std::uint32_t bits = FsbPcmBits(bank->mode);
        if (bank->samples.size() == 1 && bits != 0) {
            const FsbSample& sample = bank->samples.front();
            result.bytes = WaveFile(
                std::span<const unsigned char>(*audio).subspan(
                    static_cast<std::size_t>(sample.offset), static_cast<std::size_t>(sample.size)),
                sample.rate, sample.channels, bits, bank->mode == 5);
            return;
        }
        result.notes.push_back(FsbModeName(bank->mode) + " audio" +
                               (bank->samples.size() == 1
                                    ? ""
                                    : " in " + std::to_string(bank->samples.size()) + " samples") +
                               ": written as its FSB5 bank, which this tool does not decode");
        result.bytes = std::move(*audio);
    }

    static std::string FormatName(std::int64_t format) {
        const std::string_view name = format >= 0 && format <= INT32_MAX
                                          ? TextureFormatName(static_cast<std::int32_t>(format))
                                          : std::string_view();
        return name.empty() ? "TextureFormat" + std::to_string(format) : std::string(name);
    }

    // An object's large data: kept in it (`field`), or streamed from its
    // range of another file of the bundle.
    std::optional<std::vector<unsigned char>> DataOf(const SerializedObject& object,
                                                     const UnityValue& value,
                                                     std::string_view field, std::string& why) {
        const UnityValue* kept = value.Field(field);
        if (kept && !kept->bytes.empty()) {
            return Bytes(kept->bytes);
        }
        if (object.stream) {
            return ReadRange(*object.stream, object.stream->size, why);
        }
        why = object.note.empty() ? "it holds no data" : object.note;
        return std::nullopt;
    }

    void ConvertMesh(const ObjectRef& ref, const UnityValue& value, ConvertedObject& result) {
        const SerializedObject& object = loaded_.listing.objects[ref.object];
        std::vector<unsigned char> streamed;
        std::string why;
        const UnityValue* vertexData = value.Field("m_VertexData");
        const UnityValue* kept = vertexData ? vertexData->Field("m_DataSize") : nullptr;
        if ((kept == nullptr || kept->bytes.empty()) && object.stream && object.stream->size > 0) {
            auto bytes = ReadRange(*object.stream, object.stream->size, why);
            if (!bytes) {
                result.failure = why;
                return;
            }
            streamed = std::move(*bytes);
        } else if (!object.note.empty() && object.note.starts_with("stream")) {
            result.failure = object.note;
            return;
        }
        MeshReading reading = ReadMesh(value, streamed, loaded_.bigEndian, loaded_.unityVersion);
        if (!reading.mesh) {
            result.failure = reading.why;
            return;
        }
        // The text's largest possible size, before it is made: no vertex's
        // lines take more than 128 bytes, no index more than 40, no line of
        // a name more than the name and 64.
        constexpr std::uint64_t kVertexText = 128;
        constexpr std::uint64_t kIndexText = 40;
        constexpr std::uint64_t kLineText = 64;
        std::uint64_t bound = reading.mesh->vertices.size() * kVertexText +
                              reading.mesh->indices.size() * kIndexText +
                              reading.mesh->name.size() + kLineText;
        for (const MeshGroup& group : reading.mesh->groups) {
            bound += group.name.size() + kLineText;
        }
        if (bound > kExportObjectLimit) {
            result.failure = "its OBJ text could take " + std::to_string(bound) +
                             " bytes, more than an export holds (" +
                             std::to_string(kExportObjectLimit) + ")";
            return;
        }
        result.notes = std::move(reading.notes);
        const std::string text = KestruneEngine::ExportObj(*reading.mesh);
        result.bytes.assign(text.begin(), text.end());
    }

    // A texture's first mip level decoded; nullopt with `why`.
    std::optional<Image> DecodeTextureObject(const SerializedObject& object,
                                             const UnityValue& value, std::string& why) {
        const auto number = [&](std::string_view name) -> std::int64_t {
            const UnityValue* field = value.Field(name);
            return field && field->AsInt() ? *field->AsInt() : -1;
        };
        const std::int64_t width = number("m_Width");
        const std::int64_t height = number("m_Height");
        const std::int64_t format = number("m_TextureFormat");
        if (width <= 0 || height <= 0 || width > INT32_MAX || height > INT32_MAX) {
            why = "its size " + std::to_string(width) + "x" + std::to_string(height) +
                  " is no image's";
            return std::nullopt;
        }
        if (format < 0 || format > INT32_MAX ||
            !DecodesTextureFormat(static_cast<std::int32_t>(format))) {
            why = "no converter for " + FormatName(format) + " here";
            return std::nullopt;
        }
        const auto data = DataOf(object, value, "image data", why);
        if (!data) {
            return std::nullopt;
        }
        return DecodeTexture(static_cast<std::int32_t>(format), static_cast<std::uint32_t>(width),
                             static_cast<std::uint32_t>(height), *data, why);
    }

    void ConvertTexture(std::size_t item, const UnityValue& value, ConvertedObject& result) {
        const SerializedObject& object = loaded_.listing.objects[refs_[item].object];
        std::string why;
        if (plan_[item].unconverted) {
            auto data = DataOf(object, value, "image data", why);
            if (!data) {
                result.failure = why;
                return;
            }
            result.bytes = std::move(*data);
            return;
        }
        const auto image = DecodeTextureObject(object, value, why);
        auto png = image ? EncodePng(*image, why) : std::nullopt;
        if (!png) {
            result.failure = why;
            return;
        }
        result.bytes = std::move(*png);
    }

    // The first mip level of the Texture2D `pathId` of the file loaded;
    // nullopt with `why`.
    std::optional<Image> TextureImage(std::int64_t pathId, std::string& why) {
        std::size_t textureObject = SIZE_MAX;
        const auto& objects = loaded_.listing.objects;
        for (std::size_t o = 0; o < objects.size(); ++o) {
            if (objects[o].pathId == pathId && objects[o].classId == ClassId::Texture2D) {
                textureObject = o;
            }
        }
        if (textureObject == SIZE_MAX) {
            why = "its texture #" + std::to_string(pathId) + " is not in the file";
            return std::nullopt;
        }
        std::optional<std::string> failure;
        const auto textureValue = Read(textureObject, failure);
        if (!textureValue) {
            why = "its texture cannot be read: " + *failure;
            return std::nullopt;
        }
        auto image = DecodeTextureObject(objects[textureObject], *textureValue, why);
        if (!image) {
            why = "its texture: " + why;
        }
        return image;
    }

    // A texture in another serialized file of a player's data folder,
    // external number `fileIndex` of the file loaded: read from the file of
    // that name beside this one (its last path part only, so that a file
    // never leads the reading out of its folder), with its own streams. The
    // last such file stays open for the sprites that follow.
    std::optional<Image> ExternalTextureImage(std::int64_t fileIndex, std::int64_t pathId,
                                              std::string& why) {
        const std::vector<std::string>& externals = loaded_.listing.externals;
        if (!standalone_ || fileIndex < 1 ||
            static_cast<std::uint64_t>(fileIndex) > externals.size()) {
            why = "its texture lies in another file";
            return std::nullopt;
        }
        const std::string& external = externals[static_cast<std::size_t>(fileIndex - 1)];
        const std::string name = external.substr(external.find_last_of("/\\") + 1);
        const std::string& self = files_.Path();
        const std::size_t slash = self.find_last_of(kPathSeparators);
        const std::string path =
            (slash == std::string::npos ? std::string() : self.substr(0, slash + 1)) + name;
        if (path != siblingPath_) {
            sibling_.reset();
            siblingFiles_.reset();
            siblingPath_ = path;
            if (!name.empty() && name != "." && name != "..") {
                siblingFiles_ = OpenPackageFiles(path, files_.Options());
            }
            if (siblingFiles_ && Unity::LooksStandaloneSerialized(siblingFiles_->Package())) {
                sibling_ = std::make_unique<BundleExporter>(
                    *siblingFiles_, StandaloneAsBundle(*siblingFiles_), true);
            }
        }
        if (!sibling_) {
            why = "its texture lies in " + name + ", which is not a serialized file beside it";
            return std::nullopt;
        }
        if (!sibling_->Load(0)) {
            why = "its texture lies in " + name + ": " + sibling_->loadFailure_;
            return std::nullopt;
        }
        auto image = sibling_->TextureImage(pathId, why);
        if (!image) {
            why += " (in " + name + ")";
        }
        return image;
    }

    // A sprite's rectangle of its texture (of this file), cut from the
    // texture as stored: a sprite rotated or tightly packed into an atlas
    // comes out as its rectangle there, with a note.
    void ConvertSprite(const UnityValue& value, ConvertedObject& result) {
        const UnityValue* rd = value.Field("m_RD");
        const UnityValue* texture = rd ? rd->Field("texture") : nullptr;
        const UnityValue* rect = rd ? rd->Field("textureRect") : nullptr;
        const UnityValue* file = texture ? texture->Field("m_FileID") : nullptr;
        const UnityValue* id = texture ? texture->Field("m_PathID") : nullptr;
        if (!rect || !file || !id || !file->AsInt() || !id->AsInt()) {
            result.failure = "it names no texture rectangle";
            return;
        }
        std::string why;
        const auto image = *file->AsInt() == 0
                               ? TextureImage(*id->AsInt(), why)
                               : ExternalTextureImage(*file->AsInt(), *id->AsInt(), why);
        if (!image) {
            result.failure = why;
            return;
        }
        const auto side = [&](std::string_view name) {
            const UnityValue* field = rect->Field(name);
            return field && field->kind == UnityValue::Kind::Float ? field->f : -1.0;
        };
        auto cut = CropBottomUp(*image, side("x"), side("y"), side("width"), side("height"), why);
        auto png = cut ? EncodePng(*cut, why) : std::nullopt;
        if (!png) {
            result.failure = why;
            return;
        }
        result.bytes = std::move(*png);
        const UnityValue* settings = rd->Field("settingsRaw");
        const std::uint64_t raw =
            settings && settings->AsInt() ? static_cast<std::uint64_t>(*settings->AsInt()) : 0;
        if ((raw & kSpritePacked) != 0 && (raw & kSpriteRectanglePacking) == 0) {
            result.notes.push_back("tightly packed: written as its whole rectangle");
        }
        if ((raw & kSpritePacked) != 0 &&
            ((raw >> kSpriteRotationShift) & kSpriteRotationMask) != 0) {
            result.notes.push_back("rotated in its atlas: written as it lies there");
        }
    }

    void PlanNode(std::size_t n) {
        const BundleNode& node = bundle_.nodes[n];
        if (node.flagsKnown && !node.flaggedSerialized) {
            return;
        }
        // Only files that look serialized are read whole for their objects.
        ArchiveEntry head;
        head.size = std::min<std::uint64_t>(node.size, 64);
        head.content = node.content;
        if (!node.flagsKnown) {
            MemorySink sink(static_cast<std::size_t>(head.size));
            reader_.Read(head, sink);
            if (!LooksSerialized(sink.bytes, node.size)) {
                return;
            }
        }
        const bool loaded = Load(n);
        const std::vector<SerializedObject>& objects = loaded_.listing.objects;
        for (std::size_t o = 0; o < (loaded ? objects.size() : 0); ++o) {
            PlanObject(n, o);
        }
        if (!loaded) {
            PlannedExport& planned = plan_.emplace_back();
            planned.source = std::string(node.path);
            planned.entry = std::string(node.path);
            planned.skipped = loadFailure_;
            refs_.emplace_back().node = n;
        }
    }

    void PlanObject(std::size_t n, std::size_t o) {
        const SerializedObject& object = loaded_.listing.objects[o];
        PlannedExport& planned = plan_.emplace_back();
        ObjectRef& ref = refs_.emplace_back();
        ref.node = n;
        ref.object = o;
        ref.container = object.containerPath.value_or("");
        planned.entry = standalone_ ? ObjectEntryName(object) : std::string(bundle_.nodes[n].path);
        planned.pathId = object.pathId;
        planned.objectClass =
            object.className.empty() ? "class " + std::to_string(object.classId) : object.className;
        const std::string label = object.name.empty() ? planned.objectClass : object.name;
        const std::string byName = label + " #" + std::to_string(object.pathId);
        planned.source = object.containerPath ? *object.containerPath : byName;
        ref.ownName = object.name.empty() ? byName : object.name;

        std::optional<std::string> failure;
        std::string extension;
        switch (object.classId) {
        case ClassId::TextAsset:
        case ClassId::Font:
        case ClassId::MonoBehaviour:
        case ClassId::AudioClip:
        case ClassId::Mesh:
        case ClassId::Texture2D:
        case ClassId::Sprite:
            break;
        default:
            planned.skipped = planned.objectClass + " objects are not exported";
            return;
        }
        if (object.classId == ClassId::MonoBehaviour && loaded_.TreeFromLayout(o)) {
            planned.skipped = "its fields beyond the MonoBehaviour header are laid out by the "
                              "game's scripts, which the file does not describe";
            return;
        }
        const auto value = Read(o, failure);
        if (!value) {
            planned.skipped = *failure;
            planned.failed = true;
            return;
        }
        if (object.classId == ClassId::TextAsset) {
            const UnityValue* script = value->Field("m_Script");
            if (!script || (script->kind != UnityValue::Kind::String &&
                            script->kind != UnityValue::Kind::Bytes)) {
                planned.skipped = "it has no m_Script";
                planned.failed = true;
                return;
            }
            const bool text = IsValidUtf8(script->Text());
            planned.form = text ? "text" : "bytes";
            if (object.containerPath && HasExtension(*object.containerPath)) {
                planned.name = *object.containerPath;
                ref.extension = planned.name.substr(planned.name.rfind('.'));
                return;
            }
            extension = text ? ".txt" : ".bytes";
        } else if (object.classId == ClassId::Font) {
            const UnityValue* font = value->Field("m_FontData");
            if (!font || font->kind != UnityValue::Kind::PackedArray || font->bytes.empty()) {
                planned.skipped = "it holds no font data";
                return;
            }
            extension = FontExtension(font->bytes);
            if (extension.empty()) {
                planned.skipped = "its font data is neither TrueType nor OpenType";
                return;
            }
            planned.form = extension == ".ttf" ? "TrueType" : "OpenType";
        } else if (object.classId == ClassId::AudioClip) {
            PlanAudio(object, *value, planned, extension);
            if (!planned.skipped.empty()) {
                return;
            }
        } else if (object.classId == ClassId::Mesh) {
            planned.form = "OBJ";
            extension = ".obj";
        } else if (object.classId == ClassId::Texture2D) {
            const std::int64_t format =
                value->Field("m_TextureFormat") && value->Field("m_TextureFormat")->AsInt()
                    ? *value->Field("m_TextureFormat")->AsInt()
                    : -1;
            const std::string formatName = FormatName(format);
            if (format >= 0 && format <= INT32_MAX &&
                DecodesTextureFormat(static_cast<std::int32_t>(format))) {
                planned.form = "PNG";
                extension = ".png";
            } else {
                // No decoder: the stored data, its format in the name.
                planned.form = "raw " + formatName;
                planned.unconverted = true;
                extension = "." + formatName + ".bin";
            }
        } else if (object.classId == ClassId::Sprite) {
            planned.form = "PNG";
            extension = ".png";
        } else {
            planned.form = "JSON";
            extension = ".json";
        }
        planned.name = object.containerPath ? WithExtension(*object.containerPath, extension)
                                            : byName + extension;
        ref.extension = extension;
    }

    // Objects that share a container path: the first Texture2D keeps it,
    // or the first object where none is; the others are named by their own
    // names in its directory.
    void NameShared() {
        std::map<std::string_view, std::vector<std::size_t>> byPath;
        for (std::size_t i = 0; i < plan_.size(); ++i) {
            if (plan_[i].skipped.empty() && !refs_[i].container.empty()) {
                byPath[refs_[i].container].push_back(i);
            }
        }
        for (const auto& [path, items] : byPath) {
            if (items.size() < 2) {
                continue;
            }
            std::size_t keeper = items.front();
            for (const std::size_t i : items) {
                if (plan_[i].objectClass == "Texture2D") {
                    keeper = i;
                    break;
                }
            }
            const std::size_t slash = path.rfind('/');
            const std::string directory =
                slash == std::string_view::npos ? "" : std::string(path.substr(0, slash + 1));
            for (const std::size_t i : items) {
                if (i != keeper) {
                    plan_[i].name = directory + refs_[i].ownName + refs_[i].extension;
                }
            }
        }
    }

    PackageFiles& files_;
    Bundle bundle_;
    bool standalone_ = false; ///< A standalone file: its objects are the entries
    std::string strippedVersion_;
    EntryReader reader_;
    std::vector<std::pair<std::string_view, std::uint64_t>> names_;
    std::vector<PlannedExport> plan_;
    std::vector<ObjectRef> refs_;
    std::size_t loadedNode_ = SIZE_MAX;
    std::string loadFailure_;
    std::vector<unsigned char> loadedBytes_;
    SerializedFile loaded_;
    // The other file of the folder that a sprite's texture was last read from.
    std::string siblingPath_;
    std::unique_ptr<PackageFiles> siblingFiles_;
    std::unique_ptr<BundleExporter> sibling_;
};

} // namespace

std::unique_ptr<PackageExporter> MakeBundleExporter(PackageFiles& files) {
    return std::make_unique<BundleExporter>(files, ReadBundle(files.Package(), files.Options()),
                                            false);
}

std::unique_ptr<PackageExporter> MakeWebDataExporter(PackageFiles& files) {
    return std::make_unique<BundleExporter>(files, WebDataAsBundle(files), false);
}

std::unique_ptr<PackageExporter> MakeSerializedFileExporter(PackageFiles& files) {
    return std::make_unique<BundleExporter>(files, StandaloneAsBundle(files), true);
}

} // namespace Kestrune::Unity
