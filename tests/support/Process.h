#pragma once

#include <cstdint>
#include <optional>
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
    // POSIX: the most bytes the child may write into any one file (its captured
    // output included), with SIGXFSZ ignored so that a write past the limit
    // fails the way a full device does instead of killing the child.
    std::optional<std::uint64_t> fileSizeLimit;
};

// Runs the built kestrune executable with `args` and waits for it. argv[0] is
// the executable's path as the build names it.
ProcessResult RunKestrune(const std::vector<std::string>& args, const ProcessOptions& options = {});

// The path of the kestrune executable under test.
std::string KestrunePath();

} // namespace Kestrune::Testing
