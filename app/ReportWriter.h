#pragma once

#include "Console.h"

#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace Kestrune {

// A report on standard output, assembled in a fixed block and written out
// whenever the block fills: a package of a million entries costs neither a
// write call per line nor memory for every entry, and each line is a few
// copies into the block.
class ReportWriter {
public:
    void Text(std::string_view text) {
        if (text.size() > free()) {
            Flush();
            if (text.size() > block_.size()) {
                Console::Out(text); // a name longer than the whole block
                return;
            }
        }
        std::memcpy(block_.data() + used_, text.data(), text.size());
        used_ += text.size();
    }
    void Char(char c) {
        if (free() == 0) {
            Flush();
        }
        block_[used_++] = c;
    }
    void Number(std::uint64_t value, int base) {
        if (free() < kLongestNumber) {
            Flush();
        }
        const auto result =
            std::to_chars(block_.data() + used_, block_.data() + block_.size(), value, base);
        used_ = static_cast<std::size_t>(result.ptr - block_.data());
    }
    void Flush() {
        Console::Out(std::string_view(block_.data(), used_));
        used_ = 0;
    }

private:
    static constexpr std::size_t kLongestNumber = 20; // 2^64 - 1 in decimal
    std::size_t free() const { return block_.size() - used_; }

    std::array<char, 256 * 1024> block_;
    std::size_t used_ = 0;
};

} // namespace Kestrune
