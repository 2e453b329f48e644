// kestrune_iostore_bench_data IN.pak OUT_STEM: writes the entries of one of
// our own containers (as GenerateBenchData writes them) as an uncompressed
// IoStore container, OUT_STEM.utoc and OUT_STEM.ucas, one chunk an entry,
// so that it is measured against a version 11 pak of the same names and
// bytes.
//
// kestrune_iostore_bench_data one MIB OUT_STEM: a container holding one
// chunk of MIB MiB of assets that compress to about half, in zlib blocks of
// 64 KiB: the case where one entry is all the work.
//
// kestrune_iostore_bench_data inflate OUT_STEM: the yardstick for extracting
// a compressed container. The whole .ucas is read into memory first; then
// libdeflate alone inflates every block on two threads (each every other
// block, into a buffer of its own) and the time this took is printed in
// seconds.

#include "KestruneEngine.h"
#include "TwoThreads.h"
#include "support/IoStoreBuilder.h"

#include <chrono>
#include <cstdio>
#include <libdeflate.h>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::uint32_t kBlockSize = 64 * 1024;

std::string ReadAll(const std::string& path) {
    std::string bytes;
    std::FILE* in = std::fopen(path.c_str(), "rb");
    if (in == nullptr) {
        return bytes;
    }
    char chunk[1 << 16];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, in)) > 0;) {
        bytes.append(chunk, n);
    }
    std::fclose(in);
    return bytes;
}

int Write(const std::string& stem, const Kestrune::Testing::IoStoreLayout& layout,
          const std::vector<Kestrune::Testing::IoChunk>& chunks) {
    Kestrune::Testing::WriteIoStore(stem, Kestrune::Testing::BuildIoStore(layout, chunks));
    return 0;
}

// Text-like assets: words from a small vocabulary, so zlib halves them.
std::string Assets(std::uint64_t size) {
    std::mt19937_64 random(20240607);
    std::string bytes;
    bytes.reserve(size);
    while (bytes.size() < size) {
        const auto word = random();
        for (int i = 0; i < 6 && bytes.size() < size; ++i) {
            bytes.push_back(static_cast<char>('a' + (word >> (i * 5)) % 26));
        }
        if (bytes.size() < size) {
            bytes.push_back(static_cast<char>(" \n\t,"[word >> 62]));
        }
    }
    return bytes;
}

int Inflate(const std::string& stem) {
    const auto entries = Kestrune::KestruneEngine::ListEntries(stem + ".utoc");
    const std::string file = ReadAll(stem + ".ucas");
    std::vector<const Kestrune::Piece*> pieces;
    for (const auto& e : entries) {
        for (std::uint32_t i = 0; e.content.shared && i < e.content.pieceCount; ++i) {
            pieces.push_back(&e.content.shared->pieces[e.content.firstPiece + i]);
        }
    }
    if (pieces.empty()) {
        return 1;
    }
    const auto work = [&](std::size_t first) {
        bool ok = true;
        libdeflate_decompressor* d = libdeflate_alloc_decompressor();
        std::vector<unsigned char> out(kBlockSize);
        for (std::size_t i = first; i < pieces.size(); i += 2) {
            const auto& piece = *pieces[i];
            std::size_t got = 0;
            if (piece.offset + piece.codedLength > file.size() ||
                libdeflate_zlib_decompress(d, file.data() + piece.offset, piece.codedLength,
                                           out.data(), out.size(), &got) != LIBDEFLATE_SUCCESS ||
                got != piece.decodedLength) {
                ok = false;
            }
        }
        libdeflate_free_decompressor(d);
        return ok;
    };
    return Kestrune::Bench::TimeOnTwoThreads(work, "inflate");
}

} // namespace

int main(int argc, char** argv) {
    Kestrune::Testing::IoStoreLayout layout;
    layout.blockSize = kBlockSize;
    layout.mount = "../../../";
    layout.gaps = false;
    if (argc == 3 && std::string(argv[1]) == "inflate") {
        return Inflate(argv[2]);
    }
    if (argc == 4 && std::string(argv[1]) == "one") {
        layout.method = "Zlib";
        const std::uint64_t size = std::stoull(argv[2]) << 20;
        return Write(argv[3], layout, {{"Game/Content/Big.ubulk", Assets(size)}});
    }
    if (argc != 3) {
        std::fputs("usage: kestrune_iostore_bench_data IN.pak OUT_STEM\n"
                   "       kestrune_iostore_bench_data one MIB OUT_STEM\n"
                   "       kestrune_iostore_bench_data inflate OUT_STEM\n",
                   stderr);
        return 2;
    }
    const std::string package = ReadAll(argv[1]);
    std::vector<Kestrune::Testing::IoChunk> chunks;
    for (const auto& e : Kestrune::KestruneEngine::ListEntries(argv[1])) {
        if (e.offset + e.size > package.size()) {
            return 1;
        }
        chunks.push_back({e.name, package.substr(e.offset, e.size)});
    }
    return Write(argv[2], layout, chunks);
}
