#pragma once

#include "engine/decode/ZipCodec.h"

#include <memory>
#include <zlib.h>

// Method 8 streamed through zlib's raw inflate, which checks nothing: the CRC and the sizes are the
// entry decoder's.
class CZipInflateCodec : public CZipCodec {
  public:
    CZipInflateCodec();
    ~CZipInflateCodec() override;

    bool Start(const Entry& entry) override;
    Status Decode(const unsigned char*& in, std::size_t& inLeft, unsigned char*& out, std::size_t& outLeft,
                  bool lastInput) override;
    // Every extractor takes a deflated entry whose stream ends before its data do.
    bool AllowsTrailingBytes() const override { return true; }

  private:
    z_stream stream{};
    bool ready = false;
    bool extraByteOffered = false;
};

std::unique_ptr<CZipCodec> MakeInflateCodec();
