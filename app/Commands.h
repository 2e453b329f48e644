#pragma once

#include <string>

// The front end's commands. Each one calls the engine, writes its report and
// messages through Console and returns the process exit code.
namespace Kestrune {

void PrintUsage(const char* programName);

int RunListCommand(const std::string& packagePath);

// Extracts every entry of the package into `outDir`; exit 0 only when every
// entry was written whole.
int RunExtractCommand(const std::string& packagePath, const std::string& outDir);

int RunCreateSampleCommand(const std::string& outPath);

} // namespace Kestrune
