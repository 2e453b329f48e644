#pragma once

// What an Unreal pak's listing says of the files beside it.

#include "ArchiveEntry.h"
#include "ReadOptions.h"

#include <string>

namespace Kestrune::Unreal {

// Names the file in the reader's note on an encrypted legacy index, and
// points at the IoStore container that holds the cooked assets of a pak
// (since UE 4.26 a small pak of loose files sits beside it), with the
// number of entries it holds.
void AnnotatePak(const std::string& path, const ReadOptions& options, DirectoryWalk& walk);

} // namespace Kestrune::Unreal
