#pragma once

#include <string>
#include <vector>

namespace Kestrune::Testing {

struct ProcessResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

struct ProcessOptions {
    std::string workingDirectory; // empty: the test's own
    std::string stdoutPath;       // empty: captured into ProcessResult::out
    long long fileSizeLimit = -1; // bytes any one file may reach (RLIMIT_FSIZE); -1: none
};

// Runs the built kestrune executable with `args` and waits for it. argv[0] is
// the executable's path as the build names it.
ProcessResult RunKestrune(const std::vector<std::string>& args, const ProcessOptions& options = {});

// The path of the kestrune executable under test.
std::string KestrunePath();

} // namespace Kestrune::Testing
