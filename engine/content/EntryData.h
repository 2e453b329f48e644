#pragma once

#include "ArchiveEntry.h"
#include "PackageFiles.h"
#include "Platform.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace Kestrune {

// Where the bytes of an entry's content go: an output file, standard output,
// or nowhere when a package is only checked.
class EntrySink {
public:
    virtual ~EntrySink() = default;
    // Takes all `length` bytes; false on failure.
    virtual bool Write(const unsigned char* data, std::size_t length) = 0;
    // Appends bytes of `input` without passing them through this process,
    // where the system can; Unsupported sends them through Write instead.
    virtual Platform::OutputFile::CopyStatus CopyFrom(const Platform::InputFile&, std::uint64_t,
                                                      std::size_t, std::size_t& copied) {
        copied = 0;
        return Platform::OutputFile::CopyStatus::Unsupported;
    }
    // Why the last Write or CopyFrom failed, in words for the user.
    virtual std::string FailureText() const = 0;
};

// An entry's content failed to arrive whole.
struct ContentFailure {
    std::string reason;
    bool inSink = false; // the sink failed, not the package
};

// Reads entries' content from their runs into sinks. Holds one copy buffer of
// at most 1 MiB, so memory stays flat whatever size an entry declares; one
// reader per thread.
class EntryReader {
public:
    // `bytesDone`, when given, counts every byte delivered; `onStep` is
    // called after each chunk of a large entry.
    explicit EntryReader(PackageFiles& files, std::atomic<std::uint64_t>* bytesDone = nullptr,
                         std::function<void()> onStep = {})
        : files_(files), bytesDone_(bytesDone), onStep_(std::move(onStep)) {}

    // Delivers the content of `entry` to `sink`: only bytes that really lie
    // in the package's files, never padding. Nullopt when all `size` bytes
    // arrived and match the stored checksum; otherwise why not, with the
    // bytes that did arrive left in the sink.
    std::optional<ContentFailure> Read(const ArchiveEntry& entry, EntrySink& sink);

private:
    // Delivers up to run.length bytes of one run; adds them to `done`.
    std::optional<ContentFailure> ReadRun(FileSource& file, const DataRun& run, bool checksum,
                                          EntrySink& sink, std::uint64_t& done);

    PackageFiles& files_;
    std::atomic<std::uint64_t>* bytesDone_;
    std::function<void()> onStep_;
    bool systemCopy_ = true; // until the system says it cannot
    std::uint32_t crc_ = 0;
    std::vector<unsigned char> buffer_;
};

} // namespace Kestrune
