#pragma once

// One codec run as the fuzz targets of the codecs make it: the stream fed in pieces and rooms whose
// sizes the callers give, each piece a block of its own size (so that a read past it is caught),
// guard bytes behind each room. Aborts when a call misreports its pointers, writes past its room or
// reads past its piece.
#include "engine/decode/ZipCodec.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace FuzzCodec {

struct Run {
    CZipCodec::Status status = CZipCodec::Going;
    std::vector<unsigned char> output;
    std::size_t taken = 0;
    bool capped = false; // stopped at cap bytes of output
};

inline void Check(bool ok) {
    if (!ok)
        std::abort();
}

// Stops at the stream's end or failure, or at cap bytes of output. A call without progress aborts,
// or where stallsAllowed ends the run at the cap or with all input given.
template <typename PieceSize, typename RoomSize>
Run Decode(CZipCodec& codec, const std::uint8_t* stream, std::size_t size, std::size_t cap, bool stallsAllowed,
           PieceSize pieceSize, RoomSize roomSize) {
    constexpr std::size_t guard = 64;
    constexpr unsigned char guardByte = 0xA5;
    Run run;
    Check(codec.Start({}));
    std::vector<unsigned char> piece;
    std::size_t pieceEnd = 0;
    std::vector<unsigned char> block;
    for (std::size_t call = 0;; ++call) {
        if (run.taken == pieceEnd) {
            pieceEnd = run.taken + std::min(pieceSize(call), size - run.taken);
            piece.assign(stream + run.taken, stream + pieceEnd);
        }
        const std::size_t give = pieceEnd - run.taken;
        const std::size_t room = std::min(roomSize(call), cap - run.output.size());
        if (block.size() < room + guard)
            block.resize(room + guard);
        std::fill_n(block.begin() + static_cast<std::ptrdiff_t>(room), guard, guardByte);
        const unsigned char* const from = piece.data() + (piece.size() - give);
        const unsigned char* in = from;
        std::size_t inLeft = give;
        unsigned char* out = block.data();
        std::size_t outLeft = room;
        run.status = codec.Decode(in, inLeft, out, outLeft, pieceEnd == size);
        Check(inLeft <= give && outLeft <= room);
        Check(in == from + (give - inLeft) && out == block.data() + (room - outLeft));
        Check(std::all_of(block.begin() + static_cast<std::ptrdiff_t>(room),
                          block.begin() + static_cast<std::ptrdiff_t>(room + guard),
                          [](unsigned char c) { return c == guardByte; }));
        run.taken += give - inLeft;
        run.output.insert(run.output.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(room - outLeft));
        if (!stallsAllowed && run.output.size() == cap) {
            run.capped = true;
            return run;
        }
        if (run.status != CZipCodec::Going)
            return run;
        const bool progressed = inLeft != give || outLeft != room;
        Check(progressed || stallsAllowed);
        if (!progressed && run.output.size() == cap) {
            run.capped = true;
            return run;
        }
        if (!progressed && pieceEnd == size)
            return run; // nothing more comes of the input there is: the entry decoder fails it
    }
}

} // namespace FuzzCodec
