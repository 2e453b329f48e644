#include "Commands.h"
#include "Console.h"
#include "KestruneEngine.h"
#include "PackageMessages.h"

#include <cstdio>
#include <string_view>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace Kestrune {

int RunCatCommand(const std::string& packagePath, const std::string& entryName,
                  const RunOptions& options) {
    PackageSummary summary;
    if (!ExaminePackage(packagePath, options.read, summary)) {
        return 1;
    }
#ifdef _WIN32
    // The entry's bytes exactly: no line feed may become CR LF on the way.
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    const EntryCopy copy = KestruneEngine::CopyEntryContent(
        packagePath, entryName,
        [](const unsigned char* data, std::size_t length) {
            return Console::Out(std::string_view(reinterpret_cast<const char*>(data), length));
        },
        options.read);
    if (!copy.packageOpened) {
        SayOpenFailed(packagePath, 0);
        return 1;
    }
    if (!copy.found) {
        Console::Err("No entry named " + entryName + " in " + packagePath + "\n");
        return 1;
    }
    if (copy.failure) {
        // A lost standard output is reported once, when the program ends.
        if (!copy.writerFailed) {
            Console::Err("Failed to extract " + entryName + ": " + *copy.failure + "\n");
        }
        return 1;
    }
    return 0;
}

} // namespace Kestrune
