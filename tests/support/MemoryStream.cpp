#include "support/MemoryStream.h"

#include "engine/ZipDiskFile.h"
#include "engine/ZipException.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <unistd.h>

namespace ziptest {

std::int64_t MemoryStream::Seek(std::int64_t offset, int origin) {
    const std::int64_t base = origin == FromBegin ? 0 : origin == FromCurrent ? position : GetLength();
    if (base + offset < 0)
        CZipException::Throw(EINVAL, name); // as lseek refuses a negative position
    position = base + offset;
    return position;
}

bool MemoryStream::SetLength(std::int64_t length) {
    data.resize(static_cast<std::size_t>(length));
    return true;
}

std::uint32_t MemoryStream::Read(void* buffer, std::uint32_t count) {
    ++reads;
    const std::int64_t left = std::max<std::int64_t>(GetLength() - position, 0);
    std::int64_t n = std::min<std::int64_t>(count, left);
    if (piece != 0)
        n = std::min<std::int64_t>(n, piece);
    if (n > 0)
        std::memcpy(buffer, data.data() + position, static_cast<std::size_t>(n));
    position += n;
    return static_cast<std::uint32_t>(n);
}

void MemoryStream::Write(const void* buffer, std::uint32_t count) {
    const auto end = static_cast<std::size_t>(position) + count;
    if (data.size() < end)
        data.resize(end);
    std::memcpy(&data[static_cast<std::size_t>(position)], buffer, count);
    position = static_cast<std::int64_t>(end);
}

namespace {

class TempDiskFile : public CZipDiskFile {
  public:
    explicit TempDiskFile(std::string path) : path(std::move(path)) {}
    ~TempDiskFile() override {
        Close();
        std::remove(path.c_str());
    }
    const std::string path;
};

} // namespace

const char* StreamKindName(StreamKind kind) {
    switch (kind) {
    case StreamKind::Memory:
        return "Memory";
    case StreamKind::ShortPieces:
        return "ShortPieces";
    default:
        return "DiskFile";
    }
}

std::unique_ptr<CZipStream> MakeStream(StreamKind kind, const std::string& bytes) {
    switch (kind) {
    case StreamKind::Memory:
        return std::make_unique<MemoryStream>(bytes);
    case StreamKind::ShortPieces:
        return std::make_unique<ShortReadStream>(bytes, 7);
    default:
        break;
    }
    static int counter = 0;
    const std::string path =
        ::testing::TempDir() + "rozbal-stream-" + std::to_string(::getpid()) + "-" + std::to_string(++counter) + ".zip";
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    auto file = std::make_unique<TempDiskFile>(path);
    file->Open(path.c_str(), CZipStream::OpenRead | CZipStream::OpenNoTruncate | CZipStream::OpenNativePath, true);
    return file;
}

} // namespace ziptest
