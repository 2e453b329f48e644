#pragma once

#include <cstddef>

namespace Kestrune::Testing {

// Records the largest single allocation made through operator new while an
// instance is alive, so tests can prove that a hostile declared size never
// reaches an allocation.
class AllocationProbe {
public:
    AllocationProbe();
    ~AllocationProbe();
    AllocationProbe(const AllocationProbe&) = delete;
    AllocationProbe& operator=(const AllocationProbe&) = delete;

    std::size_t largest() const;
};

} // namespace Kestrune::Testing
