#include "Commands.h"
#include "Console.h"
#include "KestruneEngine.h"
#include "PackageMessages.h"
#include "Platform.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace Kestrune {
namespace {

std::string Mebibytes(std::uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return text;
}

// One line on a terminal's standard error, shown only once an extraction has
// run for a second and redrawn a few times a second; cleared at the end.
class ProgressLine {
public:
    ProgressLine() : enabled_(Platform::StandardErrorIsTerminal()), start_(Clock::now()) {}

    ~ProgressLine() {
        if (shown_) {
            Console::Err("\r" + std::string(width_, ' ') + "\r");
        }
    }

    ProgressCallback Callback() {
        if (!enabled_) {
            return {};
        }
        return [this](const ExtractionProgress& p) { Update(p); };
    }

private:
    using Clock = std::chrono::steady_clock;

    void Update(const ExtractionProgress& p) {
        const auto now = Clock::now();
        if (now - start_ < std::chrono::seconds(1) ||
            now - lastDraw_ < std::chrono::milliseconds(200)) {
            return;
        }
        lastDraw_ = now;
        std::string line = "Extracting: " + std::to_string(p.entriesDone) + " of " +
                           std::to_string(p.entriesTotal) + " entries, " + Mebibytes(p.bytesDone) +
                           " of " + Mebibytes(p.bytesTotal);
        const std::size_t width = line.size();
        if (line.size() < width_) {
            line.append(width_ - line.size(), ' ');
        }
        width_ = std::max(width_, width);
        Console::Err("\r" + line);
        shown_ = true;
    }

    bool enabled_;
    bool shown_ = false;
    std::size_t width_ = 0;
    Clock::time_point start_;
    Clock::time_point lastDraw_{};
};

// With -v: the closing summary, after the lines of the files written.
void SaySummary(const ExtractionReport& report) {
    Console::Out(WrittenSummary(report) + "\n");
}

} // namespace

int RunExtractCommand(const std::string& packagePath, const std::string& outDir,
                      const RunOptions& options, const FolderPlace* place) {
    PackageSummary summary;
    if (!ReadyToWrite(packagePath, options.read, "Extraction failed.", summary)) {
        return 1;
    }

    ExtractionReport report;
    bool ok = false;
    // With -v, the written files are named once the progress line is gone.
    std::vector<std::string> written;
    const WrittenCallback onWritten = KeepWrittenLines(options.verbose, outDir, written);
    {
        ProgressLine progress;
        ok = KestruneEngine::ExtractAll(packagePath, outDir, &report, progress.Callback(),
                                        options.read, options.layout, onWritten, place);
    }
    for (const std::string& line : written) {
        Console::Out(line);
    }
    if (ok) {
        Console::Out("Extracted all assets to " + outDir + "\n");
        if (options.verbose) {
            SaySummary(report);
        }
        return 0;
    }

    SayNothingWritten(report, packagePath, outDir, summary);
    for (const ExtractionFailure& failure : report.failures) {
        Console::Err("Failed to extract " + failure.entryName + ": " + failure.reason + "\n");
    }
    Console::Err("Extraction failed.\n");
    if (options.verbose && report.packageOpened) {
        SaySummary(report);
    }
    return 1;
}

} // namespace Kestrune
