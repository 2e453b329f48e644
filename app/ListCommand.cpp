#include "Commands.h"
#include "Console.h"
#include "KestruneEngine.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace Kestrune {
namespace {

// The report, assembled in a fixed block and written out whenever the block
// fills: a package of a million entries costs neither a write call per line
// nor memory for every entry, and each line is a few copies into the block.
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

} // namespace

int RunListCommand(const std::string& packagePath) {
    static ReportWriter report; // 256 KiB: too large for the stack
    const auto begin = [&](std::uint64_t count) {
        report.Text("Package: ");
        report.Text(packagePath);
        report.Text(" (");
        report.Number(count, 10);
        report.Text(" files):\n");
    };
    const auto each = [&](const EntryView& entry) {
        report.Text("  - [");
        report.Number(entry.size, 10);
        report.Text(" B] ");
        report.Text(entry.name);
        report.Text(" (Offset: 0x");
        report.Number(entry.offset, 16);
        report.Text(")\n");
    };
    // A package that cannot be opened is a failure the caller must see; one
    // that opens but holds nothing listable is an empty report.
    if (!KestruneEngine::VisitEntries(packagePath, begin, each)) {
        Console::Err("Failed to open package: " + packagePath + "\n");
        return 1;
    }
    report.Flush();
    return 0;
}

} // namespace Kestrune
