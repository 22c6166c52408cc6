#include "sfx/BusyPaths.h"

// A program built for one thread leaves the workers out whole (some linkers keep what nothing calls).
#if !defined(ROZBAL_WORKERS) || ROZBAL_WORKERS != 1

#include "engine/ZipExtraction.h"

#include <algorithm>
#include <functional>

void CBusyPaths::Add(const CZipExtraction& job) {
    Insert(job.path);
    if (!job.writtenPath.empty() && job.writtenPath != job.path)
        Insert(job.writtenPath);
}

void CBusyPaths::Remove(const CZipExtraction& job) {
    Erase(job.path);
    if (!job.writtenPath.empty() && job.writtenPath != job.path)
        Erase(job.writtenPath);
}

bool CBusyPaths::Meets(const std::string& path, std::size_t folderLength) const {
    if (Holds(path))
        return true;
    for (std::size_t i = folderLength + 1; i < path.size(); ++i) {
        if ((path[i] == '/' || path[i] == '\\') && Holds(std::string_view(path).substr(0, i)))
            return true;
    }
    return false;
}

bool CBusyPaths::Holds(std::string_view path) const {
    return std::binary_search(paths.begin(), paths.end(), path, std::less<>());
}

void CBusyPaths::Insert(const std::string& path) {
    paths.insert(std::upper_bound(paths.begin(), paths.end(), path), path);
}

void CBusyPaths::Erase(const std::string& path) {
    const auto found = std::lower_bound(paths.begin(), paths.end(), path);
    if (found != paths.end() && *found == path)
        paths.erase(found);
}

#endif
