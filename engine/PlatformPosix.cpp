#include "Platform.h"

#include <csignal>
#include <sys/stat.h>
#include <sys/types.h>

namespace Kestrune::Platform {

bool IsDirectory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool MakeDirectory(const std::string& path) {
    // 0777 before the umask, as the user's other tools create directories.
    return ::mkdir(path.c_str(), 0777) == 0;
}

bool ShowInformationBox(const std::string&, const std::string&) {
    // No message-box service on a plain console system.
    return false;
}

void IgnoreBrokenPipeSignal() {
    std::signal(SIGPIPE, SIG_IGN);
}

} // namespace Kestrune::Platform
