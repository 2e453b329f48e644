#pragma once

#include "ArchiveEntry.h"
#include "KestruneEngine.h"

#include <string>

// The messages every command that reads a package shares, on standard error.
namespace Kestrune {

// "Failed to open package: <path> (<the system's reason>)".
void SayOpenFailed(const std::string& packagePath, int error);

// "Failed to open package: <path> (<why the tool will not read it>)".
void SayRefused(const std::string& packagePath, const DirectoryWalk& walk);

// "Not a package: <path> (...)", with a hint when the file is a numbered
// part of a VPK (give its directory file instead).
void SayNotAPackage(const std::string& packagePath);

// What the package's reader has to tell the user, one line each.
void SayNotes(const DirectoryWalk& walk);

// `options` taking every entry: what a package is does not depend on the
// entries a command takes, and a walk with no selection can stop at once.
ReadOptions WithoutSelection(const ReadOptions& options);

// Looks at the package before a command reads it (no entry is read). False,
// after saying why, when it does not open or is of a kind the tool will not
// read; otherwise says the reader's notes.
bool ExaminePackage(const std::string& packagePath, const ReadOptions& options,
                    PackageSummary& summary);

} // namespace Kestrune
