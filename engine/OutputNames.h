#pragma once

// How entries become file names inside the extraction directory.
//
// Extraction is flat: every entry becomes one file directly inside DIR, named
// after the entry with each "/" turned into "_". Bytes that would make the
// system open some other file are turned into "_" as well: NUL (it would cut
// the path short) everywhere, and on Windows the backslash, the drive and
// stream colon, the other reserved characters and control bytes. Nothing else
// is converted.
//
// Within one extraction every entry gets a name of its own: when two entries
// would share one (a WAD repeats THINGS in every map; "a/b" and "a_b" flatten
// alike), the first in listing order keeps the plain name and each later one
// is told apart by "~N".

#include "ArchiveEntry.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Kestrune {

enum class NameRules {
    Posix,   // "/" and NUL are replaced; names are case-sensitive
    Windows, // also \ : < > " | ? * and bytes 1-31, device names, trailing dots
             // and spaces; names differing only in letter case collide
};

// The rules of the system the program runs on.
NameRules HostNameRules();

// The entry's name as one file name. Empty when no safe file name exists for
// it: an empty name, "." or ".." would name DIR itself or its parent.
std::string FlattenEntryName(std::string_view name, NameRules rules);

// One output file name per entry, in listing order; nullopt for an entry
// whose name has no safe flat form. Repeated names get "~N" inserted before
// the last "." (unless that "." is the first byte) or appended, where N is
// the occurrence number of that name, raised until the result is free. All
// plain names are reserved first, so a generated name never takes the plain
// name of a later entry.
std::vector<std::optional<std::string>> AssignOutputNames(const std::vector<ArchiveEntry>& entries,
                                                          NameRules rules);

} // namespace Kestrune
