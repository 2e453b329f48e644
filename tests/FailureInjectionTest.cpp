// Failures forced from outside: the file-size limit reached in the middle of
// an entry or of the sample package, an output directory that cannot be
// written, a package that changes while it is being extracted, and a package
// larger than 4 GiB. Whatever happens, the run must end with exit code 1 and
// say why, must keep everything that was on disk before, and must write
// nothing outside DIR.

#include "KestruneEngine.h"
#include "support/Files.h"
#include "support/PackageBuilder.h"
#include "support/Process.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace Kestrune {
namespace {

namespace fs = std::filesystem;
using Testing::PakBuilder;
using Testing::ReadFile;
using Testing::RunKestrune;
using Testing::TempDir;
using Testing::WriteFile;

std::string Pattern(std::size_t length, char seed) {
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<char>(seed + static_cast<char>(i % 61));
    }
    return bytes;
}

#ifndef _WIN32

// Every path under `root` with what stands there (a file's bytes, a link's
// target), except the subtree at `skip`: two equal snapshots mean nothing
// outside `skip` was created, changed or removed.
std::map<std::string, std::string> Snapshot(const fs::path& root, const fs::path& skip = {}) {
    std::map<std::string, std::string> seen;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
         ++it) {
        const std::string key = it->path().lexically_relative(root).string();
        if (it->path() == skip) {
            it.disable_recursion_pending();
        } else if (it->is_symlink()) {
            seen[key] = "link to " + fs::read_symlink(it->path()).string();
        } else if (it->is_directory()) {
            seen[key] = "directory";
        } else {
            seen[key] = "file " + ReadFile(it->path().string());
        }
    }
    return seen;
}

// The limit cuts entries short in the middle of a write, as a full device
// would. Entries below it are still written whole, the cut one holds exactly
// the bytes the system accepted, and the files around DIR are untouched.
TEST(FailureInjection, FileSizeLimitReachedDuringExtraction) {
    const std::string big = Pattern(64 * 1024, 'A');
    const std::string mid = Pattern(3000, 'a');
    PakBuilder pak;
    pak.add("first.txt", "first").add("big.bin", big).add("mid.bin", mid);
    pak.add("empty", "").add("last.txt", "last");

    struct Case {
        long long limit;
        std::string err;
        std::map<std::string, std::string> files; // in DIR afterwards, keep.txt aside
    };
    const Case cases[] = {
        {16 * 1024,
         "Failed to extract big.bin: write failed (File too large)\nExtraction failed.\n",
         {{"first.txt", "first"},
          {"big.bin", big.substr(0, 16 * 1024)},
          {"mid.bin", mid},
          {"empty", ""},
          {"last.txt", "last"}}},
        {2048,
         "Failed to extract big.bin: write failed (File too large)\n"
         "Failed to extract mid.bin: write failed (File too large)\nExtraction failed.\n",
         {{"first.txt", "first"},
          {"big.bin", big.substr(0, 2048)},
          {"mid.bin", mid.substr(0, 2048)},
          {"empty", ""},
          {"last.txt", "last"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("limit " + std::to_string(c.limit));
        TempDir dir;
        WriteFile(dir.file("p.pak"), pak.build());
        WriteFile(dir.file("notes.txt"), "beside DIR");
        const fs::path out = dir.path() / "out";
        fs::create_directory(out);
        WriteFile((out / "keep.txt").string(), "was here before");
        const auto before = Snapshot(dir.path(), out);

        Testing::ProcessOptions limited;
        limited.fileSizeLimit = c.limit;
        const auto result = RunKestrune({"--extract", dir.file("p.pak"), out.string()}, limited);
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, c.err);

        EXPECT_EQ(Snapshot(dir.path(), out), before);
        EXPECT_EQ(ReadFile((out / "keep.txt").string()), "was here before");
        std::map<std::string, std::string> files;
        for (const auto& item : fs::directory_iterator(out)) {
            if (item.path().filename() != "keep.txt") {
                files[item.path().filename().string()] = ReadFile(item.path().string());
            }
        }
        EXPECT_EQ(files, c.files);
    }
}

// The sample package is 731 bytes: a limit one byte short of it is a
// failure, reported, with the accepted bytes left in the file and the files
// beside it untouched; at exactly 731 bytes it succeeds.
TEST(FailureInjection, FileSizeLimitReachedDuringCreateSample) {
    struct Case {
        long long limit;
        int exitCode;
        std::string out;
        std::string err;
        std::size_t bytesKept;
    };
    const Case cases[] = {
        {100, 1, "", "Failed to create sample package.\n", 100},
        {730, 1, "", "Failed to create sample package.\n", 730},
        {731, 0, "Successfully generated sample game package at s.pak\n", "", 731},
    };
    std::string whole;
    {
        TempDir dir;
        ASSERT_TRUE(KestruneEngine::CreateSamplePackage(dir.file("s.pak")));
        whole = ReadFile(dir.file("s.pak"));
        ASSERT_EQ(whole.size(), 731u);
    }
    for (const Case& c : cases) {
        SCOPED_TRACE("limit " + std::to_string(c.limit));
        TempDir dir;
        WriteFile(dir.file("notes.txt"), "beside the package");
        fs::create_directory(dir.path() / "extracted");
        WriteFile(dir.file("extracted/old.obj"), "from an earlier run");
        const auto before = Snapshot(dir.path());

        Testing::ProcessOptions options;
        options.workingDirectory = dir.path().string();
        options.fileSizeLimit = c.limit;
        const auto result = RunKestrune({"--create-sample", "s.pak"}, options);
        EXPECT_EQ(result.exitCode, c.exitCode);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.err, c.err);

        auto after = Snapshot(dir.path());
        EXPECT_EQ(after["s.pak"], "file " + whole.substr(0, c.bytesKept));
        after.erase("s.pak");
        EXPECT_EQ(after, before);
    }
}

// DIR cannot be created, or an entry's file cannot be created in it, in ways
// that stop root as well as anyone else.
TEST(FailureInjection, OutputThatCannotBeCreated) {
    PakBuilder pak;
    pak.add("taken", "data for a name a directory holds").add("free.txt", "free");

    struct Case {
        const char* what;
        std::string dirName;                 // DIR, relative to the test directory
        std::function<void(TempDir&)> setUp; // puts the obstacle in place
        std::string err;
        std::map<std::string, std::string> files; // expected in DIR afterwards
    };
    const Case cases[] = {
        {"DIR names an existing file",
         "occupied",
         [](TempDir& d) { WriteFile(d.file("occupied"), "a file, not a directory"); },
         "Failed to create directory: @DIR (File exists)\nExtraction failed.\n",
         {}},
        {"DIR lies under a regular file",
         "plain.txt/out",
         [](TempDir& d) { WriteFile(d.file("plain.txt"), "a file, not a directory"); },
         "Failed to create directory: @DIR (Not a directory)\nExtraction failed.\n",
         {}},
        {"an entry's name is taken by a directory in DIR",
         "out",
         [](TempDir& d) {
             fs::create_directories(d.path() / "out" / "taken");
             WriteFile(d.file("out/taken/inner.txt"), "inside the directory");
         },
         "Failed to extract taken: cannot create the file (Is a directory)\nExtraction failed.\n",
         {{"free.txt", "free"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        WriteFile(dir.file("p.pak"), pak.build());
        c.setUp(dir);
        const fs::path out = dir.path() / c.dirName;
        const auto before = Snapshot(dir.path(), out);
        const auto obstacle = fs::is_directory(out) ? Snapshot(out) : decltype(before){};

        const auto result = RunKestrune({"--extract", dir.file("p.pak"), out.string()});
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.out, "");
        std::string err = c.err;
        if (const auto at = err.find("@DIR"); at != std::string::npos) {
            err.replace(at, 4, out.string());
        }
        EXPECT_EQ(result.err, err);
        EXPECT_EQ(Snapshot(dir.path(), out), before);
        if (fs::is_directory(out)) {
            auto after = Snapshot(out);
            for (const auto& [name, bytes] : c.files) {
                EXPECT_EQ(after[name], "file " + bytes) << name;
                after.erase(name);
            }
            EXPECT_EQ(after, obstacle); // what stood there is still there, unchanged
        }
    }
}

#ifdef __linux__
// procfs refuses new directories even to root, so this runs as root too.
TEST(FailureInjection, DirectoryUnderProcSelf) {
    TempDir dir;
    PakBuilder pak;
    pak.add("asset.bin", "bytes");
    WriteFile(dir.file("p.pak"), pak.build());
    const auto before = Snapshot(dir.path());
    const std::string out = "/proc/self/kestrune-extracted";

    const auto result = RunKestrune({"--extract", dir.file("p.pak"), out});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.out, "");
    const std::string head = "Failed to create directory: " + out + " (";
    EXPECT_EQ(result.err.substr(0, head.size()), head);
    EXPECT_TRUE(result.err.ends_with(")\nExtraction failed.\n")) << result.err;
    EXPECT_EQ(Snapshot(dir.path()), before);
}
#endif

// Permission bits do not stop root, so this case means something only for an
// ordinary user; the cases above cover unwritable output for root.
TEST(FailureInjection, ReadOnlyDirectory) {
    if (geteuid() == 0) {
        GTEST_SKIP() << "running as root: root writes into a directory of mode 0555 all the "
                        "same, so a read-only DIR cannot fail here (the DIR-under-a-file, "
                        "taken-name and /proc cases fail for root too)";
    }
    TempDir dir;
    PakBuilder pak;
    pak.add("a.txt", "a").add("b.txt", "b");
    WriteFile(dir.file("p.pak"), pak.build());
    const fs::path out = dir.path() / "out";
    fs::create_directory(out);
    WriteFile((out / "keep.txt").string(), "was here before");
    fs::permissions(out, fs::perms::owner_read | fs::perms::owner_exec);
    const auto before = Snapshot(dir.path());

    const auto result = RunKestrune({"--extract", dir.file("p.pak"), out.string()});
    fs::permissions(out, fs::perms::owner_all);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Failed to extract a.txt: cannot create the file (Permission denied)\n"
                          "Failed to extract b.txt: cannot create the file (Permission denied)\n"
                          "Extraction failed.\n");
    EXPECT_EQ(Snapshot(dir.path()), before);
}

#endif // !_WIN32

// The package is changed on disk after the listing, while the entries are
// being copied. A separate process cannot hit that window reliably (the tool
// lists and copies within one call through one open file), so the change is
// made from the progress callback, after the first entry is written. Removing
// or replacing the package changes nothing: the open file still holds the
// listed bytes (Windows refuses to remove an open file at all). Cutting it
// short makes the later entries fail, written only as far as the bytes still
// exist.
TEST(FailureInjection, PackageChangedBetweenListingAndCopy) {
    const std::string second = Pattern(5000, 'k');
    PakBuilder pak;
    pak.add("first", "first entry").add("second", second).add("third", "third entry");
    const std::string package = pak.build();
    const std::map<std::string, std::string> allWhole{
        {"first", "first entry"}, {"second", second}, {"third", "third entry"}};

    struct Case {
        const char* what;
        std::function<bool(const std::string&)> change; // false: the system refused it
        bool ok;
        std::map<std::string, std::string> files;
    };
    const Case cases[] = {
        {"package removed",
         [](const std::string& path) {
             std::error_code error;
             return fs::remove(path, error);
         },
         true, allWhole},
        {"package replaced by a directory",
         [](const std::string& path) {
             std::error_code error;
             return fs::remove(path, error) && fs::create_directory(path, error);
         },
         true, allWhole},
        {"package cut short inside the second entry",
         [](const std::string& path) {
             std::error_code error;
             fs::resize_file(path, 11 + 100, error);
             return !error;
         },
         false,
         {{"first", "first entry"}, {"second", second.substr(0, 100)}, {"third", ""}}},
        {"package emptied",
         [](const std::string& path) {
             std::error_code error;
             fs::resize_file(path, 0, error);
             return !error;
         },
         false,
         {{"first", "first entry"}, {"second", ""}, {"third", ""}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string path = dir.file("p.pak");
        WriteFile(path, package);
        const fs::path out = dir.path() / "out";

        bool called = false;
        bool changed = false;
        const auto changeAfterFirstEntry = [&](const ExtractionProgress& progress) {
            if (!called && progress.entriesDone == 1) {
                changed = c.change(path);
                called = true;
            }
        };
        ExtractionReport report;
        const bool ok =
            KestruneEngine::ExtractAll(path, out.string(), &report, changeAfterFirstEntry);
        ASSERT_TRUE(called);
#ifndef _WIN32
        EXPECT_TRUE(changed); // POSIX systems allow every one of these changes
#endif
        // A change the system refused leaves the package as it was listed.
        EXPECT_EQ(ok, changed ? c.ok : true);
        EXPECT_EQ(report.entriesWritten + report.failures.size(), 3u);
        for (const ExtractionFailure& failure : report.failures) {
            EXPECT_NE(failure.reason.find("cut short"), std::string::npos) << failure.reason;
        }
        std::map<std::string, std::string> files;
        for (const auto& item : fs::directory_iterator(out)) {
            files[item.path().filename().string()] = ReadFile(item.path().string());
        }
        EXPECT_EQ(files, changed ? c.files : allWhole);
    }
}

// A package of 5 GiB made as a sparse file: its one far entry lies beyond
// 4 GiB, and the index and footer after it. Listed and extracted through
// 64-bit positions; only a few KiB are ever written.
TEST(FailureInjection, SparsePackageBeyondFourGib) {
    TempDir dir;
    const std::string path = dir.file("huge.pak");
    constexpr std::uint64_t kFar = 5ULL << 30;
    const std::string far = Pattern(4096, 'F');
    PakBuilder index;
    index.record({"near.txt", 0, 5, 5});
    index.record({"far/away.bin", kFar, far.size(), far.size()});
    const std::string indexBytes = index.index();
    const std::string footer = PakBuilder::footer(0x5A6F12E1, kFar + far.size(), indexBytes.size());
    Testing::WriteSparseFile(path, {{0, "hello"}, {kFar, far + indexBytes + footer}});
    ASSERT_EQ(fs::file_size(path), kFar + far.size() + indexBytes.size() + 44);
#ifndef _WIN32
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    if (static_cast<std::uint64_t>(info.st_blocks) * 512 > (64ULL << 20)) {
        GTEST_SKIP() << "this file system stores no sparse files; the test would write 5 GiB";
    }
#endif

    const auto listed = RunKestrune({"--list", path});
    EXPECT_EQ(listed.exitCode, 0);
    EXPECT_EQ(listed.err, "");
    EXPECT_EQ(listed.out,
              Testing::ConsoleText("Package: " + path +
                                   " (2 files):\n"
                                   "  - [5 B] near.txt (Offset: 0x0)\n"
                                   "  - [4096 B] far/away.bin (Offset: 0x140000000)\n"));

    const std::string out = dir.file("out");
    const auto extracted = RunKestrune({"--extract", path, out});
    EXPECT_EQ(extracted.exitCode, 0);
    EXPECT_EQ(extracted.err, "");
    EXPECT_EQ(extracted.out, Testing::ConsoleText("Extracted all assets to " + out + "\n"));
    EXPECT_EQ(ReadFile(out + "/near.txt"), "hello");
    EXPECT_EQ(ReadFile(out + "/far_away.bin"), far);
}

} // namespace
} // namespace Kestrune
