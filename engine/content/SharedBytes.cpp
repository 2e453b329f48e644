#include "SharedBytes.h"

#include <algorithm>
#include <tuple>

namespace Kestrune {

SharedBytes FindSharedBytes(std::vector<StoredRun>& runs, std::uint64_t entryCount) {
    std::erase_if(runs, [](const StoredRun& r) { return r.begin >= r.end; });
    std::sort(runs.begin(), runs.end(), [](const StoredRun& a, const StoredRun& b) {
        return std::tie(a.file, a.begin, a.entry) < std::tie(b.file, b.begin, b.entry);
    });

    std::vector<bool> shared(static_cast<std::size_t>(entryCount));
    SharedBytes result;
    const auto mark = [&](std::uint64_t entry) {
        if (!shared[static_cast<std::size_t>(entry)]) {
            shared[static_cast<std::size_t>(entry)] = true;
            ++result.sharingEntries;
        }
    };

    // Of the runs already passed in this file: the furthest end and its
    // entry, and the furthest end of any other entry. A run overlaps an
    // earlier run of another entry exactly when it begins before the
    // furthest end that is not its own entry's.
    constexpr std::uint64_t kNone = UINT64_MAX;
    std::uint64_t end1 = 0, owner1 = kNone, end2 = 0, unionEnd = 0;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const StoredRun& r = runs[i];
        if (i == 0 || r.file != runs[i - 1].file) {
            end1 = end2 = unionEnd = 0;
            owner1 = kNone;
        }
        if (r.begin < (r.entry != owner1 ? end1 : end2)) {
            mark(r.entry);
        }
        // Later runs that overlap this one begin before its end and follow it
        // directly in the sorted order; an entry has at most two runs, so
        // looking past its own costs at most one step.
        for (std::size_t j = i + 1;
             j < runs.size() && runs[j].file == r.file && runs[j].begin < r.end; ++j) {
            if (runs[j].entry != r.entry) {
                mark(r.entry);
                break;
            }
        }
        if (r.end > end1) {
            if (r.entry != owner1) {
                end2 = end1;
                owner1 = r.entry;
            }
            end1 = r.end;
        } else if (r.entry != owner1 && r.end > end2) {
            end2 = r.end;
        }
        // The union of the runs, for the bytes stored once.
        if (r.end > unionEnd) {
            result.distinctBytes += r.end - std::max(r.begin, unionEnd);
            unionEnd = r.end;
        }
    }
    return result;
}

} // namespace Kestrune
