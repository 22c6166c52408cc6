// Output paths below a target folder: folders made and checked one level at a time with lstat, so
// that no symlink on the way is ever followed; the final rename of an extracted file or link; and
// the links themselves.
#include "platform/ZipOs.h"
#include "platform/ZipOsPosixPath.h"

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace ZipOs {
namespace {

constexpr mode_t newFolderMode = 0777; // the umask applies

// What stands at a path that exists, judged without following it.
FolderWalk Judge(const struct stat& st) {
    if (S_ISLNK(st.st_mode))
        return FolderWalk::Link;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return FolderWalk::Failed;
    }
    return FolderWalk::Ready;
}

std::string& FolderAsGiven() {
    static std::string folder;
    return folder;
}

} // namespace

void KeepFolderAsGiven(const std::string& folder) { FolderAsGiven() = folder; }

std::string ToNativePath(std::string path) {
    const std::string& given = FolderAsGiven();
    std::size_t start = 0;
    if (!given.empty() && path.compare(0, given.size(), given) == 0 &&
        (path.size() == given.size() || path[given.size()] == '\\' || path[given.size()] == '/'))
        start = given.size();
    for (std::size_t i = start; i < path.size(); ++i)
        if (path[i] == '\\')
            path[i] = '/';
    return path;
}

FolderWalk WalkFoldersBelow(const std::string& base, const std::string& relative, bool create) {
    if (relative.find('\0') != std::string::npos || base.find('\0') != std::string::npos) {
        errno = EINVAL;
        return FolderWalk::Failed;
    }
    std::string joined = base;
    if (!joined.empty() && joined.back() != '\\' && joined.back() != '/')
        joined += '\\';
    std::size_t start = joined.size(); // the conversion keeps every byte in its place
    const std::string native = ToNativePath(joined + relative);
    bool missing = false; // below a folder this walk made, nothing can be a link
    while (start < native.size()) {
        std::size_t end = native.find('/', start);
        if (end == std::string::npos)
            end = native.size();
        const std::size_t length = end - start;
        const bool skip = length == 0 || (length == 1 && native[start] == '.');
        start = end + 1;
        if (skip)
            continue;
        const std::string level = native.substr(0, end);
        struct stat st;
        if (!missing) {
            if (::lstat(level.c_str(), &st) == 0) {
                const FolderWalk kind = Judge(st);
                if (kind != FolderWalk::Ready)
                    return kind;
                continue;
            }
            if (errno != ENOENT)
                return FolderWalk::Failed;
            if (!create)
                return FolderWalk::Ready;
            missing = true;
        }
        if (::mkdir(level.c_str(), newFolderMode) == 0)
            continue;
        // Made meanwhile by someone else (or a ".." level): judge what is there now.
        if (errno != EEXIST || ::lstat(level.c_str(), &st) != 0)
            return FolderWalk::Failed;
        const FolderWalk kind = Judge(st);
        if (kind != FolderWalk::Ready)
            return kind;
    }
    return FolderWalk::Ready;
}

// Every byte but the separator and the zero byte (refused before) is a name character here.
std::string StorableName(const std::string& name) { return name; }

bool ReplaceFile(const std::string& from, const std::string& to) {
    if (from.find('\0') != std::string::npos || to.find('\0') != std::string::npos) {
        errno = EINVAL;
        return false;
    }
    return std::rename(ToNativePath(from).c_str(), ToNativePath(to).c_str()) == 0;
}

bool SupportsSymbolicLinks() { return true; }

// symlink(2) never replaces what is at path, a dangling link included.
bool CreateSymbolicLink(const std::string& path, const std::string& target) {
    if (path.find('\0') != std::string::npos || target.find('\0') != std::string::npos) {
        errno = EINVAL;
        return false;
    }
    return ::symlink(target.c_str(), ToNativePath(path).c_str()) == 0;
}

} // namespace ZipOs
