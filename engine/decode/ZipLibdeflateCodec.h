#pragma once

#include "engine/decode/ZipCodec.h"

#include <memory>

struct libdeflate_decompressor;

// Method 8 inflated in one call, for entries whose input and output both fit the decoder's buffers:
// about twice as fast as streaming through zlib. Built where the library is linked in.
class CZipLibdeflateCodec : public CZipCodec {
  public:
    CZipLibdeflateCodec();
    ~CZipLibdeflateCodec() override;

    bool Start(const Entry& entry) override;
    Status Decode(const unsigned char*& in, std::size_t& inLeft, unsigned char*& out, std::size_t& outLeft,
                  bool lastInput) override;
    // Every extractor takes a deflated entry whose stream ends before its data do.
    bool AllowsTrailingBytes() const override { return true; }
    bool TakesWholeInput() const override { return true; }

    // The library picks its code for this processor at its first call: made here, before any thread
    // could race to it.
    static void Prepare();

  private:
    libdeflate_decompressor* decompressor = nullptr;
};

std::unique_ptr<CZipCodec> MakeLibdeflateCodec();
