#pragma once

#include <cstdint>

namespace Kestrune {

// The one check every number read from a package passes before it drives a
// seek, a loop bound or an allocation.
//
// True when [offset, offset + length) lies inside a region of `size` bytes.
// Subtraction form: a hostile offset or length near 2^64 cannot wrap around.
constexpr bool FitsWithin(std::uint64_t offset, std::uint64_t length, std::uint64_t size) {
    return offset <= size && length <= size - offset;
}

// How many of the `length` bytes from `offset` lie inside a region of `size`
// bytes: what can really be read of a run whose length a package declares.
constexpr std::uint64_t BytesWithin(std::uint64_t offset, std::uint64_t length,
                                    std::uint64_t size) {
    return FitsWithin(offset, length, size) ? length : offset < size ? size - offset : 0;
}

} // namespace Kestrune
