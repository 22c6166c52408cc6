#ifdef ROZBAL_LZMA

#include "engine/decode/ZipLzmaCodec.h"

#include <lzma.h>

namespace {

constexpr std::size_t headerSize = 9;      // version (2), properties size (2), properties (5)
constexpr unsigned propertiesSize = 5;     // the lc/lp/pb byte, then the dictionary size
constexpr std::uint16_t endMarkerFlag = 2; // general purpose flag bit 1
constexpr unsigned lclppbLimit = 9 * 5 * 5;
constexpr std::uint32_t smallestDictionary = 4096; // what the library takes at least
// More than an end marker and the range coder's last bytes take: 42 bits of which 12 are coded
// with at most 6 bits of cost each, and 5 bytes of flush.
constexpr std::uint64_t endMarkerReach = 64;

std::uint32_t ReadLittle(const unsigned char* bytes, int count) {
    std::uint32_t value = 0;
    for (int i = count - 1; i >= 0; --i)
        value = value << 8 | bytes[i];
    return value;
}

// A dictionary holds at most the whole output, so an entry of known size needs no more than that;
// rounded up to a power of two, entries of similar sizes share one allocation.
std::uint64_t DictionaryFor(std::uint64_t declared, std::uint64_t outputSize) {
    std::uint64_t enough = smallestDictionary;
    while (enough < outputSize && enough < declared)
        enough <<= 1;
    return enough < declared ? enough : declared;
}

} // namespace

struct CZipLzmaCodec::Stream {
    lzma_stream state = LZMA_STREAM_INIT;
    Entry entry;
    unsigned char header[headerSize] = {};
    std::size_t headerRead = 0;
    std::uint64_t used = 0; // of the entry's input, header included
    bool sizeKnown = false;
    enum Phase { Header, Decoding, Finished } phase = Header;
};

CZipLzmaCodec::CZipLzmaCodec() : stream(std::make_unique<Stream>()) {}

CZipLzmaCodec::~CZipLzmaCodec() { lzma_end(&stream->state); }

bool CZipLzmaCodec::Start(const Entry& entry) {
    // The decoder itself is set up once the properties are in; it keeps its memory across entries.
    stream->entry = entry;
    stream->headerRead = 0;
    stream->used = 0;
    stream->phase = Stream::Header;
    return true;
}

CZipCodec::Status CZipLzmaCodec::StartDecoder() {
    const unsigned char* header = stream->header;
    if (ReadLittle(header + 2, 2) != propertiesSize || header[4] >= lclppbLimit)
        return Damaged;
    lzma_options_lzma options{};
    options.lc = header[4] % 9u;
    options.lp = header[4] / 9u % 5u;
    options.pb = header[4] / 45u;
    if (options.lc + options.lp > LZMA_LCLP_MAX)
        return Damaged;
    const bool endMarker = (stream->entry.flags & endMarkerFlag) != 0;
    const std::uint64_t dictionary = DictionaryFor(ReadLittle(header + 5, 4), stream->entry.uncompressedSize);
    if (dictionary > memoryLimit)
        return TooBig;
    options.dict_size = static_cast<std::uint32_t>(dictionary);
    options.ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
    stream->sizeKnown = !endMarker;
    const std::uint64_t size = endMarker ? UINT64_MAX : stream->entry.uncompressedSize;
    options.ext_size_low = static_cast<std::uint32_t>(size);
    options.ext_size_high = static_cast<std::uint32_t>(size >> 32);
    const lzma_filter filters[] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    switch (lzma_raw_decoder(&stream->state, filters)) {
    case LZMA_OK:
        stream->phase = Stream::Decoding;
        return Going;
    case LZMA_MEM_ERROR:
        return TooBig;
    default:
        return Damaged;
    }
}

CZipCodec::Status CZipLzmaCodec::Decode(const unsigned char*& in, std::size_t& inLeft, unsigned char*& out,
                                        std::size_t& outLeft, bool lastInput) {
    if (stream->phase == Stream::Finished)
        return Ended;
    if (stream->phase == Stream::Header) {
        while (stream->headerRead < headerSize && inLeft > 0) {
            stream->header[stream->headerRead++] = *in++;
            --inLeft;
            ++stream->used;
        }
        if (stream->headerRead < headerSize)
            return lastInput ? Truncated : Going;
        const Status started = StartDecoder();
        if (started != Going)
            return started;
    }
    // Given the size, the library takes an end marker after the last byte only when it decodes the
    // whole marker in one call: resumed within it, it calls the marker damaged. The entry's last bytes
    // are therefore held back until all of them are there.
    std::size_t given = inLeft;
    const std::uint64_t total = stream->entry.compressedSize;
    if (stream->sizeKnown && !lastInput && stream->used + inLeft < total &&
        total - stream->used - inLeft < endMarkerReach) {
        const std::uint64_t held = endMarkerReach - (total - stream->used - inLeft);
        given = inLeft > held ? inLeft - static_cast<std::size_t>(held) : 0;
        if (given == 0)
            return Going;
    }
    lzma_stream& state = stream->state;
    state.next_in = in;
    state.avail_in = given;
    state.next_out = out;
    state.avail_out = outLeft;
    // The stream's own end (the size or the marker) ends it: LZMA_FINISH would tell it nothing more.
    const lzma_ret result = lzma_code(&state, LZMA_RUN);
    stream->used += given - state.avail_in;
    inLeft -= given - state.avail_in;
    in = state.next_in;
    out = state.next_out;
    outLeft = state.avail_out;
    switch (result) {
    case LZMA_STREAM_END:
        stream->phase = Stream::Finished;
        return Ended;
    case LZMA_OK:
    case LZMA_BUF_ERROR: // no progress twice in a row: the caller learns it from the pointers
        return lastInput && inLeft == 0 && outLeft > 0 ? Truncated : Going;
    case LZMA_MEM_ERROR:
    case LZMA_MEMLIMIT_ERROR:
        return TooBig;
    default:
        return Damaged;
    }
}

std::unique_ptr<CZipCodec> MakeLzmaCodec() { return std::make_unique<CZipLzmaCodec>(); }

#endif
