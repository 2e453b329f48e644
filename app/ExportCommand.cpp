#include "Commands.h"
#include "Console.h"
#include "KestruneEngine.h"
#include "PackageMessages.h"

#include <string>
#include <vector>

namespace Kestrune {

int RunExportCommand(const std::string& packagePath, const std::string& outDir,
                     const RunOptions& options, const FolderPlace* place) {
    PackageSummary summary;
    if (!ReadyToWrite(packagePath, options.read, "Export failed.", summary)) {
        return 1;
    }

    ExportReport report;
    std::vector<std::string> written;
    const WrittenCallback onWritten = KeepWrittenLines(options.verbose, outDir, written);
    const bool ok = KestruneEngine::ExportAll(packagePath, outDir, &report, options.read,
                                              options.layout, onWritten, place);
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
        Console::Out(WrittenSummary(files) + ", " + std::to_string(report.skipped.size()) +
                     " objects skipped\n");
    };
    // Nothing written at all is said as such, not as a success.
    const std::string nothing = "Nothing exported from " + packagePath + ": " +
                                std::to_string(report.skipped.size()) + " objects skipped, " +
                                std::to_string(files.failures.size()) + " failed\n";
    if (ok) {
        Console::Out(files.entriesWritten == 0 ? nothing
                                               : "Exported all assets to " + outDir + "\n");
        if (options.verbose) {
            summaryLine();
        }
        return 0;
    }
    SayNothingWritten(files, packagePath, outDir, summary);
    for (const ExtractionFailure& failure : files.failures) {
        Console::Err("Failed to export " + failure.entryName + ": " + failure.reason + "\n");
    }
    Console::Err("Export failed.\n");
    if (options.verbose && files.packageOpened) {
        summaryLine();
    }
    if (files.packageOpened && files.entriesWritten == 0) {
        Console::Err(nothing);
    }
    return 1;
}

} // namespace Kestrune
