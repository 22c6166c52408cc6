#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

// An owned heap block with its 32-bit size. Empty stands for an absent
// password, comment or extra field.
class CZipBuffer {
  public:
    CZipBuffer() = default;
    explicit CZipBuffer(std::uint32_t size, bool zeroMemory = false) { Allocate(size, zeroMemory); }
    CZipBuffer(const CZipBuffer& other);
    CZipBuffer& operator=(const CZipBuffer& other);
    CZipBuffer(CZipBuffer&& other) noexcept;
    CZipBuffer& operator=(CZipBuffer&& other) noexcept;
    ~CZipBuffer() = default;

    // A new size drops the old bytes first; the same size keeps them.
    void Allocate(std::uint32_t newSize, bool zeroMemory = false);
    void Release();

    std::uint32_t GetSize() const { return size; }
    bool IsEmpty() const { return size == 0; }
    char* GetBuffer() { return bytes.get(); }
    const char* GetBuffer() const { return bytes.get(); }
    unsigned char* GetBytes() { return reinterpret_cast<unsigned char*>(bytes.get()); }
    const unsigned char* GetBytes() const { return reinterpret_cast<const unsigned char*>(bytes.get()); }
    std::string_view View() const { return {bytes.get(), size}; }

    // I/O buffers are used from the first cache-line boundary in a block of cacheLine bytes more:
    // the kernel copies into and out of a misaligned one markedly slower (a tenth of a stored
    // entry's time), and aligned allocations would cost the heap more.
    static constexpr std::size_t cacheLine = 64;
    static unsigned char* CacheLineStart(void* block) {
        const auto address = reinterpret_cast<std::uintptr_t>(block);
        return static_cast<unsigned char*>(block) + (cacheLine - address % cacheLine) % cacheLine;
    }

  private:
    std::unique_ptr<char[]> bytes;
    std::uint32_t size = 0;
};
