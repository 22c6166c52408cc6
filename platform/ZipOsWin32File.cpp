// Win32 handles behind the engine's file object, as C runtime descriptors.
#include "platform/ZipOs.h"
#include "platform/ZipOsWin32Path.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <io.h>
#include <mutex>
#include <utility>
#include <vector>

namespace ZipOs {
namespace {

std::mutex positionedLock;
// Descriptor and its second handle (ReadFileAt): one or two archive files are open at a time.
std::vector<std::pair<int, HANDLE>> positionedHandles;

std::vector<std::pair<int, HANDLE>>::iterator FindPositioned(int fd) {
    return std::find_if(positionedHandles.begin(), positionedHandles.end(),
                        [fd](const std::pair<int, HANDLE>& known) { return known.first == fd; });
}

HANDLE PositionedHandle(int fd) {
    const std::lock_guard<std::mutex> hold(positionedLock);
    const auto found = FindPositioned(fd);
    if (found != positionedHandles.end())
        return found->second;
    const auto own = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    if (own == INVALID_HANDLE_VALUE)
        return own;
    // The archive is open for reading with others reading beside it; a second reader is let in.
    const HANDLE second = ::ReOpenFile(own, GENERIC_READ, FILE_SHARE_READ, 0);
    if (second != INVALID_HANDLE_VALUE)
        positionedHandles.emplace_back(fd, second);
    return second;
}

void ForgetPositionedHandle(int fd) {
    const std::lock_guard<std::mutex> hold(positionedLock);
    const auto found = FindPositioned(fd);
    if (found == positionedHandles.end())
        return;
    ::CloseHandle(found->second);
    positionedHandles.erase(found);
}

} // namespace

int OpenFile(const std::string& path, unsigned flags) {
    WideText wide;
    if (!ToWinPath(path, wide))
        return -1;
    const bool write = (flags & FileWrite) != 0;
    DWORD access = 0;
    if ((flags & FileRead) || !write)
        access |= GENERIC_READ;
    if (write)
        access |= GENERIC_WRITE;
    DWORD disposition = OPEN_EXISTING;
    if ((flags & FileCreate) && (flags & FileExclusive))
        disposition = CREATE_NEW;
    else if ((flags & FileCreate) && (flags & FileTruncate))
        disposition = CREATE_ALWAYS;
    else if (flags & FileCreate)
        disposition = OPEN_ALWAYS;
    else if (flags & FileTruncate)
        disposition = TRUNCATE_EXISTING;
    // Readers share with readers; a file being written can still be read, and deleted when a
    // failed entry's file is removed before its handle is closed.
    const DWORD share = write ? FILE_SHARE_READ | FILE_SHARE_DELETE : FILE_SHARE_READ;
    const HANDLE handle =
        ::CreateFileW(wide.data(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        SetErrnoFromLastError();
        return -1;
    }
    // Only files on disk are read: never a pipe, a console or another device.
    if (!write && ::GetFileType(handle) != FILE_TYPE_DISK) {
        ::CloseHandle(handle);
        errno = EINVAL;
        return -1;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY | (write ? 0 : _O_RDONLY));
    if (fd == -1) {
        ::CloseHandle(handle);
        errno = EMFILE;
    }
    return fd;
}

bool CloseFile(int fd) {
    ForgetPositionedHandle(fd);
    return ::_close(fd) == 0;
}

// The C runtime counts in int: a count past INT_MAX would come back negative, so larger ones go in pieces.
constexpr std::uint32_t largestPiece = 1u << 30;

std::int64_t ReadFile(int fd, void* buffer, std::uint32_t count) {
    char* p = static_cast<char*>(buffer);
    std::int64_t done = 0;
    while (count > 0) {
        const int n = ::_read(fd, p, std::min(count, largestPiece));
        if (n < 0)
            return done > 0 ? done : -1;
        if (n == 0)
            break;
        done += n;
        p += n;
        count -= static_cast<std::uint32_t>(n);
    }
    return done;
}

bool WriteFile(int fd, const void* buffer, std::uint32_t count) {
    const char* p = static_cast<const char*>(buffer);
    std::uint32_t left = count;
    while (left > 0) {
        const int n = ::_write(fd, p, std::min(left, largestPiece));
        if (n < 0)
            return false;
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        p += n;
        left -= static_cast<std::uint32_t>(n);
    }
    return true;
}

std::int64_t SeekFile(int fd, std::int64_t offset, int origin) {
    const int whence = origin == 0 ? SEEK_SET : origin == 1 ? SEEK_CUR : SEEK_END;
    return ::_lseeki64(fd, offset, whence);
}

// A positioned read on Windows moves the handle's position as well, which would pull the archive's
// own sequential reads away: these go through a second handle of the same file instead, opened at
// the first such read and closed with the descriptor. Reads at given offsets on one handle may run
// on several threads at once.
std::int64_t ReadFileAt(int fd, void* buffer, std::uint32_t count, std::int64_t offset) {
    const HANDLE handle = PositionedHandle(fd);
    if (handle == INVALID_HANDLE_VALUE) {
        SetErrnoFromLastError();
        return -1;
    }
    char* p = static_cast<char*>(buffer);
    std::int64_t done = 0;
    while (count > 0) {
        OVERLAPPED at{};
        const auto position = static_cast<std::uint64_t>(offset + done);
        at.Offset = static_cast<DWORD>(position);
        at.OffsetHigh = static_cast<DWORD>(position >> 32);
        DWORD n = 0;
        if (!::ReadFile(handle, p, std::min(count, largestPiece), &n, &at)) {
            if (::GetLastError() == ERROR_HANDLE_EOF)
                break;
            SetErrnoFromLastError();
            return done > 0 ? done : -1;
        }
        if (n == 0)
            break;
        done += n;
        p += n;
        count -= n;
    }
    return done;
}

bool FlushFile(int fd) {
    if (::FlushFileBuffers(reinterpret_cast<HANDLE>(::_get_osfhandle(fd))))
        return true;
    SetErrnoFromLastError();
    return false;
}

bool TruncateFile(int fd, std::int64_t length) { return ::_chsize_s(fd, length) == 0; }

// Windows names every file it creates: outputs are written under a temporary name instead.
int CreateUnnamedFile(const std::string&) {
    errno = EOPNOTSUPP;
    return -1;
}

bool LinkUnnamedFile(int, const std::string&) {
    errno = EOPNOTSUPP;
    return false;
}

int OpenFolder(const std::string&) {
    errno = EOPNOTSUPP;
    return -1;
}

void CloseFolder(int) {}

int CreateUnnamedFileIn(int) {
    errno = EOPNOTSUPP;
    return -1;
}

bool LinkUnnamedFileIn(int, int, const std::string&) {
    errno = EOPNOTSUPP;
    return false;
}

} // namespace ZipOs
