#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// One worker's compressors, made once and reused: libdeflate for a whole file in one call, and
// zlib for the pieces of a larger one. A piece is a raw deflate stream primed with the 32 KiB
// before it and ended by a sync flush (the last by the final block), so that the pieces of a file
// laid end to end are one deflate stream, compressing as one nearly does.
class CEntryDeflater {
  public:
    static constexpr std::size_t window = 32768;

    explicit CEntryDeflater(int level);
    ~CEntryDeflater();
    CEntryDeflater(const CEntryDeflater&) = delete;
    CEntryDeflater& operator=(const CEntryDeflater&) = delete;

    // Deflates a whole file into out; false (out undefined) where that would not be smaller.
    bool DeflateWhole(const unsigned char* data, std::size_t size, std::vector<unsigned char>& out);
    // Deflates data[primer, size) after the primer's bytes data[0, primer).
    void DeflatePiece(const unsigned char* data, std::size_t primer, std::size_t size, bool last,
                      std::vector<unsigned char>& out);

  private:
    struct State;
    std::unique_ptr<State> state;
};
