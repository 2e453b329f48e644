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

// The path of numbered part `part` of the package at `packagePath`, as the
// package's format names its parts.
using PartPathFunction = std::string (*)(const std::string& packagePath, std::uint32_t part);

// Opens the bytes that stand for the file at `path` (the file itself, or
// the parts it was cut into); null when there are none, with the system's
// error number in `error` if given.
using SourceOpener = std::unique_ptr<ByteSource> (*)(const std::string& path, int* error);

// The numbers from which parts are held in memory (PackageFiles::Hold):
// above every number a format gives its companion files.
inline constexpr std::uint32_t kHeldPart = 0x80000000u;

// The files an entry's bytes may come from: the package itself and the
// numbered part files beside it (a VPK directory's), named by the function
// its format gives. Part files are opened when an entry first needs them
// and stay open; a part that cannot be opened is remembered as missing.
// Safe to share between extraction threads.
class PackageFiles {
public:
    // Null when the package cannot be opened for reading or is a directory.
    // Without `partPath` the package has no parts: every part is missing.
    // Without `opener` the package and its parts are plain files.
    static std::unique_ptr<PackageFiles> Open(const std::string& path,
                                              const ReadOptions& options = {},
                                              PartPathFunction partPath = nullptr,
                                              SourceOpener opener = nullptr);

    ByteSource& Package() { return *package_; }
    // The package's path, as it was opened.
    const std::string& Path() const { return path_; }
    // Decoded blocks that entries of this package share, for every reader.
    BlockCache& Blocks() { return blocks_; }
    // What the user gave for reading the package (keys, the Oodle library).
    const ReadOptions& Options() const { return options_; }

    // The file holding runs of `file` (kPackageFile or a part number); null
    // when that part cannot be opened.
    ByteSource* Get(std::uint32_t file);

    // How messages name `file`: the part's file name without its directory.
    std::string PartName(std::uint32_t file) const;

    // Keeps `bytes` (content decoded from the package, such as a bundle
    // inside a container compressed whole) as a part of its own, named
    // `name` in messages, and returns its number: pieces and runs of that
    // number read from it.
    std::uint32_t Hold(std::string name, std::vector<unsigned char> bytes);

    // The package and every existing part that `entries` refer to: the
    // files that no output may ever overwrite.
    std::vector<Platform::FileId> Identities(const std::vector<ArchiveEntry>& entries) const;

private:
    PackageFiles(std::string path, ReadOptions options, PartPathFunction partPath,
                 SourceOpener opener)
        : path_(std::move(path)), options_(std::move(options)), partPath_(partPath),
          opener_(opener) {}
    std::unique_ptr<ByteSource> OpenSource(const std::string& path, int* error) const;
    std::string PartPath(std::uint32_t file) const;

    std::string path_;
    ReadOptions options_;
    PartPathFunction partPath_;
    SourceOpener opener_;
    std::unique_ptr<ByteSource> package_;
    BlockCache blocks_;
    std::mutex partsLock_;
    std::unordered_map<std::uint32_t, std::unique_ptr<ByteSource>> parts_; // null: missing
    struct Held {
        std::string name;
        std::vector<unsigned char> bytes;
        std::unique_ptr<MemorySource> source;
    };
    std::vector<std::unique_ptr<Held>> held_; // part kHeldPart + i
};

} // namespace Kestrune
