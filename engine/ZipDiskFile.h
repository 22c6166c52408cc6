#pragma once

#include "engine/ZipStream.h"

#include <cstdint>
#include <string>

// A file on disk: the archive (read-only) and every extracted output file.
// Every failure throws CZipException with the errno code and the file's name.
// Positions are 64-bit end to end, so files of 2 GiB and more work.
class CZipDiskFile : public CZipStream {
public:
    CZipDiskFile() = default;
    CZipDiskFile(const char* path, std::uint32_t flags) { Open(path, flags, true); }
    CZipDiskFile(const CZipDiskFile&) = delete;
    CZipDiskFile& operator=(const CZipDiskFile&) = delete;
    ~CZipDiskFile() override;

    bool Open(const char* path, std::uint32_t flags, bool throwOnError) override;
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

private:
    [[noreturn]] void ThrowErrno() const;

    int handle = -1;
    std::string fileName;
};
