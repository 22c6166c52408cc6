#include "engine/decode/ZipCodecTable.h"

#include "engine/decode/ZipInflateCodec.h"
#include "engine/decode/ZipLibdeflateCodec.h"
#include "engine/decode/ZipStoredCodec.h"
#ifdef ROZBAL_DEFLATE64
#include "engine/decode/ZipDeflate64Codec.h"
#endif
#ifdef ROZBAL_BZIP2
#include "engine/decode/ZipBzip2Codec.h"
#endif
#ifdef ROZBAL_LZMA
#include "engine/decode/ZipLzmaCodec.h"
#include "engine/decode/ZipXzCodec.h"
#endif
#ifdef ROZBAL_ZSTD
#include "engine/decode/ZipZstdCodec.h"
#endif

namespace {

// By method; within a method, the rows in the order they are preferred.
constexpr ZipCodecTable::Row rows[] = {
    {0, "stored", &MakeStoredCodec, false},
#ifdef ROZBAL_LIBDEFLATE
    {8, "deflate", &MakeLibdeflateCodec, true},
#endif
    {8, "deflate", &MakeInflateCodec, false},
#ifdef ROZBAL_DEFLATE64
    {9, "Deflate64", &MakeDeflate64Codec, false},
#endif
#ifdef ROZBAL_BZIP2
    {12, "bzip2", &MakeBzip2Codec, false},
#endif
#ifdef ROZBAL_LZMA
    {14, "LZMA", &MakeLzmaCodec, false},
    {95, "xz", &MakeXzCodec, false},
#endif
#ifdef ROZBAL_ZSTD
    {93, "zstd", &MakeZstdCodec, false},
#endif
};

} // namespace

namespace ZipCodecTable {

const Row* Find(std::uint16_t method, bool fitsWhole) {
    for (const Row& row : rows)
        if (row.method == method && (fitsWhole || !row.wholeBuffer))
            return &row;
    return nullptr;
}

bool Decodes(std::uint16_t method) { return Find(method, false) != nullptr; }

} // namespace ZipCodecTable
