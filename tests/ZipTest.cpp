// ZIP archives built in code: every method the libraries write round trips
// through listing, copying and checking; names come out as UTF-8 with "/";
// what the tool does not decode or decrypt fails by name; hostile archives
// list nothing they do not hold.

#include "Detect.h"
#include "KestruneEngine.h"
#include "support/Files.h"
#include "support/Process.h"
#include "support/ZipBuilder.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace Kestrune {
namespace {

using Testing::ZipFile;
using Testing::ZipLayout;

std::string Pattern(std::size_t size, int seed) {
    std::string out(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        out[i] =
            static_cast<char>((i * 31 + static_cast<std::size_t>(seed)) % 251 % (i % 7 + 1) + 'a');
    }
    return out;
}

std::string Copy(const std::string& path, const std::string& name,
                 std::optional<std::string>* failure = nullptr) {
    std::string copied;
    const EntryCopy copy = KestruneEngine::CopyEntryContent(
        path, name, [&](const unsigned char* data, std::size_t length) {
            copied.append(reinterpret_cast<const char*>(data), length);
            return true;
        });
    if (failure != nullptr) {
        *failure = copy.failure;
    }
    return copied;
}

// name: reason, for every entry a check finds damaged.
std::vector<std::string> Damaged(const std::string& path) {
    std::vector<std::string> damaged;
    KestruneEngine::TestPackage(path, [&](const DamagedEntry& d) {
        damaged.push_back(std::string(d.name) + ": " + d.reason);
    });
    return damaged;
}

struct RoundTrip {
    std::uint16_t method;
    std::string_view shown;
    bool descriptor = false;
    bool zip64 = false;
    bool framed = false; // a prefix and a comment around the archive
    std::size_t size = 5000;
};

const RoundTrip kRoundTrips[] = {
    {0, "Store"},
    {8, "Deflate"},
    {12, "BZip2"},
    {14, "LZMA"},
    {93, "Zstd"},
    {95, "XZ"},
    {8, "Deflate", true},
    {0, "Store", false, true},
    {12, "BZip2", true, true},
    {14, "LZMA", false, false, true},
    {0, "Store", true, false, true},
    // Past the size held whole: decoded as a stream.
    {8, "Deflate", false, false, false, 6 << 20},
    {95, "XZ", true, true, true, 5 << 20},
};

class ZipRoundTrip : public testing::TestWithParam<RoundTrip> {};

TEST_P(ZipRoundTrip, ListsCopiesAndChecks) {
    const RoundTrip& row = GetParam();
    std::vector<ZipFile> files = {
        {"maps/e1m1.bsp", Pattern(row.size, 1), row.method},
        {"empty.txt", "", row.method},
        {"scripts/a.cfg", Pattern(300, 2), row.method},
    };
    for (ZipFile& file : files) {
        file.descriptor = row.descriptor;
        file.zip64 = row.zip64;
    }
    ZipLayout layout;
    layout.zip64End = row.zip64;
    if (row.framed) {
        layout.prefix = "MZ" + std::string(1000, '\x90');
        layout.comment = "built by a test";
    }
    const Testing::TempDir dir;
    const std::string path = dir.file("test.pk3");
    const std::string bytes = Testing::BuildZip(files, layout);
    Testing::WriteFile(path, bytes);
    const auto entries = KestruneEngine::ListEntries(path);
    ASSERT_EQ(entries.size(), files.size());
    EXPECT_EQ(KestruneEngine::Examine(path).walk.kind, PackageKind::Zip);
    for (std::size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(files[i].name);
        EXPECT_EQ(entries[i].name, files[i].name);
        EXPECT_EQ(entries[i].size, files[i].content.size());
        EXPECT_EQ(entries[i].compression, row.shown);
        // The offset is that of the first stored byte.
        const std::string stored = Testing::ZipCompress(row.method, files[i].content);
        EXPECT_EQ(bytes.substr(entries[i].offset, stored.size()), stored);
        EXPECT_EQ(entries[i].compressedSize, stored.size());
        std::optional<std::string> failure;
        EXPECT_TRUE(Copy(path, files[i].name, &failure) == files[i].content);
        EXPECT_FALSE(failure) << *failure;
    }
    EXPECT_EQ(Damaged(path), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(EveryMethod, ZipRoundTrip, testing::ValuesIn(kRoundTrips),
                         [](const testing::TestParamInfo<RoundTrip>& row) {
                             return std::string(row.param.shown) + "_" + std::to_string(row.index);
                         });

TEST(Zip, NamesAreUtf8WithSlashesAndDirectoriesAreNoEntries) {
    const std::vector<ZipFile> files = {
        {"maps/", ""},
        {"maps\\e1m1.bsp", "map"},
        {"\x81"
         "ber.txt",
         "cp437"},                               // "ü" in code page 437
        {"\xE5\x90\x8D.txt", "utf8", 0, 0x0800}, // "名", flagged UTF-8
    };
    const Testing::TempDir dir;
    const std::string path = dir.file("names.zip");
    Testing::WriteFile(path, Testing::BuildZip(files));
    std::vector<std::string> names;
    for (const ArchiveEntry& e : KestruneEngine::ListEntries(path)) {
        names.push_back(e.name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"maps/e1m1.bsp",
                                               "\xC3\xBC"
                                               "ber.txt",
                                               "\xE5\x90\x8D.txt"}));

    // --list-json: the kind, and each entry's stored facts.
    const auto run = Testing::RunKestrune({"--list-json", path});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto json = nlohmann::json::parse(run.out);
    EXPECT_EQ(json["kind"], "zip");
    const auto& first = json["entries"][0];
    EXPECT_EQ(first["name"], "maps/e1m1.bsp");
    EXPECT_EQ(first["compression"], "Store");
    EXPECT_EQ(first["stored_size"], 3);
    EXPECT_EQ(first["crc32"], 0x93ADAABBu); // crc32("map")
    EXPECT_EQ(first["modified"], "2024-01-01 12:00:00");
    EXPECT_EQ(first["encrypted"], false);

    // --tree puts entries in the archive's own folders.
    const auto tree = Testing::RunKestrune({"--tree", "--extract", path, dir.file("out")});
    ASSERT_EQ(tree.exitCode, 0) << tree.err;
    EXPECT_EQ(Testing::ReadFile(dir.file("out/maps/e1m1.bsp")), "map");
}

// What the tool does not decode or decrypt fails by name; the others are
// written. Damage the central directory or the local header show is named.
TEST(Zip, EntriesThatCannotBeReadFailByName) {
    ZipFile deflate64{"deflate64.bin", "abc", 9};
    ZipFile aes{"aes.bin", "abc", 99};
    aes.flags = 1;
    aes.extra = std::string("\x01\x99\x07\x00\x02\x00"
                            "AE\x03\x08\x00",
                            11);
    ZipFile traditional{"zipcrypto.bin", "abc", 8};
    traditional.flags = 1;
    ZipFile badCrc{"crc.bin", Pattern(2000, 3), 8};
    badCrc.crc = 0x12345678;
    ZipFile badStoredCrc{"stored-crc.bin", "plain", 0};
    badStoredCrc.crc = 1;
    ZipFile descriptor{"descriptor.bin", "after", 8};
    descriptor.descriptor = true;
    const std::vector<ZipFile> files = {
        deflate64, aes, traditional, badCrc, badStoredCrc, descriptor, {"good.txt", "fine", 8}};
    const Testing::TempDir dir;
    const std::string path = dir.file("mixed.zip");
    std::string bytes = Testing::BuildZip(files);
    // The last local header names another method than its record; the data
    // descriptor before it, another CRC-32.
    const std::size_t lastLocal = bytes.rfind(std::string("PK\x03\x04", 4));
    bytes[lastLocal + 8] = 0;
    bytes[bytes.rfind(std::string("PK\x07\x08", 4)) + 4] ^= 1;
    Testing::WriteFile(path, bytes);
    const std::string crc = "checksum mismatch (CRC32 ";
    EXPECT_EQ(Damaged(path),
              (std::vector<std::string>{
                  "deflate64.bin: compressed with Deflate64, which kestrune does not decode",
                  "aes.bin: encrypted (WinZip AES), which kestrune does not decrypt",
                  "zipcrypto.bin: encrypted (traditional PKWARE), which kestrune does not decrypt",
                  "crc.bin: checksum mismatch (CRC32 12345678 stored, 11669b74 read)",
                  "stored-crc.bin: checksum mismatch (CRC32 00000001 stored, 192062cf read)",
                  "descriptor.bin: its data descriptor differs from the central directory",
                  "good.txt: its local header differs from the central directory"}));
    const auto run = Testing::RunKestrune({"--extract", path, dir.file("out")});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("aes.bin"), std::string::npos) << run.err;
    EXPECT_EQ(Testing::ReadFile(dir.file("out/good.txt")), "fine");
}

DirectoryWalk Walk(const std::string& bytes, std::vector<ArchiveEntry>* entries = nullptr) {
    MemorySource source(bytes);
    return WalkEntries(source,
                       [&](const EntryView& view) {
                           if (entries != nullptr) {
                               AssignEntry(entries->emplace_back(), view);
                           }
                       },
                       UINT64_MAX, {});
}

// One row per hostile archive: what the walk finds.
struct Hostile {
    std::string_view what;
    std::string bytes;
    PackageKind kind;
    std::string refusal;                         // of the whole archive
    std::vector<std::string_view> entryRefusals; // one per entry listed
};

TEST(Zip, HostileArchives) {
    const std::vector<ZipFile> two = {{"a.txt", "hello", 8}, {"b.txt", "world", 0}};
    const std::string good = Testing::BuildZip(two);
    const std::string_view outside = "its local header or stored bytes lie outside the archive's "
                                     "data, before its central directory";
    const std::string_view overlap =
        "shares its stored bytes with another entry (overlapping entries, as in a zip bomb)";
    std::vector<Hostile> rows;
    {
        // A comment holding the end record of an empty archive: the record
        // whose comment holds it is the archive's.
        ZipLayout fake;
        fake.comment = std::string("PK\x05\x06", 4) + std::string(12, '\0') +
                       std::string("\x10\x00\x00\x00\x00\x00", 6);
        rows.push_back({"end record in the comment",
                        Testing::BuildZip(two, fake),
                        PackageKind::Zip,
                        "",
                        {"", ""}});
    }
    {
        // The end record farther from the end than the search goes.
        rows.push_back({"end record out of reach",
                        good + std::string(0x10000, 'x'),
                        PackageKind::None,
                        "",
                        {}});
        ZipLayout longest;
        longest.comment = std::string(0xFFFF, 'c');
        rows.push_back(
            {"longest comment", Testing::BuildZip(two, longest), PackageKind::Zip, "", {"", ""}});
    }
    {
        ZipLayout wide;
        wide.zip64End = true;
        std::string bytes = Testing::BuildZip(two, wide);
        bytes[bytes.size() - 22 + 10] = 3; // 32-bit count 3, ZIP64 count 2
        rows.push_back({"ZIP64 count disagrees",
                        bytes,
                        PackageKind::Zip,
                        "its ZIP64 end record disagrees with its end record",
                        {}});
    }
    {
        ZipLayout more;
        more.declaredCount = 3;
        rows.push_back({"count beyond the records",
                        Testing::BuildZip(two, more),
                        PackageKind::Zip,
                        "",
                        {"", ""}});
    }
    {
        std::vector<ZipFile> beyond = two;
        beyond[0].localOffset = 0x7FFFFFF0;
        rows.push_back({"offset beyond the file",
                        Testing::BuildZip(beyond),
                        PackageKind::Zip,
                        "",
                        {outside, ""}});
    }
    {
        // The non-recursive bomb: the second entry's record points at the
        // first one's local header and bytes.
        std::vector<ZipFile> bomb = two;
        bomb[1] = bomb[0];
        bomb[1].localOffset = 0;
        rows.push_back({"overlapping entries",
                        Testing::BuildZip(bomb),
                        PackageKind::Zip,
                        "",
                        {overlap, overlap}});
    }
    {
        // The record says its sizes are in a ZIP64 field, and none is there:
        // listed, and failing by name; the next entry is still read.
        std::string bytes = Testing::BuildZip(two);
        const std::size_t record = bytes.find(std::string("PK\x01\x02", 4));
        bytes.replace(record + 24, 4, std::string(4, '\xFF'));
        rows.push_back(
            {"ZIP64 field missing",
             bytes,
             PackageKind::Zip,
             "",
             {"its record defers to ZIP64 fields that its extra field does not hold", ""}});
    }
    for (const Hostile& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<ArchiveEntry> entries;
        const DirectoryWalk walk = Walk(row.bytes, &entries);
        EXPECT_EQ(walk.kind, row.kind);
        EXPECT_EQ(walk.refusal, row.refusal);
        ASSERT_EQ(entries.size(), row.entryRefusals.size());
        for (std::size_t i = 0; i < entries.size(); ++i) {
            EXPECT_EQ(entries[i].content.refusal, row.entryRefusals[i]) << i;
        }
    }

    // Every prefix of an archive reads cleanly: nothing, or entries whose
    // content is theirs or fails.
    ZipLayout framed;
    framed.zip64End = true;
    framed.comment = "c";
    std::vector<ZipFile> all = {
        {"a", Pattern(700, 1), 8}, {"b", Pattern(300, 2), 12}, {"c", Pattern(200, 3), 95}};
    all[1].zip64 = true;
    all[2].descriptor = true;
    const std::string whole = Testing::BuildZip(all, framed);
    for (std::size_t cut = 0; cut < whole.size(); ++cut) {
        EXPECT_EQ(Walk(whole.substr(0, cut)).visited, 0u) << "cut at " << cut;
    }
    EXPECT_EQ(Walk(whole).visited, 3u);
    // Every byte changed in turn, and every entry read: never more entries
    // than records, and the sanitizers watch every read and every decode.
    const Testing::TempDir dir;
    const std::string path = dir.file("changed.zip");
    for (std::size_t at = 0; at < whole.size(); ++at) {
        std::string changed = whole;
        changed[at] = static_cast<char>(changed[at] ^ 0xFF);
        Testing::WriteFile(path, changed);
        const PackageCheck check = KestruneEngine::TestPackage(path, [](const DamagedEntry&) {});
        EXPECT_LE(check.entryCount, 3u) << "byte " << at;
    }
}

// A declared size far beyond what the stored bytes hold: decoding stops
// where they end and the entry fails; nothing near the claim is allocated
// or written.
TEST(Zip, DeclaredSizesBoundDecoding) {
    ZipFile claim{"claim.bin", "", 8};
    claim.stored = Testing::ZipCompress(8, std::string(1000, 'a'));
    claim.zip64 = true;
    std::string bytes = Testing::BuildZip({claim});
    // The ZIP64 size fields (local and central) say 4 GiB.
    const std::string zero8(8, '\0');
    for (std::size_t at = bytes.find(std::string("\x01\x00", 2)); at != std::string::npos;
         at = bytes.find(std::string("\x01\x00", 2), at + 1)) {
        if (bytes.compare(at + 4, 8, zero8) == 0) {
            bytes[at + 4 + 4] = 1;
        }
    }
    const Testing::TempDir dir;
    const std::string path = dir.file("claim.zip");
    Testing::WriteFile(path, bytes);
    const auto entries = KestruneEngine::ListEntries(path);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].size, std::uint64_t{1} << 32);
    std::optional<std::string> failure;
    EXPECT_EQ(Copy(path, "claim.bin", &failure).size(), 1000u);
    ASSERT_TRUE(failure);
}

// Debian's doomsday-data installs real pk3 files: every entry is listed and
// extracted, and each extracted file is compared with what Python's zipfile
// reads from the archive.
TEST(Zip, DoomsdayPk3sMatchPythonsZipfile) {
#ifdef _WIN32
    GTEST_SKIP() << "Python's zipfile is compared with on Debian";
#endif
    const std::filesystem::path folder = "/usr/share/doomsday";
    std::vector<std::filesystem::path> archives;
    if (std::filesystem::is_directory(folder)) {
        for (const auto& item : std::filesystem::directory_iterator(folder)) {
            if (item.path().extension() == ".pk3") {
                archives.push_back(item.path());
            }
        }
    }
    if (archives.empty()) {
        GTEST_SKIP() << "doomsday-data is not installed";
    }
    const Testing::TempDir dir;
    const std::string script = dir.file("compare.py");
    Testing::WriteFile(script, R"(import os, sys, zipfile
archive, out = sys.argv[1], sys.argv[2]
files = [i for i in zipfile.ZipFile(archive).infolist() if not i.is_dir()]
z = zipfile.ZipFile(archive)
bad = [i.filename for i in files
       if not os.path.isfile(os.path.join(out, i.filename))
       or open(os.path.join(out, i.filename), 'rb').read() != z.read(i)]
print(len(files), len(bad), *bad[:3])
)");
    for (const auto& archive : archives) {
        SCOPED_TRACE(archive.string());
        const std::string out = dir.file(archive.stem().string());
        const auto run = Testing::RunKestrune({"--tree", "--extract", archive.string(), out});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        const std::string report = dir.file("report.txt");
        ASSERT_EQ(
            std::system(("python3 " + script + " " + archive.string() + " " + out + " > " + report)
                            .c_str()),
            0);
        const auto entries = KestruneEngine::ListEntries(archive.string());
        EXPECT_GT(entries.size(), 0u);
        EXPECT_EQ(Testing::ReadFile(report), std::to_string(entries.size()) + " 0\n");
    }
}

} // namespace
} // namespace Kestrune
