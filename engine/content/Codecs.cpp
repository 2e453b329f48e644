#include "Codecs.h"

#include "ByteOrder.h"
#include "Platform.h"

#include <algorithm>
#include <array>
#include <brotli/decode.h>
#include <bzlib.h>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <libdeflate.h>
#include <lz4.h>
#include <lzma.h>
#include <map>
#include <mutex>
#include <utility>
#include <vector>
#include <zlib.h>
#include <zstd.h>
#include <zstd_errors.h>

namespace Kestrune {
namespace {

// The .lzma "alone" header: 5 property bytes (lc/lp/pb, then the 32-bit
// dictionary size), then the 64-bit decoded size, all little-endian; the
// size is all ones when the stream ends with an end marker instead. Raw LZMA
// pieces carry only the 5 property bytes.
constexpr std::size_t kLzmaPropertiesSize = 5;
constexpr std::size_t kLzmaAloneHeaderSize = 13;
// ZIP's LZMA framing: a 16-bit LZMA SDK version, a 16-bit property size
// (always 5), then the 5 property bytes.
constexpr std::size_t kLzmaZipHeaderSize = 9;
constexpr std::size_t kLzmaZipPrefixSize = 4;
constexpr std::uint64_t kLzmaUnknownSize = UINT64_MAX;

// How far past its declared length a piece that decodes long is followed,
// to say by how much: bounded, so a hostile piece costs little more.
constexpr std::uint64_t kLongCountLimit = kHeldBlockLimit;

// LZ4 turns one coded byte into at most 255 (and a few more at the end).
constexpr std::uint64_t kLz4MaximumRatio = 255;
constexpr std::uint64_t kLz4Slack = 64;

// Zstandard's window limit for streams, as the power of two it is.
constexpr int kZstdWindowLogLimit = 24;
static_assert((std::uint64_t{1} << kZstdWindowLogLimit) == kStreamWindowLimit);

// What the decoded bytes of a whole piece are compared with: the codec's name
// for the messages ("stored" bytes have none).
std::string DataName(Codec codec) {
    return codec == Codec::Stored ? std::string("stored") : std::string(CodecName(codec));
}

std::string Declared(std::uint64_t produced, std::uint64_t declared) {
    return "decodes to " + std::to_string(produced) + " bytes, " + std::to_string(declared) +
           " declared";
}

std::string MoreThanDeclared(std::uint64_t declared) {
    return "decodes to more than " + std::to_string(declared) + " bytes declared";
}

std::string Holds(std::uint64_t coded, std::uint64_t declared) {
    return "holds " + std::to_string(coded) + " bytes, " + std::to_string(declared) + " declared";
}

// Stored bytes as a stream: copied, exactly the declared number of them.
class StoredStream final : public StreamDecoder {
public:
    StoredStream(std::uint64_t coded, std::uint64_t decoded)
        : StreamDecoder(Codec::Stored, coded, decoded), left_(decoded) {}

private:
    Flow Step(std::span<const unsigned char>& in, std::span<unsigned char>& out) override {
        if (left_ == 0) {
            return Flow::End;
        }
        const std::size_t n = static_cast<std::size_t>(
            std::min<std::uint64_t>(left_, std::min(in.size(), out.size())));
        if (n == 0) {
            return Flow::Stalled;
        }
        std::memcpy(out.data(), in.data(), n);
        in = in.subspan(n);
        out = out.subspan(n);
        left_ -= n;
        return left_ == 0 ? Flow::End : Flow::Moved;
    }

    std::uint64_t left_;
};

// zlib's inflate, for the three framings of Deflate data.
class ZlibStream final : public StreamDecoder {
public:
    ZlibStream(Codec codec, std::uint64_t coded, std::uint64_t decoded)
        : StreamDecoder(codec, coded, decoded) {
        constexpr int kWindowBits = 15;  // zlib's largest window, which every stream fits
        constexpr int kGzipFraming = 16; // added: gzip header and trailer only
        const int bits = codec == Codec::Zlib   ? kWindowBits
                         : codec == Codec::Gzip ? kWindowBits + kGzipFraming
                                                : -kWindowBits;
        started_ = inflateInit2(&stream_, bits) == Z_OK;
    }
    ~ZlibStream() override {
        if (started_) {
            inflateEnd(&stream_);
        }
    }
    ZlibStream(const ZlibStream&) = delete;
    ZlibStream& operator=(const ZlibStream&) = delete;

private:
    Flow Step(std::span<const unsigned char>& in, std::span<unsigned char>& out) override {
        if (!started_) {
            detail_ = "zlib cannot start decoding (out of memory)";
            return Flow::Damaged;
        }
        const auto given = static_cast<uInt>(std::min<std::size_t>(in.size(), UINT_MAX));
        const auto room = static_cast<uInt>(std::min<std::size_t>(out.size(), UINT_MAX));
        stream_.next_in = const_cast<Bytef*>(in.data());
        stream_.avail_in = given;
        stream_.next_out = out.data();
        stream_.avail_out = room;
        const int result = inflate(&stream_, Z_NO_FLUSH);
        const std::size_t consumed = given - stream_.avail_in;
        const std::size_t made = room - stream_.avail_out;
        in = in.subspan(consumed);
        out = out.subspan(made);
        switch (result) {
        case Z_STREAM_END:
            return Flow::End;
        case Z_OK:
            return consumed + made > 0 ? Flow::Moved : Flow::Stalled;
        case Z_BUF_ERROR:
            return Flow::Stalled;
        default:
            return Flow::Damaged;
        }
    }

    z_stream stream_{};
    bool started_ = false;
};

// One liblzma step over what is at hand, for the LZMA and XZ decoders; the
// spans move past what it used, and `moved` tells whether it used anything.
lzma_ret LzmaCode(lzma_stream& stream, std::span<const unsigned char>& in,
                  std::span<unsigned char>& out, bool& moved) {
    stream.next_in = in.data();
    stream.avail_in = in.size();
    stream.next_out = out.data();
    stream.avail_out = out.size();
    const lzma_ret result = lzma_code(&stream, LZMA_RUN);
    const std::size_t consumed = in.size() - stream.avail_in;
    const std::size_t made = out.size() - stream.avail_out;
    in = in.subspan(consumed);
    out = out.subspan(made);
    moved = consumed + made > 0;
    return result;
}

// liblzma's raw LZMA1 decoder, told the decoded length (so that data without
// an end marker ends exactly there) and given a dictionary no larger than
// the piece: liblzma allocates the whole dictionary when it starts.
class LzmaStream final : public StreamDecoder {
public:
    LzmaStream(Codec codec, std::uint64_t coded, std::uint64_t decoded)
        : StreamDecoder(codec, coded, decoded),
          headerSize_(codec == Codec::LzmaAlone ? kLzmaAloneHeaderSize
                      : codec == Codec::LzmaZip ? kLzmaZipHeaderSize
                                                : kLzmaPropertiesSize),
          decoded_(decoded) {}
    ~LzmaStream() override { lzma_end(&stream_); }
    LzmaStream(const LzmaStream&) = delete;
    LzmaStream& operator=(const LzmaStream&) = delete;

private:
    Flow Step(std::span<const unsigned char>& in, std::span<unsigned char>& out) override {
        if (!started_) {
            const std::size_t take = std::min(headerSize_ - have_, in.size());
            if (take > 0) {
                std::memcpy(header_.data() + have_, in.data(), take);
            }
            have_ += take;
            in = in.subspan(take);
            if (have_ < headerSize_) {
                return take > 0 ? Flow::Moved : Flow::Stalled;
            }
            if (!Start()) {
                return Flow::Damaged;
            }
            started_ = true;
            return Flow::Moved;
        }
        bool moved = false;
        const lzma_ret result = LzmaCode(stream_, in, out, moved);
        switch (result) {
        case LZMA_STREAM_END:
            return Flow::End;
        case LZMA_OK:
            return moved ? Flow::Moved : Flow::Stalled;
        case LZMA_BUF_ERROR:
            return Flow::Stalled;
        case LZMA_MEM_ERROR:
            detail_ = "LZMA decoding ran out of memory";
            return Flow::Damaged;
        case LZMA_OPTIONS_ERROR:
            detail_ = "LZMA properties are invalid";
            return Flow::Damaged;
        default:
            return Flow::Damaged;
        }
    }

    bool Start() {
        const unsigned char* properties = header_.data();
        if (headerSize_ == kLzmaZipHeaderSize) {
            if (LoadU16LE(header_.data() + 2) != kLzmaPropertiesSize) {
                detail_ = "LZMA properties are invalid";
                return false;
            }
            properties += kLzmaZipPrefixSize;
        }
        lzma_filter filter{LZMA_FILTER_LZMA1, nullptr};
        if (lzma_properties_decode(&filter, nullptr, properties, kLzmaPropertiesSize) != LZMA_OK) {
            detail_ = "LZMA properties are invalid";
            return false;
        }
        std::unique_ptr<lzma_options_lzma, decltype(&std::free)> options(
            static_cast<lzma_options_lzma*>(filter.options), &std::free);
        if (headerSize_ == kLzmaAloneHeaderSize) {
            const std::uint64_t size = LoadU64LE(header_.data() + kLzmaPropertiesSize);
            if (size != kLzmaUnknownSize && size != decoded_) {
                detail_ = "the .lzma header declares " + std::to_string(size) + " bytes, " +
                          std::to_string(decoded_) + " declared";
                return false;
            }
        }
        const std::uint64_t dictionary = std::min<std::uint64_t>(
            options->dict_size, std::max<std::uint64_t>(decoded_, LZMA_DICT_SIZE_MIN));
        if (dictionary > kStreamWindowLimit) {
            detail_ = "needs an LZMA dictionary of " + std::to_string(dictionary) +
                      " bytes, more than the " + std::to_string(kStreamWindowLimit >> 20) +
                      " MiB one block may use";
            return false;
        }
        options->dict_size = static_cast<std::uint32_t>(dictionary);
        options->ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
        options->ext_size_low = static_cast<std::uint32_t>(decoded_);
        options->ext_size_high = static_cast<std::uint32_t>(decoded_ >> 32);
        const lzma_filter chain[2] = {{LZMA_FILTER_LZMA1EXT, options.get()},
                                      {LZMA_VLI_UNKNOWN, nullptr}};
        if (lzma_raw_decoder(&stream_, chain) != LZMA_OK) {
            detail_ = "LZMA properties are invalid";
            return false;
        }
        return true;
    }

    lzma_stream stream_ = LZMA_STREAM_INIT;
    std::array<unsigned char, kLzmaAloneHeaderSize> header_{};
    std::size_t headerSize_;
    std::size_t have_ = 0;
    std::uint64_t decoded_;
    bool started_ = false;
};

// liblzma's .xz decoder, one stream, its memory bounded: a stream whose
// dictionary needs more is refused rather than allowed to allocate it.
class XzStream final : public StreamDecoder {
public:
    XzStream(std::uint64_t coded, std::uint64_t decoded)
        : StreamDecoder(Codec::Xz, coded, decoded) {
        started_ = lzma_stream_decoder(&stream_, kXzMemoryLimit, 0) == LZMA_OK;
    }
    ~XzStream() override { lzma_end(&stream_); }
    XzStream(const XzStream&) = delete;
    XzStream& operator=(const XzStream&) = delete;

private:
    // The window limit and room for the decoder's own state.
    static constexpr std::uint64_t kXzMemoryLimit = kStreamWindowLimit + (std::uint64_t{1} << 20);

    Flow Step(std::span<const unsigned char>& in, std::span<unsigned char>& out) override {
        if (!started_) {
            detail_ = "XZ cannot start decoding (out of memory)";
            return Flow::Damaged;
        }
        bool moved = false;
        const lzma_ret result = LzmaCode(stream_, in, out, moved);
        switch (result) {
        case LZMA_STREAM_END:
            return Flow::End;
        case LZMA_OK:
            return moved ? Flow::Moved : Flow::Stalled;
        case LZMA_BUF_ERROR:
            return Flow::Stalled;
        case LZMA_MEMLIMIT_ERROR:
            detail_ = "XZ data needs more than the " + std::to_string(kStreamWindowLimit >> 20) +
                      " MiB one block may use";
            return Flow::Damaged;
        default:
            return Flow::Damaged;
        }
    }

    lzma_stream stream_ = LZMA_STREAM_INIT;
    bool started_ = false;
};

// libbz2's decoder, in its normal (not small) mode: at most about 3.6 MiB
// for the largest block size, whatever the stream declares.
class BZip2Stream final : public StreamDecoder {
public:
    BZip2Stream(std::uint64_t coded, std::uint64_t decoded)
        : StreamDecoder(Codec::BZip2, coded, decoded) {
        started_ = BZ2_bzDecompressInit(&stream_, 0, 0) == BZ_OK;
    }
    ~BZip2Stream() override {
        if (started_) {
            BZ2_bzDecompressEnd(&stream_);
        }
    }
    BZip2Stream(const BZip2Stream&) = delete;
    BZip2Stream& operator=(const BZip2Stream&) = delete;

private:
    Flow Step(std::span<const unsigned char>& in, std::span<unsigned char>& out) override {
        if (!started_) {
            detail_ = "BZip2 cannot start decoding (out of memory)";
            return Flow::Damaged;
        }
        const auto given = static_cast<unsigned>(std::min<std::size_t>(in.size(), UINT_MAX));
        const auto room = static_cast<unsigned>(std::min<std::size_t>(out.size(), UINT_MAX));
        stream_.next_in = const_cast<char*>(reinterpret_cast<const char*>(in.data()));
        stream_.avail_in = given;
        stream_.next_out = reinterpret_cast<char*>(out.data());
        stream_.avail_out = room;
        const int result = BZ2_bzDecompress(&stream_);
        const std::size_t consumed = given - stream_.avail_in;
        const std::size_t made = room - stream_.avail_out;
        in = in.subspan(consumed);
        out = out.subspan(made);
        switch (result) {
        case BZ_STREAM_END:
            return Flow::End;
        case BZ_OK:
            return consumed + made > 0 ? Flow::Moved : Flow::Stalled;
        case BZ_MEM_ERROR:
            detail_ = "BZip2 decoding ran out of memory";
            return Flow::Damaged;
        default:
            return Flow::Damaged;
        }
    }

    bz_stream stream_{};
    bool started_ = false;
};

// libzstd's streaming decoder, with its window bounded.
class ZstdStream final : public StreamDecoder {
public:
    ZstdStream(std::uint64_t coded, std::uint64_t decoded)
        : StreamDecoder(Codec::Zstd, coded, decoded), context_(ZSTD_createDCtx()) {
        if (context_ != nullptr) {
            ZSTD_DCtx_setParameter(context_, ZSTD_d_windowLogMax, kZstdWindowLogLimit);
        }
    }
    ~ZstdStream() override { ZSTD_freeDCtx(context_); }
    ZstdStream(const ZstdStream&) = delete;
    ZstdStream& operator=(const ZstdStream&) = delete;

private:
    Flow Step(std::span<const unsigned char>& in, std::span<unsigned char>& out) override {
        if (context_ == nullptr) {
            detail_ = "Zstd cannot start decoding (out of memory)";
            return Flow::Damaged;
        }
        ZSTD_inBuffer input{in.data(), in.size(), 0};
        ZSTD_outBuffer output{out.data(), out.size(), 0};
        const std::size_t result = ZSTD_decompressStream(context_, &output, &input);
        in = in.subspan(input.pos);
        out = out.subspan(output.pos);
        if (ZSTD_isError(result)) {
            if (ZSTD_getErrorCode(result) == ZSTD_error_frameParameter_windowTooLarge) {
                detail_ = "Zstd data needs a window of more than the " +
                          std::to_string(kStreamWindowLimit >> 20) + " MiB one block may use";
            }
            return Flow::Damaged;
        }
        if (result == 0) {
            return Flow::End; // a frame ended; another may follow
        }
        return input.pos + output.pos > 0 ? Flow::Moved : Flow::Stalled;
    }

    ZSTD_DCtx* context_;
};

// libbrotli's streaming decoder. A Brotli stream's window is at most 16 MiB
// (the large-window extension, which could ask for 1 GiB, is never enabled),
// within the share one stream may use.
class BrotliStream final : public StreamDecoder {
public:
    BrotliStream(std::uint64_t coded, std::uint64_t decoded)
        : StreamDecoder(Codec::Brotli, coded, decoded),
          state_(BrotliDecoderCreateInstance(nullptr, nullptr, nullptr)) {}
    ~BrotliStream() override { BrotliDecoderDestroyInstance(state_); }
    BrotliStream(const BrotliStream&) = delete;
    BrotliStream& operator=(const BrotliStream&) = delete;

private:
    Flow Step(std::span<const unsigned char>& in, std::span<unsigned char>& out) override {
        if (state_ == nullptr) {
            detail_ = "Brotli cannot start decoding (out of memory)";
            return Flow::Damaged;
        }
        std::size_t availableIn = in.size();
        const std::uint8_t* nextIn = in.data();
        std::size_t availableOut = out.size();
        std::uint8_t* nextOut = out.data();
        const BrotliDecoderResult result = BrotliDecoderDecompressStream(
            state_, &availableIn, &nextIn, &availableOut, &nextOut, nullptr);
        const std::size_t consumed = in.size() - availableIn;
        const std::size_t made = out.size() - availableOut;
        in = in.subspan(consumed);
        out = out.subspan(made);
        switch (result) {
        case BROTLI_DECODER_RESULT_SUCCESS:
            return Flow::End;
        case BROTLI_DECODER_RESULT_NEEDS_MORE_INPUT:
        case BROTLI_DECODER_RESULT_NEEDS_MORE_OUTPUT:
            return consumed + made > 0 ? Flow::Moved : Flow::Stalled;
        default:
            return Flow::Damaged;
        }
    }

    BrotliDecoderState* state_;
};

// The deflate family through libdeflate, which inflates whole buffers about
// twice as fast as zlib. True only when the piece decoded exactly: anything
// else is decoded again by zlib's stream, which says what went wrong.
bool InflateWhole(Codec codec, std::span<const unsigned char> coded, std::span<unsigned char> out) {
    struct Decompressor {
        libdeflate_decompressor* state = libdeflate_alloc_decompressor();
        ~Decompressor() { libdeflate_free_decompressor(state); }
    };
    thread_local Decompressor decompressor;
    if (decompressor.state == nullptr) {
        return false;
    }
    std::size_t consumed = 0;
    std::size_t made = 0;
    libdeflate_result result = LIBDEFLATE_BAD_DATA;
    switch (codec) {
    case Codec::Zlib:
        result = libdeflate_zlib_decompress_ex(decompressor.state, coded.data(), coded.size(),
                                               out.data(), out.size(), &consumed, &made);
        break;
    case Codec::Gzip:
        result = libdeflate_gzip_decompress_ex(decompressor.state, coded.data(), coded.size(),
                                               out.data(), out.size(), &consumed, &made);
        break;
    default:
        result = libdeflate_deflate_decompress_ex(decompressor.state, coded.data(), coded.size(),
                                                  out.data(), out.size(), &consumed, &made);
        break;
    }
    return result == LIBDEFLATE_SUCCESS && made == out.size() && consumed == coded.size();
}

// The whole piece through its stream decoder: the one place that tells a
// long piece from a short one, an early end and trailing bytes.
DecodeOutcome DecodeByStream(Codec codec, std::span<const unsigned char> coded,
                             std::span<unsigned char> out) {
    auto decoder = StreamDecoder::Create(codec, coded.size(), out.size());
    DecodeOutcome outcome;
    auto rest = out;
    outcome.failure = decoder->Decode(coded, rest, true);
    outcome.produced = static_cast<std::size_t>(decoder->Produced());
    outcome.wrongLength = decoder->WrongLength();
    if (!outcome.failure && !decoder->Finished()) {
        outcome.failure = DataName(codec) + " data ends early, after " +
                          std::to_string(outcome.produced) + " of " + std::to_string(out.size()) +
                          " bytes";
    }
    return outcome;
}

DecodeOutcome DecodeLz4(std::span<const unsigned char> coded, std::span<unsigned char> out) {
    if (coded.size() > static_cast<std::size_t>(INT_MAX) ||
        out.size() > static_cast<std::size_t>(INT_MAX)) {
        return {0, "an LZ4 block of more than 2 GiB is not valid", false};
    }
    const int capacity = static_cast<int>(out.size());
    const int made = LZ4_decompress_safe(reinterpret_cast<const char*>(coded.data()),
                                         reinterpret_cast<char*>(out.data()),
                                         static_cast<int>(coded.size()), capacity);
    if (made == capacity) {
        return {out.size(), std::nullopt, false};
    }
    if (made >= 0) {
        return {static_cast<std::size_t>(made),
                Declared(static_cast<std::uint64_t>(made), out.size()), true};
    }
    // The block is damaged or decodes long: LZ4 says only that it failed.
    // Decoding it again with room for what its coded bytes can at most
    // become (bounded) tells which.
    const std::uint64_t most = std::min<std::uint64_t>(coded.size() * kLz4MaximumRatio + kLz4Slack,
                                                       out.size() + kLongCountLimit);
    if (most > out.size()) {
        std::vector<unsigned char> room(static_cast<std::size_t>(most));
        const int longer = LZ4_decompress_safe(
            reinterpret_cast<const char*>(coded.data()), reinterpret_cast<char*>(room.data()),
            static_cast<int>(coded.size()), static_cast<int>(room.size()));
        if (longer > capacity) {
            std::memcpy(out.data(), room.data(), out.size());
            return {out.size(), Declared(static_cast<std::uint64_t>(longer), out.size()), true};
        }
    }
    return {0, "LZ4 data is damaged", false};
}

// OodleLZ_Decompress as the vendor's library exports it.
using OodleDecompress = std::intptr_t (*)(const void* coded, std::intptr_t codedLength, void* raw,
                                          std::intptr_t rawLength, int fuzzSafe, int checkCrc,
                                          int verbosity, void* decoderBufferBase,
                                          std::intptr_t decoderBufferSize, void* callback,
                                          void* callbackUser, void* decoderMemory,
                                          std::intptr_t decoderMemorySize, int threadPhase);
constexpr int kOodleFuzzSafe = 1;   // OodleLZ_FuzzSafe_Yes: hostile data cannot crash it
constexpr int kOodleNoCrcCheck = 0; // OodleLZ_CheckCRC_No
constexpr int kOodleQuiet = 0;      // OodleLZ_Verbosity_None
constexpr int kOodleUnthreaded = 3; // OodleLZ_Decode_Unthreaded: the whole decode here

DecodeOutcome DecodeOodle(std::span<const unsigned char> coded, std::span<unsigned char> out,
                          const ReadOptions& options) {
    if (options.oodleLibrary.empty()) {
        return {0, std::string(kOodleMissing), false};
    }
    std::string why;
    const auto decompress = reinterpret_cast<OodleDecompress>(
        OodleLibraryFunction(options.oodleLibrary, "OodleLZ_Decompress", why));
    if (decompress == nullptr) {
        return {0, "the Oodle library " + options.oodleLibrary + " cannot be used: " + why, false};
    }
    if (coded.size() > static_cast<std::size_t>(INTPTR_MAX) ||
        out.size() > static_cast<std::size_t>(INTPTR_MAX)) {
        return {0, "Oodle data is damaged", false};
    }
    const std::intptr_t made =
        decompress(coded.data(), static_cast<std::intptr_t>(coded.size()), out.data(),
                   static_cast<std::intptr_t>(out.size()), kOodleFuzzSafe, kOodleNoCrcCheck,
                   kOodleQuiet, nullptr, 0, nullptr, nullptr, nullptr, 0, kOodleUnthreaded);
    if (made <= 0) {
        return {0, "Oodle data is damaged", false};
    }
    const auto produced = static_cast<std::uint64_t>(made);
    if (produced != out.size()) {
        // A library that reports more than the room it was given wrote no
        // more than that room.
        return {static_cast<std::size_t>(std::min<std::uint64_t>(produced, out.size())),
                Declared(produced, out.size()), true};
    }
    return {out.size(), std::nullopt, false};
}

} // namespace

std::uint32_t Crc32(std::uint32_t crc, std::span<const unsigned char> bytes) {
    return libdeflate_crc32(crc, bytes.data(), bytes.size());
}

std::string_view CodecName(Codec codec) {
    switch (codec) {
    case Codec::Stored:
        return "None";
    case Codec::Zlib:
        return "Zlib";
    case Codec::Gzip:
        return "Gzip";
    case Codec::Deflate:
        return "Deflate";
    case Codec::Lz4:
        return "LZ4";
    case Codec::Lzma:
    case Codec::LzmaAlone:
        return "LZMA";
    case Codec::Zstd:
        return "Zstd";
    case Codec::Oodle:
        return "Oodle";
    case Codec::BZip2:
        return "BZip2";
    case Codec::Xz:
        return "XZ";
    case Codec::LzmaZip:
        return "LZMA";
    case Codec::Brotli:
        return "Brotli";
    }
    return "None";
}

std::unique_ptr<StreamDecoder> StreamDecoder::Create(Codec codec, std::uint64_t codedLength,
                                                     std::uint64_t decodedLength) {
    switch (codec) {
    case Codec::Stored:
        return std::make_unique<StoredStream>(codedLength, decodedLength);
    case Codec::Zlib:
    case Codec::Gzip:
    case Codec::Deflate:
        return std::make_unique<ZlibStream>(codec, codedLength, decodedLength);
    case Codec::Lzma:
    case Codec::LzmaAlone:
    case Codec::LzmaZip:
        return std::make_unique<LzmaStream>(codec, codedLength, decodedLength);
    case Codec::Xz:
        return std::make_unique<XzStream>(codedLength, decodedLength);
    case Codec::BZip2:
        return std::make_unique<BZip2Stream>(codedLength, decodedLength);
    case Codec::Zstd:
        return std::make_unique<ZstdStream>(codedLength, decodedLength);
    case Codec::Brotli:
        return std::make_unique<BrotliStream>(codedLength, decodedLength);
    case Codec::Lz4:
    case Codec::Oodle:
        break;
    }
    return nullptr;
}

std::string StreamDecoder::DamageText() const {
    return detail_.empty() ? DataName(codec_) + " data is damaged" : detail_;
}

std::optional<std::string> StreamDecoder::Decode(std::span<const unsigned char>& in,
                                                 std::span<unsigned char>& out, bool inputEnds) {
    // Past the declared length the decoder writes into this, only to learn
    // whether the data goes on.
    std::array<unsigned char, 256> probe;
    std::uint64_t extra = 0;
    for (;;) {
        if (ended_) {
            if (extra > 0) {
                wrongLength_ = true;
                return Declared(produced_ + extra, declared_);
            }
            if (!in.empty()) {
                if (codec_ == Codec::Zstd) {
                    ended_ = false; // the next frame
                    continue;
                }
                wrongLength_ = codec_ == Codec::Stored;
                return codec_ == Codec::Stored
                           ? Holds(coded_, declared_)
                           : std::to_string(in.size()) + " bytes follow the end of the " +
                                 DataName(codec_) + " data";
            }
            if (produced_ < declared_ && inputEnds) {
                wrongLength_ = true;
                return codec_ == Codec::Stored ? Holds(coded_, declared_)
                                               : Declared(produced_, declared_);
            }
            return std::nullopt;
        }
        const bool probing = produced_ == declared_;
        std::span<unsigned char> target = probe;
        if (!probing) {
            const auto room = static_cast<std::size_t>(
                std::min<std::uint64_t>(out.size(), declared_ - produced_));
            if (room == 0) {
                return std::nullopt; // the caller takes what came out, then calls again
            }
            target = out.first(room);
        }
        const std::size_t inBefore = in.size();
        const std::size_t roomBefore = target.size();
        const Flow flow = Step(in, target);
        const std::size_t made = roomBefore - target.size();
        if (probing) {
            extra += made;
        } else {
            out = out.subspan(made);
            produced_ += made;
        }
        if (flow == Flow::Damaged) {
            if (extra > 0) {
                wrongLength_ = true;
                return MoreThanDeclared(declared_);
            }
            return DamageText();
        }
        if (flow == Flow::End) {
            ended_ = true;
            continue;
        }
        if (extra > kLongCountLimit) {
            wrongLength_ = true;
            return MoreThanDeclared(declared_);
        }
        if (made == 0 && in.size() == inBefore) {
            if (!in.empty()) {
                return DamageText(); // neither input taken nor output made: stuck
            }
            if (!inputEnds) {
                if (extra > 0) {
                    wrongLength_ = true;
                    return MoreThanDeclared(declared_);
                }
                return std::nullopt;
            }
            if (extra > 0) {
                wrongLength_ = true;
                return MoreThanDeclared(declared_);
            }
            if (codec_ == Codec::Stored) {
                wrongLength_ = true;
                return Holds(coded_, declared_);
            }
            return DataName(codec_) + " data ends early, after " + std::to_string(produced_) +
                   " of " + std::to_string(declared_) + " bytes";
        }
    }
}

DecodeOutcome DecodeInto(Codec codec, std::span<const unsigned char> coded,
                         std::span<unsigned char> out, const ReadOptions& options) {
    switch (codec) {
    case Codec::Stored: {
        const std::size_t n = std::min(coded.size(), out.size());
        if (n > 0) {
            std::memcpy(out.data(), coded.data(), n);
        }
        if (coded.size() != out.size()) {
            return {n, Holds(coded.size(), out.size()), true};
        }
        return {n, std::nullopt, false};
    }
    case Codec::Zlib:
    case Codec::Gzip:
    case Codec::Deflate:
        if (InflateWhole(codec, coded, out)) {
            return {out.size(), std::nullopt, false};
        }
        return DecodeByStream(codec, coded, out);
    case Codec::Zstd: {
        struct Context {
            ZSTD_DCtx* state = ZSTD_createDCtx();
            ~Context() { ZSTD_freeDCtx(state); }
        };
        thread_local Context context;
        if (context.state != nullptr) {
            const std::size_t made = ZSTD_decompressDCtx(context.state, out.data(), out.size(),
                                                         coded.data(), coded.size());
            if (!ZSTD_isError(made) && made == out.size()) {
                return {out.size(), std::nullopt, false};
            }
        }
        return DecodeByStream(codec, coded, out);
    }
    case Codec::Lzma:
    case Codec::LzmaAlone:
    case Codec::LzmaZip:
    case Codec::Xz:
    case Codec::BZip2:
    case Codec::Brotli:
        return DecodeByStream(codec, coded, out);
    case Codec::Lz4:
        return DecodeLz4(coded, out);
    case Codec::Oodle:
        return DecodeOodle(coded, out, options);
    }
    return {0, "unknown codec", false};
}

std::optional<std::string> DecodeWhole(Codec codec, std::span<const unsigned char> coded,
                                       std::span<unsigned char> out, const ReadOptions& options) {
    return DecodeInto(codec, coded, out, options).failure;
}

// The library is loaded once per path and function and stays loaded; one
// that failed is not tried again. Reading and packing share the cache, so a
// pack that reads its reference back loads the library once.
void* OodleLibraryFunction(const std::string& path, const char* name, std::string& why) {
    struct Loaded {
        void* function = nullptr;
        std::string why;
    };
    static std::mutex lock;
    static std::map<std::pair<std::string, std::string>, Loaded> loaded;
    std::lock_guard<std::mutex> hold(lock);
    auto key = std::make_pair(path, std::string(name));
    auto found = loaded.find(key);
    if (found == loaded.end()) {
        Loaded entry;
        entry.function = Platform::LoadLibraryFunction(path, name, entry.why);
        found = loaded.emplace(std::move(key), std::move(entry)).first;
    }
    why = found->second.why;
    return found->second.function;
}

} // namespace Kestrune
