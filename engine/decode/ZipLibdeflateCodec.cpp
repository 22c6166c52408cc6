#ifdef ROZBAL_LIBDEFLATE
#include "engine/decode/ZipLibdeflateCodec.h"

#include <libdeflate.h>

CZipLibdeflateCodec::CZipLibdeflateCodec() : decompressor(libdeflate_alloc_decompressor()) {}

CZipLibdeflateCodec::~CZipLibdeflateCodec() {
    if (decompressor != nullptr)
        libdeflate_free_decompressor(decompressor);
}

bool CZipLibdeflateCodec::Start(const Entry& /*entry*/) { return decompressor != nullptr; }

CZipCodec::Status CZipLibdeflateCodec::Decode(const unsigned char*& in, std::size_t& inLeft, unsigned char*& out,
                                              std::size_t& outLeft, bool lastInput) {
    if (!lastInput)
        return Going;
    std::size_t used = 0;
    std::size_t written = 0;
    // A stream that holds more than the room runs out of it; one that holds less comes out short.
    const libdeflate_result result =
        libdeflate_deflate_decompress_ex(decompressor, in, inLeft, out, outLeft, &used, &written);
    if (result == LIBDEFLATE_INSUFFICIENT_SPACE)
        return Overfull;
    if (result != LIBDEFLATE_SUCCESS)
        return Damaged;
    in += used;
    inLeft -= used;
    out += written;
    outLeft -= written;
    return Ended;
}

void CZipLibdeflateCodec::Prepare() {
    static const unsigned char emptyStream[] = {0x01, 0x00, 0x00, 0xFF, 0xFF}; // one empty final stored block
    if (libdeflate_decompressor* first = libdeflate_alloc_decompressor()) {
        unsigned char none = 0;
        std::size_t produced = 0;
        libdeflate_deflate_decompress(first, emptyStream, sizeof emptyStream, &none, 0, &produced);
        libdeflate_free_decompressor(first);
    }
}

std::unique_ptr<CZipCodec> MakeLibdeflateCodec() { return std::make_unique<CZipLibdeflateCodec>(); }
#endif
