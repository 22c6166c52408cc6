#include "pack/EntryDeflater.h"

#include <libdeflate.h>
#include <stdexcept>
#include <zlib.h>

struct CEntryDeflater::State {
    int level;
    libdeflate_compressor* whole = nullptr;
    z_stream zlib{};
    bool zlibOpen = false;

    explicit State(int level) : level(level) {
        whole = libdeflate_alloc_compressor(level);
        if (!whole || deflateInit2(&zlib, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
            throw std::runtime_error("out of memory for the compressor");
        zlibOpen = true;
    }
    State(const State&) = delete;
    State& operator=(const State&) = delete;
    ~State() {
        if (whole)
            libdeflate_free_compressor(whole);
        if (zlibOpen)
            deflateEnd(&zlib);
    }
};

CEntryDeflater::CEntryDeflater(int level) : state(std::make_unique<State>(level)) {}

CEntryDeflater::~CEntryDeflater() = default;

bool CEntryDeflater::DeflateWhole(const unsigned char* data, std::size_t size, std::vector<unsigned char>& out) {
    if (size == 0)
        return false;
    // Anything not smaller than the file is of no use: the bound is the file's size.
    out.resize(size - 1);
    const std::size_t n = libdeflate_deflate_compress(state->whole, data, size, out.data(), out.size());
    out.resize(n);
    return n != 0;
}

void CEntryDeflater::DeflatePiece(const unsigned char* data, std::size_t primer, std::size_t size, bool last,
                                  std::vector<unsigned char>& out) {
    z_stream& z = state->zlib;
    deflateReset(&z);
    if (primer > 0)
        deflateSetDictionary(&z, data, static_cast<uInt>(primer));
    const std::size_t count = size - primer;
    out.resize(deflateBound(&z, static_cast<uLong>(count)) + 16);
    z.next_in = const_cast<unsigned char*>(data + primer);
    z.avail_in = static_cast<uInt>(count);
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    const int result = deflate(&z, last ? Z_FINISH : Z_SYNC_FLUSH);
    if (result == Z_STREAM_ERROR || z.avail_in != 0)
        throw std::runtime_error("deflate failed");
    out.resize(out.size() - z.avail_out);
}
