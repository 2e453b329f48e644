#include "Console.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace Kestrune::Console {
namespace {

int firstOutError = 0;

bool Write(std::FILE* stream, std::string_view text) {
    if (text.empty() || std::fwrite(text.data(), 1, text.size(), stream) == text.size()) {
        return true;
    }
    if (stream == stdout && firstOutError == 0) {
        firstOutError = errno != 0 ? errno : EIO;
    }
    return false;
}

} // namespace

bool Out(std::string_view text) {
    return Write(stdout, text);
}

void Err(std::string_view text) {
    Write(stderr, text);
}

bool FinishOutput() {
    errno = 0;
    if (std::fflush(stdout) != 0 && firstOutError == 0) {
        firstOutError = errno != 0 ? errno : EIO;
    }
    if (firstOutError == 0 && std::ferror(stdout) != 0) {
        firstOutError = EIO;
    }
    if (firstOutError == 0) {
        return true;
    }
    if (firstOutError == EPIPE) {
        // The reader stopped reading (`kestrune --list big.pak | head`): it
        // has what it wanted, and nobody is there to read a message. The run
        // still did not deliver its whole output, so the exit code says so.
        return false;
    }
    Err(std::string("Failed to write to standard output: ") + std::strerror(firstOutError) + "\n");
    return false;
}

} // namespace Kestrune::Console
