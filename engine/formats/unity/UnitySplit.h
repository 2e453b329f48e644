#pragma once

// Split files: a Unity build for Android cuts each large file X of its data
// folder into X.split0, X.split1, ... (every part but the last 1 MiB), and
// every reference inside the game uses the joined name X. The parts are
// read as the one file X, joined where they lie (JoinedSource): never
// written out beside the input. Whatever X is (a serialized file, a stream
// file, a bundle), its own format reads it.
//
// The set is the parts beside X.split0 whose names are X.split<N>, N written
// without leading zeros: every N from 0 to the largest must be there, or the
// joined file is refused naming the first one missing. When the joined bytes
// begin with a serialized file's header, the file size it states must be
// their length.

#include "ByteSource.h"

#include <memory>
#include <string>
#include <string_view>

namespace Kestrune::Unity {

// "X" for a path or name ending in ".split0"; empty otherwise.
std::string SplitJoinedName(std::string_view path);

// "X.split0" for a file name "X.split<N>" with N at least 1: the part that
// stands for the whole set; empty otherwise.
std::string SplitFirstPart(std::string_view fileName);

// The joined bytes of the set whose first part is `firstPart` (a path ending
// in ".split0"); null when that part cannot be opened (`error` says why).
// A set with a missing part or a wrong length is returned with its defect.
std::unique_ptr<ByteSource> OpenSplitSet(const std::string& firstPart, int* error = nullptr);

} // namespace Kestrune::Unity
