#include "Commands.h"
#include "Console.h"
#include "KestruneEngine.h"

namespace Kestrune {

int RunCreateSampleCommand(const std::string& outPath) {
    if (!KestruneEngine::CreateSamplePackage(outPath)) {
        Console::Err("Failed to create sample package.\n");
        return 1;
    }
    Console::Out("Successfully generated sample game package at " + outPath + "\n");
    return 0;
}

} // namespace Kestrune
