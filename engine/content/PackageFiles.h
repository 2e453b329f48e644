#pragma once

#include "ArchiveEntry.h"
#include "BlockCache.h"
#include "ByteSource.h"
#include "Platform.h"
#include "ReadOptions.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace Kestrune {

// The files an entry's bytes may come from: the package itself and, for a
// VPK directory, its numbered part files beside it. Part files are opened when an
// entry first needs them and stay open; a part that cannot be opened is
// remembered as missing. Safe to share between extraction threads.
class PackageFiles {
public:
    // Null when the package cannot be opened for reading or is a directory.
    static std::unique_ptr<PackageFiles> Open(const std::string& path,
                                              const ReadOptions& options = {});

    FileSource& Package() { return *package_; }
    // Decoded blocks that entries of this package share, for every reader.
    BlockCache& Blocks() { return blocks_; }
    // What the user gave for reading the package (keys, the Oodle library).
    const ReadOptions& Options() const { return options_; }

    // The file holding runs of `file` (kPackageFile or a part number); null
    // when that part cannot be opened.
    FileSource* Get(std::uint32_t file);

    // How messages name `file`: the part's file name without its directory.
    std::string PartName(std::uint32_t file) const;

    // The package and every existing part that `entries` refer to: the
    // files that no output may ever overwrite.
    std::vector<Platform::FileId> Identities(const std::vector<ArchiveEntry>& entries) const;

private:
    PackageFiles(std::string path, ReadOptions options)
        : path_(std::move(path)), options_(std::move(options)) {}

    std::string path_;
    ReadOptions options_;
    std::unique_ptr<FileSource> package_;
    BlockCache blocks_;
    std::mutex partsLock_;
    std::unordered_map<std::uint32_t, std::unique_ptr<FileSource>> parts_; // null: missing
};

} // namespace Kestrune
