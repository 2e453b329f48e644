// Unreal paks built in code: every version, compression and encryption round
// trips through listing, copying and checking; the container keeps its
// files; hostile paks list nothing they do not hold.

#include "Detect.h"
#include "KestruneEngine.h"
#include "support/Files.h"
#include "support/PackageBuilder.h"
#include "support/Process.h"
#include "support/UnrealPakBuilder.h"

#include <filesystem>
#include <functional>
#include <gtest/gtest.h>

namespace Kestrune {
namespace {

using Testing::UnrealFile;
using Testing::UnrealPakLayout;

const Testing::TestAesKey kKey = [] {
    Testing::TestAesKey key{};
    for (std::size_t i = 0; i < key.size(); ++i) {
        key[i] = static_cast<unsigned char>(i * 7 + 3);
    }
    return key;
}();

std::string Pattern(std::size_t size, int seed) {
    std::string out(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        out[i] =
            static_cast<char>((i * 31 + static_cast<std::size_t>(seed)) % 251 % (i % 7 + 1) + 'a');
    }
    return out;
}

struct RoundTrip {
    std::uint32_t version;
    bool v8a;
    std::string method;
    bool encryptData;
    bool encryptIndex;
    bool classicDirectory = false; // v13+
    bool ctr = false;              // v15: AES-CTR
};

std::vector<RoundTrip> RoundTrips() {
    std::vector<RoundTrip> rows;
    for (std::uint32_t v = 1; v <= 15; ++v) {
        rows.push_back({v, false, "None", false, false});
        if (v >= 3) {
            rows.push_back({v, false, "Zlib", false, false});
            rows.push_back({v, false, "Gzip", true, false});
            rows.push_back({v, false, "Zlib", true, v >= 4});
        }
        if (v >= 4) {
            rows.push_back({v, false, "None", true, true});
        }
        if (v >= 8) {
            rows.push_back({v, false, "LZ4", false, false});
            rows.push_back({v, false, "Zstd", true, true});
            // Through the tests' stand-in for the user's Oodle library.
            rows.push_back({v, false, "Oodle", v == 11, false});
        }
    }
    rows.push_back({8, true, "Zlib", true, true});
    rows.push_back({8, true, "None", false, false});
    rows.push_back({13, false, "Zlib", true, true, true});
    rows.push_back({15, false, "None", false, false, true});
    // Version 15 with AES-CTR: one stream per payload, over blocks and padding.
    rows.push_back({15, false, "Zlib", true, true, false, true});
    rows.push_back({15, false, "None", true, true, false, true});
    rows.push_back({15, false, "LZ4", true, false, true, true});
    return rows;
}

class UnrealRoundTrip : public testing::TestWithParam<RoundTrip> {};

TEST_P(UnrealRoundTrip, ListsCopiesAndChecks) {
    const RoundTrip& row = GetParam();
    UnrealPakLayout layout;
    layout.version = row.version;
    layout.v8a = row.v8a;
    layout.encryptIndex = row.encryptIndex;
    layout.classicDirectory = row.classicDirectory;
    layout.encryptionMethod = row.ctr ? 2 : 1;
    layout.key = kKey;
    layout.mount = "../../../Game/";
    std::vector<UnrealFile> files = {
        {"Content/Maps/Level.umap", Pattern(5000, 1), row.method, row.encryptData, 2048},
        {"Config/Ünïcode名.ini", Pattern(300, 2), row.method, row.encryptData, 65536},
        {"root.txt", Pattern(17, 3), "None", false, 65536},
    };
    if (row.version >= 10) {
        files[1].nonEncoded = true;
    }
    const Testing::TempDir dir;
    const std::string path = dir.file("test.pak");
    Testing::WriteFile(path, Testing::BuildUnrealPak(layout, files));
    ReadOptions options;
    // With an encrypted index the wrong key goes first: the index hash picks.
    // Without, nothing tells keys apart and the first one is used.
    options.aesKeys =
        row.encryptIndex ? std::vector<AesKey>{AesKey{}, kKey} : std::vector<AesKey>{kKey};
    options.oodleLibrary = KESTRUNE_OODLE_STANDIN;
    const auto entries = KestruneEngine::ListEntries(path, options);
    ASSERT_EQ(entries.size(), files.size());
    const PackageSummary summary = KestruneEngine::Examine(path, options);
    EXPECT_EQ(summary.walk.kind, PackageKind::Unreal);
    EXPECT_EQ(summary.walk.refusal, "");
    ASSERT_EQ(summary.walk.properties.size(), 1u);
    EXPECT_EQ(summary.walk.properties[0].second, "../../../Game/");
    // A listing reads the pak once: the number before the entries, the
    // same entries, and what a look beforehand would have said.
    std::vector<std::string> streamed;
    std::uint64_t announced = UINT64_MAX;
    const PackageSummary stream = KestruneEngine::StreamEntries(
        path,
        [&](std::uint64_t count) {
            EXPECT_TRUE(streamed.empty());
            announced = count;
        },
        [&](const EntryView& e) { streamed.emplace_back(e.name); }, options);
    EXPECT_EQ(announced, entries.size());
    ASSERT_EQ(streamed.size(), entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(streamed[i], entries[i].name);
    }
    EXPECT_EQ(stream.walk.notes, summary.walk.notes);
    EXPECT_EQ(stream.walk.kind, summary.walk.kind);
    for (std::size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(files[i].name);
        const ArchiveEntry* entry = nullptr;
        for (const ArchiveEntry& e : entries) {
            if (e.name == "Game/" + files[i].name) {
                entry = &e;
            }
        }
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->size, files[i].content.size());
        EXPECT_EQ(entry->compression, i < 2 ? row.method : "None");
        EXPECT_EQ(entry->encrypted, i < 2 && row.encryptData);
        std::string copied;
        const EntryCopy copy = KestruneEngine::CopyEntryContent(
            path, entry->name,
            [&](const unsigned char* data, std::size_t length) {
                copied.append(reinterpret_cast<const char*>(data), length);
                return true;
            },
            options);
        EXPECT_FALSE(copy.failure) << *copy.failure;
        EXPECT_TRUE(copied == files[i].content);
    }
    std::vector<std::string> damage;
    const PackageCheck check = KestruneEngine::TestPackage(
        path, [&](const DamagedEntry& d) { damage.push_back(d.reason); }, options);
    EXPECT_EQ(check.damagedCount, 0u) << (damage.empty() ? "" : damage[0]);
    // Its summary counts the stored bytes of blocks too, not only plain runs
    // (with the AES padding of encrypted ones).
    std::uint64_t stored = 0;
    for (const ArchiveEntry& e : entries) {
        stored += e.compressedSize;
    }
    EXPECT_GE(check.bytesStored, stored);
    EXPECT_LT(check.bytesStored, stored + 16 * entries.size());
}

INSTANTIATE_TEST_SUITE_P(EveryVersion, UnrealRoundTrip, testing::ValuesIn(RoundTrips()));

DirectoryWalk Walk(const std::string& bytes, const ReadOptions& options = {}) {
    MemorySource source(bytes);
    return WalkEntries(
        source, [](const EntryView&) {}, UINT64_MAX, options);
}

TEST(UnrealPak, RefusalsAndTheContainerRules) {
    const std::vector<UnrealFile> files = {{"a.txt", "hello", "None", false, 65536}};
    UnrealPakLayout encrypted;
    encrypted.encryptIndex = true;
    encrypted.key = kKey;
    const std::string v11 = Testing::BuildUnrealPak(encrypted, files);
    EXPECT_EQ(Walk(v11).refusal, "the index is encrypted: give its key with --aes-key");
    ReadOptions wrong;
    wrong.aesKeys = {AesKey{}};
    EXPECT_EQ(Walk(v11, wrong).refusal, "no key given decrypts the index");

    UnrealPakLayout frozen;
    frozen.version = 9;
    frozen.frozen = true;
    EXPECT_EQ(Walk(Testing::BuildUnrealPak(frozen, files)).refusal, "frozen index: not read");
    std::string v16 = Testing::BuildUnrealPak({}, files);
    v16[v16.size() - 200] = 16;
    EXPECT_EQ(Walk(v16).refusal, "pak version 16 is not read");
    {
        // fuzz_list: a refused package is streamed as holding nothing, its
        // number (0) still given, as a listing of it has always been.
        const Testing::TempDir refusedDir;
        Testing::WriteFile(refusedDir.file("v16.pak"), v16);
        std::uint64_t announced = UINT64_MAX;
        bool visited = false;
        EXPECT_TRUE(KestruneEngine::VisitEntries(
            refusedDir.file("v16.pak"), [&](std::uint64_t count) { announced = count; },
            [&](const EntryView&) { visited = true; }));
        EXPECT_EQ(announced, 0u);
        EXPECT_FALSE(visited);
    }

    // A version 7 pak with an encrypted index and no key: the container
    // reading, with the hint.
    encrypted.version = 7;
    const DirectoryWalk legacy = Walk(Testing::BuildUnrealPak(encrypted, files));
    EXPECT_EQ(legacy.kind, PackageKind::Pak);
    ASSERT_EQ(legacy.notes.size(), 1u);
    EXPECT_EQ(legacy.notes[0],
              "looks like an Unreal pak with an encrypted index: give its key with --aes-key");

    // Our own container, and one with version 1-7 in place of 8, stay
    // containers; so does a v5 pak whose index hash is wrong.
    Testing::PakBuilder container;
    container.add("x.bin", "data");
    std::string bytes = container.build();
    EXPECT_EQ(Walk(bytes).kind, PackageKind::Pak);
    for (char v = 1; v <= 7; ++v) {
        bytes[bytes.size() - 40] = v;
        EXPECT_EQ(Walk(bytes).kind, PackageKind::Pak);
    }
    UnrealPakLayout badHash;
    badHash.version = 5;
    badHash.corruptIndexHash = true;
    EXPECT_EQ(Walk(Testing::BuildUnrealPak(badHash, files)).kind, PackageKind::Pak);
    // From version 8 on a listing does not pay for the index hash; a check
    // does, and names the damage while it reads every entry.
    badHash.version = 11;
    ReadOptions checking;
    checking.checkEntryHeaders = true;
    const DirectoryWalk hashWalk = Walk(Testing::BuildUnrealPak(badHash, files), checking);
    EXPECT_EQ(hashWalk.refusal, "");
    EXPECT_EQ(hashWalk.visited, 1u);
    EXPECT_EQ(hashWalk.damage, std::vector<std::string>{"the index does not match its SHA-1"});

    // A method the tool has no codec for fails its entry by that name; the
    // others are read.
    const Testing::TempDir dir;
    const std::string unknown = dir.file("unknown.pak");
    Testing::WriteFile(
        unknown, Testing::BuildUnrealPak({}, {{"a.bin", "abc", "Lzjb", false, 65536}, files[0]}));
    const auto copy = [&](const std::string& name) {
        return KestruneEngine::CopyEntryContent(
            unknown, name, [](const unsigned char*, std::size_t) { return true; });
    };
    ASSERT_TRUE(copy("a.bin").failure);
    EXPECT_EQ(*copy("a.bin").failure, "compressed with Lzjb, which kestrune does not decode");
    EXPECT_FALSE(copy("a.txt").failure);

    // A check compares each in-data header with its index record: here the
    // index gives the last entry another block size.
    UnrealPakLayout differs;
    differs.version = 9;
    differs.editIndex = [](std::string& index) { index.back() ^= 1; };
    const std::string headers = dir.file("headers.pak");
    Testing::WriteFile(headers, Testing::BuildUnrealPak(
                                    differs, {{"b.txt", "bytes", "None", false, 65536}, files[0]}));
    std::vector<std::string> damaged;
    const PackageCheck check = KestruneEngine::TestPackage(headers, [&](const DamagedEntry& d) {
        damaged.push_back(std::string(d.name) + ": " + d.reason);
    });
    EXPECT_EQ(check.entryCount, 2u);
    EXPECT_EQ(check.bytesExtracted, 10u);
    EXPECT_EQ(damaged,
              std::vector<std::string>{"a.txt: its in-data header differs from the index"});

    UnrealPakLayout tombstones;
    tombstones.version = 6;
    const DirectoryWalk deleted = Walk(Testing::BuildUnrealPak(
        tombstones, {files[0], {"gone.txt", "", "None", false, 65536, false, true}}));
    EXPECT_EQ(deleted.visited, 1u);
    ASSERT_EQ(deleted.notes.size(), 1u);
    EXPECT_EQ(deleted.notes[0], "1 deleted records (patch tombstones) not listed");
}

// Every prefix, and every single flipped byte of the index and footer, of
// paks of every version: nothing is listed beyond what the file holds and
// nothing reads outside it (the asan preset runs this too).
TEST(UnrealPak, PrefixesAndFlippedBytes) {
    // 16: version 15 encrypted with AES-CTR.
    for (std::uint32_t row = 1; row <= 16; ++row) {
        const std::uint32_t version = std::min(row, 15u);
        UnrealPakLayout layout;
        layout.version = version;
        layout.encryptionMethod = row == 16 ? 2 : 1;
        layout.key = kKey;
        layout.encryptIndex = version >= 4;
        const std::vector<UnrealFile> files = {
            {"d/a.txt", Pattern(3000, 4), version >= 3 ? "Zlib" : "None", version >= 3, 1024},
            {"b.txt", "x", "None", false, 65536, version >= 10},
        };
        const std::string pak = Testing::BuildUnrealPak(layout, files);
        ReadOptions options;
        options.aesKeys = {kKey};
        options.checkEntryHeaders = true;
        for (std::size_t n = 0; n < pak.size(); ++n) {
            const DirectoryWalk walk = Walk(pak.substr(0, n), options);
            // A cut pak lists nothing; it may look like a damaged pak of an
            // older layout (an 8b pak cut by 32 bytes ends as an 8a one).
            EXPECT_TRUE(walk.kind != PackageKind::Unreal || !walk.refusal.empty())
                << version << " " << n;
        }
        const std::uint64_t from = Testing::LastUnrealPakRegions().indexOffset;
        for (std::size_t at = from; at < pak.size(); ++at) {
            std::string bad = pak;
            bad[at] = static_cast<char>(bad[at] ^ 0x5A);
            MemorySource source(bad);
            WalkEntries(
                source,
                [&](const EntryView& view) {
                    EXPECT_LE(view.offset, bad.size());
                    for (const Piece& piece : view.content.Pieces()) {
                        EXPECT_LE(piece.offset + piece.storedLength, bad.size());
                    }
                },
                UINT64_MAX, options);
        }
    }
}

} // namespace
} // namespace Kestrune

namespace Kestrune {
namespace {

void SetU32(std::string& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[at + static_cast<std::size_t>(i)] = static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

struct HostileRow {
    const char* what;
    std::uint32_t version;
    std::function<void(std::string&)> editIndex;
    std::function<void(std::string&)> editDirectory;
    bool ctr = false; // v15: the entry encrypted with AES-CTR
};

// Hostile indexes whose hashes are right, so that the parsers meet them: the
// hash makes a pak of every version, never a container, and each is refused
// but for an entry that points outside the file, which is listed (a check
// and its reading name it); nothing is read outside the file.
TEST(UnrealPak, HostileIndexesWithGoodHashes) {
    // v5 index: mount FString at 0 ("../../../" is 4 + 10 bytes), count at
    // 14, first name's length at 18.
    const std::vector<HostileRow> rows = {
        {"mount length INT32_MIN", 5, [](std::string& b) { SetU32(b, 0, 0x80000000u); }, {}},
        {"mount length negative, odd", 5, [](std::string& b) { SetU32(b, 0, 0xFFFFFFFFu); }, {}},
        {"mount beyond the index", 5, [](std::string& b) { SetU32(b, 0, 0x7FFFFFFFu); }, {}},
        {"mount without terminator", 5, [](std::string& b) { b[13] = 'x'; }, {}},
        {"count far beyond the bytes", 5, [](std::string& b) { SetU32(b, 14, 0x7FFFFFFFu); }, {}},
        {"negative count", 5, [](std::string& b) { SetU32(b, 14, 0xFFFFFFF0u); }, {}},
        {"trailing bytes", 5, [](std::string& b) { b += "junk"; }, {}},
        {"entry offset past the end",
         5,
         [](std::string& b) { SetU32(b, 18 + 4 + 6, 0x7FFFFFF0u); },
         {}},
        {"primary count beyond names", 11, [](std::string& b) { SetU32(b, 14, 5); }, {}},
        {"directory count huge", 11, {}, [](std::string& b) { SetU32(b, 0, 0x7FFFFFFFu); }},
        {"directory location outside the blob",
         11,
         {},
         [](std::string& b) { SetU32(b, b.size() - 4, 0x00FFFFFFu); }},
        {"directory location outside the list",
         11,
         {},
         [](std::string& b) { SetU32(b, b.size() - 4, 0xFFFFFF00u); }},
        {"directory location INT32_MIN",
         11,
         {},
         [](std::string& b) { SetU32(b, b.size() - 4, 0x80000000u); }},
        // v12 classic directory index: count, "/" (6 bytes), its file
        // count at 10, the file name's byte count at 14, its bytes at 18.
        {"v12 name length negative", 12, {}, [](std::string& b) { SetU32(b, 14, 0xFFFFFFFFu); }},
        {"v12 name past the end", 12, {}, [](std::string& b) { SetU32(b, 14, 0x7FFFFFFFu); }},
        {"v12 name with a NUL", 12, {}, [](std::string& b) { b[18] = '\0'; }},
        {"v12 name not UTF-8", 12, {}, [](std::string& b) { b[18] = '\xC3'; }},
        // v15 flat directory index of "/" and "a.txt": counts at 4 (dirs), 8
        // (files), 12 (restart), the hash and its location at 32 and 40,
        // anchors at 44, first files at 52, name starts at 60, locations at
        // 68, the directory names at 72 (shared, length, "/"), "a.txt" at 81.
        {"flat restart 0", 15, {}, [](std::string& b) { SetU32(b, 12, 0); }},
        {"flat directory count huge", 15, {}, [](std::string& b) { SetU32(b, 4, 0x7FFFFFFFu); }},
        {"flat file count huge", 15, {}, [](std::string& b) { SetU32(b, 8, 0x7FFFFFFEu); }},
        {"flat shared beyond the previous name", 15, {}, [](std::string& b) { SetU32(b, 72, 1); }},
        {"flat suffix past the names", 15, {}, [](std::string& b) { SetU32(b, 76, 100); }},
        {"flat name starts decreasing", 15, {}, [](std::string& b) { SetU32(b, 60, 3); }},
        {"flat directory's files outside", 15, {}, [](std::string& b) { SetU32(b, 56, 5); }},
        {"flat last anchor not the names' end", 15, {}, [](std::string& b) { SetU32(b, 48, 3); }},
        {"flat file name with a NUL", 15, {}, [](std::string& b) { b[82] = '\0'; }},
        {"flat file name with a slash", 15, {}, [](std::string& b) { b[82] = '/'; }},
        {"flat location outside the blob",
         15,
         {},
         [](std::string& b) { SetU32(b, 68, 0x00FFFFFFu); }},
        // v15 with AES-CTR: the blob (its size at 106) holds the encrypted
        // entry's bits, offset, size and a 12-byte IV; cut inside the IV.
        {"CTR record cut inside its IV",
         15,
         [](std::string& b) {
             b.erase(110 + 12 + 6, 6);
             SetU32(b, 106, 12 + 6);
         },
         {},
         true},
        {"encoded entry garbage",
         11,
         [](std::string& b) {
             // The blob follows 14 + 4 + 8 + 2 × 40 bytes and its size.
             for (std::size_t i = 14 + 4 + 8 + 80 + 4; i < b.size() - 4; ++i) {
                 b[i] = static_cast<char>(0xFF);
             }
         },
         {}},
    };
    for (const HostileRow& row : rows) {
        SCOPED_TRACE(row.what);
        UnrealPakLayout layout;
        layout.version = row.version;
        layout.editIndex = row.editIndex;
        layout.editDirectory = row.editDirectory;
        layout.key = kKey;
        layout.encryptionMethod = row.ctr ? 2 : 1;
        const std::string pak =
            Testing::BuildUnrealPak(layout, {{"a.txt", "hello", "None", row.ctr, 65536}});
        ReadOptions options;
        options.aesKeys = {kKey};
        const DirectoryWalk walk = Walk(pak, options);
        EXPECT_EQ(walk.kind, PackageKind::Unreal);
        const bool listed = std::string_view(row.what) == "entry offset past the end";
        EXPECT_EQ(walk.refusal.empty(), listed) << walk.refusal;
        EXPECT_EQ(walk.visited, listed ? 1u : 0u);
    }
}

// Names that try to leave the output folder, and mount points that try to
// escape, are listed as stored and extracted inside DIR only.
TEST(UnrealPak, EscapingNamesStayInside) {
    UnrealPakLayout layout;
    layout.mount = "../../../../a/../../";
    const std::vector<UnrealFile> files = {
        {"../evil.txt", "1", "None", false, 65536},      {"x\\y.txt", "2", "None", false, 65536},
        {"dup.txt", "3", "None", false, 65536},          {"dup.txt", "4", "None", false, 65536},
        {"sub/../../up.txt", "5", "None", false, 65536},
    };
    const Testing::TempDir dir;
    const std::string path = dir.file("p.pak");
    Testing::WriteFile(path, Testing::BuildUnrealPak(layout, files));
    const auto entries = KestruneEngine::ListEntries(path);
    ASSERT_EQ(entries.size(), files.size());
    EXPECT_EQ(entries[0].name.substr(0, 5), "a/../");
    ExtractionReport report;
    KestruneEngine::ExtractAll(path, dir.file("out"), &report);
    std::size_t inside = 0;
    for (const auto& item : std::filesystem::recursive_directory_iterator(dir.path())) {
        const std::string p = item.path().string();
        EXPECT_TRUE(p == path || p.starts_with(dir.file("out"))) << p;
        inside += item.is_regular_file() ? 1 : 0;
    }
    EXPECT_EQ(inside, files.size() + 1); // every entry written, the two dup.txt apart
}

} // namespace
} // namespace Kestrune

namespace Kestrune {
namespace {

struct FindingRow {
    const char* what;
    std::uint32_t version;
    std::vector<UnrealFile> files;
    std::function<void(UnrealPakLayout&)> shape;
    std::function<void(std::string&)> editPak; // the built file, hashes and all
    std::vector<std::string> damaged;          // --test's "Damaged: " lines, in order
    int extractExit;
};

// What --test finds in a pak, as a user runs it: damage to the index or to
// one entry is named and fails the check, every entry is still read (the
// bytes an extraction writes), and the pak is never read as another kind.
TEST(UnrealPak, TestNamesDamageAndReadsOn) {
    const UnrealFile hello{"a.txt", "hello", "None", false, 65536};
    const UnrealFile world{"b.txt", "world", "None", false, 65536};
    const UnrealFile same{"b.txt", "hello", "None", false, 65536};
    const auto flip = [](std::size_t at) {
        return [at](std::string& pak) { pak[at] = static_cast<char>(pak[at] ^ 0x20); };
    };
    const std::vector<FindingRow> rows = {
        {"v11 index hash",
         11,
         {hello, world},
         [](UnrealPakLayout& l) { l.corruptIndexHash = true; },
         {},
         {"PAK: the index does not match its SHA-1"},
         0},
        {"v9 index hash",
         9,
         {hello, world},
         [](UnrealPakLayout& l) { l.corruptIndexHash = true; },
         {},
         {"PAK: the index does not match its SHA-1"},
         0},
        {"v11 directory index hash",
         11,
         {hello, world},
         [](UnrealPakLayout& l) { l.corruptDirectoryHash = true; },
         {},
         {"PAK: the directory index does not match its SHA-1"},
         0},
        // The stored bytes against the SHA-1 of the record (v1: after its
        // 56-byte header) or of the in-data header (v11: 53 bytes).
        {"v1 stored byte",
         1,
         {hello, world},
         {},
         flip(56 + 1),
         {"a.txt: SHA-1 mismatch (aaf4c61ddcc5e8a2dabede0f3b482cd9aea9434d stored, "
          "9c69649ae449f46285abfca8341f098c64cfaa03 read)"},
         1},
        {"v11 stored byte",
         11,
         {hello, world},
         {},
         flip(53 + 1),
         {"a.txt: SHA-1 mismatch (aaf4c61ddcc5e8a2dabede0f3b482cd9aea9434d stored, "
          "9c69649ae449f46285abfca8341f098c64cfaa03 read)"},
         1},
        // v5 index: mount (14 bytes), count, "a.txt" (10), its record.
        {"v5 record outside the file",
         5,
         {hello, world},
         [](UnrealPakLayout& l) {
             l.editIndex = [](std::string& b) { SetU32(b, 28, 0x7FFFFFF0u); };
         },
         {},
         {"a.txt: cut short by the end of the package (0 of 5 bytes)"},
         1},
        // Its index hash wrong, a v5 pak is read as our container, whose
        // index it is not: no success either.
        {"v5 index hash",
         5,
         {hello, world},
         [](UnrealPakLayout& l) { l.corruptIndexHash = true; },
         {},
         {"PAK: the index ends after 0 of its 10 records"},
         0},
        {"v5 records sharing bytes",
         5,
         {hello, same},
         [](UnrealPakLayout& l) {
             l.editIndex = [](std::string& b) { SetU32(b, 14 + 4 + 10 + 53 + 10, 0); };
         },
         {},
         {"a.txt: its data overlaps another entry's", "b.txt: its data overlaps another entry's"},
         0},
        {"v11 path hash index",
         11,
         {hello, world},
         [](UnrealPakLayout& l) {
             l.editPathHashIndex = [](std::string& b) { b[4] = static_cast<char>(b[4] ^ 1); };
         },
         {},
         {"PAK: the path hash index does not match the names"},
         0},
        // The flat directory index's copy of the path hashes (at 32).
        {"v15 flat index path hashes",
         15,
         {hello, world},
         [](UnrealPakLayout& l) {
             l.editDirectory = [](std::string& b) { b[32] = static_cast<char>(b[32] ^ 1); };
         },
         {},
         {"PAK: the directory index's path hashes do not match the names"},
         0},
        // Written with the letters outside ASCII lower-cased for the path
        // hash: as good as ASCII's A-Z alone.
        {"v11 names lower-cased as Unicode",
         11,
         {{"\xC3\x9Cn\xC3\xAF"
           "c\xC3\xB6"
           "d\xC3\xA9/\xE5\x90\x8D\xE5\x89\x8D \xC3\xB1.txt",
           "x", "None", false, 65536},
          hello},
         [](UnrealPakLayout& l) { l.unicodeLowerHash = true; },
         {},
         {},
         0},
    };
    for (const FindingRow& row : rows) {
        SCOPED_TRACE(row.what);
        UnrealPakLayout layout;
        layout.version = row.version;
        if (row.shape) {
            row.shape(layout);
        }
        std::string bytes = Testing::BuildUnrealPak(layout, row.files);
        if (row.editPak) {
            row.editPak(bytes);
        }
        const Testing::TempDir dir;
        const std::string path = dir.file("t.pak");
        Testing::WriteFile(path, bytes);
        std::string expected;
        for (const std::string& line : row.damaged) {
            expected +=
                "Damaged: " + (line.starts_with("PAK: ") ? path + line.substr(3) : line) + "\n";
        }
        std::uint64_t written = 0;
        for (const UnrealFile& f : row.files) {
            written += row.damaged.empty() || !row.damaged[0].starts_with("PAK: the index ends")
                           ? f.content.size()
                           : 0;
        }
        if (row.version == 5 && row.damaged[0].find("cut short") != std::string::npos) {
            written -= 5;
        }
        const auto tested = Testing::RunKestrune({"--test", path});
        EXPECT_EQ(tested.exitCode, row.damaged.empty() ? 0 : 1) << tested.err;
        EXPECT_TRUE(tested.out.starts_with(Testing::ConsoleText(expected))) << tested.out;
        EXPECT_NE(tested.out.find("Extraction writes " + std::to_string(written) + " bytes"),
                  std::string::npos)
            << tested.out;
        const bool container = written == 0;
        EXPECT_TRUE(tested.out.ends_with(Testing::ConsoleText(
            std::to_string(container ? 0 : row.files.size()) + " entries, " +
            std::to_string(
                std::count_if(row.damaged.begin(), row.damaged.end(),
                              [](const std::string& l) { return !l.starts_with("PAK: "); })) +
            " damaged\n")))
            << tested.out;
        const auto extracted = Testing::RunKestrune({"--extract", path, dir.file("out")});
        EXPECT_EQ(extracted.exitCode, row.extractExit) << extracted.err;
    }
}

} // namespace
} // namespace Kestrune

namespace Kestrune {
namespace {

// Footers told apart by where their magic lies and the versions each place
// takes: a version at the wrong place is no pak at all, never a guess.
TEST(UnrealPak, FooterLayouts) {
    const std::vector<UnrealFile> files = {{"a.txt", "hello", "None", false, 65536}};
    const auto build = [&](std::uint32_t version, std::uint8_t method = 1) {
        UnrealPakLayout layout;
        layout.version = version;
        layout.encryptionMethod = method;
        return Testing::BuildUnrealPak(layout, files);
    };
    const auto withVersion = [](std::string pak, std::size_t fromEnd, std::uint32_t version) {
        SetU32(pak, pak.size() - fromEnd, version);
        return pak;
    };
    struct Row {
        const char* what;
        std::string pak;
        PackageKind kind;
        std::string refusal;
    };
    const std::vector<Row> rows = {
        {"12 at 221", build(12), PackageKind::Unreal, ""},
        {"13 at 221", build(13), PackageKind::Unreal, ""},
        {"14 at 225", build(14), PackageKind::Unreal, ""},
        {"15 at 262", build(15), PackageKind::Unreal, ""},
        {"a small v5 pak", build(5), PackageKind::Unreal, ""},
        {"14 at 221", withVersion(build(11), 200, 14), PackageKind::None, ""},
        {"15 at 221", withVersion(build(11), 200, 15), PackageKind::None, ""},
        {"12 at 262", withVersion(build(15), 241, 12), PackageKind::None, ""},
        {"11 at 225", withVersion(build(14), 204, 11), PackageKind::None, ""},
        {"16 at 262", withVersion(build(15), 241, 16), PackageKind::Unreal,
         "pak version 16 is not read"},
        {"encryption method 3", build(15, 3), PackageKind::Unreal,
         "encryption method 3 is not read"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const DirectoryWalk walk = Walk(row.pak);
        EXPECT_EQ(walk.kind, row.kind);
        EXPECT_EQ(walk.refusal, row.refusal);
        EXPECT_EQ(walk.visited, row.kind == PackageKind::Unreal && row.refusal.empty() ? 1u : 0u);
    }
}

} // namespace
} // namespace Kestrune
