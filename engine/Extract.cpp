#include "Bounds.h"
#include "ByteSource.h"
#include "Detect.h"
#include "KestruneEngine.h"
#include "OutputNames.h"
#include "Platform.h"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <utility>

namespace Kestrune {
namespace {

// Entries are copied through one buffer of at most this size, so memory stays
// flat whatever size an entry declares.
constexpr std::size_t kCopyChunkSize = 1 << 20;

// Copies entries out of one open package. Owns the copy buffer and the
// progress counters of one extraction.
class EntryCopier {
public:
    EntryCopier(ByteSource& package, std::optional<Platform::FileId> packageId,
                ProgressCallback onProgress, ExtractionProgress& progress)
        : package_(package), packageId_(packageId), onProgress_(std::move(onProgress)),
          progress_(progress) {}

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
            if (buffer_.size() < step) {
                buffer_.resize(std::min<std::uint64_t>(kCopyChunkSize, available));
            }
            const std::size_t got = package_.ReadAt(entry.offset + done, buffer_.data(), step);
            if (got > 0 && !out.Write(buffer_.data(), got)) {
                return "write failed (" + Platform::ErrorText(out.LastError()) + ")";
            }
            done += got;
            progress_.bytesDone += got;
            if (got < step) {
                break; // the package shrank while it was being read
            }
            if (onProgress_) {
                onProgress_(progress_);
            }
        }
        if (!out.Close()) {
            return "write failed (" + Platform::ErrorText(out.LastError()) + ")";
        }
        if (done < entry.size) {
            return "cut short by the end of the package (" + std::to_string(done) + " of " +
                   std::to_string(entry.size) + " bytes)";
        }
        return std::nullopt;
    }

private:
    ByteSource& package_;
    std::optional<Platform::FileId> packageId_;
    // Held by value: ExtractFile passes a temporary empty callback, which a
    // reference would outlive.
    ProgressCallback onProgress_;
    ExtractionProgress& progress_;
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
    ExtractionProgress progress;
    EntryCopier copier(*package, Platform::IdentifyFile(archive), {}, progress);
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

    // The package is listed once and read through this one stream: each entry
    // is copied by its place in the listing, never looked up again by name.
    const std::vector<ArchiveEntry> entries = ReadEntries(*package);
    const std::vector<std::optional<std::string>> names =
        AssignOutputNames(entries, HostNameRules());
    result.entryCount = entries.size();

    ExtractionProgress progress;
    progress.entriesTotal = entries.size();
    for (const ArchiveEntry& entry : entries) {
        // Saturating: hostile sizes must not wrap the total around.
        progress.bytesTotal = entry.size > UINT64_MAX - progress.bytesTotal
                                  ? UINT64_MAX
                                  : progress.bytesTotal + entry.size;
    }

    EntryCopier copier(*package, Platform::IdentifyFile(archive), onProgress, progress);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const ArchiveEntry& entry = entries[i];
        if (!names[i]) {
            result.failures.push_back(
                {entry.name, "", "its name would not stay inside the directory"});
        } else {
            std::string outPath = outDir + "/" + *names[i];
            const std::uint64_t before = progress.bytesDone;
            if (auto reason = copier.Copy(entry, outPath)) {
                result.failures.push_back({entry.name, std::move(outPath), std::move(*reason)});
            } else {
                ++result.entriesWritten;
            }
            result.bytesWritten += progress.bytesDone - before;
        }
        ++progress.entriesDone;
        if (onProgress) {
            onProgress(progress);
        }
    }
    return result.failures.empty();
}

} // namespace Kestrune
