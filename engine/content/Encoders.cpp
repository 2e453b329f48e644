#include "Encoders.h"

#include "Codecs.h"

#include <cstdint>
#include <libdeflate.h>
#include <lz4.h>
#include <memory>
#include <string>
#include <zlib.h>
#include <zstd.h>

namespace Kestrune {
namespace {

// Level 6, zlib's own default: what game packers write and a fair trade of
// time for size. Fixed, so that a package's bytes do not depend on a setting.
// Zlib streams come from zlib itself, as UnrealPak's do; Gzip and raw
// Deflate from libdeflate, whose gzip header names no system (zlib's names
// the one it was built for, so the bytes would differ between builds).
constexpr int kDeflateLevel = 6;
constexpr int kZstdLevel = 3;

struct CompressorFree {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};

// One compressor per thread, made once: making one costs more than
// compressing a 64 KiB block.
libdeflate_compressor* Compressor() {
    thread_local std::unique_ptr<libdeflate_compressor, CompressorFree> compressor(
        libdeflate_alloc_compressor(kDeflateLevel));
    return compressor.get();
}

struct DeflaterFree {
    void operator()(z_stream* stream) const {
        deflateEnd(stream);
        delete stream;
    }
};

// One raw-Deflate zlib stream per thread, reset for every part.
z_stream* Deflater() {
    thread_local std::unique_ptr<z_stream, DeflaterFree> stream = [] {
        auto* made = new z_stream{};
        if (deflateInit2(made, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) !=
            Z_OK) {
            delete made;
            made = nullptr;
        }
        return std::unique_ptr<z_stream, DeflaterFree>(made);
    }();
    return stream.get();
}

// OodleLZ_Compress as the vendor's library exports it.
using OodleCompress = std::intptr_t (*)(int compressor, const void* raw, std::intptr_t rawLength,
                                        void* coded, int level, const void* options,
                                        const void* dictionaryBase, const void* longRangeMatcher,
                                        void* scratch, std::intptr_t scratchSize);
constexpr int kOodleMermaid = 9; // OodleLZ_Compressor_Mermaid, what UE projects pick
constexpr int kOodleNormal = 4;  // OodleLZ_CompressionLevel_Normal
// The most a block can grow: the vendor's bound, 274 bytes per 256 KiB, and
// a little more.
std::size_t OodleBound(std::size_t length) {
    return length + 274 * (length / (256 * 1024) + 1) + 64;
}

OodleCompress OodleEncoder(const std::string& path, std::string& why) {
    return reinterpret_cast<OodleCompress>(OodleLibraryFunction(path, "OodleLZ_Compress", why));
}

} // namespace

bool CanEncode(Codec codec) {
    return codec == Codec::Zlib || codec == Codec::Gzip || codec == Codec::Deflate ||
           codec == Codec::Lz4 || codec == Codec::Zstd || codec == Codec::Oodle;
}

std::optional<std::string> OodleEncoderMissing(const std::string& library) {
    if (library.empty()) {
        return std::string("needs your Oodle library: give its path with --oodle");
    }
    std::string why;
    if (OodleEncoder(library, why) == nullptr) {
        return "the Oodle library " + library + " cannot be used: " + why;
    }
    return std::nullopt;
}

bool EncodeWhole(Codec codec, std::span<const unsigned char> in, std::vector<unsigned char>& out,
                 const std::string& oodleLibrary) {
    out.clear();
    switch (codec) {
    case Codec::Oodle: {
        std::string why;
        const OodleCompress compress =
            oodleLibrary.empty() ? nullptr : OodleEncoder(oodleLibrary, why);
        if (compress == nullptr || in.size() > static_cast<std::size_t>(INTPTR_MAX / 2)) {
            return false;
        }
        out.resize(OodleBound(in.size()));
        const std::intptr_t written =
            compress(kOodleMermaid, in.data(), static_cast<std::intptr_t>(in.size()), out.data(),
                     kOodleNormal, nullptr, nullptr, nullptr, nullptr, 0);
        if (written <= 0 || static_cast<std::size_t>(written) > out.size()) {
            out.clear();
            return false;
        }
        out.resize(static_cast<std::size_t>(written));
        return true;
    }
    case Codec::Zlib: {
        // zlib itself at its default level: the bytes UnrealPak writes.
        uLongf length = compressBound(static_cast<uLong>(in.size()));
        out.resize(length);
        if (in.size() > UINT32_MAX ||
            compress2(out.data(), &length, in.data(), static_cast<uLong>(in.size()),
                      Z_DEFAULT_COMPRESSION) != Z_OK) {
            out.clear();
            return false;
        }
        out.resize(length);
        return true;
    }
    case Codec::Gzip:
    case Codec::Deflate: {
        libdeflate_compressor* c = Compressor();
        if (c == nullptr) {
            return false;
        }
        const bool gzip = codec == Codec::Gzip;
        const std::size_t bound = gzip ? libdeflate_gzip_compress_bound(c, in.size())
                                       : libdeflate_deflate_compress_bound(c, in.size());
        out.resize(bound);
        const std::size_t written =
            gzip ? libdeflate_gzip_compress(c, in.data(), in.size(), out.data(), bound)
                 : libdeflate_deflate_compress(c, in.data(), in.size(), out.data(), bound);
        out.resize(written);
        return written > 0;
    }
    case Codec::Lz4: {
        if (in.size() > static_cast<std::size_t>(LZ4_MAX_INPUT_SIZE)) {
            return false;
        }
        const int size = static_cast<int>(in.size());
        out.resize(static_cast<std::size_t>(LZ4_compressBound(size)));
        const int written = LZ4_compress_default(reinterpret_cast<const char*>(in.data()),
                                                 reinterpret_cast<char*>(out.data()), size,
                                                 static_cast<int>(out.size()));
        out.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
        return written > 0 || in.empty();
    }
    case Codec::Zstd: {
        out.resize(ZSTD_compressBound(in.size()));
        const std::size_t written =
            ZSTD_compress(out.data(), out.size(), in.data(), in.size(), kZstdLevel);
        if (ZSTD_isError(written)) {
            out.clear();
            return false;
        }
        out.resize(written);
        return true;
    }
    default:
        return false;
    }
}

bool EncodeDeflatePart(std::span<const unsigned char> window, std::span<const unsigned char> in,
                       bool last, std::vector<unsigned char>& out) {
    out.clear();
    z_stream* stream = Deflater();
    if (stream == nullptr || in.size() > UINT32_MAX / 2 || deflateReset(stream) != Z_OK) {
        return false;
    }
    constexpr std::size_t kWindow = 32768;
    if (window.size() > kWindow) {
        window = window.last(kWindow);
    }
    if (!window.empty() &&
        deflateSetDictionary(stream, window.data(), static_cast<uInt>(window.size())) != Z_OK) {
        return false;
    }
    // The bound, and room for the empty stored block a flush adds.
    out.resize(deflateBound(stream, static_cast<uLong>(in.size())) + 16);
    stream->next_in = const_cast<Bytef*>(in.data());
    stream->avail_in = static_cast<uInt>(in.size());
    stream->next_out = out.data();
    stream->avail_out = static_cast<uInt>(out.size());
    const int result = deflate(stream, last ? Z_FINISH : Z_SYNC_FLUSH);
    const bool done = last ? result == Z_STREAM_END : result == Z_OK && stream->avail_in == 0;
    if (!done || stream->avail_out == 0) {
        out.clear();
        return false;
    }
    out.resize(out.size() - stream->avail_out);
    return true;
}

} // namespace Kestrune
