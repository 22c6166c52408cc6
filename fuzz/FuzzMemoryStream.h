#pragma once

#include "engine/ZipException.h"
#include "engine/ZipStream.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// A read-only CZipStream over the fuzzer's bytes. It hands them out in pieces of
// at most `piece` bytes (0: no limit), as a pipe would, so that one input also
// tests the reader's loops over short reads. Reading an archive never writes:
// a write or a resize aborts the run.
class CFuzzMemoryStream : public CZipStream {
  public:
    CFuzzMemoryStream(const std::uint8_t* bytes, std::size_t size, std::uint32_t pieceSize = 0)
        : data(bytes, bytes + size), piece(pieceSize) {}

    void Close() override { closed = true; }
    void Flush() override {}
    std::int64_t GetPosition() override { return position; }
    std::int64_t Seek(std::int64_t offset, int origin) override {
        const std::int64_t base = origin == FromBegin ? 0 : origin == FromCurrent ? position : GetLength();
        if (base + offset < 0)
            CZipException::Throw(EINVAL, name); // as lseek refuses a negative position
        position = base + offset;
        return position;
    }
    std::int64_t GetLength() override { return static_cast<std::int64_t>(data.size()); }
    bool SetLength(std::int64_t) override { std::abort(); }
    std::string GetFilePath() const override { return name; }
    std::uint32_t Read(void* buffer, std::uint32_t count) override {
        const std::int64_t left = std::max<std::int64_t>(GetLength() - position, 0);
        std::int64_t n = std::min<std::int64_t>(count, left);
        if (piece != 0)
            n = std::min<std::int64_t>(n, piece);
        if (n > 0)
            std::memcpy(buffer, data.data() + position, static_cast<std::size_t>(n));
        position += n;
        return static_cast<std::uint32_t>(n);
    }
    void Write(const void*, std::uint32_t) override { std::abort(); }
    bool IsClosed() const override { return closed; }

  private:
    std::vector<std::uint8_t> data;
    std::uint32_t piece;
    std::string name = "fuzz.zip";
    std::int64_t position = 0;
    bool closed = false;
};
