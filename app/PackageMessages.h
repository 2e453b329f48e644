#pragma once

#include "ArchiveEntry.h"
#include "KestruneEngine.h"

#include <string>
#include <string_view>
#include <vector>

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

// Looks at the package before a command writes into DIR. A package that
// does not open goes on (the command reports it, after making DIR); one that
// opens but is refused or is no package at all fails here, before DIR is
// made, with `failedLine` ("Extraction failed.") after the reason.
bool ReadyToWrite(const std::string& packagePath, const ReadOptions& options,
                  std::string_view failedLine, PackageSummary& summary);

// Why a command that writes into DIR wrote nothing: DIR could not be made,
// or the package did not open.
void SayNothingWritten(const ExtractionReport& report, const std::string& packagePath,
                       const std::string& outDir, const PackageSummary& summary);

// With -v, a callback that keeps a line "<entry> -> DIR/<file>" for every
// file written, for the command to print once the writing is done; without,
// none.
WrittenCallback KeepWrittenLines(bool verbose, const std::string& outDir,
                                 std::vector<std::string>& lines);

// With -v: the closing line of the files a command wrote into DIR.
std::string WrittenSummary(const ExtractionReport& report);

} // namespace Kestrune
