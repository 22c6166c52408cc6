#pragma once

#include "engine/decode/ZipCodec.h"

#include <cstdint>
#include <memory>

// Compression methods by number: the one place that knows which codec decodes which method.
// Adding a method is a codec class and a row here.
namespace ZipCodecTable {

struct Row {
    std::uint16_t method;
    const char* name; // as tools name the method
    const char* library; // what decodes it: "zlib", "libdeflate", "ISA-L", or the codec's own name
    std::unique_ptr<CZipCodec> (*make)();
    // A whole-buffer codec, taken only where the entry's input and output both fit the caller's
    // buffers; otherwise the method's next row streams.
    bool wholeBuffer;
};

// The row that decodes method: the first one for it, skipping whole-buffer rows unless fitsWhole.
// Null for a method the program cannot decode.
const Row* Find(std::uint16_t method, bool fitsWhole);
// Whether some row decodes method.
bool Decodes(std::uint16_t method);

// Tests only: rows of these libraries (a comma-separated list, or null for none) are passed over,
// so that every suite can run with each deflate decoder. Set before any decoding starts.
void SkipLibraries(const char* libraries);

} // namespace ZipCodecTable
