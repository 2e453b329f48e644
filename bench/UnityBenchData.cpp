// kestrune_unity_bench_data, the Unity bundles of bench/run.sh and their
// yardsticks:
//   lz4hc IN.pak OUT.bundle   the entries of one of our own containers (as
//                             GenerateBenchData writes them) as a UnityFS
//                             bundle of 128 KiB LZ4HC blocks
//   lzma BYTES SEED OUT.bundle one node of BYTES in one LZMA block
//   folder COUNT DIR          a player's data folder: level0 to level<COUNT-1>,
//                             each a serialized file of one small TextAsset
//                             that states the stripped version 0.0.0, and
//                             the globalgamemanagers that states 2019.4.40f1
//   export TEXTURES MESHES DIR the same objects twice, as a player keeps them
//                             and as a bundle: DIR/folder/sharedassetsK.assets
//                             without type trees (read by the layouts of
//                             2019.4.31f1), each with its .resS of texture
//                             pixels, and DIR/twin.bundle, uncompressed, whose
//                             serialized files carry the same objects with
//                             those layouts as type trees
//   decode BUNDLE             times liblz4 or liblzma alone decoding every
//                             block of a bundle written here (one thread,
//                             output discarded) and prints the seconds
// The bundle is format 6, block info stored at the start, as Unity 2018
// writes it; its numbers are big-endian.

#include "KestruneEngine.h"
#include "support/UnityBuilder.h"
#include "support/UnityMeshBuilder.h"
#include "unity/UnityLayouts.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <lz4.h>
#include <lz4hc.h>
#include <lzma.h>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t kBlockSize = 128 * 1024;
constexpr std::uint16_t kLzma = 1;
constexpr std::uint16_t kLz4hc = 3;
constexpr std::uint16_t kStreamedFlag = 0x40;
constexpr std::uint32_t kInfoFlags = 0x40; // block info present, stored, at the start
constexpr std::size_t kHashSize = 16;

struct Big {
    std::string out;
    Big& u(std::uint64_t v, int bytes) {
        for (int i = bytes - 1; i >= 0; --i) {
            out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
        }
        return *this;
    }
    Big& cstr(const std::string& s) {
        out += s;
        out.push_back('\0');
        return *this;
    }
};

struct Block {
    std::uint32_t decoded;
    std::string coded;
    std::uint16_t method;
};
struct Node {
    std::uint64_t offset, size;
    std::string path;
};

void WriteBundle(const std::string& path, const std::vector<Block>& blocks,
                 const std::vector<Node>& nodes) {
    Big info;
    info.out.assign(kHashSize, '\0');
    info.u(blocks.size(), 4);
    for (const Block& b : blocks) {
        info.u(b.decoded, 4).u(b.coded.size(), 4).u(b.method | kStreamedFlag, 2);
    }
    info.u(nodes.size(), 4);
    for (const Node& n : nodes) {
        info.u(n.offset, 8).u(n.size, 8).u(0, 4).cstr(n.path);
    }
    const auto header = [&](std::uint64_t total) {
        Big h;
        h.cstr("UnityFS").u(6, 4).cstr("5.x.x").cstr("2018.4.4f1").u(total, 8);
        h.u(info.out.size(), 4).u(info.out.size(), 4).u(kInfoFlags, 4);
        return h.out;
    };
    std::uint64_t total = header(0).size() + info.out.size();
    for (const Block& b : blocks) {
        total += b.coded.size();
    }
    std::ofstream out(path, std::ios::binary);
    out << header(total) << info.out;
    for (const Block& b : blocks) {
        out << b.coded;
    }
    if (!out.flush()) {
        throw std::runtime_error("cannot write " + path);
    }
}

std::string Lz4hc(const std::string& data) {
    std::string out(static_cast<std::size_t>(LZ4_compressBound(static_cast<int>(data.size()))),
                    '\0');
    const int n = LZ4_compress_HC(data.data(), out.data(), static_cast<int>(data.size()),
                                  static_cast<int>(out.size()), LZ4HC_CLEVEL_DEFAULT);
    out.resize(static_cast<std::size_t>(n));
    return out;
}

// Unity's LZMA block: the 5 property bytes, then raw LZMA1 with an end mark.
std::string Lzma(const std::string& data) {
    lzma_options_lzma opts;
    lzma_lzma_preset(&opts, 1);
    lzma_filter filters[] = {{LZMA_FILTER_LZMA1, &opts}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_stream stream = LZMA_STREAM_INIT;
    if (lzma_raw_encoder(&stream, filters) != LZMA_OK) {
        throw std::runtime_error("lzma encoder");
    }
    std::string props(5, '\0');
    lzma_properties_encode(filters, reinterpret_cast<std::uint8_t*>(props.data()));
    std::string out(data.size() + data.size() / 2 + 4096, '\0');
    stream.next_in = reinterpret_cast<const std::uint8_t*>(data.data());
    stream.avail_in = data.size();
    stream.next_out = reinterpret_cast<std::uint8_t*>(out.data());
    stream.avail_out = out.size();
    if (lzma_code(&stream, LZMA_FINISH) != LZMA_STREAM_END) {
        throw std::runtime_error("lzma");
    }
    out.resize(static_cast<std::size_t>(stream.total_out));
    lzma_end(&stream);
    return props + out;
}

int WriteLz4hc(const char* pakPath, const char* bundlePath) {
    const auto entries = Kestrune::KestruneEngine::ListEntries(pakPath);
    std::ifstream in(pakPath, std::ios::binary);
    std::vector<Node> nodes;
    std::vector<Block> blocks;
    std::string data;
    std::string content;
    std::uint64_t at = 0;
    const auto flush = [&](bool all) {
        while (data.size() >= kBlockSize || (all && !data.empty())) {
            const std::string part = data.substr(0, std::min<std::size_t>(kBlockSize, data.size()));
            blocks.push_back({static_cast<std::uint32_t>(part.size()), Lz4hc(part), kLz4hc});
            data.erase(0, part.size());
        }
    };
    for (const auto& e : entries) {
        content.resize(e.size);
        in.seekg(static_cast<std::streamoff>(e.offset));
        if (!in.read(content.data(), static_cast<std::streamsize>(content.size()))) {
            return 1;
        }
        nodes.push_back({at, e.size, e.name});
        at += e.size;
        data += content;
        flush(false);
    }
    flush(true);
    WriteBundle(bundlePath, blocks, nodes);
    return 0;
}

// Assets are neither noise nor zeros: every 4 KiB holds 2 KiB of random
// bytes and 2 KiB of a repeated random phrase.
int WriteLzma(std::uint64_t bytes, std::uint64_t seed, const char* bundlePath) {
    std::string data(bytes, '\0');
    std::uint64_t x = seed | 1;
    const auto next = [&] {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        return x;
    };
    for (std::size_t i = 0; i < data.size(); i += 4096) {
        const std::uint64_t phrase = next();
        for (std::size_t j = i; j < std::min<std::size_t>(data.size(), i + 4096); ++j) {
            data[j] = static_cast<char>((j - i < 2048 ? next() : phrase >> (8 * (j % 8))) & 0xFF);
        }
    }
    WriteBundle(bundlePath, {{static_cast<std::uint32_t>(bytes), Lzma(data), kLzma}},
                {{0, bytes, "CAB-bench.resS"}});
    return 0;
}

std::uint32_t BigU32(const std::string& s, std::size_t at) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        v = v << 8 | static_cast<unsigned char>(s.at(at + i));
    }
    return v;
}

int Decode(const char* bundlePath) {
    std::ifstream in(bundlePath, std::ios::binary);
    const std::string file{std::istreambuf_iterator<char>(in), {}};
    // Header: three strings after the signature's, then total, info sizes, flags.
    std::size_t at = file.find('\0') + 5;
    at = file.find('\0', at) + 1;
    at = file.find('\0', at) + 1 + 8;
    const std::uint32_t infoSize = BigU32(file, at);
    at += 12;
    const std::size_t infoAt = at;
    std::size_t p = infoAt + kHashSize;
    const std::uint32_t count = BigU32(file, p);
    p += 4;
    std::size_t data = infoAt + infoSize;
    std::vector<char> out(kBlockSize);
    std::vector<std::uint8_t> sink(1 << 20);
    const auto start = std::chrono::steady_clock::now();
    std::uint64_t decoded = 0;
    for (std::uint32_t b = 0; b < count; ++b, p += 10) {
        const std::uint32_t size = BigU32(file, p);
        const std::uint32_t stored = BigU32(file, p + 4);
        const auto method =
            static_cast<std::uint16_t>(static_cast<unsigned char>(file[p + 9]) & 0x3F);
        if (method == kLz4hc) {
            out.resize(size);
            const int n = LZ4_decompress_safe(file.data() + data, out.data(),
                                              static_cast<int>(stored), static_cast<int>(size));
            if (n != static_cast<int>(size)) {
                return 1;
            }
            decoded += size;
        } else if (method == kLzma) {
            lzma_options_lzma opts;
            lzma_filter filters[] = {{LZMA_FILTER_LZMA1, &opts}, {LZMA_VLI_UNKNOWN, nullptr}};
            lzma_properties_decode(&filters[0], nullptr,
                                   reinterpret_cast<const std::uint8_t*>(file.data() + data), 5);
            lzma_stream stream = LZMA_STREAM_INIT;
            if (lzma_raw_decoder(&stream, filters) != LZMA_OK) {
                return 1;
            }
            std::free(filters[0].options);
            stream.next_in = reinterpret_cast<const std::uint8_t*>(file.data() + data + 5);
            stream.avail_in = stored - 5;
            lzma_ret ret = LZMA_OK;
            while (ret == LZMA_OK) {
                stream.next_out = sink.data();
                stream.avail_out = sink.size();
                ret = lzma_code(&stream, LZMA_RUN);
                decoded += sink.size() - stream.avail_out;
                if (stream.avail_in == 0 && ret == LZMA_OK && stream.avail_out != 0) {
                    break;
                }
            }
            lzma_end(&stream);
            if (decoded != size) {
                return 1;
            }
        }
        data += stored;
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf("%.3f\n", took.count());
    return decoded == 0 ? 1 : 0;
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) {
        throw std::runtime_error("cannot write " + path);
    }
}

// A serialized file of format 21 (Unity 2019.4), little-endian, without type
// trees, of one TextAsset (class 49) named `name` holding `text`.
std::string SerializedFile(const std::string& unityVersion, const std::string& name,
                           const std::string& text) {
    std::string meta;
    const auto le = [&](std::uint64_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            meta.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
        }
    };
    meta += unityVersion;
    meta.push_back('\0');
    le(5, 4);              // platform
    le(0, 1);              // no type trees
    le(1, 4);              // one type:
    le(49, 4);             // TextAsset,
    le(0, 1);              // not stripped,
    le(0xFFFF, 2);         // no script,
    meta.append(16, '\0'); // its hash
    le(1, 4);              // one object
    while ((20 + meta.size()) % 4 != 0) {
        meta.push_back('\0');
    }
    std::string data;
    const auto string = [&](const std::string& value) {
        for (int i = 0; i < 4; ++i) {
            data.push_back(static_cast<char>((value.size() >> (8 * i)) & 0xFF));
        }
        data += value;
        data.resize((data.size() + 3) / 4 * 4, '\0');
    };
    string(name);
    string(text);
    le(1, 8);             // path ID
    le(0, 4);             // at the start of the data
    le(data.size(), 4);   // its size
    le(0, 4);             // type 0
    le(0, 4);             // no scripts
    le(0, 4);             // no externals
    le(0, 4);             // no reference types
    meta.push_back('\0'); // no user information
    const std::size_t dataOffset = (20 + meta.size() + 15) / 16 * 16;
    Big header;
    header.u(meta.size(), 4).u(dataOffset + data.size(), 4).u(21, 4).u(dataOffset, 4).u(0, 4);
    std::string file = header.out + meta;
    file.resize(dataOffset, '\0');
    return file + data;
}

int WriteFolder(std::uint64_t count, const std::string& dir) {
    WriteBytes(dir + "/globalgamemanagers", SerializedFile("2019.4.40f1", "managers", "m"));
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::string n = std::to_string(i);
        WriteBytes(dir + "/level" + n, SerializedFile("0.0.0", "scene" + n, "text of scene " + n));
    }
    return 0;
}

// Textures of 32 x 32 RGBA32, their pixels streamed from `streamPath`, and
// meshes of a 16 x 16 grid (positions, normals, texture coordinates) kept in
// the object, as a 2019 player writes small ones.
constexpr int kSide = 32;
constexpr std::uint32_t kGrid = 16;
constexpr std::uint64_t kPixelBytes = kSide * kSide * 4;
constexpr int kRgba32 = 4;

Kestrune::Testing::UnityObjectWriter Texture(std::uint64_t i, std::uint64_t offset,
                                             const std::string& streamPath) {
    Kestrune::Testing::UnityObjectWriter w("Texture2D");
    w.String("m_Name", "tex" + std::to_string(i)).I32("m_Width", kSide).I32("m_Height", kSide);
    w.I32("m_CompleteImageSize", kPixelBytes).I32("m_TextureFormat", kRgba32);
    w.I32("m_MipCount", 1).Bool("m_IsReadable", false).Align().Typeless("image data", "");
    w.Begin("StreamingInfo", "m_StreamData").U32("offset", offset).U32("size", kPixelBytes);
    w.String("path", streamPath).End();
    return w;
}

std::string Pixels(std::uint64_t i) {
    std::string pixels(kPixelBytes, '\0');
    for (std::size_t p = 0; p < pixels.size(); ++p) {
        pixels[p] = static_cast<char>((p / 4 * (i + 3) + p % 4 * 85 + (p >> 7) * i) & 0xFF);
    }
    return pixels;
}

Kestrune::Testing::UnityObjectWriter Mesh(std::uint64_t i) {
    using namespace Kestrune::Testing;
    MeshLayout m;
    m.name = "mesh" + std::to_string(i);
    m.channels = Channels({0, 0, 0, 3}, {0, 12, 0, 3}, {0, 24, 0, 2});
    m.vertexCount = kGrid * kGrid;
    MeshBytes vertices;
    for (std::uint32_t y = 0; y < kGrid; ++y) {
        for (std::uint32_t x = 0; x < kGrid; ++x) {
            const auto fx = static_cast<float>(x);
            const auto fy = static_cast<float>(y);
            vertices.f({fx, static_cast<float>((x * y + i) % 7) * 0.25f, fy, 0, 1, 0, fx / kGrid,
                        fy / kGrid});
        }
    }
    m.vertices = vertices.out;
    MeshBytes indices;
    for (std::uint32_t y = 0; y + 1 < kGrid; ++y) {
        for (std::uint32_t x = 0; x + 1 < kGrid; ++x) {
            const std::uint32_t a = y * kGrid + x;
            for (const std::uint32_t v : {a, a + kGrid, a + 1, a + 1, a + kGrid, a + kGrid + 1}) {
                indices.put(v, 2);
            }
        }
    }
    m.indices = indices.out;
    m.submeshes = {{0, static_cast<std::uint32_t>(m.indices.size() / 2), 0, 0}};
    return MeshObject(m);
}

int WriteExportPair(std::uint64_t textures, std::uint64_t meshes, const std::string& dir) {
    using namespace Kestrune;
    constexpr const char* kVersion = "2019.4.31f1";
    constexpr std::uint64_t kTexturesPerFile = 100;
    const auto version = Unity::LayoutVersion(kVersion);
    const auto textureLayout = Unity::LayoutTree(*version, 28);
    const auto meshLayout = Unity::LayoutTree(*version, 43);
    if (!textureLayout || !meshLayout) {
        throw std::runtime_error("no layouts of " + std::string(kVersion));
    }
    const std::uint64_t files =
        std::max<std::uint64_t>(1, (textures + kTexturesPerFile - 1) / kTexturesPerFile);
    std::filesystem::create_directories(dir + "/folder");
    std::vector<Testing::UnityNode> nodes;
    for (std::uint64_t f = 0; f < files; ++f) {
        const std::string name = "sharedassets" + std::to_string(f) + ".assets";
        const std::string cab = "CAB-" + std::to_string(f);
        std::vector<Testing::UnityTestObject> standalone;
        std::vector<Testing::UnityTestObject> twin;
        std::string stream;
        std::int64_t pathId = 1;
        for (std::uint64_t t = f; t < textures; t += files, ++pathId) {
            standalone.push_back(
                {28, pathId, Texture(t, stream.size(), name + ".resS").InLayout(*textureLayout)});
            twin.push_back({28, pathId,
                            Texture(t, stream.size(), "archive:/" + cab + "/" + cab + ".resS")
                                .InLayout(*textureLayout)});
            stream += Pixels(t);
        }
        for (std::uint64_t m = f; m < meshes; m += files, ++pathId) {
            Testing::UnityTestObject mesh{43, pathId, Mesh(m).InLayout(*meshLayout)};
            standalone.push_back(mesh);
            twin.push_back(std::move(mesh));
        }
        WriteBytes(dir + "/folder/" + name,
                   Testing::BuildSerializedFileOf(21, standalone, false, kVersion));
        WriteBytes(dir + "/folder/" + name + ".resS", stream);
        nodes.push_back({cab, Testing::BuildSerializedFileOf(21, twin, true, kVersion), 4});
        nodes.push_back({cab + ".resS", std::move(stream), 0});
    }
    Testing::UnityFsOptions options;
    options.engine = kVersion;
    options.format = 7; // as 2019.4 writes it
    options.blockMethod = 0;
    WriteBytes(dir + "/twin.bundle", Testing::BuildUnityFs(nodes, options));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    try {
        const std::string kind = argc > 1 ? argv[1] : "";
        if (kind == "lz4hc" && argc == 4) {
            return WriteLz4hc(argv[2], argv[3]);
        }
        if (kind == "lzma" && argc == 5) {
            return WriteLzma(std::stoull(argv[2]), std::stoull(argv[3]), argv[4]);
        }
        if (kind == "folder" && argc == 4) {
            return WriteFolder(std::stoull(argv[2]), argv[3]);
        }
        if (kind == "export" && argc == 5) {
            return WriteExportPair(std::stoull(argv[2]), std::stoull(argv[3]), argv[4]);
        }
        if (kind == "decode" && argc == 3) {
            return Decode(argv[2]);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kestrune_unity_bench_data: %s\n", e.what());
        return 1;
    }
    std::fputs("usage: kestrune_unity_bench_data lz4hc IN.pak OUT.bundle\n"
               "       kestrune_unity_bench_data lzma BYTES SEED OUT.bundle\n"
               "       kestrune_unity_bench_data folder COUNT DIR\n"
               "       kestrune_unity_bench_data export TEXTURES MESHES DIR\n"
               "       kestrune_unity_bench_data decode BUNDLE\n",
               stderr);
    return 2;
}
