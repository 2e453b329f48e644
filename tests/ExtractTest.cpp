// Extraction to disk: every entry with its own bytes, under its own name,
// inside the directory, and every shortfall reported.

#include "KestruneEngine.h"
#include "OutputNames.h"
#include "Platform.h"
#include "support/AllocationProbe.h"
#include "support/Files.h"
#include "support/PackageBuilder.h"
#include "support/Process.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <sstream>

namespace Kestrune {
namespace {

namespace fs = std::filesystem;
using Testing::PakBuilder;
using Testing::ReadFile;
using Testing::TempDir;
using Testing::VpkBuilder;
using Testing::WriteFile;

std::set<std::string> FilesIn(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& item : fs::directory_iterator(dir)) {
        names.insert(item.path().filename().string());
    }
    return names;
}

std::set<std::string> FailedEntries(const ExtractionReport& report) {
    std::set<std::string> names;
    for (const ExtractionFailure& f : report.failures) {
        names.insert(f.entryName);
    }
    return names;
}

// Every regular file under `dir`, by its path from `dir` ("/" between
// levels), with its bytes; symbolic links are not followed.
std::map<std::string, std::string> TreeWithBytes(const fs::path& dir) {
    std::map<std::string, std::string> files;
    for (const auto& item : fs::recursive_directory_iterator(dir)) {
        if (item.is_regular_file() && !item.is_symlink()) {
            files[fs::relative(item.path(), dir).generic_string()] = ReadFile(item.path().string());
        }
    }
    return files;
}

// A tree extraction keeps every guarantee of a flat one in each directory
// it makes, and tells the caller where each entry went.
TEST(Extract, TreeKeepsDirectoriesAndStaysInside) {
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, std::string>> entries;
        std::map<std::string, std::string> after; // under DIR
        std::string plantedLink = "";             // a link in DIR to a directory outside
    };
    [[maybe_unused]] const std::string longPart(300, 'x');
    const std::vector<Case> cases = {
        {"directories kept",
         {{"textures/wall/brick.png", "b"}, {"textures/wall/stone.png", "s"}, {"top", "t"}},
         {{"textures/wall/brick.png", "b"}, {"textures/wall/stone.png", "s"}, {"top", "t"}}},
        {"nothing written outside",
         {{"../escape", "1"}, {"/abs/x", "2"}, {"a/../../b", "3"}},
         {{"escape", "1"}, {"abs/x", "2"}, {"a/b", "3"}}},
        {"a/b beside a_b", {{"a/b", "1"}, {"a_b", "2"}}, {{"a/b", "1"}, {"a_b", "2"}}},
        {"a file and a directory of one name",
         {{"a", "file"}, {"a/b", "inside"}},
         {{"a~2", "file"}, {"a/b", "inside"}}},
#ifndef _WIN32
        // Two 255-byte levels make a path beyond what the test's own
        // directory walk reaches on Windows (the extraction itself uses long
        // paths there).
        {"long components",
         {{longPart + "/" + longPart, "deep"}},
         {{std::string(255, 'x') + "/" + std::string(255, 'x'), "deep"}}},
#endif
        {"a planted link is never entered",
         {{"link/victim", "attacker"}},
         {{"link~2/victim", "attacker"}},
         "link"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        PakBuilder pak;
        for (const auto& [name, bytes] : c.entries) {
            pak.add(name, bytes);
        }
        WriteFile(dir.file("p.pak"), pak.build());
        const std::string out = dir.file("out");
        fs::create_directory(out);
        fs::create_directory(dir.file("outside"));
        if (!c.plantedLink.empty() &&
            !Testing::MakeSymbolicLink(dir.file("outside"), out + "/" + c.plantedLink)) {
            GTEST_SKIP() << "no symbolic links can be made here";
        }
        for (int run = 1; run <= 2; ++run) {
            SCOPED_TRACE("run " + std::to_string(run));
            std::map<std::string, std::string> written;
            ExtractionReport report;
            EXPECT_TRUE(KestruneEngine::ExtractAll(
                dir.file("p.pak"), out, &report, {}, {}, OutputLayout::Tree,
                [&](const WrittenFile& file) {
                    written[std::string(file.path)] = std::string(file.entryName);
                }));
            EXPECT_EQ(TreeWithBytes(out), c.after);
            EXPECT_EQ(written.size(), c.entries.size());
            for (const auto& [path, entry] : written) {
                EXPECT_TRUE(c.after.contains(path)) << path << " from " << entry;
            }
            EXPECT_TRUE(fs::is_empty(dir.file("outside")));
        }
    }
}

// Lumps after a map marker go under the map, namespaced lumps under their
// folder; markers and everything else stay at the top. Flat ignores folders.
TEST(Extract, WadFoldersInATree) {
    Testing::WadBuilder wad;
    for (const char* lump :
         {"PLAYPAL",  "MAP01",  "THINGS", "LINEDEFS", "BLOCKMAP", "DEMO1",    "E1M1",
          "THINGS",   "MAP02",  "DEMO2",  "S_START",  "TROOA1",   "S_END",    "FF_START",
          "F1_START", "FLOOR",  "F1_END", "F_END",    "PP_START", "P1_START", "WALL",
          "P1_END",   "PP_END", "MAP03",  "TEXTMAP",  "ENDMAP"}) {
        wad.lump(lump, lump);
    }
    TempDir dir;
    WriteFile(dir.file("p.wad"), wad.build());
    ASSERT_TRUE(KestruneEngine::ExtractAll(dir.file("p.wad"), dir.file("tree"), nullptr, {}, {},
                                           OutputLayout::Tree));
    std::map<std::string, std::string> expected;
    for (const char* path :
         {"PLAYPAL",      "MAP01~2",        "MAP01/THINGS", "MAP01/LINEDEFS", "MAP01/BLOCKMAP",
          "DEMO1",        "E1M1~2",         "E1M1/THINGS",  "MAP02",          "DEMO2",
          "S_START",      "sprites/TROOA1", "S_END",        "FF_START",       "flats/F1_START",
          "flats/FLOOR",  "flats/F1_END",   "F_END",        "PP_START",       "patches/P1_START",
          "patches/WALL", "patches/P1_END", "PP_END",       "MAP03~2",        "MAP03/TEXTMAP",
          "MAP03/ENDMAP"}) {
        // Each lump holds its own name; a marker beside its map's folder
        // is told apart by "~2".
        std::string_view lump = path;
        lump.remove_prefix(lump.find('/') == std::string_view::npos ? 0 : lump.find('/') + 1);
        if (lump.ends_with("~2")) {
            lump.remove_suffix(2);
        }
        expected[path] = std::string(lump);
    }
    EXPECT_EQ(TreeWithBytes(dir.file("tree")), expected);
    // The listing's output names in a tree are the paths the files got.
    std::set<std::string> listed;
    ASSERT_TRUE(KestruneEngine::VisitEntriesWithOutputNames(
        dir.file("p.wad"), [](PackageKind) {},
        [&](const EntryView&, const std::optional<std::string>& path) { listed.insert(*path); }, {},
        OutputLayout::Tree));
    std::set<std::string> paths;
    for (const auto& [path, bytes] : expected) {
        paths.insert(path);
    }
    EXPECT_EQ(listed, paths);
    ASSERT_TRUE(KestruneEngine::ExtractAll(dir.file("p.wad"), dir.file("flat")));
    EXPECT_EQ(FilesIn(dir.file("flat")).size(), 26u);
    EXPECT_TRUE(FilesIn(dir.file("flat")).contains("THINGS~2"));
}

TEST(Extract, EveryEntryWithItsOwnBytes) {
    TempDir dir;
    PakBuilder pak;
    pak.add("Content/Meshes/crate.obj", "v 1 2 3\n")
        .add("THINGS", "first")
        .add("THINGS", "second, longer")
        .add("a/b", "slash")
        .add("a_b", "underscore")
        .add("empty", "");
    WriteFile(dir.file("p.pak"), pak.build());
    const std::string out = dir.file("out");
    fs::create_directory(out);
    WriteFile(out + "/unrelated.txt", "keep me");
    WriteFile(out + "/empty", "old content to truncate");

    ExtractionReport report;
    ASSERT_TRUE(KestruneEngine::ExtractAll(dir.file("p.pak"), out, &report));
    EXPECT_EQ(report.entriesWritten, 6u);
    EXPECT_TRUE(report.failures.empty());

    const std::pair<const char*, const char*> expected[] = {
        {"Content_Meshes_crate.obj", "v 1 2 3\n"},
        {"THINGS", "first"},
        {"THINGS~2", "second, longer"},
        {"a_b", "slash"},
        {"a_b~2", "underscore"},
        {"empty", ""},
        {"unrelated.txt", "keep me"},
    };
    std::set<std::string> names;
    for (const auto& [name, content] : expected) {
        SCOPED_TRACE(name);
        EXPECT_EQ(ReadFile(out + "/" + name), content);
        names.insert(name);
    }
    EXPECT_EQ(FilesIn(out), names);
}

// Small entries are copied through a buffer, large ones in steps by the
// system where it can: entries in any order, sharing bytes, on either side of
// the threshold or of many steps each get exactly their own bytes.
TEST(Extract, EntriesInAnyOrderAndOfAnySize) {
    TempDir dir;
    std::string data;
    for (std::uint64_t i = 0; data.size() < (3u << 20) + 12345; ++i) {
        data += std::to_string(i * 7919) + ",";
    }
    PakBuilder pak;
    pak.data(data); // at offset 0
    struct Piece {
        std::string name;
        std::uint64_t offset;
        std::uint64_t size;
    };
    const std::uint64_t threshold = 256 * 1024; // copied by the system from here on
    const Piece pieces[] = {
        {"late", 3000, 100},
        {"early", 10, 100},                            // behind the one before
        {"same-bytes", 10, 100},                       // the same range again
        {"straddles", threshold - 1000, 20 * 1024},    // across the threshold's offset
        {"next", threshold + 20 * 1024, 5},            // right after it
        {"below", 100, threshold - 1},                 // the largest through the buffer
        {"at", 7, threshold},                          // the smallest the system copies
        {"several-steps", 1, (3u << 20) + 5},          // more than three steps
        {"tail", data.size() - 300 * 1024, 300 * 1024} // up to the end of the data
    };
    for (const Piece& p : pieces) {
        pak.record({p.name, p.offset, p.size, p.size});
    }
    // Runs past the end of the package: the bytes there, then a failure.
    pak.record({"large-cut", data.size() - 100, 2 * threshold, 2 * threshold});
    const std::string package = pak.build();
    WriteFile(dir.file("p.pak"), package);
    const std::string out = dir.file("out");

    ExtractionReport report;
    EXPECT_FALSE(KestruneEngine::ExtractAll(dir.file("p.pak"), out, &report));
    EXPECT_EQ(FailedEntries(report), std::set<std::string>{"large-cut"});
    for (const Piece& p : pieces) {
        EXPECT_TRUE(ReadFile(out + "/" + p.name) == data.substr(p.offset, p.size)) << p.name;
    }
    EXPECT_TRUE(ReadFile(out + "/large-cut") == package.substr(data.size() - 100));
}

// Many entries are shared out between two workers in blocks: every entry is
// still written with its own bytes, and failures are reported in listing
// order whichever worker met them.
TEST(Extract, ManyEntriesFailuresInListingOrder) {
    TempDir dir;
    PakBuilder pak;
    std::vector<std::string> expectedFailures;
    const int count = 3000;
    for (int i = 0; i < count; ++i) {
        const std::string content = "entry " + std::to_string(i);
        if (i % 401 == 7) {
            pak.add("..", content); // no safe file name
            expectedFailures.push_back("..");
        } else if (i % 389 == 5) {
            pak.record({"cut/" + std::to_string(i), 0, 1 << 30, 1 << 30});
            expectedFailures.push_back("cut/" + std::to_string(i));
        } else {
            pak.add("dir/" + std::to_string(i) + ".txt", content);
        }
    }
    WriteFile(dir.file("p.pak"), pak.build());
    const std::string out = dir.file("out");

    ExtractionReport report;
    EXPECT_FALSE(KestruneEngine::ExtractAll(dir.file("p.pak"), out, &report));
    std::vector<std::string> failed;
    for (const ExtractionFailure& f : report.failures) {
        failed.push_back(f.entryName);
    }
    EXPECT_EQ(failed, expectedFailures);
    EXPECT_EQ(report.entriesWritten, count - expectedFailures.size());
    for (int i = 0; i < count; ++i) {
        if (i % 401 != 7 && i % 389 != 5) {
            ASSERT_EQ(ReadFile(out + "/dir_" + std::to_string(i) + ".txt"),
                      "entry " + std::to_string(i));
        }
    }
}

TEST(Extract, DirectoryStrings) {
    TempDir dir;
    PakBuilder pak;
    pak.add("a/b", "ab");
    WriteFile(dir.file("p.pak"), pak.build());
    fs::create_directory(dir.path() / "x");

    struct Case {
        std::string outDir;
        bool ok;
        std::string writtenFile; // where a_b must appear
    };
    const Case cases[] = {
        {dir.file("plain"), true, dir.file("plain") + "/a_b"},
        {dir.file("slash") + "/", true, dir.file("slash") + "/a_b"},
        {dir.file("x") + "/y", true, dir.file("x") + "/y/a_b"},
        {dir.file("missing") + "/y", false, ""},
        {dir.file("p.pak"), false, ""}, // a file, not a directory
        {"", false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("DIR '" + c.outDir + "'");
        ExtractionReport report;
        EXPECT_EQ(KestruneEngine::ExtractAll(dir.file("p.pak"), c.outDir, &report), c.ok);
        EXPECT_EQ(report.directoryReady, c.ok);
        if (c.ok) {
            EXPECT_EQ(ReadFile(c.writtenFile), "ab");
        } else {
            EXPECT_NE(report.directoryError, 0);
            EXPECT_FALSE(report.packageOpened);
        }
    }
    EXPECT_FALSE(fs::exists(dir.path() / "missing"));
}

TEST(Extract, ShortfallsAreFailuresNotPadding) {
    TempDir dir;
    PakBuilder pak;
    const std::uint64_t at = pak.data("0123456789");
    pak.record({"whole", at, 10, 10});
    pak.record({"past-end", at + 6, 10000, 10000});
    pak.record({"beyond", 1'000'000, 5, 5});
    pak.record({"hostile", at, 1ULL << 62, 1ULL << 62});
    pak.record({"", at, 1, 1});
    pak.record({"..", at, 1, 1});
    const std::string package = pak.build();
    WriteFile(dir.file("p.pak"), package);
    const std::string out = dir.file("out");

    ExtractionReport report;
    {
        Testing::AllocationProbe probe;
        EXPECT_FALSE(KestruneEngine::ExtractAll(dir.file("p.pak"), out, &report));
        EXPECT_LE(probe.largest(), std::size_t{2} << 20);
    }
    EXPECT_EQ(FailedEntries(report),
              (std::set<std::string>{"past-end", "beyond", "hostile", "", ".."}));
    EXPECT_EQ(report.entriesWritten, 1u);
    EXPECT_EQ(ReadFile(out + "/whole"), "0123456789");
    // Partial entries hold exactly the bytes the package has, never zeros.
    EXPECT_EQ(ReadFile(out + "/past-end"), package.substr(at + 6, package.size() - at - 6));
    EXPECT_EQ(ReadFile(out + "/beyond"), "");
    EXPECT_EQ(ReadFile(out + "/hostile"), package);
    EXPECT_EQ(FilesIn(out), (std::set<std::string>{"whole", "past-end", "beyond", "hostile"}));
    EXPECT_EQ(FilesIn(dir.path()), (std::set<std::string>{"p.pak", "out"}));
    for (const ExtractionFailure& f : report.failures) {
        EXPECT_FALSE(f.reason.empty()) << f.entryName;
    }
}

TEST(Extract, ThePackageIsNeverItsOwnOutput) {
    TempDir dir;
    const std::string out = dir.file("out");
    fs::create_directory(out);
    PakBuilder pak;
    pak.add("sub/p.pak", "would replace the package").add("other", "fine");
    const std::string package = pak.build();

    struct Case {
        const char* what;
        std::string packagePath; // inside DIR under the entry's flattened name
        std::string link;        // another name for it, if any
    };
    const Case cases[] = {
        {"package in DIR under an entry's name", out + "/sub_p.pak", ""},
        {"entry name is a hard link to the package", dir.file("real.pak"), out + "/sub_p.pak"},
        // Last: where no symbolic link can be made the rest is skipped.
        {"entry name is a symbolic link to the package", dir.file("real.pak"), out + "/sub_p.pak"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(out);
        fs::create_directory(out);
        WriteFile(c.packagePath, package);
        if (!c.link.empty()) {
            if (std::string(c.what).find("symbolic") == std::string::npos) {
                fs::create_hard_link(c.packagePath, c.link);
            } else if (!Testing::MakeSymbolicLink(c.packagePath, c.link)) {
                GTEST_SKIP() << "no symbolic links can be made here";
            }
        }
        ExtractionReport report;
        EXPECT_FALSE(KestruneEngine::ExtractAll(c.packagePath, out, &report));
        EXPECT_EQ(FailedEntries(report), std::set<std::string>{"sub/p.pak"});
        EXPECT_EQ(ReadFile(c.packagePath), package);
        EXPECT_EQ(ReadFile(out + "/other"), "fine");
    }
}

TEST(Extract, NeverWritesThroughALinkOutOfTheDirectory) {
    TempDir dir;
    PakBuilder pak;
    pak.add("victim", "attacker bytes");
    WriteFile(dir.file("p.pak"), pak.build());
    WriteFile(dir.file("outside.txt"), "precious");
    const std::string out = dir.file("out");
    fs::create_directory(out);
    if (!Testing::MakeSymbolicLink(dir.file("outside.txt"), out + "/victim")) {
        GTEST_SKIP() << "no symbolic links can be made here";
    }

    ExtractionReport report;
    EXPECT_FALSE(KestruneEngine::ExtractAll(dir.file("p.pak"), out, &report));
    EXPECT_EQ(FailedEntries(report), std::set<std::string>{"victim"});
    EXPECT_EQ(ReadFile(dir.file("outside.txt")), "precious");
}

TEST(Extract, MissingOrEmptyPackages) {
    TempDir dir;
    WriteFile(dir.file("empty.pak"), "");
    struct Case {
        std::string package;
        bool ok;
        bool opened;
    };
    const Case cases[] = {
        {dir.file("missing.pak"), false, false},
        {dir.path().string(), false, false},
        {dir.file("empty.pak"), true, true},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.package);
        const std::string out = dir.file("out" + std::to_string(n++));
        ExtractionReport report;
        EXPECT_EQ(KestruneEngine::ExtractAll(c.package, out, &report), c.ok);
        EXPECT_EQ(report.packageOpened, c.opened);
        EXPECT_TRUE(fs::is_directory(out)); // created first, whatever the package
        EXPECT_TRUE(FilesIn(out).empty());
    }
}

TEST(Extract, SingleEntryByExactName) {
    TempDir dir;
    PakBuilder pak;
    pak.add("Mesh.obj", "first").add("Mesh.obj", "second").add("a/b", "ab").add("short", "");
    pak.record({"cut", 3, 1000, 1000});
    const std::string package = pak.build();
    WriteFile(dir.file("p.pak"), package);
    WriteFile(dir.file("existing"), "untouched");

    struct Case {
        std::string entry;
        std::string outPath;
        bool ok;
        std::string content; // of outPath afterwards
    };
    const Case cases[] = {
        {"Mesh.obj", dir.file("m"), true, "first"},
        {"mesh.obj", dir.file("existing"), false, "untouched"},
        {"a_b", dir.file("existing"), false, "untouched"},
        {"a/b", dir.file("existing"), true, "ab"},
        {"short", dir.file("existing"), true, ""},
        {"cut", dir.file("c"), false, package.substr(3)},
        {"Mesh.obj", dir.file("p.pak"), false, package},
        {"Mesh.obj", dir.file("no/such/dir"), false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.entry + " -> " + c.outPath);
        EXPECT_EQ(KestruneEngine::ExtractFile(dir.file("p.pak"), c.entry, c.outPath), c.ok);
        if (fs::exists(c.outPath)) {
            EXPECT_EQ(ReadFile(c.outPath), c.content);
        } else {
            EXPECT_EQ(c.content, "");
        }
    }
    EXPECT_FALSE(KestruneEngine::ExtractFile(dir.file("missing.pak"), "Mesh.obj", dir.file("z")));
    EXPECT_FALSE(fs::exists(dir.file("z")));
}

// A VPK entry's content may begin in the directory file's tree and go on in
// the data after the tree or in a numbered part beside it. Each entry gets
// exactly its content; a bad checksum, a missing or short part fail only the
// entries concerned, and the parts are as safe from being overwritten as the
// directory file itself.
TEST(Extract, VpkContentFromEveryFile) {
    for (const std::uint32_t version : {1u, 2u}) {
        SCOPED_TRACE("version " + std::to_string(version));
        TempDir dir;
        VpkBuilder vpk;
        vpk.version = version;
        vpk.add("scripts", "preloaded", "txt", "all in the tree", 15)
            .add("scripts", "after", "txt", "after the tree")
            .add("maps", "zero", "bsp", "in part zero", 0, 0)
            .add("maps", "split", "bsp", "tree then part one", 9, 1)
            .add(" ", "pak01_000", "vpk", "aims at a part", 0, 1)
            .add("maps", "short", "bsp", "runs past the part", 3, 1)
            .add("maps", "bad", "bsp", "bad checksum", 4, 0)
            .crc(0x12345678)
            .add("maps", "lost", "bsp", "in part two", 2, 2)
            .add(" ", "empty", " ", "");
        WriteFile(dir.file("pak01_dir.vpk"), vpk.build());
        WriteFile(dir.file("pak01_000.vpk"), vpk.parts().at(0));
        const std::string part1 = vpk.parts().at(1);
        WriteFile(dir.file("pak01_001.vpk"), part1.substr(0, part1.size() - 4));

        ExtractionReport report;
        EXPECT_FALSE(
            KestruneEngine::ExtractAll(dir.file("pak01_dir.vpk"), dir.path().string(), &report));
        const std::pair<std::string, std::string> written[] = {
            {"scripts_preloaded.txt", "all in the tree"},
            {"scripts_after.txt", "after the tree"},
            {"maps_zero.bsp", "in part zero"},
            {"maps_split.bsp", "tree then part one"},
            {"maps_short.bsp", "runs past the "},
            {"maps_bad.bsp", "bad checksum"},
            {"maps_lost.bsp", "in"},
            {"empty", ""},
        };
        for (const auto& [name, content] : written) {
            SCOPED_TRACE(name);
            EXPECT_EQ(ReadFile(dir.file(name)), content);
        }
        const std::vector<std::pair<std::string, std::string>> failures = {
            {"pak01_000.vpk", "would overwrite the package"},
            {"maps/short.bsp",
             "cut short by the end of archive part pak01_001.vpk (14 of 18 bytes)"},
            {"maps/bad.bsp", "checksum mismatch (CRC32 12345678 stored, " +
                                 [] {
                                     char hex[16];
                                     std::snprintf(hex, sizeof hex, "%08x",
                                                   VpkBuilder::Crc32("bad checksum"));
                                     return std::string(hex);
                                 }() +
                                 " read)"},
            {"maps/lost.bsp", "archive part pak01_002.vpk is missing"},
        };
        std::vector<std::pair<std::string, std::string>> reported;
        for (const ExtractionFailure& f : report.failures) {
            reported.emplace_back(f.entryName, f.reason);
        }
        std::sort(reported.begin(), reported.end());
        auto expectedFailures = failures;
        std::sort(expectedFailures.begin(), expectedFailures.end());
        EXPECT_EQ(reported, expectedFailures);
        EXPECT_EQ(ReadFile(dir.file("pak01_000.vpk")), vpk.parts().at(0));

        EXPECT_TRUE(KestruneEngine::ExtractFile(dir.file("pak01_dir.vpk"), "maps/split.bsp",
                                                dir.file("one")));
        EXPECT_EQ(ReadFile(dir.file("one")), "tree then part one");
    }
}

// Real data: every map of a WAD repeats the same lump names. Debian's
// freedoom package installs two large WADs; every lump must reach the disk
// with its own bytes.
TEST(Extract, FreedoomWadsLoseNoLump) {
    const std::string wads[] = {"/usr/share/games/doom/freedoom1.wad",
                                "/usr/share/games/doom/freedoom2.wad"};
    if (!fs::exists(wads[0]) || !fs::exists(wads[1])) {
        GTEST_SKIP() << "Debian package 'freedoom' is not installed (apt-get install freedoom)";
    }
    for (const std::string& wad : wads) {
        SCOPED_TRACE(wad);
        TempDir dir;
        const std::string out = dir.file("out");
        ExtractionReport report;
        ASSERT_TRUE(KestruneEngine::ExtractAll(wad, out, &report));

        const std::string bytes = ReadFile(wad);
        const std::vector<ArchiveEntry> entries = KestruneEngine::ListEntries(wad);
        const auto names = AssignOutputNames(entries, HostNameRules());
        ASSERT_GT(entries.size(), 3000u);
        EXPECT_EQ(report.entriesWritten, entries.size());
        // As many files as lumps: no lump shares a file with another.
        EXPECT_EQ(FilesIn(out).size(), entries.size());
        for (std::size_t i = 0; i < entries.size(); ++i) {
            ASSERT_TRUE(names[i].has_value());
            ASSERT_EQ(ReadFile(out + "/" + *names[i]),
                      bytes.substr(entries[i].offset, entries[i].size))
                << entries[i].name;
        }

        // In a tree, every lump still has a file of its own, maps and
        // namespaces in their folders.
        const std::string tree = dir.file("tree");
        std::size_t written = 0;
        ASSERT_TRUE(KestruneEngine::ExtractAll(wad, tree, nullptr, {}, {}, OutputLayout::Tree,
                                               [&](const WrittenFile&) { ++written; }));
        EXPECT_EQ(written, entries.size());
        EXPECT_EQ(TreeWithBytes(tree).size(), entries.size());
        EXPECT_TRUE(fs::is_regular_file(
            tree + (wad.ends_with("1.wad") ? "/E1M1/THINGS" : "/MAP01/THINGS")));
        for (const char* folder : {"/sprites", "/flats", "/patches"}) {
            EXPECT_GT(FilesIn(tree + folder).size(), 10u) << folder;
        }
    }
}

// `path` as the wide file API takes it without the 260-character limit on
// Windows; unchanged elsewhere.
fs::path LongForm(const fs::path& path) {
#ifdef _WIN32
    return fs::path(L"\\\\?\\" + fs::absolute(path).make_preferred().wstring());
#else
    return path;
#endif
}

// Every file in `dir`: its name (UTF-8 on Windows) and its bytes.
std::map<std::string, std::string> FilesWithBytes(const fs::path& dir) {
    std::map<std::string, std::string> files;
    for (const auto& item : fs::directory_iterator(LongForm(dir))) {
        std::ifstream in(item.path(), std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        const std::u8string name = item.path().filename().u8string();
        files[std::string(name.begin(), name.end())] = bytes.str();
    }
    return files;
}

// In a tree on a volume that folds letter case, directories spelled alike
// are one, named by the first spelling; their files are kept apart, and a
// file of a directory's name takes "~N".
TEST(Extract, TreeWhereLetterCaseFolds) {
    const std::optional<fs::path> folding = Testing::CaseFoldingDirectory();
    if (!folding) {
        GTEST_SKIP() << "KESTRUNE_CASE_FOLDING_DIR names no directory on a case-folding volume "
                        "(scripts/test-exfat.sh sets it up)";
    }
    const fs::path root =
        *folding / ("kestrune-tree-" +
                    std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    fs::create_directory(root);
    PakBuilder pak;
    pak.add("Map/x", "1").add("MAP/y", "2").add("map/X", "3").add("a", "4").add("A/b", "5");
    WriteFile((root / "p.pak").string(), pak.build());
    const fs::path out = root / "out";
    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        EXPECT_TRUE(KestruneEngine::ExtractAll((root / "p.pak").string(), out.string(), nullptr, {},
                                               {}, OutputLayout::Tree));
        const std::map<std::string, std::string> expected = {
            {"Map/x", "1"}, {"Map/y", "2"}, {"Map/X~2", "3"}, {"a~2", "4"}, {"A/b", "5"}};
        EXPECT_EQ(TreeWithBytes(out), expected);
    }
    fs::remove_all(root);
}

// Names that differ only in letter case, in ASCII and beyond, each land in a
// file of their own; extracting again gives the same files; an older file of
// exactly an entry's name is replaced, one under another spelling is kept,
// and so is the package itself under another spelling of an entry's name.
TEST(Extract, NoEntryLostWhereLetterCaseFolds) {
    const std::optional<fs::path> folding = Testing::CaseFoldingDirectory();
    if (!folding) {
        GTEST_SKIP() << "KESTRUNE_CASE_FOLDING_DIR names no directory on a case-folding volume "
                        "(scripts/test-exfat.sh sets it up)";
    }
    const fs::path root =
        *folding / ("kestrune-fold-" +
                    std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    fs::remove_all(root);
    fs::create_directory(root);
    EXPECT_TRUE(Platform::FoldsLetterCase(root.string()));

    const std::string package = "(the package)";
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, std::string>> entries;
        std::map<std::string, std::string> before; // in DIR; `package` marks the package
        std::map<std::string, std::string> after;
        std::string dir = "out";
        std::string packageSpelling = ""; // how the command line names the package in DIR
        std::string err = "";             // expected on standard error; exit 1 when any
    };
    const std::string longName(100, 'n');
    const std::vector<Case> cases = {
        {"ASCII letter case",
         {{"Textures/Wall.png", "1"}, {"textures/wall.png", "2"}, {"TEXTURES_WALL.PNG", "3"}},
         {},
         {{"Textures_Wall.png", "1"}, {"textures_wall~2.png", "2"}, {"TEXTURES_WALL~3.PNG", "3"}}},
        {"letter case beyond ASCII",
         {{"caf\xC3\xA9.txt", "e"},
          {"CAF\xC3\x89.txt", "E"},
          {"\xD0\xBC\xD0\xB8\xD1\x80", "m"},
          {"\xD0\x9C\xD0\x98\xD0\xA0", "M"}},
         {},
         {{"caf\xC3\xA9.txt", "e"},
          {"CAF\xC3\x89~2.txt", "E"},
          {"\xD0\xBC\xD0\xB8\xD1\x80", "m"},
          {"\xD0\x9C\xD0\x98\xD0\xA0~2", "M"}}},
#ifdef _WIN32
        {"Windows-1252 bytes are those characters",
         {{"caf\xE9.txt", "e"}, {"CAF\xC9.txt", "E"}},
         {},
         {{"caf\xC3\xA9.txt", "e"}, {"CAF\xC3\x89~2.txt", "E"}}},
        {"a path over 260 characters",
         {{longName, "deep"}},
         {},
         {{longName, "deep"}},
         std::string(200, 'd')},
#else
        {"names the volume cannot hold become the names Windows gives",
         {{"a:b?.txt", "1"}, {"caf\xE9.txt", "2"}, {"a_b_.txt", "3"}},
         {},
         {{"a_b_~2.txt", "1"}, {"caf\xC3\xA9.txt", "2"}, {"a_b_.txt", "3"}}},
#endif
        {"UTF-8 names are their characters",
         {{"na\xC3\xAFve/\xE6\x97\xA5\xE6\x9C\xAC.txt", "j"}},
         {},
         {{"na\xC3\xAFve_\xE6\x97\xA5\xE6\x9C\xAC.txt", "j"}}},
        {"an older file of exactly the name is replaced",
         {{"Textures/Wall.png", "new"}},
         {{"Textures_Wall.png", "old"}},
         {{"Textures_Wall.png", "new"}}},
        {"an older file under another spelling is kept",
         {{"Textures/Wall.png", "new"}},
         {{"TEXTURES_WALL.png", "old"}},
         {{"TEXTURES_WALL.png", "old"}, {"Textures_Wall~2.png", "new"}}},
        {"the package under another spelling of an entry's name",
         {{"sub/p.pak", "x"}, {"other", "y"}},
         {{"Sub_P.pak", package}},
         {{"Sub_P.pak", package}, {"sub_p~2.pak", "x"}, {"other", "y"}}},
        {"the package, named by another spelling, under an entry's name",
         {{"sub/p.pak", "x"}, {"other", "y"}},
         {{"sub_p.pak", package}},
         {{"sub_p.pak", package}, {"other", "y"}},
         "out",
         "SUB_P.PAK",
         "Failed to extract sub/p.pak: would overwrite the package\nExtraction failed.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path out = root / c.dir;
        fs::create_directory(LongForm(out));
        PakBuilder pak;
        for (const auto& [name, bytes] : c.entries) {
            pak.add(name, bytes);
        }
        const std::string packageBytes = pak.build();
        std::string packagePath = (root / "p.pak").string();
        for (const auto& [name, bytes] : c.before) {
            if (bytes == package) {
                WriteFile((out / name).string(), packageBytes);
                packagePath =
                    (out / (c.packageSpelling.empty() ? name : c.packageSpelling)).string();
            } else {
                WriteFile((out / name).string(), bytes);
            }
        }
        WriteFile((root / "p.pak").string(), packageBytes);
        std::map<std::string, std::string> expected = c.after;
        for (auto& [name, bytes] : expected) {
            if (bytes == package) {
                bytes = packageBytes;
            }
        }
        for (int run = 1; run <= 2; ++run) {
            SCOPED_TRACE("run " + std::to_string(run));
            const auto result = Testing::RunKestrune({"--extract", packagePath, out.string()});
            EXPECT_EQ(result.err, Testing::ConsoleText(c.err));
            EXPECT_EQ(result.exitCode, c.err.empty() ? 0 : 1);
            EXPECT_EQ(FilesWithBytes(out), expected);
        }
        fs::remove_all(LongForm(out));
    }
    fs::remove_all(root);
}

} // namespace
} // namespace Kestrune
