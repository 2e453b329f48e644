#include "Commands.h"
#include "Console.h"
#include "KestruneEngine.h"
#include "PackageMessages.h"
#include "ReportWriter.h"

#include <cstdint>

namespace Kestrune {

int RunListCommand(const std::string& packagePath, const RunOptions& options) {
    PackageSummary summary;
    if (!ExaminePackage(packagePath, options.read, summary)) {
        return 1;
    }
    // Listed as an empty package, but the user hears what it is.
    if (!summary.walk.found()) {
        SayNotAPackage(packagePath);
    }
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
    if (!KestruneEngine::VisitEntries(packagePath, begin, each, options.read)) {
        SayOpenFailed(packagePath, 0);
        return 1;
    }
    report.Flush();
    return 0;
}

} // namespace Kestrune
