#include "AllocationProbe.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<bool> probing{false};
std::atomic<std::size_t> largestAllocation{0};

void* Allocate(std::size_t size) {
    if (probing.load(std::memory_order_relaxed)) {
        std::size_t seen = largestAllocation.load(std::memory_order_relaxed);
        while (size > seen && !largestAllocation.compare_exchange_weak(seen, size)) {
        }
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}

} // namespace

// Every form of operator new that pairs with the plain operator delete is
// replaced, so that each block is taken with malloc and given back with free.
// The nothrow forms matter under AddressSanitizer: its runtime supplies any
// form left unreplaced, marks those blocks as taken by new, and then reports
// the free in our delete as a mismatch (std::stable_sort's temporary buffer
// takes exactly that path).
void* operator new(std::size_t size) {
    return Allocate(size);
}
void* operator new[](std::size_t size) {
    return Allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return Allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return Allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}

namespace Kestrune::Testing {

AllocationProbe::AllocationProbe() {
    largestAllocation = 0;
    probing = true;
}

AllocationProbe::~AllocationProbe() {
    probing = false;
}

std::size_t AllocationProbe::largest() const {
    return largestAllocation.load();
}

} // namespace Kestrune::Testing
