// Detection and the two index readers, fed from memory. One table per reader:
// each row is a package built field by field and the listing it must give.

#include "ByteSource.h"
#include "Detect.h"
#include "Formats.h"
#include "Packing.h"
#include "VpkFormat.h"
#include "support/Files.h"
#include "support/PackageBuilder.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace Kestrune {
namespace {

using Testing::Bytes;
using Testing::PackBuilder;
using Testing::PakBuilder;
using Testing::PakRecord;
using Testing::VpkBuilder;
using Testing::WadBuilder;
using namespace std::literals;

struct Expected {
    std::string name;
    std::uint64_t offset;
    std::uint64_t compressedSize;
    std::uint64_t size;
};

void ExpectEntries(const std::string& package, const std::vector<Expected>& expected) {
    MemorySource source(package);
    const std::vector<ArchiveEntry> entries = ReadEntries(source);
    ASSERT_EQ(entries.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE("entry " + std::to_string(i));
        EXPECT_EQ(entries[i].name, expected[i].name);
        EXPECT_EQ(entries[i].offset, expected[i].offset);
        EXPECT_EQ(entries[i].compressedSize, expected[i].compressedSize);
        EXPECT_EQ(entries[i].size, expected[i].size);
        EXPECT_EQ(entries[i].compression, "None");
        EXPECT_FALSE(entries[i].reservedFlag);
    }
}

std::string Pak(std::initializer_list<PakRecord> records) {
    PakBuilder pak;
    for (const PakRecord& r : records) {
        pak.record(r);
    }
    return pak.build();
}

TEST(DetectKind, SignatureAtOffsetZeroOnly) {
    struct Case {
        const char* what;
        std::string bytes;
        ArchiveType expected;
    };
    const Case cases[] = {
        {"empty file", "", ArchiveType::Pak},
        {"three bytes of a signature", "IWA", ArchiveType::Pak},
        {"IWAD", "IWAD\0\0\0\0\0\0\0\0"s, ArchiveType::Wad},
        {"PWAD, nothing after it", "PWAD", ArchiveType::Wad},
        {"lower case", "iwad\0\0\0\0\0\0\0\0"s, ArchiveType::Pak},
        {"signature at offset 1", " PWAD\0\0\0\0\0\0\0"s, ArchiveType::Pak},
        {"VPK", Bytes().u32(0x55AA1234).u32(0).str(), ArchiveType::Vpk},
        {"VPK bytes in big-endian order", "\x55\xAA\x12\x34", ArchiveType::Pak},
        {"PAK whose data area starts with IWAD",
         [] {
             PakBuilder pak;
             pak.add("a", "IWAD");
             return pak.build();
         }(),
         ArchiveType::Wad},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MemorySource source(c.bytes);
        EXPECT_EQ(DetectKind(source), c.expected);
    }
}

// The table of formats: each kind once, under its own name, and the format
// that reads a file is the one its rules beside the table give, companions
// and all.
TEST(FormatTable, OneFormatPerKindInTheOrderOfItsRules) {
    std::vector<std::string_view> names;
    for (const PackageFormat& format : Formats()) {
        SCOPED_TRACE(std::string(format.name));
        EXPECT_EQ(FormatOf(format.kind), &format);
        EXPECT_NE(format.walk, nullptr);
        EXPECT_FALSE(format.name.empty());
        EXPECT_EQ(std::count(names.begin(), names.end(), format.name), 0);
        names.push_back(format.name);
        // A writer sits beside its reader, under the name --format takes.
        EXPECT_EQ(format.writer != nullptr, !format.writerName.empty());
        if (format.writer != nullptr) {
            EXPECT_EQ(FindPackFormat(format.writerName), &format);
        }
    }
    EXPECT_EQ(FormatOf(PackageKind::None), nullptr);

    VpkBuilder vpk;
    vpk.add("a", "b", "txt", "in part 0", 0, 0);
    PakBuilder vpkWithFooter;
    vpkWithFooter.data(vpk.build());
    vpkWithFooter.record({"x", 0, 4, 4});
    WadBuilder wad;
    wad.lump("A", "a");
    PakBuilder wadWithFooter;
    wadWithFooter.data(wad.build());
    PackBuilder pack;
    pack.add("a", "a");
    PackBuilder brokenPack = pack;
    brokenPack.directoryLength = 63;
    struct Case {
        const char* what;
        std::string bytes;
        PackageKind kind;
        PartPathFunction companions;
    };
    const Case cases[] = {
        {"WAD", wad.build(), PackageKind::Wad, nullptr},
        {"WAD ending in a container footer", wadWithFooter.build(), PackageKind::Wad, nullptr},
        {"VPK with parts", vpk.build(), PackageKind::Vpk, Vpk::PartPath},
        {"VPK ending in a container footer", vpkWithFooter.build(), PackageKind::Pak, nullptr},
        {"PACK", pack.build(), PackageKind::Pack, nullptr},
        {"PACK whose directory does not check out", brokenPack.build(), PackageKind::None, nullptr},
        {"nothing known", "plain text", PackageKind::None, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MemorySource source(c.bytes);
        EXPECT_EQ(WalkEntries(source, [](const EntryView&) {}).kind, c.kind);
        EXPECT_EQ(CompanionNaming(source), c.companions);
    }
}

TEST(PakIndex, WellFormedContainers) {
    const std::string nulName("mid\0dle", 7);
    PakBuilder vpkWithFooter;
    vpkWithFooter.data(Bytes().u32(0x55AA1234).str());
    vpkWithFooter.record({"v.bin", 0, 4, 4});

    struct Case {
        const char* what;
        std::string bytes;
        std::vector<Expected> expected;
    };
    const Case cases[] = {
        {"48-byte empty container",
         Bytes().u32(0).str() + PakBuilder::footer(0x5A6F12E1, 0, 4),
         {}},
        {"two entries in record order",
         Pak({{"b/second", 10, 5, 5}, {"a/first", 0, 10, 10}}),
         {{"b/second", 10, 5, 5}, {"a/first", 0, 10, 10}}},
        {"NUL bytes inside a name are kept", Pak({{nulName, 1, 2, 3}}), {{nulName, 1, 2, 3}}},
        {"empty name still reads its three values", Pak({{"", 7, 8, 9}}), {{"", 7, 8, 9}}},
        {"stored size and size kept apart", Pak({{"x", 0, 100, 250}}), {{"x", 0, 100, 250}}},
        {"values above 4 GiB arrive unchanged",
         Pak({{"big", 0x123456789ULL, 0xFFFFFFFFFFFFFFFFULL, 0x100000000ULL}}),
         {{"big", 0x123456789ULL, 0xFFFFFFFFFFFFFFFFULL, 0x100000000ULL}}},
        {"duplicate names are two entries",
         Pak({{"same", 0, 1, 1}, {"same", 1, 1, 1}}),
         {{"same", 0, 1, 1}, {"same", 1, 1, 1}}},
        {"VPK that ends in a PAK footer", vpkWithFooter.build(), {{"v.bin", 0, 4, 4}}},
        {"VPK without footer", Bytes().u32(0x55AA1234).fill(60, '\0').str(), {}},
        {"43 bytes", std::string(43, '\xE1'), {}},
        {"wrong footer magic",
         [] {
             PakBuilder pak;
             pak.add("a", "data");
             pak.magic = 0x5A6F12E2;
             return pak.build();
         }(),
         {}},
        {"magic preceded by anything",
         Bytes().raw("garbage before").u32(0).str() + PakBuilder::footer(0x5A6F12E1, 14, 4),
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ExpectEntries(c.bytes, c.expected);
    }
}

TEST(WadDirectory, WellFormedFiles) {
    WadBuilder names;
    names.lump(std::string("ABCD\0\0\0\0", 8), "1")
        .lump("ABCDEFGH", "22")
        .lump(std::string("\0BCDEFGH", 8), "")
        .lump(std::string("A\0BC\0\0\0\0", 8), "4444");

    WadBuilder repeated;
    repeated.lump("THINGS", "t1").lump("THINGS", "t22");

    WadBuilder iwad;
    iwad.signature = "IWAD";
    iwad.lump("E1M1", "");

    struct Case {
        const char* what;
        std::string bytes;
        std::vector<Expected> expected;
    };
    const Case cases[] = {
        {"name fields: 4+NUL, 8 bytes, leading NUL, letter NUL letters",
         names.build(),
         {{"ABCD", 12, 1, 1}, {"ABCDEFGH", 13, 2, 2}, {"", 15, 0, 0}, {"A", 15, 4, 4}}},
        {"repeated names and file order",
         repeated.build(),
         {{"THINGS", 12, 2, 2}, {"THINGS", 14, 3, 3}}},
        {"zero-size lump in an IWAD", iwad.build(), {{"E1M1", 12, 0, 0}}},
        {"lump count 0", Bytes().raw("PWAD").u32(0).u32(12).str(), {}},
        {"lump positions and sizes beyond the file are listed as stored",
         Bytes()
             .raw("PWAD")
             .u32(1)
             .u32(12)
             .u32(0xFFFFFFF0)
             .u32(0xFFFFFFFF)
             .raw("FAR\0\0\0\0\0"sv)
             .str(),
         {{"FAR", 0xFFFFFFF0, 0xFFFFFFFF, 0xFFFFFFFF}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ExpectEntries(c.bytes, c.expected);
    }
}

// VPK trees and PACK directories are listed only when they check out whole;
// a file that also ends in a PAK footer is a PAK container, as it always was.
TEST(VpkTreeAndPackDirectory, WellFormedOrNothing) {
    VpkBuilder v1; // version 1: a 12-byte header, data kept after the tree
    v1.version = 1;
    v1.add("materials/brick", "wall", "vmt", "shader text").add(" ", "README", " ", "hello");
    const std::uint64_t v1Data = 12 + v1.tree().size();

    VpkBuilder v2; // preload bytes, the directory file's data area, two parts
    v2.add("sound", "a", "wav", "PRELOADED", 9)
        .add("sound", "b", "wav", "in part zero", 0, 0)
        .add("models", "c", "mdl", "head+part one", 5, 1)
        .add("models", "d", "mdl", "kept here", 4);
    const std::uint64_t v2Tree = 28 + v2.tree().size();

    const auto patched = [](std::string bytes, std::size_t at, std::string_view with) {
        return bytes.replace(at, with.size(), with);
    };
    VpkBuilder shortTree = v1;
    shortTree.treeSize = static_cast<std::uint32_t>(v1.tree().size() - 1);
    VpkBuilder pastTheFile = v1;
    pastTheFile.treeSize = 1 << 20;
    const std::string v1Bytes = v1.build();
    const std::size_t terminator = 12 + v1.tree().find("wall\0"s) + 5 + 16;

    PackBuilder pack;
    pack.add("maps/e1m1.bsp", "bsp data").add(std::string(56, 'n'), "");
    PackBuilder ragged = pack;
    ragged.directoryLength = 64 + 63;
    PackBuilder beyond = pack;
    beyond.directoryLength = 64 * 1000;

    PakBuilder vpkWithFooter; // a VPK directory that also ends in a PAK footer
    vpkWithFooter.data(v1Bytes);
    vpkWithFooter.record({"from/the/index", 0, 4, 4});

    struct Case {
        const char* what;
        std::string bytes;
        std::vector<Expected> expected;
    };
    const Case cases[] = {
        {"version 1, data after the tree, root and no extension",
         v1Bytes,
         {{"materials/brick/wall.vmt", v1Data, 11, 11}, {"README", v1Data + 11, 5, 5}}},
        {"version 2: preload only, parts, preload then data",
         v2.build(),
         {{"sound/a.wav", 28 + v2.tree().find("a\0"s) + 2 + 18, 9, 9},
          {"sound/b.wav", 0, 12, 12},
          {"models/c.mdl", 0, 13, 13},
          {"models/d.mdl", v2Tree, 9, 9}}},
        {"unknown version", patched(v1Bytes, 4, "\3\0\0\0"sv), {}},
        {"tree size short of the tree", shortTree.build(), {}},
        {"tree past the file", pastTheFile.build(), {}},
        {"terminator not FFFF", patched(v1Bytes, terminator, "\xFE"sv), {}},
        {"signature only", Bytes().u32(0x55AA1234).str(), {}},
        {"VPK ending in a PAK footer", vpkWithFooter.build(), {{"from/the/index", 0, 4, 4}}},
        {"PACK", pack.build(), {{"maps/e1m1.bsp", 12, 8, 8}, {std::string(56, 'n'), 20, 0, 0}}},
        {"PACK directory not whole records", ragged.build(), {}},
        {"PACK directory past the file", beyond.build(), {}},
        {"PACK ending in a PAK footer",
         [] {
             PakBuilder pak;
             pak.add("p", "PACK");
             return pak.build();
         }(),
         {{"p", 0, 4, 4}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ExpectEntries(c.bytes, c.expected);
    }
}

// The index is read through a buffer: records that straddle its end, a name
// longer than all of it, and a second pass over the same source (the
// streamed listing counts the entries first) all give the records as built.
TEST(PakIndex, RecordsAcrossTheReadBuffer) {
    PakBuilder pak;
    std::vector<Expected> expected;
    for (std::uint64_t i = 0; i < 6000; ++i) {
        if (i == 2500) {
            const std::string huge(300 * 1024, 'n');
            pak.record({huge, 7, 8, 9});
            expected.push_back({huge, 7, 8, 9});
        }
        const std::string name = "dir/" + std::string(i % 97, 'a') + std::to_string(i);
        pak.record({name, i, i + 1, i + 2});
        expected.push_back({name, i, i + 1, i + 2});
    }
    const std::string package = pak.build();
    ExpectEntries(package, expected);

    MemorySource source(package);
    EXPECT_EQ(VisitEntries(source, [](const EntryView&) {}), expected.size());
    std::size_t seen = 0;
    const std::uint64_t limit = 4000;
    EXPECT_EQ(VisitEntries(
                  source,
                  [&](const EntryView& entry) {
                      ASSERT_LT(seen, expected.size());
                      EXPECT_EQ(entry.name, expected[seen].name) << "entry " << seen;
                      EXPECT_EQ(entry.size, expected[seen].size) << "entry " << seen;
                      ++seen;
                  },
                  limit),
              limit);
    EXPECT_EQ(seen, limit);
}

// Another program shortens a package whose bytes are mapped (an Unreal
// index block is looked at there): the vanished range is not ready, and a
// look at it reads zeros instead of stopping the program.
TEST(MappedFile, ShortenedByAnotherProgram) {
    const std::string bytes(2u << 20, 'k');
    Testing::TempDir dir;
    const std::string path = dir.file("shrinking.pak");
    Testing::WriteFile(path, bytes);
    auto source = FileSource::Open(path);
    ASSERT_TRUE(source);
    const unsigned char* mapped = source->Bytes();
    if (mapped == nullptr) {
        GTEST_SKIP() << "files are read, not mapped, here";
    }
    ASSERT_TRUE(source->Ready(0, bytes.size()));
    EXPECT_EQ(mapped[bytes.size() - 1], 'k');
    std::filesystem::resize_file(path, 64 * 1024);
    EXPECT_TRUE(source->Ready(0, 4096));
    EXPECT_FALSE(source->Ready(1u << 20, 4096));
    EXPECT_EQ(static_cast<const volatile unsigned char*>(mapped)[1u << 20], 0);
    EXPECT_FALSE(source->Ready(0, 4096)); // the file is known to have shrunk
}

} // namespace
} // namespace Kestrune
