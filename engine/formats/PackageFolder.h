#pragma once

// A folder named where a package is expected (a game's `<Game>_Data`, a
// `Paks` folder, a folder of WADs): every package in it, at any depth, is
// read in turn. The folder is walked here, once, and the companion files of
// its packages (stream files, partitions, numbered parts) are told apart by
// the table of formats, so that none is taken for a package of its own.

#include "Platform.h"

#include <optional>
#include <string>
#include <vector>

namespace Kestrune {

/// What a folder holds, as the commands read it. Paths are relative to the
/// folder, "/" between levels on every system.
struct FolderListing {
    /// False when the folder itself cannot be read; `error` says why.
    bool opened = false;
    int error = 0;
    /// Every regular file that is no companion of another file of the
    /// folder, in byte order of its path: each may be a package.
    std::vector<std::string> files;
    /// The companion files of those, in byte order.
    std::vector<std::string> companions;
    /// What is never entered nor read: symbolic links, junctions and other
    /// things that are no regular file or directory, and the output
    /// directory when it lies in the folder.
    std::vector<std::string> passedOver;
};

/// Walks `folder` and everything below it, never through a link, never into
/// the directory `skip` (an output directory inside the folder): memory
/// holds the paths, time is linear in the number of files (each is opened
/// once, for a look at its first bytes).
FolderListing ListPackageFolder(const std::string& folder,
                                const std::optional<Platform::FileId>& skip);

/// The path of the file at `relative` in `folder`, as the system opens it
/// and as messages name it.
std::string FolderFilePath(const std::string& folder, const std::string& relative);

} // namespace Kestrune
