#pragma once

// Bounds-checked little-endian reading over an Unreal index held in memory: a
// pak's index and an IoStore container's directory index. A read past the
// end fails and makes every later read fail, so a parser checks `ok` once
// after a group of fields.

#include "Bounds.h"
#include "ByteOrder.h"
#include "Utf8.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

namespace Kestrune::Unreal {

enum class FStringRule { Strict, Lenient };

class Cursor {
public:
    explicit Cursor(std::span<const unsigned char> bytes) : bytes_(bytes) {}
    bool ok = true;
    std::uint64_t Left() const { return ok ? bytes_.size() - at_ : 0; }
    std::size_t At() const { return at_; }
    const unsigned char* Take(std::uint64_t n) {
        if (!ok || !FitsWithin(at_, n, bytes_.size())) {
            ok = false;
            return nullptr;
        }
        const unsigned char* p = bytes_.data() + at_;
        at_ += static_cast<std::size_t>(n);
        return p;
    }
    std::uint8_t U8() {
        const auto* p = Take(1);
        return p ? *p : 0;
    }
    std::uint32_t U32() {
        const auto* p = Take(4);
        return p ? LoadU32LE(p) : 0;
    }
    std::uint64_t U64() {
        const auto* p = Take(8);
        return p ? LoadU64LE(p) : 0;
    }
    std::int32_t I32() { return static_cast<std::int32_t>(U32()); }
    // A signed 64-bit size or offset; negative ones are malformed.
    std::uint64_t NonNegative() {
        const std::uint64_t v = U64();
        if (v > static_cast<std::uint64_t>(INT64_MAX)) {
            ok = false;
        }
        return v;
    }
    // A count of items of at least `itemSize` bytes each: never more than the
    // bytes left could hold.
    std::uint64_t Count(std::uint64_t itemSize) {
        const std::int32_t n = I32();
        if (n < 0 ||
            static_cast<std::uint64_t>(n) > Left() / std::max<std::uint64_t>(itemSize, 1)) {
            ok = false;
            return 0;
        }
        return static_cast<std::uint64_t>(n);
    }
    // FString as UTF-8: n > 0 Latin-1 bytes, n < 0 UTF-16LE units, the last
    // of them NUL. A pak's names are strict: no NUL before the last, no lone
    // surrogate. An IoStore directory keeps what it finds: a NUL inside stays
    // (the output names deal with it), a lone surrogate becomes U+FFFD.
    void String(std::string& out, FStringRule rule = FStringRule::Strict) {
        const bool strict = rule == FStringRule::Strict;
        out.clear();
        const std::int32_t n = I32();
        if (!ok || n == 0) {
            return;
        }
        if (n == INT32_MIN) {
            ok = false;
            return;
        }
        if (n > 0) {
            const auto* p = Take(static_cast<std::uint64_t>(n));
            if (p == nullptr || p[n - 1] != 0 ||
                (strict && std::memchr(p, 0, static_cast<std::size_t>(n - 1)))) {
                ok = false;
                return;
            }
            const auto* end = p + (n - 1);
            if (std::all_of(p, end, [](unsigned char c) { return c < 0x80; })) {
                out.assign(reinterpret_cast<const char*>(p), static_cast<std::size_t>(n - 1));
                return;
            }
            for (const auto* c = p; c != end; ++c) {
                AppendUtf8(out, *c); // Latin-1 widened
            }
            return;
        }
        const std::uint64_t units = static_cast<std::uint64_t>(-static_cast<std::int64_t>(n));
        const auto* p = Take(units * 2);
        if (p == nullptr || LoadU16LE(p + (units - 1) * 2) != 0) {
            ok = false;
            return;
        }
        for (std::uint64_t i = 0; i + 1 < units; ++i) {
            char32_t unit = LoadU16LE(p + i * 2);
            if (strict && (unit == 0 || (unit >= 0xDC00 && unit <= 0xDFFF))) {
                ok = false;
                return;
            }
            if (unit >= 0xD800 && unit <= 0xDBFF) {
                const char32_t low = i + 2 < units ? LoadU16LE(p + (i + 1) * 2) : 0;
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                    ++i;
                } else if (strict) {
                    ok = false;
                    return;
                }
            }
            AppendUtf8(out, unit >= 0xD800 && unit <= 0xDFFF ? 0xFFFD : unit);
        }
    }

    // A name of version 12 on: i32 byte count, then UTF-8 without a NUL
    // (none stored after it either), as a view of the index bytes.
    std::string_view Utf8View(bool& slash) {
        const std::int32_t n = I32();
        if (!ok || n < 0) {
            ok = false;
            return {};
        }
        const auto* p = Take(static_cast<std::uint64_t>(n));
        if (p == nullptr) {
            return {};
        }
        const std::string_view text(reinterpret_cast<const char*>(p), static_cast<std::size_t>(n));
        if (text.find('\0') != std::string_view::npos || !IsValidUtf8(text)) {
            ok = false;
            return {};
        }
        slash = text.find('/') != std::string_view::npos;
        return text;
    }

    // As String(), but a name of ASCII text (nearly every one) is a view of
    // the index bytes instead of a copy; others are converted into
    // `scratch`. `slash` tells whether the text holds a '/'.
    std::string_view StringView(std::string& scratch, bool& slash) {
        const std::size_t start = at_;
        const std::int32_t n = I32();
        if (ok && n > 0) {
            const auto* p = Take(static_cast<std::uint64_t>(n));
            if (p == nullptr) {
                return {};
            }
            // The three questions asked of eight bytes at a time: a million
            // names are most of a listing's reading.
            const std::size_t length = static_cast<std::size_t>(n) - 1;
            constexpr std::uint64_t kOnes = 0x0101010101010101ull;
            constexpr std::uint64_t kHighs = 0x8080808080808080ull;
            const auto zeroByte = [](std::uint64_t v) { return (v - kOnes) & ~v & kHighs; };
            std::uint64_t high = 0;
            std::uint64_t nul = p[length] != 0 ? kHighs : 0;
            std::uint64_t slashes = 0;
            const auto look = [&](std::uint64_t v) {
                high |= v;
                nul |= zeroByte(v);
                slashes |= zeroByte(v ^ (kOnes * '/'));
            };
            if (length >= 8) {
                for (std::size_t i = 0; i + 8 <= length; i += 8) {
                    look(LoadU64LE(p + i));
                }
                look(LoadU64LE(p + length - 8)); // the last eight, overlapping
            } else {
                for (std::size_t i = 0; i < length; ++i) {
                    look(kOnes * p[i]);
                }
            }
            if (nul != 0) {
                ok = false;
                return {};
            }
            if ((high & kHighs) == 0) {
                slash = slashes != 0;
                return {reinterpret_cast<const char*>(p), length};
            }
        }
        if (!ok) {
            return {};
        }
        at_ = start;
        String(scratch);
        slash = scratch.find('/') != std::string::npos;
        return scratch;
    }

private:
    std::span<const unsigned char> bytes_;
    std::size_t at_ = 0;
};

} // namespace Kestrune::Unreal
