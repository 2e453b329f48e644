#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace Kestrune {

/// One vertex with interleaved attributes: position, texture coordinate and
/// normal, eight packed 32-bit floats in this order.
struct Vertex {
    float x = 0;
    float y = 0;
    float z = 0;
    float u = 0;
    float v = 0;
    float nx = 0;
    float ny = 0;
    float nz = 0;

    bool operator==(const Vertex&) const = default;
};

// Vertices are handed to renderers and files as a flat run of 32-byte records.
static_assert(std::numeric_limits<float>::is_iec559 && sizeof(float) == 4);
static_assert(sizeof(Vertex) == 32);
static_assert(std::is_standard_layout_v<Vertex>);
static_assert(offsetof(Vertex, u) == 12 && offsetof(Vertex, nx) == 20 &&
              offsetof(Vertex, nz) == 28);

/// A named run of a mesh's indices: one part of the mesh (a Unity submesh).
struct MeshGroup {
    std::string name;
    std::size_t firstIndex = 0;
    std::size_t indexCount = 0;

    bool operator==(const MeshGroup&) const = default;
};

/// A named triangle mesh. Plain data with no invariant: an index may exceed the
/// vertex count, the index count need not be a multiple of three and a group
/// may reach past the indices.
struct MeshData {
    // Name, vertices and indices in that order, as the mesh was first built;
    // the parts added since keep their defaults (one group, every attribute).
    MeshData(std::string meshName = {}, std::vector<Vertex> meshVertices = {},
             std::vector<std::uint32_t> meshIndices = {})
        : name(std::move(meshName)), vertices(std::move(meshVertices)),
          indices(std::move(meshIndices)) {}

    std::string name;                   ///< Object name, any bytes.
    std::vector<Vertex> vertices;       ///< Interleaved vertices.
    std::vector<std::uint32_t> indices; ///< Zero-based; every three form a triangle.
    std::vector<MeshGroup> groups;      ///< Empty: the indices form one unnamed part.
    bool hasTexCoords = true;           ///< False: u and v are not part of the mesh.
    bool hasNormals = true;             ///< False: nx, ny, nz are not part of the mesh.

    bool operator==(const MeshData&) const = default;
};

} // namespace Kestrune
