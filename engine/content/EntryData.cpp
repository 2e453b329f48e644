#include "EntryData.h"

#include "Bounds.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

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

std::string HexBytes(std::span<const unsigned char> bytes) {
    std::string text;
    for (const unsigned char byte : bytes) {
        char pair[4];
        std::snprintf(pair, sizeof pair, "%02x", static_cast<unsigned>(byte));
        text += pair;
    }
    return text;
}

// AES works on units of this many bytes; an encrypted piece stores whole ones.
constexpr std::uint64_t kAesUnit = 16;
// A stream reads its stored bytes in chunks of this size (whole AES units)
// and decodes into a buffer of the same size.
constexpr std::size_t kStreamChunkSize = 1 << 20;
static_assert(kStreamChunkSize % kAesUnit == 0);

bool HeldWhole(const Piece& piece) {
    return piece.storedLength <= kHeldBlockLimit && piece.decodedLength <= kHeldBlockLimit;
}

// Bytes of the piece the codec reads: all stored bytes unless encrypted,
// where the last AES unit may hold padding after them.
std::uint64_t CodedLength(const Piece& piece) {
    return piece.encrypted ? piece.codedLength : piece.storedLength;
}

// Stored bytes of the piece that an Unreal SHA-1 covers: all of them, but
// for an encrypted piece without a codec only the coded ones (the AES
// padding after an uncompressed entry lies outside the hash).
std::uint64_t HashedLength(const Piece& piece) {
    return piece.encrypted && piece.codec == Codec::Stored ? piece.codedLength : piece.storedLength;
}

// Decrypts stored bytes of piece `index` of the content that start `at`
// bytes into it (a whole number of AES units): with AES-CTR where the piece
// (an Unreal pak's) or the shared content (an IoStore container's IVs, one
// a piece) says so, else with AES-ECB.
void DecryptPiece(const EntryContent& content, std::uint32_t index, std::uint64_t at,
                  std::span<unsigned char> bytes) {
    const SharedContent& shared = *content.shared;
    const Piece& piece = shared.pieces[index];
    if (piece.ctr) {
        CryptAes256Ctr(*shared.aesKey, piece.ctrIv, piece.ctrBlock + at / kAesUnit, bytes);
    } else if (index < shared.ctrIvs.size()) {
        CryptAes256Ctr(*shared.aesKey, shared.ctrIvs[index], at / kAesUnit, bytes);
    } else {
        DecryptAes256Ecb(*shared.aesKey, bytes);
    }
}

// What makes a piece unreadable before any of its bytes are read: an
// encrypted piece without a key or not in whole AES units, or one that
// declares more coded bytes than it stores. `block` names it for the user.
std::optional<ContentFailure> UnreadablePiece(const EntryContent& content, const Piece& piece,
                                              const std::string& block) {
    if (piece.encrypted && !content.shared->aesKey) {
        return ContentFailure{"encrypted, and no AES key was given for it"};
    }
    if (piece.encrypted && piece.storedLength % kAesUnit != 0) {
        return ContentFailure{block + " is encrypted, but its " +
                              std::to_string(piece.storedLength) +
                              " stored bytes are not a whole number of 16-byte units"};
    }
    if (CodedLength(piece) > piece.storedLength) {
        return ContentFailure{block + " declares more coded bytes than it stores"};
    }
    return std::nullopt;
}

ContentFailure ChecksumMismatch(std::uint32_t stored, std::uint32_t read) {
    return ContentFailure{"checksum mismatch (CRC32 " + Hex32(stored) + " stored, " + Hex32(read) +
                          " read)"};
}

// Passes content on to another sink and hashes it on the way.
class HashingSink final : public EntrySink {
public:
    HashingSink(EntrySink& to, Blake3Hasher& hasher) : to_(to), hasher_(hasher) {}
    bool Write(const unsigned char* data, std::size_t length) override {
        hasher_.Update({data, length});
        return to_.Write(data, length);
    }
    std::string FailureText() const override { return to_.FailureText(); }

private:
    EntrySink& to_;
    Blake3Hasher& hasher_;
};

} // namespace

std::optional<ContentFailure> EntryReader::StartSha1(const EntryContent& content) {
    sha1_.reset(); // an earlier entry's hash must not make this one hash
    if (content.storedSha1) {
        expectedSha1_ = *content.storedSha1;
    } else if (content.storedSha1At) {
        // Kept beside the data. Read, not looked at in a mapped package:
        // bringing in its page costs a system call all the same, and the
        // system maps the pages around it too, which stayed counted in the
        // process's memory for every entry of a large package.
        ByteSource& package = files_.Package();
        const std::uint64_t at = *content.storedSha1At;
        if (!FitsWithin(at, expectedSha1_.size(), package.Size())) {
            return ContentFailure{"its SHA-1 lies outside the package"};
        }
        if (package.ReadAt(at, expectedSha1_.data(), expectedSha1_.size()) !=
            expectedSha1_.size()) {
            return ContentFailure{"its SHA-1 lies outside the package"};
        }
    } else {
        return std::nullopt;
    }
    sha1_.emplace();
    return std::nullopt;
}

std::optional<ContentFailure> EntryReader::FinishSha1() {
    if (!sha1_) {
        return std::nullopt;
    }
    const Sha1Digest read = sha1_->Finish();
    sha1_.reset();
    if (read != expectedSha1_) {
        return ContentFailure{"SHA-1 mismatch (" + HexBytes(expectedSha1_) + " stored, " +
                              HexBytes(read) + " read)"};
    }
    return std::nullopt;
}

std::optional<ContentFailure> EntryReader::Read(const ArchiveEntry& entry, EntrySink& sink) {
    const EntryContent& content = entry.content;
    if (!content.refusal.empty()) {
        return ContentFailure{std::string(content.refusal)};
    }
    if (auto failure = StartSha1(content)) {
        return failure;
    }
    if (content.encoding == ContentEncoding::Pieces) {
        return ReadPieces(entry, sink);
    }
    // Content with a checksum or a hash passes through the buffer, to be summed.
    crcWanted_ = content.crc32.has_value();
    const bool checksum = crcWanted_ || sha1_.has_value();
    crc_ = 0;
    std::uint64_t done = 0;
    for (std::size_t i = 0; i < content.runCount; ++i) {
        const DataRun& run = content.runs[i];
        ByteSource* file = files_.Get(run.file);
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
    if (crcWanted_ && crc_ != *content.crc32) {
        return ChecksumMismatch(*content.crc32, crc_);
    }
    return FinishSha1();
}

std::optional<ContentFailure> EntryReader::ReadPieces(const ArchiveEntry& entry, EntrySink& given) {
    const EntryContent& content = entry.content;
    // The content's own hash, where the package keeps one, sees every byte
    // on its way to the sink.
    std::optional<HashingSink> hashingSink;
    if (content.blake3) {
        blake3_.Reset();
        hashingSink.emplace(given, blake3_);
    }
    EntrySink& sink = hashingSink ? static_cast<EntrySink&>(*hashingSink) : given;
    if (!content.shared && entry.compression != "None" && !entry.compression.empty()) {
        return ContentFailure{"compressed with " + entry.compression +
                              ", which kestrune does not decode"};
    }
    if (content.shared && !content.shared->unreadable.empty()) {
        return ContentFailure{content.shared->unreadable};
    }
    if (!content.shared ||
        !FitsWithin(content.firstPiece, content.pieceCount, content.shared->pieces.size())) {
        return ContentFailure{"refers to blocks the package does not have"};
    }
    const std::span<const Piece> pieces = content.Pieces();
    const bool hashing = sha1_.has_value();
    // A checksum covers the decoded content, summed as it is delivered.
    summing_ = content.crc32.has_value();
    crc_ = 0;
    std::uint64_t skip = content.skip;
    std::uint64_t want = entry.size;
    for (std::uint32_t k = 0; k < content.pieceCount; ++k) {
        const Piece& piece = pieces[k];
        // Pieces wholly before or after the entry's bytes are not read,
        // unless their stored bytes are hashed.
        if (!hashing && (want == 0 || skip >= piece.decodedLength)) {
            if (want == 0) {
                break;
            }
            skip -= piece.decodedLength;
            continue;
        }
        // A run of whole blocks, each wanted in full, is decoded on both
        // cores: one large entry (a single chunk of a gigabyte) then keeps
        // both busy, as many small ones do. A hashed entry's stored bytes
        // are summed in order, one block after the other, so it is not.
        if (!hashing && skip == 0) {
            batch_.clear();
            std::uint64_t batchBytes = 0;
            std::uint64_t batchWant = want;
            for (std::uint32_t j = k; j < content.pieceCount && batch_.size() < kBatchBlocks; ++j) {
                const Piece& next = pieces[j];
                if (!HeldWhole(next) || next.decodedLength == 0 || batchWant < next.decodedLength ||
                    batchBytes + next.decodedLength > kHeldBlockLimit) {
                    break;
                }
                batch_.push_back({&next, content.firstPiece + j, j + 1, content.pieceCount, 0,
                                  next.decodedLength});
                batchBytes += next.decodedLength;
                batchWant -= next.decodedLength;
            }
            if (batch_.size() >= kBatchMinimum) {
                if (auto failure = ReadHeldBatch(content, batch_, sink)) {
                    return failure;
                }
                want = batchWant;
                k += static_cast<std::uint32_t>(batch_.size()) - 1;
                continue;
            }
        }
        Slice slice;
        slice.piece = &piece;
        slice.index = content.firstPiece + k;
        slice.number = k + 1;
        slice.count = content.pieceCount;
        slice.from = std::min(skip, piece.decodedLength);
        slice.to = slice.from + std::min(want, piece.decodedLength - slice.from);
        skip -= slice.from;
        auto failure =
            HeldWhole(piece) ? ReadHeld(content, slice, sink) : ReadStreamed(content, slice, sink);
        if (failure) {
            return failure;
        }
        want -= slice.to - slice.from;
    }
    if (want > 0) {
        return ContentFailure{"its blocks hold only " + std::to_string(entry.size - want) +
                              " of its " + std::to_string(entry.size) + " bytes"};
    }
    if (summing_ && crc_ != *content.crc32) {
        return ChecksumMismatch(*content.crc32, crc_);
    }
    if (content.blake3) {
        const Blake3Digest digest = blake3_.Finish();
        const std::span<const unsigned char> read = std::span(digest).first(20);
        if (!std::equal(read.begin(), read.end(), content.blake3->begin())) {
            return ContentFailure{"BLAKE3 mismatch (" + HexBytes(*content.blake3) + " stored, " +
                                  HexBytes(read) + " read)"};
        }
    }
    return FinishSha1();
}

std::string EntryReader::PieceFailure(const Slice& slice, const std::string& why, bool wrongLength,
                                      bool cutShort) const {
    const std::string block =
        "block " + std::to_string(slice.number) + " of " + std::to_string(slice.count);
    if (why == kOodleMissing) {
        return why;
    }
    if (cutShort) {
        const std::string where = slice.piece->file == kPackageFile
                                      ? "the package"
                                      : "archive part " + files_.PartName(slice.piece->file);
        return block + " is cut short by the end of " + where;
    }
    if (slice.piece->encrypted) {
        return "does not decrypt with the key given";
    }
    if (wrongLength) {
        return block + " " + why;
    }
    return why + " (block " + std::to_string(slice.number) + ")";
}

std::optional<ContentFailure> EntryReader::Deliver(EntrySink& sink, const unsigned char* data,
                                                   std::size_t length) {
    if (length == 0) {
        return std::nullopt;
    }
    if (summing_) {
        crc_ = Crc32(crc_, {data, length});
    }
    if (!sink.Write(data, length)) {
        return ContentFailure{sink.FailureText(), true};
    }
    if (bytesDone_ != nullptr) {
        *bytesDone_ += length;
    }
    return std::nullopt;
}

std::optional<ContentFailure>
EntryReader::ReadStored(const EntryContent& content, const Slice& slice,
                        std::vector<unsigned char>& stored, Sha1Hasher* sha1,
                        std::span<const unsigned char>& coded, bool& cutShort) {
    const Piece& piece = *slice.piece;
    const std::string block =
        "block " + std::to_string(slice.number) + " of " + std::to_string(slice.count);
    if (auto failure = UnreadablePiece(content, piece, block)) {
        return failure;
    }
    ByteSource* file = files_.Get(piece.file);
    if (file == nullptr) {
        return ContentFailure{"archive part " + files_.PartName(piece.file) + " is missing"};
    }
    const std::uint64_t available = BytesWithin(piece.offset, piece.storedLength, file->Size());
    stored.resize(static_cast<std::size_t>(available)); // at most kHeldBlockLimit
    const std::size_t got = file->ReadAt(piece.offset, stored.data(), stored.size());
    stored.resize(got);
    if (sha1 != nullptr) {
        sha1->Update(std::span<const unsigned char>(stored).first(
            static_cast<std::size_t>(std::min<std::uint64_t>(HashedLength(piece), got))));
    }
    cutShort = got < piece.storedLength;
    std::span<unsigned char> bytes(stored);
    if (piece.encrypted) {
        bytes = bytes.first(got - got % kAesUnit);
        DecryptPiece(content, slice.index, 0, bytes);
    }
    coded = bytes.first(
        static_cast<std::size_t>(std::min<std::uint64_t>(CodedLength(piece), bytes.size())));
    return std::nullopt;
}

BlockCache::Block EntryReader::DecodeBlock(const EntryContent& content, const Slice& slice,
                                           std::vector<unsigned char>& stored, Sha1Hasher* sha1,
                                           std::optional<ContentFailure>& failure) {
    std::span<const unsigned char> coded;
    bool cutShort = false;
    failure = ReadStored(content, slice, stored, sha1, coded, cutShort);
    if (failure) {
        return nullptr;
    }
    auto block = std::make_shared<DecodedBlock>();
    block->bytes.resize(static_cast<std::size_t>(slice.piece->decodedLength));
    const DecodeOutcome outcome =
        DecodeInto(slice.piece->codec, coded, block->bytes, files_.Options());
    block->bytes.resize(outcome.produced);
    if (outcome.failure) {
        block->failure = PieceFailure(slice, *outcome.failure, outcome.wrongLength, cutShort);
        block->wrongLength = outcome.wrongLength;
    }
    return block;
}

std::optional<ContentFailure> EntryReader::ReadHeld(const EntryContent& content, const Slice& slice,
                                                    EntrySink& sink) {
    const SharedContent* shared = content.shared.get();
    // A block the entry uses only part of is one that other entries share.
    const bool shared_block = slice.from > 0 || slice.to < slice.piece->decodedLength;
    const bool hashing = sha1_.has_value();
    BlockCache::Block block;
    if (!hashing && last_ && lastContent_.get() == shared && lastIndex_ == slice.index) {
        block = last_;
    } else if (!hashing && shared_block) {
        block = files_.Blocks().Find(shared, slice.index);
    }
    if (!block) {
        std::optional<ContentFailure> failure;
        block = DecodeBlock(content, slice, stored_, sha1_ ? &*sha1_ : nullptr, failure);
        if (failure) {
            return failure;
        }
        if (shared_block) {
            files_.Blocks().Keep(content.shared, slice.index, block, kBlockCacheLimit);
        }
    }
    last_ = block;
    lastContent_ = content.shared;
    lastIndex_ = slice.index;
    const std::uint64_t end = std::min<std::uint64_t>(slice.to, block->bytes.size());
    if (slice.from < end) {
        if (auto failure = Deliver(sink, block->bytes.data() + slice.from,
                                   static_cast<std::size_t>(end - slice.from))) {
            return failure;
        }
    }
    if (block->failure) {
        return ContentFailure{*block->failure};
    }
    return std::nullopt;
}

namespace {
std::atomic<int>& SpareCores() {
    static std::atomic<int> spare{
        static_cast<int>(std::max(1u, std::thread::hardware_concurrency())) - 1};
    return spare;
}
} // namespace

SpareCore::SpareCore() {
    int free = SpareCores().load();
    while (free > 0 && !SpareCores().compare_exchange_weak(free, free - 1)) {
    }
    taken_ = free > 0;
}

SpareCore::~SpareCore() {
    if (taken_) {
        SpareCores().fetch_add(1);
    }
}

std::optional<ContentFailure> EntryReader::ReadHeldBatch(const EntryContent& content,
                                                         std::span<const Slice> slices,
                                                         EntrySink& sink) {
    // Both threads take the next block not yet taken; this one delivers the
    // blocks in order as they are ready and decodes one itself whenever the
    // next to deliver is not, so that neither waits while work is left.
    const std::size_t count = slices.size();
    std::vector<BlockCache::Block> blocks(count);
    std::vector<std::optional<ContentFailure>> failures(count);
    std::vector<std::atomic<bool>> ready(count);
    std::atomic<std::size_t> next{0};
    std::mutex lock;
    std::condition_variable decoded;
    const auto decodeNext = [&](std::vector<unsigned char>& stored) {
        const std::size_t i = next.fetch_add(1);
        if (i >= count) {
            return false;
        }
        blocks[i] = DecodeBlock(content, slices[i], stored, nullptr, failures[i]);
        {
            const std::lock_guard<std::mutex> hold(lock);
            ready[i].store(true);
        }
        decoded.notify_one();
        return true;
    };
    // Released only after the helper is joined (Join below).
    const SpareCore core;
    std::vector<unsigned char> helperStored;
    std::thread helper;
    if (core) {
        helper = std::thread([&] {
            while (decodeNext(helperStored)) {
            }
        });
    }
    // Whatever way this returns, the helper takes no new block and is waited
    // for: the blocks and the buffers are this frame's.
    struct Join {
        std::thread& thread;
        std::atomic<std::size_t>& next;
        std::size_t count;
        ~Join() {
            next.store(count);
            if (thread.joinable()) {
                thread.join();
            }
        }
    } join{helper, next, count};
    for (std::size_t i = 0; i < count; ++i) {
        while (!ready[i].load()) {
            if (!decodeNext(stored_)) {
                std::unique_lock<std::mutex> hold(lock);
                decoded.wait(hold, [&] { return ready[i].load(); });
            }
        }
        if (failures[i]) {
            return failures[i];
        }
        const BlockCache::Block& block = blocks[i];
        if (auto failure = Deliver(sink, block->bytes.data(), block->bytes.size())) {
            return failure;
        }
        if (block->failure) {
            return ContentFailure{*block->failure};
        }
        if (i + 1 < count) {
            blocks[i].reset(); // delivered: its memory goes back now
        }
    }
    last_ = blocks.back();
    lastContent_ = content.shared;
    lastIndex_ = slices.back().index;
    return std::nullopt;
}

std::optional<ContentFailure> EntryReader::ReadStreamed(const EntryContent& content,
                                                        const Slice& slice, EntrySink& sink) {
    const Piece& piece = *slice.piece;
    Stream& stream = stream_;
    const bool continues = !sha1_ && stream.decoder && stream.content == content.shared &&
                           stream.index == slice.index && stream.decoder->Produced() <= slice.from;
    if (!continues) {
        const std::string block =
            "block " + std::to_string(slice.number) + " of " + std::to_string(slice.count);
        stream = Stream{};
        if (auto failure = UnreadablePiece(content, piece, block)) {
            return failure;
        }
        stream.file = files_.Get(piece.file);
        if (stream.file == nullptr) {
            return ContentFailure{"archive part " + files_.PartName(piece.file) + " is missing"};
        }
        stream.decoder =
            StreamDecoder::Create(piece.codec, CodedLength(piece), piece.decodedLength);
        if (!stream.decoder) {
            return ContentFailure{block + " is a " + std::string(CodecName(piece.codec)) +
                                  " block of more than the " +
                                  std::to_string(kHeldBlockLimit >> 20) +
                                  " MiB that one block may hold"};
        }
        stream.content = content.shared;
        stream.index = slice.index;
        stream.available = BytesWithin(piece.offset, piece.storedLength, stream.file->Size());
        if (piece.encrypted) {
            stream.available -= stream.available % kAesUnit;
        }
        stream.coded = std::min(CodedLength(piece), stream.available);
    }
    if (streamOut_.empty()) {
        streamOut_.resize(kStreamChunkSize);
    }
    // Decodes up to the end of the slice; past the piece's last byte, on
    // until the coded bytes are seen to end exactly there.
    const bool toEnd = slice.to == piece.decodedLength;
    while (!stream.failure) {
        const std::uint64_t at = stream.decoder->Produced();
        if (at >= slice.to && (!toEnd || stream.decoder->Finished())) {
            break;
        }
        if (stream.inputAt == stream.input.size() && stream.read < stream.coded) {
            const auto step = static_cast<std::size_t>(
                std::min<std::uint64_t>(kStreamChunkSize, stream.available - stream.read));
            stream.input.resize(step);
            const std::size_t got =
                stream.file->ReadAt(piece.offset + stream.read, stream.input.data(), step);
            stream.input.resize(got);
            if (sha1_) {
                const std::uint64_t hashed = HashedLength(piece);
                sha1_->Update(std::span<const unsigned char>(stream.input)
                                  .first(static_cast<std::size_t>(std::min<std::uint64_t>(
                                      got, hashed - std::min(hashed, stream.read)))));
            }
            if (piece.encrypted) {
                stream.input.resize(got - got % kAesUnit);
                DecryptPiece(content, slice.index, stream.read, stream.input);
            }
            // Only the coded bytes go to the codec, not the padding after them.
            const std::uint64_t codedLeft = stream.coded - std::min(stream.coded, stream.read);
            stream.input.resize(
                static_cast<std::size_t>(std::min<std::uint64_t>(stream.input.size(), codedLeft)));
            stream.read = got < step ? stream.available : stream.read + got;
            stream.inputAt = 0;
        }
        std::span<const unsigned char> in(stream.input.data() + stream.inputAt,
                                          stream.input.size() - stream.inputAt);
        // Bytes before the slice are decoded into the buffer and dropped.
        const std::uint64_t until = at < slice.from ? slice.from : slice.to;
        std::span<unsigned char> out(streamOut_.data(),
                                     static_cast<std::size_t>(std::min<std::uint64_t>(
                                         streamOut_.size(), until - std::min(until, at))));
        const std::size_t room = out.size();
        const std::size_t inBefore = in.size();
        const bool inputEnds = stream.read >= stream.coded;
        auto why = stream.decoder->Decode(in, out, inputEnds);
        stream.inputAt += inBefore - in.size();
        const std::size_t made = room - out.size();
        if (at >= slice.from && made > 0) {
            if (auto failure = Deliver(sink, streamOut_.data(), made)) {
                return failure;
            }
        }
        if (why) {
            stream.failure = PieceFailure(slice, *why, stream.decoder->WrongLength(),
                                          stream.available < piece.storedLength);
        } else if (made == 0 && in.size() == inBefore && inputEnds) {
            stream.failure =
                PieceFailure(slice,
                             std::string(CodecName(piece.codec)) + " data ends early, after " +
                                 std::to_string(stream.decoder->Produced()) + " of " +
                                 std::to_string(piece.decodedLength) + " bytes",
                             false, stream.available < piece.storedLength);
        }
        if (onStep_ && made > 0) {
            onStep_();
        }
    }
    if (stream.failure) {
        return ContentFailure{*stream.failure};
    }
    return std::nullopt;
}

std::optional<ContentFailure> EntryReader::ReadRun(ByteSource& file, const DataRun& run,
                                                   bool checksum, EntrySink& sink,
                                                   std::uint64_t& done) {
    // Only the bytes that really lie in the file are read; a hostile length
    // can neither allocate nor fill the disk.
    const std::uint64_t available = BytesWithin(run.offset, run.length, file.Size());
    std::uint64_t copied = 0;
    // The system copies only between files: bytes joined from parts are read.
    auto* const plainFile = dynamic_cast<FileSource*>(&file);
    while (copied < available) {
        const auto step =
            static_cast<std::size_t>(std::min<std::uint64_t>(kCopyChunkSize, available - copied));
        std::size_t got = 0;
        auto status = Platform::OutputFile::CopyStatus::Unsupported;
        if (systemCopy_ && plainFile != nullptr && !checksum && available >= kSystemCopyMinimum) {
            status = sink.CopyFrom(plainFile->File(), run.offset + copied, step, got);
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
            if (crcWanted_) {
                crc_ = Crc32(crc_, {buffer_.data(), got});
            }
            if (sha1_) {
                sha1_->Update(std::span<const unsigned char>(buffer_.data(), got));
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
