#include "engine/decode/ZipCodecTable.h"

#include "engine/decode/ZipInflateCodec.h"
#include "engine/decode/ZipIsalInflateCodec.h"
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

#include <atomic>
#include <cstring>

namespace {

using ZipCodecTable::Row;

// By method; within a method, the rows in the order they are preferred.
constexpr Row rows[] = {
    {0, "stored", "stored", &MakeStoredCodec, false},
#ifdef ROZBAL_LIBDEFLATE
    {8, "deflate", "libdeflate", &MakeLibdeflateCodec, true},
#endif
#ifdef ROZBAL_ISAL
    {8, "deflate", "ISA-L", &MakeIsalInflateCodec, false},
#endif
    {8, "deflate", "zlib", &MakeInflateCodec, false},
#ifdef ROZBAL_DEFLATE64
    {9, "Deflate64", "Deflate64", &MakeDeflate64Codec, false},
#endif
#ifdef ROZBAL_BZIP2
    {12, "bzip2", "bzip2", &MakeBzip2Codec, false},
#endif
#ifdef ROZBAL_LZMA
    {14, "LZMA", "liblzma", &MakeLzmaCodec, false},
    {95, "xz", "liblzma", &MakeXzCodec, false},
#endif
#ifdef ROZBAL_ZSTD
    {93, "zstd", "zstd", &MakeZstdCodec, false},
#endif
};

std::atomic<const char*> skipped{nullptr};

bool Skipped(const Row& row) {
    const char* list = skipped.load(std::memory_order_relaxed);
    if (list == nullptr)
        return false;
    const std::size_t length = std::strlen(row.library);
    for (const char* p = list; (p = std::strstr(p, row.library)) != nullptr; p += length)
        if ((p == list || p[-1] == ',') && (p[length] == '\0' || p[length] == ','))
            return true;
    return false;
}

} // namespace

namespace ZipCodecTable {

const Row* Find(std::uint16_t method, bool fitsWhole) {
    for (const Row& row : rows)
        if (row.method == method && (fitsWhole || !row.wholeBuffer) && !Skipped(row))
            return &row;
    return nullptr;
}

void SkipLibraries(const char* libraries) { skipped.store(libraries, std::memory_order_relaxed); }

bool Decodes(std::uint16_t method) { return Find(method, false) != nullptr; }

} // namespace ZipCodecTable
