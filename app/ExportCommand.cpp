#include "Commands.h"
#include "Console.h"
#include "KestruneEngine.h"
#include "PackageMessages.h"
#include "Platform.h"

#include <string>
#include <vector>

namespace Kestrune {

int RunExportCommand(const std::string& packagePath, const std::string& outDir,
                     const RunOptions& options) {
    // As --extract: a package that opens but is refused, is no package or
    // has nothing the converters know fails here, before DIR is made.
    const PackageSummary summary =
        KestruneEngine::Examine(packagePath, WithoutSelection(options.read));
    if (summary.opened) {
        if (!summary.walk.refusal.empty()) {
            SayRefused(packagePath, summary.walk);
            Console::Err("Export failed.\n");
            return 1;
        }
        SayNotes(summary.walk);
        if (!summary.walk.found()) {
            SayNotAPackage(packagePath);
            Console::Err("Export failed.\n");
            return 1;
        }
    }

    ExportReport report;
    std::vector<std::string> written;
    WrittenCallback onWritten;
    if (options.verbose) {
        onWritten = [&](const WrittenFile& file) {
            written.push_back(std::string(file.entryName) + " -> " + outDir + "/" +
                              std::string(file.path) + "\n");
        };
    }
    const bool ok = KestruneEngine::ExportAll(packagePath, outDir, &report, options.read,
                                              options.layout, onWritten);
    if (!report.hasConverters) {
        Console::Err("Cannot export " + packagePath +
                     ": --export has no converters for this kind of package\n");
        Console::Err("Export failed.\n");
        return 1;
    }
    for (const std::string& line : written) {
        Console::Out(line);
    }
    if (options.verbose) {
        for (const PlannedExport& skipped : report.skipped) {
            Console::Out("Skipped " + skipped.source + " (" + skipped.objectClass +
                         "): " + skipped.skipped + "\n");
        }
    }
    for (const auto& [source, note] : report.notes) {
        Console::Err(source + ": " + note + "\n");
    }
    const ExtractionReport& files = report.files;
    const auto summaryLine = [&] {
        Console::Out(std::to_string(files.entriesWritten) + " files, " +
                     std::to_string(files.bytesWritten) + " bytes, " +
                     std::to_string(files.failures.size()) + " failed, " +
                     std::to_string(report.skipped.size()) + " objects skipped\n");
    };
    if (ok) {
        Console::Out("Exported all assets to " + outDir + "\n");
        if (options.verbose) {
            summaryLine();
        }
        return 0;
    }
    if (!files.directoryReady) {
        Console::Err("Failed to create directory: " + outDir + " (" +
                     Platform::ErrorText(files.directoryError) + ")\n");
    } else if (!files.packageOpened) {
        SayOpenFailed(packagePath, summary.opened ? 0 : summary.openError);
    }
    for (const ExtractionFailure& failure : files.failures) {
        Console::Err("Failed to export " + failure.entryName + ": " + failure.reason + "\n");
    }
    Console::Err("Export failed.\n");
    if (options.verbose && files.packageOpened) {
        summaryLine();
    }
    return 1;
}

} // namespace Kestrune
