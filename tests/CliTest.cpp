// The command line as a user meets it: the built executable is run and its
// standard output, standard error and exit code are compared byte for byte,
// in the form the platform's console streams give them (ConsoleText).

#include "support/Files.h"
#include "support/PackageBuilder.h"
#include "support/Process.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace Kestrune {
namespace {

using Testing::ConsoleText;
using Testing::PakBuilder;
using Testing::RunKestrune;
using Testing::WadBuilder;

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
