#pragma once

#include "engine/ZipBuffer.h"

#include <cstdint>
#include <zlib.h>

// The reading state of the one entry open for reading: the decompressor, what
// is left to read and to deliver, and the running CRC-32 of what was delivered.
class CZipEntryStream {
  public:
    static constexpr std::uint32_t defaultBufferSize = 65536;

    CZipEntryStream() = default;
    CZipEntryStream(const CZipEntryStream&) = delete;
    CZipEntryStream& operator=(const CZipEntryStream&) = delete;
    virtual ~CZipEntryStream() = default;

    z_stream stream{};
    std::uint64_t uncompressedLeft = 0;
    std::uint64_t compressedLeft = 0; // not counting the 12-byte encryption header
    std::uint32_t crc = 0;
    std::uint32_t bufferSize = defaultBufferSize;
    CZipBuffer buffer; // raw bytes from the archive, decrypted in place
    // The one byte that is not entry data has been offered to the decompressor:
    // input wanted after it means the entry's data are cut short.
    bool extraByteOffered = false;
    bool streamEnded = false; // the deflate stream reached its end
};
