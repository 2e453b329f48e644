// IoStore containers built in code: every TOC version, compression, cipher
// and partitioning round trips through listing, copying, checking and
// extraction; hostile tables are refused by name or fail the chunks they
// touch; BLAKE3 matches the official test vectors.

#include "Blake3.h"
#include "ByteSource.h"
#include "Detect.h"
#include "KestruneEngine.h"
#include "support/Files.h"
#include "support/IoStoreBuilder.h"
#include "support/Process.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace Kestrune {
namespace {

using Testing::IoChunk;
using Testing::IoStoreLayout;

const Testing::TestAesKey kKey = [] {
    Testing::TestAesKey key{};
    for (std::size_t i = 0; i < key.size(); ++i) {
        key[i] = static_cast<unsigned char>(i * 11 + 5);
    }
    return key;
}();

std::string Pattern(std::size_t size, int seed) {
    std::string out(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        out[i] = static_cast<char>((i * 37 + static_cast<std::size_t>(seed)) % 253 % (i % 5 + 2));
    }
    return out;
}

std::string Hex(std::span<const unsigned char> bytes) {
    std::string text;
    for (const unsigned char b : bytes) {
        text += "0123456789abcdef"[b >> 4];
        text += "0123456789abcdef"[b & 15];
    }
    return text;
}

TEST(Blake3, MatchesTheOfficialVectors) {
    // Input: bytes 0, 1, ..., 250, 0, 1, ...; the first 32 bytes of each hash.
    const std::pair<std::size_t, const char*> vectors[] = {
        {0, "af1349b9f5f9a1a6a0404dea36dcc9499bcb25c9adc112b7cc9a93cae41f3262"},
        {1, "2d3adedff11b61f14c886e35afa036736dcd87a74d27b5c1510225d0f592e213"},
        {1023, "10108970eeda3eb932baac1428c7a2163b0e924c9a9e25b35bba72b28f70bd11"},
        {1024, "42214739f095a406f3fc83deb889744ac00df831c10daa55189b5d121c855af7"},
        {1025, "d00278ae47eb27b34faecf67b4fe263f82d5412916c1ffd97c8cb7fb814b8444"},
        {2049, "5f4d72f40d7a5f82b15ca2b2e44b1de3c2ef86c426c95c1af0b6879522563030"},
        {3072, "b98cb0ff3623be03326b373de6b9095218513e64f1ee2edd2525c7ad1e5cffd2"},
        {4097, "9b4052b38f1c5fc8b1f9ff7ac7b27cd242487b3d890d15c96a1c25b8aa0fb995"},
        {7169, "a003fc7a51754a9b3c7fae0367ab3d782dccf28855a03d435f8cfe74605e7817"},
        {8193, "bab6c09cb8ce8cf459261398d2e7aef35700bf488116ceb94a36d0f5f1b7bc3b"},
        {31744, "62b6960e1a44bcc1eb1a611a8d6235b6b4b78f32e7abc4fb4c6cdcce94895c47"},
        {102400, "bc3e3d41a1146b069abffad3c0d44860cf664390afce4d9661f7902e7943e085"},
    };
    for (const auto& [length, expected] : vectors) {
        SCOPED_TRACE(length);
        std::vector<unsigned char> input(length);
        for (std::size_t i = 0; i < length; ++i) {
            input[i] = static_cast<unsigned char>(i % 251);
        }
        EXPECT_EQ(Hex(Blake3(input)), expected);
        // In uneven pieces, as content arrives from blocks.
        Blake3Hasher hasher;
        for (std::size_t at = 0, step = 1; at < length; step = step * 7 % 1500 + 1) {
            const std::size_t take = std::min(step, length - at);
            hasher.Update(std::span(input).subspan(at, take));
            at += take;
        }
        EXPECT_EQ(Hex(hasher.Finish()), expected);
    }
}

TEST(Blake3, AgreesWithDebiansB3sum) {
#ifdef _WIN32
    GTEST_SKIP() << "b3sum is checked on Debian";
#else
    if (std::system("b3sum --version >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "b3sum is not installed (Debian package b3sum)";
    }
    const Testing::TempDir dir;
    for (const std::size_t length :
         {std::size_t{5}, std::size_t{64 * 1024 + 17}, std::size_t{1 << 20}}) {
        SCOPED_TRACE(length);
        const std::string bytes = Pattern(length, static_cast<int>(length));
        Testing::WriteFile(dir.file("input"), bytes);
        FILE* pipe = popen(("b3sum --no-names '" + dir.file("input") + "'").c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        char line[80] = {};
        ASSERT_NE(std::fgets(line, sizeof line, pipe), nullptr);
        pclose(pipe);
        EXPECT_EQ(std::string(line, 64),
                  Hex(Blake3(std::span(reinterpret_cast<const unsigned char*>(bytes.data()),
                                       bytes.size()))));
    }
#endif
}

std::vector<IoChunk> SampleChunks() {
    return {
        {"Maps/Level.umap", Pattern(1000, 1), 1},
        {"Maps/Level.ubulk", Pattern(700, 2), 2},
        {"Textures/Ünï名.uasset", Pattern(256, 3), 1},
        {"", Pattern(300, 4), 9},
        {"", Pattern(40, 5), 6},
    };
}

struct RoundTrip {
    std::uint8_t version;
    std::string method;
    std::uint8_t cipher;
    std::uint64_t partitionSize;
};

std::vector<RoundTrip> RoundTrips() {
    std::vector<RoundTrip> rows;
    for (std::uint8_t v = 1; v <= 10; ++v) {
        rows.push_back({v, "None", 0, 0});
        rows.push_back({v, "Zlib", 0, 0});
        rows.push_back({v, "Zlib", 1, 0});
        if (v >= 3) {
            rows.push_back({v, "None", 0, 1024});
        }
        if (v >= 8) {
            rows.push_back({v, "LZ4", 0, 0});
            rows.push_back({v, "Oodle", 0, 1024}); // through the tests' stand-in
        }
    }
    rows.push_back({10, "Zlib", 2, 0});
    rows.push_back({10, "None", 2, 1024});
    return rows;
}

class IoStoreRoundTrip : public testing::TestWithParam<RoundTrip> {};

TEST_P(IoStoreRoundTrip, ListsCopiesChecksAndExtracts) {
    const RoundTrip& row = GetParam();
    IoStoreLayout layout;
    layout.version = row.version;
    layout.method = row.method;
    layout.cipher = row.cipher;
    layout.key = kKey;
    layout.partitionSize = row.partitionSize;
    const std::vector<IoChunk> chunks = SampleChunks();
    const Testing::TempDir dir;
    const auto files = Testing::BuildIoStore(layout, chunks);
    if (row.partitionSize > 0) {
        ASSERT_GT(files.partitions.size(), 1u);
    }
    Testing::WriteIoStore(dir.file("pakchunk0"), files);
    const std::string path = dir.file("pakchunk0.utoc");
    ReadOptions options;
    // The wrong key first: the directory index picks the right one.
    options.aesKeys = {AesKey{}, kKey};
    if (row.cipher != 0 && row.version < 2) {
        options.aesKeys = {kKey}; // no index to pick by
    }
    options.oodleLibrary = KESTRUNE_OODLE_STANDIN;
    const PackageSummary summary = KestruneEngine::Examine(path, options);
    EXPECT_EQ(summary.walk.kind, PackageKind::IoStore);
    ASSERT_EQ(summary.walk.refusal, "");
    const auto entries = KestruneEngine::ListEntries(path, options);
    ASSERT_EQ(entries.size(), chunks.size());
    const bool named = row.version >= 2;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        SCOPED_TRACE(i);
        const ArchiveEntry& entry = entries[i];
        if (named && !chunks[i].path.empty()) {
            EXPECT_EQ(entry.name, "Proj/Content/" + chunks[i].path);
        } else {
            EXPECT_EQ(entry.name.size(), 24u + 1 + entry.name.substr(25).size());
        }
        EXPECT_EQ(entry.size, chunks[i].content.size());
        EXPECT_EQ(entry.compression, row.method);
        EXPECT_EQ(entry.encrypted, row.cipher != 0);
        std::string copied;
        const EntryCopy copy = KestruneEngine::CopyEntryContent(
            path, entry.name,
            [&](const unsigned char* data, std::size_t length) {
                copied.append(reinterpret_cast<const char*>(data), length);
                return true;
            },
            options);
        EXPECT_FALSE(copy.failure) << *copy.failure;
        EXPECT_EQ(copied, chunks[i].content);
    }
    if (row.version == 8) {
        EXPECT_EQ(entries[3].name.substr(24), ".ShaderCode");
    } else if (row.version == 3) {
        EXPECT_EQ(entries[4].name.substr(24), ".LoaderGlobalMeta");
    }
    std::vector<std::string> damaged;
    const PackageCheck check = KestruneEngine::TestPackage(
        path, [&](const DamagedEntry& d) { damaged.push_back(d.reason); }, options);
    EXPECT_EQ(check.damagedCount, 0u) << (damaged.empty() ? "" : damaged[0]);
    EXPECT_EQ(check.bytesExtracted, 2296u);
    ExtractionReport report;
    EXPECT_TRUE(KestruneEngine::ExtractAll(path, dir.file("out"), &report, {}, options,
                                           OutputLayout::Tree));
    EXPECT_EQ(report.entriesWritten, chunks.size());
    if (named) {
        EXPECT_EQ(Testing::ReadOutputFile(dir.file("out"), "Proj/Content/Maps/Level.ubulk"),
                  chunks[1].content);
    }
}

std::string Name(const testing::TestParamInfo<RoundTrip>& info) {
    const RoundTrip& r = info.param;
    return "v" + std::to_string(r.version) + "_" + r.method +
           (r.cipher == 1   ? "_Ecb"
            : r.cipher == 2 ? "_Ctr"
                            : "") +
           (r.partitionSize > 0 ? "_Partitioned" : "");
}

INSTANTIATE_TEST_SUITE_P(Versions, IoStoreRoundTrip, testing::ValuesIn(RoundTrips()), Name);

// Puts a little-endian value into the TOC at `at`.
void Poke(std::string& bytes, std::size_t at, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) {
        bytes[at + static_cast<std::size_t>(i)] = static_cast<char>(value >> (8 * i));
    }
}

// The directory index of SampleChunks() under the default mount point:
// FString (4 + 23 bytes), then the directories from byte 27 (a count, then
// 16 bytes each: name, child, sibling, file), root, Maps, Textures; then 3
// files of 12 bytes from byte 79 (name, next, chunk).
constexpr std::size_t kDirs = 31;
constexpr std::size_t kFiles = 31 + 48 + 4;

struct Hostile {
    const char* what;
    std::function<void(IoStoreLayout&)> change;
    std::string refusal; // non-empty: the container is refused with it
    std::string damage;  // otherwise: the first damaged chunk's reason holds this
    std::function<void(Testing::IoStoreFiles&)> files = {};
    bool wrongKey = false;
};

TEST(IoStoreHostile, EachTableIsRefusedByNameOrFailsItsChunks) {
    const std::vector<Hostile> rows = {
        {"version above 10", [](auto& l) { l.editToc = [](auto& t) { t[16] = 11; }; },
         "TOC version 11 is not read", ""},
        {"version 0", [](auto& l) { l.editToc = [](auto& t) { t[16] = 0; }; },
         "TOC version 0 is not read", ""},
        {"header size", [](auto& l) { l.editToc = [](auto& t) { Poke(t, 20, 145, 4); }; },
         "a TOC header of 145 bytes is not read (144 expected)", ""},
        {"doubled magic", [](auto& l) { l.editToc = [](auto& t) { t = "-==--==--==--==-" + t; }; },
         "the magic is written twice", ""},
        {"chunk count beyond the file",
         [](auto& l) { l.editToc = [](auto& t) { Poke(t, 24, 0x7FFFFFFF, 4); }; },
         "the TOC is cut short in its chunk ids", ""},
        {"block count beyond the file",
         [](auto& l) { l.editToc = [](auto& t) { Poke(t, 28, 0xFFFFFFFF, 4); }; },
         "the TOC is cut short in its compression blocks", ""},
        {"directory index beyond the file",
         [](auto& l) { l.editToc = [](auto& t) { Poke(t, 48, 0xFFFFFF00, 4); }; },
         "the TOC is cut short in its directory index", ""},
        {"block size 0", [](auto& l) { l.editToc = [](auto& t) { Poke(t, 44, 0, 4); }; },
         "the compression block size is 0", ""},
        {"child loops to the root",
         [](auto& l) { l.editIndex = [](auto& x) { Poke(x, kDirs + 16 + 4, 0, 4); }; },
         "the directory index is malformed", ""},
        {"sibling loops to itself",
         [](auto& l) { l.editIndex = [](auto& x) { Poke(x, kDirs + 32 + 8, 2, 4); }; },
         "the directory index is malformed", ""},
        {"cross-linked directories",
         [](auto& l) { l.editIndex = [](auto& x) { Poke(x, kDirs + 32 + 4, 1, 4); }; },
         "the directory index is malformed", ""},
        {"file list loops",
         [](auto& l) { l.editIndex = [](auto& x) { Poke(x, kFiles + 12 + 4, 0, 4); }; },
         "the directory index is malformed", ""},
        {"chunk index beyond the chunks",
         [](auto& l) { l.editIndex = [](auto& x) { Poke(x, kFiles + 8, 5, 4); }; },
         "the directory index is malformed", ""},
        {"name index beyond the strings",
         [](auto& l) { l.editIndex = [](auto& x) { Poke(x, kFiles, 99, 4); }; },
         "the directory index is malformed", ""},
        {"string count beyond the index",
         [](auto& l) { l.editIndex = [](auto& x) { Poke(x, kFiles + 36, 0x10000000, 4); }; },
         "the directory index is malformed", ""},
        {"encrypted index, wrong key",
         [](auto& l) { l.cipher = 1; },
         "the directory index is encrypted (key 11223344-5566-7788-99AA-BBCCDDEEFF00): give its "
         "key with --aes-key",
         "",
         {},
         true},
        {"chunk hash flipped", [](auto& l) { l.editToc = [](auto& t) { t[t.size() - 24] ^= 1; }; },
         "", "BLAKE3 mismatch"},
        {"CTR IV of the first block flipped",
         [](auto& l) {
             l.version = 10;
             l.cipher = 2;
             // The builder's IV of block 0: bytes 0, 13, 26, ...
             l.editToc = [](auto& t) {
                 t[t.find(std::string_view("\x00\x0d\x1a\x27\x34", 5)) + 3] ^= 1;
             };
         },
         "", "BLAKE3 mismatch"},
        {"CTR IV of the directory index flipped",
         [](auto& l) {
             l.version = 10;
             l.cipher = 2;
             l.editToc = [](auto& t) { t[t.find(std::string(12, '\x42')) + 5] ^= 1; };
         },
         "the directory index is encrypted (key 11223344-5566-7788-99AA-BBCCDDEEFF00): give its "
         "key with --aes-key",
         ""},
        {"stored byte changed", [](auto&) {}, "", "BLAKE3 mismatch",
         [](auto& f) { f.partitions[0][5] ^= 0x40; }},
        {"blocks overlap",
         [](auto& l) {
             l.editToc = [](auto& t) {
                 // Block 1 at block 0's place.
                 const std::size_t blocks = 144 + 12 * 5 + 10 * 5 + 4;
                 t.replace(blocks + 12, 5, t.substr(blocks, 5));
             };
         },
         "", "its blocks overlap other blocks"},
        {"block in a partition the container lacks",
         [](auto& l) {
             l.partitionSize = 1024;
             l.editToc = [](auto& t) { t[144 + 12 * 5 + 10 * 5 + 4 + 4] = 9; };
         },
         "", "a block lies in a partition the container does not have"},
        {"method beyond the names",
         [](auto& l) {
             l.method = "Zlib";
             l.editToc = [](auto& t) { t[144 + 12 * 5 + 10 * 5 + 4 + 11] = 7; };
         },
         "", "a block names a compression method the TOC does not have"},
        {"method without a decoder",
         [](auto& l) {
             l.method = "Zlib"; // its name slot then says Brotli
             l.editToc = [](auto& t) { t.replace(t.find("Zlib"), 6, "Brotli"); };
         },
         "", "compressed with Brotli, which kestrune does not decode"},
        {"chunk beyond the blocks",
         [](auto& l) { l.editToc = [](auto& t) { t[144 + 12 * 5 + 5] = 0x7F; }; }, "",
         "its bytes lie beyond the container's blocks"},
        {"Oodle without its library", [](auto& l) { l.method = "Oodle"; }, "",
         "compressed with Oodle: give the path of the Oodle library with --oodle"},
        {"last block decodes short of its declared size",
         [](auto& l) {
             l.method = "Zlib";
             // Block 4 of the first chunk holds its last 232 bytes; it now declares 240.
             l.editToc = [](auto& t) { t[144 + 12 * 5 + 10 * 5 + 4 + 12 * 3 + 8] = char(240); };
         },
         "", "block 4 of 4"},
        {"data file cut short", [](auto&) {}, "", "cut short by the end of archive part",
         [](auto& f) { f.partitions[0].resize(100); }},
        {"missing partition", [](auto& l) { l.partitionSize = 1024; }, "",
         "archive part pakchunk0_s1.ucas is missing", [](auto& f) { f.partitions.resize(1); }},
    };
    for (const Hostile& row : rows) {
        SCOPED_TRACE(row.what);
        IoStoreLayout layout;
        layout.key = kKey;
        row.change(layout);
        auto files = Testing::BuildIoStore(layout, SampleChunks());
        if (row.files) {
            row.files(files);
        }
        const Testing::TempDir dir;
        Testing::WriteIoStore(dir.file("pakchunk0"), files);
        const std::string path = dir.file("pakchunk0.utoc");
        ReadOptions options;
        options.aesKeys = {row.wrongKey ? AesKey{} : kKey};
        const PackageSummary summary = KestruneEngine::Examine(path, options);
        EXPECT_EQ(summary.walk.kind, PackageKind::IoStore);
        EXPECT_EQ(summary.walk.refusal.substr(0, row.refusal.size()), row.refusal);
        if (!row.refusal.empty()) {
            continue;
        }
        std::vector<std::string> damaged;
        const PackageCheck check = KestruneEngine::TestPackage(
            path,
            [&](const DamagedEntry& d) {
                damaged.push_back(std::string(d.name) + ": " + d.reason);
            },
            options);
        EXPECT_EQ(check.entryCount, 5u);
        ASSERT_FALSE(damaged.empty());
        EXPECT_NE(damaged[0].find(row.damage), std::string::npos) << damaged[0];
        // An extraction writes the others and names every failure.
        ExtractionReport report;
        EXPECT_FALSE(KestruneEngine::ExtractAll(path, dir.file("out"), &report, {}, options,
                                                OutputLayout::Tree));
        EXPECT_EQ(report.failures.size(), damaged.size());
        EXPECT_EQ(report.entriesWritten + report.failures.size(), 5u);
    }
}

// What follows the chunk metas (a version 6 on-demand container's two hash
// arrays, a version 9 TOC's source hashes) is never read: whatever it holds,
// or however much it claims, every chunk is read whole.
TEST(IoStoreHostile, SectionsAfterTheMetasAreNotRead) {
    const struct {
        const char* what;
        std::uint8_t version;
        std::function<void(std::string&)> edit;
    } rows[] = {
        {"version 6 on demand, its hash arrays after the metas", 6,
         [](auto& t) {
             t[80] = static_cast<char>(t[80] | 0x10);
             t.append(20 * 64, '\x7E');
         }},
        {"version 6 on demand, the arrays missing", 6,
         [](auto& t) { t[80] = static_cast<char>(t[80] | 0x10); }},
        {"version 9, source hashes counted but missing", 9,
         [](auto& t) { Poke(t, 100, 0xFFFFFFFF, 4); }},
        {"version 9, three source hashes", 9,
         [](auto& t) {
             Poke(t, 100, 3, 4);
             t.append(3 * 32, '\x5C');
         }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        IoStoreLayout layout;
        layout.version = row.version;
        layout.method = "Zlib";
        layout.editToc = row.edit;
        const Testing::TempDir dir;
        Testing::WriteIoStore(dir.file("pakchunk0"), Testing::BuildIoStore(layout, SampleChunks()));
        const std::string path = dir.file("pakchunk0.utoc");
        std::vector<std::string> damaged;
        const PackageCheck check = KestruneEngine::TestPackage(
            path, [&](const DamagedEntry& d) { damaged.push_back(d.reason); });
        EXPECT_EQ(check.entryCount, 5u);
        EXPECT_TRUE(damaged.empty()) << damaged.front();
        ExtractionReport report;
        EXPECT_TRUE(KestruneEngine::ExtractAll(path, dir.file("out"), &report));
        EXPECT_EQ(report.entriesWritten, 5u);
    }
}

TEST(IoStoreHostile, EveryPrefixOfTheTocIsRefusedOrNotAContainer) {
    for (const std::uint8_t cipher : {std::uint8_t{0}, std::uint8_t{2}}) {
        IoStoreLayout layout;
        layout.version = 10;
        layout.method = "Zlib";
        layout.cipher = cipher;
        layout.key = kKey;
        const auto files = Testing::BuildIoStore(layout, SampleChunks());
        ReadOptions options;
        options.aesKeys = {kKey};
        for (std::size_t length = 0; length < files.toc.size(); ++length) {
            const std::string prefix = files.toc.substr(0, length);
            MemorySource source(prefix);
            std::uint64_t seen = 0;
            const DirectoryWalk walk = WalkEntries(
                source, [&](const EntryView&) { ++seen; }, UINT64_MAX, options);
            EXPECT_EQ(seen, 0u) << length;
            EXPECT_EQ(walk.found(), length >= 16) << length;
            EXPECT_EQ(walk.refusal.empty(), length < 16) << length;
        }
    }
}

TEST(IoStoreHostile, NamesThatTryToLeaveStayInside) {
    IoStoreLayout layout;
    layout.mount = "../../../../../../../../etc/";
    const std::vector<IoChunk> chunks = {
        {"../../../../evil.txt", "evil", 2},
        {"/abs/x.txt", "abs", 2},
        {"back\\slash\\..\\..\\y.txt", "bs", 2},
        {"same.txt", "one", 2},
        {"same.txt", "two", 2},
        {"dir/", "empty name", 2},
        {std::string("nul\0byte.txt", 12), "nul", 2},
    };
    const Testing::TempDir dir;
    Testing::WriteIoStore(dir.file("c"), Testing::BuildIoStore(layout, chunks));
    for (const OutputLayout output : {OutputLayout::Flat, OutputLayout::Tree}) {
        const std::string out = dir.file(output == OutputLayout::Flat ? "flat" : "tree");
        ExtractionReport report;
        KestruneEngine::ExtractAll(dir.file("c.utoc"), out, &report, {}, {}, output);
        EXPECT_EQ(report.entriesWritten + report.failures.size(), chunks.size());
        EXPECT_GE(report.entriesWritten, 5u); // repeated names both kept
        // Nothing but the container and the output directories beside it.
        std::size_t beside = 0;
        for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
            static_cast<void>(e);
            ++beside;
        }
        EXPECT_EQ(beside, output == OutputLayout::Flat ? 3u : 4u);
    }
}

TEST(IoStoreHostile, NoChunkIsWrittenOverItsOwnContainer) {
    IoStoreLayout layout;
    layout.mount = "../../../";
    layout.partitionSize = 1024;
    layout.gaps = false;
    const std::vector<IoChunk> chunks = {{"c.ucas", std::string(900, 'a'), 2},
                                         {"c_s1.ucas", std::string(900, 'b'), 2},
                                         {"c.utoc", "toc", 2}};
    const Testing::TempDir dir;
    const auto files = Testing::BuildIoStore(layout, chunks);
    ASSERT_EQ(files.partitions.size(), 2u);
    Testing::WriteIoStore(dir.file("c"), files);
    ExtractionReport report;
    EXPECT_FALSE(KestruneEngine::ExtractAll(dir.file("c.utoc"), dir.path().string(), &report));
    EXPECT_EQ(report.failures.size(), 3u);
    EXPECT_EQ(Testing::ReadFile(dir.file("c.utoc")), files.toc);
    EXPECT_EQ(Testing::ReadFile(dir.file("c.ucas")), files.partitions[0]);
    EXPECT_EQ(Testing::ReadFile(dir.file("c_s1.ucas")), files.partitions[1]);
}

TEST(IoStoreCli, ListsThroughEitherFileAndRefusesByName) {
    IoStoreLayout layout;
    layout.method = "Zlib";
    const Testing::TempDir dir;
    Testing::WriteIoStore(dir.file("pakchunk0"), Testing::BuildIoStore(layout, SampleChunks()));
    const std::string toc = dir.file("pakchunk0.utoc");
    const auto list = Testing::RunKestrune({"--list", dir.file("pakchunk0.ucas")});
    EXPECT_EQ(list.exitCode, 0) << list.err;
    EXPECT_NE(list.out.find("Proj/Content/Maps/Level.umap"), std::string::npos);
    EXPECT_NE(list.out.find("(5 files)"), std::string::npos) << list.out;
    EXPECT_EQ(list.err, Testing::ConsoleText(
                            toc + ": 2 .uasset/.umap entries are zen packages (IoStore's cooked "
                                  "form), not legacy packages\n"));
    const auto json = Testing::RunKestrune({"--list-json", toc});
    ASSERT_EQ(json.exitCode, 0) << json.err;
    const auto parsed = nlohmann::json::parse(json.out);
    EXPECT_EQ(parsed["kind"], "iostore");
    EXPECT_EQ(parsed["mount_point"], "../../../Proj/Content/");
    ASSERT_EQ(parsed["entries"].size(), 5u);
    const auto& level = parsed["entries"][0];
    EXPECT_EQ(level["chunk_type"], "ExportBundleData");
    EXPECT_EQ(level["zen"], true);
    EXPECT_EQ(level["partition"], 0);
    EXPECT_EQ(level["compression"], "Zlib");
    EXPECT_FALSE(parsed["entries"][1].contains("zen"));
    // Unnamed chunks: their id, as the name begins, and their type.
    const auto& shader = parsed["entries"][3];
    EXPECT_EQ(shader["chunk_type"], "ShaderCode");
    EXPECT_EQ(shader["name"], shader["chunk_id"].get<std::string>() + ".ShaderCode");
    EXPECT_EQ(shader["partition_offset"], 6144); // the fourth chunk, each from a 2 KiB boundary
    const auto test = Testing::RunKestrune({"--test", toc});
    EXPECT_EQ(test.exitCode, 0) << test.out << test.err;

    // The small pak beside it points to the container.
    Testing::WriteFile(dir.file("pakchunk0.pak"),
                       Testing::BuildUnrealPak({}, {{"Config/DefaultGame.ini", "[/Script]\n"}}));
    const auto pak = Testing::RunKestrune({"--list", dir.file("pakchunk0.pak")});
    EXPECT_EQ(pak.exitCode, 0) << pak.err;
    EXPECT_EQ(pak.err,
              Testing::ConsoleText(
                  "pakchunk0.utoc holds 5 more entries: kestrune --list pakchunk0.utoc\n"));

    std::string bytes = Testing::ReadFile(toc);
    bytes[16] = 11;
    Testing::WriteFile(toc, bytes);
    const auto refused = Testing::RunKestrune({"--list", toc});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.err, Testing::ConsoleText("Failed to open package: " + toc +
                                                " (TOC version 11 is not read)\n"));
}

} // namespace
} // namespace Kestrune
