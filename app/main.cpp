#include "Commands.h"
#include "Console.h"
#include "KestruneGUI.h"
#include "Platform.h"

#include <string_view>

namespace {

int Dispatch(int argc, char** argv) {
    using namespace Kestrune;
    const char* programName = argc > 0 ? argv[0] : "kestrune";
    if (argc <= 1 || std::string_view(argv[1]) == "--gui") {
        if (!KestruneGUI::RunGUI(argc, argv)) {
            PrintUsage(programName);
        }
        return 0;
    }

    const std::string_view command = argv[1];
    if (command == "--help" || command == "-h") {
        PrintUsage(programName);
        return 0;
    }
    if (command == "--create-sample" && argc > 2) {
        return RunCreateSampleCommand(argv[2]);
    }
    if (command == "--list" && argc > 2) {
        return RunListCommand(argv[2]);
    }
    if (command == "--extract" && argc > 2) {
        return RunExtractCommand(argv[2], argc > 3 ? argv[3] : "./extracted");
    }
    if (command == "--test" && argc > 2) {
        return RunTestCommand(argv[2]);
    }
    if (command == "--list-json" && argc > 2) {
        return RunListJsonCommand(argv[2]);
    }
    if (command == "--cat" && argc > 3) {
        return RunCatCommand(argv[2], argv[3]);
    }
    PrintUsage(programName);
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    Kestrune::Platform::IgnoreWriteSignals();
    const int exitCode = Dispatch(argc, argv);
    return Kestrune::Console::FinishOutput() ? exitCode : 1;
}
