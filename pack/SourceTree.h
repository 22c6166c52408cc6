#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One file, folder or symbolic link to pack.
struct PackItem {
    enum Kind { File, Folder, Link };
    Kind kind = File;
    std::string path;       // where it is on disk
    std::string name;       // in the archive: '/' between folders, a folder's ending in '/'
    std::uint32_t mode = 0; // st_mode
    std::int64_t mtime = 0;
    std::uint64_t size = 0; // a file's bytes; a link's target length
    std::string target;     // a link's
};

struct SourceRules {
    bool keepOutsideLinks = false; // else a link leading out of the archive's folder is refused
    bool clampTimes = false;       // SOURCE_DATE_EPOCH: no time later than clampTo
    std::int64_t clampTo = 0;
};

// Everything under the given sources, each stored under its own last component, folders
// recursively, links as links (never followed); in byte order of their archive names.
// Throws std::runtime_error naming the path that cannot be read, or a link refused.
std::vector<PackItem> ScanSources(const std::vector<std::string>& sources, const SourceRules& rules);

// Whether a link stored at name (in the archive) with this target leads out of the archive's
// folder: an absolute target, or one whose ".." climb above it.
bool LinkLeavesArchive(const std::string& name, const std::string& target);
