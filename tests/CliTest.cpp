// The command line as a user meets it: the built executable is run and its
// standard output, standard error and exit code are compared byte for byte,
// in the form the platform's console streams give them (ConsoleText).

#include "Detect.h"
#include "EntryData.h"
#include "Glob.h"
#include "KestruneEngine.h"
#include "Options.h"
#include "OutputNames.h"
#include "support/Files.h"
#include "support/IoStoreBuilder.h"
#include "support/PackageBuilder.h"
#include "support/Process.h"
#include "support/UnityBuilder.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>

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

// The whole help text: the usage text above, then what the tool adds.
std::string HelpText() {
    static const std::string text = RunKestrune({"--help"}).out;
    return text;
}

TEST(Cli, UsageAndDispatch) {
    // The usage text comes first byte for byte, the lines added after it in
    // its columns (option at 3, description at 29), and one blank line ends it.
    const std::string help = HelpText();
    ASSERT_TRUE(help.starts_with(ConsoleText(Usage()))) << help;
    EXPECT_TRUE(help.ends_with(ConsoleText(".\n\n"))) << help;
    std::istringstream added(help.substr(ConsoleText(Usage()).size()));
    for (std::string line; std::getline(added, line);) {
        if (line.starts_with("  ")) {
            EXPECT_TRUE(line.size() > 28 && line[2] != ' ' && line[27] == ' ' && line[28] != ' ')
                << line;
        }
    }

    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string err = "";
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
        {{"--LIST", "x.pak"}, 1, "kestrune: unknown option '--LIST'\n"},
        {{"--bogus"}, 1, "kestrune: unknown option '--bogus'\n"},
        {{"list", "x.pak"}, 1},
        {{""}, 1},
        {{"--list two words", "x.pak"}, 1, "kestrune: unknown option '--list two words'\n"},
        {{"--create-sample"}, 1},
        {{"--test"}, 1},
        {{"--list-json"}, 1},
        {{"--cat", "x.pak"}, 1},
        {{"--TEST", "x.pak"}, 1, "kestrune: unknown option '--TEST'\n"},
        // Options come before the command; a command's arguments are never
        // taken for options.
        {{"-x", "--list", "x.pak"}, 1, "kestrune: unknown option '-x'\n"},
        {{"-"}, 1, "kestrune: unknown option '-'\n"},
        {{"--tree=yes", "--list", "x.pak"}, 1, "kestrune: unknown option '--tree=yes'\n"},
        {{"--include"}, 1, "kestrune: option '--include' needs a value\n"},
        {{"--tree", "--exclude"}, 1, "kestrune: option '--exclude' needs a value\n"},
        {{"--aes-key"}, 1, "kestrune: option '--aes-key' needs a value\n"},
        {{"--oodle"}, 1, "kestrune: option '--oodle' needs a value\n"},
        {{"--tree", "-v"}, 1}, // no command
        {{"--verbose", "--include", "*", "--help"}, 0},
        {{"--tree", "--list"}, 1},
        {{"--tree", "list", "x.pak"}, 1},
    };
    for (const Case& c : cases) {
        std::string joined;
        for (const std::string& a : c.args) {
            joined += "[" + a + "]";
        }
        SCOPED_TRACE(joined);
        const auto result = RunKestrune(c.args);
        EXPECT_EQ(result.out, help);
        EXPECT_EQ(result.err, ConsoleText(c.err));
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
        std::string err = "";
    };
    const auto notAPackage = [](const std::string& path) {
        return "Not a package: " + path +
               " (no PAK footer, WAD header, VPK tree or PACK directory)\n";
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
        {dir.file("plain.txt"), "Package: " + dir.file("plain.txt") + " (0 files):\n",
         notAPackage(dir.file("plain.txt"))},
        {dir.file("pak01_dir.vpk"), "Package: " + dir.file("pak01_dir.vpk") +
                                        " (3 files):\n"
                                        "  - [7 B] sound/a.wav (Offset: 0x3a)\n"
                                        "  - [4 B] b (Offset: 0x0)\n"
                                        "  - [9 B] maps/c.bsp (Offset: 0x82)\n"},
        {dir.file("vpk-signature-only.vpk"),
         "Package: " + dir.file("vpk-signature-only.vpk") + " (0 files):\n",
         notAPackage(dir.file("vpk-signature-only.vpk"))},
        {dir.file("pak0.pak"), "Package: " + dir.file("pak0.pak") +
                                   " (2 files):\n"
                                   "  - [3 B] maps/e1m1.bsp (Offset: 0xc)\n"
                                   "  - [5 B] progs.dat (Offset: 0xf)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const auto result = RunKestrune({"--list", c.path, "ignored"});
        EXPECT_EQ(result.out, ConsoleText(c.out));
        EXPECT_EQ(result.err, ConsoleText(c.err));
        EXPECT_EQ(result.exitCode, 0);
    }
}

TEST(Cli, ListFailuresAreReported) {
    Testing::TempDir dir;
    // Spaces, quotes and a trailing backslash must reach the program intact
    // (on Windows they pass through the C runtime's command-line parser).
    // The line says why, in the system's words.
    const std::string missing = " (No such file or directory)";
    const std::pair<std::string, std::string> cases[] = {
        {dir.file("missing.pak"), missing},
        {dir.file("two words.pak"), missing},
#ifdef _WIN32
        // Windows allows no '"' in a file name: the system says so.
        {dir.file("say \"hi\".pak"), " (Invalid argument)"},
#else
        {dir.file("say \"hi\".pak"), missing},
#endif
        {dir.file("ends in a backslash\\"), missing},
        // A missing folder's trailing separator leaves no file name at all.
        {dir.file("missing folder") + "/", missing}};
    for (const auto& [path, reason] : cases) {
        SCOPED_TRACE(path);
        const auto result = RunKestrune({"--list", path});
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, ConsoleText("Failed to open package: " + path + reason + "\n"));
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
         "Failed to open package: missing.pak (No such file or directory)\nExtraction failed.\n",
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
         "Failed to open package: " + f.dir.file("missing.pak") + " (No such file or directory)\n",
         1},
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
         "Failed to open package: " + f.dir.file("missing.pak") + " (No such file or directory)\n",
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

namespace Kestrune {
namespace {

TEST(Cli, GlobMatchesNamesAndComponents) {
    struct Case {
        const char* pattern;
        std::string name;
        bool matches;
    };
    const Case cases[] = {
        {"*.png", "brick.png", true},
        {"*.png", "wall/brick.png", false}, // * stays in one component
        {"**.png", "wall/brick.png", true},
        {"**/*.png", "brick.png", true}, // no directory at all
        {"**/*.png", "a/b/brick.png", true},
        {"**/*.png", "ab.txt/x", false},
        {"a/**/b", "a/b", true},
        {"a/**/b", "a/x/y/b", true},
        {"a/**/b", "ab", false},
        {"a/**/b", "a/xb", false},
        {"textures/*", "textures/wall/brick.png", false},
        {"textures/**", "textures/wall/brick.png", true},
        {"?", "a", true},
        {"?", "/", false},
        {"?", "", false},
        {"", "", true},
        {"", "a", false},
        {"*", "", true},
        {"MAP0?", "MAP01", true},
        {"MAP0?", "map01", false}, // letter case counts
        {"E?M?", "E1M1", true},
        {"a*b*c", "aXbYc", true},
        {"a*b*c", "aXbY", false},
        {"[ab]", "[ab]", true}, // no classes: every other byte is itself
        {"back\\slash", "back\\slash", true},
        {"nul*", "nul\0in"s, true},
        // Each would take a backtracking matcher exponential time.
        {"*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*b", std::string(5000, 'a'), false},
        {"**a**a**a**a**a**a**a**a**a**a**a**b", std::string(5000, 'a'), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.pattern) + " on " + c.name.substr(0, 40));
        EXPECT_EQ(Glob(c.pattern).Matches(c.name), c.matches);
    }
}

TEST(Cli, UnityVersionFromOptionOrEnvironment) {
    struct Case {
        std::vector<std::string> args;
        std::optional<std::string> environment;
        const char* version; // null: an error naming where it came from
        const char* error;
    };
    const Case cases[] = {
        {{"--unity-version", "2019.4.31f1", "--list"}, {}, "2019.4.31f1", nullptr},
        {{"--list"}, "2020.3.48f1", "2020.3.48f1", nullptr},
        {{"--unity-version=2019.4.31f1", "--list"}, "2020.3.48f1", "2019.4.31f1", nullptr},
        {{"--unity-version", "0.0.0", "--list"}, {}, nullptr, "option '--unity-version' needs"},
        {{"--unity-version", "2019", "--list"}, {}, nullptr, "option '--unity-version' needs"},
        {{"--list"}, "1.0.0", nullptr, "KESTRUNE_UNITY_VERSION needs"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.environment.value_or(""));
        OptionEnvironment environment;
        environment.unityVersion = c.environment;
        const ParsedCommandLine parsed =
            ParseCommandLine({c.args.begin(), c.args.end()}, environment);
        if (c.version == nullptr) {
            ASSERT_TRUE(parsed.error);
            EXPECT_TRUE(parsed.error->starts_with(c.error)) << *parsed.error;
            continue;
        }
        ASSERT_FALSE(parsed.error) << *parsed.error;
        EXPECT_EQ(parsed.options.read.unityVersion, c.version);
    }
}

TEST(Cli, OptionsParseWithTheirValues) {
    const std::string hexKey(64, 'a');
    AesKey aa;
    aa.fill(0xAA);
    AesKey zero{};
    const std::string base64Zero = "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";
    struct Case {
        std::vector<std::string> args;
        OptionEnvironment environment;
        std::size_t command;
        std::vector<AesKey> keys;
        std::string oodle;
        const char* error; // null: none
    };
    const Case cases[] = {
        {{"--list", "x"}, {}, 0, {}, "", nullptr},
        {{"--aes-key", hexKey, "--list"}, {}, 2, {aa}, "", nullptr},
        {{"--aes-key", "0x" + hexKey, "--aes-key", base64Zero, "--list"},
         {},
         4,
         {aa, zero},
         "",
         nullptr},
        {{"--aes-key=0X" + hexKey, "--list"}, {}, 1, {aa}, "", nullptr},
        {{"--aes-key", hexKey.substr(1)}, {}, 0, {}, "", "option '--aes-key' needs"},
        {{"--aes-key", hexKey + "a"}, {}, 0, {}, "", "option '--aes-key' needs"},
        {{"--aes-key", std::string(63, 'a') + "g"}, {}, 0, {}, "", "option '--aes-key' needs"},
        {{"--aes-key", base64Zero + "AAAA"}, {}, 0, {}, "", "option '--aes-key' needs"},
        {{"--aes-key", "AAAA"}, {}, 0, {}, "", "option '--aes-key' needs"},
        // Keys from the command line are tried before those of the environment.
        {{"--aes-key", base64Zero, "--list"},
         {" " + hexKey + ",," + base64Zero, {}},
         2,
         {zero, aa, zero},
         "",
         nullptr},
        {{"--list"}, {"nokey", {}}, 0, {}, "", "KESTRUNE_AES_KEY needs"},
        {{"--list"}, {{}, "/env/oo2core.so"}, 0, {}, "/env/oo2core.so", nullptr},
        {{"--oodle", "/my/oo2core.so", "--list"},
         {{}, "/env/oo2core.so"},
         2,
         {},
         "/my/oo2core.so",
         nullptr},
        {{"--oodle=", "--list"}, {}, 1, {}, "", nullptr},
        {{"--tree", "-v", "--include", "-v", "--verbose", "--test", "--tree"},
         {},
         5,
         {},
         "",
         nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.args[0]));
        const ParsedCommandLine parsed =
            ParseCommandLine({c.args.begin(), c.args.end()}, c.environment);
        if (c.error != nullptr) {
            ASSERT_TRUE(parsed.error);
            EXPECT_TRUE(parsed.error->starts_with(c.error)) << *parsed.error;
            // A key is a secret: it never appears in a message.
            EXPECT_EQ(parsed.error->find("aaaa"), std::string::npos);
            continue;
        }
        ASSERT_FALSE(parsed.error) << *parsed.error;
        EXPECT_EQ(parsed.command, c.command);
        EXPECT_EQ(parsed.options.read.aesKeys, c.keys);
        EXPECT_EQ(parsed.options.read.oodleLibrary, c.oodle);
    }
}

} // namespace
} // namespace Kestrune

namespace Kestrune {
namespace {

// Options with each command, the entry selection on every one, and the
// results for files that hold no package.
TEST(Cli, OptionsReachEveryCommand) {
    LookFixtures f;
    const std::string part = f.save("pak01_000.vpk", "no tree in a numbered part\n");
    const auto out = [&](const std::string& name) { return f.dir.file(name); };
    const std::string notAPackage = " (no PAK footer, WAD header, VPK tree or PACK directory)\n";
    struct Case {
        std::vector<std::string> args;
        std::string out;
        std::string err;
        int exitCode;
        std::string createdDir = ""; // a directory the command makes; "-": none, no check
    };
    const Case cases[] = {
        {{"--version"}, "kestrune " KESTRUNE_VERSION "\n", "", 0},
        {{"--tree", "--version", "--list"}, "kestrune " KESTRUNE_VERSION "\n", "", 0},
        {{"--include", "a/*", "--list", f.good},
         "Package: " + f.good + " (1 files):\n  - [5 B] a/b.txt (Offset: 0x0)\n",
         "",
         0},
        {{"--exclude", "a/**", "--list", f.good},
         "Package: " + f.good + " (1 files):\n  - [5 B] c (Offset: 0x5)\n",
         "",
         0},
        {{"--include", "nothing", "--list", f.good}, "Package: " + f.good + " (0 files):\n", "", 0},
        {{"--exclude", "MAP*", "--list", f.wad},
         "Package: " + f.wad +
             " (2 files):\n  - [1 B] THINGS (Offset: 0xc)\n  - [2 B] THINGS "
             "(Offset: 0xd)\n",
         "",
         0},
        {{"--include", "THINGS", "--list-json", f.wad},
         "{\"package\":" + nlohmann::json(f.wad).dump() +
             ",\"kind\":\"wad\",\"entries\":[\n"
             "{\"index\":0,\"name\":\"THINGS\",\"offset\":12,\"size\":1,\"stored_size\":1,"
             "\"compression\":\"None\",\"encrypted\":false,\"output\":\"THINGS\"},\n"
             "{\"index\":1,\"name\":\"THINGS\",\"offset\":13,\"size\":2,\"stored_size\":2,"
             "\"compression\":\"None\",\"encrypted\":false,\"output\":\"THINGS~2\"}\n"
             "]}\n",
         "",
         0},
        {{"--include", "**", "--exclude", "c", "--test", f.good},
         "Extraction writes 5 bytes from 5 bytes stored\n1 entries, 0 damaged\n",
         "",
         0},
        {{"--exclude", "cut/*", "--exclude", "..", "--test", f.damaged},
         "Extraction writes 4 bytes from 4 bytes stored\n1 entries, 0 damaged\n",
         "",
         0},
        {{"--include", "nothing", "--test", f.good},
         "Extraction writes 0 bytes from 0 bytes stored\n0 entries, 0 damaged\n",
         "",
         0},
        {{"--exclude", "c", "--cat", f.good, "c"}, "", "No entry named c in " + f.good + "\n", 1},
        {{"--include", "?", "--cat", f.good, "c"}, "\n\r\n\0z"s, "", 0},
        {{"--include", "a/*", "--extract", f.good, out("sel")},
         "Extracted all assets to " + out("sel") + "\n",
         "",
         0,
         out("sel")},
        {{"-v", "--extract", f.good, out("v")},
         "a/b.txt -> " + out("v") + "/a_b.txt\nc -> " + out("v") + "/c\nExtracted all assets to " +
             out("v") + "\n2 files, 10 bytes, 0 failed\n",
         "",
         0,
         out("v")},
        {{"--tree", "-v", "--extract", f.good, out("tree")},
         "a/b.txt -> " + out("tree") + "/a/b.txt\nc -> " + out("tree") +
             "/c\nExtracted all assets to " + out("tree") + "\n2 files, 10 bytes, 0 failed\n",
         "",
         0,
         out("tree")},
        {{"--verbose", "--extract", f.damaged, out("vd")},
         "ok -> " + out("vd") + "/ok\n1 files, 151 bytes, 2 failed\n", // with the cut entry's bytes
         "Failed to extract cut/short: cut short by the end of the package (147 of 5000 "
         "bytes)\nFailed to extract ..: its name would not stay inside the directory\n"
         "Extraction failed.\n",
         1,
         out("vd")},
        // A file that opens but holds no package: no success, and no DIR.
        {{"--extract", f.text, out("t")},
         "",
         "Not a package: " + f.text + notAPackage + "Extraction failed.\n",
         1,
         "-" + out("t")},
        {{"--extract", part, out("p")},
         "",
         "Not a package: " + part + notAPackage +
             "pak01_000.vpk is a part of pak01_dir.vpk: give the directory file\n"
             "Extraction failed.\n",
         1,
         "-" + out("p")},
        {{"--test", part},
         "",
         "Not a package: " + part + notAPackage +
             "pak01_000.vpk is a part of pak01_dir.vpk: give the directory file\n",
         1},
        {{"--include", "nothing", "--extract", f.empty, out("e")},
         "Extracted all assets to " + out("e") + "\n",
         "",
         0,
         out("e")},
        {{"--exclude", "**", "--extract", f.good, out("none")},
         "Extracted all assets to " + out("none") + "\n",
         "",
         0,
         out("none")},
        {{"--list-json", f.text},
         "{\"package\":" + nlohmann::json(f.text).dump() + ",\"kind\":null,\"entries\":[]}\n",
         "",
         0},
    };
    for (const Case& c : cases) {
        std::string joined;
        for (const std::string& a : c.args) {
            joined += "[" + a + "]";
        }
        SCOPED_TRACE(joined);
        const auto result = RunKestrune(c.args);
        // --cat writes the entry's bytes, never console text.
        const bool bytes = std::find(c.args.begin(), c.args.end(), "--cat") != c.args.end();
        EXPECT_EQ(result.out, bytes ? c.out : ConsoleText(c.out));
        EXPECT_EQ(result.err, ConsoleText(c.err));
        EXPECT_EQ(result.exitCode, c.exitCode);
        if (c.createdDir.starts_with("-")) {
            EXPECT_FALSE(std::filesystem::exists(c.createdDir.substr(1)));
        } else if (!c.createdDir.empty()) {
            EXPECT_TRUE(std::filesystem::is_directory(c.createdDir));
        }
    }
    // Only the entries taken are written.
    EXPECT_EQ(Testing::ReadFile(out("sel/a_b.txt")), "hello");
    EXPECT_FALSE(std::filesystem::exists(out("sel/c")));
    EXPECT_TRUE(std::filesystem::is_empty(out("none")));
    // --tree keeps the package's directories.
    EXPECT_EQ(Testing::ReadFile(out("tree/a/b.txt")), "hello");
}

} // namespace
} // namespace Kestrune

namespace Kestrune {
namespace {

// Paths outside the ANSI code page of a Windows system open, and are shown
// as the user gave them; DIR too.
TEST(Cli, PathsOutsideTheAnsiCodePage) {
    Testing::TempDir dir;
    const std::filesystem::path wad = dir.path() / std::filesystem::path(u8"日本.wad");
    const std::filesystem::path outDir = dir.path() / std::filesystem::path(u8"出力");
    {
        std::ofstream file(wad, std::ios::binary);
        file << WadBuilder().lump("THINGS", "1").build();
    }
    const auto utf8 = [](const std::filesystem::path& path) {
        const std::u8string text = path.u8string();
        return std::string(text.begin(), text.end());
    };
    const auto listed = RunKestrune({"--list", utf8(wad)});
    EXPECT_EQ(listed.out, ConsoleText("Package: " + utf8(wad) +
                                      " (1 files):\n  - [1 B] THINGS (Offset: 0xc)\n"));
    EXPECT_EQ(listed.err, "");
    const auto extracted = RunKestrune({"--extract", utf8(wad), utf8(outDir)});
    EXPECT_EQ(extracted.out, ConsoleText("Extracted all assets to " + utf8(outDir) + "\n"));
    EXPECT_EQ(extracted.exitCode, 0);
    EXPECT_TRUE(std::filesystem::is_regular_file(outDir / "THINGS"));
}

} // namespace
} // namespace Kestrune

namespace Kestrune {
namespace {

// A game's folder: packages of several kinds at several depths, the
// companion files of some (a Unity file's .resS, a VPK's numbered part, an
// IoStore container's .ucas) and a file that is no package.
struct GameFolder {
    Testing::TempDir dir;
    std::string root = dir.file("game");
    // The packages, in byte order of their paths inside the folder.
    std::vector<std::string> packages{"B.pak", "Data/level0", "a.wad", "paks/Game.utoc",
                                      "paks/pak01_dir.vpk"};

    GameFolder() {
        for (const char* sub : {"game", "game/Data", "game/paks"}) {
            std::filesystem::create_directory(dir.file(sub));
        }
        Testing::WriteFile(root + "/a.wad", WadBuilder().lump("THINGS", "abc").build());
        Testing::WriteFile(root + "/B.pak", PackBuilder().add("maps/e1m1.bsp", "bsp").build());
        Testing::WriteFile(root + "/Data/level0",
                           Testing::BuildSerializedFile(21, true, "readme", "hello", "a/b.txt"));
        Testing::WriteFile(root + "/Data/level0.resS", std::string(64, '\0'));
        VpkBuilder vpk;
        vpk.add("maps", "x", "txt", "hello", 0, 0);
        Testing::WriteFile(root + "/paks/pak01_dir.vpk", vpk.build());
        Testing::WriteFile(root + "/paks/pak01_000.vpk", vpk.parts().at(0));
        Testing::WriteIoStore(root + "/paks/Game",
                              Testing::BuildIoStore({}, {{"Maps/M.umap", "umap"}}));
        Testing::WriteFile(root + "/readme.txt", "not a package\n");
    }
    std::string Path(const std::string& relative) const { return root + "/" + relative; }
};

// Each command on a folder says what it says of each package alone, in
// byte order of their paths; companions and other files are no packages.
TEST(CliFolder, EveryPackageInByteOrder) {
    const GameFolder game;
    for (const char* command : {"--list", "--test"}) {
        std::string out, err;
        for (const std::string& package : game.packages) {
            const auto alone = RunKestrune({command, game.Path(package)});
            ASSERT_EQ(alone.exitCode, 0) << package << alone.err;
            out += alone.out;
            err += alone.err;
        }
        const auto result = RunKestrune({command, game.root});
        EXPECT_EQ(result.exitCode, 0) << command << result.err;
        EXPECT_EQ(result.out, out) << command;
        EXPECT_EQ(result.err, err) << command;
    }
    const auto json = nlohmann::json::parse(RunKestrune({"--list-json", game.root}).out);
    EXPECT_EQ(json.at("folder"), game.root);
    ASSERT_EQ(json.at("packages").size(), game.packages.size());
    for (std::size_t i = 0; i < game.packages.size(); ++i) {
        EXPECT_EQ(
            json.at("packages")[i],
            nlohmann::json::parse(RunKestrune({"--list-json", game.Path(game.packages[i])}).out));
    }
    // -v names what was read as no package of its own.
    const auto verbose = RunKestrune({"-v", "--list", game.root});
    const std::string companion = ": read with the package it belongs to\n";
    for (const auto& [skipped, why] :
         std::vector<std::pair<std::string, std::string>>{{"Data/level0.resS", companion},
                                                          {"paks/pak01_000.vpk", companion},
                                                          {"paks/Game.ucas", companion},
                                                          {"readme.txt", ": not a package\n"}}) {
        EXPECT_NE(verbose.err.find(ConsoleText("Skipped " + game.Path(skipped) + why)),
                  std::string::npos)
            << skipped << verbose.err;
    }
    const auto cat = RunKestrune({"--cat", game.root, "paks/pak01_dir.vpk/maps/x.txt"});
    EXPECT_EQ(cat.out, "hello");
    EXPECT_EQ(RunKestrune({"--cat", game.root, "paks/maps/x.txt"}).exitCode, 1);
}

// Each package's files lie under its path in DIR: in its directory with
// --tree, after its flattened path without.
TEST(CliFolder, OutputUnderEachPackagesPath) {
    const GameFolder game;
    struct Case {
        std::vector<std::string> options;
        std::vector<std::pair<std::string, std::string>> files; // in DIR, and their bytes
    };
    const Case cases[] = {
        {{},
         {{"a.wad_THINGS", "abc"},
          {"B.pak_maps_e1m1.bsp", "bsp"},
          {"paks_pak01_dir.vpk_maps_x.txt", "hello"},
          {"paks_Game.utoc_Proj_Content_Maps_M.umap", "umap"}}},
        {{"--tree"},
         {{"a.wad/THINGS", "abc"},
          {"B.pak/maps/e1m1.bsp", "bsp"},
          {"paks/pak01_dir.vpk/maps/x.txt", "hello"},
          {"paks/Game.utoc/Proj/Content/Maps/M.umap", "umap"}}},
    };
    for (const Case& c : cases) {
        const std::string out = game.dir.file(c.options.empty() ? "flat" : "tree");
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"--extract", game.root, out});
        const auto result = RunKestrune(args);
        EXPECT_EQ(result.exitCode, 0) << result.err;
        for (const auto& [name, bytes] : c.files) {
            EXPECT_EQ(Testing::ReadFile(out + "/" + name), bytes) << name;
        }
    }
}

// What must never happen: a link followed out of the folder, the output
// directory read as input, two packages' files on one name; a failing
// package fails the run by name, and a folder without any package too.
TEST(CliFolder, SafetyAndFailures) {
    GameFolder game;
    // Two packages whose flat names are one: each keeps its own file,
    // also when extracted again into the same DIR.
    std::filesystem::create_directory(game.Path("x"));
    Testing::WriteFile(game.Path("x/y.wad"), WadBuilder().lump("THINGS", "one").build());
    Testing::WriteFile(game.Path("x_y.wad"), WadBuilder().lump("THINGS", "two").build());
    for (int run = 0; run < 2; ++run) {
        const auto result = RunKestrune({"--extract", game.root, game.dir.file("out")});
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(Testing::ReadFile(game.dir.file("out/x_y.wad_THINGS")), "one");
        EXPECT_EQ(Testing::ReadFile(game.dir.file("out/x_y~2.wad_THINGS")), "two");
    }
    // DIR inside the folder, with a package in it already, is no input.
    std::filesystem::create_directory(game.Path("out"));
    Testing::WriteFile(game.Path("out/c.wad"), WadBuilder().lump("C", "c").build());
    auto result = RunKestrune({"--extract", game.root, game.Path("out")});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_FALSE(std::filesystem::exists(game.Path("out/out_c.wad_C")));
    EXPECT_TRUE(std::filesystem::exists(game.Path("out/a.wad_THINGS")));
    std::filesystem::remove_all(game.Path("out"));
#ifndef _WIN32
    // A link to a folder or a package outside is never read.
    std::filesystem::create_directory(game.dir.file("outside"));
    Testing::WriteFile(game.dir.file("outside/secret.wad"), WadBuilder().lump("S", "s").build());
    std::filesystem::create_directory_symlink(game.dir.file("outside"), game.Path("linked"));
    std::filesystem::create_symlink(game.dir.file("outside/secret.wad"), game.Path("s.wad"));
    result = RunKestrune({"--list", game.root});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out.find("secret"), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("s.wad"), std::string::npos) << result.out;
#endif
    // A package that is refused fails the run, named at the end.
    Testing::WriteFile(game.Path("bad.unity3d"),
                       Testing::BuildUnityFs({{"CAB-1", "x", 0}}, {.format = 9}));
    result = RunKestrune({"--list", game.root});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(result.err.ends_with(
        ConsoleText("Failed package: " + game.Path("bad.unity3d") + "\n1 of 8 packages failed\n")))
        << result.err;
    // DIR that holds the folder could take the place of its files.
    for (const std::string& out : {game.root, game.dir.path().string()}) {
        result = RunKestrune({"--extract", game.root, out});
        EXPECT_EQ(result.exitCode, 1) << out;
        EXPECT_EQ(result.err, ConsoleText("Cannot write into " + out + ": it holds " + game.root +
                                          ", whose files no output may replace\n"
                                          "Extraction failed.\n"));
    }
    // No package at all.
    std::filesystem::create_directory(game.dir.file("empty"));
    Testing::WriteFile(game.dir.file("empty/notes.txt"), "text\n");
    for (const char* command : {"--list", "--test", "--list-json", "--extract"}) {
        result = RunKestrune({command, game.dir.file("empty"), game.dir.file("e")});
        EXPECT_EQ(result.exitCode, 1) << command;
        EXPECT_EQ(result.out, "") << command;
        EXPECT_EQ(result.err, ConsoleText("No package in " + game.dir.file("empty") + "\n"));
    }
    Testing::WriteFile(game.dir.file("empty/a.wad"), WadBuilder().lump("A", "a").build());
    result = RunKestrune({"--export", game.dir.file("empty"), game.dir.file("e")});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, ConsoleText("No package in " + game.dir.file("empty") +
                                      " has converters for --export\n"));
}

} // namespace
} // namespace Kestrune
