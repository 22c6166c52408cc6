#pragma once

#include <string>

namespace ZipOs {

// The engine writes paths with backslashes; the OS wants slashes. Only paths
// the engine composed pass through here, never paths the OS gave us.
inline std::string ToNativePath(std::string path) {
    for (char& c : path)
        if (c == '\\')
            c = '/';
    return path;
}

} // namespace ZipOs
