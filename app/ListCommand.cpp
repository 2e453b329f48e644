#include "Commands.h"
#include "Console.h"
#include "KestruneEngine.h"
#include "PackageMessages.h"
#include "ReportWriter.h"

#include <cstdint>
#include <string_view>

namespace Kestrune {

int RunListCommand(const std::string& packagePath, const RunOptions& options) {
    static ReportWriter report; // 256 KiB: too large for the stack
    const auto begin = [&](std::uint64_t count) {
        report.Text("Package: ");
        report.Text(packagePath);
        report.Text(" (");
        report.Number(count, 10);
        report.Text(" files):\n");
    };
    const auto each = [&](const EntryView& entry) {
        constexpr std::string_view kOpen = "  - [";
        constexpr std::string_view kSize = " B] ";
        constexpr std::string_view kOffset = " (Offset: 0x";
        constexpr std::size_t kFixed =
            kOpen.size() + kSize.size() + kOffset.size() + 2 + 2 * ReportWriter::kLongestNumber;
        // A million lines are most of the listing's time: each is written
        // into the block in one go when it fits, as nearly all do.
        if (char* out = report.Reserve(entry.name.size() + kFixed)) {
            out = ReportWriter::Put(out, kOpen);
            out = ReportWriter::PutNumber(out, entry.size, 10);
            out = ReportWriter::Put(out, kSize);
            out = ReportWriter::Put(out, entry.name);
            out = ReportWriter::Put(out, kOffset);
            out = ReportWriter::PutNumber(out, entry.offset, 16);
            out = ReportWriter::Put(out, ")\n");
            report.Commit(out);
            return;
        }
        report.Text(kOpen); // a name longer than the whole block
        report.Number(entry.size, 10);
        report.Text(kSize);
        report.Text(entry.name);
        report.Text(kOffset);
        report.Number(entry.offset, 16);
        report.Text(")\n");
    };
    // What the package is and what it holds come from one reading. A
    // package that cannot be opened, or is refused, is a failure the caller
    // must see, with nothing listed; one that opens but holds nothing
    // listable is an empty report.
    const PackageSummary summary =
        KestruneEngine::StreamEntries(packagePath, begin, each, options.read);
    if (!summary.opened) {
        SayOpenFailed(packagePath, summary.openError);
        return 1;
    }
    if (!summary.walk.refusal.empty()) {
        report.Flush();
        SayRefused(packagePath, summary.walk);
        return 1;
    }
    SayNotes(summary.walk);
    // Listed as an empty package, but the user hears what it is.
    if (!summary.walk.found()) {
        SayNotAPackage(packagePath);
    }
    report.Flush();
    return 0;
}

} // namespace Kestrune
