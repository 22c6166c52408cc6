#ifdef ROZBAL_ISAL
#include "engine/decode/ZipIsalInflateCodec.h"

#include <algorithm>
#include <cstdint>
#include <igzip_lib.h>

namespace {

// The library counts in 32 bits: larger pieces are handed over in parts.
std::uint32_t Clamp(std::size_t size) { return static_cast<std::uint32_t>(std::min<std::size_t>(size, UINT32_MAX)); }

} // namespace

CZipIsalInflateCodec::CZipIsalInflateCodec() : state(std::make_unique<inflate_state>()) {}

CZipIsalInflateCodec::~CZipIsalInflateCodec() = default;

bool CZipIsalInflateCodec::Start(const Entry& /*entry*/) {
    isal_inflate_init(state.get());
    state->crc_flag = ISAL_DEFLATE; // raw deflate; the entry decoder keeps the CRC
    return true;
}

CZipCodec::Status CZipIsalInflateCodec::Decode(const unsigned char*& in, std::size_t& inLeft, unsigned char*& out,
                                               std::size_t& outLeft, bool lastInput) {
    if (state->block_state == ISAL_BLOCK_FINISH)
        return Ended;
    state->next_in = const_cast<std::uint8_t*>(in);
    state->avail_in = Clamp(inLeft);
    state->next_out = out;
    state->avail_out = Clamp(outLeft);
    const std::uint32_t inBefore = state->avail_in;
    const std::uint32_t outBefore = state->avail_out;
    const int result = isal_inflate(state.get());
    std::size_t used = inBefore - state->avail_in;
    const std::size_t written = outBefore - state->avail_out;
    const bool finished = result == ISAL_DECOMP_OK && state->block_state == ISAL_BLOCK_FINISH;
    // At the end, whole bytes still in the bit buffer were read past the stream: they are not its.
    if (finished)
        used -= std::min<std::size_t>(used, static_cast<std::size_t>(state->read_in_length / 8));
    in += used;
    inLeft -= used;
    out += written;
    outLeft -= written;
    if (result != ISAL_DECOMP_OK)
        return Damaged;
    if (finished)
        return Ended;
    // It reports success on input that ends inside the stream: no input left, none to come, and
    // nothing more made with room to spare is a cut stream.
    if (lastInput && inLeft == 0 && used == 0 && written == 0 && outLeft > 0)
        return Truncated;
    return Going;
}

std::unique_ptr<CZipCodec> MakeIsalInflateCodec() { return std::make_unique<CZipIsalInflateCodec>(); }
#endif
