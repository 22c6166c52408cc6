#include "engine/decode/ZipStoredCodec.h"

#include <algorithm>
#include <cstring>

bool CZipStoredCodec::Start(const Entry& /*entry*/) { return true; }

CZipCodec::Status CZipStoredCodec::Decode(const unsigned char*& in, std::size_t& inLeft, unsigned char*& out,
                                          std::size_t& outLeft, bool lastInput) {
    const std::size_t n = std::min(inLeft, outLeft);
    if (n > 0)
        std::memcpy(out, in, n);
    in += n;
    out += n;
    inLeft -= n;
    outLeft -= n;
    // Stored data have no end of their own: they end with their input.
    return lastInput && inLeft == 0 ? Ended : Going;
}

std::unique_ptr<CZipCodec> MakeStoredCodec() { return std::make_unique<CZipStoredCodec>(); }
