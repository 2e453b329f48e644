#include "PackageFolder.h"

#include "ByteSource.h"
#include "Formats.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <unordered_set>

namespace Kestrune {
namespace {

// Numbered companions (VPK parts, IoStore partitions) follow each other
// from 0; the first two are looked for whatever is missing (a Unity file's
// .resS and .resource are its parts 0 and 1, either may be absent), the
// rest up to the first that is missing. A name that comes back is the
// format's last one.
constexpr std::uint32_t kAlwaysLookedFor = 2;
constexpr std::uint32_t kMostParts = 100000;

std::string DirectoryPart(const std::string& relative) {
    const std::size_t slash = relative.rfind('/');
    return slash == std::string::npos ? std::string() : relative.substr(0, slash + 1);
}

} // namespace

std::string FolderFilePath(const std::string& folder, const std::string& relative) {
    if (folder.empty()) {
        return relative;
    }
#ifdef _WIN32
    const bool separated = folder.back() == '/' || folder.back() == '\\';
#else
    const bool separated = folder.back() == '/';
#endif
    return separated ? folder + relative : folder + "/" + relative;
}

FolderListing ListPackageFolder(const std::string& folder,
                                const std::optional<Platform::FileId>& skip) {
    FolderListing listing;
    std::vector<std::string> files;
    std::vector<std::string> pending{""}; // directories still to read, relative
    bool first = true;
    while (!pending.empty()) {
        const std::string directory = std::move(pending.back());
        pending.pop_back();
        const std::string path =
            directory.empty() ? folder
                              : FolderFilePath(folder, directory.substr(0, directory.size() - 1));
        auto names = Platform::ListDirectory(path);
        if (!names) {
            if (first) {
                listing.error = errno;
                return listing;
            }
            listing.passedOver.push_back(directory.substr(0, directory.size() - 1));
            continue;
        }
        first = false;
        for (std::string& name : *names) {
            std::string relative = directory + name;
            const std::string full = FolderFilePath(folder, relative);
            switch (Platform::LinkStatus(full)) {
            case Platform::PathKind::File:
                files.push_back(std::move(relative));
                break;
            case Platform::PathKind::Directory:
                if (skip && Platform::IdentifyFile(full) == skip) {
                    listing.passedOver.push_back(std::move(relative));
                } else {
                    pending.push_back(std::move(relative) + "/");
                }
                break;
            case Platform::PathKind::Missing: // gone since it was listed
                break;
            case Platform::PathKind::Link:
            case Platform::PathKind::Other:
                listing.passedOver.push_back(std::move(relative));
                break;
            }
        }
    }
    listing.opened = true;
    // Byte order: std::string compares as unsigned bytes.
    std::sort(files.begin(), files.end());
    std::sort(listing.passedOver.begin(), listing.passedOver.end());

    // A file is a companion when the format of another file of the folder
    // names it so: by the package's own naming of its numbered files, or by
    // the companion's name when its package lies beside it.
    const std::unordered_set<std::string> present(files.begin(), files.end());
    std::unordered_set<std::string> companions;
    for (const std::string& relative : files) {
        const std::string directory = DirectoryPart(relative);
        const std::string owner = PackageOfCompanion(relative.substr(directory.size()));
        if (!owner.empty() && directory + owner != relative &&
            present.contains(directory + owner)) {
            companions.insert(relative);
        }
        const auto source = FileSource::Open(FolderFilePath(folder, relative));
        if (!source) {
            continue;
        }
        const PartPathFunction partPath = CompanionNaming(*source);
        if (partPath == nullptr) {
            continue;
        }
        std::unordered_set<std::string> named;
        for (std::uint32_t part = 0; part < kMostParts; ++part) {
            std::string companion = partPath(relative, part);
            const bool exists = present.contains(companion);
            if ((!exists && part >= kAlwaysLookedFor) || !named.insert(companion).second) {
                break;
            }
            if (exists && companion != relative) {
                companions.insert(std::move(companion));
            }
        }
    }
    for (std::string& relative : files) {
        if (companions.contains(relative)) {
            listing.companions.push_back(std::move(relative));
        } else {
            listing.files.push_back(std::move(relative));
        }
    }
    return listing;
}

} // namespace Kestrune
