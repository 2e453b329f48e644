#include "ByteSource.h"
#include "Detect.h"
#include "KestruneEngine.h"

namespace Kestrune {

ArchiveType KestruneEngine::DetectType(const std::string& path) {
    const auto source = FileSource::Open(path);
    return source ? DetectKind(*source) : ArchiveType::OpenFailed;
}

std::vector<ArchiveEntry> KestruneEngine::ListEntries(const std::string& path) {
    const auto source = FileSource::Open(path);
    return source ? ReadEntries(*source) : std::vector<ArchiveEntry>{};
}

} // namespace Kestrune
