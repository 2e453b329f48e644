#pragma once

// What an Unreal pak's listing says of the files beside it.

#include "ArchiveEntry.h"

#include <string>

namespace Kestrune::Unreal {

// Names the file in the reader's note on an encrypted legacy index, and
// points at the IoStore containers that hold the cooked assets of a pak
// (since UE 4.26 a small pak of loose files sits beside them).
void AnnotatePak(const std::string& path, DirectoryWalk& walk);

} // namespace Kestrune::Unreal
