// kestrune_fuzz_seeds DIR: writes the seed corpus for the fuzz targets into
// DIR. The seeds are valid packages of a few entries each, built field by
// field, and the sample package as the tool itself writes it, so that the
// fuzzers start from inputs that reach deep into the readers instead of
// spending their first minutes discovering the footer.
//
// fuzz_extract offers every input, as a VPK's numbered part 0, beside itself
// (its other parts stay missing); the VPK seeds that name part 0 point into
// their own first bytes, so that those entries come out whole.

#include "ByteOrder.h"
#include "KestruneEngine.h"
#include "support/IoStoreBuilder.h"
#include "support/PackageBuilder.h"
#include "support/UnityBuilder.h"
#include "support/UnrealPakBuilder.h"
#include "support/ZipBuilder.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <lz4.h>
#include <lzma.h>
#include <mbedtls/aes.h>
#include <string>
#include <utility>
#include <vector>
#include <zlib.h>
#include <zstd.h>

namespace {

using Kestrune::Testing::Bytes;
using Kestrune::Testing::PackBuilder;
using Kestrune::Testing::PakBuilder;
using Kestrune::Testing::VpkBuilder;
using Kestrune::Testing::WadBuilder;
using namespace std::literals;

void PutU32(std::string& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<char>(value >> (8 * i)));
    }
}

// `text` as codec number `codec` of the content layer (Stored, Zlib, Gzip,
// Deflate, LZ4, LZMA, LZMA alone, Zstd, Oodle) makes it; Oodle's bytes are
// left as they are, for there is no encoder to make them.
std::string Encoded(std::uint8_t codec, const std::string& text) {
    std::string out(text.size() * 2 + 1024, '\0');
    auto* to = reinterpret_cast<unsigned char*>(out.data());
    const auto* from = reinterpret_cast<const unsigned char*>(text.data());
    if (codec >= 1 && codec <= 3) {
        z_stream z{};
        const int bits = codec == 1 ? 15 : codec == 2 ? 31 : -15;
        deflateInit2(&z, 6, Z_DEFLATED, bits, 8, Z_DEFAULT_STRATEGY);
        z.next_in = const_cast<Bytef*>(from);
        z.avail_in = static_cast<uInt>(text.size());
        z.next_out = to;
        z.avail_out = static_cast<uInt>(out.size());
        deflate(&z, Z_FINISH);
        out.resize(z.total_out);
        deflateEnd(&z);
    } else if (codec == 4) {
        out.resize(static_cast<std::size_t>(LZ4_compress_default(
            text.data(), out.data(), static_cast<int>(text.size()), static_cast<int>(out.size()))));
    } else if (codec == 5 || codec == 6) {
        lzma_options_lzma options{};
        lzma_lzma_preset(&options, 1);
        lzma_stream stream = LZMA_STREAM_INIT;
        std::size_t header = 0;
        lzma_ret started = LZMA_OK;
        if (codec == 6) {
            started = lzma_alone_encoder(&stream, &options);
        } else {
            const lzma_filter plain{LZMA_FILTER_LZMA1, &options};
            lzma_properties_encode(&plain, to);
            header = 5;
            options.ext_size_low = static_cast<std::uint32_t>(text.size());
            const lzma_filter chain[2] = {{LZMA_FILTER_LZMA1EXT, &options},
                                          {LZMA_VLI_UNKNOWN, nullptr}};
            started = lzma_raw_encoder(&stream, chain);
        }
        if (started != LZMA_OK) {
            return text;
        }
        stream.next_in = from;
        stream.avail_in = text.size();
        stream.next_out = to + header;
        stream.avail_out = out.size() - header;
        while (lzma_code(&stream, LZMA_FINISH) == LZMA_OK) {
        }
        out.resize(header + stream.total_out);
        lzma_end(&stream);
    } else if (codec == 7) {
        out.resize(ZSTD_compress(out.data(), out.size(), text.data(), text.size(), 3));
    } else {
        out = text;
    }
    return out;
}

// fuzz_extract's way into the codecs (fuzz/FuzzPieces.h): one piece of
// `codec`, encrypted with the harness's key when asked, and three entries
// over it: the whole, a slice shared with the next, and one with a SHA-1.
std::string PiecesSeed(std::uint8_t codec, bool encrypted) {
    std::string text;
    for (int i = 0; i < 40; ++i) {
        text += "line " + std::to_string(i) + " of the seed's content\n";
    }
    std::string stored = Encoded(codec, text);
    const auto coded = static_cast<std::uint32_t>(stored.size());
    if (encrypted) {
        stored.resize((stored.size() + 15) / 16 * 16);
        const unsigned char key[32] = {'k', 'e', 's', 't', 'r', 'u', 'n', 'e'};
        mbedtls_aes_context aes;
        mbedtls_aes_init(&aes);
        mbedtls_aes_setkey_enc(&aes, key, 256);
        auto* bytes = reinterpret_cast<unsigned char*>(stored.data());
        for (std::size_t at = 0; at < stored.size(); at += 16) {
            mbedtls_aes_crypt_ecb(&aes, MBEDTLS_AES_ENCRYPT, bytes + at, bytes + at);
        }
        mbedtls_aes_free(&aes);
    }
    std::string seed = "KPCS";
    seed.push_back(1);
    seed.push_back(static_cast<char>(codec));
    seed.push_back(encrypted ? 1 : 0);
    PutU32(seed, static_cast<std::uint32_t>(stored.size()));
    PutU32(seed, coded);
    PutU32(seed, static_cast<std::uint32_t>(text.size()));
    seed.push_back(3);
    const std::uint32_t entries[3][3] = {
        {0, static_cast<std::uint32_t>(text.size()), 0}, {10, 100, 0}, {0, 50, 1}};
    for (const auto& entry : entries) {
        seed.push_back(0);
        seed.push_back(1);
        PutU32(seed, entry[0]);
        PutU32(seed, entry[1]);
        seed.push_back(static_cast<char>(entry[2]));
    }
    return seed + stored;
}

std::vector<std::pair<std::string, std::string>> Seeds() {
    std::vector<std::pair<std::string, std::string>> seeds;

    PakBuilder pak;
    pak.add("textures/wall/brick.png", "\x89PNG....")
        .add("mesh.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n")
        .add("config.json", "{\"name\":\"crate\"}\n");
    seeds.emplace_back("pak-three-entries.pak", pak.build());

    PakBuilder awkward; // names extraction must treat with care
    awkward.add("a/b", "first").add("a_b", "second").add("THINGS", "1").add("THINGS", "2");
    awkward.add("", "empty name").add("..", "up").add(std::string("nul\0name", 8), "nul");
    awkward.add("zero", "");
    seeds.emplace_back("pak-awkward-names.pak", awkward.build());

    PakBuilder pastTheEnd; // one entry runs past the package's end
    pastTheEnd.add("whole", "abc");
    pastTheEnd.record({"cut", 1, 64, 64});
    pastTheEnd.record({"far", 1ULL << 40, 8, 8});
    seeds.emplace_back("pak-past-the-end.pak", pastTheEnd.build());

    // The smallest valid container: an empty index and the footer.
    seeds.emplace_back("pak-empty.pak",
                       Bytes().u32(0).str() + PakBuilder::footer(0x5A6F12E1, 0, 4));

    // A VPK signature at the start and a PAK footer at the end.
    PakBuilder vpk;
    vpk.add("vpk-head", "\x34\x12\xAA\x55"sv).add("rest", "data");
    seeds.emplace_back("vpk-with-pak-footer.pak", vpk.build());

    WadBuilder wad;
    wad.lump("MAP01", "").lump("THINGS", "0123456789").lump("LINEDEFS", "abcdefghijklmn");
    wad.lump("MAP02", "").lump("THINGS", "9876543210").lump("LINEDEFS", "zyx");
    seeds.emplace_back("pwad-two-maps.wad", wad.build());

    WadBuilder iwad;
    iwad.signature = "IWAD";
    iwad.lump("PLAYPAL", std::string(48, '\x10')).lump("\0\0\0\0"sv, "x").lump("E\0XY"sv, "y");
    seeds.emplace_back("iwad-odd-names.wad", iwad.build());

    seeds.emplace_back("vpk-signature-only.vpk", "\x34\x12\xAA\x55\x02\0\0\0"s);

    // VPKs of both versions: data after the tree, preload bytes alone and
    // before data, the root (" ") and no extension (" "), and entries in
    // numbered parts 0 and 1.
    for (const std::uint32_t version : {1u, 2u}) {
        VpkBuilder dir;
        dir.version = version;
        dir.add("materials/brick", "wall", "vmt", "\"LightmappedGeneric\" {}\n");
        dir.add("materials/brick", "floor", "vmt", "preloaded and stored", 9);
        dir.add(" ", "readme", "txt", "all in preload bytes", 20);
        dir.add("bin", "noext", " ", "no extension");
        dir.add(" ", "bare", " ", "");
        dir.add("sound", "signature", "wav", "\x34\x12\xAA\x55"sv, 0, 0);
        dir.add("sound", "version", "wav", "pre" + Bytes().u32(version).str(), 3, 0);
        dir.add("maps", "far", "bsp", "in part one", 2, 1);
        seeds.emplace_back("vpk-v" + std::to_string(version) + "-dir.vpk", dir.build());
    }

    VpkBuilder badCrc; // one entry's stored CRC32 does not match its bytes
    badCrc.add("scripts", "good", "txt", "checks out", 3);
    badCrc.add("scripts", "bad", "txt", "does not check out", 4).crc(0x12345678);
    badCrc.add("scripts", "empty", "txt", "").crc(1);
    seeds.emplace_back("vpk-bad-crc-dir.vpk", badCrc.build());

    PackBuilder pack;
    pack.add("maps/e1m1.bsp", "BSP data").add("progs.dat", "progs").add("gfx/palette.lmp", "");
    pack.add(std::string(56, 'n'), "a name filling its whole field");
    seeds.emplace_back("pack-four-entries.pak", pack.build());
    seeds.emplace_back("pack-empty.pak", PackBuilder().build());
    for (std::uint8_t codec = 0; codec < 9; ++codec) {
        seeds.emplace_back("pieces-codec-" + std::to_string(codec) + ".bin",
                           PiecesSeed(codec, false));
    }
    seeds.emplace_back("pieces-zlib-encrypted.bin", PiecesSeed(1, true));
    // Unreal paks of every version (8a and 8b apart): a stored entry, a
    // compressed one of several blocks, and from version 10 a non-encoded one;
    // from 12 a name outside ASCII, from 13 the flat directory index.
    constexpr std::uint32_t kEightA = 16; // after the newest version
    for (std::uint32_t version = 1; version <= kEightA; ++version) {
        Kestrune::Testing::UnrealPakLayout layout;
        layout.version = version == kEightA ? 8 : version;
        layout.v8a = version == kEightA;
        layout.mount = "../../../Game/";
        const std::string method = version >= 3 ? "Zlib" : "None";
        const std::vector<Kestrune::Testing::UnrealFile> files = {
            {"Content/a.uasset", std::string(5000, 'a') + "tail", method, false, 2048},
            {"b.ini", "[Section]\nKey=Value\n", "None", false, 65536, version >= 10},
            {"Config/Gr\xC3\xBC\xC3\x9F"
             "e.ini",
             "x", "None", false, 65536},
        };
        seeds.emplace_back("unreal-v" + std::to_string(version == kEightA ? 8 : version) +
                               (version == kEightA ? "a" : "") + ".pak",
                           Kestrune::Testing::BuildUnrealPak(layout, files));
    }
    // Version 13 with the classic directory index, which it may keep.
    Kestrune::Testing::UnrealPakLayout classic;
    classic.version = 13;
    classic.classicDirectory = true;
    seeds.emplace_back(
        "unreal-v13-classic.pak",
        Kestrune::Testing::BuildUnrealPak(classic, {{"d/a.txt", "hello", "Zlib", false, 65536},
                                                    {"b.txt", "x", "None", false, 65536}}));

    // IoStore TOCs of every version: named and unnamed chunks, zlib blocks,
    // and from version 10 AES-CTR with the directory index encrypted. Each
    // TOC alone (its .ucas missing), and, unencrypted, the TOC followed by
    // its .ucas with every block's offset moved past the TOC: fuzz_extract
    // writes its input as the container's .ucas too, so those reach the
    // chunks' blocks.
    for (std::uint8_t version = 1; version <= 10; ++version) {
        Kestrune::Testing::IoStoreLayout layout;
        layout.version = version;
        layout.method = version % 2 == 0 ? "Zlib" : "None";
        layout.cipher = version == 10 ? 2 : 0;
        layout.key = Kestrune::Testing::TestAesKey{};
        const std::vector<Kestrune::Testing::IoChunk> chunks = {
            {"Maps/Level.umap", std::string(700, 'm'), 1},
            {"Maps/Level.ubulk", "bulk", 2},
            {"", std::string(300, 's'), 9},
        };
        const Kestrune::Testing::IoStoreFiles files =
            Kestrune::Testing::BuildIoStore(layout, chunks);
        seeds.emplace_back("iostore-v" + std::to_string(version) + ".utoc", files.toc);
        if (layout.cipher == 0 && files.partitions.size() == 1) {
            std::string whole = files.toc;
            const auto* header = reinterpret_cast<const unsigned char*>(whole.data());
            const std::uint32_t blocks = Kestrune::LoadU32LE(header + 28);
            for (std::uint32_t b = 0; b < blocks; ++b) {
                const std::size_t at = files.blocksOffset + 12 * std::size_t{b};
                std::uint64_t offset = 0;
                for (std::size_t k = 0; k < 5; ++k) {
                    offset |= std::uint64_t{static_cast<unsigned char>(whole[at + k])} << (8 * k);
                }
                offset += files.toc.size();
                for (std::size_t k = 0; k < 5; ++k) {
                    whole[at + k] = static_cast<char>((offset >> (8 * k)) & 0xFF);
                }
            }
            whole += files.partitions[0];
            seeds.emplace_back("iostore-whole-v" + std::to_string(version) + ".utoc", whole);
        }
    }

    using Kestrune::Testing::UnityFsOptions;
    using Kestrune::Testing::UnityNode;
    const std::vector<UnityNode> nodes{
        {"CAB-0123456789abcdef0123456789abcdef",
         Kestrune::Testing::BuildSerializedFile(17, true, "banner", "text", "assets/a.txt"), 4},
        {"CAB-0123456789abcdef0123456789abcdef.resS", std::string(3000, 'r'), 0}};
    for (const std::uint32_t method : {0u, 1u, 2u, 3u}) {
        seeds.emplace_back(
            "unity-fs6-m" + std::to_string(method) + ".bundle",
            Kestrune::Testing::BuildUnityFs(nodes, {.infoMethod = method == 1 ? 0u : method,
                                                    .blockMethod = method,
                                                    .blockSize = 1024}));
    }
    seeds.emplace_back("unity-fs7-end.bundle",
                       Kestrune::Testing::BuildUnityFs(
                           nodes, {.format = 7, .engine = "2020.1.0f1", .infoAtEnd = true}));
    seeds.emplace_back("unity-fs8-padded.bundle",
                       Kestrune::Testing::BuildUnityFs(
                           nodes, {.format = 8, .engine = "2022.3.5f1", .extraFlags = 0x200}));
    for (const std::uint32_t version : {15u, 19u, 22u}) {
        seeds.emplace_back(
            "unity-sf" + std::to_string(version) + ".bundle",
            Kestrune::Testing::BuildUnityFs({{"CAB-s",
                                              Kestrune::Testing::BuildSerializedFile(
                                                  version, version != 19, "n", "t", "assets/b"),
                                              4}},
                                            {.blockMethod = 0}));
    }
    // Standalone serialized files, as a player's data folder holds them:
    // with type trees and without (read by the class layouts of their
    // engine version), in each header form.
    for (const std::uint32_t version : {9u, 15u, 17u, 21u, 22u}) {
        for (const bool trees : {true, false}) {
            seeds.emplace_back(
                "sharedassets" + std::to_string(version) + (trees ? "t" : "") + ".assets",
                Kestrune::Testing::BuildSerializedFile(version, trees, "n", "t", "assets/c"));
        }
    }
    // WebGL data containers, plain and compressed whole as the builds write
    // them, holding a bundle and a standalone file.
    const std::string webData = Kestrune::Testing::BuildWebData(
        {{"data.unity3d", Kestrune::Testing::BuildUnityFs(nodes)},
         {"Resources/unity_default_resources",
          Kestrune::Testing::BuildSerializedFile(22, false, "n", "t", "assets/d")},
         {"boot.config", "gfx-enable-gfx-jobs=1\n"}});
    seeds.emplace_back("webgl.data", webData);
    seeds.emplace_back("webgl.data.gz", Kestrune::Testing::GzipWhole(webData));
    seeds.emplace_back("webgl.data.br", Kestrune::Testing::BrotliWhole(webData));
    // The parts of a split file: the first alone states more bytes than it
    // holds; a later one starts anywhere.
    const std::string level = Kestrune::Testing::BuildSerializedFile(21, false, "n", "t", "a/l");
    seeds.emplace_back("level0.split0", level.substr(0, level.size() / 2));
    seeds.emplace_back("level0.split1", level.substr(level.size() / 2));
    seeds.emplace_back("unity-raw.unity3d", Kestrune::Testing::BuildUnityWeb(nodes, false));
    seeds.emplace_back("unity-web.unity3d", Kestrune::Testing::BuildUnityWeb(nodes, true));

    // ZIP archives: an entry of every method the tool decodes, one it does
    // not and an encrypted one; ZIP64 with data descriptors, a prefix, a
    // comment and names in both encodings.
    using Kestrune::Testing::ZipFile;
    std::vector<ZipFile> methods;
    for (const std::uint16_t method :
         std::initializer_list<std::uint16_t>{0, 8, 12, 14, 93, 95, 9}) {
        methods.push_back(
            {"m" + std::to_string(method) + "/a.txt", std::string(600, 'z') + "tail", method});
    }
    methods.push_back({"locked.bin", "secret", 8, 1});
    seeds.emplace_back("zip-methods.pk3", Kestrune::Testing::BuildZip(methods));
    ZipFile wide{"maps\\e1m1.bsp", std::string(3000, 'm') + "end", 8};
    wide.zip64 = true;
    wide.descriptor = true;
    seeds.emplace_back(
        "zip64-framed.zip",
        Kestrune::Testing::BuildZip({wide,
                                     {"\x81"
                                      "ber.txt",
                                      "cp437", 0},
                                     {"maps/", ""},
                                     {"\xE5\x90\x8D", "utf8", 0, 0x800}},
                                    {.prefix = "MZ stub", .comment = "comment", .zip64End = true}));
    return seeds;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argc > 0 ? argv[0] : "kestrune_fuzz_seeds");
        return 1;
    }
    const std::filesystem::path dir = argv[1];
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    for (const auto& [name, bytes] : Seeds()) {
        std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) {
            std::fprintf(stderr, "cannot write %s\n", (dir / name).c_str());
            return 1;
        }
    }
    if (!Kestrune::KestruneEngine::CreateSamplePackage((dir / "sample.pak").string())) {
        std::fprintf(stderr, "cannot write %s\n", (dir / "sample.pak").c_str());
        return 1;
    }
    return 0;
}
