#include "engine/ZipDiskFile.h"

#include "engine/ZipException.h"
#include "platform/ZipOs.h"

#include <cerrno>

CZipDiskFile::~CZipDiskFile() {
    // A failing close cannot be reported from a destructor; the descriptor is gone either way.
    if (handle != -1)
        ZipOs::CloseFile(handle);
}

void CZipDiskFile::ThrowErrno() const { CZipException::Throw(errno, fileName); }

bool CZipDiskFile::Open(const char* path, std::uint32_t flags, bool throwOnError) {
    if (!IsClosed())
        Close();
    unsigned osFlags = 0;
    bool readOnly = false;
    if (flags & OpenCreate)
        osFlags |= ZipOs::FileCreate;
    if ((flags & OpenReadWrite) == OpenReadWrite)
        osFlags |= ZipOs::FileRead | ZipOs::FileWrite;
    else if (flags & OpenRead) {
        osFlags |= ZipOs::FileRead;
        readOnly = true;
    } else if (flags & OpenWrite)
        osFlags |= ZipOs::FileWrite;
    if (!(flags & OpenNoTruncate) && !readOnly)
        osFlags |= ZipOs::FileTruncate;
    if (flags & OpenExclusive)
        osFlags |= ZipOs::FileExclusive;
    if (flags & OpenNativePath)
        osFlags |= ZipOs::FileNativePath;
    // The share bits have no POSIX counterpart: other processes are not locked out.
    const int fd = ZipOs::OpenFile(path ? path : "", osFlags);
    if (fd == -1) {
        if (throwOnError)
            ThrowErrno();
        return false;
    }
    handle = fd;
    fileName = path ? path : "";
    return true;
}

void CZipDiskFile::Close() {
    if (handle == -1)
        return;
    const int fd = handle;
    handle = -1;
    if (!ZipOs::CloseFile(fd))
        ThrowErrno();
    fileName.clear();
}

void CZipDiskFile::Flush() {
    if (!ZipOs::FlushFile(handle))
        ThrowErrno();
}

std::int64_t CZipDiskFile::GetPosition() {
    const std::int64_t position = ZipOs::SeekFile(handle, 0, FromCurrent);
    if (position == -1)
        ThrowErrno();
    return position;
}

std::int64_t CZipDiskFile::Seek(std::int64_t offset, int origin) {
    const std::int64_t position = ZipOs::SeekFile(handle, offset, origin);
    if (position == -1)
        ThrowErrno();
    return position;
}

std::int64_t CZipDiskFile::GetLength() {
    const std::int64_t position = ZipOs::SeekFile(handle, 0, FromCurrent);
    if (position == -1)
        ThrowErrno();
    const std::int64_t end = ZipOs::SeekFile(handle, 0, FromEnd);
    const int savedErrno = errno;
    ZipOs::SeekFile(handle, position, FromBegin);
    if (end == -1) {
        errno = savedErrno;
        ThrowErrno();
    }
    return end;
}

bool CZipDiskFile::SetLength(std::int64_t length) { return ZipOs::TruncateFile(handle, length); }

std::uint32_t CZipDiskFile::Read(void* buffer, std::uint32_t count) {
    errno = 0;
    const std::int64_t n = ZipOs::ReadFile(handle, buffer, count);
    if (n < 0) {
        if (errno != 0)
            ThrowErrno();
        return 0;
    }
    return static_cast<std::uint32_t>(n);
}

void CZipDiskFile::Write(const void* buffer, std::uint32_t count) {
    if (!ZipOs::WriteFile(handle, buffer, count))
        ThrowErrno();
}
