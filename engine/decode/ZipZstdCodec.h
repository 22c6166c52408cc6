#pragma once

#include "engine/decode/ZipCodec.h"

#include <memory>

struct ZSTD_DCtx_s;

// Method 93: one or more zstd frames, skippable frames among them, each checked against its content
// checksum where it has one. After a frame, bytes that start no frame are left to the caller. A
// window over the memory limit is refused before anything is allocated for it.
class CZipZstdCodec : public CZipCodec {
  public:
    CZipZstdCodec();
    ~CZipZstdCodec() override;

    bool Start(const Entry& entry) override;
    Status Decode(const unsigned char*& in, std::size_t& inLeft, unsigned char*& out, std::size_t& outLeft,
                  bool lastInput) override;

  private:
    enum Phase { InFrame, BetweenFrames, Finished };

    ZSTD_DCtx_s* context = nullptr;
    Phase phase = InFrame;
};

std::unique_ptr<CZipCodec> MakeZstdCodec();
