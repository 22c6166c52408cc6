// Decodes the input as a Deflate64 stream three times: whole into one large room, then in pieces and
// rooms whose sizes the input's first bytes give (small rooms, then large ones). Aborts when the runs
// disagree on the output, the status or the input taken, when a call writes past its room (into guard
// bytes), reads past its input (each piece is a block of its own size), misreports its pointers, or returns
// Going without progress though it had input and room.
//
// Input: one byte n (low 4 bits, plus 1: the count of size bytes), n size bytes, then the stream.
// Seeds: 7-Zip's streams under 64 KiB (`7z a -tzip -mm=Deflate64 -mx=9`, the entry's data cut out of
// the archive) with a size prefix, put in the target's seeds folder.

#include "engine/decode/ZipDeflate64Codec.h"
#include "fuzz/FuzzCodecRun.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// Output past this is not compared: a few bits of code 285 make 64 KiB. Above the codec's buffer of
// 256 KiB, so that its window moves.
constexpr std::size_t outputCap = 320u << 10;

using FuzzCodec::Check;
using FuzzCodec::Run;

template <typename PieceSize, typename RoomSize>
Run Decode(CZipCodec& codec, const std::uint8_t* stream, std::size_t size, PieceSize pieceSize, RoomSize roomSize) {
    return FuzzCodec::Decode(codec, stream, size, outputCap, false, pieceSize, roomSize);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::size_t sizeBytes = (data[0] & 0xFu) + 1;
    if (size < 1 + sizeBytes)
        return 0;
    const std::uint8_t* const sizes = data + 1;
    const std::uint8_t* const stream = data + 1 + sizeBytes;
    const std::size_t streamSize = size - 1 - sizeBytes;
    auto sized = [&](std::size_t call, unsigned shift, std::size_t scale) {
        return (std::size_t{sizes[call % sizeBytes]} >> shift) * scale + 1;
    };

    CZipDeflate64Codec codec;
    const Run whole = Decode(
        codec, stream, streamSize, [&](std::size_t) { return streamSize; }, [](std::size_t) { return outputCap; });
    const Run small = Decode(
        codec, stream, streamSize, [&](std::size_t call) { return sized(call, 0, 1); },
        [&](std::size_t call) { return sized(call + 1, 0, 1); });
    const Run large = Decode(
        codec, stream, streamSize, [&](std::size_t call) { return sized(call + 2, 2, 7); },
        [&](std::size_t call) { return sized(call, 0, 1283); });
    // Output decoded ahead of a room is lost to damage or truncation, and a run may stop at the cap
    // with output decoded ahead: there the shorter output only starts the longer.
    for (const Run* run : {&small, &large}) {
        const std::size_t common = std::min(run->output.size(), whole.output.size());
        Check(std::equal(run->output.begin(), run->output.begin() + static_cast<std::ptrdiff_t>(common),
                         whole.output.begin()));
        if (run->capped || whole.capped)
            continue;
        Check(run->status == whole.status);
        if (whole.status == CZipCodec::Ended)
            Check(run->output.size() == whole.output.size() && run->taken == whole.taken);
    }
    return 0;
}
