#pragma once

#include "Options.h"

#include <string>
#include <string_view>

// The front end's commands. Each one calls the engine, writes its report and
// messages through Console and returns the process exit code.
namespace Kestrune {

void PrintUsage(const char* programName);

// `kestrune <version>`, the version the build was made as.
void PrintVersion();

int RunListCommand(const std::string& packagePath, const RunOptions& options = {});

// Extracts every entry taken of the package into `outDir`; exit 0 only when
// every one was written whole.
// With `place`, the package is one of a folder's and its files go under its
// place in DIR.
int RunExtractCommand(const std::string& packagePath, const std::string& outDir,
                      const RunOptions& options = {}, const FolderPlace* place = nullptr);

// --export: each object the package's converters know, as one file in DIR.
int RunExportCommand(const std::string& packagePath, const std::string& outDir,
                     const RunOptions& options = {}, const FolderPlace* place = nullptr);

int RunCreateSampleCommand(const std::string& outPath);

// Reads every entry as an extraction would and writes nothing; exit 0 only
// when every entry is whole.
int RunTestCommand(const std::string& packagePath, const RunOptions& options = {});

// The listing as one JSON document, with the file name each entry gets.
// `lead` is written before the document, when there is one; `written` is set
// then.
int RunListJsonCommand(const std::string& packagePath, const RunOptions& options = {},
                       std::string_view lead = {}, bool* written = nullptr);

// A folder's JSON document around the documents of its packages:
// {"folder":"<path>","packages":[ ... ]}.
void BeginFolderJson(const std::string& folder);
void EndFolderJson();

// The commands that read packages, as they read every package of a folder.
enum class FolderCommand { List, ListJson, Test, Extract, Export, Cat };

// True when `path` names a directory: the command reads each package in it.
bool IsPackageFolder(const std::string& path);

// Runs `command` on every package in `folder`, in byte order of their paths
// inside it: `argument` is DIR (--extract, --export) or the entry, as
// "<path in the folder>/<entry name>" (--cat). Exit 0 only when every
// package succeeded and there was one at all.
int RunFolderCommand(FolderCommand command, const std::string& folder, const std::string& argument,
                     const RunOptions& options = {});

// One entry's bytes on standard output.
int RunCatCommand(const std::string& packagePath, const std::string& entryName,
                  const RunOptions& options = {});

// --pack: every file under `dir` written as the package `outPath`; exit 0
// only when the package was written, read back whole and put in place.
int RunPackCommand(const std::string& dir, const std::string& outPath,
                   const RunOptions& options = {});

} // namespace Kestrune
