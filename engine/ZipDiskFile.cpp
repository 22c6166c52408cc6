#include "engine/ZipDiskFile.h"

#include "engine/ZipException.h"
#include "platform/ZipOs.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

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
    readAheadOn = readOnly;
    createdHere = (flags & OpenCreate) && (flags & OpenExclusive);
    DropReadAhead();
    osPosition = 0;
    knownLength = -1;
    return true;
}

bool CZipDiskFile::OpenUnnamed(const std::string& directory, const std::string& path) {
    if (!IsClosed())
        Close();
    return TakeUnnamed(ZipOs::CreateUnnamedFile(directory), path);
}

bool CZipDiskFile::OpenUnnamedIn(int folder, const std::string& path) {
    if (!IsClosed())
        Close();
    return TakeUnnamed(ZipOs::CreateUnnamedFileIn(folder), path);
}

bool CZipDiskFile::TakeUnnamed(int fd, const std::string& path) {
    if (fd == -1)
        return false;
    handle = fd;
    fileName = path;
    readAheadOn = false;
    createdHere = true;
    DropReadAhead();
    osPosition = 0;
    knownLength = -1;
    return true;
}

bool CZipDiskFile::LinkAs(const std::string& path) { return handle != -1 && ZipOs::LinkUnnamedFile(handle, path); }

bool CZipDiskFile::LinkIn(int folder, const std::string& name) {
    return handle != -1 && ZipOs::LinkUnnamedFileIn(handle, folder, name);
}

void CZipDiskFile::Close() {
    if (handle == -1)
        return;
    const int fd = handle;
    handle = -1;
    readAheadOn = false;
    DropReadAhead();
    readAhead.reset();
    if (!ZipOs::CloseFile(fd))
        ThrowErrno();
    fileName.clear();
}

void CZipDiskFile::Flush() {
    if (!ZipOs::FlushFile(handle))
        ThrowErrno();
}

std::int64_t CZipDiskFile::GetPosition() {
    if (readAheadOn)
        return osPosition - (aheadEnd - aheadPos);
    const std::int64_t position = ZipOs::SeekFile(handle, 0, FromCurrent);
    if (position == -1)
        ThrowErrno();
    return position;
}

std::int64_t CZipDiskFile::Seek(std::int64_t offset, int origin) {
    if (readAheadOn && aheadEnd != 0 && origin != FromEnd) {
        // Within the block no system call is needed. A relative step is only
        // added when it is short, so no hostile offset can overflow the sum.
        const std::int64_t blockStart = osPosition - aheadEnd;
        const std::int64_t current = blockStart + aheadPos;
        const std::int64_t step = readAheadSize;
        if (origin == FromBegin || (offset >= -step && offset <= step)) {
            const std::int64_t target = origin == FromBegin ? offset : current + offset;
            if (target >= blockStart && target <= osPosition) {
                aheadPos = static_cast<std::uint32_t>(target - blockStart);
                return target;
            }
        }
        // The descriptor stands past the bytes still held; a step that far
        // below zero is refused as the OS would refuse it.
        if (origin == FromCurrent && __builtin_sub_overflow(offset, std::int64_t{aheadEnd - aheadPos}, &offset)) {
            errno = EINVAL;
            ThrowErrno();
        }
    }
    DropReadAhead();
    const std::int64_t position = ZipOs::SeekFile(handle, offset, origin);
    if (position == -1)
        ThrowErrno();
    osPosition = position;
    return position;
}

std::int64_t CZipDiskFile::GetLength() {
    if (readAheadOn && knownLength != -1)
        return knownLength;
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
    if (readAheadOn)
        knownLength = end;
    return end;
}

bool CZipDiskFile::SetLength(std::int64_t length) { return ZipOs::TruncateFile(handle, length); }

std::int64_t CZipDiskFile::OsRead(void* buffer, std::uint32_t count) {
    errno = 0;
    const std::int64_t n = ZipOs::ReadFile(handle, buffer, count);
    if (n < 0) {
        if (errno != 0)
            ThrowErrno();
        return 0;
    }
    osPosition += n;
    return n;
}

std::uint32_t CZipDiskFile::Read(void* buffer, std::uint32_t count) {
    if (readAheadOn)
        return BufferedRead(static_cast<unsigned char*>(buffer), count);
    return static_cast<std::uint32_t>(OsRead(buffer, count));
}

std::uint32_t CZipDiskFile::BufferedRead(unsigned char* buffer, std::uint32_t count) {
    const std::uint32_t done = std::min(count, aheadEnd - aheadPos);
    if (done != 0)
        std::memcpy(buffer, readAhead.get() + aheadPos, done);
    aheadPos += done;
    const std::uint32_t rest = count - done;
    if (rest == 0)
        return done;
    // A large read takes the rest from the OS: refilling the block would copy
    // every chunk of a large entry twice. The spent block is dropped, since the
    // OS position moves past the bytes it stands for.
    if (count >= directReadSize) {
        DropReadAhead();
        return done + static_cast<std::uint32_t>(OsRead(buffer + done, rest));
    }
    if (!readAhead)
        readAhead = std::make_unique<unsigned char[]>(readAheadSize);
    DropReadAhead();
    aheadEnd = static_cast<std::uint32_t>(OsRead(readAhead.get(), readAheadSize));
    const std::uint32_t more = std::min(rest, aheadEnd);
    if (more != 0)
        std::memcpy(buffer + done, readAhead.get(), more);
    aheadPos = more;
    return done + more;
}

void CZipDiskFile::Write(const void* buffer, std::uint32_t count) {
    if (!ZipOs::WriteFile(handle, buffer, count))
        ThrowErrno();
}

CZipStream::StampResult CZipDiskFile::Stamp(std::int64_t time, std::uint32_t nanoseconds, std::uint32_t attributes,
                                            int unixMode) {
    if (handle == -1)
        return NotAFile;
    // The time first: a read-only attribute could refuse it afterwards.
    const bool done = ZipOs::ApplyFileModTime(handle, time, nanoseconds) &&
                      (createdHere ? ZipOs::ApplyNewFileAttributes(handle, attributes, unixMode)
                                   : ZipOs::ApplyFileAttributes(handle, attributes, unixMode));
    return done ? Stamped : StampFailed;
}
