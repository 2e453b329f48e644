#include "ByteOrder.h"
#include "PackWriters.h"
#include "PakFormat.h"

// Our own container (layout in PakFormat.h), as the sample package is
// written: each file's bytes in plan order from offset 0, then the index,
// then the footer.
namespace Kestrune::Pak {

std::optional<std::string> WritePackage(const PackPlan& plan, PackOutput& out,
                                        std::uint64_t& entries) {
    if (plan.files.size() > UINT32_MAX) {
        return std::string("more files than the container's index can count");
    }
    PackSink* sink = out.Create(out.PackageName());
    if (sink == nullptr) {
        return out.Failure();
    }
    std::string index;
    AppendU32LE(index, static_cast<std::uint32_t>(plan.files.size()));
    for (const PackFile& file : plan.files) {
        if (file.name.size() > UINT32_MAX) {
            return "'" + file.name + "' is longer than a name the container can hold";
        }
        const std::uint64_t offset = sink->Position();
        if (auto failure = ReadPackFile(
                file, [&](std::span<const unsigned char> bytes) { return sink->Write(bytes); })) {
            return *failure == "stopped" ? out.Failure() : *failure;
        }
        AppendU32LE(index, static_cast<std::uint32_t>(file.name.size()));
        index += file.name;
        AppendU64LE(index, offset);
        AppendU64LE(index, file.size);
        AppendU64LE(index, file.size);
    }
    const std::uint64_t indexOffset = sink->Position();
    std::string footer;
    AppendU32LE(footer, kFooterMagic);
    AppendU32LE(footer, kFooterVersion);
    AppendU64LE(footer, indexOffset);
    AppendU64LE(footer, index.size());
    footer.append(kReservedSize, static_cast<char>(kReservedFill));
    if (!sink->Write(index) || !sink->Write(footer)) {
        return out.Failure();
    }
    entries = plan.files.size();
    return std::nullopt;
}

} // namespace Kestrune::Pak
