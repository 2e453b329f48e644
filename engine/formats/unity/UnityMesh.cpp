#include "UnityMesh.h"

#include "Bounds.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace Kestrune::Unity {
namespace {

constexpr std::uint64_t kStreamAlign = 16;    // each vertex stream starts at a multiple
constexpr unsigned kPackedBitLimit = 32;      // a packed bit vector's widest item
constexpr std::uint64_t kDimensionMask = 0xF; // the channel's dimension byte, low bits
constexpr std::int64_t kTriangles = 0;        // m_SubMeshes topology
constexpr std::size_t kPositionChannel = 0;
constexpr std::size_t kNormalChannel = 1;
constexpr std::size_t kColorChannelBefore2018 = 2;
constexpr std::uint64_t kColorFormatBefore2019 = 2; // four bytes, whatever the dimension says
constexpr std::size_t kTexCoordChannelBefore2018 = 3;
constexpr std::size_t kTexCoordChannel = 4;
// m_UVInfo: 4 bits per texture coordinate set, the first set lowest.
constexpr std::uint64_t kUvInfoExists = 4;
constexpr std::uint64_t kUvInfoDimensionMask = 3;

// Unity's vertex formats, numbered as from Unity 2019 on.
enum class Format : std::uint8_t {
    Float,
    Float16,
    UNorm8,
    SNorm8,
    UNorm16,
    SNorm16,
    UInt8,
    SInt8,
    UInt16,
    SInt16,
    UInt32,
    SInt32
};
constexpr std::uint64_t kFormatCount = 12;

struct EngineVersion {
    int major = 0;
    int minor = 0;
    bool known = false;
};

// "2019.4.0f1" -> 2019, 4. Anything else is not known.
EngineVersion ParseVersion(std::string_view text) {
    EngineVersion version;
    std::size_t at = 0;
    const auto number = [&](int& into) {
        const std::size_t start = at;
        while (at < text.size() && at - start < 6 && text[at] >= '0' && text[at] <= '9') {
            into = into * 10 + (text[at] - '0');
            ++at;
        }
        return at > start;
    };
    if (!number(version.major) || at >= text.size() || text[at] != '.') {
        return {};
    }
    ++at;
    version.known = number(version.minor) && version.major > 0;
    return version;
}

std::optional<Format> ToFormat(std::uint64_t raw, EngineVersion version) {
    if (version.major < 2017) {
        // float, half, color (four unorm8), byte, uint32
        constexpr Format kOld[] = {Format::Float, Format::Float16, Format::UNorm8, Format::UInt8,
                                   Format::UInt32};
        return raw < std::size(kOld) ? std::optional(kOld[raw]) : std::nullopt;
    }
    if (version.major < 2019) {
        // The 2019 numbering with color (four unorm8) inserted at 2.
        if (raw <= 2) {
            return raw == 2 ? Format::UNorm8 : static_cast<Format>(raw);
        }
        return raw <= kFormatCount ? std::optional(static_cast<Format>(raw - 1)) : std::nullopt;
    }
    return raw < kFormatCount ? std::optional(static_cast<Format>(raw)) : std::nullopt;
}

std::size_t FormatSize(Format format) {
    switch (format) {
    case Format::Float:
    case Format::UInt32:
    case Format::SInt32:
        return 4;
    case Format::Float16:
    case Format::UNorm16:
    case Format::SNorm16:
    case Format::UInt16:
    case Format::SInt16:
        return 2;
    default:
        return 1;
    }
}

std::uint32_t Load(const unsigned char* at, std::size_t width, bool bigEndian) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
        value = value << 8 | at[bigEndian ? i : width - 1 - i];
    }
    return value;
}

float HalfToFloat(std::uint16_t half) {
    const int exponent = (half >> 10) & 0x1F;
    const int mantissa = half & 0x3FF;
    float value = 0;
    if (exponent == 0) {
        value = std::ldexp(static_cast<float>(mantissa), -24);
    } else if (exponent == 0x1F) {
        value = mantissa != 0 ? std::numeric_limits<float>::quiet_NaN()
                              : std::numeric_limits<float>::infinity();
    } else {
        value = std::ldexp(static_cast<float>(mantissa + 0x400), exponent - 25);
    }
    return (half & 0x8000) != 0 ? -value : value;
}

// One component of `format` at `at`, as Unity's shaders see it: normalised
// formats scaled to [0, 1] or [-1, 1], integer formats as their value.
float Component(const unsigned char* at, Format format, bool bigEndian) {
    const std::uint32_t raw = Load(at, FormatSize(format), bigEndian);
    switch (format) {
    case Format::Float: {
        float value = 0;
        std::memcpy(&value, &raw, sizeof value);
        return value;
    }
    case Format::Float16:
        return HalfToFloat(static_cast<std::uint16_t>(raw));
    case Format::UNorm8:
        return static_cast<float>(raw) / 255.0f;
    case Format::SNorm8:
        return std::max(static_cast<float>(static_cast<std::int8_t>(raw)) / 127.0f, -1.0f);
    case Format::UNorm16:
        return static_cast<float>(raw) / 65535.0f;
    case Format::SNorm16:
        return std::max(static_cast<float>(static_cast<std::int16_t>(raw)) / 32767.0f, -1.0f);
    case Format::SInt8:
        return static_cast<float>(static_cast<std::int8_t>(raw));
    case Format::SInt16:
        return static_cast<float>(static_cast<std::int16_t>(raw));
    case Format::SInt32:
        return static_cast<float>(static_cast<std::int32_t>(raw));
    default:
        return static_cast<float>(raw);
    }
}

std::string_view TopologyName(std::int64_t topology) {
    static constexpr std::string_view kNames[] = {"Triangles", "TriangleStrip", "Quads",
                                                  "Lines",     "LineStrip",     "Points"};
    return topology >= 0 && topology < static_cast<std::int64_t>(std::size(kNames))
               ? kNames[topology]
               : std::string_view{};
}

std::optional<std::uint64_t> Unsigned(const UnityValue* value) {
    if (value == nullptr) {
        return std::nullopt;
    }
    const auto number = value->AsInt();
    if (!number || *number < 0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(*number);
}

std::span<const unsigned char> BytesOf(const UnityValue* value) {
    if (value == nullptr ||
        (value->kind != UnityValue::Kind::PackedArray && value->kind != UnityValue::Kind::Bytes &&
         value->kind != UnityValue::Kind::String)) {
        return {};
    }
    return value->bytes;
}

float FloatOf(const UnityValue* value) {
    return value != nullptr && value->kind == UnityValue::Kind::Float ? static_cast<float>(value->f)
                                                                      : 0.0f;
}

std::string Number(std::uint64_t value) {
    return std::to_string(value);
}

// A PackedBitVector: m_NumItems items of m_BitSize bits each, lowest bit
// first; a float vector's item x stands for m_Start + m_Range * x / (2^bits - 1).
struct Packed {
    std::string_view name;
    std::uint64_t items = 0;
    float range = 0;
    float start = 0;
    std::span<const unsigned char> data;
    std::uint64_t bits = 0;
};

Packed PackedOf(const UnityValue* compressed, std::string_view name) {
    Packed packed;
    packed.name = name;
    const UnityValue* vector = compressed != nullptr ? compressed->Field(name) : nullptr;
    if (vector == nullptr) {
        return packed;
    }
    packed.items = Unsigned(vector->Field("m_NumItems")).value_or(0);
    packed.range = FloatOf(vector->Field("m_Range"));
    packed.start = FloatOf(vector->Field("m_Start"));
    packed.data = BytesOf(vector->Field("m_Data"));
    packed.bits = Unsigned(vector->Field("m_BitSize")).value_or(0);
    return packed;
}

// Where the indices of the submeshes come from: the index buffer's bytes, or
// the compressed mesh's unpacked triangles.
struct IndexSource {
    std::span<const unsigned char> bytes;
    std::size_t width = 2;
    bool bigEndian = false;
    const std::vector<std::uint32_t>* unpacked = nullptr;

    std::uint64_t Count() const { return unpacked ? unpacked->size() : bytes.size() / width; }
    std::uint32_t At(std::uint64_t i) const {
        return unpacked ? (*unpacked)[static_cast<std::size_t>(i)]
                        : Load(bytes.data() + i * width, width, bigEndian);
    }
};

struct Channel {
    std::uint64_t stream = 0;
    std::uint64_t offset = 0;
    std::uint64_t dimension = 0;
    std::uint64_t size = 0;
    Format format = Format::Float;
};

class MeshReader {
public:
    MeshReader(const UnityValue& mesh, std::span<const unsigned char> streamed, bool bigEndian,
               std::string_view unityVersion)
        : mesh_(mesh), streamed_(streamed), bigEndian_(bigEndian),
          version_(ParseVersion(unityVersion)) {
        if (!version_.known) {
            version_ = {2019, 0, true};
            Note("engine version '" + std::string(unityVersion) +
                 "' is not known: vertex formats are read as Unity 2019 and later number them");
        }
    }

    MeshReading Read() {
        MeshData mesh;
        if (const UnityValue* name = mesh_.Field("m_Name");
            name != nullptr && name->kind == UnityValue::Kind::String) {
            mesh.name = std::string(name->Text());
        }
        std::vector<std::uint32_t> unpacked;
        if (ReadVertices(mesh, unpacked) && ReadSubmeshes(mesh, unpacked)) {
            for (Vertex& vertex : mesh.vertices) {
                // Unity is left-handed, OBJ right-handed: mirror x (as 0 - x,
                // so that a zero stays "0", never "-0").
                vertex.x = 0.0f - vertex.x;
                vertex.nx = 0.0f - vertex.nx;
            }
            reading_.mesh = std::move(mesh);
        }
        return std::move(reading_);
    }

private:
    bool Fail(std::string why) {
        if (reading_.why.empty()) {
            reading_.why = std::move(why);
        }
        return false;
    }
    void Note(std::string note) { reading_.notes.push_back(std::move(note)); }

    bool ReadVertices(MeshData& mesh, std::vector<std::uint32_t>& unpacked) {
        const UnityValue* vertexData = mesh_.Field("m_VertexData");
        const std::uint64_t count =
            vertexData ? Unsigned(vertexData->Field("m_VertexCount")).value_or(0) : 0;
        const UnityValue* compressed = mesh_.Field("m_CompressedMesh");
        if (count == 0 && PackedOf(compressed, "m_Vertices").items > 0) {
            return ReadCompressed(*compressed, mesh, unpacked);
        }
        if (count == 0) {
            return Fail("the mesh has no vertices");
        }
        return ReadVertexData(*vertexData, count, mesh);
    }

    std::span<const unsigned char> VertexBytes(const UnityValue& vertexData) {
        const auto own = BytesOf(vertexData.Field("m_DataSize"));
        if (!own.empty()) {
            return own;
        }
        if (!streamed_.empty()) {
            return streamed_;
        }
        const UnityValue* stream = mesh_.Field("m_StreamData");
        const auto path = BytesOf(stream ? stream->Field("path") : nullptr);
        if (stream && Unsigned(stream->Field("size")).value_or(0) > 0) {
            Fail("the vertex data lies in '" +
                 std::string(reinterpret_cast<const char*>(path.data()), path.size()) +
                 "', which was not given");
        } else {
            Fail("the mesh's vertex data is empty");
        }
        return {};
    }

    bool ReadVertexData(const UnityValue& vertexData, std::uint64_t count, MeshData& mesh) {
        if (vertexData.Field("m_Streams") != nullptr) {
            return Fail("vertex streams as Unity 4 and earlier lay them out are not read");
        }
        const UnityValue* channelArray = vertexData.Field("m_Channels");
        if (channelArray == nullptr || channelArray->kind != UnityValue::Kind::Array) {
            return Fail("the mesh's vertex data has no channels");
        }
        const auto data = VertexBytes(vertexData);
        if (data.empty()) {
            return false;
        }
        // Each channel's place, and each stream's stride from the channels in it.
        std::vector<Channel> channels(channelArray->items.size());
        std::vector<std::uint64_t> strides;
        for (std::size_t i = 0; i < channels.size(); ++i) {
            const UnityValue& item = channelArray->items[i];
            Channel& channel = channels[i];
            channel.stream = Unsigned(item.Field("stream")).value_or(0);
            channel.offset = Unsigned(item.Field("offset")).value_or(0);
            channel.dimension = Unsigned(item.Field("dimension")).value_or(0) & kDimensionMask;
            const std::uint64_t rawFormat = Unsigned(item.Field("format")).value_or(0);
            if (channel.dimension == 0) {
                continue;
            }
            const auto format = ToFormat(rawFormat, version_);
            if (!format) {
                return Fail("channel " + Number(i) + " has vertex format " + Number(rawFormat) +
                            ", which Unity " + std::to_string(version_.major) + " does not define");
            }
            channel.format = *format;
            if (version_.major < 2018 && i == kColorChannelBefore2018 &&
                rawFormat == kColorFormatBefore2019) {
                channel.dimension = 4;
            }
            channel.size = channel.dimension * FormatSize(channel.format);
            if (channel.stream >= strides.size()) {
                strides.resize(static_cast<std::size_t>(channel.stream) + 1, 0);
            }
            strides[static_cast<std::size_t>(channel.stream)] += channel.size;
        }
        for (std::size_t i = 0; i < channels.size(); ++i) {
            const Channel& a = channels[i];
            if (a.dimension == 0) {
                continue;
            }
            const std::uint64_t stride = strides[static_cast<std::size_t>(a.stream)];
            if (!FitsWithin(a.offset, a.size, stride)) {
                return Fail("channel " + Number(i) + " (" + Number(a.size) + " bytes at offset " +
                            Number(a.offset) + ") runs past the " + Number(stride) +
                            "-byte stride of stream " + Number(a.stream));
            }
            for (std::size_t j = 0; j < i; ++j) {
                const Channel& b = channels[j];
                if (b.dimension != 0 && b.stream == a.stream && a.offset < b.offset + b.size &&
                    b.offset < a.offset + a.size) {
                    return Fail("channels " + Number(j) + " and " + Number(i) +
                                " overlap in stream " + Number(a.stream));
                }
            }
        }
        // Streams one after the other, each from a multiple of 16.
        std::vector<std::uint64_t> streamStart(strides.size(), 0);
        std::uint64_t at = 0;
        for (std::size_t s = 0; s < strides.size(); ++s) {
            streamStart[s] = at;
            if ((strides[s] != 0 && count > data.size() / strides[s]) ||
                !FitsWithin(at, count * strides[s], data.size())) {
                return Fail("stream " + Number(s) + " of " + Number(count) + " vertices of " +
                            Number(strides[s]) + " bytes runs past the " + Number(data.size()) +
                            " bytes of vertex data");
            }
            at = (at + count * strides[s] + kStreamAlign - 1) / kStreamAlign * kStreamAlign;
        }

        const std::size_t uvChannel =
            version_.major >= 2018 ? kTexCoordChannel : kTexCoordChannelBefore2018;
        const auto usable = [&](std::size_t index, std::uint64_t dimensions, const char* what) {
            if (index >= channels.size() || channels[index].dimension == 0) {
                return false;
            }
            if (channels[index].dimension < dimensions) {
                Note(std::string(what) + " have " + Number(channels[index].dimension) +
                     " components: left out");
                return false;
            }
            return true;
        };
        if (kPositionChannel >= channels.size() || channels[kPositionChannel].dimension < 3) {
            return Fail("the mesh has no three-component positions");
        }
        mesh.hasNormals = usable(kNormalChannel, 3, "normals");
        mesh.hasTexCoords = usable(uvChannel, 2, "texture coordinates");

        // Every stream holds count × stride bytes (checked above), and a
        // position takes at least 3: the vertex count is bounded by the data.
        mesh.vertices.resize(static_cast<std::size_t>(count));
        const auto fill = [&](std::size_t index, std::size_t dimensions, auto&& store) {
            const Channel& channel = channels[index];
            const std::size_t stride =
                static_cast<std::size_t>(strides[static_cast<std::size_t>(channel.stream)]);
            const std::size_t width = FormatSize(channel.format);
            const unsigned char* at0 = data.data() +
                                       streamStart[static_cast<std::size_t>(channel.stream)] +
                                       channel.offset;
            for (std::size_t v = 0; v < mesh.vertices.size(); ++v) {
                const unsigned char* at1 = at0 + v * stride;
                float values[3] = {};
                for (std::size_t d = 0; d < dimensions; ++d) {
                    values[d] = Component(at1 + d * width, channel.format, bigEndian_);
                }
                store(mesh.vertices[v], values);
            }
        };
        fill(kPositionChannel, 3, [](Vertex& vertex, const float* p) {
            vertex.x = p[0];
            vertex.y = p[1];
            vertex.z = p[2];
        });
        if (mesh.hasNormals) {
            fill(kNormalChannel, 3, [](Vertex& vertex, const float* n) {
                vertex.nx = n[0];
                vertex.ny = n[1];
                vertex.nz = n[2];
            });
        }
        if (mesh.hasTexCoords) {
            fill(uvChannel, 2, [](Vertex& vertex, const float* t) {
                vertex.u = t[0];
                vertex.v = t[1];
            });
        }
        return true;
    }

    // Checks that items [first, first + count) of `packed` lie in its data.
    bool CheckPacked(const Packed& packed, std::uint64_t first, std::uint64_t count) {
        const std::string name(packed.name);
        if (packed.bits > kPackedBitLimit) {
            return Fail(name + " has items of " + Number(packed.bits) + " bits, above " +
                        Number(kPackedBitLimit));
        }
        if (count == 0) {
            return true;
        }
        if (!FitsWithin(first, count, packed.items)) {
            return Fail(name + " holds " + Number(packed.items) + " items, not the " +
                        Number(first + count) + " the mesh needs");
        }
        if (packed.bits == 0) {
            return Fail(name + " holds " + Number(packed.items) + " items of 0 bits");
        }
        // Bits in 64 bits: an item count beyond what any data holds is
        // refused before the product is taken.
        const std::uint64_t items = first + count;
        const std::uint64_t held = packed.data.size();
        if (items / 8 > held || (items * packed.bits + 7) / 8 > held) {
            return Fail(name + " needs " + Number(items) + " items of " + Number(packed.bits) +
                        " bits, its data holds " + Number(held * 8) + " bits");
        }
        return true;
    }

    // Items [first, first + count) of `packed`, checked by CheckPacked.
    static std::vector<std::uint32_t> Unpack(const Packed& packed, std::uint64_t first,
                                             std::uint64_t count) {
        std::vector<std::uint32_t> out(static_cast<std::size_t>(count));
        std::uint64_t bit = first * packed.bits;
        for (std::uint32_t& value : out) {
            std::uint64_t item = 0;
            std::uint64_t got = 0;
            while (got < packed.bits) {
                const unsigned shift = static_cast<unsigned>(bit % 8);
                const std::uint64_t take = std::min<std::uint64_t>(packed.bits - got, 8 - shift);
                const std::uint64_t byte = packed.data[static_cast<std::size_t>(bit / 8)];
                item |= ((byte >> shift) & ((1u << take) - 1)) << got;
                got += take;
                bit += take;
            }
            value = static_cast<std::uint32_t>(item);
        }
        return out;
    }

    static float Scaled(const Packed& packed, std::uint32_t item) {
        const double top = static_cast<double>((std::uint64_t{1} << packed.bits) - 1);
        return static_cast<float>(packed.start + packed.range * (item / top));
    }

    bool ReadCompressed(const UnityValue& compressed, MeshData& mesh,
                        std::vector<std::uint32_t>& unpacked) {
        const Packed positions = PackedOf(&compressed, "m_Vertices");
        const std::uint64_t count = positions.items / 3;
        if (!CheckPacked(positions, 0, count * 3)) {
            return false;
        }
        const auto xyz = Unpack(positions, 0, count * 3);
        mesh.vertices.resize(static_cast<std::size_t>(count));
        for (std::size_t v = 0; v < mesh.vertices.size(); ++v) {
            mesh.vertices[v].x = Scaled(positions, xyz[3 * v]);
            mesh.vertices[v].y = Scaled(positions, xyz[3 * v + 1]);
            mesh.vertices[v].z = Scaled(positions, xyz[3 * v + 2]);
        }

        mesh.hasTexCoords = false;
        const Packed uv = PackedOf(&compressed, "m_UV");
        if (uv.items > 0) {
            const std::uint64_t info = Unsigned(compressed.Field("m_UVInfo")).value_or(0);
            const std::uint64_t dimensions = info == 0 ? 2
                                             : (info & kUvInfoExists) != 0
                                                 ? 1 + (info & kUvInfoDimensionMask)
                                                 : 0;
            if (dimensions == 1) {
                Note("texture coordinates have 1 component: left out");
            } else if (dimensions >= 2) {
                if (!CheckPacked(uv, 0, count * dimensions)) {
                    return false;
                }
                const auto items = Unpack(uv, 0, count * dimensions);
                for (std::size_t v = 0; v < mesh.vertices.size(); ++v) {
                    mesh.vertices[v].u = Scaled(uv, items[dimensions * v]);
                    mesh.vertices[v].v = Scaled(uv, items[dimensions * v + 1]);
                }
                mesh.hasTexCoords = true;
            }
        }

        mesh.hasNormals = false;
        const Packed normals = PackedOf(&compressed, "m_Normals");
        if (normals.items > 0) {
            const Packed signs = PackedOf(&compressed, "m_NormalSigns");
            if (normals.items / 2 != count) {
                Note("m_Normals holds " + Number(normals.items / 2) + " normals for " +
                     Number(count) + " vertices: left out");
            } else if (!CheckPacked(normals, 0, count * 2) || !CheckPacked(signs, 0, count)) {
                return false;
            } else {
                const auto xy = Unpack(normals, 0, count * 2);
                const auto sign = Unpack(signs, 0, count);
                for (std::size_t v = 0; v < mesh.vertices.size(); ++v) {
                    float x = Scaled(normals, xy[2 * v]);
                    float y = Scaled(normals, xy[2 * v + 1]);
                    const float zz = 1 - x * x - y * y;
                    float z = 0;
                    if (zz >= 0) {
                        z = std::sqrt(zz);
                    } else if (const float length = std::sqrt(x * x + y * y); length > 0) {
                        x /= length;
                        y /= length;
                    }
                    Vertex& vertex = mesh.vertices[v];
                    vertex.nx = x;
                    vertex.ny = y;
                    vertex.nz = sign[v] == 0 ? -z : z;
                }
                mesh.hasNormals = true;
            }
        }

        const Packed triangles = PackedOf(&compressed, "m_Triangles");
        if (!CheckPacked(triangles, 0, triangles.items)) {
            return false;
        }
        unpacked = Unpack(triangles, 0, triangles.items);
        return true;
    }

    bool ReadSubmeshes(MeshData& mesh, const std::vector<std::uint32_t>& unpacked) {
        IndexSource source;
        source.bigEndian = bigEndian_;
        if (const UnityValue* format = mesh_.Field("m_IndexFormat")) {
            const auto value = Unsigned(format);
            if (!value || *value > 1) {
                return Fail("index format " + std::to_string(format->AsInt().value_or(-1)) +
                            " is not known");
            }
            source.width = *value == 1 ? 4 : 2;
        } else if (const UnityValue* use16 = mesh_.Field("m_Use16BitIndices")) {
            source.width = use16->AsInt().value_or(1) != 0 ? 2 : 4;
        }
        source.bytes = BytesOf(mesh_.Field("m_IndexBuffer"));
        if (!unpacked.empty() || source.bytes.empty()) {
            source.unpacked = &unpacked;
        } else if (source.bytes.size() % source.width != 0) {
            Note("the index buffer ends in " + Number(source.bytes.size() % source.width) +
                 " bytes of no index");
        }
        const std::uint64_t available = source.Count();
        const std::uint64_t vertexCount = mesh.vertices.size();

        const UnityValue* submeshes = mesh_.Field("m_SubMeshes");
        if (submeshes == nullptr || submeshes->kind != UnityValue::Kind::Array ||
            submeshes->items.empty()) {
            return Fail("the mesh has no submeshes");
        }
        std::string skippedTopology;
        std::uint64_t taken = 0;
        for (std::size_t n = 0; n < submeshes->items.size(); ++n) {
            const UnityValue& submesh = submeshes->items[n];
            const std::string which = "submesh " + Number(n);
            const std::uint64_t firstByte = Unsigned(submesh.Field("firstByte")).value_or(0);
            const std::uint64_t indexCount = Unsigned(submesh.Field("indexCount")).value_or(0);
            const std::uint64_t base = Unsigned(submesh.Field("baseVertex")).value_or(0);
            const std::int64_t topology =
                submesh.Field("topology") ? submesh.Field("topology")->AsInt().value_or(-1) : 0;
            if (topology != kTriangles) {
                const std::string_view name = TopologyName(topology);
                const std::string shown =
                    name.empty() ? "topology " + std::to_string(topology) : std::string(name);
                Note(which + " (" + shown + ") is not exported: only triangles are");
                if (skippedTopology.empty()) {
                    skippedTopology = shown;
                }
                continue;
            }
            if (firstByte % source.width != 0) {
                return Fail(which + " starts at byte " + Number(firstByte) +
                            ", inside an index of " + Number(source.width) + " bytes");
            }
            const std::uint64_t first = firstByte / source.width;
            if (!FitsWithin(first, indexCount, available)) {
                return Fail(which + "'s " + Number(indexCount) + " indices from index " +
                            Number(first) + " run past the " + Number(available) +
                            " indices of the index buffer");
            }
            // Submeshes share the one buffer without overlapping: more
            // indices in all than it holds would repeat its bytes.
            taken += indexCount;
            if (taken > available) {
                return Fail("the submeshes take " + Number(taken) + " indices, more than the " +
                            Number(available) + " of the index buffer");
            }
            const std::uint64_t whole = indexCount / 3 * 3;
            if (whole != indexCount) {
                Note(which + " ends in " + Number(indexCount - whole) +
                     " indices that are no triangle");
            }
            std::string group = mesh.name.empty() ? std::string("mesh") : mesh.name;
            std::replace_if(
                group.begin(), group.end(),
                [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }, '_');
            mesh.groups.push_back(
                {group + "_" + Number(n), mesh.indices.size(), static_cast<std::size_t>(whole)});
            mesh.indices.reserve(mesh.indices.size() + static_cast<std::size_t>(whole));
            for (std::uint64_t i = first; i < first + whole; i += 3) {
                std::uint32_t corner[3];
                for (std::size_t k = 0; k < 3; ++k) {
                    const std::uint64_t index = source.At(i + k);
                    if (index + base >= vertexCount) {
                        return Fail("index " + Number(index) +
                                    (base != 0 ? " + base vertex " + Number(base) : "") + " of " +
                                    which + " exceeds the " + Number(vertexCount) + " vertices");
                    }
                    corner[k] = static_cast<std::uint32_t>(index + base);
                }
                // Reversed winding: the mirror turns every triangle over.
                mesh.indices.push_back(corner[0]);
                mesh.indices.push_back(corner[2]);
                mesh.indices.push_back(corner[1]);
            }
        }
        if (mesh.groups.empty()) {
            return Fail("topology " + skippedTopology + " is not exported");
        }
        return true;
    }

    const UnityValue& mesh_;
    std::span<const unsigned char> streamed_;
    bool bigEndian_;
    EngineVersion version_;
    MeshReading reading_;
};

} // namespace

MeshReading ReadMesh(const UnityValue& mesh, std::span<const unsigned char> streamed,
                     bool bigEndian, std::string_view unityVersion) {
    return MeshReader(mesh, streamed, bigEndian, unityVersion).Read();
}

} // namespace Kestrune::Unity
