#include "KestruneEngine.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Kestrune {
namespace {

// printf's "%g" with precision 6, as in the C locale. std::to_chars never
// consults a locale, so a user whose global locale writes a decimal comma or
// groups digits still gets OBJ text that every other tool can read.
void AppendFloat(std::string& out, float value) {
    char text[32]; // "-1.23457e+308" is the longest a double can give at precision 6
    const auto result = std::to_chars(text, text + sizeof text, static_cast<double>(value),
                                      std::chars_format::general, 6);
    out.append(text, result.ptr);
}

// OBJ references are one-based. The sum is taken in 32 bits, as the index is
// stored, so the index 0xFFFFFFFF is written as 0. Position, texture
// coordinate and normal of a corner share one index; a mesh without texture
// coordinates or normals leaves that reference out as OBJ writes it ("1",
// "1/1", "1//1", "1/1/1").
void AppendFaceCorner(std::string& out, std::uint32_t index, const MeshData& mesh) {
    const std::uint32_t number = static_cast<std::uint32_t>(index + 1u);
    char digits[12];
    const auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
    const std::string_view corner(digits, static_cast<std::size_t>(end - digits));
    out += corner;
    if (!mesh.hasTexCoords && !mesh.hasNormals) {
        return;
    }
    out += '/';
    if (mesh.hasTexCoords) {
        out += corner;
    }
    if (mesh.hasNormals) {
        out += '/';
        out += corner;
    }
}

// Complete triples only: one or two indices left over are not a triangle.
void AppendFaces(std::string& out, const MeshData& mesh, std::size_t first, std::size_t count) {
    const std::vector<std::uint32_t>& indices = mesh.indices;
    // A group is plain data: only the part of it that lies in the indices.
    first = std::min(first, indices.size());
    count = std::min(count, indices.size() - first);
    for (std::size_t last = first + 2; last < first + count; last += 3) {
        out += "f ";
        AppendFaceCorner(out, indices[last - 2], mesh);
        out += ' ';
        AppendFaceCorner(out, indices[last - 1], mesh);
        out += ' ';
        AppendFaceCorner(out, indices[last], mesh);
        out += '\n';
    }
}

} // namespace

std::string KestruneEngine::ExportObj(const MeshData& mesh) {
    std::string obj = "# Kestrune Ripper - 3D Mesh Exporter\n";
    obj += "o ";
    obj += mesh.name;
    obj += '\n';

    for (const Vertex& vertex : mesh.vertices) {
        obj += "v ";
        AppendFloat(obj, vertex.x);
        obj += ' ';
        AppendFloat(obj, vertex.y);
        obj += ' ';
        AppendFloat(obj, vertex.z);
        obj += '\n';
    }
    if (mesh.hasTexCoords) {
        for (const Vertex& vertex : mesh.vertices) {
            obj += "vt ";
            AppendFloat(obj, vertex.u);
            obj += ' ';
            AppendFloat(obj, vertex.v);
            obj += '\n';
        }
    }
    if (mesh.hasNormals) {
        for (const Vertex& vertex : mesh.vertices) {
            obj += "vn ";
            AppendFloat(obj, vertex.nx);
            obj += ' ';
            AppendFloat(obj, vertex.ny);
            obj += ' ';
            AppendFloat(obj, vertex.nz);
            obj += '\n';
        }
    }

    if (mesh.groups.empty()) {
        AppendFaces(obj, mesh, 0, mesh.indices.size());
    }
    for (const MeshGroup& group : mesh.groups) {
        obj += "g ";
        obj += group.name;
        obj += '\n';
        AppendFaces(obj, mesh, group.firstIndex, group.indexCount);
    }
    return obj;
}

} // namespace Kestrune
