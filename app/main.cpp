#include "Commands.h"
#include "Console.h"
#include "KestruneEngine.h"
#include "KestruneGUI.h"
#include "Options.h"
#include "Platform.h"

#include <cstdlib>
#include <string_view>
#include <vector>

namespace {

std::optional<std::string> Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

int Dispatch(int argc, char** argv) {
    using namespace Kestrune;
    const char* programName = argc > 0 ? argv[0] : "kestrune";
    if (argc <= 1 || std::string_view(argv[1]) == "--gui") {
        if (!KestruneGUI::RunGUI(argc, argv)) {
            PrintUsage(programName);
        }
        return 0;
    }

    const std::vector<std::string_view> args(argv + 1, argv + argc);
    const ParsedCommandLine parsed =
        ParseCommandLine(args, {Environment("KESTRUNE_AES_KEY"), Environment("KESTRUNE_OODLE"),
                                Environment("KESTRUNE_UNITY_VERSION")});
    if (parsed.error) {
        Console::Err("kestrune: " + *parsed.error + "\n");
        if (parsed.errorShowsUsage) {
            PrintUsage(programName);
        }
        return 1;
    }
    if (parsed.showVersion) {
        PrintVersion();
        return 0;
    }
    // The command and its arguments, exactly where they were before options
    // existed: argv[1] then is the command.
    char** const rest = argv + 1 + parsed.command;
    const int restCount = argc - 1 - static_cast<int>(parsed.command);
    const RunOptions& options = parsed.options;
    const std::string_view command = restCount > 0 ? rest[0] : "";
    if (command == "--gui") {
        if (!KestruneGUI::RunGUI(argc, argv)) {
            PrintUsage(programName);
        }
        return 0;
    }
    if (command == "--help" || command == "-h") {
        PrintUsage(programName);
        return 0;
    }
    // A container's data file stands for its table of contents.
    const std::string package = restCount > 1 ? KestruneEngine::PackageFileFor(rest[1]) : "";
    if (command == "--create-sample" && restCount > 1) {
        return RunCreateSampleCommand(rest[1]);
    }
    // A folder named where a package goes: every package in it.
    if (restCount > 1 && command != "--pack" && command != "--create-sample" &&
        IsPackageFolder(rest[1])) {
        const std::string folder = rest[1];
        if (command == "--list") {
            return RunFolderCommand(FolderCommand::List, folder, "", options);
        }
        if (command == "--list-json") {
            return RunFolderCommand(FolderCommand::ListJson, folder, "", options);
        }
        if (command == "--test") {
            return RunFolderCommand(FolderCommand::Test, folder, "", options);
        }
        if (command == "--extract") {
            return RunFolderCommand(FolderCommand::Extract, folder,
                                    restCount > 2 ? rest[2] : "./extracted", options);
        }
        if (command == "--export") {
            return RunFolderCommand(FolderCommand::Export, folder,
                                    restCount > 2 ? rest[2] : "./exported", options);
        }
        if (command == "--cat" && restCount > 2) {
            return RunFolderCommand(FolderCommand::Cat, folder, rest[2], options);
        }
    }
    if (command == "--list" && restCount > 1) {
        return RunListCommand(package, options);
    }
    if (command == "--extract" && restCount > 1) {
        return RunExtractCommand(package, restCount > 2 ? rest[2] : "./extracted", options);
    }
    if (command == "--export" && restCount > 1) {
        return RunExportCommand(package, restCount > 2 ? rest[2] : "./exported", options);
    }
    if (command == "--test" && restCount > 1) {
        return RunTestCommand(package, options);
    }
    if (command == "--list-json" && restCount > 1) {
        return RunListJsonCommand(package, options);
    }
    if (command == "--pack" && restCount > 2) {
        return RunPackCommand(rest[1], rest[2], options);
    }
    if (command == "--cat" && restCount > 2) {
        return RunCatCommand(package, rest[2], options);
    }
    PrintUsage(programName);
    return 1;
}

int Run(int argc, char** argv) {
    Kestrune::Platform::IgnoreWriteSignals();
    Kestrune::Platform::UseUtf8Console();
    const int exitCode = Dispatch(argc, argv);
    return Kestrune::Console::FinishOutput() ? exitCode : 1;
}

} // namespace

#ifdef _WIN32
// The arguments as the system holds them, in UTF-16, so that a path outside
// the ANSI code page arrives whole; inside, the program carries UTF-8.
int wmain(int argc, wchar_t** wideArgv) {
    std::vector<std::string> args = Kestrune::Platform::Utf8Arguments(argc, wideArgv);
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    return Run(argc, argv.data());
}
#else
int main(int argc, char** argv) {
    return Run(argc, argv);
}
#endif
