#pragma once

#include "Options.h"

#include <string>

// The front end's commands. Each one calls the engine, writes its report and
// messages through Console and returns the process exit code.
namespace Kestrune {

void PrintUsage(const char* programName);

// `kestrune <version>`, the version the build was made as.
void PrintVersion();

int RunListCommand(const std::string& packagePath, const RunOptions& options = {});

// Extracts every entry taken of the package into `outDir`; exit 0 only when
// every one was written whole.
int RunExtractCommand(const std::string& packagePath, const std::string& outDir,
                      const RunOptions& options = {});

// --export: each object the package's converters know, as one file in DIR.
int RunExportCommand(const std::string& packagePath, const std::string& outDir,
                     const RunOptions& options = {});

int RunCreateSampleCommand(const std::string& outPath);

// Reads every entry as an extraction would and writes nothing; exit 0 only
// when every entry is whole.
int RunTestCommand(const std::string& packagePath, const RunOptions& options = {});

// The listing as one JSON document, with the file name each entry gets.
int RunListJsonCommand(const std::string& packagePath, const RunOptions& options = {});

// One entry's bytes on standard output.
int RunCatCommand(const std::string& packagePath, const std::string& entryName,
                  const RunOptions& options = {});

// --pack: every file under `dir` written as the package `outPath`; exit 0
// only when the package was written, read back whole and put in place.
int RunPackCommand(const std::string& dir, const std::string& outPath,
                   const RunOptions& options = {});

} // namespace Kestrune
