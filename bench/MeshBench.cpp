// kestrune_mesh_bench: exporting a Unity mesh of 1,000,000 triangles as OBJ
// (the Mesh object read through its type tree, ReadMesh, ExportObj) against
// the OBJ writer alone producing the same text from the same MeshData, which
// is all that --create-sample's export does.
//
//   build/bench/bench/kestrune_mesh_bench [ROUNDS]
//
// Prints the fastest of ROUNDS (default 5) runs of each and their ratio.

#include "KestruneEngine.h"
#include "support/UnityBuilder.h"
#include "unity/UnityMesh.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

namespace {

using namespace Kestrune;
using Clock = std::chrono::steady_clock;

// A grid of 1000 x 500 quads: 501,501 vertices, 1,000,000 triangles.
constexpr std::uint32_t kColumns = 1000;
constexpr std::uint32_t kRows = 500;

void PutFloat(std::string& out, float value) {
    char bytes[4];
    std::memcpy(bytes, &value, 4);
    out.append(bytes, 4);
}

void PutU32(std::string& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
}

Testing::UnityObjectWriter GridMesh() {
    std::string vertices;
    std::string indices;
    for (std::uint32_t j = 0; j <= kRows; ++j) {
        for (std::uint32_t i = 0; i <= kColumns; ++i) {
            for (const float v :
                 {static_cast<float>(i) * 0.37f, static_cast<float>(i * j % 97) * 0.013f,
                  static_cast<float>(j) * 0.41f, 0.0f, 1.0f, 0.0f, static_cast<float>(i) / kColumns,
                  static_cast<float>(j) / kRows}) {
                PutFloat(vertices, v);
            }
        }
    }
    for (std::uint32_t j = 0; j < kRows; ++j) {
        for (std::uint32_t i = 0; i < kColumns; ++i) {
            const std::uint32_t a = j * (kColumns + 1) + i;
            const std::uint32_t b = a + 1;
            const std::uint32_t c = a + kColumns + 1;
            for (const std::uint32_t index : {a, c, b, b, c, c + 1}) {
                PutU32(indices, index);
            }
        }
    }
    Testing::UnityObjectWriter w("Mesh");
    w.String("m_Name", "Grid");
    w.Array("m_SubMeshes", 1, [&](Testing::UnityObjectWriter& e, std::size_t) {
        e.Begin("SubMesh", "data").U32("firstByte", 0).U32("indexCount", indices.size() / 4);
        e.I32("topology", 0).U32("baseVertex", 0).End();
    });
    w.I32("m_IndexFormat", 1).ByteArray("m_IndexBuffer", indices);
    w.Begin("VertexData", "m_VertexData").U32("m_VertexCount", (kColumns + 1) * (kRows + 1));
    w.Array("m_Channels", 14, [](Testing::UnityObjectWriter& e, std::size_t i) {
        const int offset = i == 0 ? 0 : i == 1 ? 12 : i == 4 ? 24 : 0;
        const int dimension = i == 0 || i == 1 ? 3 : i == 4 ? 2 : 0;
        e.Begin("ChannelInfo", "data")
            .U8("stream", 0)
            .U8("offset", static_cast<std::uint64_t>(offset));
        e.U8("format", 0);
        e.U8("dimension", static_cast<std::uint64_t>(dimension)).End();
    });
    w.Typeless("m_DataSize", vertices).End();
    return w;
}

template <typename Work> double Fastest(int rounds, Work&& work) {
    double best = 1e30;
    for (int r = 0; r < rounds; ++r) {
        const auto start = Clock::now();
        work();
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        best = seconds < best ? seconds : best;
    }
    return best;
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
    const Testing::UnityObjectWriter writer = GridMesh();
    std::string keep;
    const Unity::TypeTree tree = Testing::TreeOf(writer, keep);
    const std::span<const unsigned char> object(
        reinterpret_cast<const unsigned char*>(writer.Bytes().data()), writer.Bytes().size());

    std::string viaUnity;
    MeshData mesh;
    const auto fromObject = [&] {
        std::string why;
        const auto value = Unity::ReadObject(tree, object, false, why);
        auto reading = Unity::ReadMesh(*value, {}, false, "2019.4.0f1");
        if (!reading.mesh) {
            std::fprintf(stderr, "mesh not read: %s\n", reading.why.c_str());
            std::exit(1);
        }
        viaUnity = KestruneEngine::ExportObj(*reading.mesh);
        mesh = std::move(*reading.mesh);
    };
    const double unity = Fastest(rounds, fromObject);
    std::string direct;
    const double writerOnly = Fastest(rounds, [&] { direct = KestruneEngine::ExportObj(mesh); });
    MeshData again;
    const double readOnly = Fastest(rounds, [&] {
        std::string why;
        const auto value = Unity::ReadObject(tree, object, false, why);
        again = std::move(*Unity::ReadMesh(*value, {}, false, "2019.4.0f1").mesh);
    });
    if (direct != viaUnity || again != mesh) {
        std::fprintf(stderr, "FAIL: the two exports differ\n");
        return 1;
    }
    const double ratio = unity / writerOnly;
    std::printf("mesh export %zu triangles (%zu vertices, %.0f MiB of OBJ): object + ReadMesh + "
                "ExportObj %.3f s (ReadMesh alone %.3f s), ExportObj %.3f s: %.2f <= 2 %s\n",
                mesh.indices.size() / 3, mesh.vertices.size(),
                static_cast<double>(direct.size()) / (1024.0 * 1024.0), unity, readOnly, writerOnly,
                ratio, ratio <= 2 ? "met" : "MISSED");
    return 0;
}
