#include "KestruneEngine.h"

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
// stored, so the index 0xFFFFFFFF is written as 0.
void AppendFaceCorner(std::string& out, std::uint32_t index) {
    const std::uint32_t number = static_cast<std::uint32_t>(index + 1u);
    char digits[12];
    const auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
    // Position, texture coordinate and normal of a corner share one index.
    const std::string_view corner(digits, static_cast<std::size_t>(end - digits));
    out += corner;
    out += '/';
    out += corner;
    out += '/';
    out += corner;
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
    for (const Vertex& vertex : mesh.vertices) {
        obj += "vt ";
        AppendFloat(obj, vertex.u);
        obj += ' ';
        AppendFloat(obj, vertex.v);
        obj += '\n';
    }
    for (const Vertex& vertex : mesh.vertices) {
        obj += "vn ";
        AppendFloat(obj, vertex.nx);
        obj += ' ';
        AppendFloat(obj, vertex.ny);
        obj += ' ';
        AppendFloat(obj, vertex.nz);
        obj += '\n';
    }

    // Complete triples only: one or two indices left over are not a triangle.
    const std::vector<std::uint32_t>& indices = mesh.indices;
    for (std::size_t last = 2; last < indices.size(); last += 3) {
        obj += "f ";
        AppendFaceCorner(obj, indices[last - 2]);
        obj += ' ';
        AppendFaceCorner(obj, indices[last - 1]);
        obj += ' ';
        AppendFaceCorner(obj, indices[last]);
        obj += '\n';
    }
    return obj;
}

} // namespace Kestrune
