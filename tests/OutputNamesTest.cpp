// Entry names to flat output file names: flattening, unsafe bytes, and the
// "~N" names that keep colliding entries apart.

#include "OutputNames.h"

#include <gtest/gtest.h>

namespace Kestrune {
namespace {

using namespace std::literals;

std::string Repeat(const std::string& text, std::size_t times) {
    std::string repeated;
    for (std::size_t i = 0; i < times; ++i) {
        repeated += text;
    }
    return repeated;
}

TEST(OutputNames, Flattening) {
    struct Case {
        std::string name;
        NameRules rules;
        std::string expected; // empty: no safe name
    };
    const Case cases[] = {
        {"textures/wall/brick.png", NameRules::Posix, "textures_wall_brick.png"},
        {"mesh.obj", NameRules::Posix, "mesh.obj"},
        {"/root.bin", NameRules::Posix, "_root.bin"},
        {"a//b/", NameRules::Posix, "a__b_"},
        {"back\\slash: \"q\"?.txt", NameRules::Posix, "back\\slash: \"q\"?.txt"},
        {"nul\0inside"s, NameRules::Posix, "nul_inside"},
        {"", NameRules::Posix, ""},
        {".", NameRules::Posix, ""},
        {"..", NameRules::Posix, ""},
        {"...", NameRules::Posix, "..."},
        {"../../etc/passwd", NameRules::Posix, ".._.._etc_passwd"},
        {"/", NameRules::Posix, "_"},
        {"caf\xC3\xA9 \x80.bin", NameRules::Posix, "caf\xC3\xA9 \x80.bin"},
        {"VILE\\1", NameRules::Windows, "VILE_1"},
        {"C:evil", NameRules::Windows, "C_evil"},
        {"<>\"|?*", NameRules::Windows, "______"},
        {"tab\there\x1F", NameRules::Windows, "tab_here_"},
        {"..\\..\\x", NameRules::Windows, ".._.._x"},
        {"con", NameRules::Windows, "_con"},
        {"LPT1.txt", NameRules::Windows, "_LPT1.txt"},
        {"Aux .tar.gz", NameRules::Windows, "_Aux .tar.gz"},
        {"COM9", NameRules::Windows, "_COM9"},
        {"COM0", NameRules::Windows, "COM0"},
        {"CONSOLE", NameRules::Windows, "CONSOLE"},
        {"trailing.", NameRules::Windows, "trailing_"},
        {"trailing ", NameRules::Windows, "trailing_"},
        {"..", NameRules::Windows, ""},
        {"...", NameRules::Windows, ".._"},
        {"caf\xC3\xA9", NameRules::Windows, "caf\xC3\xA9"},
        // On Windows valid UTF-8 gives its characters, anything else is
        // Windows-1252; the result is UTF-8.
        {"na\xC3\xAFve/\xE6\x97\xA5\xE6\x9C\xAC.txt", NameRules::Windows,
         "na\xC3\xAFve_\xE6\x97\xA5\xE6\x9C\xAC.txt"},
        {"caf\xE9", NameRules::Windows, "caf\xC3\xA9"},
        {"\x80\x81\xFF", NameRules::Windows, "\xE2\x82\xAC\xC2\x81\xC3\xBF"},
        {"\xED\xA0\x80", NameRules::Windows, "\xC3\xAD\xC2\xA0\xE2\x82\xAC"}, // a surrogate
        {"\xC0\xAF", NameRules::Windows, "\xC3\x80\xC2\xAF"},                 // overlong "/"
        // Too long: cut before the extension at a character boundary.
        {std::string(300, 'a') + ".png", NameRules::Posix, std::string(251, 'a') + ".png"},
        {Repeat("\xE6\x97\xA5", 300) + ".txt", NameRules::Posix,
         Repeat("\xE6\x97\xA5", 83) + ".txt"},
        {Repeat("\xE6\x97\xA5", 300) + ".txt", NameRules::Windows,
         Repeat("\xE6\x97\xA5", 251) + ".txt"},
        {Repeat("\xF0\x9F\x98\x80", 200) + ".txt", NameRules::Windows,
         Repeat("\xF0\x9F\x98\x80", 125) + ".txt"}, // two UTF-16 units each
        {"a." + std::string(300, 'b'), NameRules::Posix, "a." + std::string(253, 'b')},
        {std::string(254, 'a') + " bb", NameRules::Windows, std::string(254, 'a') + "_"},
        {std::string(255, 'a'), NameRules::Posix, std::string(255, 'a')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name + (c.rules == NameRules::Windows ? " (Windows)" : " (POSIX)"));
        EXPECT_EQ(FlattenEntryName(c.name, c.rules), c.expected);
    }
}

TEST(OutputNames, CollisionsGetTheirOwnNames) {
    struct Case {
        const char* what;
        std::vector<std::string> names;
        NameRules rules;
        std::vector<std::optional<std::string>> expected;
        LetterCase letterCase = LetterCase::Distinct;
    };
    const Case cases[] = {
        {"no collision keeps plain names", {"a/b", "c.obj"}, NameRules::Posix, {"a_b", "c.obj"}},
        {"repeated WAD lumps",
         {"THINGS", "THINGS", "THINGS"},
         NameRules::Posix,
         {"THINGS", "THINGS~2", "THINGS~3"}},
        {"names that flatten alike",
         {"a/b.png", "a_b.png"},
         NameRules::Posix,
         {"a_b.png", "a_b~2.png"}},
        {"an entry already named like a generated name",
         {"THINGS", "THINGS", "THINGS~2"},
         NameRules::Posix,
         {"THINGS", "THINGS~3", "THINGS~2"}},
        {"suffix before the last dot",
         {"x.tar.gz", "x.tar.gz"},
         NameRules::Posix,
         {"x.tar.gz", "x.tar~2.gz"}},
        {"a leading dot is no extension",
         {".hidden", ".hidden"},
         NameRules::Posix,
         {".hidden", ".hidden~2"}},
        {"letter case differs on POSIX", {"Map", "MAP"}, NameRules::Posix, {"Map", "MAP"}},
        {"letter case collides on Windows",
         {"Map", "MAP", "map"},
         NameRules::Windows,
         {"Map", "MAP~2", "map~3"}},
        {"backslash and slash collide on Windows",
         {"a\\b", "a/b"},
         NameRules::Windows,
         {"a_b", "a_b~2"}},
        {"letter case beyond ASCII collides on Windows, in UTF-8 and Windows-1252",
         {"caf\xC3\xA9.txt", "CAF\xC3\x89.txt", "caf\xE9.txt", "CAF\xC9.txt"},
         NameRules::Windows,
         {"caf\xC3\xA9.txt", "CAF\xC3\x89~2.txt", "caf\xC3\xA9~3.txt", "CAF\xC3\x89~4.txt"}},
        {"a directory that folds letter case",
         {"Map", "MAP", "\xCF\x83\xCE\xAF", "\xCE\xA3\xCE\x8A", "\xF0\x90\x90\xA8",
          "\xF0\x90\x90\x80",
          "stra\xC3\x9F"
          "e",
          "STRASSE"},
         NameRules::Posix,
         {"Map", "MAP~2", "\xCF\x83\xCE\xAF", "\xCE\xA3\xCE\x8A~2", "\xF0\x90\x90\xA8",
          "\xF0\x90\x90\x80~2",
          "stra\xC3\x9F"
          "e",
          "STRASSE"},
         LetterCase::Folded},
        {"long names cut alike",
         {std::string(300, 'x'), std::string(301, 'x')},
         NameRules::Posix,
         {std::string(255, 'x'), std::string(253, 'x') + "~2"}},
        {"the search for a free number resumes where it stopped",
         {"A", "A", "A", "A", "A", "A~2", "A~4"},
         NameRules::Posix,
         {"A", "A~3", "A~5", "A~6", "A~7", "A~2", "A~4"}},
        {"unsafe names get none and take none",
         {"", "..", "x", ""},
         NameRules::Posix,
         {std::nullopt, std::nullopt, "x", std::nullopt}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<ArchiveEntry> entries;
        for (const std::string& name : c.names) {
            entries.emplace_back().name = name;
        }
        EXPECT_EQ(AssignOutputNames(entries, c.rules, c.letterCase), c.expected);
    }
}

// Where a tree extraction puts each entry, as paths relative to DIR.
TEST(OutputNames, TreePaths) {
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, std::string>> entries; // folder, name
        std::vector<std::optional<std::string>> expected;
        NameRules rules = NameRules::Posix;
        LetterCase letterCase = LetterCase::Distinct;
    };
    const std::string longPart(300, 'd');
    const Case cases[] = {
        {"directories kept", {{"", "textures/wall/brick.png"}}, {"textures/wall/brick.png"}},
        {"nothing climbs out, absolute names stay inside",
         {{"", "../../etc/passwd"}, {"", "/abs/x"}, {"", "a/./b//c"}, {"", "a/../.."}, {"", "../"}},
         {"etc/passwd", "abs/x", "a/b/c", "a~2", std::nullopt}},
        {"a/b beside a_b", {{"", "a/b"}, {"", "a_b"}}, {"a/b", "a_b"}},
        {"letter case kept apart where the directory tells it apart",
         {{"", "Map/x"}, {"", "MAP/y"}},
         {"Map/x", "MAP/y"}},
        {"one folder where the directory folds letter case",
         {{"", "Map/x"}, {"", "MAP/y"}, {"", "map/X"}},
         {"Map/x", "Map/y", "Map/X~2"},
         NameRules::Posix,
         LetterCase::Folded},
        {"a file and a directory of one name, file first",
         {{"", "a"}, {"", "a/b"}},
         {"a~2", "a/b"}},
        {"a file and a directory of one name, directory first",
         {{"", "a/b"}, {"", "a"}, {"", "a/c"}},
         {"a/b", "a~2", "a/c"}},
        {"long components shortened each; directories cut alike are one",
         {{"", longPart + "/" + longPart + ".txt"}, {"", longPart + "x/f"}},
         {std::string(255, 'd') + "/" + std::string(251, 'd') + ".txt",
          std::string(255, 'd') + "/f"}},
        {"the folder comes first",
         {{"MAP01/", "THINGS"}, {"MAP02/", "THINGS"}, {"", "THINGS"}},
         {"MAP01/THINGS", "MAP02/THINGS", "THINGS"}},
        {"a drive letter and a backslash are no path on Windows",
         {{"", "C:\\win\\x"}, {"", "C:/y"}, {"", "con/aux"}},
         {"C__win_x", "C_/y", "_con/_aux"},
         NameRules::Windows},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<ArchiveEntry> entries;
        for (const auto& [folder, name] : c.entries) {
            ArchiveEntry& entry = entries.emplace_back();
            entry.folder = folder;
            entry.name = name;
        }
        const TreePlacement tree = PlaceInTree(entries, c.rules, c.letterCase);
        std::vector<std::optional<std::string>> paths;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            paths.push_back(tree.names[i]
                                ? std::optional<std::string>(
                                      tree.directories[tree.directoryOf[i]].path + *tree.names[i])
                                : std::nullopt);
        }
        EXPECT_EQ(paths, c.expected);
    }
}

} // namespace
} // namespace Kestrune
