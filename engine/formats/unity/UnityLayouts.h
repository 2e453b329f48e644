#pragma once

// The class layouts of Unity player builds, by engine version: player builds
// keep no type trees in their serialized files, so an object's fields come
// from what its engine version writes. The table (UnityLayouts.inc, made by
// scripts/gen-unity-layouts.py) holds the common classes of every version
// from 3.0 to 6000.7.
//
// A file's version takes the table's entry of the same name, else the
// nearest earlier one of the same release line (2019.4.31f1 takes 2019.4.30f1
// when that is the last one listed, never 2019.3.x).

#include "TypeTree.h"

#include <cstdint>
#include <optional>
#include <string_view>

namespace Kestrune::Unity {

// Whether `version` is a stripped engine version ("0.0.0" or empty), which
// protected builds write in place of the real one.
bool IsStrippedVersion(std::string_view version);

// The table's version for an engine version; nullopt when the table has none
// of its release line at or before it, or the text is no engine version.
std::optional<std::string_view> LayoutVersion(std::string_view version);

// The layout of `classId` in the table's version `layoutVersion` (as
// LayoutVersion gives), as a tree ReadObject walks; its names point into the
// table, which lives as long as the program. Nullopt for a class the table
// does not hold.
std::optional<TypeTree> LayoutTree(std::string_view layoutVersion, std::int32_t classId);

} // namespace Kestrune::Unity
