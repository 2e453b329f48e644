#include "Detect.h"
#include "EntryData.h"
#include "KestruneEngine.h"
#include "OutputNames.h"
#include "PackageFiles.h"
#include "Platform.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <system_error>
#include <thread>
#include <utility>

namespace Kestrune {
namespace {

// Creating a file costs the system far more than copying a small entry's
// bytes, and most of that cost is not serialised between threads: two
// workers take blocks of this many consecutive entries in turn, so that each
// reads the package forward.
constexpr std::size_t kEntriesPerBlock = 256;

std::string WriteFailed(const Platform::OutputFile& out) {
    return "write failed (" + Platform::ErrorText(out.LastError()) + ")";
}

// An output file as the destination of an entry's content.
class OutputSink final : public EntrySink {
public:
    explicit OutputSink(Platform::OutputFile& out) : out_(out) {}
    bool Write(const unsigned char* data, std::size_t length) override {
        return out_.Write(data, length);
    }
    Platform::OutputFile::CopyStatus CopyFrom(const Platform::InputFile& input,
                                              std::uint64_t offset, std::size_t length,
                                              std::size_t& copied) override {
        return out_.CopyFrom(input, offset, length, copied);
    }
    std::string FailureText() const override { return WriteFailed(out_); }

private:
    Platform::OutputFile& out_;
};

// Copies entries out of one open package into files. Owns the copy buffer of
// one worker; `bytesDone` is shared by all workers of one extraction.
class EntryCopier {
public:
    EntryCopier(PackageFiles& package, std::span<const Platform::FileId> protect,
                std::atomic<std::uint64_t>& bytesDone, std::function<void()> onStep = {})
        : reader_(package, &bytesDone, std::move(onStep)), protect_(protect) {}

    // Writes `entry` to `outPath`. Returns the reason when it was not written
    // whole; bytes already written stay, nothing is padded.
    std::optional<std::string> Copy(const ArchiveEntry& entry, const std::string& outPath) {
        Platform::OutputFile out;
        switch (out.Open(outPath, protect_)) {
        case Platform::OutputFile::OpenStatus::IsProtectedFile:
            return "would overwrite the package";
        case Platform::OutputFile::OpenStatus::Failed:
            return "cannot create the file (" + Platform::ErrorText(out.LastError()) + ")";
        case Platform::OutputFile::OpenStatus::Opened:
            break;
        }
        OutputSink sink(out);
        auto failure = reader_.Read(entry, sink);
        if (failure && failure->inSink) {
            return std::move(failure->reason);
        }
        if (!out.Close()) {
            return WriteFailed(out);
        }
        if (failure) {
            return std::move(failure->reason);
        }
        return std::nullopt;
    }

private:
    EntryReader reader_;
    std::span<const Platform::FileId> protect_;
};

} // namespace

bool KestruneEngine::ExtractFile(const std::string& archive, const std::string& entryName,
                                 const std::string& outPath) {
    const auto package = PackageFiles::Open(archive);
    if (!package) {
        return false;
    }
    std::vector<ArchiveEntry> entries = ReadEntries(package->Package());
    const auto match = std::find_if(entries.begin(), entries.end(),
                                    [&](const ArchiveEntry& e) { return e.name == entryName; });
    if (match == entries.end()) {
        return false;
    }
    entries = {std::move(*match)};
    const std::vector<Platform::FileId> protect = package->Identities(entries);
    std::atomic<std::uint64_t> bytesDone{0};
    EntryCopier copier(*package, protect, bytesDone);
    return !copier.Copy(entries.front(), outPath).has_value();
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

    const auto package = PackageFiles::Open(archive);
    if (!package) {
        return false;
    }
    result.packageOpened = true;

    // The package is listed once and read through this one open file: each
    // entry is copied by its place in the listing, never looked up again by
    // name.
    const std::vector<ArchiveEntry> entries = ReadEntries(package->Package());
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
                                      : std::string(kNoSafeNameReason);
                ++entriesDone;
                if (afterEntry) {
                    afterEntry();
                }
            }
        }
    };

    // No output may overwrite the package or one of its part files, however
    // its path is spelled.
    const std::vector<Platform::FileId> protect = package->Identities(entries);
    std::mutex finishedLock;
    std::condition_variable finishedSignal;
    bool workerFinished = false;
    std::thread worker;
    if (entries.size() > kEntriesPerBlock) {
        try {
            worker = std::thread([&] {
                EntryCopier copier(*package, protect, bytesDone);
                extractBlocks(copier, {});
                std::lock_guard<std::mutex> hold(finishedLock);
                workerFinished = true;
                finishedSignal.notify_one();
            });
        } catch (const std::system_error&) {
            // No second thread to be had: this one does all the work.
        }
    }
    EntryCopier copier(*package, protect, bytesDone, reportProgress);
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
