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
        if (text.empty()) {
            return; // an empty view may hold no address, which memcpy must not get
        }
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
    // Room for `length` characters written straight into the block, or null
    // when not even an empty block holds them. Commit() with the end of what
    // was written; Put() and PutNumber() write and return that end.
    char* Reserve(std::size_t length) {
        if (length > free()) {
            Flush();
            if (length > free()) {
                return nullptr;
            }
        }
        return block_.data() + used_;
    }
    void Commit(const char* end) { used_ = static_cast<std::size_t>(end - block_.data()); }
    static char* Put(char* out, std::string_view text) {
        std::memcpy(out, text.data(), text.size());
        return out + text.size();
    }
    static char* PutNumber(char* out, std::uint64_t value, int base) {
        return std::to_chars(out, out + kLongestNumber, value, base).ptr;
    }
    static constexpr std::size_t kLongestNumber = 20; // 2^64 - 1 in decimal

    void Flush() {
        Console::Out(std::string_view(block_.data(), used_));
        used_ = 0;
    }

private:
    std::size_t free() const { return block_.size() - used_; }

    std::array<char, 256 * 1024> block_;
    std::size_t used_ = 0;
};

} // namespace Kestrune
