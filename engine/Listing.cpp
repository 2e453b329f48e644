#include "ByteSource.h"
#include "Detect.h"
#include "KestruneEngine.h"

namespace Kestrune {

ArchiveType KestruneEngine::DetectType(const std::string& path) {
    const auto source = FileSource::Open(path);
    return source ? DetectKind(*source) : ArchiveType::OpenFailed;
}

std::vector<ArchiveEntry> KestruneEngine::ListEntries(const std::string& path,
                                                      const ReadOptions& options) {
    const auto source = FileSource::Open(path);
    return source ? ReadEntries(*source, options) : std::vector<ArchiveEntry>{};
}

PackageSummary KestruneEngine::Examine(const std::string& path, const ReadOptions& options) {
    PackageSummary summary;
    const auto source = FileSource::Open(path, &summary.openError);
    if (source) {
        summary.opened = true;
        summary.walk = WalkEntries(
            *source, [](const EntryView&) {}, 0, options);
    }
    return summary;
}

bool KestruneEngine::VisitEntries(const std::string& path,
                                  const std::function<void(std::uint64_t count)>& begin,
                                  const EntryVisitor& each, const ReadOptions& options) {
    const auto source = FileSource::Open(path);
    if (!source) {
        return false;
    }
    // The number comes first but is known only once the whole index has been
    // walked (a damaged one ends early), so the index is read twice rather
    // than held: reading it again costs less than memory for every record.
    const std::uint64_t count = Kestrune::VisitEntries(
        *source, [](const EntryView&) {}, UINT64_MAX, options);
    begin(count);
    Kestrune::VisitEntries(*source, each, count, options);
    return true;
}

} // namespace Kestrune
