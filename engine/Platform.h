#pragma once

#include <string>

// The few services that differ between Windows and POSIX systems. Paths are
// narrow byte strings handed to the system unchanged: on Windows through the
// "A" functions and the C runtime, elsewhere straight to the kernel.
namespace Kestrune::Platform {

// True when `path` names an existing directory.
bool IsDirectory(const std::string& path);

// Creates one directory level (the parent must exist). False when it could
// not be created, including when something already stands at `path`.
bool MakeDirectory(const std::string& path);

// Shows a modal information box with one OK button and waits until it is
// dismissed. False when this system has no message-box service.
bool ShowInformationBox(const std::string& caption, const std::string& text);

// Makes a write to a closed pipe fail with an error the program can report,
// instead of ending the process silently.
void IgnoreBrokenPipeSignal();

} // namespace Kestrune::Platform
