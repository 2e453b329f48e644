#include "Commands.h"
#include "Console.h"
#include "KestruneEngine.h"
#include "PackageMessages.h"
#include "ReportWriter.h"

namespace Kestrune {

int RunTestCommand(const std::string& packagePath, const RunOptions& options) {
    PackageSummary summary;
    if (!ExaminePackage(packagePath, options.read, summary)) {
        return 1;
    }
    // Unlike --list, which shows such a file as an empty package, a check
    // must not pass a file that is no package at all.
    if (!summary.walk.found()) {
        SayNotAPackage(packagePath);
        return 1;
    }
    static ReportWriter report; // 256 KiB: too large for the stack
    const PackageCheck check = KestruneEngine::TestPackage(
        packagePath,
        [&](const DamagedEntry& entry) {
            report.Text("Damaged: ");
            report.Text(entry.name);
            report.Text(": ");
            report.Text(entry.reason);
            report.Char('\n');
        },
        options.read);
    if (!check.opened) {
        SayOpenFailed(packagePath, 0);
        return 1;
    }
    if (check.kind == PackageKind::None) { // changed since it was examined
        report.Flush();
        SayNotAPackage(packagePath);
        return 1;
    }
    // Damage to the package itself (an index that does not match its hash),
    // under the package's own name.
    for (const std::string& reason : check.packageDamage) {
        report.Text("Damaged: ");
        report.Text(packagePath);
        report.Text(": ");
        report.Text(reason);
        report.Char('\n');
    }
    if (check.sharingEntries > 0) {
        report.Text("Shared: ");
        report.Number(check.sharingEntries, 10);
        report.Text(" entries share bytes with other entries\n");
    }
    report.Text("Extraction writes ");
    report.Number(check.bytesExtracted, 10);
    report.Text(" bytes from ");
    report.Number(check.bytesStored, 10);
    report.Text(" bytes stored\n");
    report.Number(check.entryCount, 10);
    report.Text(" entries, ");
    report.Number(check.damagedCount, 10);
    report.Text(" damaged\n");
    report.Flush();
    return check.damagedCount == 0 && check.packageDamage.empty() ? 0 : 1;
}

} // namespace Kestrune
