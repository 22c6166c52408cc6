#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The archive's bytes going out to an open file, buffered, with the few moves a writer needs
// besides appending: patching a header already written, and cutting the file back to an offset.
// Failures throw std::runtime_error naming the file.
class CZipOutput {
  public:
    CZipOutput(int fd, std::string name);
    CZipOutput(const CZipOutput&) = delete;
    CZipOutput& operator=(const CZipOutput&) = delete;

    void Write(const void* bytes, std::size_t count);
    // Overwrites bytes already written (in the buffer or in the file).
    void WriteAt(std::uint64_t offset, const void* bytes, std::size_t count);
    // Drops everything from offset on; the next write goes there.
    void Truncate(std::uint64_t offset);
    void Flush();
    std::uint64_t Offset() const { return flushed + buffer.size(); }

  private:
    [[noreturn]] void Fail() const;

    int fd;
    std::string name;
    std::vector<unsigned char> buffer;
    std::uint64_t flushed = 0; // bytes in the file, before the buffer
};
