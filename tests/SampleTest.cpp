// The sample content: the built-in cube, its OBJ text and the sample package.
// Expected texts and bytes are written out here in full, independently of the
// writer, so that a slip in the engine is not mirrored by the test.

#include "KestruneEngine.h"
#include "support/Files.h"
#include "support/PackageBuilder.h"
#include "support/Process.h"

#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <locale>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace Kestrune {
namespace {

using Testing::ConsoleText;
using Testing::RunKestrune;

const std::string kHeader = "# Kestrune Ripper - 3D Mesh Exporter\n";
const std::string kConfigJson = R"({"game":"CyberRogue 2077","engine":"Unreal 5.4","assets":1240})";

std::string CubeObj() {
    return kHeader + "o GameCrate_LOD0\n"
                     "v -1 -1 1\n"
                     "v 1 -1 1\n"
                     "v 1 1 1\n"
                     "v -1 1 1\n"
                     "v -1 -1 -1\n"
                     "v 1 -1 -1\n"
                     "v 1 1 -1\n"
                     "v -1 1 -1\n"
                     "vt 0 0\n"
                     "vt 1 0\n"
                     "vt 1 1\n"
                     "vt 0 1\n"
                     "vt 1 0\n"
                     "vt 0 0\n"
                     "vt 0 1\n"
                     "vt 1 1\n"
                     "vn 0 0 1\n"
                     "vn 0 0 1\n"
                     "vn 0 0 1\n"
                     "vn 0 0 1\n"
                     "vn 0 0 -1\n"
                     "vn 0 0 -1\n"
                     "vn 0 0 -1\n"
                     "vn 0 0 -1\n"
                     "f 1/1/1 2/2/2 3/3/3\n"
                     "f 1/1/1 3/3/3 4/4/4\n"
                     "f 2/2/2 6/6/6 7/7/7\n"
                     "f 2/2/2 7/7/7 3/3/3\n"
                     "f 6/6/6 5/5/5 8/8/8\n"
                     "f 6/6/6 8/8/8 7/7/7\n"
                     "f 5/5/5 1/1/1 4/4/4\n"
                     "f 5/5/5 4/4/4 8/8/8\n"
                     "f 4/4/4 3/3/3 7/7/7\n"
                     "f 4/4/4 7/7/7 8/8/8\n"
                     "f 5/5/5 6/6/6 2/2/2\n"
                     "f 5/5/5 2/2/2 1/1/1\n";
}

// The sample package: data and index laid out by the test's own builder, then
// the footer as literal bytes (magic, version 8, index offset 564, index size
// 123, twenty times 0xAB).
std::string ExpectedSamplePackage() {
    Testing::PakBuilder pak;
    pak.add("Content/Meshes/Props/GameCrate_LOD0.obj", CubeObj());
    pak.add("Config/EngineConfig.json", kConfigJson);
    const std::string built = pak.build();
    const unsigned char footer[] = {0xE1, 0x12, 0x6F, 0x5A, 0x08, 0x00, 0x00, 0x00,
                                    0x34, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                    0x7B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    return built.substr(0, built.size() - 44) +
           std::string(reinterpret_cast<const char*>(footer), sizeof footer) +
           std::string(20, '\xAB');
}

TEST(SampleMesh, CubeTables) {
    const MeshData mesh = KestruneEngine::CreateSampleMesh();
    EXPECT_EQ(mesh.name, "GameCrate_LOD0");
    ASSERT_EQ(mesh.vertices.size(), 8u);
    ASSERT_EQ(mesh.indices.size(), 36u);
    EXPECT_EQ(*std::max_element(mesh.indices.begin(), mesh.indices.end()), 7u);
    EXPECT_EQ(std::set<std::uint32_t>(mesh.indices.begin(), mesh.indices.end()).size(), 8u);
    for (const Vertex& vertex : mesh.vertices) {
        for (const float value :
             {vertex.x, vertex.y, vertex.z, vertex.u, vertex.v, vertex.nx, vertex.ny, vertex.nz}) {
            EXPECT_TRUE(value == -1.0f || value == 0.0f || value == 1.0f) << value;
            EXPECT_FALSE(value == 0.0f && std::signbit(value)) << "negative zero";
        }
    }

    // Every call builds its own mesh: changing one result changes no other.
    MeshData changed = KestruneEngine::CreateSampleMesh();
    changed.name += "_edited";
    changed.vertices[0].x = 5;
    changed.indices[0] = 9;
    EXPECT_EQ(KestruneEngine::CreateSampleMesh(), mesh);
}

TEST(ObjExport, SampleCube) {
    const std::string obj = KestruneEngine::ExportObj(KestruneEngine::CreateSampleMesh());
    EXPECT_EQ(obj, CubeObj());
    EXPECT_EQ(obj.size(), 502u);
    EXPECT_EQ(std::count(obj.begin(), obj.end(), '\n'), 38);
}

// Every float field goes through the same format: one vertex holding the value
// in all eight fields shows it in every position.
TEST(ObjExport, NumberFormat) {
    struct Case {
        float value;
        const char* text;
    };
    const Case cases[] = {
        {1.0f, "1"},
        {-1.0f, "-1"},
        {0.0f, "0"},
        {-0.0f, "-0"},
        {0.5f, "0.5"},
        {0.1f, "0.1"},
        {100000.0f, "100000"},
        {123456.7f, "123457"},
        {999999.5f, "1e+06"},
        {1000000.0f, "1e+06"},
        {1234567.0f, "1.23457e+06"},
        {0.0001f, "0.0001"},
        {0.00012345678f, "0.000123457"},
        {0.00001f, "1e-05"},
        {-3.4e38f, "-3.4e+38"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const float v = c.value;
        const MeshData mesh{"", {{v, v, v, v, v, v, v, v}}, {}};
        const std::string t = c.text;
        EXPECT_EQ(KestruneEngine::ExportObj(mesh), kHeader + "o \nv " + t + " " + t + " " + t +
                                                       "\nvt " + t + " " + t + "\nvn " + t + " " +
                                                       t + " " + t + "\n");
    }
}

TEST(ObjExport, LoopBounds) {
    const Vertex corner{0.5f, 1234567.0f, 0.00001f, 0, 1, 0, 0, -1};
    const std::string cornerLines = "v 0.5 1.23457e+06 1e-05\nvt 0 1\nvn 0 0 -1\n";
    struct Case {
        const char* what;
        MeshData mesh;
        std::string body; // everything after the header line
    };
    const Case cases[] = {
        {"empty mesh", {}, "o \n"},
        {"vertices, no indices", {"m", {corner}, {}}, "o m\n" + cornerLines},
        {"two indices", {"m", {}, {0, 1}}, "o m\n"},
        {"one triple", {"m", {}, {0, 1, 2}}, "o m\nf 1/1/1 2/2/2 3/3/3\n"},
        {"four indices", {"m", {}, {0, 1, 2, 3}}, "o m\nf 1/1/1 2/2/2 3/3/3\n"},
        {"five indices", {"m", {}, {7, 1, 2, 3, 4}}, "o m\nf 8/8/8 2/2/2 3/3/3\n"},
        {"indices past the vertices",
         {"m", {corner}, {4, 5, 6, 0, 0, 0}},
         "o m\n" + cornerLines + "f 5/5/5 6/6/6 7/7/7\nf 1/1/1 1/1/1 1/1/1\n"},
        {"32-bit wrap",
         {"m", {}, {0xFFFFFFFFu, 0xFFFFFFFEu, 0}},
         "o m\nf 0/0/0 4294967295/4294967295/4294967295 1/1/1\n"},
        {"name bytes unchanged", {"a b\tc\nd", {}, {}}, "o a b\tc\nd\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(KestruneEngine::ExportObj(c.mesh), kHeader + c.body);
    }
    EXPECT_EQ(KestruneEngine::ExportObj(MeshData{}).size(), 40u);
}

// Sets the global locale for one scope; the C library's follows when the
// locale has a name.
class GlobalLocale {
public:
    explicit GlobalLocale(const std::locale& locale) : previous_(std::locale::global(locale)) {}
    ~GlobalLocale() { std::locale::global(previous_); }
    GlobalLocale(const GlobalLocale&) = delete;
    GlobalLocale& operator=(const GlobalLocale&) = delete;

private:
    std::locale previous_;
};

struct CommaDecimals : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
    char do_thousands_sep() const override { return '.'; }
    std::string do_grouping() const override { return "\3"; }
};

// A mesh whose text would change under a decimal comma or digit grouping.
const MeshData kLocaleProbe{"p", {{0.5f, 1234567.0f, -2.5f, 0, 1, 0, 0, 1}}, {1233, 0, 0}};
const std::string kLocaleProbeObj =
    kHeader + "o p\nv 0.5 1.23457e+06 -2.5\nvt 0 1\nvn 0 0 1\nf 1234/1234/1234 1/1/1 1/1/1\n";

TEST(ObjExport, IgnoresTheStreamsGlobalLocale) {
    const GlobalLocale comma(std::locale(std::locale::classic(), new CommaDecimals));
    EXPECT_EQ(KestruneEngine::ExportObj(kLocaleProbe), kLocaleProbeObj);
}

TEST(ObjExport, IgnoresANamedDecimalCommaLocale) {
    // scripts/test.sh generates de_DE.UTF-8 where it can; the others are tried
    // for machines set up by hand.
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"}) {
        std::locale named;
        try {
            named = std::locale(name);
        } catch (const std::runtime_error&) {
            continue;
        }
        SCOPED_TRACE(name);
        const GlobalLocale comma(named);
        char probe[16];
        std::snprintf(probe, sizeof probe, "%g", 0.5);
        ASSERT_STREQ(probe, "0,5") << "the locale must really write a decimal comma";
        EXPECT_EQ(KestruneEngine::ExportObj(kLocaleProbe), kLocaleProbeObj);
        return;
    }
    GTEST_SKIP() << "no decimal-comma locale installed (de_DE.UTF-8 or fr_FR.UTF-8)";
}

TEST(SamplePackage, BytesAsLaidOut) {
    Testing::TempDir dir;
    const std::string path = dir.file("sample.pak");
    ASSERT_TRUE(KestruneEngine::CreateSamplePackage(path));
    const std::string written = Testing::ReadFile(path);
    EXPECT_EQ(written.size(), 731u);
    EXPECT_EQ(written, ExpectedSamplePackage());
}

TEST(SampleCli, CreateListExtract) {
    Testing::TempDir dir;
    Testing::ProcessOptions inDir;
    inDir.workingDirectory = dir.path().string();

    const auto created = RunKestrune({"--create-sample", "sample.pak", "ignored"}, inDir);
    EXPECT_EQ(created.out,
              ConsoleText("Successfully generated sample game package at sample.pak\n"));
    EXPECT_EQ(created.err, "");
    EXPECT_EQ(created.exitCode, 0);

    const auto listed = RunKestrune({"--list", "sample.pak"}, inDir);
    EXPECT_EQ(listed.out,
              ConsoleText("Package: sample.pak (2 files):\n"
                          "  - [502 B] Content/Meshes/Props/GameCrate_LOD0.obj (Offset: 0x0)\n"
                          "  - [62 B] Config/EngineConfig.json (Offset: 0x1f6)\n"));
    EXPECT_EQ(listed.err, "");
    EXPECT_EQ(listed.exitCode, 0);

    const auto extracted = RunKestrune({"--extract", "sample.pak"}, inDir);
    EXPECT_EQ(extracted.err, "");
    EXPECT_EQ(extracted.exitCode, 0);
    EXPECT_EQ(Testing::ReadFile(dir.file("extracted/Content_Meshes_Props_GameCrate_LOD0.obj")),
              CubeObj());
    EXPECT_EQ(Testing::ReadFile(dir.file("extracted/Config_EngineConfig.json")), kConfigJson);
}

TEST(SampleCli, Writes) {
    struct Case {
        const char* what;
        std::string path;     // relative to a fresh working directory
        std::string existing; // written at the path first when not empty
    };
    const Case cases[] = {
        {"new file", "s.pak", ""},
        {"path with spaces", "out dir/s.pak", ""},
        {"longer file replaced", "s.pak", std::string(4096, 'x')},
        {"shorter file replaced", "s.pak", "short"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Testing::TempDir dir;
        std::filesystem::create_directory(dir.path() / "out dir");
        if (!c.existing.empty()) {
            Testing::WriteFile(dir.file(c.path), c.existing);
        }
        Testing::ProcessOptions inDir;
        inDir.workingDirectory = dir.path().string();

        const auto result = RunKestrune({"--create-sample", c.path}, inDir);
        EXPECT_EQ(result.out,
                  ConsoleText("Successfully generated sample game package at " + c.path + "\n"));
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(Testing::ReadFile(dir.file(c.path)), ExpectedSamplePackage());
        // A second run over its own output writes the same bytes.
        EXPECT_EQ(RunKestrune({"--create-sample", c.path}, inDir).exitCode, 0);
        EXPECT_EQ(Testing::ReadFile(dir.file(c.path)), ExpectedSamplePackage());
    }
}

TEST(SampleCli, FailuresAreReported) {
    struct Case {
        const char* what;
        std::string path;        // relative to a fresh working directory
        long long fileSizeLimit; // -1: none
        std::function<void(const Testing::TempDir&)> expectAfterwards;
    };
    const Case cases[] = {
        {"directory missing", "missing/s.pak", -1,
         [](const Testing::TempDir& dir) {
             EXPECT_FALSE(std::filesystem::exists(dir.path() / "missing"));
         }},
        {"path is a directory", "out dir", -1,
         [](const Testing::TempDir& dir) {
             EXPECT_EQ(Testing::ReadFile(dir.file("out dir/kept.txt")), "kept");
         }},
#ifndef _WIN32
        // A full device and a file size limit exist on POSIX systems only.
        {"device full", "/dev/full", -1, [](const Testing::TempDir&) {}},
        // Room for the failure line on standard error, not for the package:
        // the file keeps the bytes the system accepted.
        {"file-size limit", "s.pak", 100,
         [](const Testing::TempDir& dir) {
             EXPECT_EQ(Testing::ReadFile(dir.file("s.pak")),
                       ExpectedSamplePackage().substr(0, 100));
         }},
#endif
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Testing::TempDir dir;
        std::filesystem::create_directory(dir.path() / "out dir");
        Testing::WriteFile(dir.file("out dir/kept.txt"), "kept");
        Testing::ProcessOptions options;
        options.workingDirectory = dir.path().string();
        options.fileSizeLimit = c.fileSizeLimit;

        const auto result = RunKestrune({"--create-sample", c.path}, options);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, ConsoleText("Failed to create sample package.\n"));
        EXPECT_EQ(result.exitCode, 1);
        c.expectAfterwards(dir);
    }
}

} // namespace
} // namespace Kestrune
