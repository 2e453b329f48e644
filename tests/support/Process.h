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
    long long fileSizeLimit = -1; // bytes any one file may reach (RLIMIT_FSIZE); -1: none.
                                  // POSIX only: Windows has no such limit.
    bool closedStdout = false;    // standard output is a pipe nobody reads (POSIX only)
};

// Runs the built kestrune executable with `args` and waits for it. argv[0] is
// KestrunePath(). Each argument reaches the program unchanged, empty ones and
// those with spaces included; on Windows the arguments are UTF-8 text, handed
// over in UTF-16.
ProcessResult RunKestrune(const std::vector<std::string>& args, const ProcessOptions& options = {});

// The path of the kestrune executable under test.
std::string KestrunePath();

// `text` as it arrives in a file when the program writes it to its standard
// output or standard error: unchanged on POSIX systems, with every line feed
// turned into CR LF on Windows, where those are text-mode streams.
std::string ConsoleText(const std::string& text);

} // namespace Kestrune::Testing
