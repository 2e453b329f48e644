#include "Process.h"

#include "Files.h"

#ifndef _WIN32
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace Kestrune::Testing {

std::string KestrunePath() {
    return KESTRUNE_EXE;
}

#ifndef _WIN32

ProcessResult RunKestrune(const std::vector<std::string>& args, const ProcessOptions& options) {
    TempDir capture;
    const std::string outPath =
        options.stdoutPath.empty() ? capture.file("stdout") : options.stdoutPath;
    const std::string errPath = capture.file("stderr");

    std::vector<std::string> argv{KestrunePath()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> rawArgv;
    for (std::string& arg : argv) {
        rawArgv.push_back(arg.data());
    }
    rawArgv.push_back(nullptr);

    const pid_t child = fork();
    if (child == 0) {
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 ||
            dup2(err, 2) < 0 ||
            (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0)) {
            _exit(127);
        }
        if (options.fileSizeLimit >= 0) {
            // Writes past the limit then fail with EFBIG instead of killing
            // the process, as on a full device.
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{static_cast<rlim_t>(options.fileSizeLimit),
                               static_cast<rlim_t>(options.fileSizeLimit)};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) {
                _exit(127);
            }
        }
        execv(rawArgv[0], rawArgv.data());
        _exit(127);
    }

    ProcessResult result;
    int status = 0;
    if (child > 0 && waitpid(child, &status, 0) == child) {
        result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (options.stdoutPath.empty()) {
        result.out = ReadFile(outPath);
    }
    result.err = ReadFile(errPath);
    return result;
}

#endif

} // namespace Kestrune::Testing
