#pragma once

#include "engine/decode/ZipCodec.h"

#include <memory>

// Method 95: one whole .xz stream, its blocks checked by the check type it names (none, CRC32,
// CRC64, SHA-256) and its index against the blocks. Bytes after the stream's footer are left to
// the caller, stream padding and further streams included: the entry holds one stream.
class CZipXzCodec : public CZipCodec {
  public:
    CZipXzCodec();
    ~CZipXzCodec() override;

    bool Start(const Entry& entry) override;
    Status Decode(const unsigned char*& in, std::size_t& inLeft, unsigned char*& out, std::size_t& outLeft,
                  bool lastInput) override;

  private:
    struct Stream;
    std::unique_ptr<Stream> stream;
};

std::unique_ptr<CZipCodec> MakeXzCodec();
