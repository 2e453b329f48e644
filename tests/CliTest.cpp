// The command line as a user meets it: the built executable is run and its
// standard output, standard error and exit code are compared byte for byte,
// in the form the platform's console streams give them (ConsoleText).

#include "Detect.h"
#include "EntryData.h"
#include "KestruneEngine.h"
#include "OutputNames.h"
#include "support/Files.h"
#include "support/PackageBuilder.h"
#include "support/Process.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace Kestrune {
namespace {

using Testing::ConsoleText;
using Testing::PackBuilder;
using Testing::PakBuilder;
using Testing::RunKestrune;
using Testing::VpkBuilder;
using Testing::WadBuilder;
using namespace std::literals;

std::string Usage() {
    return "========================================================\n"
           "  Universal 3D Game Package Extractor (PAK/VPK/WAD/Unity)\n"
           "========================================================\n\n"
           "Usage:\n"
           "  " +
           Testing::KestrunePath() +
           " [options]\n\n"
           "Options:\n"
           "  --gui                     Launch native graphical user interface (Default if no "
           "args)\n"
           "  --list <archive>          List all internal assets, offsets, and sizes\n"
           "  --extract <archive> [DIR] Extract all assets from container\n"
           "  --create-sample <out.pak> Create sample Unreal Engine 5.4 PAK file with 3D mesh\n\n";
}

TEST(Cli, UsageAndDispatch) {
    struct Case {
        std::vector<std::string> args;
        int exitCode;
    };
    const Case cases[] = {
#ifndef _WIN32
        // No message-box service here: the message-box mode falls back to the
        // usage text. On Windows it shows a box and waits for the user, which
        // a test cannot answer (and under Wine without a display the box may
        // never appear), so these two cases are covered by the POSIX runs only.
        {{}, 0},
        {{"--gui", "more", "words"}, 0},
#endif
        {{"--help"}, 0},
        {{"-h", "ignored"}, 0},
        {{"--list"}, 1},
        {{"--LIST", "x.pak"}, 1},
        {{"--bogus"}, 1},
        {{"list", "x.pak"}, 1},
        {{""}, 1},
        {{"--list two words", "x.pak"}, 1},
        {{"--create-sample"}, 1},
        {{"--test"}, 1},
        {{"--list-json"}, 1},
        {{"--cat", "x.pak"}, 1},
        {{"--TEST", "x.pak"}, 1},
    };
    for (const Case& c : cases) {
        std::string joined;
        for (const std::string& a : c.args) {
            joined += "[" + a + "]";
        }
        SCOPED_TRACE(joined);
        const auto result = RunKestrune(c.args);
        EXPECT_EQ(result.out, ConsoleText(Usage()));
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.exitCode, c.exitCode);
    }
    EXPECT_EQ(Usage().substr(0, 57), std::string(56, '=') + "\n");
}

TEST(Cli, ListReports) {
    Testing::TempDir dir;
    PakBuilder pak;
    pak.add("Content/Meshes/crate.obj", std::string(502, 'o')).add("Config/x.json", "{}");
    pak.record({std::string("nul\0name", 8), 0, 0, 0});
    pak.record({"huge", 0x1F00000000ULL, 5, 0x123456789AULL});
    Testing::WriteFile(dir.file("a.pak"), pak.build());

    WadBuilder wad;
    wad.lump("MAP01", "").lump("THINGS", "0123456789");
    Testing::WriteFile(dir.file("doom.wad"), wad.build());
    Testing::WriteFile(dir.file("plain.txt"), "not a package at all, just some text\n");
    Testing::VpkBuilder vpk;
    vpk.add("sound", "a", "wav", "PRELOAD", 7).add(" ", "b", " ", "part", 0, 3);
    vpk.add("maps", "c", "bsp", "head+data", 5);
    Testing::WriteFile(dir.file("pak01_dir.vpk"), vpk.build());
    Testing::WriteFile(dir.file("vpk-signature-only.vpk"), "\x34\x12\xAA\x55");
    Testing::PackBuilder pack;
    pack.add("maps/e1m1.bsp", "bsp").add("progs.dat", "progs");
    Testing::WriteFile(dir.file("pak0.pak"), pack.build());

    struct Case {
        std::string path;
        std::string out;
    };
    const Case cases[] = {
        {dir.file("a.pak"), "Package: " + dir.file("a.pak") +
                                " (4 files):\n"
                                "  - [502 B] Content/Meshes/crate.obj (Offset: 0x0)\n"
                                "  - [2 B] Config/x.json (Offset: 0x1f6)\n"
                                "  - [0 B] " +
                                std::string("nul\0name", 8) +
                                " (Offset: 0x0)\n"
                                "  - [78187493530 B] huge (Offset: 0x1f00000000)\n"},
        {dir.file("doom.wad"), "Package: " + dir.file("doom.wad") +
                                   " (2 files):\n"
                                   "  - [0 B] MAP01 (Offset: 0xc)\n"
                                   "  - [10 B] THINGS (Offset: 0xc)\n"},
        {dir.file("plain.txt"), "Package: " + dir.file("plain.txt") + " (0 files):\n"},
        {dir.file("pak01_dir.vpk"), "Package: " + dir.file("pak01_dir.vpk") +
                                        " (3 files):\n"
                                        "  - [7 B] sound/a.wav (Offset: 0x3a)\n"
                                        "  - [4 B] b (Offset: 0x0)\n"
                                        "  - [9 B] maps/c.bsp (Offset: 0x82)\n"},
        {dir.file("vpk-signature-only.vpk"),
         "Package: " + dir.file("vpk-signature-only.vpk") + " (0 files):\n"},
        {dir.file("pak0.pak"), "Package: " + dir.file("pak0.pak") +
                                   " (2 files):\n"
                                   "  - [3 B] maps/e1m1.bsp (Offset: 0xc)\n"
                                   "  - [5 B] progs.dat (Offset: 0xf)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const auto result = RunKestrune({"--list", c.path, "ignored"});
        EXPECT_EQ(result.out, ConsoleText(c.out));
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.exitCode, 0);
    }
}

TEST(Cli, ListFailuresAreReported) {
    Testing::TempDir dir;
    // Spaces, quotes and a trailing backslash must reach the program intact
    // (on Windows they pass through the C runtime's command-line parser).
    for (const std::string& path :
         {dir.file("missing.pak"), dir.path().string(), dir.file("two words.pak"),
          dir.file("say \"hi\".pak"), dir.file("ends in a backslash\\")}) {
        SCOPED_TRACE(path);
        const auto result = RunKestrune({"--list", path});
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, ConsoleText("Failed to open package: " + path + "\n"));
        EXPECT_EQ(result.exitCode, 1);
    }
}

TEST(Cli, ExtractReportsEveryOutcome) {
    Testing::TempDir dir;
    PakBuilder good;
    good.add("Config/EngineConfig.json", "{}").add("THINGS", "1").add("THINGS", "22");
    Testing::WriteFile(dir.file("good.pak"), good.build());
    PakBuilder damaged;
    damaged.add("ok", "fine");
    damaged.record({"cut/short", 2, 5000, 5000});
    damaged.record({"..", 0, 1, 1});
    Testing::WriteFile(dir.file("damaged.pak"), damaged.build());
    PakBuilder big;
    big.add("big.bin", std::string(64 * 1024, 'b'));
    Testing::WriteFile(dir.file("big.pak"), big.build());
    PakBuilder huge; // large enough to be copied in steps, by the system where it can
    huge.add("huge.bin", std::string(600 * 1024, 'h'));
    Testing::WriteFile(dir.file("huge.pak"), huge.build());

    Testing::ProcessOptions inDir;
    inDir.workingDirectory = dir.path().string();
#ifndef _WIN32
    Testing::ProcessOptions limited;
    limited.fileSizeLimit = 4096;
#endif

    struct Case {
        const char* what;
        std::vector<std::string> args;
        Testing::ProcessOptions options;
        std::string out;
        std::string err;
        int exitCode;
    };
    const Case cases[] = {
        {"default directory",
         {"--extract", "good.pak"},
         inDir,
         "Extracted all assets to ./extracted\n",
         "",
         0},
        {"named directory with trailing slash",
         {"--extract", "good.pak", "named/", "extra"},
         inDir,
         "Extracted all assets to named/\n",
         "",
         0},
        {"damaged entries",
         {"--extract", "damaged.pak", "d"},
         inDir,
         "",
         "Failed to extract cut/short: cut short by the end of the package (147 of 5000 "
         "bytes)\n"
         "Failed to extract ..: its name would not stay inside the directory\n"
         "Extraction failed.\n",
         1},
        {"missing package",
         {"--extract", "missing.pak", "m"},
         inDir,
         "",
         "Failed to open package: missing.pak\nExtraction failed.\n",
         1},
        {"directory without parent",
         {"--extract", "good.pak", "no/such"},
         inDir,
         "",
         "Failed to create directory: no/such (No such file or directory)\nExtraction failed.\n",
         1},
#ifndef _WIN32
        // A per-process file size limit stands in for a full disk; Windows
        // has no such limit.
        {"write failure",
         {"--extract", dir.file("big.pak"), dir.file("w")},
         limited,
         "",
         "Failed to extract big.bin: write failed (File too large)\nExtraction failed.\n",
         1},
        {"write failure in a large entry",
         {"--extract", dir.file("huge.pak"), dir.file("w")},
         limited,
         "",
         "Failed to extract huge.bin: write failed (File too large)\nExtraction failed.\n",
         1},
#endif
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto result = RunKestrune(c.args, c.options);
        EXPECT_EQ(result.out, ConsoleText(c.out));
        EXPECT_EQ(result.err, ConsoleText(c.err));
        EXPECT_EQ(result.exitCode, c.exitCode);
    }
    EXPECT_EQ(Testing::ReadFile(dir.file("extracted/Config_EngineConfig.json")), "{}");
    EXPECT_EQ(Testing::ReadFile(dir.file("extracted/THINGS~2")), "22");
    EXPECT_EQ(Testing::ReadFile(dir.file("named/THINGS")), "1");
    EXPECT_EQ(Testing::ReadFile(dir.file("d/ok")), "fine");
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("m")));
#ifndef _WIN32
    EXPECT_EQ(Testing::ReadFile(dir.file("w/big.bin")), std::string(4096, 'b'));
#endif
}

#ifndef _WIN32
TEST(Cli, LostStandardOutputIsAFailure) {
    Testing::TempDir dir;
    PakBuilder pak;
    for (int i = 0; i < 2000; ++i) {
        pak.add("entry/number/" + std::to_string(i), "1"); // more than a pipe holds
    }
    Testing::WriteFile(dir.file("a.pak"), pak.build());
    Testing::ProcessOptions toFullDevice;
    toFullDevice.stdoutPath = "/dev/full";
    Testing::ProcessOptions toClosedPipe;
    toClosedPipe.closedStdout = true;
    struct Case {
        std::vector<std::string> args;
        const Testing::ProcessOptions& options;
        std::string err;
    };
    const Case cases[] = {
        {{"--list", dir.file("a.pak")},
         toFullDevice,
         "Failed to write to standard output: No space left on device\n"},
        {{"--help"}, toFullDevice, "Failed to write to standard output: No space left on device\n"},
        // A reader that stopped early (`| head`) is told nothing.
        {{"--list", dir.file("a.pak")}, toClosedPipe, ""},
        {{"--help"}, toClosedPipe, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + (c.options.closedStdout ? " to a closed pipe" : " to /dev/full"));
        const auto result = RunKestrune(c.args, c.options);
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.err, c.err);
    }
}
#endif

} // namespace
} // namespace Kestrune

namespace Kestrune {
namespace {

// Packages for the commands that look at a package without writing: whole
// ones of every kind, and damaged ones.
struct LookFixtures {
    Testing::TempDir dir;
    std::string good, damaged, shared, empty, wad, vpk, pack, text, hostile;

    LookFixtures() {
        good =
            save("good.pak", PakBuilder().add("a/b.txt", "hello").add("c", "\n\r\n\0z"s).build());
        PakBuilder cut;
        cut.add("ok", "fine");
        cut.record({"cut/short", 2, 5000, 5000});
        cut.record({"..", 0, 1, 1});
        damaged = save("damaged.pak", cut.build());
        PakBuilder overlap; // three names for one run of bytes, and one of its own
        const std::uint64_t at = overlap.data("shared bytes");
        overlap.record({"x", at, 12, 12}).record({"y", at + 7, 5, 5}).record({"z", at, 6, 6});
        overlap.add("own", "alone");
        shared = save("shared.pak", overlap.build());
        empty = save("empty.pak", PakBuilder().build());
        wad = save("doom.wad",
                   WadBuilder().lump("MAP01", "").lump("THINGS", "1").lump("THINGS", "22").build());
        VpkBuilder v; // in the directory file, preload with part 1, part 2 missing, a bad CRC
        v.add("materials", "wall", "vmt", "shader text")
            .add("models", "head", "mdl", "head+part one", 5, 1)
            .crc(0x12345678)
            .add("sound", "gone", "wav", "never there", 0, 2)
            .add(" ", "README", " ", "hello");
        vpk = save("pak01_dir.vpk", v.build());
        save("pak01_001.vpk", v.parts().at(1));
        pack = save("id1.pak", PackBuilder().add("maps/e1m1.bsp", "bsp data").build());
        text = save("plain.txt", "not a package at all, just some text\n");
        PakBuilder odd; // names that JSON must escape or cannot hold as text
        for (const std::string& name :
             {"quote\"back\\slash"s, "ctl\x01\x1f\n\t"s, "nul\0in"s, "bad\xff\xfe"s,
              "overlong\xc0\xaf"s, "surrogate\xed\xa0\x80"s, "cut\xe2\x82"s,
              "caf\xc3\xa9 \xe6\x97\xa5"s, "four\xf0\x9f\x8e\xae"s, "del\x7f"s, ""s, "THINGS"s,
              "THINGS"s, "a/b"s, "a_b"s}) {
            odd.add(name, name + " data");
        }
        hostile = save("hostile.pak", odd.build());
    }
    std::string save(const std::string& name, const std::string& bytes) {
        Testing::WriteFile(dir.file(name), bytes);
        return dir.file(name);
    }
};

TEST(Cli, TestReportsEveryDamagedEntry) {
    LookFixtures f;
    struct Case {
        std::string package;
        std::string out;
        std::string err;
        int exitCode;
    };
    const Case cases[] = {
        {f.good, "Extraction writes 10 bytes from 10 bytes stored\n2 entries, 0 damaged\n", "", 0},
        {f.damaged,
         "Damaged: cut/short: cut short by the end of the package (147 of 5000 bytes)\n"
         "Damaged: ..: its name would not stay inside the directory\n"
         "Shared: 3 entries share bytes with other entries\n"
         "Extraction writes 151 bytes from 149 bytes stored\n"
         "3 entries, 2 damaged\n",
         "", 1},
        {f.shared,
         "Shared: 3 entries share bytes with other entries\n"
         "Extraction writes 28 bytes from 17 bytes stored\n4 entries, 0 damaged\n",
         "", 0},
        {f.empty, "Extraction writes 0 bytes from 0 bytes stored\n0 entries, 0 damaged\n", "", 0},
        {f.wad, "Extraction writes 3 bytes from 3 bytes stored\n3 entries, 0 damaged\n", "", 0},
        {f.vpk,
         "Damaged: models/head.mdl: checksum mismatch (CRC32 12345678 stored, 4cb169fc read)\n"
         "Damaged: sound/gone.wav: archive part pak01_002.vpk is missing\n"
         "Extraction writes 29 bytes from 29 bytes stored\n4 entries, 2 damaged\n",
         "", 1},
        {f.pack, "Extraction writes 8 bytes from 8 bytes stored\n1 entries, 0 damaged\n", "", 0},
        {f.text, "",
         "Not a package: " + f.text + " (no PAK footer, WAD header, VPK tree or PACK directory)\n",
         1},
        {f.dir.file("missing.pak"), "",
         "Failed to open package: " + f.dir.file("missing.pak") + "\n", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.package);
        const auto result = RunKestrune({"--test", c.package, "ignored"});
        EXPECT_EQ(result.out, ConsoleText(c.out));
        EXPECT_EQ(result.err, ConsoleText(c.err));
        EXPECT_EQ(result.exitCode, c.exitCode);
    }
}

class StringSink final : public EntrySink {
public:
    bool Write(const unsigned char* data, std::size_t length) override {
        bytes.append(reinterpret_cast<const char*>(data), length);
        return true;
    }
    std::string FailureText() const override { return {}; }
    std::string bytes;
};

// The exact bytes of a string field: from its hex twin when it has one.
std::string FieldBytes(const nlohmann::json& object, const std::string& key) {
    if (!object.contains(key + "_hex")) {
        return object.at(key).get<std::string>();
    }
    const std::string hex = object.at(key + "_hex").get<std::string>();
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return bytes;
}

TEST(Cli, ListJsonParsesAndNamesTheExtractedFiles) {
    LookFixtures f;
    struct Case {
        std::string package;
        const char* kind; // null: no directory
    };
    std::vector<Case> cases = {{f.good, "pak"},   {f.damaged, "pak"}, {f.empty, "pak"},
                               {f.wad, "wad"},    {f.vpk, "vpk"},     {f.pack, "pack"},
                               {f.text, nullptr}, {f.hostile, "pak"}};
#ifndef _WIN32
    // A package path that is not UTF-8 must survive too; Windows paths are
    // in the system's code page, where these bytes are ordinary letters.
    cases.push_back({f.save("not\xffutf8.pak", Testing::ReadFile(f.good)), "pak"});
#endif
    for (const Case& c : cases) {
        SCOPED_TRACE(c.package);
        const auto result = RunKestrune({"--list-json", c.package});
        ASSERT_EQ(result.exitCode, 0);
        EXPECT_EQ(result.err, "");
        const nlohmann::json doc = nlohmann::json::parse(result.out); // throws on invalid JSON
        EXPECT_EQ(FieldBytes(doc, "package"), c.package);
        if (c.kind == nullptr) {
            EXPECT_TRUE(doc.at("kind").is_null());
        } else {
            EXPECT_EQ(doc.at("kind"), c.kind);
        }

        const std::vector<ArchiveEntry> entries = KestruneEngine::ListEntries(c.package);
        const auto& listed = doc.at("entries");
        ASSERT_EQ(listed.size(), entries.size());
        const std::string out = f.dir.file("out");
        std::filesystem::remove_all(out);
        KestruneEngine::ExtractAll(c.package, out);
        std::size_t named = 0;
        const auto files = OpenPackageFiles(c.package);
        ASSERT_TRUE(files);
        EntryReader reader(*files);
        for (std::size_t i = 0; i < entries.size(); ++i) {
            SCOPED_TRACE(i);
            const auto& e = listed[i];
            EXPECT_EQ(e.at("index"), i);
            EXPECT_EQ(FieldBytes(e, "name"), entries[i].name);
            EXPECT_EQ(e.at("offset"), entries[i].offset);
            EXPECT_EQ(e.at("size"), entries[i].size);
            if (e.at("output").is_null()) {
                continue;
            }
            // The file --extract wrote under that name holds this entry.
            ++named;
            StringSink content;
            reader.Read(entries[i], content);
            EXPECT_EQ(Testing::ReadOutputFile(out, FieldBytes(e, "output")), content.bytes);
        }
        if (std::filesystem::exists(out)) {
            EXPECT_EQ(static_cast<std::size_t>(
                          std::distance(std::filesystem::directory_iterator(out), {})),
                      named);
        }
    }
}

TEST(Cli, CatWritesOneEntryExactly) {
    LookFixtures f;
    struct Case {
        std::vector<std::string> args;
        std::string out; // the entry's bytes, never converted
        std::string err;
        int exitCode;
    };
    const Case cases[] = {
        {{"--cat", f.good, "c"}, "\n\r\n\0z"s, "", 0},
        {{"--cat", f.good, "a/b.txt", "ignored"}, "hello", "", 0},
        {{"--cat", f.wad, "THINGS"}, "1", "", 0}, // the first of that name
        {{"--cat", f.good, "A/B.TXT"}, "", "No entry named A/B.TXT in " + f.good + "\n", 1},
        {{"--cat", f.good, "a_b.txt"}, "", "No entry named a_b.txt in " + f.good + "\n", 1},
        {{"--cat", f.damaged, "cut/short"},
         Testing::ReadFile(f.damaged).substr(2, 147),
         "Failed to extract cut/short: cut short by the end of the package (147 of 5000 bytes)\n",
         1},
        {{"--cat", f.vpk, "models/head.mdl"},
         "head+part one",
         "Failed to extract models/head.mdl: checksum mismatch (CRC32 12345678 stored, 4cb169fc "
         "read)\n",
         1},
        {{"--cat", f.vpk, "sound/gone.wav"},
         "",
         "Failed to extract sound/gone.wav: archive part pak01_002.vpk is missing\n",
         1},
        {{"--cat", f.vpk, "materials/wall.vmt"}, "shader text", "", 0},
        {{"--cat", f.pack, "maps/e1m1.bsp"}, "bsp data", "", 0},
        {{"--cat", f.hostile, "nul\0in"s}, "", "No entry named nul in " + f.hostile + "\n", 1},
        {{"--cat", f.text, "x"}, "", "No entry named x in " + f.text + "\n", 1},
        {{"--cat", f.dir.file("missing.pak"), "x"},
         "",
         "Failed to open package: " + f.dir.file("missing.pak") + "\n",
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[1] + " " + c.args[2]);
        const auto result = RunKestrune(c.args);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.err, ConsoleText(c.err));
        EXPECT_EQ(result.exitCode, c.exitCode);
    }
}

// Real WADs: every lump whole, and the THINGS lump of the first map byte for
// byte.
TEST(Cli, FreedoomWadsTestWholeAndCat) {
    const std::string wads[] = {"/usr/share/games/doom/freedoom1.wad",
                                "/usr/share/games/doom/freedoom2.wad"};
    if (!std::filesystem::exists(wads[0]) || !std::filesystem::exists(wads[1])) {
        GTEST_SKIP() << "Debian package 'freedoom' is not installed (apt-get install freedoom)";
    }
    for (const std::string& wad : wads) {
        SCOPED_TRACE(wad);
        const std::vector<ArchiveEntry> entries = KestruneEngine::ListEntries(wad);
        const auto tested = RunKestrune({"--test", wad});
        EXPECT_EQ(tested.exitCode, 0);
        EXPECT_TRUE(tested.out.ends_with(
            ConsoleText(std::to_string(entries.size()) + " entries, 0 damaged\n")))
            << tested.out;

        const auto things = std::find_if(entries.begin(), entries.end(),
                                         [](const ArchiveEntry& e) { return e.name == "THINGS"; });
        ASSERT_NE(things, entries.end());
        const auto cat = RunKestrune({"--cat", wad, "THINGS"});
        EXPECT_EQ(cat.exitCode, 0);
        EXPECT_EQ(cat.out, Testing::ReadFile(wad).substr(things->offset, things->size));

        const auto listed = nlohmann::json::parse(RunKestrune({"--list-json", wad}).out);
        const auto names = AssignOutputNames(entries, HostNameRules());
        ASSERT_EQ(listed.at("entries").size(), entries.size());
        for (std::size_t i = 0; i < entries.size(); ++i) {
            ASSERT_EQ(listed["entries"][i].at("output"), *names[i]);
        }
    }
}

} // namespace
} // namespace Kestrune
