#pragma once

// Decoding one piece's coded bytes into its content, through each codec's own
// library: zlib and libdeflate (Zlib, Gzip, Deflate), liblz4, liblzma,
// libzstd, and the user's Oodle library loaded at run time. No other file
// includes a codec's header. libbrotli decodes Brotli.

#include "ArchiveEntry.h"
#include "ReadOptions.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace Kestrune {

// All the memory that decoding may hold for one command, across its
// threads: the blocks held whole, the cache of shared blocks, the buffers
// and dictionaries of streams. The parts below are fixed shares of it.
inline constexpr std::uint64_t kContentMemoryCap = std::uint64_t{64} << 20;
// A piece whose stored or decoded bytes exceed this is decoded as a stream
// and never held whole (an old Unity bundle's one LZMA block of the whole
// file); each of the two extraction threads holds one stored and one
// decoded block of at most this size.
inline constexpr std::uint64_t kHeldBlockLimit = kContentMemoryCap / 16;
// Decoded blocks kept for the next entries that share them, all threads
// together.
inline constexpr std::uint64_t kBlockCacheLimit = kContentMemoryCap / 8;
// The largest LZMA dictionary or Zstandard window one stream may use; a
// piece that needs more is refused rather than allowed to allocate it.
inline constexpr std::uint64_t kStreamWindowLimit = kContentMemoryCap / 4;

// The method's name as listings show it: "None", "Zlib", "Gzip", "Deflate",
// "LZ4", "LZMA", "Zstd", "Oodle", "Brotli".
std::string_view CodecName(Codec codec);

// The CRC-32 of ZIP, VPK and gzip (zlib's), continued over `bytes` from
// `crc` (0 to start), by libdeflate's carry-less multiplication code where
// the CPU has it: several times as fast as zlib's own.
std::uint32_t Crc32(std::uint32_t crc, std::span<const unsigned char> bytes);

// The function `name` of the user's Oodle library at `path`, or null with the
// reason in `why`. Each library is loaded once and stays loaded.
void* OodleLibraryFunction(const std::string& path, const char* name, std::string& why);

// The reason an Oodle piece gives when no Oodle library was named.
inline constexpr std::string_view kOodleMissing =
    "compressed with Oodle: give the path of the Oodle library with --oodle";

// Decodes all of `coded` into exactly `out.size()` bytes. Nullopt when it
// did; otherwise why not, in words ("LZ4 data is damaged", "decodes to more
// than 65536 bytes declared", "compressed with Oodle: give the path of the
// Oodle library with --oodle"). Never writes beyond `out`, whatever the
// coded bytes declare.
std::optional<std::string> DecodeWhole(Codec codec, std::span<const unsigned char> coded,
                                       std::span<unsigned char> out,
                                       const ReadOptions& options = {});

// What a decode achieved: the first `produced` bytes of the output are
// content that decoded (kept when the rest failed).
struct DecodeOutcome {
    std::size_t produced = 0;
    std::optional<std::string> failure;
    // The failure is a length that differs from the declared one ("decodes
    // to 70000 bytes, 65536 declared"), not damage to the coded bytes.
    bool wrongLength = false;
};

// DecodeWhole, saying also how many bytes decoded.
DecodeOutcome DecodeInto(Codec codec, std::span<const unsigned char> coded,
                         std::span<unsigned char> out, const ReadOptions& options = {});

// A piece decoded a part at a time, for pieces too large to hold: its coded
// bytes go in as they are read, its content comes out into the caller's
// buffer. Memory stays at the codec's own state (an LZMA dictionary clamped
// to the decoded length, at most kStreamWindowLimit).
class StreamDecoder {
public:
    virtual ~StreamDecoder() = default;

    // A decoder for `codedLength` bytes of `codec` that must decode to
    // exactly `decodedLength` bytes. Null for a codec that decodes only whole
    // blocks (LZ4, Oodle).
    static std::unique_ptr<StreamDecoder> Create(Codec codec, std::uint64_t codedLength,
                                                 std::uint64_t decodedLength);

    // Decodes from `in` into `out`, advancing both past what was consumed
    // and written, until `in` is used up or `out` is full. `inputEnds`: `in`
    // holds the last of the coded bytes. Nullopt while all is well (call
    // again with more input or more room until Finished()); otherwise why
    // the piece is damaged. Writes no byte beyond the declared length.
    std::optional<std::string> Decode(std::span<const unsigned char>& in,
                                      std::span<unsigned char>& out, bool inputEnds);
    // All the declared bytes came out and the coded bytes ended with them.
    bool Finished() const { return ended_ && produced_ == declared_; }
    std::uint64_t Produced() const { return produced_; }
    // The last failure was a length that differs from the declared one.
    bool WrongLength() const { return wrongLength_; }

protected:
    enum class Flow : std::uint8_t { Moved, End, Stalled, Damaged };
    StreamDecoder(Codec codec, std::uint64_t codedLength, std::uint64_t decodedLength)
        : codec_(codec), coded_(codedLength), declared_(decodedLength) {}
    // One call of the library: consumes from `in`, writes into `out`.
    virtual Flow Step(std::span<const unsigned char>& in, std::span<unsigned char>& out) = 0;
    // After Damaged: what the library said, when it says more than damage.
    std::string detail_;

private:
    std::string DamageText() const;

    Codec codec_;
    std::uint64_t coded_;
    std::uint64_t declared_;
    std::uint64_t produced_ = 0;
    bool ended_ = false;
    bool wrongLength_ = false;
};

} // namespace Kestrune
