// --pack as a user runs it: a tree built here is packed, read back with the
// tool's own --tree --extract and compared byte for byte; the same tree made
// in another order, at other times or packed by more threads gives the same
// bytes; every refusal names its cause and leaves nothing behind.

#include "PackWriters.h"
#include "Packing.h"
#include "Platform.h"
#include "support/Files.h"
#include "support/Process.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace Kestrune {
namespace {

namespace fs = std::filesystem;
using Testing::ConsoleText;
using Testing::ReadFile;
using Testing::RunKestrune;
using Testing::TempDir;
using Testing::WriteFile;

using Tree = std::map<std::string, std::string>; // relative name: bytes

// Bytes that compress (text) and bytes that do not (a generator's noise), so
// that both compressed and stored entries are written.
std::string Text(std::size_t size, char seed) {
    std::string text;
    while (text.size() < size) {
        text += "line " + std::to_string(text.size() % 977) + " of " + seed + "\n";
    }
    text.resize(size);
    return text;
}
std::string Noise(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 24);
    }
    return bytes;
}

Tree GeneralTree(const std::string& prefix) {
    return {{prefix + "a.txt", "hello"},
            {prefix + "dir/empty.dat", ""},
            {prefix + "dir/sub/big.txt", Text(200000, 'b')},
            {prefix + "dir/sub/noise.bin", Noise(70000, 7)},
            {prefix + "Z/upper.TXT", Text(3000, 'z')}};
}

// A WAD as a tree extraction shows one: markers as their own files.
Tree WadTree() {
    return {{"PLAYPAL", Noise(768, 1)},
            {"MAP01~2", ""},
            {"MAP01/THINGS", Noise(40, 2)},
            {"MAP01/LINEDEFS", "ld"},
            {"MAP01/SECTORS", "sec"},
            {"E1M1~2", ""},
            {"E1M1/TEXTMAP", "namespace=\"doom\";"},
            {"E1M1/ENDMAP", ""},
            {"S_START", ""},
            {"sprites/TROOA1", Noise(300, 3)},
            {"S_END", ""},
            {"F_START", ""},
            {"flats/FLOOR0_1", Noise(4096, 4)},
            {"F_END", ""}};
}

// Names in UTF-8 beyond ASCII, which a ZIP flags as such.
Tree NonAsciiTree() {
    return {{"a.txt", "plain"},
            {"\xc3\xa9t\xc3\xa9/caf\xc3\xa9.txt", Text(5000, 'c')},
            {"\xe6\x97\xa5\xe6\x9c\xac/\xe5\x90\x8d.bin", Noise(100, 5)}};
}

// Sets an environment variable of this process (which the program started
// inherits) for as long as it lives.
class EnvironmentVariable {
public:
    EnvironmentVariable(const char* name, const std::string& value) : name_(name) {
#ifdef _WIN32
        _putenv_s(name, value.c_str());
#else
        setenv(name, value.c_str(), 1);
#endif
    }
    ~EnvironmentVariable() {
#ifdef _WIN32
        _putenv_s(name_, "");
#else
        unsetenv(name_);
#endif
    }
    EnvironmentVariable(const EnvironmentVariable&) = delete;
    EnvironmentVariable& operator=(const EnvironmentVariable&) = delete;

private:
    const char* name_;
};

void MakeTree(const fs::path& root, const Tree& tree, bool reversed = false) {
    std::vector<std::pair<std::string, std::string>> files(tree.begin(), tree.end());
    if (reversed) {
        std::reverse(files.begin(), files.end());
    }
    for (const auto& [name, bytes] : files) {
        // Names are UTF-8, as the program takes them; a narrow path would be
        // read in the ANSI code page on Windows.
        const fs::path file =
            root / std::u8string(reinterpret_cast<const char8_t*>(name.data()), name.size());
        fs::create_directories(file.parent_path());
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) {
            throw std::runtime_error("cannot write " + name);
        }
        if (reversed) {
            fs::last_write_time(file, fs::file_time_type::clock::now() - std::chrono::hours(50));
        }
    }
}

Tree ReadTree(const fs::path& root) {
    Tree tree;
    for (const auto& item : fs::recursive_directory_iterator(root)) {
        if (item.is_regular_file()) {
            const std::u8string name = fs::relative(item.path(), root).generic_u8string();
            std::ifstream in(item.path(), std::ios::binary);
            std::ostringstream content;
            content << in.rdbuf();
            tree[std::string(name.begin(), name.end())] = content.str();
        }
    }
    return tree;
}

std::vector<std::string> Listing(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& item : fs::directory_iterator(dir)) {
        names.push_back(item.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

constexpr const char* kKey = "0x000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";

struct RoundTrip {
    std::string label;
    std::vector<std::string> options;
    std::string out;
    Tree tree;
};

TEST(Pack, EveryKindAndOptionExtractsToTheSameTree) {
    const std::string game = "Game/Content/";
    std::vector<RoundTrip> rows = {
        {"container", {"--format", "kestrune"}, "x.pak", GeneralTree("")},
        {"quake", {"--format", "quake"}, "x.pak", GeneralTree("")},
        {"pwad", {}, "x.wad", WadTree()},
        {"vpk2", {}, "x.vpk", GeneralTree("")},
        {"vpk1", {"--vpk-version", "1"}, "x.vpk", GeneralTree("")},
        {"vpk parts", {"--split-size", "100000"}, "x_dir.vpk", GeneralTree("")},
        {"unreal mount",
         {"--format", "unreal", "--mount-point", "../../../Game/Content/"},
         "x.pak",
         GeneralTree(game)},
        {"zip deflate", {}, "x.pk3", GeneralTree("")},
        {"zip stored", {"--compression", "None"}, "x.zip", GeneralTree("")},
        {"zip names", {"--format", "zip"}, "x.pk4", NonAsciiTree()},
    };
    for (const std::string version :
         {"1", "2", "3", "4", "5", "6", "7", "8a", "8b", "9", "10", "11"}) {
        rows.push_back({"unreal v" + version,
                        {"--format", "unreal", "--pak-version", version},
                        "x.pak",
                        GeneralTree(game)});
    }
    const std::pair<std::string, std::string> compressed[] = {
        {"3", "Zlib"},  {"5", "Gzip"},  {"8a", "Zlib"}, {"9", "Zstd"}, {"10", "LZ4"},
        {"11", "Zlib"}, {"11", "Gzip"}, {"11", "LZ4"},  {"11", "Zstd"}};
    for (const auto& [version, method] : compressed) {
        rows.push_back({"unreal v" + version + " " + method,
                        {"--format", "unreal", "--pak-version", version, "--compression", method},
                        "x.pak",
                        GeneralTree(game)});
    }
    for (const auto& [version, method] :
         std::vector<std::pair<std::string, std::string>>{{"3", "None"},
                                                          {"4", "Zlib"},
                                                          {"7", "None"},
                                                          {"8b", "Zlib"},
                                                          {"10", "None"},
                                                          {"11", "Zstd"}}) {
        rows.push_back({"unreal v" + version + " " + method + " encrypted",
                        {"--format", "unreal", "--pak-version", version, "--compression", method,
                         "--aes-key", kKey},
                        "x.pak",
                        GeneralTree(game)});
    }
    // Files past 16 MiB are read twice instead of held: once for the header's
    // hash and sizes, once to write.
    Tree large = GeneralTree(game);
    large[game + "large/text.txt"] = Text(17 << 20, 'l');
    large[game + "large/noise.bin"] = Noise((17 << 20) + 5, 11);
    for (const std::string method : {"None", "Zlib"}) {
        rows.push_back({"unreal large " + method,
                        {"--format", "unreal", "--compression", method, "--aes-key", kKey},
                        "x.pak",
                        large});
    }
    for (const std::string method : {"None", "Deflate"}) {
        rows.push_back({"zip large " + method, {"--compression", method}, "x.pk3", large});
    }
    for (const RoundTrip& row : rows) {
        SCOPED_TRACE(row.label);
        TempDir temp;
        MakeTree(temp.path() / "in", row.tree);
        std::vector<std::string> args = row.options;
        const std::string out = temp.file(row.out);
        for (const std::string& a : {std::string("--pack"), temp.file("in"), out}) {
            args.push_back(a);
        }
        const auto packed = RunKestrune(args);
        ASSERT_EQ(packed.exitCode, 0) << packed.err;
        EXPECT_EQ(packed.out, ConsoleText("Packed " + std::to_string(row.tree.size()) +
                                          " files into " + out + "\n"));
        std::vector<std::string> extract;
        if (std::find(row.options.begin(), row.options.end(), "--aes-key") != row.options.end()) {
            extract = {"--aes-key", kKey};
        }
        for (const std::string& a :
             {std::string("--tree"), std::string("--extract"), out, temp.file("back")}) {
            extract.push_back(a);
        }
        const auto back = RunKestrune(extract);
        ASSERT_EQ(back.exitCode, 0) << back.err;
        EXPECT_EQ(ReadTree(temp.path() / "back"), row.tree);
        // Nothing but the package (and its parts) is left beside it.
        for (const std::string& name : Listing(temp.path())) {
            EXPECT_FALSE(name.starts_with(".kestrune")) << name;
        }
    }
}

TEST(Pack, SameBytesWhateverTheOrderTimesAndThreads) {
    const std::vector<std::vector<std::string>> kinds = {
        {"--format", "kestrune"}, {"--format", "quake"},
        {"--format", "vpk"},      {"--format", "unreal", "--compression", "Zlib"},
        {"--format", "zip"},      {"--format", "zip", "--compression", "None"}};
    for (const auto& options : kinds) {
        SCOPED_TRACE(options[1]);
        TempDir temp;
        MakeTree(temp.path() / "one", GeneralTree("Game/"));
        MakeTree(temp.path() / "two", GeneralTree("Game/"), true);
        std::vector<std::string> bytes;
        for (const std::string dir : {"one", "two"}) {
            std::vector<std::string> args = options;
            args.insert(args.end(), {"--pack", temp.file(dir), temp.file(dir + ".out")});
            ASSERT_EQ(RunKestrune(args).exitCode, 0);
            bytes.push_back(ReadFile(temp.file(dir + ".out")));
        }
        EXPECT_EQ(bytes[0], bytes[1]);
    }
    // With -v, a line per file first, in the order stored.
    {
        TempDir temp;
        MakeTree(temp.path() / "in", {{"b", "2"}, {"a/c", "1"}});
        const auto result =
            RunKestrune({"-v", "--format", "quake", "--pack", temp.file("in"), temp.file("x.pak")});
        EXPECT_EQ(result.out, ConsoleText("Packed: a/c\nPacked: b\nPacked 2 files into " +
                                          temp.file("x.pak") + "\n"));
    }
    // Blocks compressed by one thread or by several come out in one order.
    TempDir temp;
    Tree tree = GeneralTree("");
    tree["many/blocks.txt"] = Text(3 << 20, 'm') + Noise(300000, 9);
    // A file of more than 16 MiB is compressed twice, not held: its parts
    // too come out the same.
    tree["many/large.txt"] = Text(17 << 20, 'x');
    MakeTree(temp.path() / "in", tree);
    for (const auto& [kind, codec] : {std::pair{PackageKind::Unreal, Codec::Zstd},
                                      std::pair{PackageKind::Zip, Codec::Deflate}}) {
        std::vector<std::string> bytes;
        for (const unsigned threads : {1u, 2u, 5u}) {
            PackSettings settings;
            settings.kind = kind;
            settings.mountPoint = "../../../";
            settings.compression = codec;
            settings.threads = threads;
            const std::string out = temp.file("t" + std::to_string(threads) + ".out");
            PlanOutcome planned = PlanPackage(temp.file("in"), out, {}, {}, settings);
            ASSERT_FALSE(planned.failure) << *planned.failure;
            const PackOutcome written = WritePackage(planned.plan, out, {});
            ASSERT_TRUE(written.written) << written.failure.value_or("");
            bytes.push_back(ReadFile(out));
        }
        EXPECT_EQ(bytes[0], bytes[1]);
        EXPECT_EQ(bytes[0], bytes[2]);
    }
}

TEST(Pack, OodleBlocksComeFromTheUsersLibrary) {
    TempDir temp;
    Tree tree = GeneralTree("");
    tree["zeros.bin"] = std::string(150000, '\0');
    MakeTree(temp.path() / "in", tree);
    for (const std::string version : {"7", "11"}) {
        SCOPED_TRACE(version);
        const std::string out = temp.file("v" + version + ".pak");
        const std::vector<std::string> oodle = {"--oodle", KESTRUNE_OODLE_STANDIN};
        std::vector<std::string> args = oodle;
        args.insert(args.end(), {"--format", "unreal", "--pak-version", version, "--compression",
                                 "Oodle", "--pack", temp.file("in"), out});
        const auto packed = RunKestrune(args);
        ASSERT_EQ(packed.exitCode, 0) << packed.err;
        std::vector<std::string> list = oodle;
        list.insert(list.end(), {"--list-json", out});
        EXPECT_NE(RunKestrune(list).out.find("\"name\":\"zeros.bin\",\"offset\""),
                  std::string::npos);
        const auto listing = nlohmann::json::parse(RunKestrune(list).out);
        for (const auto& entry : listing["entries"]) {
            // The stand-in shrinks only zeros: every other entry is stored.
            EXPECT_EQ(entry["compression"], entry["name"] == "zeros.bin" ? "Oodle" : "None");
        }
        std::vector<std::string> extract = oodle;
        extract.insert(extract.end(), {"--tree", "--extract", out, temp.file("back" + version)});
        ASSERT_EQ(RunKestrune(extract).exitCode, 0);
        EXPECT_EQ(ReadTree(temp.path() / ("back" + version)), tree);
    }
}

struct Refusal {
    std::string label;
    Tree tree;
    std::vector<std::string> options;
    std::string out; // relative to the temporary directory
    std::string message;
    long long fileSizeLimit = -1;
};

TEST(Pack, RefusalsNameTheCauseAndLeaveNothing) {
    const Refusal rows[] = {
        {".pak alone",
         GeneralTree(""),
         {},
         "x.pak",
         ".pak is written by three kinds: give --format unreal, quake or kestrune"},
        {"out inside dir", GeneralTree(""), {"--format", "kestrune"}, "in/x.pak", "inside"},
        {"order climbs out",
         GeneralTree(""),
         {"--format", "kestrune", "--order", "ORDER"},
         "x.pak",
         "\"..\""},
        {"wad name", {{"LONGNAME9", "x"}}, {}, "x.wad", "'LONGNAME9' is longer than 8 bytes"},
        {"wad folder", {{"misc/A", "x"}}, {}, "x.wad", "no place for"},
        {"quake name",
         {{std::string(56, 'q'), "x"}},
         {"--format", "quake"},
         "x.pak",
         "longer than 55 bytes"},
        {"vpk case", {{"a.txt", "1"}, {"A.txt", "2"}}, {}, "x.vpk", "only in letter case"},
        {"unreal case",
         {{"d/a.txt", "1"}, {"D/a.txt", "2"}},
         {"--format", "unreal"},
         "x.pak",
         "only in letter case"},
        {"wad map lump",
         {{"MAP01/THINGS", "1"}, {"MAP01/README", "2"}},
         {},
         "x.wad",
         "'MAP01/README' is no map lump"},
        {"order names nothing",
         GeneralTree(""),
         {"--format", "vpk", "--order", "MISSING"},
         "x.vpk",
         "'missing.txt', which is no file"},
        {"oodle",
         GeneralTree(""),
         {"--format", "unreal", "--compression", "Oodle"},
         "x.pak",
         "--compression Oodle needs your Oodle library"},
        {"no kind", GeneralTree(""), {}, "x.bin", "give --format"},
        {"vpk parts name", GeneralTree(""), {"--split-size", "1000"}, "x.vpk", "_dir.vpk"},
        {"outside mount",
         GeneralTree(""),
         {"--format", "unreal", "--mount-point", "../../../Game/"},
         "x.pak",
         "outside the mount point"},
        {"lz4 in v5",
         GeneralTree(""),
         {"--format", "unreal", "--pak-version", "5", "--compression", "LZ4"},
         "x.pak",
         "--compression LZ4"},
        {"key in v2",
         GeneralTree(""),
         {"--format", "unreal", "--pak-version", "2", "--aes-key", kKey},
         "x.pak",
         "--aes-key"},
        {"key for vpk", GeneralTree(""), {"--aes-key", kKey}, "x.vpk", "--aes-key does not apply"},
        {"zip method", GeneralTree(""), {"--compression", "Zlib"}, "x.pk3", "--compression Zlib"},
        {"zip unknown method",
         GeneralTree(""),
         {"--compression", "Brotli"},
         "x.pk3",
         "--compression takes None, Deflate"},
        {"zip key", GeneralTree(""), {"--aes-key", kKey}, "x.pke", "--aes-key does not apply"},
        {"zip pak version",
         GeneralTree(""),
         {"--format", "zip", "--pak-version", "11"},
         "x.bin",
         "--pak-version does not apply"},
        {"zip mount point",
         GeneralTree(""),
         {"--mount-point", "../../../"},
         "x.ipk3",
         "--mount-point does not apply"},
        {"zip vpk version", GeneralTree(""), {"--vpk-version", "1"}, "x.zip", "--vpk-version"},
        {"zip split", GeneralTree(""), {"--split-size", "1000"}, "x.zip", "--split-size"},
        {"zip case", {{"a.txt", "1"}, {"A.txt", "2"}}, {}, "x.pk3", "only in letter case"},
#ifndef _WIN32
        {"zip backslash", {{"a\\b.txt", "1"}}, {}, "x.pk3", "backslash"},
#endif
        {"deflate for unreal",
         GeneralTree(""),
         {"--format", "unreal", "--compression", "Deflate"},
         "x.pak",
         "--compression Deflate"},
        {"deflate for wad", WadTree(), {"--compression", "Deflate"}, "x.wad", "--compression"},
#ifndef _WIN32
        {"full disk", GeneralTree(""), {"--format", "kestrune"}, "x.pak", "cannot write", 60000},
#endif
    };
    for (const Refusal& row : rows) {
        SCOPED_TRACE(row.label);
        TempDir temp;
        // Names that differ only in letter case are one file where the
        // folder folds case (Windows): those rows need a folder that keeps
        // both.
        if (row.message == "only in letter case" &&
            Platform::FoldsLetterCase(temp.path().string())) {
            continue;
        }
        MakeTree(temp.path() / "in", row.tree);
        WriteFile(temp.file("ORDER"), "a.txt\n../x\n");
        WriteFile(temp.file("MISSING"), "a.txt\nmissing.txt\n");
        std::vector<std::string> args = row.options;
        for (std::string& a : args) {
            if (a == "ORDER" || a == "MISSING") {
                a = temp.file(a);
            }
        }
        args.insert(args.end(), {"--pack", temp.file("in"), temp.file(row.out)});
        Testing::ProcessOptions options;
        options.fileSizeLimit = row.fileSizeLimit;
        const auto result = RunKestrune(args, options);
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_NE(result.err.find(row.message), std::string::npos) << result.err;
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(Listing(temp.path()), (std::vector<std::string>{"MISSING", "ORDER", "in"}));
        EXPECT_EQ(ReadTree(temp.path() / "in"), row.tree);
    }
}

// A file that grows or shrinks between the plan and the writing fails the
// package by name, whichever writer reads it (stored or compressed, on one
// thread or several), and leaves nothing beside the input.
TEST(Pack, FilesChangedAfterPlanningFailTheWholePackage) {
    struct Kind {
        const char* label;
        PackageKind kind;
        Codec codec;
        const char* out;
    };
    const Kind kinds[] = {
        {"ours", PackageKind::Pak, Codec::Stored, "x.pak"},
        {"quake", PackageKind::Pack, Codec::Stored, "x.pak"},
        {"wad", PackageKind::Wad, Codec::Stored, "x.wad"},
        {"vpk", PackageKind::Vpk, Codec::Stored, "x.vpk"},
        {"unreal", PackageKind::Unreal, Codec::Stored, "x.pak"},
        {"unreal zlib", PackageKind::Unreal, Codec::Zlib, "x.pak"},
        {"zip", PackageKind::Zip, Codec::Stored, "x.zip"},
        {"zip deflate", PackageKind::Zip, Codec::Deflate, "x.zip"},
    };
    const struct {
        const char* label;
        std::size_t size; // of the file that changes: around the 1 MiB read piece
        long change;      // bytes added (or, negative, taken) after the plan
        const char* says;
    } changes[] = {
        {"empty, grown", 0, 1, "(it is longer)"},
        {"small, grown", 1000, 1, "(it is longer)"},
        {"small, shrunk", 1000, -1, "(it is shorter)"},
        {"one piece, grown", 1 << 20, 1, "(it is longer)"},
        {"two pieces, shrunk", (1 << 20) + 1, -2, "(it is shorter)"},
    };
    for (const Kind& kind : kinds) {
        for (const auto& change : changes) {
            SCOPED_TRACE(std::string(kind.label) + ", " + change.label);
            TempDir temp;
            MakeTree(temp.path() / "in",
                     {{"AFILE", Text(3000, 'a')}, {"CHANGES", Noise(change.size, 3)}});
            PackSettings settings;
            settings.kind = kind.kind;
            settings.compression = kind.codec;
            settings.threads = 2;
            const std::string out = temp.file(kind.out);
            PlanOutcome planned = PlanPackage(temp.file("in"), out, {}, {}, settings);
            ASSERT_FALSE(planned.failure) << *planned.failure;
            const fs::path changed = temp.path() / "in" / "CHANGES";
            fs::resize_file(changed, static_cast<std::uintmax_t>(static_cast<long>(change.size) +
                                                                 change.change));
            const PackOutcome written = WritePackage(planned.plan, out, {});
            EXPECT_FALSE(written.written);
            ASSERT_TRUE(written.failure);
            EXPECT_NE(
                written.failure->find("changed while it was packed " + std::string(change.says)),
                std::string::npos)
                << *written.failure;
            EXPECT_EQ(Listing(temp.path()), std::vector<std::string>{"in"});
        }
    }
}

std::vector<std::string> PackArgs(std::vector<std::string> options, const std::string& dir,
                                  const std::string& out) {
    options.insert(options.end(), {"--pack", dir, out});
    return options;
}

// A reference packed with some settings, and a copy packed with only --like
// it (and the key): the copy has the reference's bytes, and standard error
// says what was copied.
TEST(Pack, LikeCopiesWhatItSays) {
    struct Like {
        std::vector<std::string> options;
        std::string reference;
        std::string copied;
        bool encrypted = false;
        Tree tree = GeneralTree("Game/");
    };
    const Like rows[] = {
        {{"--format", "kestrune"}, "r.pak", "kestrune"},
        {{"--format", "quake"}, "r.pak", "quake"},
        {{}, "r.wad", "PWAD", false, WadTree()},
        {{"--vpk-version", "1"}, "r.vpk", "version 1, one file"},
        {{}, "r.pk3", "Deflate"},
        {{"--compression", "None"}, "r.zip", "no compression"},
        {{"--format", "unreal", "--pak-version", "8a", "--compression", "Zlib", "--mount-point",
          "../../../Game/"},
         "r.pak",
         "version 8a, mount point ../../../Game/, Zlib"},
        {{"--format", "unreal", "--pak-version", "5"},
         "r.pak",
         "version 5, mount point ../../../, no compression"},
        {{"--format", "unreal", "--pak-version", "3", "--compression", "Gzip", "--aes-key", kKey},
         "r.pak",
         "version 3, mount point ../../../, Gzip, data encrypted",
         true},
        {{"--format", "unreal", "--compression", "Zstd", "--aes-key", kKey},
         "r.pak",
         "version 11, mount point ../../../, Zstd, data and index encrypted",
         true},
    };
    for (const Like& row : rows) {
        SCOPED_TRACE(row.copied);
        TempDir temp;
        MakeTree(temp.path() / "in", row.tree);
        const std::string reference = temp.file(row.reference);
        ASSERT_EQ(RunKestrune(PackArgs(row.options, temp.file("in"), reference)).exitCode, 0);
        std::vector<std::string> like = {"--like", reference};
        if (row.encrypted) {
            like.insert(like.end(), {"--aes-key", kKey});
        }
        const std::string copy = temp.file("copy/" + row.reference);
        fs::create_directories(temp.path() / "copy");
        const auto result = RunKestrune(PackArgs(like, temp.file("in"), copy));
        ASSERT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(result.err, ConsoleText("like " + reference + ": " + row.copied + "\n"));
        EXPECT_EQ(ReadFile(copy), ReadFile(reference));
        // A key for a reference that is not encrypted, none for one that is.
        like = {"--like", reference};
        if (!row.encrypted) {
            like.insert(like.end(), {"--aes-key", kKey});
        }
        const auto refused = RunKestrune(PackArgs(like, temp.file("in"), temp.file("no.pak")));
        EXPECT_EQ(refused.exitCode, 1);
        EXPECT_NE(refused.err.find(row.encrypted ? "encrypted" : "is not encrypted"),
                  std::string::npos)
            << refused.err;
        EXPECT_FALSE(fs::exists(temp.file("no.pak")));
    }
}

TEST(Pack, LikeAnIwadWritesAnIwadThatDeutexReads) {
    TempDir temp;
    // An IWAD of one lump, written here byte by byte.
    std::string iwad = "IWAD";
    const auto u32 = [&iwad](std::uint32_t v) {
        for (int i = 0; i < 4; ++i) {
            iwad.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
        }
    };
    u32(1);
    u32(14);
    iwad += "hi";
    u32(12);
    u32(2);
    iwad += std::string("README\0\0", 8);
    WriteFile(temp.file("ref.wad"), iwad);
    Tree tree = WadTree();
    tree["PNAMES"] = std::string(4, '\0'); // deutex needs it in the main WAD
    MakeTree(temp.path() / "in", tree);
    fs::create_directories(temp.path() / "main");
    const auto packed = RunKestrune(
        PackArgs({"--like", temp.file("ref.wad")}, temp.file("in"), temp.file("main/doom2.wad")));
    ASSERT_EQ(packed.exitCode, 0) << packed.err;
    EXPECT_EQ(ReadFile(temp.file("main/doom2.wad")).substr(0, 4), "IWAD");
    ASSERT_EQ(RunKestrune(PackArgs({}, temp.file("in"), temp.file("mod.wad"))).exitCode, 0);
    EXPECT_EQ(ReadFile(temp.file("mod.wad")).substr(0, 4), "PWAD");

    // deutex, a WAD tool of its own (Debian's), reads both.
#ifdef _WIN32
    GTEST_SKIP() << "deutex is checked on Debian";
#endif
    const char* deutex = fs::exists("/usr/games/deutex") ? "/usr/games/deutex" : nullptr;
    if (deutex == nullptr) {
        GTEST_SKIP() << "deutex is not installed";
    }
    const std::string listing = temp.file("listing.txt");
    const std::string command = std::string(deutex) + " -doom2 " + temp.file("main") + " -wadir " +
                                temp.file("mod.wad") + " > " + listing + " 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << ReadFile(listing);
    const std::string text = ReadFile(listing);
    for (const std::string lump : {"MAP01", "THINGS", "E1M1", "TEXTMAP", "ENDMAP", "S_START",
                                   "TROOA1", "F_END", "PLAYPAL"}) {
        EXPECT_NE(text.find("\n" + lump), std::string::npos) << lump << "\n" << text;
    }
}

TEST(Pack, ZipTimeStampsComeFromSourceDateEpoch) {
    struct Stamp {
        std::optional<std::int64_t> seconds;
        std::string shown; // as the ZIP's time fields read
    };
    const Stamp rows[] = {
        {std::nullopt, "1980-01-01 00:00:00"},
        {0, "1980-01-01 00:00:00"},           // before MS-DOS time: its first day
        {315532801, "1980-01-01 00:00:00"},   // odd seconds round down
        {1700000003, "2023-11-14 22:13:22"},  // UTC, whatever the zone
        {951782400, "2000-02-29 00:00:00"},   // a leap day
        {4354819199, "2107-12-31 23:59:58"},  // its last stamp
        {99999999999, "2107-12-31 23:59:58"}, // past it: clamped
    };
    for (const Stamp& row : rows) {
        const Zip::DosStamp stamp = Zip::DosStampOf(row.seconds);
        char text[32];
        std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u",
                      1980u + (stamp.date >> 9u), (stamp.date >> 5u) & 0xFu, stamp.date & 0x1Fu,
                      static_cast<unsigned>(stamp.time >> 11u), (stamp.time >> 5u) & 0x3Fu,
                      (stamp.time & 0x1Fu) * 2u);
        EXPECT_EQ(text, row.shown) << row.seconds.value_or(-1);
    }

    // The program takes it from the environment, for every entry.
    TempDir temp;
    MakeTree(temp.path() / "in", GeneralTree(""));
    for (const auto& [epoch, shown] : std::vector<std::pair<std::string, std::string>>{
             {"", "1980-01-01 00:00:00"}, {"1700000003", "2023-11-14 22:13:22"}}) {
        SCOPED_TRACE(epoch);
        std::optional<EnvironmentVariable> set;
        if (!epoch.empty()) {
            set.emplace("SOURCE_DATE_EPOCH", epoch);
        }
        const std::string out = temp.file("t" + epoch + ".pk3");
        ASSERT_EQ(RunKestrune({"--pack", temp.file("in"), out}).exitCode, 0);
        const auto listing = nlohmann::json::parse(RunKestrune({"--list-json", out}).out);
        ASSERT_EQ(listing["entries"].size(), GeneralTree("").size());
        for (const auto& entry : listing["entries"]) {
            EXPECT_EQ(entry["modified"], shown) << entry["name"];
        }
    }
    EnvironmentVariable bad("SOURCE_DATE_EPOCH", "yesterday");
    const auto refused = RunKestrune({"--pack", temp.file("in"), temp.file("bad.pk3")});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("SOURCE_DATE_EPOCH"), std::string::npos) << refused.err;
    EXPECT_FALSE(fs::exists(temp.file("bad.pk3")));
}

// Debian's unzip and Python's zipfile, ZIP readers of their own, test what
// --pack writes: both methods, names beyond ASCII, and an archive of more
// entries than the end record counts (65,535), which takes ZIP64's.
TEST(Pack, ZipIsReadByUnzipAndPythonsZipfile) {
    TempDir temp;
    Tree tree = GeneralTree("");
    for (const auto& [name, bytes] : NonAsciiTree()) {
        tree["names/" + name] = bytes;
    }
    MakeTree(temp.path() / "in", tree);
    for (const std::string method : {"Deflate", "None"}) {
        ASSERT_EQ(RunKestrune(PackArgs({"--compression", method}, temp.file("in"),
                                       temp.file(method + ".pk3")))
                      .exitCode,
                  0);
    }
    // ZIP64 by count: a plan, made here, of many entries read from two files.
    constexpr int kMany = 65536 + 4;
    WriteFile(temp.file("empty"), "");
    WriteFile(temp.file("one"), "x");
    PackPlan plan;
    plan.settings.kind = PackageKind::Zip;
    for (int i = 0; i < kMany; ++i) {
        const bool one = i % 1000 == 0;
        plan.files.push_back({std::to_string(i / 1000) + "/" + std::to_string(i),
                              temp.file(one ? "one" : "empty"), one ? 1u : 0u});
    }
    const std::string many = temp.file("many.zip");
    const PackOutcome written = WritePackage(plan, many, {});
    ASSERT_TRUE(written.written) << written.failure.value_or("");
    const std::string bytes = ReadFile(many);
    ASSERT_GT(bytes.size(), 98u);
    EXPECT_EQ(bytes.substr(bytes.size() - 98, 4), std::string("PK\6\6")); // ZIP64 end record
    EXPECT_EQ(bytes.substr(bytes.size() - 12, 2), "\xff\xff");            // its count defers

#ifdef _WIN32
    GTEST_SKIP() << "unzip and Python's zipfile are checked on Debian";
#endif
    const std::string report = temp.file("report.txt");
    if (fs::exists("/usr/bin/unzip")) {
        for (const std::string archive : {"Deflate.pk3", "None.pk3", "many.zip"}) {
            const std::string command =
                "/usr/bin/unzip -tq " + temp.file(archive) + " > " + report + " 2>&1";
            EXPECT_EQ(std::system(command.c_str()), 0) << archive << ": " << ReadFile(report);
        }
    }
    const std::string script = temp.file("check.py");
    WriteFile(script, R"(import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
bad = z.testzip()
infos = z.infolist()
methods = sorted({i.compress_type for i in infos})
utf8 = sorted(i.filename for i in infos if i.flag_bits & 0x800)
extra = [i.filename for i in infos if i.extra and len(infos) < 65535]
print(len(infos), bad, methods, len(extra), *utf8)
)");
    if (std::system("python3 -c 'import zipfile' > /dev/null 2>&1") != 0) {
        GTEST_SKIP() << "python3 is not installed";
    }
    const std::string e = "names/\xc3\xa9t\xc3\xa9/caf\xc3\xa9.txt";
    const std::string j = "names/\xe6\x97\xa5\xe6\x9c\xac/\xe5\x90\x8d.bin";
    for (const auto& [archive, expected] : std::vector<std::pair<std::string, std::string>>{
             {"Deflate.pk3", "8 None [0, 8] 0 " + e + " " + j + "\n"},
             {"None.pk3", "8 None [0] 0 " + e + " " + j + "\n"},
             {"many.zip", std::to_string(kMany) + " None [0] 0\n"}}) {
        const std::string command =
            "python3 " + script + " " + temp.file(archive) + " > " + report + " 2>&1";
        EXPECT_EQ(std::system(command.c_str()), 0) << archive << ": " << ReadFile(report);
        EXPECT_EQ(ReadFile(report), expected) << archive;
    }
}

// Each entry's name and size, in listing order.
std::vector<std::pair<std::string, std::uint64_t>>
Listed(const std::string& package, const std::vector<std::string>& keys = {}) {
    std::vector<std::string> args = keys;
    args.insert(args.end(), {"--list-json", package});
    const auto result = RunKestrune(args);
    std::vector<std::pair<std::string, std::uint64_t>> entries;
    const nlohmann::json listing = nlohmann::json::parse(result.out);
    for (const auto& entry : listing["entries"]) {
        entries.emplace_back(entry["name"].get<std::string>(), entry["size"].get<std::uint64_t>());
    }
    return entries;
}

// What --tree --extract wrote from P, packed with --like P and P's listing
// as --order, lists as P does: names, sizes, order.
TEST(Pack, ExtractedTreeRepacksToTheSameListing) {
    std::vector<std::pair<std::string, std::vector<std::string>>> packages;
#ifndef _WIN32
    // On Windows a lump name that holds a character file names cannot
    // (freedoom2's VILE\1) is extracted under a name of its own, which
    // packing stores as it finds it: the freedoom rows are Debian's.
    for (const std::string wad :
         {"/usr/share/games/doom/freedoom1.wad", "/usr/share/games/doom/freedoom2.wad"}) {
        if (fs::exists(wad)) {
            packages.push_back({wad, {}});
        }
    }
#endif
    TempDir temp;
    // Packages of our own, stored in an order that is not byte order.
    MakeTree(temp.path() / "own", GeneralTree("Game/"));
    std::string reversed;
    const Tree own = GeneralTree("Game/");
    for (auto it = own.rbegin(); it != own.rend(); ++it) {
        reversed += it->first + "\n";
    }
    WriteFile(temp.file("reversed"), reversed);
    for (const auto& [name, options] :
         std::vector<std::pair<std::string, std::vector<std::string>>>{
             {"own.pak", {"--format", "unreal", "--pak-version", "9", "--compression", "LZ4"}},
             {"own11.pak", {"--format", "unreal", "--aes-key", kKey}},
             {"own.vpk", {}},
             {"own.pk3", {}},
             {"quake.pak", {"--format", "quake"}}}) {
        std::vector<std::string> args = options;
        args.insert(args.end(), {"--order", temp.file("reversed")});
        ASSERT_EQ(RunKestrune(PackArgs(args, temp.file("own"), temp.file(name))).exitCode, 0);
        std::vector<std::string> keys;
        if (std::find(options.begin(), options.end(), kKey) != options.end()) {
            keys = {"--aes-key", kKey};
        }
        packages.push_back({temp.file(name), keys});
    }
    // The order was followed where the kind keeps it as given.
    const auto quake = Listed(temp.file("quake.pak"));
    ASSERT_FALSE(quake.empty());
    EXPECT_EQ(quake[0].first, "Game/dir/sub/noise.bin");

    for (const auto& [package, keys] : packages) {
        SCOPED_TRACE(package);
        const auto listed = Listed(package, keys);
        std::string order;
        for (const auto& [name, size] : listed) {
            order += name + "\n";
        }
        WriteFile(temp.file("order"), order);
        fs::remove_all(temp.path() / "tree");
        std::vector<std::string> extract = keys;
        extract.insert(extract.end(), {"--tree", "--extract", package, temp.file("tree")});
        ASSERT_EQ(RunKestrune(extract).exitCode, 0);
        const std::string copy = temp.file("copy" + fs::path(package).extension().string());
        std::vector<std::string> pack = keys;
        pack.insert(pack.end(), {"--like", package, "--order", temp.file("order")});
        const auto packed = RunKestrune(PackArgs(pack, temp.file("tree"), copy));
        ASSERT_EQ(packed.exitCode, 0) << packed.err;
        EXPECT_EQ(Listed(copy, keys), listed);
    }
}

#ifndef _WIN32
TEST(Pack, LinksLeadingOutAreRefused) {
    TempDir temp;
    MakeTree(temp.path() / "in", GeneralTree(""));
    WriteFile(temp.file("secret"), "outside");
    if (!Testing::MakeSymbolicLink(temp.file("secret"), temp.file("in/link"))) {
        GTEST_SKIP() << "no symbolic links here";
    }
    const auto result =
        RunKestrune({"--format", "kestrune", "--pack", temp.file("in"), temp.file("x.pak")});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("'link' is a link leading out of"), std::string::npos) << result.err;
    EXPECT_FALSE(fs::exists(temp.file("x.pak")));

    // Something that is neither a file nor a directory: a pipe would never end.
    fs::remove(temp.file("in/link"));
    ASSERT_EQ(::mkfifo(temp.file("in/pipe").c_str(), 0600), 0);
    const auto pipe =
        RunKestrune({"--format", "kestrune", "--pack", temp.file("in"), temp.file("x.pak")});
    EXPECT_EQ(pipe.exitCode, 1);
    EXPECT_NE(pipe.err.find("'pipe' is neither a file nor a directory"), std::string::npos)
        << pipe.err;
    EXPECT_FALSE(fs::exists(temp.file("x.pak")));
}
#endif

} // namespace
} // namespace Kestrune
