// --export of Unity bundles built in code: each converter's file byte for
// byte, the names it gets, what is skipped and why, and --list-json's
// account of it.

#include "KestruneEngine.h"
#include "support/Files.h"
#include "support/Process.h"
#include "support/UnityBuilder.h"
#include "support/UnityMeshBuilder.h"
#include "unity/UnityLayouts.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <nlohmann/json.hpp>
#include <png.h>
#include <set>

namespace Kestrune::Testing {
namespace {

UnityTestObject Text(std::int64_t id, std::string name, std::string_view script) {
    UnityObjectWriter w("TextAsset");
    w.String("m_Name", name).String("m_Script", script);
    return {49, id, std::move(w)};
}

UnityTestObject Font(std::int64_t id, std::string name, std::string_view data) {
    UnityObjectWriter w("Font");
    w.String("m_Name", name).ByteArray("m_FontData", data, "char");
    return {128, id, std::move(w)};
}

UnityTestObject Behaviour(std::int64_t id) {
    UnityObjectWriter w("MonoBehaviour");
    w.PPtr("m_GameObject", 0, 0).U8("m_Enabled", 1).Align().PPtr("m_Script", 1, 11500000);
    w.String("m_Name", "Settings").F32("speed", 1.5f).I32("lives", -3);
    w.String("title", "Caf\xc3\xa9 \"A\"\n").ByteArray("blob", std::string("\x00\xff\x10", 3));
    w.Array("points", 2, [](UnityObjectWriter& e, std::size_t i) {
        e.Begin("Vector2f", "data").F32("x", static_cast<float>(i)).F32("y", 0.25f).End();
    });
    w.Array("ids", 2, [](UnityObjectWriter& e, std::size_t i) {
        e.I32("data", static_cast<std::int64_t>(i) - 1);
    });
    return {114, id, std::move(w)};
}

UnityTestObject Other(std::int64_t id) {
    UnityObjectWriter w("Shader");
    w.String("m_Name", "Lit");
    return {48, id, std::move(w)};
}

std::string Bundle(std::vector<UnityTestObject> objects,
                   const std::vector<std::pair<std::string, std::int64_t>>& container,
                   bool trees = true, std::string resource = {}) {
    objects.push_back(AssetBundleObject(container));
    std::vector<UnityNode> nodes{{"CAB-0123", BuildSerializedFileOf(19, objects, trees), 4}};
    if (!resource.empty()) {
        nodes.push_back({"CAB-0123.resource", resource, 0});
        nodes.push_back({"CAB-0123.resS", std::move(resource), 0});
    }
    return BuildUnityFs(nodes);
}

// An FSB5 bank (version 1) of one sample at 44100 Hz, mono, in `mode`.
std::string Fsb5(std::uint32_t mode, std::string_view data) {
    std::string out = "FSB5";
    const auto u32 = [&](std::uint64_t v) {
        for (int i = 0; i < 4; ++i) {
            out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
        }
    };
    u32(1);
    u32(1);
    u32(8);
    u32(0);
    u32(data.size());
    u32(mode);
    out.append(32, '\0');
    const std::uint64_t header = (8u << 1) | (static_cast<std::uint64_t>(data.size() / 2) << 34);
    for (int i = 0; i < 8; ++i) {
        out.push_back(static_cast<char>((header >> (8 * i)) & 0xFF));
    }
    return out + std::string(data);
}

UnityTestObject Audio(std::int64_t id, std::string name, std::uint64_t offset, std::uint64_t size,
                      std::string_view source = "archive:/CAB-0123/CAB-0123.resource") {
    UnityObjectWriter w("AudioClip");
    w.String("m_Name", name).I32("m_LoadType", 0);
    w.Begin("StreamedResource", "m_Resource").String("m_Source", source);
    w.Value("UInt64", "m_Offset", 8, offset).Value("UInt64", "m_Size", 8, size).End();
    return {83, id, std::move(w)};
}

// Texture2D of the 2019 layout: pixels kept in it, or streamed from
// `stream` bytes at `offset` of the .resS node.
UnityTestObject Texture(std::int64_t id, std::string name, std::int64_t width, std::int64_t height,
                        int format, std::string_view pixels, std::uint64_t offset = 0,
                        std::uint64_t streamed = 0,
                        std::string_view path = "archive:/CAB-0123/CAB-0123.resS") {
    UnityObjectWriter w("Texture2D");
    w.String("m_Name", name).I32("m_Width", width).I32("m_Height", height);
    w.I32("m_CompleteImageSize", static_cast<std::int64_t>(pixels.size() + streamed));
    w.I32("m_TextureFormat", format).I32("m_MipCount", 1).Bool("m_IsReadable", false).Align();
    w.Typeless("image data", pixels);
    w.Begin("StreamingInfo", "m_StreamData").U32("offset", offset).U32("size", streamed);
    w.String("path", streamed ? path : "").End();
    return {28, id, std::move(w)};
}

UnityTestObject Sprite(std::int64_t id, std::string name, std::int64_t texture,
                       std::array<float, 4> rect, std::uint32_t settings = 0,
                       std::int32_t textureFile = 0) {
    UnityObjectWriter w("Sprite");
    w.String("m_Name", name);
    w.Begin("Rectf", "m_Rect").F32("x", rect[0]).F32("y", rect[1]).F32("width", rect[2]);
    w.F32("height", rect[3]).End();
    w.Begin("SpriteRenderData", "m_RD").PPtr("texture", textureFile, texture);
    w.Begin("Rectf", "textureRect").F32("x", rect[0]).F32("y", rect[1]).F32("width", rect[2]);
    w.F32("height", rect[3]).End().U32("settingsRaw", settings).End();
    return {213, id, std::move(w)};
}

// A PNG's pixels as RGBA, rows top to bottom, read back by libpng.
std::string PngPixels(const std::string& file, std::uint32_t& width, std::uint32_t& height) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, file.data(), file.size())) {
        return "not a PNG";
    }
    image.format = PNG_FORMAT_RGBA;
    std::string pixels(PNG_IMAGE_SIZE(image), '\0');
    png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr);
    width = image.width;
    height = image.height;
    return pixels;
}

const std::string kTtf = std::string("\x00\x01\x00\x00", 4) + "glyphs";

TEST(UnityExport, EachConverterWritesItsFile) {
    const TempDir dir;
    const std::string package = dir.file("a.bundle");
    WriteFile(package, Bundle({Text(7, "readme", "hello"),
                               Text(8, "blob", std::string("\xff\xfe", 2)), Text(9, "config", "{}"),
                               Font(10, "Sans", kTtf), Font(11, "Serif", "OTTOtables"),
                               Font(12, "Odd", "notafont"), Behaviour(13), Other(14)},
                              {{"assets/docs/readme.md", 7}, {"assets/fonts/sans.asset", 10}}));
    const std::string out = dir.file("out");
    const auto result = RunKestrune({"--tree", "-v", "--export", package, out});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    const struct {
        const char* path;
        std::string bytes;
    } files[] = {
        {"assets/docs/readme.md", "hello"},
        {"blob #8.bytes", std::string("\xff\xfe", 2)},
        {"config #9.txt", "{}"},
        {"assets/fonts/sans.ttf", kTtf},
        {"Serif #11.otf", "OTTOtables"},
        {"Settings #13.json",
         "{\"m_GameObject\":{\"file_id\":0,\"path_id\":0},\"m_Enabled\":1,"
         "\"m_Script\":{\"file_id\":1,\"path_id\":11500000},\"m_Name\":\"Settings\","
         "\"speed\":1.5,\"lives\":-3,\"title\":\"Caf\xc3\xa9 \\\"A\\\"\\u000a\","
         "\"blob\":\"AP8Q\",\"points\":[{\"x\":0,\"y\":0.25},{\"x\":1,\"y\":0.25}],"
         "\"ids\":[-1,0]}\n"},
    };
    for (const auto& file : files) {
        SCOPED_TRACE(file.path);
        EXPECT_EQ(ReadFile(out + "/" + file.path), file.bytes);
    }
    EXPECT_NE(result.out.find(ConsoleText("Skipped Odd #12 (Font): its font data is neither "
                                          "TrueType nor OpenType\n")),
              std::string::npos)
        << result.out;
    EXPECT_NE(
        result.out.find(ConsoleText("Skipped Lit #14 (Shader): Shader objects are not exported\n")),
        std::string::npos);
    EXPECT_NE(result.out.find(ConsoleText("Exported all assets to " + out + "\n")),
              std::string::npos);
}

TEST(UnityExport, TexturesSpritesAndMeshes) {
    const TempDir dir;
    // 2x2 RGBA32, stored bottom row first: A B / C D from the top.
    const std::string a = "\x01\x02\x03\xff", b = "\x04\x05\x06\x80", c = "\x07\x08\x09\xff";
    const std::string d("\x0a\x0b\x0c\x00", 4);
    const std::string rgb24 = "\x10\x20\x30\x40\x50\x60"; // 1x2, streamed
    MeshLayout mesh;
    mesh.channels = Channels({0, 0, 0, 3}, {0, 0, 0, 0}, {0, 0, 0, 0});
    mesh.vertices = MeshBytes{}.f({1, 2, 3, 4, 5, 6, -1, 0, 0}).out;
    mesh.indices = MeshBytes{}.put(0, 2).put(1, 2).put(2, 2).out;
    const std::string resource = "pad" + rgb24;
    const std::string package = dir.file("t.bundle");
    WriteFile(package, Bundle({Texture(7, "banner_1", 2, 2, 4, c + d + a + b),
                               Sprite(8, "banner_1_0", 7, {1, 0, 1, 2}, 1 | (1 << 2)),
                               Texture(9, "strip", 1, 2, 3, "", 3, 6),
                               Texture(10, "phone", 4, 4, 47, std::string(16, 'e')),
                               Texture(11, "huge", 65536, 65536, 4, std::string(100, 'h')),
                               {43, 12, MeshObject(mesh)}},
                              {{"assets/ui/banner_1.png", 7},
                               {"assets/ui/banner_1.png", 8},
                               {"assets/props/crate.asset", 12}},
                              true, resource));
    // The .resS node is the bundle's second file here.
    const std::string out = dir.file("out");
    const auto result = RunKestrune({"--tree", "--export", package, out});
    EXPECT_EQ(result.exitCode, 1);
    std::uint32_t w = 0, h = 0;
    EXPECT_EQ(PngPixels(ReadFile(out + "/assets/ui/banner_1.png"), w, h), a + b + c + d);
    EXPECT_EQ(w * 10 + h, 22u);
    EXPECT_EQ(PngPixels(ReadFile(out + "/assets/ui/banner_1_0.png"), w, h), b + d);
    EXPECT_EQ(w * 10 + h, 12u);
    EXPECT_EQ(PngPixels(ReadFile(out + "/strip #9.png"), w, h), "\x40\x50\x60\xff\x10\x20\x30\xff");
    EXPECT_EQ(ReadFile(out + "/phone #10.ETC2_RGBA8.bin"), std::string(16, 'e'));
    EXPECT_EQ(ReadFile(out + "/assets/props/crate.obj"),
              "# Kestrune Ripper - 3D Mesh Exporter\no Box\nv -1 2 3\nv -4 5 6\nv 1 0 0\n"
              "g Box_0\nf 1 3 2\n");
    EXPECT_FALSE(std::filesystem::exists(out + "/huge #11.png"));
    EXPECT_NE(result.err.find("Failed to export phone #10.ETC2_RGBA8.bin: no converter for "
                              "ETC2_RGBA8 here: written as its stored data"),
              std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("Failed to export huge #11.png: "), std::string::npos);
    EXPECT_NE(
        result.err.find("assets/ui/banner_1_0.png: rotated in its atlas: written as it lies there"),
        std::string::npos);
    EXPECT_NE(result.err.find("Export failed."), std::string::npos);
}

TEST(UnityExport, AudioClipsAsWaveOrTheirBank) {
    const TempDir dir;
    const std::string pcm = Fsb5(2, std::string("\x01\x00\xff\x7f", 4));
    const std::string vorbis = Fsb5(15, "OggSvorbis");
    const std::string resource = std::string(5, 'x') + pcm + vorbis;
    const std::string package = dir.file("a.bundle");
    WriteFile(package, Bundle({Audio(7, "beep", 5, pcm.size()),
                               Audio(8, "music", 5 + pcm.size(), vorbis.size()),
                               Audio(9, "lost", resource.size() - 4, 8), Audio(10, "junk", 0, 5)},
                              {}, true, resource));
    const std::string out = dir.file("out");
    const auto result = RunKestrune({"-v", "--export", package, out});
    // Audio whose data cannot be read fails; data that is no bank is skipped.
    EXPECT_EQ(result.exitCode, 1) << result.err;
    const std::string wave = std::string("RIFF\x28\0\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0"
                                         "\x44\xac\0\0\x88\x58\x01\0\x02\0\x10\0data"
                                         "\x04\0\0\0\x01\0\xff\x7f",
                                         48);
    EXPECT_EQ(ReadFile(out + "/beep #7.wav"), wave);
    EXPECT_EQ(ReadFile(out + "/music #8.fsb"), vorbis);
    EXPECT_EQ(result.err, ConsoleText("music #8.fsb: Vorbis audio: written as its FSB5 bank, which "
                                      "this tool does not decode\n"
                                      "Failed to export lost #9: streamed data lies outside "
                                      "CAB-0123.resource\nExport failed.\n"));
    EXPECT_NE(result.out.find(
                  ConsoleText("Skipped junk #10 (AudioClip): the audio is not an FSB5 bank\n")),
              std::string::npos);
}

// Every prefix of every exported class's bytes: the object is skipped or
// fails with its reason; nothing is written.
TEST(UnityExport, EveryPrefixOfEachObject) {
    const TempDir dir;
    const std::string pcm = Fsb5(2, std::string(64, 'p'));
    const std::vector<UnityTestObject> objects{Text(7, "t", "some text"), Font(8, "f", kTtf),
                                               Behaviour(9), Audio(10, "a", 0, pcm.size())};
    for (const UnityTestObject& whole : objects) {
        for (std::size_t cut = 0; cut < whole.object.Bytes().size(); ++cut) {
            SCOPED_TRACE(std::to_string(whole.classId) + " cut to " + std::to_string(cut));
            UnityTestObject object = whole;
            object.object.Cut(cut);
            const std::string package = dir.file("p.bundle");
            WriteFile(package, Bundle({object}, {}, true, pcm));
            const std::string out =
                dir.file("out" + std::to_string(whole.classId) + "_" + std::to_string(cut));
            ExportReport report;
            const bool ok = KestruneEngine::ExportAll(package, out, &report);
            // The AssetBundle object is skipped; the object cut short fails
            // when its data cannot be read, else is skipped for what it is.
            ASSERT_EQ(report.skipped.size() + report.failedBeforeWriting, 2u);
            EXPECT_EQ(ok, report.failedBeforeWriting == 0);
            EXPECT_EQ(report.files.failures.size(), report.failedBeforeWriting);
            EXPECT_NE(report.skipped[0].skipped, "");
            EXPECT_EQ(report.files.entriesWritten, 0u);
            EXPECT_TRUE(std::filesystem::is_empty(out));
        }
    }
}

TEST(UnityExport, FieldsNestedTooDeepAreNamed) {
    UnityObjectWriter w("MonoBehaviour");
    w.String("m_Name", "deep");
    for (int level = 0; level < 70; ++level) {
        w.Begin("Level", "inner");
    }
    w.I32("value", 1);
    for (int level = 0; level < 70; ++level) {
        w.End();
    }
    const TempDir dir;
    const std::string package = dir.file("d.bundle");
    WriteFile(package, Bundle({{114, 7, std::move(w)}}, {}));
    ExportReport report;
    EXPECT_FALSE(KestruneEngine::ExportAll(package, dir.file("out"), &report));
    ASSERT_EQ(report.files.failures.size(), 1u);
    EXPECT_EQ(report.files.failures[0].reason, "its fields nest deeper than 64 levels");
}

TEST(UnityExport, NamesSelectionAndRefusals) {
    const TempDir dir;
    const std::string package = dir.file("b.bundle");
    // Two objects under one container path and two of one name: none is lost.
    WriteFile(package, Bundle({Text(7, "a", "one"), Text(8, "b", "two"), Text(9, "same", "x"),
                               Text(10, "same", "y")},
                              {{"assets/t.txt", 7}, {"assets/t.txt", 8}}));
    const std::string flat = dir.file("flat");
    auto result = RunKestrune({"--export", package, flat});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(ReadFile(flat + "/assets_t.txt"), "one");
    EXPECT_EQ(ReadFile(flat + "/assets_b.txt"), "two");
    EXPECT_EQ(ReadFile(flat + "/same #9.txt"), "x");
    EXPECT_EQ(ReadFile(flat + "/same #10.txt"), "y");

    // The selection matches the file an object becomes.
    const std::string some = dir.file("some");
    result = RunKestrune({"--include", "same*", "--export", package, some});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(some),
                            std::filesystem::directory_iterator()),
              2);

    // No type trees: the class layouts of the file's version stand in.
    const std::string bare = dir.file("bare.bundle");
    WriteFile(bare, Bundle({Text(7, "a", "one")}, {}, false));
    result = RunKestrune({"-v", "--export", bare, dir.file("bare")});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(ReadFile(dir.file("bare") + "/a #7.txt"), "one");

    // Other kinds have no converters: said, and DIR is not made.
    const std::string pak = dir.file("s.pak");
    ASSERT_TRUE(KestruneEngine::CreateSamplePackage(pak));
    result = RunKestrune({"--export", pak, dir.file("none")});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, ConsoleText("Cannot export " + pak +
                                      ": --export has no converters for this kind of package\n"
                                      "Export failed.\n"));
    EXPECT_FALSE(std::filesystem::exists(dir.file("none")));
}

// On a volume that folds letter case, objects whose names differ only in
// case each keep a file, in a tree whose directories fold together too.
TEST(UnityExport, NoObjectLostWhereLetterCaseFolds) {
    const std::optional<std::filesystem::path> folding = CaseFoldingDirectory();
    if (!folding) {
        GTEST_SKIP() << "KESTRUNE_CASE_FOLDING_DIR names no directory on a case-folding volume "
                        "(scripts/test-exfat.sh sets it up)";
    }
    const TempDir scratch;
    const std::string package = scratch.file("f.bundle");
    WriteFile(
        package,
        Bundle({Text(7, "a", "1"), Text(8, "b", "2"), Text(9, "c", "3")},
               {{"Assets/Readme.txt", 7}, {"assets/readme.txt", 8}, {"assets/README.TXT", 9}}));
    const std::filesystem::path out =
        *folding / ("kestrune-export-" + std::to_string(std::filesystem::file_size(package)));
    std::filesystem::remove_all(out);
    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        const auto result = RunKestrune({"--tree", "--export", package, out.string()});
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(ReadFile((out / "Assets/Readme.txt").string()), "1");
        EXPECT_EQ(ReadFile((out / "Assets/readme~2.txt").string()), "2");
        EXPECT_EQ(ReadFile((out / "Assets/README~3.TXT").string()), "3");
    }
    std::filesystem::remove_all(out);
}

TEST(UnityExport, ListJsonSaysWhatEachObjectBecomes) {
    const TempDir dir;
    const std::string package = dir.file("c.bundle");
    WriteFile(package, Bundle({Text(7, "a", "one"), Other(8)}, {{"assets/a.txt", 7}}));
    const auto result = RunKestrune({"--list-json", package});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const auto objects = nlohmann::json::parse(result.out)["entries"][0]["objects"];
    ASSERT_EQ(objects.size(), 3u);
    EXPECT_EQ(objects[0]["export"],
              nlohmann::json::parse(R"({"name":"assets/a.txt","output":"assets_a.txt",)"
                                    R"("form":"text"})"));
    EXPECT_TRUE(objects[1]["export"].is_null());
    EXPECT_EQ(objects[1]["export_skipped"], "Shader objects are not exported");
    EXPECT_EQ(objects[2]["export_skipped"], "AssetBundle objects are not exported");

    // A texture streamed from the .resS node names its range; with a
    // selection, objects stay with their own entry.
    const std::string streamed = dir.file("s.bundle");
    WriteFile(streamed, Bundle({Texture(7, "t", 1, 1, 3, "", 2, 3)}, {}, true, "xxRGB"));
    auto listed = nlohmann::json::parse(RunKestrune({"--list-json", streamed}).out)["entries"];
    EXPECT_EQ(listed[0]["objects"][0]["stream"],
              nlohmann::json::parse(R"({"node":"CAB-0123.resS","offset":2,"size":3})"));
    EXPECT_EQ(listed[0]["objects"][0]["export"]["name"], "t #7.png");
    // Each output is the file --export writes, repeats numbered as it
    // numbers them.
    const std::string twice = dir.file("twice.bundle");
    WriteFile(twice, Bundle({Text(7, "a", "one"), Text(8, "b", "two"), Text(9, "c", "three")},
                            {{"assets/a.txt", 7}, {"assets_a.txt", 8}, {"Assets/A.txt", 9}}));
    const auto all = nlohmann::json::parse(RunKestrune({"--list-json", twice}).out);
    ASSERT_EQ(RunKestrune({"--export", twice, dir.file("twice")}).exitCode, 0);
    std::set<std::string> outputs;
    for (const auto& object : all["entries"][0]["objects"]) {
        if (!object["export"].is_null()) {
            const std::string output = object["export"]["output"];
            outputs.insert(output);
            EXPECT_TRUE(std::filesystem::is_regular_file(dir.file("twice") + "/" + output))
                << output;
        }
    }
    EXPECT_EQ(outputs.size(), 3u);
    listed = nlohmann::json::parse(
        RunKestrune({"--include", "*.resS", "--list-json", streamed}).out)["entries"];
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_FALSE(listed[0].contains("objects"));
}

// Player builds keep no type trees: each object is read by its class's
// layout in the engine's table for the file's Unity version. A file without
// trees exports exactly as its twin that carries the same layouts as trees.
TEST(UnityExport, FilesWithoutTypeTreesExportAsTheirTwins) {
    MeshLayout mesh;
    mesh.channels = Channels({0, 0, 0, 3}, {0, 0, 0, 0}, {0, 0, 0, 0});
    mesh.vertices = MeshBytes{}.f({1, 2, 3, 4, 5, 6, -1, 0, 0}).out;
    mesh.indices = MeshBytes{}.put(0, 2).put(1, 2).put(2, 2).out;
    const std::string pixels = "\x01\x02\x03\xff\x04\x05\x06\x80";
    const std::string pcm = Fsb5(2, std::string("\x01\x00\xff\x7f", 4));
    const std::string resource = "pad\x10\x20\x30\x40\x50\x60" + pcm;
    const std::vector<UnityTestObject> objects = {
        Text(7, "readme", "hello"),
        Font(8, "Sans", kTtf),
        Texture(9, "banner", 2, 1, 4, pixels),
        Texture(10, "strip", 1, 2, 3, "", 3, 6),
        Sprite(11, "banner_0", 9, {1, 0, 1, 1}),
        {43, 12, MeshObject(mesh)},
        Audio(13, "beep", 9, pcm.size()),
        Behaviour(14),
        AssetBundleObject({{"assets/docs/readme.txt", 7}, {"assets/props/crate.asset", 12}}),
    };
    const struct {
        std::uint32_t format;
        const char* stated;  // in the serialized file
        const char* engine;  // in the bundle's header
        const char* option;  // --unity-version, or null
        const char* layouts; // the table's version chosen
    } rows[] = {
        {9, "4.3.4f1", "4.3.4f1", nullptr, "4.3.4"},
        {15, "5.4.6f3", "5.4.6f3", nullptr, "5.4.6f3"},
        {17, "5.6.7f1", "5.6.7f1", nullptr, "5.6.7f1"},
        {17, "2018.4.36f1", "2018.4.36f1", nullptr, "2018.4.36f1"},
        {21, "2019.4.40f1", "2019.4.40f1", nullptr, "2019.4.40f1"},
        {22, "2020.3.48f1", "2020.3.48f1", nullptr, "2020.3.48f1"},
        {22, "2022.3.62f1", "2022.3.62f1", nullptr, "2022.3.62f1"},
        {22, "6000.0.23f1", "6000.0.23f1", nullptr, "6000.0.23f1"},
        // No entry of its own: the nearest earlier of its release line.
        {21, "2019.4.31f2", "2019.4.31f2", nullptr, "2019.4.31f1"},
        // Stripped: the bundle's version, else the user's.
        {22, "0.0.0", "2021.3.15f1", nullptr, "2021.3.15f1"},
        {22, "0.0.0", "0.0.0", "2022.3.10f1", "2022.3.10f1"},
    };
    const TempDir dir;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.stated + std::string(" as ") + row.layouts);
        const auto version = Unity::LayoutVersion(row.layouts);
        ASSERT_TRUE(version);
        EXPECT_EQ(*version, row.layouts);
        std::vector<UnityTestObject> laid;
        for (const UnityTestObject& object : objects) {
            const auto layout = Unity::LayoutTree(*version, object.classId);
            ASSERT_TRUE(layout) << object.classId;
            laid.push_back({object.classId, object.pathId, object.object.InLayout(*layout)});
        }
        std::map<std::string, std::string> exports[2];
        int codes[2] = {};
        for (const bool trees : {true, false}) {
            UnityFsOptions options;
            options.engine = row.engine;
            options.format = 7;
            const std::string package = dir.file(trees ? "twin.bundle" : "bare.bundle");
            WriteFile(package,
                      BuildUnityFs({{"CAB-0123",
                                     BuildSerializedFileOf(row.format, laid, trees, row.stated), 4},
                                    {"CAB-0123.resource", resource, 0},
                                    {"CAB-0123.resS", resource, 0}},
                                   options));
            const std::string out = dir.file(trees ? "twin" : "bare");
            std::vector<std::string> args = {"--tree", "-v", "--export", package, out};
            if (row.option != nullptr) {
                args.insert(args.begin(), {"--unity-version", row.option});
            }
            const auto result = RunKestrune(args);
            codes[trees ? 0 : 1] = result.exitCode;
            // Unity 4 kept no streams and laid out vertices its own way.
            EXPECT_TRUE(result.exitCode == 0 || row.format < 15) << result.out << result.err;
            for (const auto& file : std::filesystem::recursive_directory_iterator(out)) {
                if (file.is_regular_file()) {
                    exports[trees ? 0 : 1]
                           [std::filesystem::relative(file.path(), out).generic_string()] =
                               ReadFile(file.path().string());
                }
            }
            if (!trees) {
                args[args.size() - 3] = "--list-json";
                args.pop_back();
                const auto json = nlohmann::json::parse(RunKestrune(args).out);
                EXPECT_EQ(json.at("entries")[0].value("layout_version", ""), row.layouts);
            }
        }
        // Every converter wrote; the MonoBehaviour's own fields need the
        // game's scripts, so only the twin with its (header) tree writes it.
        EXPECT_EQ(exports[0].erase("Settings #14.json"), 1u);
        EXPECT_EQ(exports[0], exports[1]);
        EXPECT_EQ(codes[0], codes[1]);
        EXPECT_EQ(exports[1].size(), row.format < 15 ? 4u : 7u);
        for (const char* written :
             {"assets/docs/readme.txt", "Sans #8.ttf", "banner #9.png", "banner_0 #11.png"}) {
            EXPECT_EQ(exports[1].count(written), 1u) << written;
        }
        EXPECT_EQ(exports[1]["assets/docs/readme.txt"], "hello");
        std::filesystem::remove_all(dir.file("twin"));
        std::filesystem::remove_all(dir.file("bare"));
    }

    // Stripped with no version anywhere: the objects say what is needed.
    UnityFsOptions stripped;
    stripped.engine = "0.0.0";
    const std::string package = dir.file("stripped.bundle");
    WriteFile(package,
              BuildUnityFs(
                  {{"CAB-0123", BuildSerializedFileOf(22, {Text(7, "a", "b")}, false, "0.0.0"), 4}},
                  stripped));
    const auto json = nlohmann::json::parse(RunKestrune({"--list-json", package}).out);
    EXPECT_EQ(json.at("entries")[0].value("objects_note", ""),
              "the file's Unity version is stripped (\"0.0.0\"): its objects need "
              "--unity-version to be read");
    // Nothing written is said so: a failure when an object with a converter
    // could not be read, not "Exported all assets".
    auto result = RunKestrune({"--export", package, dir.file("none")});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, ConsoleText("Failed to export a #7: the file holds no type tree for it\n"
                                      "Export failed.\nNothing exported from " +
                                      package + ": 0 objects skipped, 1 failed\n"));
    WriteFile(package, Bundle({Other(14)}, {}));
    result = RunKestrune({"--export", package, dir.file("none")});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out,
              ConsoleText("Nothing exported from " + package + ": 2 objects skipped, 0 failed\n"));
}

// A player's standalone serialized file, without type trees, its objects in
// the layouts of 2019.4.31f1; the stream files beside it when `streams`.
std::string WriteStandalone(const TempDir& dir, const std::string& pcm, bool streams,
                            std::vector<std::string>* stored = nullptr) {
    const auto version = Unity::LayoutVersion("2019.4.31f1");
    std::vector<UnityTestObject> laid;
    for (UnityTestObject& object : std::vector<UnityTestObject>{
             Text(7, "readme", "hello"),
             Texture(9, "strip", 1, 2, 3, "", 3, 6, "sharedassets0.assets.resS"),
             Audio(13, "beep", 0, pcm.size(), "sharedassets0.resource"), Text(15, "", "x")}) {
        laid.push_back({object.classId, object.pathId,
                        object.object.InLayout(*Unity::LayoutTree(*version, object.classId))});
        if (stored != nullptr) {
            stored->push_back(laid.back().object.Bytes());
        }
    }
    const std::string path = dir.file("sharedassets0.assets");
    WriteFile(path, BuildSerializedFileOf(21, laid, false, "2019.4.31f1"));
    std::filesystem::remove(dir.file("sharedassets0.assets.resS"));
    std::filesystem::remove(dir.file("sharedassets0.resource"));
    if (streams) {
        WriteFile(dir.file("sharedassets0.assets.resS"), "pad\x10\x20\x30\x40\x50\x60");
        WriteFile(dir.file("sharedassets0.resource"), pcm);
    }
    return path;
}

TEST(UnitySerialized, ObjectsAreEntriesAndExport) {
    const TempDir dir;
    const std::string pcm = Fsb5(2, std::string("\x01\x00\xff\x7f", 4));
    std::vector<std::string> stored;
    const std::string path = WriteStandalone(dir, pcm, true, &stored);

    auto result = RunKestrune({"--list", path});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    for (const char* name :
         {"TextAsset/readme", "Texture2D/strip", "AudioClip/beep", "TextAsset/#15"}) {
        EXPECT_NE(result.out.find(name), std::string::npos) << name << result.out;
    }
    // --extract writes each object's stored bytes.
    const std::string raw = dir.file("raw");
    result = RunKestrune({"--tree", "--extract", path, raw});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(ReadFile(raw + "/TextAsset/readme"), stored[0]);
    EXPECT_EQ(ReadFile(raw + "/AudioClip/beep"), stored[2]);
    EXPECT_EQ(RunKestrune({"--cat", path, "Texture2D/strip"}).out, stored[1]);

    const std::string out = dir.file("out");
    result = RunKestrune({"--export", path, out});
    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_EQ(ReadFile(out + "/readme #7.txt"), "hello");
    EXPECT_EQ(ReadFile(out + "/TextAsset #15.txt"), "x");
    std::uint32_t w = 0, h = 0;
    EXPECT_EQ(PngPixels(ReadFile(out + "/strip #9.png"), w, h), "\x40\x50\x60\xff\x10\x20\x30\xff");
    EXPECT_EQ(ReadFile(out + "/beep #13.wav").substr(0, 4), "RIFF");

    const auto json = nlohmann::json::parse(RunKestrune({"--list-json", path}).out);
    EXPECT_EQ(json.at("kind"), "unity-serialized");
    EXPECT_EQ(json.value("unity_version", ""), "2019.4.31f1");
    const auto& first = json.at("entries")[0];
    EXPECT_EQ(first.at("name"), "TextAsset/readme");
    EXPECT_EQ(first.at("objects")[0].at("path_id"), 7);
    EXPECT_EQ(first.at("objects")[0].at("export").at("name"), "readme #7.txt");
    EXPECT_EQ(first.value("layout_version", ""), "2019.4.31f1");
    const auto& texture = json.at("entries")[1].at("objects")[0];
    EXPECT_EQ(texture.at("stream").at("node"), "sharedassets0.assets.resS");
    EXPECT_EQ(texture.at("stream").at("offset"), 3);

    // Without the stream files, the objects that need them fail by name.
    WriteStandalone(dir, pcm, false);
    result = RunKestrune({"-v", "--export", path, dir.file("lost")});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(ReadFile(dir.file("lost") + "/readme #7.txt"), "hello");
    EXPECT_NE(result.err.find("strip #9.png: needs sharedassets0.assets.resS, which is not "
                              "beside it"),
              std::string::npos)
        << result.out << result.err;
    EXPECT_NE(
        result.err.find(
            "Failed to export beep #13: needs sharedassets0.resource, which is not beside it"),
        std::string::npos)
        << result.out << result.err;
}

// A standalone file and its streams cut into parts, as Android builds
// write them, export as the whole files do: the streams are found by the
// joined name, split as well.
TEST(UnitySerialized, SplitFilesExportAsTheirWholes) {
    const TempDir dir;
    const std::string pcm = Fsb5(2, std::string("\x01\x00\xff\x7f", 4));
    const std::string path = WriteStandalone(dir, pcm, true);
    const std::string whole = dir.file("whole");
    ASSERT_EQ(RunKestrune({"--export", path, whole}).exitCode, 0);
    for (const char* name : {"sharedassets0.assets", "sharedassets0.assets.resS"}) {
        const std::string bytes = ReadFile(dir.file(name));
        const std::size_t half = bytes.size() / 2;
        WriteFile(dir.file(std::string(name) + ".split0"), bytes.substr(0, half));
        WriteFile(dir.file(std::string(name) + ".split1"), bytes.substr(half));
        std::filesystem::remove(dir.file(name));
    }
    const std::string split = dir.file("split");
    const auto result = RunKestrune({"--export", dir.file("sharedassets0.assets.split0"), split});
    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    for (const char* file : {"readme #7.txt", "strip #9.png", "beep #13.wav"}) {
        EXPECT_EQ(ReadFile(split + "/" + file), ReadFile(whole + "/" + file)) << file;
    }
}

// A WebGL build's data file, plain or compressed whole: the bundle inside
// (its data.unity3d) and a loose serialized file export as they do alone.
TEST(UnityWebData, ExportsTheSerializedFilesInside) {
    const TempDir dir;
    const std::string bundle = BuildUnityFs(
        {{"CAB-4b1e", BuildSerializedFile(17, true, "banner", "hello", "a/b.txt"), 4}});
    const std::string loose = BuildSerializedFile(22, false, "notes", "plain text", "c/d.txt");
    WriteFile(dir.file("data.unity3d"), bundle);
    WriteFile(dir.file("globalgamemanagers"), loose);
    const std::string alone = dir.file("alone");
    ASSERT_EQ(RunKestrune({"--export", dir.file("data.unity3d"), alone}).exitCode, 0);
    ASSERT_EQ(RunKestrune({"--export", dir.file("globalgamemanagers"), alone}).exitCode, 0);
    const std::string web = BuildWebData(
        {{"data.unity3d", bundle}, {"globalgamemanagers", loose}, {"boot.config", "x"}});
    std::vector<std::string> expected;
    for (const auto& file : std::filesystem::directory_iterator(alone)) {
        expected.push_back(file.path().filename().string());
    }
    ASSERT_EQ(expected.size(), 2u);
    for (const auto& [name, bytes] : {std::pair<std::string, std::string>{"w.data", web},
                                      {"w.data.gz", GzipWhole(web)},
                                      {"w.data.br", BrotliWhole(web)}}) {
        SCOPED_TRACE(name);
        WriteFile(dir.file(name), bytes);
        const std::string out = dir.file("out-" + name);
        const auto result = RunKestrune({"--export", dir.file(name), out});
        EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
        for (const std::string& file : expected) {
            EXPECT_EQ(ReadFile(out + "/" + file), ReadFile(alone + "/" + file)) << file;
        }
        const auto json = nlohmann::json::parse(RunKestrune({"--list-json", dir.file(name)}).out);
        EXPECT_EQ(json.at("entries")[0].at("objects").size(), 2u);
        EXPECT_EQ(json.at("entries")[1].at("objects")[0].at("export").at("name"), "c/d.txt");
    }
}

// No magic number: the header must agree with itself and the file, each
// check alone enough to keep other files what they are.
// A player's data folder: globalgamemanagers, read by the class layouts of
// its version, names what lies beside it. The ResourceManager's keys become
// the container paths and export names of the objects they name (in the
// file its externals name), and BuildSettings' scene N the scene of levelN.
// A sprite whose texture lies in another file of the data folder takes it
// from that file, streams included; a file that is not there fails it by name.
TEST(UnitySerialized, SpritesFindTheirTextureInAnotherFileOfTheFolder) {
    const TempDir dir;
    WriteStandalone(dir, Fsb5(2, std::string("\x01\x00", 2)), true);
    struct Case {
        const char* external;
        std::string failure;
    };
    for (const Case& row :
         {Case{"sharedassets0.assets", ""}, Case{"Library/../sharedassets0.assets", ""},
          Case{"sharedassets9.assets",
               "its texture lies in sharedassets9.assets, which is not a serialized file beside "
               "it"}}) {
        SCOPED_TRACE(row.external);
        const std::string level = dir.file("level0");
        WriteFile(level, BuildSerializedFileOf(21, {Sprite(8, "icon", 9, {0, 0, 1, 2}, 0, 1)}, true,
                                               "2019.4.31f1", {row.external}));
        const std::string out = dir.file("sprites");
        std::filesystem::remove_all(out);
        const auto result = RunKestrune({"--export", level, out});
        if (row.failure.empty()) {
            EXPECT_EQ(result.exitCode, 0) << result.err;
            std::uint32_t w = 0, h = 0;
            EXPECT_EQ(PngPixels(ReadFile(out + "/icon #8.png"), w, h),
                      "\x40\x50\x60\xff\x10\x20\x30\xff");
        } else {
            EXPECT_EQ(result.exitCode, 1);
            EXPECT_NE(result.err.find(row.failure), std::string::npos) << result.err;
        }
    }
}

TEST(UnitySerialized, GlobalGameManagersNameTheFolder) {
    const TempDir dir;
    const std::string data = dir.file("Game_Data");
    std::filesystem::create_directory(data);
    const auto version = Unity::LayoutVersion("2019.4.31f1");
    UnityObjectWriter settings("BuildSettings");
    settings.Array("scenes", 2, [](UnityObjectWriter& w, std::size_t i) {
        w.String("data", i == 0 ? "Assets/Scenes/Menu.unity" : "Assets/Scenes/Game.unity");
    });
    // Keys into resources.assets (file 1), sharedassets0.assets (file 2),
    // the file itself (0) and a file ID beyond the externals.
    const std::vector<std::tuple<std::string, std::int32_t, std::int64_t>> keys{
        {"readme", 1, 7},
        {"ui/inner/readme", 1, 7},
        {"shared", 2, 15},
        {"self", 0, 15},
        {"beyond", 3, 15}};
    UnityObjectWriter resources("ResourceManager");
    resources.Array(
        "m_Container", keys.size(),
        [&](UnityObjectWriter& w, std::size_t i) {
            const auto& [key, file, id] = keys[i];
            w.Begin("pair", "data").String("first", key).PPtr("second", file, id).End();
        },
        "map");
    WriteFile(
        data + "/globalgamemanagers",
        BuildSerializedFileOf(21,
                              {{141, 1, settings.InLayout(*Unity::LayoutTree(*version, 141))},
                               {147, 2, resources.InLayout(*Unity::LayoutTree(*version, 147))}},
                              false, "2019.4.31f1", {"resources.assets", "sharedassets0.assets"}));
    WriteFile(data + "/resources.assets",
              BuildSerializedFileOf(21, {Text(7, "readme", "hello"), Text(15, "", "x")}));
    WriteFile(data + "/level1", BuildSerializedFileOf(21, {Text(3, "t", "x")}));

    const auto json = nlohmann::json::parse(RunKestrune({"--list-json", data}).out);
    const auto& packages = json.at("packages");
    ASSERT_EQ(packages.size(), 3u) << json;
    EXPECT_FALSE(packages[0].contains("scene_path"));
    EXPECT_EQ(packages[1].value("scene_path", ""), "Assets/Scenes/Game.unity");
    const auto& objects = packages[2].at("entries")[0].at("objects");
    EXPECT_EQ(objects[0].at("container_path"), "ui/inner/readme"); // the longer key
    EXPECT_EQ(objects[0].at("export").at("name"), "ui/inner/readme.txt");
    const auto& unnamed = packages[2].at("entries")[1].at("objects")[0];
    EXPECT_TRUE(unnamed.at("container_path").is_null()) << unnamed;
    const auto result = RunKestrune({"--tree", "--export", data, dir.file("out")});
    EXPECT_EQ(ReadFile(dir.file("out/resources.assets/ui/inner/readme.txt")), "hello")
        << result.err;
}

// A player build states its version in globalgamemanagers alone: a file
// beside it that states a stripped one is read by that version's layouts,
// unless the user names another.
TEST(UnitySerialized, StrippedFilesTakeTheManagersVersion) {
    const TempDir dir;
    const auto laidOut = [](const char* layouts) {
        const auto version = Unity::LayoutVersion(layouts);
        std::vector<UnityTestObject> laid;
        for (UnityTestObject& object :
             std::vector<UnityTestObject>{Text(7, "readme", "hello"), Text(15, "", "x")}) {
            laid.push_back({object.classId, object.pathId,
                            object.object.InLayout(*Unity::LayoutTree(*version, object.classId))});
        }
        return laid;
    };
    const auto exported = [&](const std::vector<std::string>& args) {
        std::map<std::string, std::string> files;
        const std::string out = dir.file("out");
        std::filesystem::remove_all(out);
        const auto result = RunKestrune(args);
        if (std::filesystem::exists(out)) {
            for (const auto& file : std::filesystem::recursive_directory_iterator(out)) {
                if (file.is_regular_file()) {
                    files[std::filesystem::relative(file.path(), out).generic_string()] =
                        ReadFile(file.path().string());
                }
            }
        }
        return std::make_pair(result.exitCode, files);
    };
    std::filesystem::create_directory(dir.file("twin"));
    WriteFile(dir.file("twin/level0"),
              BuildSerializedFileOf(21, laidOut("2019.4.40f1"), false, "2019.4.40f1"));
    const auto twin = exported({"--export", dir.file("twin/level0"), dir.file("out")});
    ASSERT_EQ(twin.first, 0);
    ASSERT_EQ(twin.second.at("readme #7.txt"), "hello");

    const struct {
        const char* managers; // its stated version; null: none beside
        const char* option;   // --unity-version, or null
        const char* layouts;  // the table's version chosen; null: none
    } rows[] = {
        {"2019.4.40f1", nullptr, "2019.4.40f1"},
        {"2019.4.40f1", "2019.4.31f1", "2019.4.31f1"},
        {"2020.3.48f1", "2019.4.40f1", "2019.4.40f1"},
        {nullptr, nullptr, nullptr},
        {"0.0.0", nullptr, nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.managers ? row.managers : "no managers") + " / " +
                     (row.option ? row.option : "no option"));
        const std::string data = dir.file("Game_Data");
        std::filesystem::remove_all(data);
        std::filesystem::create_directory(data);
        WriteFile(data + "/level0",
                  BuildSerializedFileOf(21, laidOut(row.layouts ? row.layouts : "2019.4.40f1"),
                                        false, "0.0.0"));
        if (row.managers != nullptr) {
            WriteFile(data + "/globalgamemanagers",
                      BuildSerializedFileOf(21, {Text(3, "t", "x")}, false, row.managers));
        }
        std::vector<std::string> args = {"--list-json", data + "/level0"};
        if (row.option != nullptr) {
            args.insert(args.begin(), {"--unity-version", row.option});
        }
        const auto json = nlohmann::json::parse(RunKestrune(args).out);
        const auto& entry = json.at("entries")[0];
        EXPECT_EQ(entry.value("layout_version", ""), row.layouts ? row.layouts : "") << json;
        const auto& object = entry.at("objects")[0];
        if (row.layouts != nullptr) {
            EXPECT_EQ(object.at("export").at("name"), "readme #7.txt") << json;
        } else {
            EXPECT_EQ(object.value("export_skipped", ""), "the file holds no type tree for it")
                << json;
        }
        // --list says the version is missing only when it is.
        args[args.size() - 2] = "--list";
        EXPECT_EQ(RunKestrune(args).err.find("stripped") != std::string::npos,
                  row.layouts == nullptr);
        args[args.size() - 2] = "--export";
        args.push_back(dir.file("out"));
        const auto files = exported(args);
        if (row.layouts != nullptr) {
            EXPECT_EQ(files, twin);
        } else {
            EXPECT_EQ(files.first, 1);
            EXPECT_TRUE(files.second.empty());
        }
    }
}

TEST(UnitySerialized, DetectionAgainstNearMisses) {
    const TempDir dir;
    const std::string v17 = BuildSerializedFile(17, false, "a", "b", "c");
    const std::string v22 = BuildSerializedFile(22, false, "a", "b", "c");
    const auto with = [](std::string bytes, std::size_t at, char value) {
        bytes[at] = value;
        return bytes;
    };
    std::string png = "\x89PNG\r\n\x1a\n" + std::string("\0\0\0\x0dIHDR", 8);
    png.resize(256, '\0');
    std::string shortMetadata = v17;
    shortMetadata[15] = 4; // data offset 4: inside the header
    shortMetadata[14] = 0;
    const struct {
        const char* what;
        std::string bytes;
        bool taken;
        const char* refusal;
    } rows[] = {
        {"format 17", v17, true, ""},
        {"format 22", v22, true, ""},
        {"a PNG", png, false, ""},
        {"a .resS of zeros", std::string(4096, '\0'), false, ""},
        {"a truncated header", v17.substr(0, 19), false, ""},
        {"cut by one byte", v17.substr(0, v17.size() - 1), false, ""},
        {"one byte more", v17 + '\0', false, ""},
        {"data offset before the metadata's end", shortMetadata, false, ""},
        {"endianness 2", with(v17, 16, 2), false, ""},
        {"reserved byte set", with(v17, 18, 1), false, ""},
        {"format 22, unused byte set", with(v22, 3, 1), false, ""},
        {"format 22, reserved byte set", with(v22, 44, 1), false, ""},
        {"format 0", with(v17, 11, 0), false, ""},
        {"format 51", with(v17, 11, 51), false, ""},
        {"no engine version", with(v17, 20, 'x'), false, ""},
        {"format 23", with(v22, 11, 23), true,
         "Unity serialized file of format 23, which kestrune does not read"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const std::string path = dir.file("level0");
        WriteFile(path, row.bytes);
        const PackageSummary summary = KestruneEngine::Examine(path);
        EXPECT_EQ(summary.walk.kind == PackageKind::UnitySerialized, row.taken);
        if (!row.taken) {
            EXPECT_EQ(summary.walk.kind, PackageKind::None);
        }
        EXPECT_EQ(summary.walk.refusal, row.refusal);
    }
    // Every format read is taken and listed by its objects, without trees.
    for (std::uint32_t format = 9; format <= 22; ++format) {
        SCOPED_TRACE(format);
        WriteFile(dir.file("level0"), BuildSerializedFile(format, false, "a", "b", "c"));
        EXPECT_EQ(KestruneEngine::Examine(dir.file("level0")).walk.kind,
                  PackageKind::UnitySerialized);
        const auto listed = RunKestrune({"--list", dir.file("level0")});
        EXPECT_EQ(listed.exitCode, 0) << listed.err;
        EXPECT_NE(listed.out.find("TextAsset/a"), std::string::npos) << listed.out;
    }
    WriteFile(dir.file("level0"), with(v22, 11, 23));
    const auto result = RunKestrune({"--list", dir.file("level0")});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("Unity serialized file of format 23, which kestrune does not read"),
              std::string::npos)
        << result.err;
}

// A file that passes detection is still untrusted: layouts that run past an
// object's bytes, stream ranges outside their file and damage anywhere in
// the header or metadata fail by name, never beyond the bytes.
TEST(UnitySerialized, HostileFilesFailByName) {
    const TempDir dir;
    const auto version = Unity::LayoutVersion("2019.4.31f1");
    const auto laid = [&](UnityTestObject object) {
        return UnityTestObject{
            object.classId, object.pathId,
            object.object.InLayout(*Unity::LayoutTree(*version, object.classId))};
    };
    UnityTestObject cut = laid(Text(7, "readme", "hello there"));
    cut.object.Cut(cut.object.Bytes().size() - 4);
    const std::string path = dir.file("sharedassets0.assets");
    WriteFile(path,
              BuildSerializedFileOf(
                  21,
                  {cut, laid(Texture(9, "far", 1, 2, 3, "", 100, 6, "sharedassets0.assets.resS")),
                   laid(Text(10, "fine", "ok"))},
                  false, "2019.4.31f1"));
    WriteFile(dir.file("sharedassets0.assets.resS"), "0123456789");
    const auto result = RunKestrune({"--export", path, dir.file("out")});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(ReadFile(dir.file("out") + "/fine #10.txt"), "ok");
    EXPECT_NE(result.err.find("Failed to export readme #7: field m_Script runs past the "
                              "object's end"),
              std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("Failed to export far #9.png: streamed data lies outside "
                              "sharedassets0.assets.resS"),
              std::string::npos)
        << result.err;

    // Each byte of the header and metadata changed alone: listed, extracted
    // and exported within the file's bytes, or refused with a reason.
    for (const std::uint32_t format : {17u, 22u}) {
        const std::string whole = BuildSerializedFileOf(
            format, {laid(Text(7, "a", "b")), laid(Text(8, "", "c"))}, false, "2019.4.31f1");
        const std::size_t dataOffset = format >= 22 ? static_cast<unsigned char>(whole[39])
                                                    : static_cast<unsigned char>(whole[15]);
        for (std::size_t at = 0; at < dataOffset; ++at) {
            for (const char value : {'\xff', '\x7f', '\x00'}) {
                std::string damaged = whole;
                damaged[at] = value;
                WriteFile(path, damaged);
                const PackageSummary summary = KestruneEngine::Examine(path);
                if (summary.walk.kind != PackageKind::UnitySerialized ||
                    !summary.walk.refusal.empty()) {
                    continue;
                }
                SCOPED_TRACE(std::to_string(format) + ": byte " + std::to_string(at));
                ExtractionReport extracted;
                KestruneEngine::ExtractAll(path, dir.file("raw"), &extracted);
                EXPECT_EQ(extracted.entriesWritten + extracted.failures.size(),
                          extracted.entryCount);
                EXPECT_LE(extracted.bytesWritten, damaged.size() * extracted.entryCount);
                std::filesystem::remove_all(dir.file("raw"));
                ExportReport report;
                KestruneEngine::ExportAll(path, dir.file("each"), &report);
                EXPECT_LE(report.files.entriesWritten, 2u);
                std::filesystem::remove_all(dir.file("each"));
            }
        }
    }
}

} // namespace
} // namespace Kestrune::Testing
