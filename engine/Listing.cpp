#include "ByteSource.h"
#include "Detect.h"
#include "Formats.h"
#include "KestruneEngine.h"
#include "PackageFiles.h"

namespace Kestrune {

std::string KestruneEngine::PackageFileFor(const std::string& path) {
    return Kestrune::PackageFileFor(path);
}

FolderListing KestruneEngine::ListFolder(const std::string& folder, const std::string& outDir) {
    return ListPackageFolder(folder,
                             outDir.empty() ? std::nullopt : Platform::IdentifyFile(outDir));
}

ArchiveType KestruneEngine::DetectType(const std::string& path) {
    const auto source = OpenPackageSource(path);
    return source ? DetectKind(*source) : ArchiveType::OpenFailed;
}

std::vector<ArchiveEntry> KestruneEngine::ListEntries(const std::string& path,
                                                      const ReadOptions& options) {
    const auto source = OpenPackageSource(path);
    return source ? ReadEntries(*source, options) : std::vector<ArchiveEntry>{};
}

PackageSummary KestruneEngine::Examine(const std::string& path, const ReadOptions& options) {
    PackageSummary summary;
    const auto source = OpenPackageSource(path, &summary.openError);
    if (source) {
        summary.opened = true;
        ReadOptions borrowed;
        summary.walk = WalkEntries(
            *source, [](const EntryView&) {}, 0, OptionsFor(path, *source, options, borrowed));
    }
    AnnotateWalk(path, options, summary.walk);
    return summary;
}

bool KestruneEngine::VisitEntries(const std::string& path,
                                  const std::function<void(std::uint64_t count)>& begin,
                                  const EntryVisitor& each, const ReadOptions& options) {
    bool begun = false;
    const PackageSummary summary = StreamEntries(
        path,
        [&](std::uint64_t count) {
            begun = true;
            begin(count);
        },
        each, options);
    // A refused package is listed as holding nothing: its number is 0.
    if (summary.opened && !begun) {
        begin(0);
    }
    return summary.opened;
}

PackageSummary KestruneEngine::StreamEntries(const std::string& path,
                                             const std::function<void(std::uint64_t count)>& begin,
                                             const EntryVisitor& each, const ReadOptions& options) {
    PackageSummary summary;
    const auto source = OpenPackageSource(path, &summary.openError);
    if (!source) {
        return summary;
    }
    summary.opened = true;
    ReadOptions borrowed;
    const ReadOptions& read = OptionsFor(path, *source, options, borrowed);
    // The number comes first. A reader that checks its whole directory
    // before the first entry announces it, and the one walk lists. The
    // others know it only once the whole index has been walked (a damaged
    // one ends early), so the index is read twice rather than held:
    // reading it again costs less than memory for every record.
    bool announced = false;
    const CountAnnouncer announce = [&](std::uint64_t count) {
        announced = true;
        begin(count);
    };
    summary.walk = WalkEntries(
        *source,
        [&](const EntryView& entry) {
            if (announced) {
                each(entry);
            }
        },
        UINT64_MAX, read, &announce);
    if (!announced && summary.walk.refusal.empty()) {
        const std::uint64_t count = summary.walk.visited;
        begin(count);
        summary.walk = WalkEntries(*source, each, count, read);
    }
    AnnotateWalk(path, options, summary.walk);
    return summary;
}

bool KestruneEngine::ListObjects(const std::string& archive, const ObjectListingVisitor& each,
                                 const ReadOptions& options) {
    auto files = OpenPackageFiles(archive, options);
    if (!files) {
        return false;
    }
    const PackageFormat* format = FormatOf(Examine(archive, options).walk.kind);
    if (format != nullptr && format->objects != nullptr) {
        format->objects(*files, each, options);
    }
    return true;
}

} // namespace Kestrune
