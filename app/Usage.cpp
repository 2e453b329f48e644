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
    // The lines above stay as they are, for anything that reads them; what
    // the tool does beyond them follows, in the same columns.
    Console::Out(
        "More commands:\n"
        "  --test <archive>          Read every asset as --extract would, write nothing\n"
        "  --list-json <archive>     List the assets as JSON, with the file name each gets\n"
        "  --cat <archive> <name>    Write one asset's bytes to standard output\n"
        "  --export <archive> [DIR]  Convert Unity assets to PNG, OBJ, text, fonts, audio\n"
        "  --pack <DIR> <OUT>        Write DIR's files as one package (same bytes every run)\n"
        "  --help, -h                Show this text\n"
        "\n"
        "Options, before the command (kestrune [OPTION]... COMMAND ARGS):\n"
        "  --tree                    Extract into the package's own directories\n"
        "  --include GLOB            Take only assets whose stored name matches (repeatable)\n"
        "  --exclude GLOB            Leave out assets whose stored name matches (repeatable)\n"
        "  -v, --verbose             Name each file written (--export: each object skipped)\n"
        "  --aes-key KEY             AES-256 key for encrypted packages (repeatable)\n"
        "  --oodle PATH              Your own Oodle library, for packages that need it\n"
        "  --unity-version V         Unity version of files that hide theirs (0.0.0)\n"
        "  --version                 Print the version and exit\n"
        "\n"
        "Options of --pack:\n"
        "  --format NAME             unreal, vpk, wad, quake, zip or kestrune (else from OUT)\n"
        "  --like REF                Copy the settings of a package the game loads\n"
        "  --order FILE              Store first the names FILE lists, in its order\n"
        "  --pak-version N           Unreal pak version 1 to 11, 8a or 8b (default 11)\n"
        "  --mount-point P           Unreal mount point (default ../../../)\n"
        "  --compression M           Unreal: None Zlib Gzip LZ4 Zstd Oodle; ZIP: Deflate None\n"
        "  --vpk-version N           VPK version 1 or 2 (default 2)\n"
        "  --split-size BYTES        VPK data in numbered parts of at most BYTES\n"
        "  --aes-key KEY             Unreal: encrypt the entries and the index\n"
        "\n"
        "GLOB: * and ? within one path component, ** across them; letter case counts.\n"
        "KEY: 64 hexadecimal digits (0x before them or not), or base64 of 32 bytes.\n"
        "A folder in place of <archive>: every package in it, one after the other.\n"
        "\n"
        "Environment:\n"
        "  KESTRUNE_AES_KEY          Keys as --aes-key takes them, separated by commas\n"
        "  KESTRUNE_OODLE            The library, as --oodle takes it\n"
        "  KESTRUNE_UNITY_VERSION    The version, as --unity-version takes it\n"
        "  SOURCE_DATE_EPOCH         --pack ZIP: the time of every entry (else 1980-01-01)\n"
        "\n"
        "Exit status: 0 when the command did all it was asked, 1 otherwise.\n"
        "\n");
}

void PrintVersion() {
    Console::Out("kestrune " KESTRUNE_VERSION "\n");
}

} // namespace Kestrune
