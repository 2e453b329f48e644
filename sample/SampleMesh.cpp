#include "KestruneEngine.h"

#include <iterator>

namespace Kestrune {
namespace {

// The cube's 8 corners are shared by all six faces, so a corner keeps one
// normal and one texture coordinate whichever face uses it: the front corners
// (z = 1) point along +z, the back ones (z = -1) along -z.
constexpr Vertex kCubeVertices[] = {
    //  x   y   z  u  v nx ny  nz
    {-1, -1, 1, 0, 0, 0, 0, 1}, {1, -1, 1, 1, 0, 0, 0, 1},    {1, 1, 1, 1, 1, 0, 0, 1},
    {-1, 1, 1, 0, 1, 0, 0, 1},  {-1, -1, -1, 1, 0, 0, 0, -1}, {1, -1, -1, 0, 0, 0, 0, -1},
    {1, 1, -1, 0, 1, 0, 0, -1}, {-1, 1, -1, 1, 1, 0, 0, -1},
};

// Two triangles per face, counter-clockwise seen from outside.
constexpr std::uint32_t kCubeIndices[] = {
    0, 1, 2, 0, 2, 3, // z = +1
    1, 5, 6, 1, 6, 2, // x = +1
    5, 4, 7, 5, 7, 6, // z = -1
    4, 0, 3, 4, 3, 7, // x = -1
    3, 2, 6, 3, 6, 7, // y = +1
    4, 5, 1, 4, 1, 0, // y = -1
};

} // namespace

MeshData KestruneEngine::CreateSampleMesh() {
    MeshData mesh;
    mesh.name = "GameCrate_LOD0";
    mesh.vertices.assign(std::begin(kCubeVertices), std::end(kCubeVertices));
    mesh.indices.assign(std::begin(kCubeIndices), std::end(kCubeIndices));
    return mesh;
}

} // namespace Kestrune
