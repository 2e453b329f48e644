// fuzz_extract: any bytes at all, written to a package file and extracted.
//
// Each input gets a fresh work directory holding the package and a bystander
// file; ExtractAll writes into work/out. Promises checked on every input:
// - nothing outside work/out is created, changed or removed: the scratch
//   tree, the package's bytes and the bystander's bytes included;
// - inside work/out there are only regular files, directly in it;
// - the report adds up: written plus failed entries make the listing, success
//   means no failure, and the files hold exactly the bytes reported written;
// - every entry reported written holds exactly its bytes of the package, and
//   a failed entry's file holds a true prefix of them, never padding;
// - ExtractFile writes the first entry's bytes to a file of its own, and
//   refuses to write it over the package itself.

#include "ArchiveEntry.h"
#include "ByteSource.h"
#include "Detect.h"
#include "Extraction.h"
#include "FuzzSupport.h"
#include "KestruneEngine.h"
#include "OutputNames.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

namespace {

using namespace Kestrune;
namespace fs = std::filesystem;

// Everything under `root` except the subtree at `skip`: type, and the bytes
// of regular files or the target of symbolic links.
std::map<std::string, std::string> Snapshot(const fs::path& root, const fs::path& skip) {
    std::map<std::string, std::string> seen;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
         ++it) {
        const fs::path& path = it->path();
        const std::string key = path.lexically_relative(root).string();
        if (path == skip) {
            it.disable_recursion_pending();
            seen[key] = "(output directory)";
        } else if (it->is_symlink()) {
            seen[key] = "link to " + fs::read_symlink(path).string();
        } else if (it->is_directory()) {
            seen[key] = "directory";
        } else if (it->is_regular_file()) {
            seen[key] = "file " + Fuzzing::ReadBytes(path);
        } else {
            seen[key] = "other";
        }
    }
    return seen;
}

// The bytes of `entry` that really lie in the package.
std::string_view EntryBytes(std::string_view package, const ArchiveEntry& entry) {
    if (entry.offset >= package.size()) {
        return {};
    }
    return package.substr(static_cast<std::size_t>(entry.offset),
                          static_cast<std::size_t>(
                              std::min<std::uint64_t>(entry.size, package.size() - entry.offset)));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const fs::path root = Fuzzing::ScratchRoot();
    const fs::path work = root / "work";
    const fs::path out = work / "out";
    const fs::path package = work / "package.pak";
    fs::remove_all(work);
    fs::create_directory(work);
    Fuzzing::WriteBytes(package, data, size);
    const std::string bystander = "left alone";
    Fuzzing::WriteBytes(work / "bystander", reinterpret_cast<const std::uint8_t*>(bystander.data()),
                        bystander.size());

    MemorySource memory(std::span<const unsigned char>(data, size));
    const std::vector<ArchiveEntry> entries = ReadEntries(memory);
    const std::vector<std::optional<std::string>> names =
        AssignOutputNames(entries, HostNameRules());

    const auto before = Snapshot(root, out);
    ExtractionReport report;
    const bool ok = KestruneEngine::ExtractAll(package.string(), out.string(), &report);
    auto after = Snapshot(root, out);
    KESTRUNE_FUZZ_CHECK(after.erase("work/out") == 1);
    KESTRUNE_FUZZ_CHECK(before == after);
    KESTRUNE_FUZZ_CHECK(Fuzzing::ReadBytes(package) == input);

    KESTRUNE_FUZZ_CHECK(report.directoryReady && report.packageOpened);
    KESTRUNE_FUZZ_CHECK(report.entryCount == entries.size());
    KESTRUNE_FUZZ_CHECK(report.entriesWritten + report.failures.size() == entries.size());
    KESTRUNE_FUZZ_CHECK(ok == report.failures.empty());

    std::set<std::string> failedPaths;
    for (const ExtractionFailure& failure : report.failures) {
        KESTRUNE_FUZZ_CHECK(!failure.reason.empty());
        if (!failure.outputPath.empty()) {
            KESTRUNE_FUZZ_CHECK(fs::path(failure.outputPath).parent_path() == out);
            failedPaths.insert(failure.outputPath);
        }
    }

    std::uint64_t bytesOnDisk = 0;
    std::size_t files = 0;
    for (const fs::directory_entry& file : fs::directory_iterator(out)) {
        KESTRUNE_FUZZ_CHECK(file.is_regular_file() && !file.is_symlink());
        bytesOnDisk += file.file_size();
        ++files;
    }
    KESTRUNE_FUZZ_CHECK(files <= entries.size());
    KESTRUNE_FUZZ_CHECK(bytesOnDisk == report.bytesWritten);

    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (!names[i]) {
            continue;
        }
        const std::string path = out.string() + "/" + *names[i];
        const std::string_view expected = EntryBytes(input, entries[i]);
        // The non-throwing exists(): a failed entry's name may be longer than
        // the file system allows, and then even looking it up fails.
        std::error_code lookup;
        if (failedPaths.count(path) == 0) {
            KESTRUNE_FUZZ_CHECK(Fuzzing::ReadBytes(path) == expected);
            KESTRUNE_FUZZ_CHECK(expected.size() == entries[i].size);
        } else if (fs::exists(path, lookup)) {
            KESTRUNE_FUZZ_CHECK(expected.starts_with(Fuzzing::ReadBytes(path)));
        }
    }

    if (!entries.empty()) {
        // ExtractFile finds the first entry of that name, which entries[0] is.
        const fs::path single = work / "single";
        const std::string_view expected = EntryBytes(input, entries[0]);
        const bool whole =
            KestruneEngine::ExtractFile(package.string(), entries[0].name, single.string());
        KESTRUNE_FUZZ_CHECK(whole == (expected.size() == entries[0].size));
        KESTRUNE_FUZZ_CHECK(Fuzzing::ReadBytes(single) == expected);

        KESTRUNE_FUZZ_CHECK(
            !KestruneEngine::ExtractFile(package.string(), entries[0].name, package.string()));
        KESTRUNE_FUZZ_CHECK(Fuzzing::ReadBytes(package) == input);
    }

    fs::remove_all(work);
    return 0;
}
