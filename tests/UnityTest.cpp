// Unity bundles built in code: listing, extraction byte for byte, objects,
// refusals and every prefix.

#include "ByteSource.h"
#include "Detect.h"
#include "Formats.h"
#include "KestruneEngine.h"
#include "support/Files.h"
#include "support/Process.h"
#include "support/UnityBuilder.h"
#include "unity/TypeTree.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace Kestrune::Testing {
namespace {

std::string Pattern(std::size_t size, unsigned seed) {
    std::string out(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        out[i] = static_cast<char>((i * 7 + seed + i / 300) & 0xFF);
    }
    return out;
}

std::vector<UnityNode> SampleNodes() {
    // The serialized file shares block 0 with the start of a node that spans
    // six blocks of 128 KiB.
    return {{"CAB-2c069a3745be5cfe0c630ceac750b567",
             BuildSerializedFile(17, true, "banner_1", "hello", "assets/ui/banner_1.txt"), 4},
            {"CAB-2c069a3745be5cfe0c630ceac750b567.resS", Pattern(703776, 3), 0}};
}

struct BundleCase {
    const char* label;
    UnityFsOptions options;
};

TEST(UnityBundle, ListsAndExtractsEveryLayoutExactly) {
    const BundleCase cases[] = {
        {"format 6 LZ4HC", {}},
        {"format 6 LZ4, block info LZ4", {.infoMethod = 2, .blockMethod = 2}},
        {"format 6 stored", {.blockMethod = 0}},
        {"format 6 LZMA", {.blockMethod = 1}},
        {"format 7 LZ4HC, info at end", {.format = 7, .engine = "2020.1.0f1", .infoAtEnd = true}},
        {"format 7 block info LZMA", {.format = 7, .engine = "2021.1.0f1", .infoMethod = 1}},
        {"format 8 padded", {.format = 8, .engine = "2022.3.5f1", .extraFlags = 0x200}},
        {"format 8 padded, info at end",
         {.format = 8, .engine = "6000.0.1f1", .infoAtEnd = true, .extraFlags = 0x200}},
        {"UnityWeb format 6", {.signature = "UnityWeb"}},
    };
    const TempDir dir;
    const auto nodes = SampleNodes();
    for (const BundleCase& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string path = dir.file("b.bundle");
        WriteFile(path, BuildUnityFs(nodes, c.options));
        const auto summary = KestruneEngine::Examine(path);
        ASSERT_EQ(summary.walk.kind, PackageKind::Unity);
        ASSERT_EQ(summary.walk.refusal, "");
        const auto entries = KestruneEngine::ListEntries(path);
        ASSERT_EQ(entries.size(), 2u);
        std::uint64_t offset = 0;
        for (std::size_t i = 0; i < 2; ++i) {
            EXPECT_EQ(entries[i].name, nodes[i].path);
            EXPECT_EQ(entries[i].offset, offset);
            EXPECT_EQ(entries[i].size, nodes[i].content.size());
            offset += nodes[i].content.size();
            const std::string out = dir.file("out" + std::to_string(i));
            ASSERT_TRUE(KestruneEngine::ExtractFile(path, entries[i].name, out));
            EXPECT_TRUE(ReadFile(out) == nodes[i].content);
        }
    }
}

TEST(UnityBundle, ListsUnityWebAndUnityRaw) {
    const TempDir dir;
    const std::vector<UnityNode> nodes{{"mainData", Pattern(5000, 1)}, {"level0", Pattern(77, 2)}};
    for (const bool compressed : {false, true}) {
        const std::string path = dir.file("w.unity3d");
        WriteFile(path, BuildUnityWeb(nodes, compressed));
        const auto entries = KestruneEngine::ListEntries(path);
        ASSERT_EQ(entries.size(), 2u) << compressed;
        for (std::size_t i = 0; i < 2; ++i) {
            const std::string out = dir.file("o");
            ASSERT_TRUE(KestruneEngine::ExtractFile(path, entries[i].name, out));
            EXPECT_TRUE(ReadFile(out) == nodes[i].content);
        }
    }
}

TEST(UnityBundle, ObjectsOfEverySerializedFileVersion) {
    const TempDir dir;
    for (const std::uint32_t version : {9u, 10u, 11u, 13u, 14u, 15u, 17u, 19u, 21u, 22u}) {
        for (const bool trees : {true, false}) {
            // Before 13 every serialized file holds its type trees; the
            // writer's PPtrs have the 64-bit path IDs of 14 on.
            if (!trees && version < 14) {
                continue;
            }
            SCOPED_TRACE(std::to_string(version) + (trees ? " with trees" : " without"));
            const std::string path = dir.file("s.bundle");
            WriteFile(path, BuildUnityFs({{"CAB-x",
                                           BuildSerializedFile(version, trees, "banner_1", "hello",
                                                               "assets/a.txt"),
                                           4}}));
            std::vector<Unity::SerializedFileListing> got;
            ASSERT_TRUE(KestruneEngine::ListObjects(
                path,
                [&](std::uint64_t, const Unity::SerializedFileListing& l) { got.push_back(l); }));
            ASSERT_EQ(got.size(), 1u);
            EXPECT_EQ(got[0].note, "");
            ASSERT_EQ(got[0].objects.size(), 2u);
            const auto& text = got[0].objects[0];
            EXPECT_EQ(text.pathId, 7);
            EXPECT_EQ(text.classId, 49);
            EXPECT_EQ(text.className, "TextAsset");
            EXPECT_EQ(text.name, "banner_1");
            EXPECT_EQ(text.note, "");
            EXPECT_EQ(text.containerPath.value_or("none"), "assets/a.txt");
            EXPECT_EQ(text.size, 24u); // two aligned strings
            EXPECT_EQ(got[0].objects[1].className, "AssetBundle");
            EXPECT_EQ(got[0].objects[1].name, "bundle");
        }
    }
}

TEST(UnityBundle, ListJsonShowsTheObjects) {
    const TempDir dir;
    const std::string path = dir.file("b.bundle");
    WriteFile(path, BuildUnityFs(SampleNodes()));
    const auto result = RunKestrune({"--list-json", path});
    const auto json = nlohmann::json::parse(result.out);
    const auto& entries = json.at("entries");
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_FALSE(entries[1].contains("objects"));
    const auto& objects = entries[0].at("objects");
    ASSERT_EQ(objects.size(), 2u);
    EXPECT_EQ(objects[0].at("path_id"), 7);
    EXPECT_EQ(objects[0].at("class"), "TextAsset");
    EXPECT_EQ(objects[0].at("name"), "banner_1");
    EXPECT_EQ(objects[0].at("container_path"), "assets/ui/banner_1.txt");
    EXPECT_TRUE(objects[1].at("container_path").is_null());
    EXPECT_EQ(objects[1].at("class_id"), 142);
}

TEST(UnityBundle, RefusesWithTheReason) {
    const auto nodes = SampleNodes();
    const std::pair<UnityFsOptions, std::string> cases[] = {
        {{.extraFlags = 0x200}, "Unity bundle encryption is not supported"},
        {{.format = 8, .engine = "2022.3.5f1", .extraFlags = 0x400},
         "Unity bundle encryption is not supported"},
        {{.format = 9, .engine = "6000.7.0f1"}, "Unity bundle format 9 is not supported"},
        {{.infoMethod = 4}, "Unity bundle compressed with LZHAM is not supported"},
        {{.format = 7, .engine = "0.0.0", .extraFlags = 0x200},
         "Unity bundle flag 0x200 cannot be read without the engine version"},
    };
    for (const auto& [options, reason] : cases) {
        std::string bytes = BuildUnityFs(nodes, options);
        MemorySource source(bytes);
        std::uint64_t seen = 0;
        const auto walk = WalkEntries(source, [&](const EntryView&) { ++seen; });
        EXPECT_EQ(walk.kind, PackageKind::Unity);
        EXPECT_EQ(walk.refusal, reason);
        EXPECT_EQ(seen, 0u);
    }
}

TEST(UnityBundle, EveryPrefixIsRefusedCleanly) {
    for (const std::uint32_t method : {0u, 1u, 3u}) {
        const std::string bytes =
            BuildUnityFs({{"CAB-a", Pattern(3000, 5), 4}, {"CAB-a.resS", Pattern(9000, 6)}},
                         {.blockMethod = method, .blockSize = 4096});
        for (std::size_t length = 0; length < bytes.size(); ++length) {
            const std::string prefix = bytes.substr(0, length);
            MemorySource source(prefix);
            std::uint64_t seen = 0;
            const auto walk = WalkEntries(source, [&](const EntryView&) { ++seen; });
            ASSERT_EQ(seen, 0u) << length;
            if (length >= 8) {
                ASSERT_NE(walk.refusal, "") << length;
            }
        }
    }
}

TEST(UnityBundle, HostileDirectoriesAreRefused) {
    const std::string data(100, 'x');
    const std::vector<RawBlock> one{{100, 100, 0}};
    std::vector<RawBlock> huge(1000, RawBlock{0xFFFFFFFFu, 1, 2}); // 4 TB declared
    const std::pair<std::string, std::string> cases[] = {
        {BuildUnityFsRaw(RawBlockInfo(one, {{90, 20, "a"}}), data), "outside"},
        {BuildUnityFsRaw(RawBlockInfo(one, {{0, 60, "a"}, {50, 10, "b"}}), data), "overlap"},
        {BuildUnityFsRaw(RawBlockInfo(one, {{0x7FFFFFFFFFFFFF00ull, 512, "a"}}), data), "outside"},
        {BuildUnityFsRaw(RawBlockInfo(one, {{0, 10, "a"}}, 100000000), data), "block count"},
        {BuildUnityFsRaw(RawBlockInfo(huge, {{0, 1, "a"}}), std::string(1000, 'z')),
         "cannot decode"},
        {BuildUnityFsRaw(RawBlockInfo(one, {{0, 10, "a"}}), data, 0x7FFFFFFF), "does not fit"},
        {BuildUnityFsRaw(RawBlockInfo({{100, 99, 0}}, {{0, 10, "a"}}), data), "declare"},
        {BuildUnityFsRaw(RawBlockInfo(one, {{0, 10, "a"}}), data + "tail"), "follow"},
    };
    for (const auto& [bytes, reason] : cases) {
        MemorySource source(bytes);
        std::uint64_t seen = 0;
        const auto walk = WalkEntries(source, [&](const EntryView&) { ++seen; });
        EXPECT_NE(walk.refusal.find(reason), std::string::npos) << walk.refusal;
        EXPECT_EQ(seen, 0u);
    }
}

// A block whose data decodes long, short, or not at all is damage to the
// entries that use it, named by --test and --extract; the other entries stay
// whole. Rows: one damaged block shared by "a" and "b", a whole block for "c".
struct BlockDamageCase {
    const char* label;
    std::uint16_t method;
    std::string coded;         // block 0 as stored
    std::uint32_t declared;    // block 0's declared decoded size
    std::string reason;        // part of the reason both commands give
    std::uint64_t mostWritten; // bytes "a" and "b" may leave on disk
};

TEST(UnityBundle, DamagedBlocksAreNamedForTheEntriesUsingThem) {
    const std::string zeros(64u << 20, '\0');
    std::vector<BlockDamageCase> cases;
    for (const std::uint16_t method : {std::uint16_t{2}, std::uint16_t{3}, std::uint16_t{1}}) {
        // liblzma is given the declared size: a stream that ends elsewhere is
        // damage to it, so LZMA names no length.
        const std::string lzma = "LZMA data is damaged";
        cases.push_back({"long", method, EncodeUnityBlock(method, Pattern(1100, 1)), 1000,
                         method == 1 ? lzma : "decodes to 1100 bytes, 1000 declared", 1000});
        cases.push_back({"short", method, EncodeUnityBlock(method, Pattern(900, 1)), 1000,
                         method == 1 ? lzma : "decodes to 900 bytes, 1000 declared", 1000});
    }
    std::string badProperties = EncodeUnityBlock(1, Pattern(1000, 1));
    badProperties[0] = static_cast<char>(0xFF);
    cases.push_back({"LZMA properties", 1, badProperties, 1000, "LZMA properties are invalid", 0});
    // 64 MiB of zeros in about 10 KB, declared smaller than it decodes.
    cases.push_back({"zeros declared 1 MiB", 1, EncodeUnityBlock(1, zeros), 1u << 20,
                     "LZMA data is damaged", 1u << 20});
    const TempDir dir;
    const std::string whole = Pattern(500, 9);
    for (const BlockDamageCase& c : cases) {
        SCOPED_TRACE(std::string(c.label) + " " + std::to_string(c.method));
        const std::uint32_t half = c.declared / 2;
        const std::string bytes = BuildUnityFsRaw(
            RawBlockInfo({{c.declared, static_cast<std::uint32_t>(c.coded.size()),
                           static_cast<std::uint16_t>(c.method | (c.method == 1 ? 0x40 : 0))},
                          {500, 500, 0}},
                         {{0, half, "a"}, {half, c.declared - half, "b"}, {c.declared, 500, "c"}}),
            c.coded + whole);
        const std::string path = dir.file("d.bundle");
        WriteFile(path, bytes);
        const auto test = RunKestrune({"--test", path});
        EXPECT_EQ(test.exitCode, 1);
        EXPECT_NE(test.out.find("Damaged: a: "), std::string::npos) << test.out;
        EXPECT_NE(test.out.find("Damaged: b: "), std::string::npos) << test.out;
        EXPECT_EQ(test.out.find("Damaged: c"), std::string::npos) << test.out;
        EXPECT_NE(test.out.find(c.reason), std::string::npos) << test.out;
        const std::string out = dir.file("out-" + std::string(c.label) + std::to_string(c.method));
        const auto extract = RunKestrune({"--extract", path, out});
        EXPECT_EQ(extract.exitCode, 1);
        EXPECT_NE(extract.err.find("Failed to extract a: "), std::string::npos) << extract.err;
        EXPECT_NE(extract.err.find(c.reason), std::string::npos) << extract.err;
        EXPECT_EQ(extract.err.find("Failed to extract c"), std::string::npos) << extract.err;
        EXPECT_TRUE(ReadOutputFile(out, "c") == whole);
        std::uint64_t written = 0;
        for (const char* name : {"a", "b"}) {
            std::error_code ec;
            written += std::filesystem::file_size(out + "/" + name, ec) * (ec ? 0 : 1);
        }
        EXPECT_LE(written, c.mostWritten);
    }
}

TEST(UnityBundle, ZerosInOneLzmaBlockExtractExactly) {
    // 64 MiB in about 10 KB: streamed through the cap, never held whole.
    const std::string zeros(64u << 20, '\0');
    const TempDir dir;
    const std::string path = dir.file("z.bundle");
    const std::string bytes = BuildUnityFs({{"CAB-z.resS", zeros}}, {.blockMethod = 1});
    EXPECT_LT(bytes.size(), 20000u);
    WriteFile(path, bytes);
    const auto result = RunKestrune({"--extract", path, dir.file("out")});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_TRUE(ReadOutputFile(dir.file("out"), "CAB-z.resS") == zeros);
}

// A blob-form tree (24-byte nodes, little-endian) of {level, array, type
// ref, name ref, byte size}, with local strings "Base\0E\0".
std::string BlobTree(const std::vector<std::array<std::uint32_t, 5>>& nodes, std::string strings) {
    std::string out;
    const auto u32 = [&](std::uint32_t v) {
        for (int i = 0; i < 4; ++i) {
            out.push_back(static_cast<char>(v >> (8 * i)));
        }
    };
    u32(static_cast<std::uint32_t>(nodes.size()));
    u32(static_cast<std::uint32_t>(strings.size()));
    for (const auto& n : nodes) {
        out += std::string{1, 0, static_cast<char>(n[0]), static_cast<char>(n[1])};
        u32(n[2]);
        u32(n[3]);
        u32(n[4]);
        u32(0);
        u32(0);
    }
    return out + strings;
}

TEST(UnityTypeTree, HostileTreesAreDamageNotWork) {
    const std::string strings("Base\0E\0", 7);
    const std::uint32_t base = 0, e = 5, array = 0x80000000u | 49, size = 0x80000000u | 795,
                        intName = 0x80000000u | 222, data = 0x80000000u | 106;
    // An array claiming 2^31 - 1 elements of an empty class.
    const std::string nothing = BlobTree({{0, 0, base, base, 0xFFFFFFFFu},
                                          {1, 1, array, array, 0xFFFFFFFFu},
                                          {2, 0, intName, size, 4},
                                          {2, 0, e, data, 0}},
                                         strings);
    const std::string outside = BlobTree({{0, 0, base, 4000, 0}}, strings);
    const std::string common = BlobTree({{0, 0, base, 0x80000000u | 5000, 0}}, strings);
    const std::string skips = BlobTree({{0, 0, base, base, 0}, {2, 0, e, e, 0}}, strings);
    std::string why;
    {
        Unity::Cursor in(
            std::span(reinterpret_cast<const unsigned char*>(nothing.data()), nothing.size()),
            false);
        const auto tree = Unity::ReadBlobTypeTree(in, 24, why);
        ASSERT_TRUE(tree) << why;
        const unsigned char object[] = {0xFF, 0xFF, 0xFF, 0x7F};
        EXPECT_FALSE(Unity::ReadObject(*tree, object, false, why));
        EXPECT_NE(why, "");
    }
    for (const std::string* bytes : {&outside, &common, &skips}) {
        why.clear();
        Unity::Cursor in(
            std::span(reinterpret_cast<const unsigned char*>(bytes->data()), bytes->size()), false);
        EXPECT_FALSE(Unity::ReadBlobTypeTree(in, 24, why));
        EXPECT_NE(why, "");
    }
}

TEST(UnityBundle, NamesAreListedAsStoredAndExtractedInsideDir) {
    // Node paths end at NUL, so a NUL cannot be inside one; the rest of a
    // hostile name is kept as stored and flattened only on disk.
    const std::vector<std::string> stored{"../up",   "C:\\x",   "A/b",       "/abs/y",
                                          "Tex.png", "tex.PNG", "c\x01\x1f", "..\\..\\w"};
    std::vector<RawNode> nodes;
    for (std::size_t i = 0; i < stored.size(); ++i) {
        nodes.push_back({i * 10, 10, stored[i]});
    }
    const std::string data(10 * stored.size(), 'x');
    const auto size = static_cast<std::uint32_t>(data.size());
    const std::string bytes = BuildUnityFsRaw(RawBlockInfo({{size, size, 0}}, nodes), data);
    MemorySource source(bytes);
    std::vector<std::string> names;
    WalkEntries(source, [&](const EntryView& v) { names.emplace_back(v.name); });
    EXPECT_EQ(names, stored);

    const TempDir dir;
    WriteFile(dir.file("n.bundle"), bytes);
    const auto result = RunKestrune({"--extract", dir.file("n.bundle"), dir.file("out")});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    std::size_t files = 0;
    for (const auto& item : std::filesystem::recursive_directory_iterator(dir.file("out"))) {
        EXPECT_TRUE(item.is_regular_file()) << item.path();
        EXPECT_EQ(std::filesystem::file_size(item.path()), 10u) << item.path();
        ++files;
    }
    EXPECT_EQ(files, stored.size()); // nothing lost to case or flattening
    std::size_t beside = 0;
    for ([[maybe_unused]] const auto& item : std::filesystem::directory_iterator(dir.file(""))) {
        ++beside;
    }
    EXPECT_EQ(beside, 2u); // the bundle and DIR: nothing written outside it
}

// The WebGL data container, as the builds write it: plain, or compressed
// whole with gzip or Brotli; every file listed and extracted exactly.
TEST(UnityWebData, ListsAndExtractsPlainGzipAndBrotli) {
    const std::vector<UnityNode> files{
        {"data.unity3d", BuildUnityFs(SampleNodes())},
        {"Il2CppData/Metadata/global-metadata.dat", Pattern(70000, 4)},
        {"boot.config", "wait-for-native-debugger=0\n"},
        {"Resources/unity_default_resources", ""},
    };
    const std::string plain = BuildWebData(files);
    const struct {
        const char* file;
        std::string bytes;
        const char* compression;
    } rows[] = {
        {"w.data", plain, "None"},
        {"w.data.gz", GzipWhole(plain), "Gzip"},
        {"w.data.br", BrotliWhole(plain), "Brotli"},
    };
    const TempDir dir;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.file);
        const std::string path = dir.file(row.file);
        WriteFile(path, row.bytes);
        const auto summary = KestruneEngine::Examine(path);
        ASSERT_EQ(summary.walk.kind, PackageKind::UnityWebData);
        ASSERT_EQ(summary.walk.refusal, "");
        const auto entries = KestruneEngine::ListEntries(path);
        ASSERT_EQ(entries.size(), files.size());
        for (std::size_t i = 0; i < files.size(); ++i) {
            EXPECT_EQ(entries[i].name, files[i].path);
            EXPECT_EQ(entries[i].size, files[i].content.size());
            EXPECT_EQ(entries[i].compression, row.compression);
        }
        ExtractionReport report;
        ASSERT_TRUE(KestruneEngine::ExtractAll(path, dir.file("out"), &report));
        EXPECT_TRUE(report.failures.empty()) << report.failures[0].reason;
        for (const UnityNode& file : files) {
            std::string flat = file.path;
            std::replace(flat.begin(), flat.end(), '/', '_');
            EXPECT_TRUE(ReadFile(dir.file("out") + "/" + flat) == file.content) << file.path;
        }
        std::filesystem::remove_all(dir.file("out"));
    }
    const auto json =
        nlohmann::json::parse(RunKestrune({"--list-json", dir.file("w.data.br")}).out);
    EXPECT_EQ(json.at("kind"), "unity-webdata");
}

// The directory is checked whole before any entry; a compressed container is
// decoded only as far as its directory to list it, and exactly to the end of
// its last file to read it: short data, long data (a bomb) and damage are
// named for the entries they reach.
TEST(UnityWebData, HostileContainersFailByName) {
    const std::string data(100, 'd');
    const auto raw = [&](std::vector<RawWebEntry> entries, std::int64_t directory = -1) {
        return BuildWebDataRaw(entries, data, directory);
    };
    std::vector<RawWebEntry> many(350000, RawWebEntry{40, 0, ""});
    // A directory of noise, which gzip cannot shrink, cut after its start.
    std::string noise(20000, '\0');
    std::uint32_t state = 1;
    for (char& c : noise) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>(state >> 24);
    }
    const std::string cutDirectory = GzipWhole(BuildWebData({{noise, "x"}})).substr(0, 2000);
    const std::string plain = BuildWebData({{"a", "alpha"}, {"b", Pattern(5000, 1)}});
    std::string truncatedGzip = GzipWhole(plain);
    truncatedGzip.resize(truncatedGzip.size() - 40);
    std::string cutBrotli = BrotliWhole(plain);
    cutBrotli.resize(cutBrotli.size() - 100);
    // Declares 10 bytes for its one file, then 64 MiB of zeros follow.
    const std::string bomb =
        GzipWhole(BuildWebDataRaw({{33, 10, "z"}}, std::string(std::size_t{64} << 20, '\0')));
    const std::string longBrotli = BrotliWhole(BuildWebDataRaw({{33, 10, "z"}}, Pattern(500, 2)));
    const struct {
        const char* what;
        std::string bytes;
        const char* refusal;    // the walk's, or "" when listed
        const char* entryFails; // what reading the first entry says, or ""
    } rows[] = {
        {"directory shorter than its header", raw({{20, 1, "a"}}, 19), "a directory of 19 bytes",
         ""},
        {"directory past the file", raw({{20, 1, "a"}}, 5000), "runs past the end", ""},
        {"directory of 2 GiB", raw({{20, 1, "a"}}, 0x7FFFFFFF), "a directory of 2147483647", ""},
        {"entry outside the data", raw({{33, 101, "a"}}), "entry 0 lies outside", ""},
        {"entry at 2 GiB", raw({{0x7FFFFFF0, 16, "a"}}), "entry 0 lies outside", ""},
        {"negative size", raw({{33, -1, "a"}}), "negative", ""},
        {"negative name length", raw({{33, 1, "a", -5}}), "negative", ""},
        {"name past the directory", raw({{33, 1, "a", 1000}}), "runs past the end of the directory",
         ""},
        {"record cut by the directory's end", raw({{33, 1, "a"}}, 30), "cut short", ""},
        {"entry inside the directory", raw({{4, 1, "a"}}), "begins inside the directory", ""},
        {"overlapping entries", raw({{46, 50, "a"}, {90, 10, "b"}}), "entries 0 and 1 overlap", ""},
        {"a huge count of records", raw(many), "a directory of 4200020 bytes", ""},
        {"gzip cut short", truncatedGzip, "", ""},
        {"Brotli cut short", cutBrotli, "", ""},
        {"gzip bomb", bomb, "", "decodes to more than 43 bytes declared"},
        {"Brotli longer than declared", longBrotli, "", "decodes to 533 bytes, 43 declared"},
        {"gzip cut inside the directory", cutDirectory, "Gzip data ends after", ""},
    };
    const TempDir dir;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const std::string path = dir.file("hostile.data");
        WriteFile(path, row.bytes);
        const auto summary = KestruneEngine::Examine(path);
        ASSERT_EQ(summary.walk.kind, PackageKind::UnityWebData);
        if (*row.refusal != '\0') {
            EXPECT_NE(summary.walk.refusal.find(row.refusal), std::string::npos)
                << summary.walk.refusal;
            EXPECT_TRUE(KestruneEngine::ListEntries(path).empty());
            continue;
        }
        EXPECT_EQ(summary.walk.refusal, "");
        ExtractionReport report;
        KestruneEngine::ExtractAll(path, dir.file("out"), &report);
        EXPECT_EQ(report.entriesWritten + report.failures.size(), report.entryCount);
        EXPECT_LE(report.bytesWritten, std::uint64_t{64} << 10);
        if (*row.entryFails != '\0') {
            ASSERT_FALSE(report.failures.empty());
            EXPECT_NE(report.failures[0].reason.find(row.entryFails), std::string::npos)
                << report.failures[0].reason;
        }
        std::filesystem::remove_all(dir.file("out"));
    }
    // What a cut stream leaves unread fails by name, and --test says so.
    WriteFile(dir.file("cut.data.gz"), truncatedGzip);
    const auto tested = RunKestrune({"--test", dir.file("cut.data.gz")});
    EXPECT_EQ(tested.exitCode, 1);
    EXPECT_NE((tested.out + tested.err).find("Gzip data"), std::string::npos)
        << tested.out << tested.err;
}

// Files that only look like a WebGL container stay what they are.
TEST(UnityWebData, DetectionAgainstNearMisses) {
    const std::string plain = BuildWebData({{"a", "alpha"}});
    std::string otherVersion = plain;
    otherVersion[14] = '1';
    std::string brotliMark(64, 'x');
    brotliMark.replace(0x20, 6, "brotli");
    const std::pair<const char*, std::string> rows[] = {
        {"UnityWebData1.1", otherVersion},
        {"the signature without its NUL", "UnityWebData1.0"},
        {"gzip of another file", GzipWhole(std::string(300, 'q'))},
        {"gzip magic alone", std::string("\x1f\x8b\x08", 3)},
        {"gzip of a cut signature", GzipWhole("UnityWebData1")},
        {"\"brotli\" at 32, no Brotli stream", brotliMark},
        {"a Brotli stream of another file", BrotliWhole("not a web data file at all")},
    };
    for (const auto& [what, bytes] : rows) {
        SCOPED_TRACE(what);
        MemorySource source(bytes);
        const auto walk = WalkEntries(source, [](const EntryView&) {});
        EXPECT_NE(walk.kind, PackageKind::UnityWebData);
    }
}

// X.split0, X.split1, ... are read as the one file X, in place.
TEST(UnitySplit, PartsJoinAndGapsOrWrongLengthsFailByName) {
    const std::string whole = BuildSerializedFile(17, true, "banner", "hello", "a/b.txt");
    const auto cut = [&](std::size_t parts) {
        std::vector<std::string> out;
        const std::size_t step = (whole.size() + parts - 1) / parts;
        for (std::size_t at = 0; at < whole.size(); at += step) {
            out.push_back(whole.substr(at, step));
        }
        return out;
    };
    std::vector<std::string> lastShort = cut(3);
    lastShort.back().pop_back();
    std::vector<std::string> withExtra = cut(3);
    withExtra.push_back("x");
    const struct {
        const char* what;
        std::vector<std::string> parts; // "" leaves the part out
        std::vector<std::string> extra; // files beside them, by name
        std::string refusal;
    } rows[] = {
        {"one part", cut(1), {}, ""},
        {"four parts", cut(4), {}, ""},
        {"one part of each byte", cut(whole.size()), {}, ""},
        {"a middle part missing",
         [&] {
             auto p = cut(4);
             p[2].clear();
             return p;
         }(),
         {},
         "split file level0 lacks level0.split2 of level0.split0 to level0.split3"},
        {"a part after a gap",
         cut(3),
         {"level0.split4"},
         "split file level0 lacks level0.split3 of level0.split0 to level0.split4"},
        {"the last part short",
         lastShort,
         {},
         "joins 3 parts into " + std::to_string(whole.size() - 1)},
        {"a part too many", withExtra, {}, "but the serialized file in them states"},
        {"names that are not parts",
         cut(2),
         {"level0.split01", "level0.splitx", "xlevel0.split5"},
         ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const TempDir dir;
        for (std::size_t i = 0; i < row.parts.size(); ++i) {
            if (!row.parts[i].empty()) {
                WriteFile(dir.file("level0.split" + std::to_string(i)), row.parts[i]);
            }
        }
        for (const std::string& name : row.extra) {
            WriteFile(dir.file(name), "x");
        }
        const std::string path = dir.file("level0.split0");
        const auto summary = KestruneEngine::Examine(path);
        if (!row.refusal.empty()) {
            EXPECT_NE(summary.walk.refusal.find(row.refusal), std::string::npos)
                << summary.walk.refusal;
            const auto result = RunKestrune({"--list", path});
            EXPECT_EQ(result.exitCode, 1);
            EXPECT_NE(result.err.find(row.refusal), std::string::npos) << result.err;
            continue;
        }
        ASSERT_EQ(summary.walk.refusal, "");
        ASSERT_EQ(summary.walk.kind, PackageKind::UnitySerialized);
        MemorySource joined(whole);
        const auto expected = ReadEntries(joined, {});
        const auto entries = KestruneEngine::ListEntries(path);
        ASSERT_EQ(entries.size(), expected.size());
        for (std::size_t i = 0; i < entries.size(); ++i) {
            EXPECT_EQ(entries[i].name, expected[i].name);
            const std::string out = dir.file("o");
            ASSERT_TRUE(KestruneEngine::ExtractFile(path, entries[i].name, out));
            EXPECT_EQ(ReadFile(out), whole.substr(expected[i].offset, expected[i].size));
        }
    }
    // The later parts belong to the first, for whoever looks at a folder.
    EXPECT_EQ(PackageOfCompanion("level0.split7"), "level0.split0");
    EXPECT_EQ(PackageOfCompanion("level0.split0"), "");
    EXPECT_EQ(PackageOfCompanion("level0.split007"), "");
}

} // namespace
} // namespace Kestrune::Testing
