// Damaged and hostile packages: every declared count, length and offset is a
// lie here. The listing must keep what was read in full, stop cleanly, and
// never allocate more than the package itself could justify.

#include "ByteSource.h"
#include "Detect.h"
#include "KestruneEngine.h"
#include "support/AllocationProbe.h"
#include "support/Files.h"
#include "support/PackageBuilder.h"

#include <gtest/gtest.h>

namespace Kestrune {
namespace {

using Testing::AllocationProbe;
using Testing::Bytes;
using Testing::PakBuilder;
using Testing::WadBuilder;
using namespace std::literals;

std::vector<std::string> Names(const std::string& package) {
    MemorySource source(package);
    std::vector<std::string> names;
    for (const ArchiveEntry& entry : ReadEntries(source)) {
        names.push_back(entry.name);
    }
    return names;
}

std::string ThreeEntryPak() {
    PakBuilder pak;
    pak.add("one", "1").add("two", "22").add("three", "333");
    return pak.build();
}

TEST(HostileInput, DeclarationsLargerThanThePackage) {
    PakBuilder hugeCount;
    hugeCount.add("a", "x");
    hugeCount.declaredCount = 0xFFFFFFFF;

    const std::string pakHead = [] {
        PakBuilder p;
        p.add("kept", "k");
        return p.index();
    }();
    // Index declares two records; the second claims a 4 GiB name.
    const std::string hugeName = Bytes().raw(pakHead.substr(4)).str(); // the "kept" record alone
    const std::string hugeNameIndex =
        Bytes().u32(2).raw(hugeName).u32(0xFFFFFFFF).raw("short").str();

    WadBuilder wadHugeCount;
    wadHugeCount.lump("A", "1").lump("B", "2");
    wadHugeCount.declaredCount = 0xFFFFFFFF;

    Testing::VpkBuilder longPath; // every name repeats a 20,000-byte directory
    for (int i = 0; i < 5000; ++i) {
        longPath.add(std::string(20000, 'p'), "f" + std::to_string(i), "txt", "");
    }

    struct Case {
        const char* what;
        std::string bytes;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"PAK count 0xFFFFFFFF with one record", hugeCount.build(), {"a"}},
        {"VPK whose names would total 100 MB", longPath.build(), {}},
        {"50-byte PAK declaring 0xFFFFFFFF entries",
         Bytes().u32(0xFFFFFFFF).fill(2, 0).str() + PakBuilder::footer(0x5A6F12E1, 0, 6),
         {}},
        {"PAK name length 0xFFFFFFFF after a good record",
         hugeNameIndex + PakBuilder::footer(0x5A6F12E1, 0, hugeNameIndex.size()),
         {"kept"}},
        {"PAK index offset beyond the end",
         Bytes().u32(0).str() + PakBuilder::footer(0x5A6F12E1, 1000, 4),
         {}},
        {"PAK index offset 2^64-1",
         Bytes().u32(0).str() + PakBuilder::footer(0x5A6F12E1, ~0ULL, 4),
         {}},
        {"PAK index offset inside the footer", PakBuilder::footer(0x5A6F12E1, 40, 0), {}},
        {"WAD count 0xFFFFFFFF with two records", wadHugeCount.build(), {"A", "B"}},
        {"WAD directory offset 0x80000000 in a small file",
         Bytes().raw("PWAD").u32(1).u32(0x80000000).str(),
         {}},
        {"WAD directory offset 0xFFFFFFFF",
         Bytes().raw("IWAD").u32(3).u32(0xFFFFFFFF).fill(32, 'z').str(),
         {}},
        {"WAD shorter than its header", "PWAD\x01\0\0\0"s, {}},
        {"VPK tree size 0xFFFFFFFF",
         Bytes().u32(0x55AA1234).u32(1).u32(0xFFFFFFFF).raw("a\0b\0c\0"sv).str(),
         {}},
        {"VPK preload of 0xFFFF bytes at the end of the tree",
         Bytes()
             .u32(0x55AA1234)
             .u32(1)
             .u32(27)
             .raw("e\0p\0f\0"sv)
             .u32(0)
             .u16(0xFFFF)
             .u16(0x7FFF)
             .u32(0)
             .u32(0xFFFFFFFF)
             .u16(0xFFFF)
             .raw("\0\0\0"sv)
             .str(),
         {}},
        {"VPK string without its NUL", Bytes().u32(0x55AA1234).u32(1).u32(4).raw("abcd").str(), {}},
        {"PACK directory length 0xFFFFFFC0",
         Bytes().raw("PACK").u32(12).u32(0xFFFFFFC0).fill(64, 'n').str(),
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        AllocationProbe probe;
        EXPECT_EQ(Names(c.bytes), c.expected);
        // Nothing may be allocated beyond a small multiple of the package
        // itself: a reserve() or a name buffer sized from a declared count or
        // length would show here.
        EXPECT_LE(probe.largest(), 4 * c.bytes.size() + 128 * 1024);
    }
}

// Every strict prefix of a valid package lists cleanly. A WAD keeps the
// directory records that the prefix still holds whole; a prefix of a PAK has
// no footer and one of a PACK file no whole directory, so they list nothing;
// a VPK lists all its entries once the prefix holds the whole tree (the data
// after it is extraction's business) and none before.
TEST(HostileInput, EveryPrefixListsCleanly) {
    Testing::VpkBuilder vpk;
    vpk.add("d", "a", "txt", "preloaded", 9).add(" ", "b", " ", "after the tree");
    Testing::PackBuilder pack;
    pack.add("a", "1").add("b", "22");
    const std::pair<std::string, std::size_t> packages[] = {
        {ThreeEntryPak(), SIZE_MAX},
        {vpk.build(), 28 + vpk.tree().size()},
        {pack.build(), SIZE_MAX},
    };
    for (const auto& [whole, treeEnd] : packages) {
        const std::vector<std::string> all = Names(whole);
        ASSERT_FALSE(all.empty());
        for (std::size_t length = 0; length < whole.size(); ++length) {
            SCOPED_TRACE("prefix of " + std::to_string(length) + " bytes");
            EXPECT_EQ(Names(whole.substr(0, length)),
                      length < treeEnd ? std::vector<std::string>{} : all);
        }
    }

    WadBuilder builder;
    builder.lump("A", "aa").lump("BB", "b").lump("CCC", "");
    const std::string wad = builder.build();
    const std::size_t directoryStart = wad.size() - 3 * 16;
    const std::vector<std::string> all{"A", "BB", "CCC"};
    for (std::size_t length = 0; length < wad.size(); ++length) {
        SCOPED_TRACE("WAD prefix of " + std::to_string(length) + " bytes");
        const std::size_t whole = length < directoryStart ? 0 : (length - directoryStart) / 16;
        EXPECT_EQ(Names(wad.substr(0, length)),
                  std::vector<std::string>(all.begin(), all.begin() + static_cast<long>(whole)));
    }
}

// The footer survives but the index is cut short: records read in full before
// the cut are kept. The reader may go on into the footer's own bytes (it does
// not assume the regions are contiguous), which can hold at most two more
// short records.
TEST(HostileInput, IndexCutShortBeforeTheFooter) {
    PakBuilder builder;
    builder.add("one", "1").add("two", "22").add("three", "333");
    const std::string data = "122333";
    const std::string index = builder.index();
    const std::vector<std::string> all{"one", "two", "three"};
    const std::size_t recordEnds[] = {4 + 28 + 3, 4 + 2 * 28 + 6, 4 + 3 * 28 + 11};

    for (std::size_t cut = 0; cut < index.size(); ++cut) {
        SCOPED_TRACE("index cut to " + std::to_string(cut) + " bytes");
        const std::string package =
            data + index.substr(0, cut) + PakBuilder::footer(0x5A6F12E1, data.size(), cut);
        std::size_t whole = 0;
        while (whole < 3 && recordEnds[whole] <= cut) {
            ++whole;
        }
        const std::vector<std::string> names = Names(package);
        ASSERT_GE(names.size(), whole);
        EXPECT_LE(names.size(), whole + 2);
        EXPECT_EQ(std::vector<std::string>(names.begin(), names.begin() + static_cast<long>(whole)),
                  std::vector<std::string>(all.begin(), all.begin() + static_cast<long>(whole)));
    }
}

// A WAD whose directory lies 2 GiB into the file, made as a sparse file: the
// directory offset is unsigned and the seek is 64-bit.
TEST(HostileInput, WadDirectoryTwoGibIntoTheFile) {
    Testing::TempDir dir;
    const std::string path = dir.file("far.wad");
    Testing::WriteSparseFile(path, {{0, Bytes().raw("PWAD").u32(1).u32(0x80000000).str()},
                                    {0x80000000, Bytes().u32(12).u32(0).raw("FARAWAY\0"sv).str()}});
    const std::vector<ArchiveEntry> entries = KestruneEngine::ListEntries(path);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "FARAWAY");
}

TEST(HostileInput, PathsThatAreNotPackages) {
    Testing::TempDir dir;
    EXPECT_EQ(KestruneEngine::DetectType(dir.file("missing.pak")), ArchiveType::OpenFailed);
    EXPECT_TRUE(KestruneEngine::ListEntries(dir.file("missing.pak")).empty());
    EXPECT_EQ(KestruneEngine::DetectType(dir.path().string()), ArchiveType::OpenFailed);
    EXPECT_TRUE(KestruneEngine::ListEntries(dir.path().string()).empty());

    Testing::WriteFile(dir.file("empty"), "");
    EXPECT_EQ(KestruneEngine::DetectType(dir.file("empty")), ArchiveType::Pak);
    EXPECT_TRUE(KestruneEngine::ListEntries(dir.file("empty")).empty());
}

} // namespace
} // namespace Kestrune
