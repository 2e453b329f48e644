#pragma once

// Entries that share bytes. A WAD tool points many lumps at one copy on
// purpose; a hostile package does it to make an extraction write far more
// than it holds. Both are told apart from ordinary packages by sorting the
// runs of stored bytes by file and offset and sweeping over them once:
// O(n log n) time, memory of a few words per run.

#include <cstdint>
#include <vector>

namespace Kestrune {

// [begin, end) of one file, holding bytes of entry `entry`. Empty runs hold
// nothing and share nothing.
struct StoredRun {
    std::uint64_t begin = 0;
    std::uint64_t end = 0;
    std::uint64_t entry = 0;
    std::uint32_t file = 0;
};

struct SharedBytes {
    std::uint64_t sharingEntries = 0; // entries with a byte that another entry also holds
    std::uint64_t distinctBytes = 0;  // bytes of the files held by at least one entry
};

// `runs` is sorted in place; every `entry` is below `entryCount`.
SharedBytes FindSharedBytes(std::vector<StoredRun>& runs, std::uint64_t entryCount);

} // namespace Kestrune
