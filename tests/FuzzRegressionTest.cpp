// Inputs the fuzzers found, each kept as a named case with its bytes built in
// code, so that what once went wrong is checked on every run.

#include "support/Files.h"
#include "support/PackageBuilder.h"
#include "support/Process.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>

namespace Kestrune {
namespace {

namespace fs = std::filesystem;
using Testing::PakBuilder;
using Testing::ReadFile;
using Testing::RunKestrune;
using Testing::TempDir;
using Testing::WriteFile;

#ifdef __linux__
// fuzz_extract, first 10-minute campaign: a PAK record whose name is longer
// than a file name may be (255 bytes on Linux file systems). The fuzzer's own
// check tripped over the missing file. Such a name is now cut to fit, and
// stays apart from an entry whose name its cut form equals.
TEST(FuzzRegression, EntryNameLongerThanAFileNameMayBe) {
    const std::string longest(255, 'n');
    const std::string tooLong = std::string(256, 'n') + "/tail";
    PakBuilder pak;
    pak.add("before.txt", "before").add(tooLong, "cut to fit");
    pak.add(longest, "exactly at the limit").add("after.txt", "after");

    TempDir dir;
    WriteFile(dir.file("p.pak"), pak.build());
    const std::string out = dir.file("out");
    const auto result = RunKestrune({"--extract", dir.file("p.pak"), out});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(ReadFile(out + "/before.txt"), "before");
    EXPECT_EQ(ReadFile(out + "/" + longest), "cut to fit");
    EXPECT_EQ(ReadFile(out + "/" + std::string(253, 'n') + "~2"), "exactly at the limit");
    EXPECT_EQ(ReadFile(out + "/after.txt"), "after");
    EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), 4);
}
#endif

} // namespace
} // namespace Kestrune
