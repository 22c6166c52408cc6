#pragma once

#include "engine/decode/ZipCipher.h"
#include "engine/decode/ZipEntryDecoder.h"

#include <cstdint>
#include <memory>

// The reading state of the one entry open for reading: its cipher and the decoder, which holds
// what is left to read and to deliver and the running CRC-32 of what was delivered.
class CZipEntryStream {
  public:
    static constexpr std::uint32_t defaultBufferSize = 65536;

    CZipEntryStream() = default;
    CZipEntryStream(const CZipEntryStream&) = delete;
    CZipEntryStream& operator=(const CZipEntryStream&) = delete;
    virtual ~CZipEntryStream() = default;

    std::uint32_t bufferSize = defaultBufferSize;
    // Made at the first entry opened (with bufferSize) and kept, with its codecs, for the next ones.
    std::unique_ptr<CZipEntryDecoder> decoder;
    std::unique_ptr<CZipCipher> cipher; // of the open entry, when it is encrypted
};
