#pragma once

#include <string>
#include <sys/types.h>

namespace ZipOs {

// The mode every file is created with; the umask applies.
constexpr mode_t newFileMode = 0666;

// The engine writes paths with backslashes; the OS wants slashes. Only paths the engine composed
// pass through here, never paths the OS gave us: the folder kept as given (KeepFolderAsGiven)
// stays as it is where a path begins with it.
std::string ToNativePath(std::string path);

} // namespace ZipOs
