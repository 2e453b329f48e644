#pragma once

// Writing one file per entry into DIR, whatever makes the files' bytes: the
// extraction copies entries, an export converts objects. Either way every
// file gets a name of its own (OutputNames.h), is created exclusively
// inside DIR, never replaces the package or a file it did not find there,
// and is reported in the listing's order.

#include "ArchiveEntry.h"
#include "Extraction.h"
#include "Platform.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace Kestrune {

// Opens an entry's output file; the reason when it cannot.
using OutputOpener = std::function<std::optional<std::string>(Platform::OutputFile&)>;

// Writes the file of entry `i` through `open`; the reason when it was not
// written whole. `written` receives the bytes the file got.
using OutputWorker = std::function<std::optional<std::string>(
    std::size_t i, const OutputOpener& open, std::uint64_t& written)>;

// Makes the worker of one thread. The calling thread's worker reports
// progress through `onStep` when `reportsProgress`.
using OutputWorkerFactory =
    std::function<OutputWorker(bool reportsProgress, const std::function<void()>& onStep)>;

struct OutputPlan {
    const std::string& outDir;  ///< exists already
    const std::string& archive; ///< the package, as the user named it
    /// One per file: `name` is what it is named after (a path with "/" for
    /// a tree) and `size` the bytes expected, for progress.
    const std::vector<ArchiveEntry>& entries;
    std::span<const Platform::FileId> protect; ///< files no output may replace
    OutputLayout layout;
    bool twoWorkers;                     ///< whether a second thread may write files too
    const FolderPlace* folder = nullptr; ///< the package's place when it is one of a folder's
};

// Names and writes every entry's file, filling `result` (entryCount,
// entriesWritten, bytesWritten from `bytesDone`, failures).
void WriteOutputFiles(const OutputPlan& plan, ExtractionReport& result,
                      const OutputWorkerFactory& makeWorker, std::atomic<std::uint64_t>& bytesDone,
                      const ProgressCallback& onProgress, const WrittenCallback& onWritten);

} // namespace Kestrune
