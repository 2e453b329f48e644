#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace Kestrune::Testing {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // `name` inside the directory, as the narrow string the engine takes.
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);

// A directory on a volume that compares names without letter case. Windows
// does so everywhere; elsewhere scripts/test-exfat.sh mounts an exFAT image
// and names a directory on it (KESTRUNE_CASE_FOLDING_DIR); nullopt without.
std::optional<std::filesystem::path> CaseFoldingDirectory();

// The file `name` inside `dir` as extraction names its outputs: `name` is
// UTF-8 text on Windows (where the narrow path would be read in the ANSI code
// page), bytes elsewhere.
std::string ReadOutputFile(const std::string& dir, const std::string& name);

// Writes a new file at `path` holding each piece's bytes at its position and
// nothing in between, so that a file of several GiB costs only its pieces: a
// sparse file where the file system has them. On Windows the file is marked
// sparse first, as NTFS otherwise fills every gap with zeros on disk.
struct FilePiece {
    std::uint64_t position;
    std::string bytes;
};
void WriteSparseFile(const std::string& path, const std::vector<FilePiece>& pieces);

// Makes `link` a symbolic link to the file `target`. False where none can be
// made: Windows without the privilege or developer mode, and Wine, which
// accepts the call but makes no link.
bool MakeSymbolicLink(const std::string& target, const std::string& link);

} // namespace Kestrune::Testing
