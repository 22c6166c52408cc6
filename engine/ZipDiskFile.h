#pragma once

#include "engine/ZipStream.h"

#include <cstdint>
#include <memory>
#include <string>

// A file on disk: the archive (read-only) and every extracted output file.
// Every failure throws CZipException with the errno code and the file's name.
// Positions are 64-bit end to end, so files of 2 GiB and more work.
//
// A file opened for reading only is read through a read-ahead block: the
// headers come a few bytes at a time with short seeks between them, which the
// block serves without a system call. Large reads go straight to the caller.
class CZipDiskFile : public CZipStream {
  public:
    CZipDiskFile() = default;
    CZipDiskFile(const char* path, std::uint32_t flags) { Open(path, flags, true); }
    CZipDiskFile(const CZipDiskFile&) = delete;
    CZipDiskFile& operator=(const CZipDiskFile&) = delete;
    ~CZipDiskFile() override;

    bool Open(const char* path, std::uint32_t flags, bool throwOnError) override;
    // A new file without a name in directory, open for writing, to become `path` once LinkAs names
    // it; closed before, it is gone. False with errno set (EOPNOTSUPP: the system has none).
    bool OpenUnnamed(const std::string& directory, const std::string& path);
    // Gives the unnamed file open here its name; false with errno set (EEXIST: something is there).
    bool LinkAs(const std::string& path);
    // The same two in a folder held open (ZipOs::OpenFolder); name is the file's name in it.
    bool OpenUnnamedIn(int folder, const std::string& path);
    bool LinkIn(int folder, const std::string& name);
    void Close() override;
    void Flush() override;
    std::int64_t GetPosition() override;
    std::int64_t Seek(std::int64_t offset, int origin) override;
    std::int64_t GetLength() override;
    bool SetLength(std::int64_t length) override;
    std::string GetFilePath() const override { return fileName; }
    std::uint32_t Read(void* buffer, std::uint32_t count) override;
    void Write(const void* buffer, std::uint32_t count) override;
    bool IsClosed() const override { return handle == -1; }
    // The descriptor, for positioned reads beside this object's own (ZipOs::ReadFileAt); -1 when closed.
    int GetHandle() const { return handle; }
    StampResult Stamp(std::int64_t time, std::uint32_t nanoseconds, std::uint32_t attributes, int unixMode) override;

    static constexpr std::uint32_t readAheadSize = 65536;
    // Reads of at least this many bytes bypass the block.
    static constexpr std::uint32_t directReadSize = readAheadSize / 4;

  private:
    [[noreturn]] void ThrowErrno() const;
    std::int64_t OsRead(void* buffer, std::uint32_t count);
    std::uint32_t BufferedRead(unsigned char* buffer, std::uint32_t count);
    void DropReadAhead() { aheadPos = aheadEnd = 0; }
    bool TakeUnnamed(int fd, const std::string& path);

    int handle = -1;
    std::string fileName;
    bool readAheadOn = false;
    std::unique_ptr<unsigned char[]> readAhead;
    std::uint32_t aheadPos = 0; // next byte to hand out
    std::uint32_t aheadEnd = 0; // bytes held
    // The descriptor's own position, the end of the block, while reading ahead.
    std::int64_t osPosition = 0;
    // Created by this Open (exclusively): its mode is known without asking.
    bool createdHere = false;
    // A read-only file's length, asked once.
    std::int64_t knownLength = -1;
};
