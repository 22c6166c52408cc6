#ifdef ROZBAL_LZMA

#include "engine/decode/ZipXzCodec.h"

#include <lzma.h>

struct CZipXzCodec::Stream {
    lzma_stream state = LZMA_STREAM_INIT;
    bool decoding = false;
};

CZipXzCodec::CZipXzCodec() : stream(std::make_unique<Stream>()) {}

CZipXzCodec::~CZipXzCodec() { lzma_end(&stream->state); }

bool CZipXzCodec::Start(const Entry& entry) {
    static_cast<void>(entry);
    // Set up again on the same state, the decoder keeps the memory of the last stream where it can.
    // Without LZMA_CONCATENATED it stops at the first stream's footer.
    stream->decoding = lzma_stream_decoder(&stream->state, memoryLimit, 0) == LZMA_OK;
    return stream->decoding;
}

CZipCodec::Status CZipXzCodec::Decode(const unsigned char*& in, std::size_t& inLeft, unsigned char*& out,
                                      std::size_t& outLeft, bool lastInput) {
    if (!stream->decoding)
        return Ended;
    lzma_stream& state = stream->state;
    state.next_in = in;
    state.avail_in = inLeft;
    state.next_out = out;
    state.avail_out = outLeft;
    // A single stream ends at its footer, whatever the action: LZMA_FINISH only matters to a decoder
    // that looks for more streams, and it would forbid the caller to add input after a last call.
    const lzma_ret result = lzma_code(&state, LZMA_RUN);
    in = state.next_in;
    inLeft = state.avail_in;
    out = state.next_out;
    outLeft = state.avail_out;
    switch (result) {
    case LZMA_STREAM_END:
        stream->decoding = false;
        return Ended;
    case LZMA_OK:
    case LZMA_BUF_ERROR: // no progress twice in a row: the caller learns it from the pointers
        return lastInput && inLeft == 0 && outLeft > 0 ? Truncated : Going;
    case LZMA_MEM_ERROR:
    case LZMA_MEMLIMIT_ERROR:
        return TooBig;
    default: // LZMA_FORMAT_ERROR, LZMA_OPTIONS_ERROR (an unknown filter), LZMA_DATA_ERROR
        return Damaged;
    }
}

std::unique_ptr<CZipCodec> MakeXzCodec() { return std::make_unique<CZipXzCodec>(); }

#endif
