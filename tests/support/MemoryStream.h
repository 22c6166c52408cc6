#pragma once

#include "engine/ZipStream.h"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

namespace ziptest {

// A CZipStream over bytes in memory, for running the reader without a disk file.
class MemoryStream : public CZipStream {
  public:
    explicit MemoryStream(std::string bytes = {}, std::string path = "memory.zip")
        : data(std::move(bytes)), name(std::move(path)) {}

    void Close() override { closed = true; }
    void Flush() override {}
    std::int64_t GetPosition() override { return position; }
    std::int64_t Seek(std::int64_t offset, int origin) override;
    std::int64_t GetLength() override { return static_cast<std::int64_t>(data.size()); }
    bool SetLength(std::int64_t length) override;
    std::string GetFilePath() const override { return name; }
    std::uint32_t Read(void* buffer, std::uint32_t count) override;
    void Write(const void* buffer, std::uint32_t count) override;
    bool IsClosed() const override { return closed; }

    std::string data;
    std::string name;
    std::int64_t position = 0;
    bool closed = false;
    int reads = 0; // Read calls made, to see how the reader uses its stream

  protected:
    // At most this many bytes per Read; 0 for no limit.
    std::uint32_t piece = 0;
};

// Hands its bytes out in pieces of at most `piece` bytes, as a pipe or a network
// file system may: a short count here is not the end of the data.
class ShortReadStream : public MemoryStream {
  public:
    ShortReadStream(std::string bytes, std::uint32_t pieceSize) : MemoryStream(std::move(bytes)) { piece = pieceSize; }
};

// The kinds of stream every reader test runs on.
enum class StreamKind { Memory, ShortPieces, DiskFile };
const char* StreamKindName(StreamKind kind);
// A stream holding bytes, positioned at 0. A disk file lives in the test's
// temporary folder and is removed with the stream.
std::unique_ptr<CZipStream> MakeStream(StreamKind kind, const std::string& bytes);

} // namespace ziptest
