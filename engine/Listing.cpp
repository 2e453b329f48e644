#include "ByteSource.h"
#include "Detect.h"
#include "IoStore.h"
#include "KestruneEngine.h"
#include "Platform.h"
#include "UnrealPak.h"

namespace Kestrune {

std::string KestruneEngine::PackageFileFor(const std::string& path) {
    return IoStore::TocPathFor(path);
}

ArchiveType KestruneEngine::DetectType(const std::string& path) {
    const auto source = FileSource::Open(path);
    return source ? DetectKind(*source) : ArchiveType::OpenFailed;
}

std::vector<ArchiveEntry> KestruneEngine::ListEntries(const std::string& path,
                                                      const ReadOptions& options) {
    const auto source = FileSource::Open(path);
    return source ? ReadEntries(*source, options) : std::vector<ArchiveEntry>{};
}

namespace {

// What Examine adds to a walk's notes: the file's name where a note needs
// it, and the IoStore container beside an Unreal pak, which holds the
// rest of the game's files.
void AddPackageNotes(const std::string& path, const ReadOptions& options, PackageSummary& summary) {
    for (std::string& note : summary.walk.notes) {
        if (note == Unreal::kEncryptedLegacyIndexNote) {
            note = path + " " + note;
        } else if (note.ends_with(IoStore::kZenNote)) {
            note = path + ": " + note;
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
        const auto toc = FileSource::Open(stem + ".utoc");
        if (toc && exists(stem + ".ucas")) {
            std::string shown = stem;
            if (const auto slash = shown.find_last_of("/\\"); slash != std::string::npos) {
                shown.erase(0, slash + 1);
            }
            ReadOptions all = options;
            all.select = nullptr;
            const DirectoryWalk container = IoStore::VisitContainer(
                *toc, [](const EntryView&) {}, UINT64_MAX, all);
            // The container's own refusal (an index without its key) is
            // what listing it says.
            summary.walk.notes.push_back(shown + ".utoc holds " +
                                         (container.found() && container.refusal.empty()
                                              ? std::to_string(container.visited) + " more entries"
                                              : std::string("this package's cooked assets")) +
                                         ": kestrune --list " + shown + ".utoc");
        }
    }
}

} // namespace

PackageSummary KestruneEngine::Examine(const std::string& path, const ReadOptions& options) {
    PackageSummary summary;
    const auto source = FileSource::Open(path, &summary.openError);
    if (source) {
        summary.opened = true;
        summary.walk = WalkEntries(
            *source, [](const EntryView&) {}, 0, options);
    }
    AddPackageNotes(path, options, summary);
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
    const auto source = FileSource::Open(path, &summary.openError);
    if (!source) {
        return summary;
    }
    summary.opened = true;
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
        UINT64_MAX, options, &announce);
    if (!announced && summary.walk.refusal.empty()) {
        const std::uint64_t count = summary.walk.visited;
        begin(count);
        summary.walk = WalkEntries(*source, each, count, options);
    }
    AddPackageNotes(path, options, summary);
    return summary;
}

} // namespace Kestrune
