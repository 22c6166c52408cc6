// POSIX descriptors behind the engine's file object.
#include "platform/ZipOs.h"
#include "platform/ZipOsPosixPath.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ZipOs {

int OpenFile(const std::string& path, unsigned flags) {
    // The OS would see a shorter path than the one asked for.
    if (path.find('\0') != std::string::npos) {
        errno = EINVAL;
        return -1;
    }
    const std::string native = (flags & FileNativePath) ? path : ToNativePath(path);
    int oflag = O_CLOEXEC;
    if ((flags & FileRead) && (flags & FileWrite))
        oflag |= O_RDWR;
    else if (flags & FileWrite)
        oflag |= O_WRONLY;
    else
        oflag |= O_RDONLY;
    if (flags & FileCreate)
        oflag |= O_CREAT;
    if (flags & FileExclusive)
        oflag |= O_EXCL;
    if (flags & FileTruncate)
        oflag |= O_TRUNC;
    const bool readOnly = !(flags & FileWrite);
    // A FIFO or a device named like an archive volume must not block us; only
    // regular files are read.
    if (readOnly)
        oflag |= O_NONBLOCK;
    int fd;
    do
        fd = ::open(native.c_str(), oflag, newFileMode);
    while (fd == -1 && errno == EINTR);
    if (fd == -1)
        return -1;
    if (readOnly) {
        struct stat st;
        const bool statted = ::fstat(fd, &st) == 0;
        if (!statted || !S_ISREG(st.st_mode)) {
            const int error = !statted ? errno : S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
            ::close(fd);
            errno = error;
            return -1;
        }
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    }
    return fd;
}

bool CloseFile(int fd) { return ::close(fd) == 0; }

std::int64_t ReadFile(int fd, void* buffer, std::uint32_t count) {
    ssize_t n;
    do
        n = ::read(fd, buffer, count);
    while (n == -1 && errno == EINTR);
    return n;
}

bool WriteFile(int fd, const void* buffer, std::uint32_t count) {
    const char* p = static_cast<const char*>(buffer);
    std::size_t left = count;
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

std::int64_t SeekFile(int fd, std::int64_t offset, int origin) {
    const int whence = origin == 0 ? SEEK_SET : origin == 1 ? SEEK_CUR : SEEK_END;
    return ::lseek(fd, static_cast<off_t>(offset), whence);
}

std::int64_t ReadFileAt(int fd, void* buffer, std::uint32_t count, std::int64_t offset) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    std::uint32_t done = 0;
    while (done < count) {
        const ssize_t n = ::pread(fd, bytes + done, count - done, static_cast<off_t>(offset) + done);
        if (n == -1 && errno == EINTR)
            continue;
        if (n == -1)
            return -1;
        if (n == 0)
            break;
        done += static_cast<std::uint32_t>(n);
    }
    return done;
}

bool FlushFile(int fd) { return ::fsync(fd) == 0; }

bool TruncateFile(int fd, std::int64_t length) { return ::ftruncate(fd, static_cast<off_t>(length)) == 0; }

// O_NOFOLLOW refuses a symlink put where the folder was; O_TMPFILE gives a file that no name leads to
// until it is linked, so a killed run leaves nothing behind.
namespace {

int OpenUnnamedAt(int folder, const char* path) {
    int fd;
    do
        fd = ::openat(folder, path, O_TMPFILE | O_WRONLY | O_CLOEXEC | O_NOFOLLOW, newFileMode);
    while (fd == -1 && errno == EINTR);
    // Kernels and file systems without unnamed files answer in one of these ways.
    if (fd == -1 && (errno == EISDIR || errno == EINVAL || errno == ENOSYS))
        errno = EOPNOTSUPP;
    return fd;
}

bool LinkAt(int fd, int folder, const char* path) {
    if (::linkat(fd, "", folder, path, AT_EMPTY_PATH) == 0)
        return true;
    // Older kernels link a descriptor so only for a process allowed to search every folder; the
    // descriptor's entry under /proc does it for anyone.
    if (errno != ENOENT && errno != EPERM)
        return false;
    char self[40];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    return ::linkat(AT_FDCWD, self, folder, path, AT_SYMLINK_FOLLOW) == 0;
}

} // namespace

int CreateUnnamedFile(const std::string& directory) {
    if (directory.find('\0') != std::string::npos) {
        errno = EINVAL;
        return -1;
    }
    return OpenUnnamedAt(AT_FDCWD, ToNativePath(directory).c_str());
}

bool LinkUnnamedFile(int fd, const std::string& path) {
    if (path.find('\0') != std::string::npos) {
        errno = EINVAL;
        return false;
    }
    return LinkAt(fd, AT_FDCWD, ToNativePath(path).c_str());
}

// O_PATH asks for no permission to read the folder: one that may only be written and searched
// takes files as well.
int OpenFolder(const std::string& path) {
    if (path.find('\0') != std::string::npos) {
        errno = EINVAL;
        return -1;
    }
    int fd;
    do
        fd = ::open(ToNativePath(path).c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    while (fd == -1 && errno == EINTR);
    return fd;
}

void CloseFolder(int folder) { ::close(folder); }

int CreateUnnamedFileIn(int folder) { return OpenUnnamedAt(folder, "."); }

bool LinkUnnamedFileIn(int fd, int folder, const std::string& name) {
    // A separator would make it a path below the folder, which nothing walked.
    if (name.empty() || name.find_first_of(std::string("/\0", 2)) != std::string::npos || name == "." ||
        name == "..") {
        errno = EINVAL;
        return false;
    }
    return LinkAt(fd, folder, name.c_str());
}

} // namespace ZipOs
