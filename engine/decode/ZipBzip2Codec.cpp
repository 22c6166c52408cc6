#ifdef ROZBAL_BZIP2

#include "engine/decode/ZipBzip2Codec.h"

#include <algorithm>
#include <bzlib.h>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <vector>

#ifdef ROZBAL_BZIP2_NO_STDIO
// Built without its stdio part, the library calls this on a broken internal assertion, which no
// input can reach; it would go on with a corrupt state, so the program stops.
extern "C" void bz_internal_error(int errorCode) {
    static_cast<void>(errorCode);
    std::abort();
}
#endif

namespace {

// The library frees its two blocks (the decoder state and the block of up to 900 000 entries) at
// the end of every stream and asks for them again at the next: they are kept here instead.
struct CBlockCache {
    struct Block {
        std::vector<unsigned char> bytes;
        bool inUse = false;
    };
    std::vector<Block> blocks;

    void* Take(std::size_t size) {
        Block* unused = nullptr;
        for (Block& block : blocks) {
            if (block.inUse)
                continue;
            if (block.bytes.size() == size) {
                block.inUse = true;
                return block.bytes.data();
            }
            unused = &block;
        }
        try {
            if (unused == nullptr) {
                blocks.emplace_back();
                unused = &blocks.back();
            }
            // The old block goes before the new one comes: the two never take memory at once.
            unused->bytes = std::vector<unsigned char>();
            unused->bytes.resize(size);
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
        unused->inUse = true;
        return unused->bytes.data();
    }

    void Give(void* pointer) {
        for (Block& block : blocks)
            if (block.bytes.data() == pointer)
                block.inUse = false;
    }
};

void* TakeBlock(void* cache, int count, int size) {
    if (count < 0 || size < 0)
        return nullptr;
    // Multiplied in 64 bits: the product of two ints overflows a 32-bit size_t.
    const std::uint64_t bytes = static_cast<std::uint64_t>(count) * static_cast<std::uint64_t>(size);
    if (bytes > SIZE_MAX)
        return nullptr;
    return static_cast<CBlockCache*>(cache)->Take(static_cast<std::size_t>(bytes));
}

void GiveBlock(void* cache, void* pointer) { static_cast<CBlockCache*>(cache)->Give(pointer); }

} // namespace

struct CZipBzip2Codec::Stream {
    bz_stream state{};
    CBlockCache cache;
    bool open = false;

    void Close() {
        if (open)
            BZ2_bzDecompressEnd(&state);
        open = false;
    }
};

CZipBzip2Codec::CZipBzip2Codec() : stream(std::make_unique<Stream>()) {}

CZipBzip2Codec::~CZipBzip2Codec() { stream->Close(); }

bool CZipBzip2Codec::Start(const Entry& entry) {
    static_cast<void>(entry);
    stream->Close();
    stream->state = bz_stream{};
    stream->state.bzalloc = &TakeBlock;
    stream->state.bzfree = &GiveBlock;
    stream->state.opaque = &stream->cache;
    stream->open = BZ2_bzDecompressInit(&stream->state, 0, 0) == BZ_OK;
    return stream->open;
}

CZipCodec::Status CZipBzip2Codec::Decode(const unsigned char*& in, std::size_t& inLeft, unsigned char*& out,
                                         std::size_t& outLeft, bool lastInput) {
    if (!stream->open)
        return Damaged;
    bz_stream& state = stream->state;
    // The library counts in unsigned int; the caller sees the rest at its next call.
    const unsigned int inGiven = static_cast<unsigned int>(std::min<std::size_t>(inLeft, UINT_MAX));
    const unsigned int outGiven = static_cast<unsigned int>(std::min<std::size_t>(outLeft, UINT_MAX));
    // The library reads through a non-const pointer but does not write through it.
    state.next_in = const_cast<char*>(reinterpret_cast<const char*>(in));
    state.avail_in = inGiven;
    state.next_out = reinterpret_cast<char*>(out);
    state.avail_out = outGiven;
    const int result = BZ2_bzDecompress(&state);
    const std::size_t used = inGiven - state.avail_in;
    const std::size_t written = outGiven - state.avail_out;
    in += used;
    inLeft -= used;
    out += written;
    outLeft -= written;
    switch (result) {
    case BZ_STREAM_END:
        stream->Close();
        return Ended;
    case BZ_OK:
        // With room left over the library has taken all it was given and wants more.
        return lastInput && inLeft == 0 && outLeft > 0 ? Truncated : Going;
    case BZ_MEM_ERROR:
        return TooBig;
    default:
        return Damaged;
    }
}

std::unique_ptr<CZipCodec> MakeBzip2Codec() { return std::make_unique<CZipBzip2Codec>(); }

#endif
