#include "engine/decode/ZipInflateCodec.h"

#include <algorithm>
#include <climits>

namespace {

constexpr int rawDeflateWindowBits = -15; // no zlib header or trailer, 32 KiB window

// zlib counts in uInt: larger pieces are handed over in parts.
uInt Clamp(std::size_t size) { return static_cast<uInt>(std::min<std::size_t>(size, UINT_MAX)); }

} // namespace

CZipInflateCodec::CZipInflateCodec() {
    ready = inflateInit2_(&stream, rawDeflateWindowBits, ZLIB_VERSION, static_cast<int>(sizeof stream)) == Z_OK;
}

CZipInflateCodec::~CZipInflateCodec() {
    if (ready)
        inflateEnd(&stream);
}

bool CZipInflateCodec::Start(const Entry& /*entry*/) {
    extraByteOffered = false;
    return ready && inflateReset(&stream) == Z_OK;
}

CZipCodec::Status CZipInflateCodec::Decode(const unsigned char*& in, std::size_t& inLeft, unsigned char*& out,
                                           std::size_t& outLeft, bool lastInput) {
    // Some streams want one byte past their data to finish; a stream that asks again after it is cut
    // short.
    static const unsigned char extraByte = 0;
    const bool offerExtra = inLeft == 0 && lastInput;
    if (offerExtra && extraByteOffered)
        return Truncated;
    stream.next_in = const_cast<Bytef*>(offerExtra ? &extraByte : in);
    stream.avail_in = offerExtra ? 1 : Clamp(inLeft);
    stream.next_out = out;
    stream.avail_out = Clamp(outLeft);
    const uInt inBefore = stream.avail_in;
    const uInt outBefore = stream.avail_out;
    const int result = inflate(&stream, Z_SYNC_FLUSH);
    const uInt used = inBefore - stream.avail_in;
    const uInt written = outBefore - stream.avail_out;
    out += written;
    outLeft -= written;
    if (offerExtra) {
        extraByteOffered = extraByteOffered || used > 0;
    } else {
        in += used;
        inLeft -= used;
    }
    // The extra byte gave nothing: the next call could only ask for more.
    if (offerExtra && used > 0 && written == 0 && result == Z_OK)
        return Truncated;
    switch (result) {
    case Z_STREAM_END:
        return Ended;
    case Z_OK:
        return Going;
    case Z_BUF_ERROR: // no progress possible with what it was given
        return offerExtra && outLeft > 0 ? Truncated : Going;
    case Z_MEM_ERROR:
        return TooBig;
    default: // raw deflate has no dictionary to ask for: Z_NEED_DICT is damage too
        return Damaged;
    }
}

std::unique_ptr<CZipCodec> MakeInflateCodec() { return std::make_unique<CZipInflateCodec>(); }
