#include "engine/ZipPathSafety.h"

#include "platform/ZipPathParts.h"

#include <string_view>

namespace {

// The composed path begins with the trimmed folder and one separator; anything else was not
// composed with this folder and is treated as leaving it. The relative part is a view into path.
bool SplitOffFolder(std::string_view folder, std::string_view path, std::string_view& relative) {
    if (folder.empty()) {
        // Without a folder the path is taken from the current one: a leading separator (a slash
        // the name kept, which the directory part does not strip) would make it absolute.
        relative = path;
        return path.empty() || !IsSeparator(path[0]);
    }
    std::string_view trimmed = folder;
    while (!trimmed.empty() && IsSeparator(trimmed.back()))
        trimmed.remove_suffix(1);
    if (path == trimmed) {
        relative = std::string_view();
        return true;
    }
    if (path.size() <= trimmed.size() || path.compare(0, trimmed.size(), trimmed) != 0 ||
        !IsSeparator(path[trimmed.size()]))
        return false;
    relative = path.substr(trimmed.size() + 1);
    return true;
}

} // namespace

CZipPathSafety::Verdict CZipPathSafety::Judge(const std::string& name, const std::string& folder,
                                              const std::string& path) {
    if (name.find('\0') != std::string::npos || path.find('\0') != std::string::npos)
        return ZeroByte;
    std::string_view relative;
    if (!SplitOffFolder(folder, path, relative))
        return Outside;
    // Depth below the folder, component by component, as the OS resolves them.
    long depth = 0;
    std::size_t start = 0;
    while (start <= relative.size()) {
        std::size_t end = start;
        while (end < relative.size() && !IsSeparator(relative[end]))
            ++end;
        const std::string_view component = relative.substr(start, end - start);
        if (component == "..") {
            if (depth == 0)
                return Outside;
            --depth;
        } else if (!component.empty() && component != ".") {
            ++depth;
        }
        start = end + 1;
    }
    return depth == 0 ? TargetFolder : Inside;
}

std::string CZipPathSafety::RelativePart(const std::string& folder, const std::string& path) {
    std::string_view relative;
    return SplitOffFolder(folder, path, relative) ? std::string(relative) : std::string();
}

std::string CZipPathSafety::DirectoryOf(const std::string& relative) {
    std::size_t end = relative.size();
    while (end > 0 && !IsSeparator(relative[end - 1]))
        --end;
    return relative.substr(0, end == 0 ? 0 : end - 1);
}
