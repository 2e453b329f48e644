#pragma once

#include <cstdint>
#include <optional>

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

// The product of a count and a unit size (blocks times bytes per block,
// pixels times bytes per pixel) in 64 bits, or nullopt when it does not fit:
// a size made of two numbers from a package passes this before FitsWithin.
constexpr std::optional<std::uint64_t> CheckedProduct(std::uint64_t count, std::uint64_t unit) {
    if (unit != 0 && count > UINT64_MAX / unit) {
        return std::nullopt;
    }
    return count * unit;
}

} // namespace Kestrune
