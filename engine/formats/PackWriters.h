#pragma once

// The writer of each kind the tool packs, each defined next to its reader
// (PakWriter.cpp beside PakFormat.cpp, ...). The table of formats is the one
// place that names them; see Packing.h for what a writer does.

#include "Packing.h"

namespace Kestrune {
namespace Pak {
std::optional<std::string> WritePackage(const PackPlan& plan, PackOutput& out,
                                        std::uint64_t& entries);
}
namespace Wad {
std::optional<std::string> WritePackage(const PackPlan& plan, PackOutput& out,
                                        std::uint64_t& entries);
}
namespace Pack {
std::optional<std::string> WritePackage(const PackPlan& plan, PackOutput& out,
                                        std::uint64_t& entries);
}
namespace Vpk {
std::optional<std::string> WritePackage(const PackPlan& plan, PackOutput& out,
                                        std::uint64_t& entries);
}
namespace Zip {
std::optional<std::string> WritePackage(const PackPlan& plan, PackOutput& out,
                                        std::uint64_t& entries);
// An MS-DOS time stamp, as ZIP records hold it.
struct DosStamp {
    std::uint16_t date = 0;
    std::uint16_t time = 0;
};
// The stamp of `seconds` since 1970-01-01 UTC, clamped to the years MS-DOS
// stamps can hold (1980 to 2107) and rounded down to even seconds; none:
// 1980-01-01 00:00:00.
DosStamp DosStampOf(std::optional<std::int64_t> seconds);
} // namespace Zip
namespace Unreal {
std::optional<std::string> WritePackage(const PackPlan& plan, PackOutput& out,
                                        std::uint64_t& entries);
// The settings of the pak at `reference` for --like, and what they are in
// words; nullopt when read, else why not.
std::optional<std::string> ReadLike(const std::string& reference, const ReadOptions& options,
                                    bool keyGiven, PackSettings& settings,
                                    std::string& description);
} // namespace Unreal
} // namespace Kestrune
