// Inflates the input with ISA-L and with zlib, the reference, through the codecs the entry decoder
// uses. Aborts where zlib decodes a stream ISA-L refuses or decodes otherwise (other bytes, other
// input taken), where ISA-L makes other bytes than zlib before zlib stops, where ISA-L in pieces and
// small rooms ends otherwise than in one call, or where a call misreports its pointers, writes past
// its room or reads past its piece. Where ISA-L accepts a stream zlib refuses, the entry's size and
// CRC judge it: a second form damages a stream zlib made of the input and requires that whatever
// ISA-L makes of it either is the input or fails the entry's size and CRC checks.
//
// Input: one byte (bit 7: the damage form; low 4 bits plus 1: the count of size bytes), the size
// bytes, then the stream (or, in the damage form, the text to deflate, its last two bytes the offset
// of the damaged byte and the value it is xored with).
#include "engine/ZipCrc.h"
#include "engine/decode/ZipInflateCodec.h"
#include "engine/decode/ZipIsalInflateCodec.h"
#include "fuzz/FuzzCodecRun.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>
#include <zlib.h>

namespace {

constexpr std::size_t outputCap = 320u << 10; // past ISA-L's 64 KiB buffer of history and more

using FuzzCodec::Check;
using FuzzCodec::Run;

template <typename PieceSize, typename RoomSize>
Run Decode(CZipCodec& codec, const std::uint8_t* stream, std::size_t size, std::size_t cap, PieceSize pieceSize,
           RoomSize roomSize) {
    return FuzzCodec::Decode(codec, stream, size, cap, true, pieceSize, roomSize);
}

void Differential(const std::uint8_t* stream, std::size_t size, const std::uint8_t* sizes, std::size_t sizeBytes) {
    auto sized = [&](std::size_t call, unsigned shift, std::size_t scale) {
        return (std::size_t{sizes[call % sizeBytes]} >> shift) * scale + 1;
    };
    auto all = [&](std::size_t) { return size; };
    auto wide = [](std::size_t) { return outputCap; };
    CZipInflateCodec zlib;
    CZipIsalInflateCodec isal;
    const Run reference = Decode(zlib, stream, size, outputCap, all, wide);
    const Run whole = Decode(isal, stream, size, outputCap, all, wide);
    const Run small = Decode(
        isal, stream, size, outputCap, [&](std::size_t call) { return sized(call, 0, 1); },
        [&](std::size_t call) { return sized(call + 1, 0, 17); });
    const Run large = Decode(
        isal, stream, size, outputCap, [&](std::size_t call) { return sized(call + 2, 2, 7); },
        [&](std::size_t call) { return sized(call, 0, 1283); });
    if (reference.status == CZipCodec::Ended && !reference.capped) {
        Check(whole.status == CZipCodec::Ended);
        Check(whole.output == reference.output && whole.taken == reference.taken);
    }
    for (const Run* run : {&whole, &small, &large}) {
        // Up to where zlib stopped the bytes are the stream's. Past it, where the data are damaged,
        // ISA-L may make bytes that depend on where its calls began before it fails (or the CRC does).
        const std::size_t common = std::min(run->output.size(), reference.output.size());
        Check(std::equal(run->output.begin(), run->output.begin() + static_cast<std::ptrdiff_t>(common),
                         reference.output.begin()));
        if (run == &whole || whole.capped || run->capped)
            continue;
        Check((run->status == CZipCodec::Ended) == (whole.status == CZipCodec::Ended));
        // Bytes past the end read into ISA-L's bit buffer in an earlier call cannot be handed back.
        if (whole.status == CZipCodec::Ended)
            Check(run->output == whole.output && run->taken >= whole.taken && run->taken <= whole.taken + 8);
    }
}

void Damaged(const std::uint8_t* text, std::size_t size, std::uint8_t level) {
    if (size < 2 || size - 2 > outputCap / 2)
        return;
    const std::size_t at = text[size - 2];
    const std::uint8_t change = text[size - 1];
    size -= 2;
    z_stream z{};
    Check(deflateInit2(&z, level % 10, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) == Z_OK);
    std::vector<unsigned char> stream(deflateBound(&z, size) + 16);
    z.next_in = const_cast<Bytef*>(text);
    z.avail_in = static_cast<uInt>(size);
    z.next_out = stream.data();
    z.avail_out = static_cast<uInt>(stream.size());
    Check(deflate(&z, Z_FINISH) == Z_STREAM_END);
    stream.resize(z.total_out);
    deflateEnd(&z);
    stream[(at * 257) % stream.size()] ^= change;
    // The entry declares the text's size and CRC; one byte of room more shows a longer output.
    CZipIsalInflateCodec isal;
    const Run run = Decode(
        isal, stream.data(), stream.size(), size + 1, [&](std::size_t) { return stream.size(); },
        [](std::size_t) { return std::size_t{65536}; });
    const bool passes = run.status == CZipCodec::Ended && run.output.size() == size &&
                        ZipCrc::Update(0, run.output.data(), run.output.size()) == ZipCrc::Update(0, text, size);
    if (passes)
        Check(std::equal(run.output.begin(), run.output.end(), text));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::size_t sizeBytes = (data[0] & 0xFu) + 1;
    if (size < 1 + sizeBytes)
        return 0;
    const std::uint8_t* const payload = data + 1 + sizeBytes;
    const std::size_t payloadSize = size - 1 - sizeBytes;
    if (data[0] & 0x80u)
        Damaged(payload, payloadSize, data[1]);
    else
        Differential(payload, payloadSize, data + 1, sizeBytes);
    return 0;
}
