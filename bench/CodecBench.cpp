// kestrune_codec_bench: decoding throughput of the content layer against the
// codec libraries alone on the same blocks (the floor), with two threads as
// extraction uses; and the cost of many small entries in a few large LZMA
// blocks read through the EntryReader, against decoding those blocks once.
//
//   build/bench/bench/kestrune_codec_bench DIR
//
// DIR holds the scratch package of the LZMA case. Prints one line per case:
// MB/s of decoded bytes for the engine and the floor, and their ratio.

#include "Codecs.h"
#include "EntryData.h"
#include "PackageFiles.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <libdeflate.h>
#include <lz4.h>
#include <lzma.h>
#include <string>
#include <thread>
#include <vector>
#include <zlib.h>
#include <zstd.h>

namespace {

using namespace Kestrune;
using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kBlockSize = 64 * 1024; // Unreal's compression block
constexpr std::size_t kBlockCount = 512;      // 32 MiB decoded per round
constexpr int kThreads = 2;

// Text-like content that compresses about as game data does (3-4 to 1).
Bytes Content(std::size_t size, std::uint32_t seed) {
    static const char* const words[] = {"texture", "mesh",  "sound", "level", "actor",
                                        "spawn",   "light", "0.5",   "1024",  "true"};
    Bytes out;
    out.reserve(size);
    std::uint32_t state = seed;
    while (out.size() < size) {
        state = state * 1664525u + 1013904223u;
        const char* word = words[(state >> 16) % 10];
        for (const char* c = word; *c != '\0' && out.size() < size; ++c) {
            out.push_back(static_cast<unsigned char>(*c));
        }
        if (out.size() < size) {
            out.push_back((state >> 8) % 7 == 0 ? '\n' : ' ');
        }
        if ((state >> 4) % 5 == 0 && out.size() < size) {
            out.push_back(static_cast<unsigned char>(state >> 24));
        }
    }
    return out;
}

Bytes Encode(Codec codec, const Bytes& data) {
    Bytes out(data.size() * 2 + 1024);
    switch (codec) {
    case Codec::Zlib:
    case Codec::Gzip:
    case Codec::Deflate: {
        z_stream z{};
        deflateInit2(&z, 6, Z_DEFLATED,
                     codec == Codec::Zlib   ? 15
                     : codec == Codec::Gzip ? 31
                                            : -15,
                     8, Z_DEFAULT_STRATEGY);
        z.next_in = const_cast<Bytef*>(data.data());
        z.avail_in = static_cast<uInt>(data.size());
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        deflate(&z, Z_FINISH);
        out.resize(z.total_out);
        deflateEnd(&z);
        break;
    }
    case Codec::Lz4:
        out.resize(static_cast<std::size_t>(LZ4_compress_default(
            reinterpret_cast<const char*>(data.data()), reinterpret_cast<char*>(out.data()),
            static_cast<int>(data.size()), static_cast<int>(out.size()))));
        break;
    case Codec::Lzma: {
        lzma_options_lzma options{};
        lzma_lzma_preset(&options, 1);
        const lzma_filter plain{LZMA_FILTER_LZMA1, &options};
        lzma_properties_encode(&plain, out.data());
        options.ext_size_low = static_cast<std::uint32_t>(data.size());
        options.ext_size_high = static_cast<std::uint32_t>(std::uint64_t{data.size()} >> 32);
        const lzma_filter chain[2] = {{LZMA_FILTER_LZMA1EXT, &options},
                                      {LZMA_VLI_UNKNOWN, nullptr}};
        lzma_stream stream = LZMA_STREAM_INIT;
        if (lzma_raw_encoder(&stream, chain) != LZMA_OK) {
            std::abort();
        }
        stream.next_in = data.data();
        stream.avail_in = data.size();
        stream.next_out = out.data() + 5;
        stream.avail_out = out.size() - 5;
        while (lzma_code(&stream, LZMA_FINISH) == LZMA_OK) {
        }
        out.resize(5 + stream.total_out);
        lzma_end(&stream);
        break;
    }
    case Codec::Zstd:
        out.resize(ZSTD_compress(out.data(), out.size(), data.data(), data.size(), 3));
        break;
    default:
        out = data;
        break;
    }
    return out;
}

// The library alone: the quickest call each offers for one whole block.
bool Floor(Codec codec, const Bytes& coded, Bytes& out, bool useZlib) {
    switch (codec) {
    case Codec::Zlib:
    case Codec::Gzip:
    case Codec::Deflate: {
        if (useZlib) {
            z_stream z{};
            inflateInit2(&z, codec == Codec::Zlib ? 15 : codec == Codec::Gzip ? 31 : -15);
            z.next_in = const_cast<Bytef*>(coded.data());
            z.avail_in = static_cast<uInt>(coded.size());
            z.next_out = out.data();
            z.avail_out = static_cast<uInt>(out.size());
            const int result = inflate(&z, Z_FINISH);
            inflateEnd(&z);
            return result == Z_STREAM_END;
        }
        thread_local libdeflate_decompressor* d = libdeflate_alloc_decompressor();
        std::size_t made = 0;
        const auto result =
            codec == Codec::Zlib   ? libdeflate_zlib_decompress(d, coded.data(), coded.size(),
                                                                out.data(), out.size(), &made)
            : codec == Codec::Gzip ? libdeflate_gzip_decompress(d, coded.data(), coded.size(),
                                                                out.data(), out.size(), &made)
                                   : libdeflate_deflate_decompress(d, coded.data(), coded.size(),
                                                                   out.data(), out.size(), &made);
        return result == LIBDEFLATE_SUCCESS;
    }
    case Codec::Lz4:
        return LZ4_decompress_safe(reinterpret_cast<const char*>(coded.data()),
                                   reinterpret_cast<char*>(out.data()),
                                   static_cast<int>(coded.size()),
                                   static_cast<int>(out.size())) == static_cast<int>(out.size());
    case Codec::Lzma: {
        lzma_filter filter{LZMA_FILTER_LZMA1, nullptr};
        lzma_properties_decode(&filter, nullptr, coded.data(), 5);
        auto* options = static_cast<lzma_options_lzma*>(filter.options);
        options->dict_size = static_cast<std::uint32_t>(out.size());
        options->ext_size_low = static_cast<std::uint32_t>(out.size());
        options->ext_size_high = 0;
        options->ext_flags = 0;
        const lzma_filter chain[2] = {{LZMA_FILTER_LZMA1EXT, options}, {LZMA_VLI_UNKNOWN, nullptr}};
        std::size_t inPos = 5, outPos = 0;
        const lzma_ret result = lzma_raw_buffer_decode(
            chain, nullptr, coded.data(), &inPos, coded.size(), out.data(), &outPos, out.size());
        std::free(options);
        return (result == LZMA_OK || result == LZMA_STREAM_END || result == LZMA_BUF_ERROR) &&
               outPos == out.size();
    }
    case Codec::Zstd: {
        thread_local ZSTD_DCtx* context = ZSTD_createDCtx();
        return ZSTD_decompressDCtx(context, out.data(), out.size(), coded.data(), coded.size()) ==
               out.size();
    }
    default:
        return false;
    }
}

// Seconds for `kThreads` threads to run `work(block)` over every block, the
// blocks dealt out in turn.
double Timed(const std::function<bool(std::size_t block, Bytes& out)>& work) {
    const auto begin = Clock::now();
    std::atomic<bool> ok{true};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            Bytes out(kBlockSize);
            for (std::size_t b = static_cast<std::size_t>(t); b < kBlockCount; b += kThreads) {
                if (!work(b, out)) {
                    ok = false;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    if (!ok) {
        std::fprintf(stderr, "a block did not decode\n");
        std::exit(1);
    }
    return std::chrono::duration<double>(Clock::now() - begin).count();
}

double MegabytesPerSecond(std::uint64_t bytes, double seconds) {
    return static_cast<double>(bytes) / seconds / 1e6;
}

void Throughput() {
    std::vector<Bytes> plain;
    for (std::size_t b = 0; b < kBlockCount; ++b) {
        plain.push_back(Content(kBlockSize, static_cast<std::uint32_t>(b + 1)));
    }
    const std::uint64_t total = std::uint64_t{kBlockSize} * kBlockCount;
    std::printf("%-10s %12s %12s %12s %7s\n", "codec", "engine MB/s", "floor MB/s", "zlib MB/s",
                "ratio");
    for (const Codec codec :
         {Codec::Zlib, Codec::Gzip, Codec::Deflate, Codec::Lz4, Codec::Lzma, Codec::Zstd}) {
        std::vector<Bytes> coded;
        for (const Bytes& block : plain) {
            coded.push_back(Encode(codec, block));
        }
        double engine = 1e9, floor = 1e9, zlib = 1e9;
        for (int round = 0; round < 3; ++round) {
            engine = std::min(engine, Timed([&](std::size_t b, Bytes& out) {
                                  return !DecodeWhole(codec, coded[b], out).has_value();
                              }));
            floor = std::min(floor, Timed([&](std::size_t b, Bytes& out) {
                                 return Floor(codec, coded[b], out, false);
                             }));
            if (codec == Codec::Zlib || codec == Codec::Gzip || codec == Codec::Deflate) {
                zlib = std::min(zlib, Timed([&](std::size_t b, Bytes& out) {
                                    return Floor(codec, coded[b], out, true);
                                }));
            }
        }
        char zlibText[32] = "-";
        if (zlib < 1e9) {
            std::snprintf(zlibText, sizeof zlibText, "%.0f", MegabytesPerSecond(total, zlib));
        }
        std::printf("%-10s %12.0f %12.0f %12s %7.2f\n", std::string(CodecName(codec)).c_str(),
                    MegabytesPerSecond(total, engine), MegabytesPerSecond(total, floor), zlibText,
                    engine / floor);
    }
}

// `files` small files in `blocks` LZMA blocks of `blockSize` decoded bytes,
// read through EntryReaders as extraction reads them (two threads, runs of
// 256 consecutive entries each), against decoding each block once.
void ManySmallFiles(const std::string& dir, std::size_t files, std::size_t blocks,
                    std::size_t blockSize) {
    const std::string path = dir + "/lzma-blocks.bin";
    auto shared = std::make_shared<SharedContent>();
    std::vector<Bytes> coded;
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        std::uint64_t offset = 0;
        for (std::size_t b = 0; b < blocks; ++b) {
            coded.push_back(Encode(Codec::Lzma, Content(blockSize, static_cast<std::uint32_t>(b))));
            out.write(reinterpret_cast<const char*>(coded.back().data()),
                      static_cast<std::streamsize>(coded.back().size()));
            Piece piece;
            piece.offset = offset;
            piece.storedLength = coded.back().size();
            piece.codedLength = piece.storedLength;
            piece.decodedLength = blockSize;
            piece.codec = Codec::Lzma;
            shared->pieces.push_back(piece);
            offset += coded.back().size();
        }
    }
    // Files of equal size laid end to end over the block stream; a file
    // crossing a block boundary takes two pieces.
    const std::uint64_t streamSize = std::uint64_t{blockSize} * blocks;
    const std::uint64_t fileSize = streamSize / files;
    std::vector<ArchiveEntry> entries(files);
    for (std::size_t i = 0; i < files; ++i) {
        const std::uint64_t begin = i * fileSize;
        ArchiveEntry& entry = entries[i];
        entry.size = fileSize;
        entry.content.encoding = ContentEncoding::Pieces;
        entry.content.shared = shared;
        entry.content.firstPiece = static_cast<std::uint32_t>(begin / blockSize);
        entry.content.skip = begin % blockSize;
        entry.content.pieceCount = entry.content.skip + fileSize > blockSize ? 2 : 1;
    }
    const auto package = PackageFiles::Open(path);
    constexpr std::size_t kRun = 256; // Extract.cpp's entries per turn of a worker
    const auto begin = Clock::now();
    std::atomic<std::size_t> next{0};
    std::atomic<std::uint64_t> delivered{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            EntryReader reader(*package);
            CountingSink sink;
            for (;;) {
                const std::size_t first = next.fetch_add(kRun);
                if (first >= files) {
                    break;
                }
                for (std::size_t i = first; i < std::min(files, first + kRun); ++i) {
                    if (reader.Read(entries[i], sink)) {
                        std::fprintf(stderr, "entry %zu failed\n", i);
                        std::exit(1);
                    }
                }
            }
            delivered += sink.bytes;
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const double engine = std::chrono::duration<double>(Clock::now() - begin).count();
    const auto floorBegin = Clock::now();
    Bytes out(blockSize);
    for (const Bytes& block : coded) {
        Floor(Codec::Lzma, block, out, false);
    }
    const double floor = std::chrono::duration<double>(Clock::now() - floorBegin).count();
    std::printf("%zu files in %zu LZMA blocks of %zu MiB: %.3f s through EntryReader (2 threads), "
                "%.3f s to decode the blocks once (1 thread), %.2f us per file, %llu bytes\n",
                files, blocks, blockSize >> 20, engine, floor,
                engine * 1e6 / static_cast<double>(files),
                static_cast<unsigned long long>(delivered.load()));
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: kestrune_codec_bench DIR\n");
        return 1;
    }
    Throughput();
    // The same decoded bytes as 5,000 and as 50,000 files: linear cost means
    // the time follows the bytes, not the files.
    ManySmallFiles(argv[1], 5000, 4, 16 << 20);
    ManySmallFiles(argv[1], 50000, 4, 16 << 20);
    // Blocks small enough to be held: decoded once each through the cache.
    ManySmallFiles(argv[1], 50000, 32, 2 << 20);
    return 0;
}
