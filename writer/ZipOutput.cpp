#include "writer/ZipOutput.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <unistd.h>

namespace {
constexpr std::size_t bufferSize = 1 << 20; // one write call a MiB
}

CZipOutput::CZipOutput(int fd, std::string name) : fd(fd), name(std::move(name)) { buffer.reserve(bufferSize); }

void CZipOutput::Fail() const { throw std::runtime_error(name + ": " + std::strerror(errno)); }

void CZipOutput::Write(const void* bytes, std::size_t count) {
    const auto* p = static_cast<const unsigned char*>(bytes);
    if (buffer.size() + count > bufferSize) {
        Flush();
        if (count >= bufferSize) {
            // Large pieces go straight out rather than through the buffer.
            for (std::size_t done = 0; done < count;) {
                const ssize_t n = ::write(fd, p + done, count - done);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    Fail();
                done += static_cast<std::size_t>(n);
            }
            flushed += count;
            return;
        }
    }
    buffer.insert(buffer.end(), p, p + count);
}

void CZipOutput::WriteAt(std::uint64_t offset, const void* bytes, std::size_t count) {
    const auto* p = static_cast<const unsigned char*>(bytes);
    // The part before the buffer is in the file already.
    while (count > 0 && offset < flushed) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(count, flushed - offset));
        const ssize_t written = ::pwrite(fd, p, n, static_cast<off_t>(offset));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            Fail();
        p += written;
        offset += static_cast<std::uint64_t>(written);
        count -= static_cast<std::size_t>(written);
    }
    if (count > 0)
        std::memcpy(buffer.data() + (offset - flushed), p, count);
}

void CZipOutput::Truncate(std::uint64_t offset) {
    if (offset >= flushed) {
        buffer.resize(static_cast<std::size_t>(offset - flushed));
        return;
    }
    buffer.clear();
    if (::ftruncate(fd, static_cast<off_t>(offset)) != 0 || ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0)
        Fail();
    flushed = offset;
}

void CZipOutput::Flush() {
    for (std::size_t done = 0; done < buffer.size();) {
        const ssize_t n = ::write(fd, buffer.data() + done, buffer.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            Fail();
        done += static_cast<std::size_t>(n);
    }
    flushed += buffer.size();
    buffer.clear();
}
