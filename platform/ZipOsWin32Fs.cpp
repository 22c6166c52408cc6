// File-system services on Windows: attributes, times, folders, deletion and renaming, through the
// wide calls on long paths. Links (reparse points) are never followed when changing or deleting.
#include "platform/ZipOs.h"
#include "platform/ZipOsWin32Path.h"
#include "platform/ZipPathParts.h"
#include "platform/ZipWindowsNames.h"

#include <cerrno>
#include <ctime>
#include <io.h>
#include <vector>

namespace ZipOs {
namespace {

constexpr std::uint32_t attributeNormal = 0x80;
constexpr std::uint32_t attributeReadOnly = 0x01;
constexpr std::uint32_t unixOwnerWrite = 0200;
// FILETIME counts 100-ns steps from 1601; the engine counts seconds from 1970.
constexpr std::int64_t fileTimeUnitsPerSecond = 10000000;
constexpr std::int64_t secondsFrom1601To1970 = 11644473600LL;

DWORD Attributes(std::uint32_t attributes, int unixMode, bool isDirectory) {
    // A UNIX mode without the owner's write bit means read-only, as the DOS word would.
    if (unixMode >= 0 && (static_cast<std::uint32_t>(unixMode) & unixOwnerWrite) == 0)
        attributes |= attributeReadOnly;
    return ZipWindowsNames::FileAttributes(attributes, isDirectory);
}

constexpr std::uint32_t nanosecondsPerUnit = 100;

FILETIME ToFileTime(std::int64_t seconds, std::uint32_t nanoseconds) {
    const std::int64_t units =
        (seconds + secondsFrom1601To1970) * fileTimeUnitsPerSecond + nanoseconds / nanosecondsPerUnit;
    FILETIME result;
    result.dwLowDateTime = static_cast<DWORD>(units & 0xFFFFFFFF);
    result.dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(units) >> 32);
    return result;
}

// Access time now, modification time as given (-1: now), to the 100 ns that NTFS keeps.
bool SetTimes(HANDLE handle, std::int64_t time, std::uint32_t nanoseconds) {
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    const FILETIME modified = time == -1 ? now : ToFileTime(time, nanoseconds);
    if (::SetFileTime(handle, nullptr, &now, &modified))
        return true;
    SetErrnoFromLastError();
    return false;
}

HANDLE HandleOf(int fd) { return reinterpret_cast<HANDLE>(::_get_osfhandle(fd)); }

bool SetHandleAttributes(HANDLE handle, DWORD attributes) {
    FILE_BASIC_INFO info{}; // zero times: left as they are
    info.FileAttributes = attributes;
    if (::SetFileInformationByHandle(handle, FileBasicInfo, &info, sizeof info))
        return true;
    SetErrnoFromLastError();
    return false;
}

DWORD PathAttributes(const std::string& path) {
    WideText wide;
    if (!ToWinPath(path, wide))
        return INVALID_FILE_ATTRIBUTES;
    const DWORD attributes = ::GetFileAttributesW(wide.data());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        SetErrnoFromLastError();
    return attributes;
}

template <typename Call> bool WithPath(const std::string& path, Call call) {
    WideText wide;
    if (!ToWinPath(path, wide))
        return false;
    if (call(wide.data()))
        return true;
    SetErrnoFromLastError();
    return false;
}

} // namespace

// A link is left alone and reported as success, as on POSIX.
bool ApplyAttributes(const std::string& path, std::uint32_t attributes, int unixMode) {
    const DWORD current = PathAttributes(path);
    if (current == INVALID_FILE_ATTRIBUTES)
        return false;
    if (current & FILE_ATTRIBUTE_REPARSE_POINT)
        return true;
    const DWORD wanted = Attributes(attributes, unixMode, (current & FILE_ATTRIBUTE_DIRECTORY) != 0);
    return WithPath(path, [wanted](const wchar_t* p) { return ::SetFileAttributesW(p, wanted) != 0; });
}

// Opened without following a link, so a link gets the times itself.
bool ApplyModTime(const std::string& path, std::int64_t time, std::uint32_t nanoseconds) {
    WideText wide;
    if (!ToWinPath(path, wide))
        return false;
    const HANDLE handle =
        ::CreateFileW(wide.data(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        SetErrnoFromLastError();
        return false;
    }
    const bool set = SetTimes(handle, time, nanoseconds);
    ::CloseHandle(handle);
    return set;
}

// Windows names its time zone itself; the C runtime asks it.
void PinLocalTimeZone() {}

void PrepareThreads() {}

// Windows schedules by strict priorities: a lower one would let any other program starve the
// workers, so they keep the one they have.
void MarkWorkerThread() {}

bool ApplyFileAttributes(int fd, std::uint32_t attributes, int unixMode) {
    return SetHandleAttributes(HandleOf(fd), Attributes(attributes, unixMode, false));
}

bool ApplyNewFileAttributes(int fd, std::uint32_t attributes, int unixMode) {
    return ApplyFileAttributes(fd, attributes, unixMode);
}

bool ApplyFileModTime(int fd, std::int64_t time, std::uint32_t nanoseconds) {
    return SetTimes(HandleOf(fd), time, nanoseconds);
}

bool CreateDirectoryTree(const std::string& path) {
    // Level by level from the outermost, without recursion: a path may have thousands of them.
    std::string s = path;
    TrimTrailingSeparators(s);
    std::vector<std::string> missing;
    while (!s.empty() && GetPathKind(s) != -1) {
        missing.push_back(s);
        const std::string parent = CZipPathParts(s).GetDirectoryPath();
        if (parent == s)
            break;
        s = parent;
    }
    for (auto level = missing.rbegin(); level != missing.rend(); ++level)
        if (!CreateDir(*level) && !(errno == EEXIST && GetPathKind(*level) == -1))
            return false;
    return true;
}

bool CreateDir(const std::string& path) {
    return WithPath(path, [](const wchar_t* p) { return ::CreateDirectoryW(p, nullptr) != 0; });
}

int GetPathKind(const std::string& path) {
    const DWORD attributes = PathAttributes(path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return 0;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? -1 : 1;
}

bool IsDirectoryPath(const std::string& path) { return GetPathKind(path) == -1; }

bool GetCurrentDir(std::string& out) {
    const DWORD size = ::GetCurrentDirectoryW(0, nullptr);
    if (size == 0)
        return false;
    std::vector<wchar_t> buffer(size);
    const DWORD length = ::GetCurrentDirectoryW(size, buffer.data());
    if (length == 0 || length >= size)
        return false;
    out = Narrow(buffer.data(), length);
    return true;
}

// The current folder takes no long form.
bool ChangeDir(const std::string& path) {
    if (path.find('\0') != std::string::npos) {
        errno = EINVAL;
        return false;
    }
    if (::SetCurrentDirectoryW(Widen(path).data()))
        return true;
    SetErrnoFromLastError();
    return false;
}

bool IsRemovableDrive(const std::string& path) {
    WideText wide;
    if (!ToWinPath(path, wide))
        return false;
    // \\?\X:\... : the drive's root is \\?\X:\ .
    if (wide.size() < 8 || wide[5] != L':' || wide[2] != L'?')
        return false;
    const wchar_t root[] = {wide[0], wide[1], wide[2], wide[3], wide[4], wide[5], L'\\', L'\0'};
    return ::GetDriveTypeW(root) == DRIVE_REMOVABLE;
}

bool RemoveFile(const std::string& path) {
    if (DeletePath(path))
        return true;
    // A file this run stamped read-only before its check failed: DeleteFileW refuses it.
    const DWORD attributes = PathAttributes(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
        !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
        WithPath(path,
                 [attributes](const wchar_t* p) {
                     return ::SetFileAttributesW(p, attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY)) != 0;
                 }) &&
        DeletePath(path))
        return true;
    return false;
}

// Like the original platform's move, an existing file under the new name is never replaced.
bool RenameFile(const std::string& existing, const std::string& newPath) {
    WideText from;
    WideText to;
    if (ToWinPath(existing, from) && ToWinPath(newPath, to)) {
        if (::MoveFileExW(from.data(), to.data(), 0))
            return true;
        SetErrnoFromLastError();
    }
    return false;
}

bool PathExists(const std::string& path) { return PathAttributes(path) != INVALID_FILE_ATTRIBUTES; }

bool MakeNormal(const std::string& path) { return ApplyAttributes(path, attributeNormal); }

// Deletes a link itself, never what it points to, and never a folder.
bool DeletePath(const std::string& path) {
    return WithPath(path, [](const wchar_t* p) { return ::DeleteFileW(p) != 0; });
}

} // namespace ZipOs
