#include "PackageFiles.h"

#include <algorithm>
#include <unordered_set>

namespace Kestrune {

std::unique_ptr<PackageFiles> PackageFiles::Open(const std::string& path,
                                                 const ReadOptions& options,
                                                 PartPathFunction partPath, SourceOpener opener) {
    std::unique_ptr<PackageFiles> files(new PackageFiles(path, options, partPath, opener));
    files->package_ = files->OpenSource(path, nullptr);
    if (!files->package_) {
        return nullptr;
    }
    return files;
}

std::unique_ptr<ByteSource> PackageFiles::OpenSource(const std::string& path, int* error) const {
    if (opener_ != nullptr) {
        return opener_(path, error);
    }
    return FileSource::Open(path, error);
}

ByteSource* PackageFiles::Get(std::uint32_t file) {
    if (file == kPackageFile) {
        return package_.get();
    }
    std::lock_guard<std::mutex> hold(partsLock_);
    if (file >= kHeldPart && file != kPackageFile) {
        const std::uint32_t index = file - kHeldPart;
        return index < held_.size() ? held_[index]->source.get() : nullptr;
    }
    const auto known = parts_.find(file);
    if (known != parts_.end()) {
        return known->second.get();
    }
    // Only parts that entries really use are opened, one at a time: their
    // number is at most the number of entries.
    auto opened = partPath_ != nullptr ? OpenSource(PartPath(file), nullptr) : nullptr;
    ByteSource* part = opened.get();
    parts_.emplace(file, std::move(opened));
    return part;
}

std::string PackageFiles::PartPath(std::uint32_t file) const {
    return partPath_ != nullptr ? partPath_(path_, file) : "part " + std::to_string(file);
}

std::uint32_t PackageFiles::Hold(std::string name, std::vector<unsigned char> bytes) {
    std::lock_guard<std::mutex> hold(partsLock_);
    auto held = std::make_unique<Held>();
    held->name = std::move(name);
    held->bytes = std::move(bytes);
    held->source = std::make_unique<MemorySource>(
        std::span<const unsigned char>(held->bytes.data(), held->bytes.size()));
    held_.push_back(std::move(held));
    return kHeldPart + static_cast<std::uint32_t>(held_.size() - 1);
}

std::string PackageFiles::PartName(std::uint32_t file) const {
    if (file >= kHeldPart && file != kPackageFile) {
        const std::uint32_t index = file - kHeldPart;
        return index < held_.size() ? held_[index]->name : "part " + std::to_string(file);
    }
    const std::string part = PartPath(file);
#ifdef _WIN32
    const std::size_t slash = part.find_last_of("/\\");
#else
    const std::size_t slash = part.rfind('/');
#endif
    return slash == std::string::npos ? part : part.substr(slash + 1);
}

std::vector<Platform::FileId>
PackageFiles::Identities(const std::vector<ArchiveEntry>& entries) const {
    std::vector<Platform::FileId> ids;
    if (const auto id = Platform::IdentifyFile(path_)) {
        ids.push_back(*id);
    }
    std::unordered_set<std::uint32_t> parts;
    const auto add = [&](std::uint32_t file) {
        if (file != kPackageFile && file < kHeldPart && partPath_ != nullptr &&
            parts.insert(file).second) {
            if (const auto id = Platform::IdentifyFile(PartPath(file))) {
                ids.push_back(*id);
            }
        }
    };
    std::unordered_set<const SharedContent*> sharedSeen;
    for (const ArchiveEntry& entry : entries) {
        for (std::size_t i = 0; i < entry.content.runCount; ++i) {
            add(entry.content.runs[i].file);
        }
        // Pieces shared by many entries are looked at once.
        if (entry.content.shared && sharedSeen.insert(entry.content.shared.get()).second) {
            for (const Piece& piece : entry.content.shared->pieces) {
                add(piece.file);
            }
        }
    }
    return ids;
}

} // namespace Kestrune
