// Unity Mesh objects to OBJ: Mesh objects written field by field through
// their type tree, read back with ReadObject, then ReadMesh and ExportObj.
// Expected OBJ texts are written out in full, mirror included.

#include "unity/UnityMesh.h"

#include "KestruneEngine.h"
#include "support/AllocationProbe.h"
#include "support/UnityBuilder.h"
#include "support/UnityMeshBuilder.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace Kestrune {
namespace {

using Testing::UnityObjectWriter;

using Bytes = Testing::MeshBytes;
using Testing::Channel;
using Testing::Channels;
using Testing::MeshLayout;
using Testing::MeshObject;
using Testing::PackedLayout;
using Testing::Submesh;

Unity::MeshReading Read(const MeshLayout& layout, std::string_view version = "2019.4.0f1",
                        bool big = false, std::string_view streamed = {}) {
    const UnityObjectWriter w = MeshObject(layout);
    std::string keep, why;
    const Unity::TypeTree tree = Testing::TreeOf(w, keep);
    const auto& bytes = w.Bytes();
    const auto object = Unity::ReadObject(
        tree, {reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()}, false, why);
    EXPECT_TRUE(object) << why;
    if (!object) {
        return {};
    }
    return Unity::ReadMesh(
        *object, {reinterpret_cast<const unsigned char*>(streamed.data()), streamed.size()}, big,
        version);
}

// Three float vertices of 32 bytes: position, normal, texture coordinates.
MeshLayout Plain() {
    MeshLayout m;
    m.channels = Channels({0, 0, 0, 3}, {0, 12, 0, 3}, {0, 24, 0, 2});
    m.vertices = Bytes{}
                     .f({1, 2, 3, 0, 0, 1, 0.5f, 0.25f})
                     .f({4, 5, 6, 1, 0, 0, 1, 0})
                     .f({-1, 0, 0, 0, 1, 0, 0, 1})
                     .out;
    m.indices = Bytes{}.put(0, 2).put(1, 2).put(2, 2).out;
    return m;
}

const std::string kHeader = "# Kestrune Ripper - 3D Mesh Exporter\no Box\n";
const std::string kPositions = "v -1 2 3\nv -4 5 6\nv 1 0 0\n";
const std::string kPlainObj = kHeader + kPositions +
                              "vt 0.5 0.25\nvt 1 0\nvt 0 1\n"
                              "vn 0 0 1\nvn -1 0 0\nvn 0 1 0\n"
                              "g Box_0\nf 1/1/1 3/3/3 2/2/2\n";

TEST(UnityMesh, ObjText) {
    struct Row {
        Row(const char* w, MeshLayout m, std::string o, std::string v = "2019.4.0f1",
            bool b = false, std::string s = {}, std::vector<std::string> n = {})
            : what(w), mesh(std::move(m)), obj(std::move(o)), version(std::move(v)), big(b),
              streamed(std::move(s)), notes(std::move(n)) {}
        const char* what;
        MeshLayout mesh;
        std::string obj, version;
        bool big;
        std::string streamed;
        std::vector<std::string> notes;
    };
    std::vector<Row> rows;
    rows.push_back({"positions, normals, texture coordinates in one stream", Plain(), kPlainObj});
    {
        MeshLayout m = Plain();
        m.channels = Channels({0, 0, 0, 3}, {1, 0, 0, 3}, {1, 12, 0, 2});
        Bytes b;
        b.f({1, 2, 3, 4, 5, 6, -1, 0, 0}).pad(16);
        b.f({0, 0, 1, 0.5f, 0.25f, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1});
        m.vertices = b.out;
        rows.push_back({"two streams, the second from a multiple of 16", m, kPlainObj});
    }
    {
        MeshLayout m = Plain();
        // Float16 x4 positions, SNorm8 x4 normals, UNorm8 x2 texture coordinates.
        m.channels = Channels({0, 0, 1, 4}, {0, 8, 3, 4}, {0, 12, 2, 2});
        Bytes b;
        b.put(0x3C00, 2).put(0x4000, 2).put(0xB800, 2).put(0, 2).put(0x0000007F, 4).put(0x33FF, 2);
        b.put(0, 2).put(0, 2).put(0x3C00, 2).put(0, 2).put(0x81, 4).put(0xFF00, 2);
        b.put(0xBC00, 2).put(0, 2).put(0, 2).put(0, 2).put(0x7F00, 4).put(0, 2);
        m.vertices = b.out;
        const std::string obj = kHeader + "v -1 2 -0.5\nv 0 0 1\nv 1 0 0\n"
                                          "vt 1 0.2\nvt 0 1\nvt 0 0\n"
                                          "vn -1 0 0\nvn 1 0 0\nvn 0 1 0\n"
                                          "g Box_0\nf 1/1/1 3/3/3 2/2/2\n";
        rows.push_back({"Float16, SNorm8 and UNorm8 channels", m, obj});
        // 2017 and 2018 number the same formats one higher from color on.
        m.channels = Channels({0, 0, 1, 4}, {0, 8, 4, 4}, {0, 12, 3, 2});
        rows.push_back({"the 2018 numbering", m, obj, "2018.4.2f1"});
    }
    {
        MeshLayout m = Plain();
        m.channels = std::vector<Channel>(8, Channel{0, 0, 0, 0});
        m.channels[0] = {0, 0, 0, 3};
        m.channels[1] = {0, 12, 0, 3};
        m.channels[3] = {0, 24, 0, 2}; // the first texture coordinates before 2018
        rows.push_back(
            {"the texture coordinates' channel before 2018", m, kPlainObj, "2017.4.1f1"});
    }
    {
        MeshLayout m = Plain();
        m.indexFormat = 1;
        m.indices = Bytes{}.put(0, 4).put(1, 4).put(2, 4).out;
        rows.push_back({"32-bit indices", m, kPlainObj});
    }
    {
        MeshLayout m = Plain();
        Bytes b{true, {}};
        b.f({1, 2, 3, 0, 0, 1, 0.5f, 0.25f}).f({4, 5, 6, 1, 0, 0, 1, 0});
        b.f({-1, 0, 0, 0, 1, 0, 0, 1});
        m.vertices = b.out;
        m.indices = Bytes{true, {}}.put(0, 2).put(1, 2).put(2, 2).out;
        rows.push_back(
            {"a big-endian file's vertices and indices", m, kPlainObj, "2019.4.0f1", true});
    }
    {
        MeshLayout m = Plain();
        m.indices = Bytes{}.put(0, 2).put(1, 2).put(2, 2).put(0, 2).put(1, 2).put(1, 2).out;
        m.indices += Bytes{}.put(0, 2).put(1, 2).put(0, 2).put(0, 2).out;
        m.submeshes = {{0, 3, 0, 0}, {6, 2, 3, 0}, {12, 3, 0, 1}, {18, 1, 0, 0}};
        const std::string obj =
            kHeader + kPositions +
            "vt 0.5 0.25\nvt 1 0\nvt 0 1\nvn 0 0 1\nvn -1 0 0\nvn 0 1 0\n"
            "g Box_0\nf 1/1/1 3/3/3 2/2/2\ng Box_2\nf 2/2/2 2/2/2 3/3/3\ng Box_3\n";
        rows.push_back({"submeshes as groups, lines left out, base vertex added",
                        m,
                        obj,
                        "2019.4.0f1",
                        false,
                        "",
                        {"submesh 1 (Lines) is not exported: only triangles are",
                         "submesh 3 ends in 1 indices that are no triangle"}});
    }
    {
        MeshLayout m = Plain();
        m.channels = Channels({0, 0, 0, 3}, {0, 0, 0, 0}, {0, 0, 0, 0});
        m.vertices = Bytes{}.f({1, 2, 3, 4, 5, 6, -1, 0, 0}).out;
        rows.push_back({"positions only", m, kHeader + kPositions + "g Box_0\nf 1 3 2\n"});
        m.channels = Channels({0, 0, 0, 3}, {0, 12, 0, 3}, {0, 0, 0, 0});
        m.vertices = Bytes{}.f({1, 2, 3, 0, 0, 1, 4, 5, 6, 1, 0, 0, -1, 0, 0, 0, 1, 0}).out;
        rows.push_back(
            {"no texture coordinates", m,
             kHeader + kPositions + "vn 0 0 1\nvn -1 0 0\nvn 0 1 0\ng Box_0\nf 1//1 3//3 2//2\n"});
    }
    {
        MeshLayout m;
        m.vertexCount = 0;
        m.packedVertices = {9, 255, 0, "\x01\x02\x03\x04\x05\x06\x00\x00\x00", 8};
        m.packedVertices.data.resize(9);
        m.packedUv = {6, 1, 0, std::string("\x33\xFF\xFF\x00\x00\x33", 6), 8};
        m.packedNormals = {6, 1, 0, "\x24", 1};
        m.normalSigns = {3, 0, 0, "\x06", 1};
        m.triangles = {3, 0, 0, "\x24", 2};
        const std::string obj = kHeader + "v -1 2 3\nv -4 5 6\nv 0 0 0\n"
                                          "vt 0.2 1\nvt 1 0\nvt 0 0.2\n"
                                          "vn 0 0 -1\nvn -1 0 0\nvn 0 1 0\n"
                                          "g Box_0\nf 1/1/1 3/3/3 2/2/2\n";
        rows.push_back({"a compressed mesh", m, obj});
    }
    {
        MeshLayout m = Plain();
        const std::string streamed = m.vertices;
        m.vertices.clear();
        m.streamSize = static_cast<std::uint32_t>(streamed.size());
        rows.push_back({"streamed vertex data", m, kPlainObj, "2019.4.0f1", false, streamed});
    }
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const auto reading = Read(row.mesh, row.version, row.big, row.streamed);
        ASSERT_TRUE(reading.mesh) << reading.why;
        EXPECT_EQ(KestruneEngine::ExportObj(*reading.mesh), row.obj);
        EXPECT_EQ(reading.notes, row.notes);
    }
}

TEST(UnityMesh, DamageIsRefused) {
    struct Row {
        const char* what;
        MeshLayout mesh;
        std::string why;
    };
    std::vector<Row> rows;
    {
        MeshLayout m = Plain();
        m.indices = Bytes{}.put(0, 2).put(1, 2).put(9, 2).out;
        rows.push_back(
            {"an index past the vertices", m, "index 9 of submesh 0 exceeds the 3 vertices"});
        m.indices = Bytes{}.put(0, 2).put(1, 2).put(2, 2).out;
        m.submeshes = {{0, 3, 0, 1}};
        rows.push_back({"base vertex pushing an index past them", m,
                        "index 2 + base vertex 1 of submesh 0 exceeds the 3 vertices"});
    }
    {
        MeshLayout m = Plain();
        m.channels = Channels({0, 0, 0, 3}, {0, 8, 0, 3}, {0, 24, 0, 2});
        rows.push_back({"overlapping channels", m, "channels 0 and 1 overlap in stream 0"});
        m.channels = Channels({0, 0, 0, 3}, {0, 12, 0, 3}, {0, 28, 0, 2});
        rows.push_back(
            {"a channel past the stride", m,
             "channel 4 (8 bytes at offset 28) runs past the 32-byte stride of stream 0"});
        m.channels = Channels({0, 0, 12, 3}, {0, 12, 0, 3}, {0, 24, 0, 2});
        rows.push_back({"a format the version does not define", m,
                        "channel 0 has vertex format 12, which Unity 2019 does not define"});
    }
    {
        MeshLayout m = Plain();
        m.vertexCount = 4;
        rows.push_back(
            {"vertex data shorter than count x stride", m,
             "stream 0 of 4 vertices of 32 bytes runs past the 96 bytes of vertex data"});
        m.vertexCount = 0xFFFFFFFFu;
        rows.push_back(
            {"a huge vertex count", m,
             "stream 0 of 4294967295 vertices of 32 bytes runs past the 96 bytes of vertex data"});
    }
    {
        MeshLayout m = Plain();
        m.submeshes = {{0, 6, 0, 0}};
        rows.push_back({"an index count past the buffer", m,
                        "submesh 0's 6 indices from index 0 run past the 3 indices of the index "
                        "buffer"});
        m.submeshes = {{0, 3, 0, 0}, {0, 3, 0, 0}};
        rows.push_back({"submeshes repeating the buffer", m,
                        "the submeshes take 6 indices, more than the 3 of the index buffer"});
        m.submeshes = {{0, 3, 3, 0}};
        rows.push_back({"lines only", m, "topology Lines is not exported"});
        m.submeshes = {{1, 3, 0, 0}};
        rows.push_back({"a submesh inside an index", m,
                        "submesh 0 starts at byte 1, inside an index of 2 bytes"});
        m.vertices.clear();
        m.submeshes = {{0, 3, 0, 0}};
        m.streamSize = 96;
        rows.push_back(
            {"streamed data not given", m,
             "the vertex data lies in 'archive:/CAB-1/CAB-1.resS', which was not given"});
    }
    {
        MeshLayout m;
        m.vertexCount = 0;
        m.packedVertices = {9, 255, 0, std::string(9, '\1'), 8};
        m.triangles = {3, 0, 0, "\x24", 33};
        rows.push_back({"a bit size of 33", m, "m_Triangles has items of 33 bits, above 32"});
        m.packedVertices.data.resize(8);
        rows.push_back({"bits past the data", m,
                        "m_Vertices needs 9 items of 8 bits, its data holds 64 bits"});
        m.packedVertices = {0xFFFFFFFFu, 1, 0, std::string(4, '\1'), 32};
        rows.push_back({"a huge item count", m,
                        "m_Vertices needs 4294967295 items of 32 bits, its data holds 32 bits"});
    }
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const Testing::AllocationProbe probe;
        const auto reading = Read(row.mesh);
        EXPECT_FALSE(reading.mesh);
        EXPECT_EQ(reading.why, row.why);
        EXPECT_LT(probe.largest(), std::size_t{64 * 1024});
    }
}

} // namespace
} // namespace Kestrune

namespace Kestrune {
namespace {

// Every shorter vertex, index or packed buffer is refused, never read past.
TEST(UnityMesh, TruncatedBuffersAreRefused) {
    const MeshLayout plain = Plain();
    for (std::size_t size = 0; size < plain.vertices.size(); ++size) {
        MeshLayout m = plain;
        m.vertices.resize(size);
        EXPECT_FALSE(Read(m).mesh) << size;
    }
    for (std::size_t size = 0; size < plain.indices.size(); ++size) {
        MeshLayout m = plain;
        m.indices.resize(size);
        EXPECT_FALSE(Read(m).mesh) << size;
    }
    MeshLayout packed;
    packed.vertexCount = 0;
    packed.packedVertices = {9, 255, 0, std::string(9, '\0'), 8};
    packed.packedNormals = {6, 1, 0, "\x24", 1};
    packed.normalSigns = {3, 0, 0, "\x06", 1};
    packed.triangles = {3, 0, 0, "\x24", 2};
    ASSERT_TRUE(Read(packed).mesh);
    for (PackedLayout MeshLayout::*vector :
         {&MeshLayout::packedVertices, &MeshLayout::packedNormals, &MeshLayout::normalSigns,
          &MeshLayout::triangles}) {
        MeshLayout m = packed;
        (m.*vector).data.pop_back();
        EXPECT_FALSE(Read(m).mesh);
    }
}

} // namespace
} // namespace Kestrune
