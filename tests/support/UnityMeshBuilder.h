#pragma once

// Unity Mesh objects for the tests, written field by field through their
// type tree (2019 layout): submeshes, index buffer, vertex streams,
// compressed mesh and streamed data as a MeshLayout gives them.

#include "UnityBuilder.h"

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace Kestrune::Testing {

// Little-endian (or big-endian) bytes of vertex and index data.
struct MeshBytes {
    bool big = false;
    std::string out;
    MeshBytes& put(std::uint64_t v, int width) {
        for (int i = 0; i < width; ++i) {
            const int shift = big ? 8 * (width - 1 - i) : 8 * i;
            out.push_back(static_cast<char>((v >> shift) & 0xFF));
        }
        return *this;
    }
    MeshBytes& f(std::initializer_list<float> values) {
        for (const float v : values) {
            std::uint32_t bits = 0;
            std::memcpy(&bits, &v, 4);
            put(bits, 4);
        }
        return *this;
    }
    MeshBytes& pad(std::size_t n) {
        out.resize((out.size() + n - 1) / n * n, '\0');
        return *this;
    }
};

struct Channel {
    int stream, offset, format, dimension;
};
struct Submesh {
    std::uint32_t firstByte, indexCount;
    int topology = 0;
    std::uint32_t baseVertex = 0;
};
struct PackedLayout {
    std::uint32_t items = 0;
    float range = 0, start = 0;
    std::string data;
    int bits = 0;
};
struct MeshLayout {
    std::string name = "Box";
    std::vector<Submesh> submeshes{{0, 3, 0, 0}};
    int indexFormat = 0;
    std::string indices;
    std::uint32_t vertexCount = 3;
    std::vector<Channel> channels;
    std::string vertices;
    PackedLayout packedVertices, packedUv, packedNormals, normalSigns, triangles;
    std::uint32_t streamSize = 0;
};

// 2019 on: 14 channels; position, normal, texture coordinates as given.
inline std::vector<Channel> Channels(Channel position, Channel normal, Channel uv) {
    std::vector<Channel> c(14, Channel{0, 0, 0, 0});
    c[0] = position;
    c[1] = normal;
    c[4] = uv;
    return c;
}

inline void WritePacked(UnityObjectWriter& w, const std::string& name, const PackedLayout& p,
                        bool isFloat) {
    w.Begin(isFloat ? "PackedBitVector" : "PackedBitVector2", name).U32("m_NumItems", p.items);
    if (isFloat) {
        w.F32("m_Range", p.range).F32("m_Start", p.start);
    }
    w.ByteArray("m_Data", p.data).U8("m_BitSize", static_cast<std::uint64_t>(p.bits)).Align().End();
}

inline UnityObjectWriter MeshObject(const MeshLayout& m) {
    UnityObjectWriter w("Mesh");
    w.String("m_Name", m.name);
    w.Array("m_SubMeshes", m.submeshes.size(), [&](UnityObjectWriter& e, std::size_t i) {
        const Submesh s = m.submeshes.empty() ? Submesh{} : m.submeshes[i];
        e.Begin("SubMesh", "data").U32("firstByte", s.firstByte).U32("indexCount", s.indexCount);
        e.I32("topology", s.topology).U32("baseVertex", s.baseVertex).End();
    });
    w.I32("m_IndexFormat", m.indexFormat).ByteArray("m_IndexBuffer", m.indices);
    w.Begin("VertexData", "m_VertexData").U32("m_VertexCount", m.vertexCount);
    w.Array("m_Channels", m.channels.size(), [&](UnityObjectWriter& e, std::size_t i) {
        const Channel c = m.channels.empty() ? Channel{} : m.channels[i];
        e.Begin("ChannelInfo", "data").U8("stream", static_cast<std::uint64_t>(c.stream));
        e.U8("offset", static_cast<std::uint64_t>(c.offset));
        e.U8("format", static_cast<std::uint64_t>(c.format));
        e.U8("dimension", static_cast<std::uint64_t>(c.dimension)).End();
    });
    w.Typeless("m_DataSize", m.vertices).End();
    w.Begin("CompressedMesh", "m_CompressedMesh");
    WritePacked(w, "m_Vertices", m.packedVertices, true);
    WritePacked(w, "m_UV", m.packedUv, true);
    WritePacked(w, "m_Normals", m.packedNormals, true);
    WritePacked(w, "m_NormalSigns", m.normalSigns, false);
    WritePacked(w, "m_Triangles", m.triangles, false);
    w.U32("m_UVInfo", 0).End();
    w.Begin("StreamingInfo", "m_StreamData").Value("UInt64", "offset", 8, 0);
    w.U32("size", m.streamSize).String("path", m.streamSize ? "archive:/CAB-1/CAB-1.resS" : "");
    return w.End();
}

} // namespace Kestrune::Testing
