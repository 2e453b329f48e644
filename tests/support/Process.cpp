#include "Process.h"

#include "Files.h"

#ifdef _WIN32
#include <filesystem>
#include <gtest/gtest.h>
#include <windows.h>
#else
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace Kestrune::Testing {

#ifdef _WIN32

std::string KestrunePath() {
    // The build names the executable by the path the build machine sees. Made
    // absolute once, before any test changes directory, so that it stays
    // valid for children started in another working directory; under Wine a
    // POSIX build path becomes a path on the drive that maps the root.
    static const std::string path = std::filesystem::absolute(KESTRUNE_EXE).string();
    return path;
}

std::string ConsoleText(const std::string& text) {
    // Standard output and standard error are text-mode streams on Windows:
    // each line feed the program writes reaches the file as CR LF.
    std::string converted;
    converted.reserve(text.size() + text.size() / 8);
    for (const char c : text) {
        if (c == '\n') {
            converted += '\r';
        }
        converted += c;
    }
    return converted;
}

namespace {

// Quotes one argument so that the C runtime's parser hands it to the child
// unchanged: empty arguments and spaces need quotes, and backslashes are
// special only in a run that ends at a double quote.
std::string QuoteArgument(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) {
        return arg;
    }
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (const char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            quoted.append(2 * backslashes + 1, '\\');
        } else {
            quoted.append(backslashes, '\\');
        }
        backslashes = 0;
        quoted += c;
    }
    quoted.append(2 * backslashes, '\\');
    quoted += '"';
    return quoted;
}

// UTF-8 text, as the program's arguments are, in UTF-16 for the wide API.
std::wstring Wide(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    const int size = static_cast<int>(text.size());
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0) {
        MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), length);
    }
    return wide;
}

// A handle the child inherits as one of its standard streams.
HANDLE OpenInherited(const std::string& path, bool forWriting) {
    SECURITY_ATTRIBUTES inherit{};
    inherit.nLength = sizeof inherit;
    inherit.bInheritHandle = TRUE;
    return CreateFileA(path.c_str(), forWriting ? GENERIC_WRITE : GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                       forWriting ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

} // namespace

ProcessResult RunKestrune(const std::vector<std::string>& args, const ProcessOptions& options) {
    ProcessResult result;
    if (options.fileSizeLimit >= 0) {
        // Windows has no per-process file size limit; a test that relies on
        // one must not pass here by running without it.
        ADD_FAILURE() << "fileSizeLimit is not available on Windows";
        return result;
    }
    if (options.closedStdout) {
        ADD_FAILURE() << "closedStdout is not available on Windows";
        return result;
    }
    TempDir capture;
    const std::string outPath =
        options.stdoutPath.empty() ? capture.file("stdout") : options.stdoutPath;
    const std::string errPath = capture.file("stderr");

    // The program name is parsed by its own rule (no escapes, quotes only
    // group), which a quoted path without quotes in it satisfies.
    const std::string program = KestrunePath();
    std::string commandLine = "\"" + program + "\"";
    for (const std::string& arg : args) {
        commandLine += ' ';
        commandLine += QuoteArgument(arg);
    }

    // A child that never started says nothing about the program, so a failed
    // start is tried again a few times; one that keeps failing is a test
    // failure that gives the system's reason, never a silent exit code of -1.
    constexpr int attempts = 4;
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        const HANDLE in = OpenInherited("NUL", false);
        const HANDLE out = OpenInherited(outPath, true);
        const HANDLE err = OpenInherited(errPath, true);
        DWORD startError = 0;
        bool started = false;
        if (in == INVALID_HANDLE_VALUE || out == INVALID_HANDLE_VALUE ||
            err == INVALID_HANDLE_VALUE) {
            startError = GetLastError();
        } else {
            STARTUPINFOW startup{};
            startup.cb = sizeof startup;
            startup.dwFlags = STARTF_USESTDHANDLES;
            startup.hStdInput = in;
            startup.hStdOutput = out;
            startup.hStdError = err;
            PROCESS_INFORMATION child{};
            // The command line goes over in UTF-16, as a user's shell hands
            // it over, so that arguments outside the ANSI code page arrive
            // whole.
            const std::wstring wideProgram = Wide(program);
            std::wstring wideCommandLine = Wide(commandLine);
            const std::wstring wideDirectory = Wide(options.workingDirectory);
            if (CreateProcessW(wideProgram.c_str(), wideCommandLine.data(), nullptr, nullptr, TRUE,
                               0, nullptr, wideDirectory.empty() ? nullptr : wideDirectory.c_str(),
                               &startup, &child)) {
                started = true;
                DWORD exitCode = 0;
                if (WaitForSingleObject(child.hProcess, INFINITE) == WAIT_OBJECT_0 &&
                    GetExitCodeProcess(child.hProcess, &exitCode)) {
                    result.exitCode = static_cast<int>(exitCode);
                } else {
                    ADD_FAILURE() << "cannot learn how " << commandLine << " ended: error "
                                  << GetLastError();
                }
                CloseHandle(child.hThread);
                CloseHandle(child.hProcess);
            } else {
                startError = GetLastError();
            }
        }
        for (const HANDLE handle : {in, out, err}) {
            if (handle != INVALID_HANDLE_VALUE) {
                CloseHandle(handle);
            }
        }
        if (started) {
            break;
        }
        if (attempt == attempts) {
            ADD_FAILURE() << "cannot start " << commandLine << ": error " << startError << " after "
                          << attempts << " attempts";
        } else {
            Sleep(200);
        }
    }
    if (options.stdoutPath.empty()) {
        result.out = ReadFile(outPath);
    }
    result.err = ReadFile(errPath);
    return result;
}

#else

std::string KestrunePath() {
    return KESTRUNE_EXE;
}

std::string ConsoleText(const std::string& text) {
    return text;
}

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
        // The program starts as from a shell: every signal at its default
        // action, whatever this test process has set for itself.
        std::signal(SIGPIPE, SIG_DFL);
        std::signal(SIGXFSZ, SIG_DFL);
        if (options.closedStdout) {
            int ends[2];
            if (pipe(ends) != 0 || dup2(ends[1], 1) < 0) {
                _exit(127);
            }
            close(ends[0]);
            close(ends[1]);
        }
        if (options.fileSizeLimit >= 0) {
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
