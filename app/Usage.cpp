#include "Commands.h"
#include "Console.h"

namespace Kestrune {

void PrintUsage(const char* programName) {
    Console::Out("========================================================\n"
                 "  Universal 3D Game Package Extractor (PAK/VPK/WAD/Unity)\n"
                 "========================================================\n\n"
                 "Usage:\n"
                 "  ");
    Console::Out(programName != nullptr ? programName : "");
    Console::Out(
        " [options]\n\n"
        "Options:\n"
        "  --gui                     Launch native graphical user interface (Default if no args)\n"
        "  --list <archive>          List all internal assets, offsets, and sizes\n"
        "  --extract <archive> [DIR] Extract all assets from container\n"
        "  --create-sample <out.pak> Create sample Unreal Engine 5.4 PAK file with 3D mesh\n\n");
}

} // namespace Kestrune
