#include "ByteSource.h"
#include "Detect.h"
#include "KestruneEngine.h"
#include "Platform.h"
#include "UnrealPak.h"

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
    for (std::string& note : summary.walk.notes) {
        if (note == Unreal::kEncryptedLegacyIndexNote) {
            note = path + " " + note;
        }
    }
    // Since UE 4.26 the cooked assets sit in IoStore containers beside a
    // small pak of loose files: say so, or the listing looks incomplete.
    if (summary.walk.kind == PackageKind::Unreal && path.size() > 4 && path.ends_with(".pak")) {
        const std::string stem = path.substr(0, path.size() - 4);
        const auto exists = [](const std::string& name) {
            Platform::InputFile file;
            return file.Open(name);
        };
        if (exists(stem + ".utoc") && exists(stem + ".ucas")) {
            std::string shown = stem;
            if (const auto slash = shown.find_last_of("/\\"); slash != std::string::npos) {
                shown.erase(0, slash + 1);
            }
            summary.walk.notes.push_back(shown + ".utoc and " + shown +
                                         ".ucas hold this package's cooked assets, which kestrune "
                                         "does not read yet");
        }
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
