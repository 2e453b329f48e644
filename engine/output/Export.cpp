// The export: each object a package's converters know becomes one file in
// DIR, named and written with the guarantees of an extraction
// (OutputFiles.h). The objects are converted one at a time, in the
// package's order, so memory holds one object's data and its file.

#include "Detect.h"
#include "Formats.h"
#include "KestruneEngine.h"
#include "OutputFiles.h"
#include "OutputNames.h"
#include "PackageFiles.h"

#include <cerrno>

namespace Kestrune {

std::unique_ptr<PackageExporter> MakeExporter(PackageKind kind, PackageFiles& files) {
    const PackageFormat* format = FormatOf(kind);
    return format != nullptr && format->exporter != nullptr ? format->exporter(files) : nullptr;
}

namespace {

// The package's exporter, reading without the user's selection: that picks
// among the exported files, not among the package's entries.
std::unique_ptr<PackageExporter> OpenExporter(const std::string& archive,
                                              const ReadOptions& options,
                                              std::unique_ptr<PackageFiles>& files) {
    ReadOptions reading = options;
    reading.select = nullptr;
    files = OpenPackageFiles(archive, reading);
    if (!files) {
        return nullptr;
    }
    return MakeExporter(KestruneEngine::Examine(archive, reading).walk.kind, *files);
}

} // namespace

bool KestruneEngine::PlanExport(const std::string& archive, bool& hasConverters,
                                const std::function<void(const PlannedExport&)>& each,
                                const ReadOptions& options) {
    std::unique_ptr<PackageFiles> files;
    const auto exporter = OpenExporter(archive, options, files);
    hasConverters = exporter != nullptr;
    if (!files) {
        return false;
    }
    if (exporter) {
        // The names an export gives the files it writes, as ExportAll's
        // flat layout assigns them.
        const std::vector<PlannedExport>& plan = exporter->Plan();
        std::vector<ArchiveEntry> written;
        for (const PlannedExport& planned : plan) {
            if (planned.skipped.empty()) {
                written.emplace_back().name = planned.name;
            }
        }
        std::vector<std::optional<std::string>> outputs =
            AssignOutputNames(written, HostNameRules());
        std::size_t next = 0;
        for (const PlannedExport& planned : plan) {
            if (!planned.skipped.empty()) {
                each(planned);
                continue;
            }
            PlannedExport named = planned;
            named.output = std::move(outputs[next++]);
            each(named);
        }
    }
    return true;
}

bool KestruneEngine::ExportAll(const std::string& archive, const std::string& outDir,
                               ExportReport* report, const ReadOptions& options,
                               OutputLayout layout, const WrittenCallback& onWritten,
                               const FolderPlace* folder) {
    ExportReport local;
    ExportReport& result = report != nullptr ? *report : local;
    result = ExportReport{};
    ExtractionReport& files = result.files;

    std::unique_ptr<PackageFiles> package;
    const auto exporter = OpenExporter(archive, options, package);
    result.hasConverters = exporter != nullptr;
    if (package && !exporter) {
        return false;
    }
    const int makeError = Platform::MakeDirectory(outDir);
    files.directoryReady = Platform::IsDirectory(outDir);
    if (!files.directoryReady) {
        files.directoryError = makeError != 0 ? makeError : ENOTDIR;
        return false;
    }
    if (!package) {
        return false;
    }
    files.packageOpened = true;

    // One file per planned object the selection takes.
    std::vector<ArchiveEntry> entries;
    std::vector<std::size_t> items;
    std::vector<ExtractionFailure> unconvertible;
    const std::vector<PlannedExport>& plan = exporter->Plan();
    for (std::size_t i = 0; i < plan.size(); ++i) {
        if (plan[i].failed) {
            if (!options.select || options.select(plan[i].source)) {
                unconvertible.push_back({plan[i].source, "", plan[i].skipped});
            }
        } else if (!plan[i].skipped.empty()) {
            result.skipped.push_back(plan[i]);
        } else if (!options.select || options.select(plan[i].name)) {
            ArchiveEntry& entry = entries.emplace_back();
            entry.name = plan[i].name;
            items.push_back(i);
        }
    }
    const std::vector<Platform::FileId> protect = package->Identities(entries);
    std::vector<std::vector<std::string>> notes(entries.size());
    std::atomic<std::uint64_t> bytesDone{0};
    const auto makeWorker = [&](bool, const std::function<void()>&) {
        return OutputWorker([&](std::size_t i, const OutputOpener& open,
                                std::uint64_t& written) -> std::optional<std::string> {
            ConvertedObject converted = exporter->Convert(items[i]);
            if (converted.failure) {
                return std::move(converted.failure);
            }
            notes[i] = std::move(converted.notes);
            Platform::OutputFile out;
            if (std::optional<std::string> refused = open(out)) {
                return refused;
            }
            if (!out.Write(converted.bytes.data(), converted.bytes.size()) || !out.Close()) {
                return "write failed (" + Platform::ErrorText(out.LastError()) + ")";
            }
            written = converted.bytes.size();
            bytesDone += written;
            const PlannedExport& planned = plan[items[i]];
            if (planned.unconverted) {
                const std::string_view format = std::string_view(planned.form).starts_with("raw ")
                                                    ? std::string_view(planned.form).substr(4)
                                                    : std::string_view(planned.form);
                return "no converter for " + std::string(format) +
                       " here: written as its stored data";
            }
            return std::nullopt;
        });
    };
    // The converters hold one loaded file each: one thread converts.
    WriteOutputFiles({outDir, archive, entries, protect, layout, false, folder}, files, makeWorker,
                     bytesDone, {}, onWritten);
    result.failedBeforeWriting = unconvertible.size();
    files.failures.insert(files.failures.begin(), unconvertible.begin(), unconvertible.end());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        for (std::string& note : notes[i]) {
            result.notes.emplace_back(plan[items[i]].name, std::move(note));
        }
    }
    return files.failures.empty();
}

} // namespace Kestrune
