// kestrune_unreal_bench_data IN.pak OUT.pak [zlib]: writes the entries of one
// of our own containers (as GenerateBenchData writes them) as an Unreal pak
// of version 11, uncompressed or zlib-compressed in 64 KiB blocks, so that
// the two kinds are measured on the same names and bytes.
//
// kestrune_unreal_bench_data inflate PAK: the yardstick for extracting a
// compressed pak (or a ZIP archive of Deflate entries). The whole file is
// read into memory first; then libdeflate alone inflates every block of
// every entry on two threads (each thread every other entry, into a buffer
// of its own) and the time this took is printed in seconds.
//
// kestrune_unreal_bench_data deflate DIR: the yardstick for packing a
// Zlib pak. Every file under DIR is read into memory first; then zlib alone
// compresses every 64 KiB block of every file at its default level, as the
// packer does, on two threads (each thread every other file), and the time
// this took is printed in seconds.

#include "ByteOrder.h"
#include "Crypto.h"
#include "KestruneEngine.h"
#include "TwoThreads.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <libdeflate.h>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>
#include <zlib.h>

namespace {

constexpr std::uint32_t kBlockSize = 64 * 1024;

void FString(std::string& out, const std::string& text) {
    Kestrune::AppendU32LE(out, static_cast<std::uint32_t>(text.size() + 1));
    out += text;
    out.push_back('\0');
}

std::string Sha1Text(const std::string& bytes) {
    const auto d =
        Kestrune::Sha1({reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()});
    return std::string(reinterpret_cast<const char*>(d.data()), d.size());
}

int Inflate(const char* path) {
    const auto entries = Kestrune::KestruneEngine::ListEntries(path);
    std::FILE* in = std::fopen(path, "rb");
    if (in == nullptr) {
        return 1;
    }
    std::vector<unsigned char> file;
    unsigned char chunk[1 << 16];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, in)) > 0;) {
        file.insert(file.end(), chunk, chunk + n);
    }
    std::fclose(in);
    const auto work = [&](std::size_t first) {
        bool ok = true;
        libdeflate_decompressor* d = libdeflate_alloc_decompressor();
        std::vector<unsigned char> out(kBlockSize);
        for (std::size_t e = first; e < entries.size(); e += 2) {
            const auto& content = entries[e].content;
            for (std::uint32_t i = 0; content.shared && i < content.pieceCount; ++i) {
                const auto& piece = content.shared->pieces[content.firstPiece + i];
                std::size_t got = 0;
                out.resize(std::max<std::size_t>(out.size(), piece.decodedLength));
                const auto inflate = piece.codec == Kestrune::Codec::Deflate
                                         ? libdeflate_deflate_decompress
                                         : libdeflate_zlib_decompress;
                if (inflate(d, file.data() + piece.offset, piece.codedLength, out.data(),
                            out.size(), &got) != LIBDEFLATE_SUCCESS ||
                    got != piece.decodedLength) {
                    ok = false;
                }
            }
        }
        libdeflate_free_decompressor(d);
        return ok;
    };
    return Kestrune::Bench::TimeOnTwoThreads(work, "inflate");
}

int Deflate(const char* dir) {
    std::vector<std::string> files;
    std::vector<std::filesystem::path> paths;
    for (const auto& item : std::filesystem::recursive_directory_iterator(dir)) {
        if (item.is_regular_file()) {
            paths.push_back(item.path());
        }
    }
    std::sort(paths.begin(), paths.end());
    for (const auto& path : paths) {
        std::ifstream in(path, std::ios::binary);
        files.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    const auto work = [&](std::size_t first) {
        bool ok = true;
        std::vector<unsigned char> out(compressBound(kBlockSize));
        for (std::size_t f = first; f < files.size(); f += 2) {
            const std::string& content = files[f];
            for (std::size_t b = 0; b < content.size(); b += kBlockSize) {
                const std::size_t n = std::min<std::size_t>(kBlockSize, content.size() - b);
                uLongf length = static_cast<uLongf>(out.size());
                if (compress2(out.data(), &length,
                              reinterpret_cast<const Bytef*>(content.data() + b),
                              static_cast<uLong>(n), Z_DEFAULT_COMPRESSION) != Z_OK) {
                    ok = false;
                }
            }
        }
        return ok;
    };
    return Kestrune::Bench::TimeOnTwoThreads(work, "deflate");
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "inflate") {
        return Inflate(argv[2]);
    }
    if (argc == 3 && std::string(argv[1]) == "deflate") {
        return Deflate(argv[2]);
    }
    if (argc < 3) {
        std::fputs("usage: kestrune_unreal_bench_data IN.pak OUT.pak [zlib]\n"
                   "       kestrune_unreal_bench_data inflate PAK\n"
                   "       kestrune_unreal_bench_data deflate DIR\n",
                   stderr);
        return 2;
    }
    const bool zlib = argc > 3 && std::string(argv[3]) == "zlib";
    const auto entries = Kestrune::KestruneEngine::ListEntries(argv[1]);
    std::FILE* in = std::fopen(argv[1], "rb");
    std::FILE* out = std::fopen(argv[2], "wb");
    if (in == nullptr || out == nullptr) {
        return 1;
    }
    std::setvbuf(out, nullptr, _IOFBF, 1 << 20);
    std::uint64_t at = 0;
    std::string blob;
    std::map<std::string, std::vector<std::pair<std::string, std::uint32_t>>> dirs;
    std::string content;
    std::string compressed;
    for (const auto& e : entries) {
        content.resize(e.size);
        std::fseek(in, static_cast<long>(e.offset), SEEK_SET);
        if (std::fread(content.data(), 1, content.size(), in) != content.size()) {
            return 1;
        }
        std::vector<std::string> blocks;
        std::string payload;
        if (zlib && !content.empty()) {
            for (std::size_t b = 0; b < content.size(); b += kBlockSize) {
                const std::size_t n = std::min<std::size_t>(kBlockSize, content.size() - b);
                uLongf length = compressBound(static_cast<uLong>(n));
                compressed.resize(length);
                compress2(reinterpret_cast<Bytef*>(compressed.data()), &length,
                          reinterpret_cast<const Bytef*>(content.data() + b), static_cast<uLong>(n),
                          6);
                blocks.emplace_back(compressed.data(), length);
                payload += blocks.back();
            }
        } else {
            payload = content;
        }
        const bool packed = !blocks.empty();
        const std::uint32_t blockSize =
            packed ? (content.size() <= kBlockSize ? static_cast<std::uint32_t>(content.size())
                                                   : kBlockSize)
                   : 0;
        std::string header;
        Kestrune::AppendU64LE(header, 0);
        Kestrune::AppendU64LE(header, payload.size());
        Kestrune::AppendU64LE(header, content.size());
        Kestrune::AppendU32LE(header, packed ? 1 : 0);
        header += Sha1Text(payload);
        if (packed) {
            Kestrune::AppendU32LE(header, static_cast<std::uint32_t>(blocks.size()));
            std::uint64_t start = 53 + 4 + 16 * blocks.size();
            for (const auto& b : blocks) {
                Kestrune::AppendU64LE(header, start);
                Kestrune::AppendU64LE(header, start + b.size());
                start += b.size();
            }
        }
        header.push_back('\0');
        Kestrune::AppendU32LE(header, blockSize);
        // The encoded form: sizes and the offset in 32 bits where they fit.
        const std::uint32_t location = static_cast<std::uint32_t>(blob.size());
        const bool escape = blockSize % 2048 != 0 || blockSize / 2048 >= 0x3F;
        std::uint32_t bits = escape ? 0x3F : blockSize / 2048;
        bits |= static_cast<std::uint32_t>(blocks.size()) << 6;
        bits |= (packed ? 1u : 0u) << 23;
        bits |= 1u << 29 | 1u << 30 | (at <= 0xFFFFFFFFu ? 1u << 31 : 0u);
        Kestrune::AppendU32LE(blob, bits);
        if (escape) {
            Kestrune::AppendU32LE(blob, blockSize);
        }
        if (at <= 0xFFFFFFFFu) {
            Kestrune::AppendU32LE(blob, static_cast<std::uint32_t>(at));
        } else {
            Kestrune::AppendU64LE(blob, at);
        }
        Kestrune::AppendU32LE(blob, static_cast<std::uint32_t>(content.size()));
        if (packed) {
            Kestrune::AppendU32LE(blob, static_cast<std::uint32_t>(payload.size()));
            if (blocks.size() > 1) {
                for (const auto& b : blocks) {
                    Kestrune::AppendU32LE(blob, static_cast<std::uint32_t>(b.size()));
                }
            }
        }
        const auto slash = e.name.rfind('/');
        dirs[slash == std::string::npos ? "/" : e.name.substr(0, slash + 1)].emplace_back(
            slash == std::string::npos ? e.name : e.name.substr(slash + 1), location);
        std::fwrite(header.data(), 1, header.size(), out);
        std::fwrite(payload.data(), 1, payload.size(), out);
        at += header.size() + payload.size();
    }
    std::string fdi;
    Kestrune::AppendU32LE(fdi, static_cast<std::uint32_t>(dirs.size()));
    for (const auto& [dir, files] : dirs) {
        FString(fdi, dir);
        Kestrune::AppendU32LE(fdi, static_cast<std::uint32_t>(files.size()));
        for (const auto& [file, location] : files) {
            FString(fdi, file);
            Kestrune::AppendU32LE(fdi, location);
        }
    }
    const auto primary = [&](std::uint64_t primarySize) {
        std::string p;
        FString(p, "../../../");
        Kestrune::AppendU32LE(p, static_cast<std::uint32_t>(entries.size()));
        Kestrune::AppendU64LE(p, 0);
        Kestrune::AppendU32LE(p, 0); // no path hash index
        Kestrune::AppendU32LE(p, 1);
        Kestrune::AppendU64LE(p, at + primarySize);
        Kestrune::AppendU64LE(p, fdi.size());
        p += Sha1Text(fdi);
        Kestrune::AppendU32LE(p, static_cast<std::uint32_t>(blob.size()));
        p += blob;
        Kestrune::AppendU32LE(p, 0);
        return p;
    };
    const std::string index = primary(primary(0).size());
    std::string footer(17, '\0');
    Kestrune::AppendU32LE(footer, 0x5A6F12E1);
    Kestrune::AppendU32LE(footer, 11);
    Kestrune::AppendU64LE(footer, at);
    Kestrune::AppendU64LE(footer, index.size());
    footer += Sha1Text(index);
    std::string names(5 * 32, '\0');
    if (zlib) {
        names.replace(0, 4, "Zlib");
    }
    footer += names;
    std::fwrite(index.data(), 1, index.size(), out);
    std::fwrite(fdi.data(), 1, fdi.size(), out);
    std::fwrite(footer.data(), 1, footer.size(), out);
    std::fclose(in);
    return std::fclose(out) == 0 ? 0 : 1;
}
