// The probe that the hostile-input tests rely on must see every allocation the
// standard library makes, including those through nothrow operator new, and
// must hand every block back the way it was taken: under AddressSanitizer a
// block taken by the runtime's new and returned by our free is reported as a
// mismatch and ends the test run.

#include "support/AllocationProbe.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <new>
#include <string>
#include <vector>

namespace Kestrune {
namespace {

TEST(AllocationProbe, SeesNothrowAllocationsAndFreesThemAlike) {
    Testing::AllocationProbe probe;
    constexpr std::size_t kBlock = 3 * 1024 * 1024 + 17;
    void* block = ::operator new(kBlock, std::nothrow);
    ASSERT_NE(block, nullptr);
    ::operator delete(block);
    EXPECT_GE(probe.largest(), kBlock);

    // std::stable_sort takes its temporary buffer through nothrow new.
    std::vector<std::string> names{"THINGS", "LINEDEFS", "SIDEDEFS", "MAP01", "E1M1"};
    std::stable_sort(names.begin(), names.end());
    EXPECT_EQ(names.front(), "E1M1");
}

} // namespace
} // namespace Kestrune
