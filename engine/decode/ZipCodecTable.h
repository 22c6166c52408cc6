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

} // namespace ZipCodecTable
