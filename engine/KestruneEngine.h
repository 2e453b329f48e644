#pragma once

#include "ArchiveEntry.h"

#include <string>
#include <vector>

namespace Kestrune {

/// The tool's operations. Stateless: each call opens what it needs, closes it
/// before returning, prints nothing and reports through its result.
class KestruneEngine {
public:
    /// Classifies the file at `path` by its first four bytes. `OpenFailed` when
    /// it cannot be opened for reading or is a directory.
    static ArchiveType DetectType(const std::string& path);

    /// Every entry of the package at `path`, in the order the package stores
    /// them. Empty when the file cannot be opened or holds no listable entries;
    /// a damaged index yields the records read in full before the damage.
    static std::vector<ArchiveEntry> ListEntries(const std::string& path);
};

} // namespace Kestrune
