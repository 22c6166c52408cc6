#pragma once

#include <cstdint>
#include <string>

// Random-access byte stream through which the engine reads the archive and
// writes extracted files; the engine never holds an OS handle itself.
class CZipStream {
  public:
    enum OpenFlags : std::uint32_t {
        OpenRead = 0x01,
        OpenWrite = 0x02,
        OpenReadWrite = 0x03,
        ShareDenyWrite = 0x04,
        ShareDenyRead = 0x08,
        ShareDenyNone = 0x0C,
        OpenCreate = 0x20,
        OpenNoTruncate = 0x40,
        // The path came from the OS (the program's own path):
        // it is used as it is, without turning backslashes into slashes.
        OpenNativePath = 0x80,
        // With OpenCreate: fail when the path exists, a symlink included, so nothing is written through it.
        OpenExclusive = 0x100,
    };
    enum SeekOrigin { FromBegin = 0, FromCurrent = 1, FromEnd = 2 };

    virtual ~CZipStream() = default;

    virtual bool Open(const char* /*path*/, std::uint32_t /*flags*/, bool /*throwOnError*/) { return true; }
    virtual void Close() = 0;
    virtual void Flush() = 0;
    virtual std::int64_t GetPosition() = 0;
    virtual std::int64_t Seek(std::int64_t offset, int origin) = 0;
    virtual std::int64_t GetLength() = 0;
    virtual bool SetLength(std::int64_t length) = 0;
    std::int64_t SeekToBegin() { return Seek(0, FromBegin); }
    std::int64_t SeekToEnd() { return Seek(0, FromEnd); }
    virtual std::string GetFilePath() const = 0;
    virtual std::uint32_t Read(void* buffer, std::uint32_t count) = 0;
    virtual void Write(const void* buffer, std::uint32_t count) = 0;
    virtual bool IsClosed() const = 0;

    enum StampResult { NotAFile, Stamped, StampFailed };
    // Sets an extracted file's modification time (seconds since 1970, -1 for
    // now, and nanoseconds), then its attributes, through the open file. A
    // stream that is no file on disk says NotAFile and is left alone.
    virtual StampResult Stamp(std::int64_t /*time*/, std::uint32_t /*nanoseconds*/, std::uint32_t /*attributes*/,
                              int /*unixMode*/) {
        return NotAFile;
    }
};
