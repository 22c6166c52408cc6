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
    extraByteOffered = false;
    return true;
}

CZipCodec::Status CZipIsalInflateCodec::Decode(const unsigned char*& in, std::size_t& inLeft, unsigned char*& out,
                                               std::size_t& outLeft, bool lastInput) {
    if (state->block_state == ISAL_BLOCK_FINISH)
        return Ended;
    // As zlib is given it: one zero byte past the data, which some streams need to finish.
    static const std::uint8_t extraByte = 0;
    const bool offerExtra = inLeft == 0 && lastInput && !extraByteOffered;
    state->next_in = const_cast<std::uint8_t*>(offerExtra ? &extraByte : in);
    state->avail_in = offerExtra ? 1 : Clamp(inLeft);
    state->next_out = out;
    state->avail_out = Clamp(outLeft);
    const std::uint8_t* const inStart = state->next_in;
    const std::uint32_t inBefore = state->avail_in;
    const std::uint32_t outBefore = state->avail_out;
    const int result = isal_inflate(state.get());
    // By the pointers, within what was given: after a failure the counts are not to be trusted
    // (an invalid distance left avail_in below zero).
    const auto moved = [](const std::uint8_t* from, const std::uint8_t* to, std::uint32_t most) {
        return to < from ? 0 : std::min<std::size_t>(static_cast<std::size_t>(to - from), most);
    };
    std::size_t used = moved(inStart, state->next_in, inBefore);
    const std::size_t written = moved(out, state->next_out, outBefore);
    const bool finished = result == ISAL_DECOMP_OK && state->block_state == ISAL_BLOCK_FINISH;
    if (offerExtra) {
        extraByteOffered = used > 0;
        used = 0;
    } else if (finished) {
        // Whole bytes still in the bit buffer at the end were read past the stream: they are not its
        // (those read in an earlier call stay counted, at most 8; deflate may have bytes after it).
        used -= std::min<std::size_t>(used, static_cast<std::size_t>(state->read_in_length / 8));
    }
    in += used;
    inLeft -= used;
    out += written;
    outLeft -= written;
    if (result != ISAL_DECOMP_OK)
        return Damaged;
    if (finished)
        return Ended;
    // It reports success on input that ends inside the stream: nothing made of the extra byte, or
    // nothing more after it, with room to spare, is a cut stream.
    if (written == 0 && outLeft > 0 && (offerExtra || (extraByteOffered && inLeft == 0 && lastInput)))
        return Truncated;
    return Going;
}

std::unique_ptr<CZipCodec> MakeIsalInflateCodec() { return std::make_unique<CZipIsalInflateCodec>(); }
#endif
