#include "Platform.h"

#include <direct.h>
#include <windows.h>

namespace Kestrune::Platform {

bool IsDirectory(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool MakeDirectory(const std::string& path) {
    return _mkdir(path.c_str()) == 0;
}

bool ShowInformationBox(const std::string& caption, const std::string& text) {
    MessageBoxA(nullptr, text.c_str(), caption.c_str(), MB_OK | MB_ICONINFORMATION);
    return true;
}

void IgnoreBrokenPipeSignal() {
    // Windows reports a closed pipe as a failed write; there is no signal.
}

} // namespace Kestrune::Platform
