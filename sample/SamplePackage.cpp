#include "ByteOrder.h"
#include "KestruneEngine.h"
#include "PakFormat.h"

#include <cstdint>
#include <fstream>
#include <string>
#include <string_view>

// The sample package is a PAK container (layout in PakFormat.h) of two
// entries, data first, then the index, then the footer:
//
//   0    502  the sample cube as OBJ text   "Content/Meshes/Props/GameCrate_LOD0.obj"
//   502   62  the configuration JSON        "Config/EngineConfig.json"
//   564  123  index: count 2, two records
//   687   44  footer: magic, version 8, index offset 564, index size 123, 20 x 0xAB
//
// 731 bytes, the same on every run: nothing of the time or the host enters it.
namespace Kestrune {
namespace {

constexpr std::string_view kMeshEntryName = "Content/Meshes/Props/GameCrate_LOD0.obj";
constexpr std::string_view kConfigEntryName = "Config/EngineConfig.json";
constexpr std::string_view kConfigJson =
    R"({"game":"CyberRogue 2077","engine":"Unreal 5.4","assets":1240})";

struct PlacedEntry {
    std::string_view name;
    std::uint64_t offset;
    std::uint64_t size;
};

void AppendIndexRecord(std::string& image, const PlacedEntry& entry) {
    AppendU32LE(image, static_cast<std::uint32_t>(entry.name.size()));
    image += entry.name;
    AppendU64LE(image, entry.offset);
    AppendU64LE(image, entry.size); // stored size: the entries are not compressed
    AppendU64LE(image, entry.size);
}

std::string BuildSamplePackage() {
    // Offsets are positions in the image, which is the file from its first byte.
    std::string image = KestruneEngine::ExportObj(KestruneEngine::CreateSampleMesh());
    const PlacedEntry mesh{kMeshEntryName, 0, image.size()};
    const PlacedEntry config{kConfigEntryName, image.size(), kConfigJson.size()};
    image += kConfigJson;

    const std::uint64_t indexOffset = image.size();
    AppendU32LE(image, 2);
    AppendIndexRecord(image, mesh);
    AppendIndexRecord(image, config);
    const std::uint64_t indexSize = image.size() - indexOffset;

    AppendU32LE(image, Pak::kFooterMagic);
    AppendU32LE(image, Pak::kFooterVersion);
    AppendU64LE(image, indexOffset);
    AppendU64LE(image, indexSize);
    image.append(Pak::kReservedSize, static_cast<char>(Pak::kReservedFill));
    return image;
}

} // namespace

bool KestruneEngine::CreateSamplePackage(const std::string& outPath) {
    // The whole image is built before the file is opened, so that nothing can
    // stop between truncating an existing file and writing the new one but the
    // write itself.
    const std::string image = BuildSamplePackage();

    std::ofstream out(outPath, std::ios::binary | std::ios::trunc);
    if (!out) {
        return false;
    }
    // A full device or a file-size limit shows up at the write or, with the
    // bytes still buffered, at the close: both must turn into a failure, never
    // into a reported success. The file keeps what the system accepted.
    const bool written =
        static_cast<bool>(out.write(image.data(), static_cast<std::streamsize>(image.size())));
    out.close();
    return written && !out.fail();
}

} // namespace Kestrune
