#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace Kestrune {

/// How an extraction lays entries out in DIR: every entry as one flat file
/// ("a/b" becomes "a_b"), or in the package's own directories ("a/b" becomes
/// the file b in the directory a).
enum class OutputLayout : std::uint8_t { Flat, Tree };

/// The names DIR held before the first package of a folder was written into
/// it, shared by the packages of that folder. Taken by the first package;
/// each name a package replaces leaves the set, so that a later package
/// whose file would take the same name is told apart by "~N" instead of
/// replacing it.
struct FolderRunNames {
    bool taken = false;
    std::unordered_set<std::string> names;
};

/// Where the files of one package of a folder go in the folder's DIR: under
/// the package's path in the folder, `prefix` ("Data/level0", "/" between
/// levels), as the directory DIR/Data/level0/ with OutputLayout::Tree, or in
/// front of each flat name ("Data_level0_<name>").
struct FolderPlace {
    std::string prefix;
    FolderRunNames* run = nullptr;
};

/// Why an entry without a safe file name is not written.
inline constexpr std::string_view kNoSafeNameReason =
    "its name would not stay inside the directory";

/// One entry that was not written whole.
struct ExtractionFailure {
    std::string entryName;  ///< The entry's name as the package stores it.
    std::string outputPath; ///< Where it was to be written; empty when no safe name exists.
    std::string reason;     ///< Why, in words for the user.
};

/// What one extraction did. Filled in by `KestruneEngine::ExtractAll`.
struct ExtractionReport {
    bool directoryReady = false; ///< The output directory exists (created or found).
    int directoryError = 0;      ///< The system's error number when it does not.
    bool packageOpened = false;  ///< The package opened for reading.
    std::size_t entryCount = 0;
    std::size_t entriesWritten = 0;
    std::uint64_t bytesWritten = 0;
    std::vector<ExtractionFailure> failures;
};

/// Progress of a running extraction, reported after each entry and each
/// copied chunk.
struct ExtractionProgress {
    std::size_t entriesDone = 0;
    std::size_t entriesTotal = 0;
    std::uint64_t bytesDone = 0;
    std::uint64_t bytesTotal = 0;
};

using ProgressCallback = std::function<void(const ExtractionProgress&)>;

/// One file an extraction wrote whole: the entry's name as the package
/// stores it and the path its file got, relative to DIR, with "/" between
/// directories (UTF-8 on Windows). Valid only during the call.
struct WrittenFile {
    std::string_view entryName;
    std::string_view path;
    std::uint64_t size = 0; ///< Bytes written to the file.
};

/// Receives every written file once the extraction is over, in listing
/// order, on the calling thread. Not asked for, it costs nothing.
using WrittenCallback = std::function<void(const WrittenFile&)>;

} // namespace Kestrune
