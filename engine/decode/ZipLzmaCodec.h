#pragma once

#include "engine/decode/ZipCodec.h"

#include <memory>

// Method 14, ZIP's LZMA layout: 2 bytes of the LZMA SDK version that wrote it (ignored), the size
// of the properties (2 bytes, 5), the properties (the lc/lp/pb byte and the dictionary size), then
// raw LZMA1 data. With flag bit 1 the data end with an end marker, which must be there; without it
// the declared uncompressed size ends them, and an end marker after the last byte is accepted.
class CZipLzmaCodec : public CZipCodec {
  public:
    CZipLzmaCodec();
    ~CZipLzmaCodec() override;

    bool Start(const Entry& entry) override;
    Status Decode(const unsigned char*& in, std::size_t& inLeft, unsigned char*& out, std::size_t& outLeft,
                  bool lastInput) override;

  private:
    Status StartDecoder();

    struct Stream;
    std::unique_ptr<Stream> stream;
};

std::unique_ptr<CZipCodec> MakeLzmaCodec();
