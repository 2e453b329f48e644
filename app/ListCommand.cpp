#include "Commands.h"
#include "Console.h"
#include "KestruneEngine.h"

#include <charconv>
#include <cstdint>

namespace Kestrune {
namespace {

void AppendNumber(std::string& out, std::uint64_t value, int base) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value, base);
    out.append(digits, result.ptr);
}

} // namespace

int RunListCommand(const std::string& packagePath) {
    // A package that cannot be opened is a failure the caller must see; one
    // that opens but holds nothing listable is an empty report.
    if (KestruneEngine::DetectType(packagePath) == ArchiveType::OpenFailed) {
        Console::Err("Failed to open package: " + packagePath + "\n");
        return 1;
    }
    const std::vector<ArchiveEntry> entries = KestruneEngine::ListEntries(packagePath);

    // The report is assembled in large blocks: a package of a million entries
    // must not cost a write call per line.
    constexpr std::size_t kFlushThreshold = 256 * 1024;
    std::string report = "Package: " + packagePath + " (";
    AppendNumber(report, entries.size(), 10);
    report += " files):\n";
    for (const ArchiveEntry& entry : entries) {
        report += "  - [";
        AppendNumber(report, entry.size, 10);
        report += " B] ";
        report += entry.name;
        report += " (Offset: 0x";
        AppendNumber(report, entry.offset, 16);
        report += ")\n";
        if (report.size() >= kFlushThreshold) {
            Console::Out(report);
            report.clear();
        }
    }
    Console::Out(report);
    return 0;
}

} // namespace Kestrune
