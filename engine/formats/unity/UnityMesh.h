#pragma once

// Unity Mesh objects (class 43), read through their type tree, as a triangle
// mesh the OBJ writer takes.
//
//   m_Name                 string
//   m_SubMeshes            array of {firstByte, indexCount, topology
//                          (0 triangles, 1 strip, 2 quads, 3 lines, 4 line
//                          strip, 5 points), baseVertex (2017.3 on),
//                          firstVertex, vertexCount, localAABB}
//   m_IndexFormat          0: 16-bit indices, 1: 32-bit (2017.3 on; before,
//                          m_Use16BitIndices or always 16-bit)
//   m_IndexBuffer          vector<UInt8>: the indices, in the file's order
//   m_VertexData           {m_VertexCount, m_Channels array of {stream,
//                          offset, format, dimension (low 4 bits)},
//                          m_DataSize: the vertex bytes}. Each stream holds
//                          its channels interleaved, its stride the sum of
//                          their sizes; streams follow one another, each
//                          starting at a multiple of 16.
//   m_CompressedMesh       packed bit vectors {m_NumItems, m_Range, m_Start,
//                          m_Data, m_BitSize}: m_Vertices (3 per vertex),
//                          m_UV, m_Normals (x, y; z from m_NormalSigns),
//                          m_Triangles (indices), m_UVInfo
//   m_StreamData           {offset, size, path}: where the vertex bytes lie
//                          in a resource file when m_DataSize is empty
//
// Channels: 0 position, 1 normal, and the first texture coordinates at 3
// before Unity 2018, at 4 from 2018 on. Channel formats are numbered three
// ways: before 2017 (float, half, color, byte, uint32), 2017 and 2018
// (float, half, color, unorm8, snorm8, unorm16, snorm16, uint8, sint8,
// uint16, sint16, uint32, sint32), 2019 on (the same without color).

#include "MeshData.h"
#include "TypeTree.h"

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace Kestrune::Unity {

struct MeshReading {
    std::optional<MeshData> mesh;   ///< Set when the mesh was read.
    std::string why;                ///< When not: the reason, in words for the user.
    std::vector<std::string> notes; ///< Things worth saying that did not stop it.
};

/// `mesh` is the Mesh object read through its tree, in the file's byte order
/// `bigEndian`; `streamed` holds the bytes of its m_StreamData range when the
/// vertex data lies in a resource file (empty otherwise); `unityVersion` is
/// the serialized file's engine version ("2019.4.0f1"), which decides how
/// vertex formats and channels are numbered.
///
/// The result is in OBJ's right-handed frame: x of positions and normals is
/// negated and each triangle's winding reversed; texture coordinates are
/// kept as stored. One group per exported submesh, named "<mesh>_<n>" (n its
/// place in m_SubMeshes, whitespace in the name as "_"); submeshes that are
/// not triangle lists are left out with a note, and a mesh that has only
/// such submeshes is refused. Every count and offset is checked against the
/// bytes it claims before anything is allocated from it.
MeshReading ReadMesh(const UnityValue& mesh, std::span<const unsigned char> streamed,
                     bool bigEndian, std::string_view unityVersion);

} // namespace Kestrune::Unity
