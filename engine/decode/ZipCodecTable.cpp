#include "engine/decode/ZipCodecTable.h"

#include "engine/decode/ZipInflateCodec.h"
#include "engine/decode/ZipLibdeflateCodec.h"
#include "engine/decode/ZipStoredCodec.h"

namespace {

// By method; within a method, the rows in the order they are preferred.
constexpr ZipCodecTable::Row rows[] = {
    {0, "stored", &MakeStoredCodec, false},
#ifdef ROZBAL_LIBDEFLATE
    {8, "deflate", &MakeLibdeflateCodec, true},
#endif
    {8, "deflate", &MakeInflateCodec, false},
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
