#include "EntryData.h"

#include "Bounds.h"

#include <algorithm>
#include <cstdio>
#include <zlib.h>

namespace Kestrune {
namespace {

// Content is copied through one buffer of at most this size.
constexpr std::size_t kCopyChunkSize = 1 << 20;

// Runs from this size on are copied by the system, file to file, where it
// can (for a small run a read and a write through the buffer cost as much).
// Content with a checksum always passes through the buffer, to be summed.
constexpr std::uint64_t kSystemCopyMinimum = 256 * 1024;

std::string Hex32(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(value));
    return text;
}

} // namespace

std::optional<ContentFailure> EntryReader::Read(const ArchiveEntry& entry, EntrySink& sink) {
    const EntryContent& content = entry.content;
    const bool checksum = content.crc32.has_value();
    crc_ = static_cast<std::uint32_t>(::crc32(0L, Z_NULL, 0));
    std::uint64_t done = 0;
    for (std::size_t i = 0; i < content.runCount; ++i) {
        const DataRun& run = content.runs[i];
        FileSource* file = files_.Get(run.file);
        if (file == nullptr) {
            return ContentFailure{"archive part " + files_.PartName(run.file) + " is missing"};
        }
        const std::uint64_t before = done;
        if (auto failure = ReadRun(*file, run, checksum, sink, done)) {
            return failure;
        }
        if (done - before < run.length) {
            const std::string where = run.file == kPackageFile
                                          ? "the package"
                                          : "archive part " + files_.PartName(run.file);
            return ContentFailure{"cut short by the end of " + where + " (" + std::to_string(done) +
                                  " of " + std::to_string(entry.size) + " bytes)"};
        }
    }
    if (checksum && crc_ != *content.crc32) {
        return ContentFailure{"checksum mismatch (CRC32 " + Hex32(*content.crc32) + " stored, " +
                              Hex32(crc_) + " read)"};
    }
    return std::nullopt;
}

std::optional<ContentFailure> EntryReader::ReadRun(FileSource& file, const DataRun& run,
                                                   bool checksum, EntrySink& sink,
                                                   std::uint64_t& done) {
    // Only the bytes that really lie in the file are read; a hostile length
    // can neither allocate nor fill the disk.
    const std::uint64_t available = BytesWithin(run.offset, run.length, file.Size());
    std::uint64_t copied = 0;
    while (copied < available) {
        const auto step =
            static_cast<std::size_t>(std::min<std::uint64_t>(kCopyChunkSize, available - copied));
        std::size_t got = 0;
        auto status = Platform::OutputFile::CopyStatus::Unsupported;
        if (systemCopy_ && !checksum && available >= kSystemCopyMinimum) {
            status = sink.CopyFrom(file.File(), run.offset + copied, step, got);
            systemCopy_ = status != Platform::OutputFile::CopyStatus::Unsupported;
        }
        if (status == Platform::OutputFile::CopyStatus::Failed) {
            done += got;
            if (bytesDone_ != nullptr) {
                *bytesDone_ += got;
            }
            return ContentFailure{sink.FailureText(), true};
        }
        if (status == Platform::OutputFile::CopyStatus::Unsupported) {
            if (buffer_.size() < step) {
                buffer_.resize(std::min<std::uint64_t>(kCopyChunkSize, available));
            }
            got = file.ReadAt(run.offset + copied, buffer_.data(), step);
            if (checksum) {
                crc_ = static_cast<std::uint32_t>(
                    ::crc32(crc_, buffer_.data(), static_cast<uInt>(got)));
            }
            if (got > 0 && !sink.Write(buffer_.data(), got)) {
                return ContentFailure{sink.FailureText(), true};
            }
        }
        copied += got;
        done += got;
        if (bytesDone_ != nullptr) {
            *bytesDone_ += got;
        }
        if (got < step) {
            break; // the file shrank while it was being read
        }
        if (onStep_) {
            onStep_(); // progress within a large entry
        }
    }
    return std::nullopt;
}

} // namespace Kestrune
