#include "engine/ZipBuffer.h"

#include <cstring>
#include <utility>

CZipBuffer::CZipBuffer(const CZipBuffer& other) {
    Allocate(other.size);
    if (size != 0)
        std::memcpy(bytes.get(), other.bytes.get(), size);
}

CZipBuffer& CZipBuffer::operator=(const CZipBuffer& other) {
    if (this != &other) {
        Allocate(other.size);
        if (size != 0)
            std::memcpy(bytes.get(), other.bytes.get(), size);
    }
    return *this;
}

CZipBuffer::CZipBuffer(CZipBuffer&& other) noexcept
    : bytes(std::move(other.bytes)), size(std::exchange(other.size, 0)) {}

CZipBuffer& CZipBuffer::operator=(CZipBuffer&& other) noexcept {
    bytes = std::move(other.bytes);
    size = std::exchange(other.size, 0);
    return *this;
}

void CZipBuffer::Allocate(std::uint32_t newSize, bool zeroMemory) {
    if (newSize != size) {
        Release();
        if (newSize == 0)
            return;
        // Uninitialised on purpose: most buffers are filled by a read at once.
        bytes.reset(new char[newSize]);
        size = newSize;
    }
    if (zeroMemory && size != 0)
        std::memset(bytes.get(), 0, size);
}

void CZipBuffer::Release() {
    bytes.reset();
    size = 0;
}
