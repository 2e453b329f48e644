#include "Bounds.h"
#include "ByteSource.h"
#include "Detect.h"
#include "KestruneEngine.h"
#include "OutputNames.h"
#include "Platform.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

namespace Kestrune {
namespace {

// Entries are copied through one buffer of at most this size, so memory stays
// flat whatever size an entry declares.
constexpr std::size_t kCopyChunkSize = 1 << 20;

// Entries from this size on are copied by the system, file to file, where it
// can (for a small entry a read and a write through the buffer cost as much).
constexpr std::uint64_t kSystemCopyMinimum = 256 * 1024;

// Creating a file costs the system far more than copying a small entry's
// bytes, and most of that cost is not serialised between threads: two
// workers take blocks of this many consecutive entries in turn, so that each
// reads the package forward.
constexpr std::size_t kEntriesPerBlock = 256;

std::string WriteFailed(const Platform::OutputFile& out) {
    return "write failed (" + Platform::ErrorText(out.LastError()) + ")";
}

// Copies entries out of one open package. Owns the copy buffers of one
// worker; `bytesDone` is shared by all workers of one extraction.
class EntryCopier {
public:
    EntryCopier(FileSource& package, std::optional<Platform::FileId> packageId,
                std::atomic<std::uint64_t>& bytesDone, std::function<void()> onStep = {})
        : package_(package), packageId_(packageId), bytesDone_(bytesDone),
          onStep_(std::move(onStep)) {}

    // Writes `entry` to `outPath`. Returns the reason when it was not written
    // whole; bytes already written stay, nothing is padded.
    std::optional<std::string> Copy(const ArchiveEntry& entry, const std::string& outPath) {
        Platform::OutputFile out;
        switch (out.Open(outPath, packageId_)) {
        case Platform::OutputFile::OpenStatus::IsProtectedFile:
            return "would overwrite the package";
        case Platform::OutputFile::OpenStatus::Failed:
            return "cannot create the file (" + Platform::ErrorText(out.LastError()) + ")";
        case Platform::OutputFile::OpenStatus::Opened:
            break;
        }

        // Only the bytes that really lie in the package are copied; a hostile
        // size can neither allocate nor fill the disk.
        const std::uint64_t packageSize = package_.Size();
        const std::uint64_t available = FitsWithin(entry.offset, entry.size, packageSize)
                                            ? entry.size
                                        : entry.offset < packageSize ? packageSize - entry.offset
                                                                     : 0;
        std::uint64_t done = 0;
        while (done < available) {
            const auto step =
                static_cast<std::size_t>(std::min<std::uint64_t>(kCopyChunkSize, available - done));
            std::size_t got = 0;
            auto status = Platform::OutputFile::CopyStatus::Unsupported;
            if (systemCopy_ && available >= kSystemCopyMinimum) {
                status = out.CopyFrom(package_.File(), entry.offset + done, step, got);
                systemCopy_ = status != Platform::OutputFile::CopyStatus::Unsupported;
            }
            if (status == Platform::OutputFile::CopyStatus::Failed) {
                bytesDone_ += got;
                return WriteFailed(out);
            }
            if (status == Platform::OutputFile::CopyStatus::Unsupported) {
                if (buffer_.size() < step) {
                    buffer_.resize(std::min<std::uint64_t>(kCopyChunkSize, available));
                }
                got = package_.ReadAt(entry.offset + done, buffer_.data(), step);
                if (got > 0 && !out.Write(buffer_.data(), got)) {
                    return WriteFailed(out);
                }
            }
            done += got;
            bytesDone_ += got;
            if (got < step) {
                break; // the package shrank while it was being read
            }
            if (onStep_) {
                onStep_(); // progress within a large entry
            }
        }
        if (!out.Close()) {
            return WriteFailed(out);
        }
        if (done < entry.size) {
            return "cut short by the end of the package (" + std::to_string(done) + " of " +
                   std::to_string(entry.size) + " bytes)";
        }
        return std::nullopt;
    }

private:
    FileSource& package_;
    std::optional<Platform::FileId> packageId_;
    std::atomic<std::uint64_t>& bytesDone_;
    std::function<void()> onStep_;
    bool systemCopy_ = true; // until the system says it cannot
    std::vector<unsigned char> buffer_;
};

} // namespace

bool KestruneEngine::ExtractFile(const std::string& archive, const std::string& entryName,
                                 const std::string& outPath) {
    const auto package = FileSource::Open(archive);
    if (!package) {
        return false;
    }
    const std::vector<ArchiveEntry> entries = ReadEntries(*package);
    const auto match = std::find_if(entries.begin(), entries.end(),
                                    [&](const ArchiveEntry& e) { return e.name == entryName; });
    if (match == entries.end()) {
        return false;
    }
    std::atomic<std::uint64_t> bytesDone{0};
    EntryCopier copier(*package, Platform::IdentifyFile(archive), bytesDone);
    return !copier.Copy(*match, outPath).has_value();
}

bool KestruneEngine::ExtractAll(const std::string& archive, const std::string& outDir,
                                ExtractionReport* report, const ProgressCallback& onProgress) {
    ExtractionReport local;
    ExtractionReport& result = report != nullptr ? *report : local;
    result = ExtractionReport{};

    // The directory comes first, as users expect it to exist after any run;
    // an existing one is simply used.
    const int makeError = Platform::MakeDirectory(outDir);
    result.directoryReady = Platform::IsDirectory(outDir);
    if (!result.directoryReady) {
        result.directoryError = makeError != 0 ? makeError : ENOTDIR;
        return false;
    }

    const auto package = FileSource::Open(archive);
    if (!package) {
        return false;
    }
    result.packageOpened = true;

    // The package is listed once and read through this one open file: each
    // entry is copied by its place in the listing, never looked up again by
    // name.
    const std::vector<ArchiveEntry> entries = ReadEntries(*package);
    const std::vector<std::optional<std::string>> names =
        AssignOutputNames(entries, HostNameRules());
    result.entryCount = entries.size();

    ExtractionProgress totals;
    totals.entriesTotal = entries.size();
    for (const ArchiveEntry& entry : entries) {
        // Saturating: hostile sizes must not wrap the total around.
        totals.bytesTotal = entry.size > UINT64_MAX - totals.bytesTotal
                                ? UINT64_MAX
                                : totals.bytesTotal + entry.size;
    }
    std::atomic<std::size_t> entriesDone{0};
    std::atomic<std::uint64_t> bytesDone{0};
    // Progress is reported from the calling thread only.
    std::function<void()> reportProgress;
    if (onProgress) {
        reportProgress = [&] {
            ExtractionProgress now = totals;
            now.entriesDone = entriesDone;
            now.bytesDone = bytesDone;
            onProgress(now);
        };
    }

    // Each entry's outcome is kept by its place, so failures are reported in
    // listing order whichever worker met them.
    std::vector<std::optional<std::string>> reasons(entries.size());
    std::atomic<std::size_t> nextBlock{0};
    const auto extractBlocks = [&](EntryCopier& copier, const std::function<void()>& afterEntry) {
        for (;;) {
            const std::size_t first = nextBlock.fetch_add(kEntriesPerBlock);
            if (first >= entries.size()) {
                return;
            }
            const std::size_t end = std::min(entries.size(), first + kEntriesPerBlock);
            for (std::size_t i = first; i < end; ++i) {
                reasons[i] = names[i] ? copier.Copy(entries[i], outDir + "/" + *names[i])
                                      : "its name would not stay inside the directory";
                ++entriesDone;
                if (afterEntry) {
                    afterEntry();
                }
            }
        }
    };

    const std::optional<Platform::FileId> packageId = Platform::IdentifyFile(archive);
    std::mutex finishedLock;
    std::condition_variable finishedSignal;
    bool workerFinished = false;
    std::thread worker;
    if (entries.size() > kEntriesPerBlock) {
        try {
            worker = std::thread([&] {
                EntryCopier copier(*package, packageId, bytesDone);
                extractBlocks(copier, {});
                std::lock_guard<std::mutex> hold(finishedLock);
                workerFinished = true;
                finishedSignal.notify_one();
            });
        } catch (const std::system_error&) {
            // No second thread to be had: this one does all the work.
        }
    }
    EntryCopier copier(*package, packageId, bytesDone, reportProgress);
    extractBlocks(copier, reportProgress);
    if (worker.joinable()) {
        // Keep the progress moving while the worker finishes its last block.
        std::unique_lock<std::mutex> hold(finishedLock);
        while (!finishedSignal.wait_for(hold, std::chrono::milliseconds(200),
                                        [&] { return workerFinished; })) {
            if (reportProgress) {
                reportProgress();
            }
        }
        hold.unlock();
        worker.join();
    }

    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (!reasons[i]) {
            ++result.entriesWritten;
        } else {
            result.failures.push_back({entries[i].name, names[i] ? outDir + "/" + *names[i] : "",
                                       std::move(*reasons[i])});
        }
    }
    result.bytesWritten = bytesDone;
    return result.failures.empty();
}

} // namespace Kestrune
