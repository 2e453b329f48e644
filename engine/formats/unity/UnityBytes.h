#pragma once

// A bounded reader over bytes held in memory, in either byte order: Unity
// writes bundle headers and block tables big-endian, and a serialized file's
// metadata and objects in the order its header names. A read past the end
// fails, leaves the position where it was and makes every later read fail
// too, so that a parser checks `ok()` once after a group of fields.

#include "Bounds.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

namespace Kestrune::Unity {

class Cursor {
public:
    explicit Cursor(std::span<const unsigned char> bytes, bool bigEndian = true)
        : bytes_(bytes), bigEndian_(bigEndian) {}

    bool ok() const { return ok_; }
    void Fail() { ok_ = false; }
    std::size_t Position() const { return position_; }
    std::size_t Size() const { return bytes_.size(); }
    std::size_t Remaining() const { return bytes_.size() - position_; }
    void SetBigEndian(bool bigEndian) { bigEndian_ = bigEndian; }
    bool BigEndian() const { return bigEndian_; }
    std::span<const unsigned char> Bytes() const { return bytes_; }

    // True when `count` records of `each` bytes can follow: the check every
    // declared count passes before it bounds a loop.
    bool Holds(std::uint64_t count, std::uint64_t each) const {
        return ok_ && (each == 0 || count <= Remaining() / each);
    }

    std::uint8_t U8() { return static_cast<std::uint8_t>(Unsigned(1)); }
    std::uint16_t U16() { return static_cast<std::uint16_t>(Unsigned(2)); }
    std::uint32_t U32() { return static_cast<std::uint32_t>(Unsigned(4)); }
    std::uint64_t U64() { return Unsigned(8); }
    std::int16_t I16() { return static_cast<std::int16_t>(U16()); }
    std::int32_t I32() { return static_cast<std::int32_t>(U32()); }
    std::int64_t I64() { return static_cast<std::int64_t>(U64()); }

    // The next `length` bytes; empty (and failed) when fewer are left.
    std::span<const unsigned char> Take(std::uint64_t length) {
        if (!ok_ || !FitsWithin(position_, length, bytes_.size())) {
            ok_ = false;
            return {};
        }
        const auto span = bytes_.subspan(position_, static_cast<std::size_t>(length));
        position_ += static_cast<std::size_t>(length);
        return span;
    }
    void Skip(std::uint64_t length) { Take(length); }

    // Bytes up to a NUL found within `maxLength` bytes; the NUL is consumed.
    std::string_view CString(std::size_t maxLength) {
        if (!ok_) {
            return {};
        }
        const std::size_t window = std::min(maxLength + 1, Remaining());
        const auto* start = bytes_.data() + position_;
        const auto* nul = static_cast<const unsigned char*>(std::memchr(start, 0, window));
        if (nul == nullptr) {
            ok_ = false;
            return {};
        }
        const auto length = static_cast<std::size_t>(nul - start);
        position_ += length + 1;
        return {reinterpret_cast<const char*>(start), length};
    }

    // Moves on to the next multiple of `alignment` counted from `base`.
    void AlignFrom(std::size_t base, std::size_t alignment) {
        const std::size_t into = (position_ - base) % alignment;
        if (into != 0) {
            Skip(alignment - into);
        }
    }
    void Seek(std::size_t position) {
        if (position > bytes_.size()) {
            ok_ = false;
            return;
        }
        position_ = position;
    }

private:
    std::uint64_t Unsigned(std::size_t width) {
        const auto bytes = Take(width);
        if (bytes.empty()) {
            return 0;
        }
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < width; ++i) {
            const std::size_t at = bigEndian_ ? i : width - 1 - i;
            value = value << 8 | bytes[at];
        }
        return value;
    }

    std::span<const unsigned char> bytes_;
    std::size_t position_ = 0;
    bool bigEndian_;
    bool ok_ = true;
};

} // namespace Kestrune::Unity
