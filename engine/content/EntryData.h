#pragma once

#include "ArchiveEntry.h"
#include "Blake3.h"
#include "BlockCache.h"
#include "Codecs.h"
#include "Crypto.h"
#include "PackageFiles.h"
#include "Platform.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
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

// Takes the content and counts it: a check reads every byte and keeps none.
class CountingSink final : public EntrySink {
public:
    bool Write(const unsigned char*, std::size_t length) override {
        bytes += length;
        return true;
    }
    std::string FailureText() const override { return {}; }
    std::uint64_t bytes = 0;
};

// Keeps the first bytes of an entry in memory, up to a cap; past it, stops
// the read (the failure is then the sink's).
class MemorySink final : public EntrySink {
public:
    explicit MemorySink(std::size_t cap) : cap_(cap) {}
    bool Write(const unsigned char* data, std::size_t length) override {
        const std::size_t take = std::min(length, cap_ - bytes.size());
        bytes.insert(bytes.end(), data, data + take);
        return take == length;
    }
    std::string FailureText() const override { return "read stops at the cap"; }
    std::vector<unsigned char> bytes;

private:
    std::size_t cap_;
};

// An entry's content failed to arrive whole.
struct ContentFailure {
    std::string reason;
    bool inSink = false; // the sink failed, not the package
};

// One of the cores beyond the first, taken for as long as this lives, when
// one is free in the whole process. A second extraction worker holds one
// while it runs, and a run of whole blocks is decoded on two threads only
// when one is free, so that busy threads never outnumber the cores (nor
// their blocks the memory meant for two).
class SpareCore {
public:
    SpareCore();
    ~SpareCore();
    SpareCore(const SpareCore&) = delete;
    SpareCore& operator=(const SpareCore&) = delete;
    explicit operator bool() const { return taken_; }

private:
    bool taken_ = false;
};

// Reads entries' content from their runs, or decodes it from their pieces,
// into sinks. Memory stays flat whatever size an entry declares: one copy
// buffer of at most 1 MiB for stored runs; for pieces, one stored and one
// decoded block of at most kHeldBlockLimit each, or a stream for a larger
// piece (never held whole). A stream stays where the last entry left it, so
// entries in stream order continue it; blocks that entries share are kept
// in the package's BlockCache. One reader per thread.
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
    // The part [from, to) of one piece's decoded bytes, for an entry whose
    // pieces it is number `number` (from 1) of `count`.
    struct Slice {
        const Piece* piece = nullptr;
        std::uint32_t index = 0; // in shared->pieces
        std::uint32_t number = 0;
        std::uint32_t count = 0;
        std::uint64_t from = 0;
        std::uint64_t to = 0;
    };
    // A piece decoded a part at a time, and how far it got.
    struct Stream {
        std::shared_ptr<const SharedContent> content;
        std::uint32_t index = 0;
        std::unique_ptr<StreamDecoder> decoder;
        ByteSource* file = nullptr;
        std::uint64_t available = 0; // stored bytes that lie in the file
        std::uint64_t coded = 0;     // of them, the bytes the codec reads
        std::uint64_t read = 0;      // stored bytes read so far
        std::vector<unsigned char> input;
        std::size_t inputAt = 0;
        std::optional<std::string> failure; // where it stopped, for good
        bool wrongLength = false;
    };

    // Begins the SHA-1 of an entry's stored bytes when the package keeps
    // one (read from the package when only its place is known); then checks it.
    std::optional<ContentFailure> StartSha1(const EntryContent& content);
    std::optional<ContentFailure> FinishSha1();
    std::optional<ContentFailure> ReadPieces(const ArchiveEntry& entry, EntrySink& sink);
    std::optional<ContentFailure> ReadHeld(const EntryContent& content, const Slice& slice,
                                           EntrySink& sink);
    std::optional<ContentFailure> ReadStreamed(const EntryContent& content, const Slice& slice,
                                               EntrySink& sink);
    // Reads, checks and decrypts the stored bytes of a piece held whole into
    // `stored`, adding them to `sha1` when given.
    std::optional<ContentFailure> ReadStored(const EntryContent& content, const Slice& slice,
                                             std::vector<unsigned char>& stored, Sha1Hasher* sha1,
                                             std::span<const unsigned char>& coded, bool& cutShort);
    // Safe to call from another thread with a buffer of its own and no hash.
    BlockCache::Block DecodeBlock(const EntryContent& content, const Slice& slice,
                                  std::vector<unsigned char>& stored, Sha1Hasher* sha1,
                                  std::optional<ContentFailure>& failure);
    // Decodes `slices` (whole blocks held in memory) on two threads and
    // delivers them in order; on a failure, the blocks before it arrive.
    std::optional<ContentFailure> ReadHeldBatch(const EntryContent& content,
                                                std::span<const Slice> slices, EntrySink& sink);
    // Why a piece failed, in words naming the block.
    std::string PieceFailure(const Slice& slice, const std::string& why, bool wrongLength,
                             bool cutShort) const;
    std::optional<ContentFailure> Deliver(EntrySink& sink, const unsigned char* data,
                                          std::size_t length);

    // Delivers up to run.length bytes of one run; adds them to `done`.
    std::optional<ContentFailure> ReadRun(ByteSource& file, const DataRun& run, bool checksum,
                                          EntrySink& sink, std::uint64_t& done);

    PackageFiles& files_;
    std::atomic<std::uint64_t>* bytesDone_;
    std::function<void()> onStep_;
    bool systemCopy_ = true; // until the system says it cannot
    std::uint32_t crc_ = 0;
    bool summing_ = false; // the pieces being delivered are summed into crc_
    std::vector<unsigned char> buffer_;
    bool crcWanted_ = false;
    std::optional<Sha1Hasher> sha1_; // over the stored bytes of an entry that keeps a SHA-1
    Sha1Digest expectedSha1_{};
    Blake3Hasher blake3_; // over the content of an entry that keeps a BLAKE3
    std::vector<unsigned char> stored_;
    // Whole blocks decoded on two threads at a time: at least this many, so
    // that starting the second thread costs little beside their decoding,
    // and at most this many (and kHeldBlockLimit bytes), so that memory
    // stays flat.
    static constexpr std::size_t kBatchMinimum = 4;
    static constexpr std::size_t kBatchBlocks = 64;
    std::vector<Slice> batch_;
    // The block this reader decoded or found last, for the next entry.
    std::shared_ptr<const SharedContent> lastContent_;
    std::uint32_t lastIndex_ = 0;
    BlockCache::Block last_;
    Stream stream_;
    std::vector<unsigned char> streamOut_;
};

} // namespace Kestrune
