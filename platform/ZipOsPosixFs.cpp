// File-system services on POSIX: attributes, times, directories, deletion and
// renaming, and the front end's operations on an output path.
#include "platform/ZipOs.h"
#include "platform/ZipOsPosixPath.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace ZipOs {
namespace {

constexpr std::uint32_t attributeReadOnly = 0x01; // DOS attribute bits
constexpr std::uint32_t attributeNormal = 0x80;

constexpr mode_t permissionBits = 0777; // never setuid, setgid or sticky
constexpr mode_t allWriteBits = S_IWUSR | S_IWGRP | S_IWOTH;
// Extraction creates a folder's contents after the folder itself, so the owner
// must keep the right to write and search it whatever the entry says.
constexpr mode_t ownerDirectoryBits = S_IWUSR | S_IXUSR;
constexpr mode_t newDirectoryMode = 0777; // the umask applies

constexpr std::size_t firstCwdBufferSize = 256;
constexpr std::size_t maxCwdBufferSize = std::size_t{1} << 20;

// The OS form of an engine path. A zero byte would cut the path short at the
// system call and make it act on another file, so such a path is refused.
bool ToOsPath(const std::string& path, std::string& native) {
    if (path.find('\0') != std::string::npos) {
        errno = EINVAL;
        return false;
    }
    native = ToNativePath(path);
    return true;
}

// The umask can be read only by setting it. The program never changes it, so
// it is read once, at the first use (a thread-safe local static); for that
// instant it is the strictest one, so nothing made meanwhile is left more open.
mode_t ProcessUmask() {
    static const mode_t mask = [] {
        const mode_t old = ::umask(0077);
        ::umask(old);
        return old;
    }();
    return mask;
}

mode_t WantedMode(mode_t current, bool isDirectory, std::uint32_t attributes, int unixMode) {
    mode_t wanted = unixMode >= 0 ? static_cast<mode_t>(unixMode) & permissionBits & ~ProcessUmask() : current;
    if (isDirectory)
        wanted |= ownerDirectoryBits; // a read-only folder could not be filled
    else if (attributes & attributeReadOnly)
        wanted &= ~allWriteBits;
    else if (unixMode < 0)
        wanted |= S_IWUSR;
    return wanted;
}

bool MoveWithoutReplacing(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // A file system without the no-replace flag: look first.
    struct stat st;
    if (::lstat(to.c_str(), &st) == 0) {
        errno = EEXIST;
        return false;
    }
    return ::rename(from.c_str(), to.c_str()) == 0;
}

constexpr std::uint32_t nanosecondsPerSecond = 1000000000;

// Access time now (to the second: time(2) needs no system call), modification time as given
// (-1: now).
void FileTimes(std::int64_t time, std::uint32_t nanoseconds, struct timespec (&times)[2]) {
    const std::time_t now = std::time(nullptr);
    times[0] = {};
    times[1] = {};
    times[0].tv_sec = now;
    times[1].tv_sec = time == -1 ? now : static_cast<std::time_t>(time);
    if (time != -1 && nanoseconds < nanosecondsPerSecond)
        times[1].tv_nsec = static_cast<long>(nanoseconds);
}

} // namespace

// One lstat and at most one chmod: extraction calls this for every file. A
// symlink is never followed; it has no permissions of its own on Linux, so it
// is left alone and reported as success. The lstat-to-chmod window is accepted:
// only someone who can already write the output folder could swap the file.
bool ApplyAttributes(const std::string& path, std::uint32_t attributes, int unixMode) {
    std::string native;
    struct stat st;
    if (!ToOsPath(path, native) || ::lstat(native.c_str(), &st) != 0)
        return false;
    if (S_ISLNK(st.st_mode))
        return true;
    const mode_t current = st.st_mode & 07777;
    const mode_t wanted = WantedMode(current, S_ISDIR(st.st_mode), attributes, unixMode);
    return wanted == current || ::chmod(native.c_str(), wanted) == 0;
}

// utimensat is the only system call. A symlink gets the times itself; its
// target is not touched.
bool ApplyModTime(const std::string& path, std::int64_t time, std::uint32_t nanoseconds) {
    std::string native;
    if (!ToOsPath(path, native))
        return false;
    struct timespec times[2];
    FileTimes(time, nanoseconds, times);
    return ::utimensat(AT_FDCWD, native.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

void PrepareThreads() { ProcessUmask(); }

// A batch thread keeps its weight but does not preempt the running one on wake-up: on small entries
// the placing thread is the one every worker waits on. Where it is refused, nothing changes.
void MarkWorkerThread() {
#ifdef SCHED_BATCH
    const sched_param parameters{};
    ::sched_setscheduler(0, SCHED_BATCH, &parameters);
#endif
}

void PinLocalTimeZone() {
    // The C library's default zone file, named as the TZ variable names a file.
    static constexpr char defaultZone[] = ":/etc/localtime";
    ::setenv("TZ", defaultZone, 0);
}

bool ApplyFileAttributes(int fd, std::uint32_t attributes, int unixMode) {
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return false;
    const mode_t current = st.st_mode & 07777;
    const mode_t wanted = WantedMode(current, S_ISDIR(st.st_mode), attributes, unixMode);
    return wanted == current || ::fchmod(fd, wanted) == 0;
}

// A folder with a default ACL gives a new file the ACL's mode in place of the umask's; a file whose
// wanted mode is the umask's result then keeps the ACL's, as if extracted without a mode.
bool ApplyNewFileAttributes(int fd, std::uint32_t attributes, int unixMode) {
    const mode_t current = newFileMode & ~ProcessUmask();
    const mode_t wanted = WantedMode(current, false, attributes, unixMode);
    return wanted == current || ::fchmod(fd, wanted) == 0;
}

bool ApplyFileModTime(int fd, std::int64_t time, std::uint32_t nanoseconds) {
    struct timespec times[2];
    FileTimes(time, nanoseconds, times);
    return ::futimens(fd, times) == 0;
}

namespace {

// Levels are found in the OS form, where only the slash separates: a folder kept as given may
// hold backslashes in its names.
bool CreateNativeTree(std::string s) {
    while (s.size() > 1 && s.back() == '/')
        s.pop_back();
    if (s.empty() || s == "/")
        return true;
    // The OS refuses every path this long, so no level of it could be made; stopping
    // here also bounds the recursion for a hostile name of thousands of levels.
    if (s.size() >= PATH_MAX) {
        errno = ENAMETOOLONG;
        return false;
    }
    struct stat st;
    if (::stat(s.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return true;
    const std::size_t slash = s.rfind('/');
    if (slash != std::string::npos && !CreateNativeTree(s.substr(0, slash == 0 ? 1 : slash)))
        return false;
    return ::mkdir(s.c_str(), newDirectoryMode) == 0;
}

} // namespace

bool CreateDirectoryTree(const std::string& path) {
    std::string native;
    return ToOsPath(path, native) && CreateNativeTree(native);
}

bool CreateDir(const std::string& path) {
    std::string native;
    return ToOsPath(path, native) && ::mkdir(native.c_str(), newDirectoryMode) == 0;
}

int GetPathKind(const std::string& path) {
    std::string native;
    struct stat st;
    if (!ToOsPath(path, native) || ::stat(native.c_str(), &st) != 0)
        return 0;
    return S_ISDIR(st.st_mode) ? -1 : 1;
}

// Asks the file system; the current directory is never changed.
bool IsDirectoryPath(const std::string& path) { return GetPathKind(path) == -1; }

bool GetCurrentDir(std::string& out) {
    std::vector<char> buffer(firstCwdBufferSize);
    while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE || buffer.size() >= maxCwdBufferSize)
            return false;
        buffer.resize(buffer.size() * 2);
    }
    out = buffer.data();
    return true;
}

bool ChangeDir(const std::string& path) {
    std::string native;
    return ToOsPath(path, native) && ::chdir(native.c_str()) == 0;
}

// Linux paths have no drives; volumes are always looked for as numbered files.
bool IsRemovableDrive(const std::string&) { return false; }

bool RemoveFile(const std::string& path) {
    std::string native;
    if (ToOsPath(path, native) && ::unlink(native.c_str()) == 0)
        return true;
    return false;
}

// Like a move on the original platform, an existing file under the new name is
// never replaced.
bool RenameFile(const std::string& existing, const std::string& newPath) {
    std::string nativeExisting;
    std::string nativeNew;
    if (ToOsPath(existing, nativeExisting) && ToOsPath(newPath, nativeNew) &&
        MoveWithoutReplacing(nativeExisting, nativeNew))
        return true;
    return false;
}

// A dangling symlink exists: it is what would be deleted.
bool PathExists(const std::string& path) {
    std::string native;
    struct stat st;
    return ToOsPath(path, native) && ::lstat(native.c_str(), &st) == 0;
}

bool MakeNormal(const std::string& path) { return ApplyAttributes(path, attributeNormal); }

// unlink removes a symlink itself and never a directory.
bool DeletePath(const std::string& path) {
    std::string native;
    return ToOsPath(path, native) && ::unlink(native.c_str()) == 0;
}

} // namespace ZipOs
