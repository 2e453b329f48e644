#include "ByteOrder.h"
#include "PackFormat.h"
#include "PackWriters.h"

// A "PACK" file (layout in PackFormat.h): the header, each file's bytes in
// plan order, then the directory, as the engines' own packers place it.
namespace Kestrune::Pack {

std::optional<std::string> WritePackage(const PackPlan& plan, PackOutput& out,
                                        std::uint64_t& entries) {
    // Every position is a u32: the data and the directory must end below 4 GiB.
    std::uint64_t end = kHeaderSize;
    for (const PackFile& file : plan.files) {
        if (file.name.size() >= kNameSize) {
            return "'" + file.name + "' is longer than 55 bytes: a PACK cannot hold it";
        }
        end += file.size;
    }
    const std::uint64_t directoryLength = std::uint64_t{kRecordSize} * plan.files.size();
    if (end + directoryLength > UINT32_MAX) {
        return std::string("the files add up to more than a PACK can hold (4 GiB)");
    }
    PackSink* sink = out.Create(out.PackageName());
    if (sink == nullptr) {
        return out.Failure();
    }
    std::string header;
    AppendU32LE(header, kSignature);
    AppendU32LE(header, static_cast<std::uint32_t>(end));
    AppendU32LE(header, static_cast<std::uint32_t>(directoryLength));
    if (!sink->Write(header)) {
        return out.Failure();
    }
    std::string directory;
    for (const PackFile& file : plan.files) {
        const std::uint64_t offset = sink->Position();
        if (auto failure = ReadPackFile(
                file, [&](std::span<const unsigned char> bytes) { return sink->Write(bytes); })) {
            return *failure == "stopped" ? out.Failure() : *failure;
        }
        std::string record = file.name;
        record.resize(kNameSize, '\0');
        directory += record;
        AppendU32LE(directory, static_cast<std::uint32_t>(offset));
        AppendU32LE(directory, static_cast<std::uint32_t>(file.size));
    }
    if (!sink->Write(directory)) {
        return out.Failure();
    }
    entries = plan.files.size();
    return std::nullopt;
}

} // namespace Kestrune::Pack
