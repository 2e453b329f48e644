#include "UnrealCompanions.h"

#include "Platform.h"
#include "UnrealPak.h"

namespace Kestrune::Unreal {

void AnnotatePak(const std::string& path, DirectoryWalk& walk) {
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
        if (exists(stem + ".utoc") && exists(stem + ".ucas")) {
            std::string shown = stem;
            if (const auto slash = shown.find_last_of("/\\"); slash != std::string::npos) {
                shown.erase(0, slash + 1);
            }
            walk.notes.push_back(shown + ".utoc and " + shown +
                                 ".ucas hold this package's cooked assets, which kestrune "
                                 "does not read yet");
        }
    }
}

} // namespace Kestrune::Unreal
