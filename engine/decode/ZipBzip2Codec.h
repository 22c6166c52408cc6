#pragma once

#include "engine/decode/ZipCodec.h"

#include <memory>

// Method 12: one whole bzip2 stream ("BZh"...), checked against its block and stream CRCs. The
// library's state is kept from entry to entry: its blocks are handed back to it, not freed.
class CZipBzip2Codec : public CZipCodec {
  public:
    CZipBzip2Codec();
    ~CZipBzip2Codec() override;

    bool Start(const Entry& entry) override;
    Status Decode(const unsigned char*& in, std::size_t& inLeft, unsigned char*& out, std::size_t& outLeft,
                  bool lastInput) override;

  private:
    struct Stream;
    std::unique_ptr<Stream> stream;
};

std::unique_ptr<CZipCodec> MakeBzip2Codec();
