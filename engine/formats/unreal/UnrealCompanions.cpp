#include "UnrealCompanions.h"

#include "ByteSource.h"
#include "IoStore.h"
#include "Platform.h"
#include "UnrealPak.h"

namespace Kestrune::Unreal {

void AnnotatePak(const std::string& path, const ReadOptions& options, DirectoryWalk& walk) {
    for (std::string& note : walk.notes) {
        if (note == kEncryptedLegacyIndexNote) {
            note = path + " " + note;
        }
    }
    // Since UE 4.26 the cooked assets sit in IoStore containers beside a
    // small pak of loose files: say so, or the listing looks incomplete.
    if (walk.kind == PackageKind::Unreal && path.size() > 4 && path.ends_with(".pak")) {
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
            walk.notes.push_back(shown + ".utoc holds " +
                                 (container.found() && container.refusal.empty()
                                      ? std::to_string(container.visited) + " more entries"
                                      : std::string("this package's cooked assets")) +
                                 ": kestrune --list " + shown + ".utoc");
        }
    }
}

} // namespace Kestrune::Unreal
