#pragma once

// How entries become file names inside the extraction directory.
//
// Extraction is flat: every entry becomes one file directly inside DIR, named
// after the entry with each "/" turned into "_". Bytes that would make the
// system open some other file are turned into "_" as well: NUL (it would cut
// the path short) everywhere, and on Windows the backslash, the drive and
// stream colon, the other reserved characters and control bytes.
//
// On Windows a name is made of characters, not bytes: an entry name that is
// valid UTF-8 gives those characters, any other name is read byte by byte as
// Windows-1252. The names below are then UTF-8 text on Windows. Elsewhere the
// bytes are the name, unconverted.
//
// A name longer than a file system takes (255 bytes; 255 UTF-16 units on
// Windows) is shortened: the part before its extension (the last ".", unless
// that is the first byte) is cut at a character boundary so that the name
// fits, the extension kept. An extension too long to keep is cut with the
// rest.
//
// Within one extraction every entry gets a name of its own: when two entries
// would share one (a WAD repeats THINGS in every map; "a/b" and "a_b" flatten
// alike; "Map" and "MAP" where letter case is folded; long names shortened
// alike), the first in listing order keeps the plain name and each later one
// is told apart by "~N", the name's stem cut further where "~N" would not fit.

#include "ArchiveEntry.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Kestrune {

enum class NameRules {
    Posix,   // "/" and NUL are replaced; names are byte strings
    Windows, // also \ : < > " | ? * and bytes 1-31, device names, trailing dots
             // and spaces; names are characters; letter case is folded
};

// Whether the extraction directory tells names apart that differ only in
// letter case. Windows always folds; elsewhere a directory may (exFAT, FAT,
// NTFS, a case-insensitive ext4 directory).
enum class LetterCase { Distinct, Folded };

// The rules of the system the program runs on.
NameRules HostNameRules();

// The longest file name, in bytes (UTF-16 units on Windows).
inline constexpr std::size_t kMaxFileNameLength = 255;

// The entry's name as one file name. Empty when no safe file name exists for
// it: an empty name, "." or ".." would name DIR itself or its parent.
std::string FlattenEntryName(std::string_view name, NameRules rules);

// `name` with "~N" inserted before the last "." (unless that "." is the first
// byte) or appended, its stem cut where the result would be too long.
std::string WithNumberSuffix(const std::string& name, unsigned number, NameRules rules);

// The form in which a directory that folds letter case compares names: each
// character of a valid UTF-8 name replaced by its simple upper case (all of
// Unicode, as the NTFS and exFAT case tables do); ASCII letters only in a
// name that is no valid UTF-8.
std::string FoldLetterCase(std::string_view name);

// One output file name per entry, in listing order; nullopt for an entry
// whose name has no safe flat form. Repeated names get "~N" (see
// WithNumberSuffix), where N is the occurrence number of that name, raised
// until the result is free. All plain names are reserved first, so a
// generated name never takes the plain name of a later entry. Names count as
// repeated when they are equal, or equal once folded where `letterCase` says
// the directory folds (always under the Windows rules).
//
// A pure function of its arguments: with HostNameRules() and no `letterCase`
// it gives exactly the names --extract gives in a directory that tells letter
// case apart (on Windows: in any directory).
std::vector<std::optional<std::string>>
AssignOutputNames(const std::vector<ArchiveEntry>& entries, NameRules rules,
                  LetterCase letterCase = LetterCase::Distinct);

// The names AssignOutputNames gives, from names already in their flat form
// (nullopt: no safe name).
std::vector<std::optional<std::string>>
AssignDistinctNames(std::vector<std::optional<std::string>> names, NameRules rules,
                    LetterCase letterCase);

// Where a tree extraction puts each entry: the path "folder + name" split at
// "/" into directories and a file name. Empty components, "." and ".." are
// dropped (so an absolute name or "../x" stays inside DIR, and nothing climbs
// out of it); each remaining component takes its flat form under `rules`
// (on Windows a backslash or "C:" becomes "_" and is never followed). In
// each directory, subdirectories whose names compare alike (equal, or equal
// folded where the directory folds letter case, or cut alike) are one
// directory, named by the first spelling listed. Files and directories share
// the directory's names by AssignOutputNames' rules, subdirectories first
// (in order of first appearance), then files: a directory "a" keeps its
// name and a file "a" beside it becomes "a~2".
struct TreePlacement {
    struct Directory {
        std::size_t parent = 0; // index of the directory holding it; 0 for DIR
        std::string name;       // its name inside the parent
        std::string path;       // relative to DIR, ending in "/"; "" for DIR
        std::vector<std::optional<std::string>> given; // every name given in it
    };
    std::vector<Directory> directories;            // [0] is DIR; parents before children
    std::vector<std::size_t> directoryOf;          // per entry
    std::vector<std::optional<std::string>> names; // per entry: file name in its directory
};
TreePlacement PlaceInTree(const std::vector<ArchiveEntry>& entries, NameRules rules,
                          LetterCase letterCase = LetterCase::Distinct);

// The key under which AssignOutputNames tells names apart.
std::string NameKey(const std::string& name, NameRules rules, LetterCase letterCase);

} // namespace Kestrune
