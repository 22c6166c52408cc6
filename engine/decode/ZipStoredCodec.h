#pragma once

#include "engine/decode/ZipCodec.h"

#include <memory>

// Method 0: the data are the file's bytes.
class CZipStoredCodec : public CZipCodec {
  public:
    bool Start(const Entry& entry) override;
    Status Decode(const unsigned char*& in, std::size_t& inLeft, unsigned char*& out, std::size_t& outLeft,
                  bool lastInput) override;
    bool PassesInputThrough() const override { return true; }
};

std::unique_ptr<CZipCodec> MakeStoredCodec();
