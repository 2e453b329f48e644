// Entry names to flat output file names: flattening, unsafe bytes, and the
// "~N" names that keep colliding entries apart.

#include "OutputNames.h"

#include <gtest/gtest.h>

namespace Kestrune {
namespace {

using namespace std::literals;

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
        EXPECT_EQ(AssignOutputNames(entries, c.rules), c.expected);
    }
}

} // namespace
} // namespace Kestrune
