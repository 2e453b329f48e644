#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace Kestrune {

/// How an extraction lays entries out in DIR: every entry as one flat file
/// ("a/b" becomes "a_b"), or in the package's own directories ("a/b" becomes
/// the file b in the directory a).
enum class OutputLayout : std::uint8_t { Flat, Tree };

/// Why an entry without a safe file name is not written.
inline constexpr std::string_view kNoSafeNameReason =
    "its name would not stay inside the directory";

/// One entry that was not written whole.
struct ExtractionFailure {
    std::string entryName;  ///< The entry's name as the package stores it.
    std::string outputPath; ///< Where it was to be written; empty when no safe name exists.
    std::string reason;     ///< Why, in words for the user.
};

/// One entry written whole, and the file it was written to.
struct ExtractedFile {
    std::string entryName;  ///< The entry's name as the package stores it.
    std::string outputPath; ///< DIR, "/", and the file's name inside it.
};

/// What one extraction did. Filled in by `KestruneEngine::ExtractAll`.
struct ExtractionReport {
    /// Set by the caller to have `written` filled (a record per entry, so
    /// only when the user asked to see them).
    bool listWritten = false;
    std::vector<ExtractedFile> written; ///< In listing order.
    bool directoryReady = false;        ///< The output directory exists (created or found).
    int directoryError = 0;             ///< The system's error number when it does not.
    bool packageOpened = false;         ///< The package opened for reading.
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

} // namespace Kestrune
