#include "engine/decode/ZipDeflate64Codec.h"

#include <algorithm>
#include <cstring>
#include <new>

// The engine is built for size, which leaves the fast loop's small helpers as calls: a third slower.
#define ROZBAL_ALWAYS_INLINE __attribute__((always_inline))

namespace {

constexpr std::size_t windowSize = std::size_t{1} << 16; // the farthest a distance reaches back
constexpr std::size_t bufferSize = 4 * windowSize;       // the window, then output decoded ahead
constexpr std::size_t copySlack = 16;                    // word copies write up to 7 bytes past a match
// One step of the fast loop writes two literals or a match of up to 258 bytes (a longer one is
// checked on its own), and refills the bit buffer three times: 8 bytes read, at most 7 taken, each.
constexpr std::size_t fastRoom = 258 + 2;
constexpr std::size_t fastInput = 32;

constexpr unsigned literalRootBits = 10;
constexpr unsigned distanceRootBits = 8;
constexpr unsigned codeLengthRootBits = 7; // code-length codes are at most 7 bits: no sub-tables
constexpr unsigned maxCodeBits = 15;
constexpr unsigned maxLiteralCodes = 286;
constexpr unsigned endOfBlock = 256;

// A table entry: bits 0-4 the bits the entry takes (below its root for a sub-table's entry),
// bits 5-9 the extra bits that follow the code (or a link's sub-table index bits), bits 10-13 what
// the code is, bits 16-31 its value (a literal, a length or distance base, a sub-table's offset).
constexpr std::uint32_t takesMask = 0x1F;
constexpr unsigned extraShift = 5;
constexpr std::uint32_t literalFlag = 1u << 10;
constexpr std::uint32_t endFlag = 1u << 11;
constexpr std::uint32_t linkFlag = 1u << 12;
constexpr std::uint32_t invalidFlag = 1u << 13;
constexpr unsigned valueShift = 16;

constexpr std::uint32_t MakeEntry(std::uint32_t value, unsigned extra, std::uint32_t flags, unsigned takes) {
    return value << valueShift | flags | std::uint32_t{extra} << extraShift | takes;
}
constexpr unsigned Takes(std::uint32_t entry) { return entry & takesMask; }
constexpr unsigned Extra(std::uint32_t entry) { return entry >> extraShift & 0x1F; }
constexpr std::uint32_t Value(std::uint32_t entry) { return entry >> valueShift; }
constexpr std::uint64_t LowBits(unsigned count) { return (std::uint64_t{1} << count) - 1; }

// What symbol means in alphabet, as an entry without its bit count. Lengths 257-284 and distances
// 0-29 are deflate's; 285 is base 3 with 16 extra bits, 30 and 31 reach past 32 KiB.
std::uint32_t Meaning(unsigned symbol, bool literalLength) {
    if (!literalLength) {
        if (symbol < 4)
            return MakeEntry(symbol + 1, 0, 0, 0);
        const unsigned extra = (symbol >> 1) - 1;
        return MakeEntry(((2u | (symbol & 1u)) << extra) + 1, extra, 0, 0);
    }
    if (symbol < endOfBlock)
        return MakeEntry(symbol, 0, literalFlag, 0);
    if (symbol == endOfBlock)
        return MakeEntry(0, 0, endFlag, 0);
    if (symbol >= maxLiteralCodes)
        return MakeEntry(0, 0, invalidFlag, 0);
    if (symbol == 285)
        return MakeEntry(3, 16, 0, 0);
    const unsigned index = symbol - 257;
    if (index < 8)
        return MakeEntry(index + 3, 0, 0, 0);
    const unsigned extra = (index >> 2) - 1;
    return MakeEntry(((4u | (index & 3u)) << extra) + 3, extra, 0, 0);
}

unsigned Reverse(unsigned code, unsigned bits) {
    unsigned reversed = 0;
    for (unsigned i = 0; i < bits; ++i) {
        reversed = reversed << 1 | (code & 1u);
        code >>= 1;
    }
    return reversed;
}

// Written out byte by byte, which compilers make one load on little-endian machines; a loop they
// leave as a loop when optimising for size.
ROZBAL_ALWAYS_INLINE inline std::uint64_t LoadWord(const unsigned char* p) {
    return std::uint64_t{p[0]} | std::uint64_t{p[1]} << 8 | std::uint64_t{p[2]} << 16 | std::uint64_t{p[3]} << 24 |
           std::uint64_t{p[4]} << 32 | std::uint64_t{p[5]} << 40 | std::uint64_t{p[6]} << 48 |
           std::uint64_t{p[7]} << 56;
}

// Forward copy of a match whose source overlaps its destination: the bytes repeat with the period
// of the distance, so chunks that are whole periods are copied at once, each twice the last.
void CopyRepeating(unsigned char* to, std::size_t distance, std::size_t length) {
    const unsigned char* from = to - distance;
    unsigned char* at = to;
    while (length > 0) {
        const std::size_t chunk = std::min(length, static_cast<std::size_t>(at - from));
        std::memcpy(at, from, chunk);
        at += chunk;
        length -= chunk;
    }
}

// The fast loop's copy: words where the distance allows, overrunning the match by up to 7 bytes.
inline void CopyFast(unsigned char* to, std::size_t distance, std::size_t length) {
    if (distance >= 8) {
        const unsigned char* from = to - distance;
        for (std::size_t i = 0; i < length; i += 8)
            std::memcpy(to + i, from + i, 8);
    } else if (distance == 1) {
        std::memset(to, to[-1], length);
    } else if (length <= 16) {
        const unsigned char* from = to - distance;
        for (std::size_t i = 0; i < length; ++i)
            to[i] = from[i];
    } else {
        CopyRepeating(to, distance, length);
    }
}

} // namespace

std::unique_ptr<CZipCodec> MakeDeflate64Codec() { return std::make_unique<CZipDeflate64Codec>(); }

bool CZipDeflate64Codec::Start(const Entry&) {
    if (window.empty()) {
        try {
            window.resize(bufferSize + copySlack);
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    if (!fixedBuilt) {
        std::array<std::uint8_t, 288> fixed{};
        std::fill(fixed.begin(), fixed.begin() + 144, std::uint8_t{8});
        std::fill(fixed.begin() + 144, fixed.begin() + 256, std::uint8_t{9});
        std::fill(fixed.begin() + 256, fixed.begin() + 280, std::uint8_t{7});
        std::fill(fixed.begin() + 280, fixed.end(), std::uint8_t{8});
        BuildTable(fixed.data(), 288, Alphabet::LiteralLength, literalRootBits, fixedLiteralTable.data(),
                   fixedLiteralTable.size());
        std::fill(fixed.begin(), fixed.begin() + 32, std::uint8_t{5});
        BuildTable(fixed.data(), 32, Alphabet::Distance, distanceRootBits, fixedDistanceTable.data(),
                   fixedDistanceTable.size());
        fixedBuilt = true;
    }
    position = 0;
    flushed = 0;
    bitBuffer = 0;
    bitCount = 0;
    mode = Mode::BlockHeader;
    lastBlock = false;
    storedLeft = 0;
    matchLength = 0;
    copyLeft = 0;
    return true;
}

bool CZipDeflate64Codec::BuildTable(const std::uint8_t* lengths, unsigned count, Alphabet alphabet,
                                    unsigned rootBits, std::uint32_t* table, std::size_t tableSize) {
    std::array<unsigned, maxCodeBits + 1> perLength{};
    for (unsigned symbol = 0; symbol < count; ++symbol)
        ++perLength[lengths[symbol]];
    perLength[0] = 0;
    // Codes left unused at each length: below zero the set is over-subscribed, above zero at the end
    // incomplete. Deflate allows one incomplete case: a single code of one bit.
    int unused = 1;
    unsigned longest = 0;
    for (unsigned bits = 1; bits <= maxCodeBits; ++bits) {
        unused = unused * 2 - static_cast<int>(perLength[bits]);
        if (unused < 0)
            return false;
        if (perLength[bits] != 0)
            longest = bits;
    }
    if (unused > 0 && (alphabet == Alphabet::CodeLength || longest > 1))
        return false;

    // Canonical codes, first bit sent as the lowest bit.
    std::array<unsigned, maxCodeBits + 2> nextCode{};
    for (unsigned bits = 1; bits <= maxCodeBits; ++bits)
        nextCode[bits + 1] = (nextCode[bits] + perLength[bits]) << 1;
    std::array<std::uint16_t, 288 + 32> codes{};
    for (unsigned symbol = 0; symbol < count; ++symbol)
        if (lengths[symbol] != 0)
            codes[symbol] = static_cast<std::uint16_t>(Reverse(nextCode[lengths[symbol]]++, lengths[symbol]));

    const std::size_t rootSize = std::size_t{1} << rootBits;
    if (unused > 0)
        std::fill(table, table + rootSize, MakeEntry(0, 0, invalidFlag, 1));
    // A sub-table per root slot that longer codes start with, as deep as the longest of them.
    std::array<std::uint8_t, 1u << literalRootBits> subBits{};
    for (unsigned symbol = 0; symbol < count; ++symbol)
        if (lengths[symbol] > rootBits) {
            std::uint8_t& deepest = subBits[codes[symbol] & (rootSize - 1)];
            deepest = std::max(deepest, static_cast<std::uint8_t>(lengths[symbol] - rootBits));
        }
    std::size_t used = rootSize;
    for (std::size_t slot = 0; slot < rootSize; ++slot)
        if (subBits[slot] != 0) {
            table[slot] = MakeEntry(static_cast<std::uint32_t>(used), subBits[slot], linkFlag, rootBits);
            used += std::size_t{1} << subBits[slot];
            if (used > tableSize)
                return false;
        }

    for (unsigned symbol = 0; symbol < count; ++symbol) {
        const unsigned bits = lengths[symbol];
        if (bits == 0)
            continue;
        const std::uint32_t meaning = alphabet == Alphabet::CodeLength
                                          ? MakeEntry(symbol, 0, 0, 0)
                                          : Meaning(symbol, alphabet == Alphabet::LiteralLength);
        const unsigned code = codes[symbol];
        if (bits <= rootBits) {
            for (std::size_t slot = code; slot < rootSize; slot += std::size_t{1} << bits)
                table[slot] = meaning | bits;
        } else {
            const std::uint32_t link = table[code & (rootSize - 1)];
            std::uint32_t* sub = table + Value(link);
            const std::size_t subSize = std::size_t{1} << Extra(link);
            for (std::size_t slot = code >> rootBits; slot < subSize; slot += std::size_t{1} << (bits - rootBits))
                sub[slot] = meaning | (bits - rootBits);
        }
    }
    return true;
}

CZipCodec::Status CZipDeflate64Codec::Decode(const unsigned char*& in, std::size_t& inLeft, unsigned char*& out,
                                             std::size_t& outLeft, bool lastInput) {
    if (mode == Mode::Finished)
        return finishedWith;
    next = in;
    end = in + inLeft;
    callStart = in;
    Status status = Going;
    for (;;) {
        Flush(out, outLeft);
        if (mode == Mode::LastBlockEnded) {
            if (flushed == position) {
                // Whole bytes after the stream's end go back to the caller; the rest of the last
                // byte is padding.
                const std::size_t unused = std::min<std::size_t>(bitCount / 8, static_cast<std::size_t>(next - callStart));
                next -= unused;
                status = Ended;
                finishedWith = Ended;
                mode = Mode::Finished;
            }
            break;
        }
        if (flushed == position && position > bufferSize - fastRoom) {
            std::memmove(window.data(), window.data() + position - windowSize, windowSize);
            position = windowSize;
            flushed = windowSize;
        }
        if (position == bufferSize)
            break;
        const Stop stop = Run();
        if (stop == Stop::Damage) {
            status = Damaged;
            finishedWith = Damaged;
            mode = Mode::Finished;
            break;
        }
        if (stop == Stop::NeedInput) {
            Flush(out, outLeft);
            if (lastInput) {
                status = Truncated;
                finishedWith = Truncated;
                mode = Mode::Finished;
            }
            break;
        }
    }
    inLeft -= static_cast<std::size_t>(next - in);
    in = next;
    return status;
}

void CZipDeflate64Codec::Flush(unsigned char*& out, std::size_t& outLeft) {
    const std::size_t count = std::min(position - flushed, outLeft);
    if (count == 0)
        return;
    std::memcpy(out, window.data() + flushed, count);
    flushed += count;
    out += count;
    outLeft -= count;
}

bool CZipDeflate64Codec::Need(unsigned count) {
    while (bitCount < count) {
        if (next == end)
            return false;
        bitBuffer |= std::uint64_t{*next++} << bitCount;
        bitCount += 8;
    }
    return true;
}

void CZipDeflate64Codec::Drop(unsigned count) {
    bitBuffer >>= count;
    bitCount -= count;
}

bool CZipDeflate64Codec::Peek(const std::uint32_t* table, unsigned rootBits, unsigned at, std::uint32_t& entry,
                              unsigned& through) const {
    const std::uint64_t bits = bitBuffer >> at;
    entry = table[bits & LowBits(rootBits)];
    through = at + Takes(entry);
    if (entry & linkFlag) {
        entry = table[Value(entry) + ((bits >> rootBits) & LowBits(Extra(entry)))];
        through = at + rootBits + Takes(entry);
    }
    return through <= bitCount;
}

CZipDeflate64Codec::Stop CZipDeflate64Codec::Run() {
    for (;;) {
        switch (mode) {
        case Mode::BlockHeader: {
            if (!Need(3))
                return Stop::NeedInput;
            lastBlock = (bitBuffer & 1u) != 0;
            const unsigned type = static_cast<unsigned>(bitBuffer >> 1 & 3u);
            Drop(3);
            if (type == 0) {
                Drop(bitCount % 8);
                mode = Mode::StoredLength;
            } else if (type == 1) {
                literalCodes = fixedLiteralTable.data();
                distanceCodes = fixedDistanceTable.data();
                literalRoot = literalRootBits;
                distanceRoot = distanceRootBits;
                mode = Mode::Codes;
            } else if (type == 2) {
                mode = Mode::TableSizes;
            } else {
                return Stop::Damage;
            }
            break;
        }
        case Mode::StoredLength: {
            if (!Need(32))
                return Stop::NeedInput;
            const auto length = static_cast<std::uint32_t>(bitBuffer & 0xFFFF);
            const auto complement = static_cast<std::uint32_t>(bitBuffer >> 16 & 0xFFFF);
            if ((length ^ complement) != 0xFFFF)
                return Stop::Damage;
            Drop(32);
            storedLeft = length;
            mode = Mode::Stored;
            break;
        }
        case Mode::Stored: {
            const Stop stop = CopyStored();
            if (stop != Stop::StreamEnd)
                return stop;
            mode = lastBlock ? Mode::LastBlockEnded : Mode::BlockHeader;
            break;
        }
        case Mode::TableSizes:
        case Mode::CodeLengthLengths:
        case Mode::CodeLengths: {
            const Stop stop = ReadTables();
            if (stop != Stop::StreamEnd)
                return stop;
            mode = Mode::Codes;
            break;
        }
        case Mode::Codes: {
            if (copyLeft != 0) {
                CopyMatch();
                if (copyLeft != 0)
                    return Stop::NeedRoom;
            }
            Stop stop = Stop::NeedInput;
            if (matchLength == 0 && static_cast<std::size_t>(end - next) >= fastInput &&
                bufferSize - position >= fastRoom)
                stop = RunFast();
            else
                stop = DecodeSlowly();
            if (stop == Stop::StreamEnd) {
                mode = lastBlock ? Mode::LastBlockEnded : Mode::BlockHeader;
                break;
            }
            if (stop == Stop::NeedRoom && copyLeft == 0 && bufferSize - position >= fastRoom)
                break; // the fast loop ran short of input: slow steps take the last bytes
            return stop;
        }
        case Mode::LastBlockEnded:
        case Mode::Finished:
            return Stop::StreamEnd;
        }
    }
}

CZipDeflate64Codec::Stop CZipDeflate64Codec::CopyStored() {
    while (storedLeft != 0 && bitCount >= 8 && position < bufferSize) {
        window[position++] = static_cast<unsigned char>(bitBuffer);
        Drop(8);
        --storedLeft;
    }
    if (storedLeft == 0)
        return Stop::StreamEnd;
    const std::size_t count = std::min({static_cast<std::size_t>(storedLeft), bufferSize - position,
                                        static_cast<std::size_t>(end - next)});
    std::memcpy(window.data() + position, next, count);
    position += count;
    next += count;
    storedLeft -= static_cast<std::uint32_t>(count);
    if (storedLeft == 0)
        return Stop::StreamEnd;
    return position == bufferSize ? Stop::NeedRoom : Stop::NeedInput;
}

CZipDeflate64Codec::Stop CZipDeflate64Codec::ReadTables() {
    static constexpr std::uint8_t order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    if (mode == Mode::TableSizes) {
        if (!Need(14))
            return Stop::NeedInput;
        literalCount = static_cast<unsigned>(bitBuffer & 0x1F) + 257;
        distanceCount = static_cast<unsigned>(bitBuffer >> 5 & 0x1F) + 1;
        codeLengthCount = static_cast<unsigned>(bitBuffer >> 10 & 0xF) + 4;
        Drop(14);
        if (literalCount > maxLiteralCodes)
            return Stop::Damage;
        codeLengthLengths.fill(0);
        lengthsRead = 0;
        mode = Mode::CodeLengthLengths;
    }
    if (mode == Mode::CodeLengthLengths) {
        for (; lengthsRead < codeLengthCount; ++lengthsRead) {
            if (!Need(3))
                return Stop::NeedInput;
            codeLengthLengths[order[lengthsRead]] = static_cast<std::uint8_t>(bitBuffer & 7u);
            Drop(3);
        }
        if (!BuildTable(codeLengthLengths.data(), 19, Alphabet::CodeLength, codeLengthRootBits,
                        codeLengthTable.data(), codeLengthTable.size()))
            return Stop::Damage;
        lengthsRead = 0;
        mode = Mode::CodeLengths;
    }
    const unsigned total = literalCount + distanceCount;
    while (lengthsRead < total) {
        std::uint32_t entry = 0;
        unsigned through = 0;
        while (!Peek(codeLengthTable.data(), codeLengthRootBits, 0, entry, through))
            if (!Need(bitCount + 8))
                return Stop::NeedInput;
        const unsigned symbol = Value(entry);
        if (symbol < 16) {
            Drop(through);
            lengths[lengthsRead++] = static_cast<std::uint8_t>(symbol);
            continue;
        }
        // 16: the last length 3-6 times; 17: zeros 3-10 times; 18: zeros 11-138 times.
        const unsigned extra = symbol == 16 ? 2 : symbol == 17 ? 3 : 7;
        if (!Need(through + extra))
            return Stop::NeedInput;
        const unsigned repeat = static_cast<unsigned>(bitBuffer >> through & LowBits(extra)) +
                                (symbol == 18 ? 11 : 3);
        if (symbol == 16 && lengthsRead == 0)
            return Stop::Damage;
        if (repeat > total - lengthsRead)
            return Stop::Damage;
        Drop(through + extra);
        const std::uint8_t value = symbol == 16 ? lengths[lengthsRead - 1] : std::uint8_t{0};
        std::fill_n(lengths.begin() + lengthsRead, repeat, value);
        lengthsRead += repeat;
    }
    if (lengths[endOfBlock] == 0)
        return Stop::Damage;
    if (!BuildTable(lengths.data(), literalCount, Alphabet::LiteralLength, literalRootBits, literalTable.data(),
                    literalTable.size()) ||
        !BuildTable(lengths.data() + literalCount, distanceCount, Alphabet::Distance, distanceRootBits,
                    distanceTable.data(), distanceTable.size()))
        return Stop::Damage;
    literalCodes = literalTable.data();
    distanceCodes = distanceTable.data();
    literalRoot = literalRootBits;
    distanceRoot = distanceRootBits;
    return Stop::StreamEnd;
}

void CZipDeflate64Codec::CopyMatch() {
    const std::size_t count = std::min(static_cast<std::size_t>(copyLeft), bufferSize - position);
    unsigned char* to = window.data() + position;
    if (copyDistance >= count)
        std::memcpy(to, to - copyDistance, count);
    else
        CopyRepeating(to, copyDistance, count);
    position += count;
    copyLeft -= static_cast<std::uint32_t>(count);
}

// One code at a time, taking input a byte at a time and nothing of a code until all its bits (and
// its extra bits) are there: for the stream's last bytes and the output's last room.
CZipDeflate64Codec::Stop CZipDeflate64Codec::DecodeSlowly() {
    for (;;) {
        std::uint32_t entry = 0;
        unsigned through = 0;
        if (matchLength == 0) {
            if (position == bufferSize)
                return Stop::NeedRoom;
            while (!Peek(literalCodes, literalRoot, 0, entry, through))
                if (!Need(bitCount + 8))
                    return Stop::NeedInput;
            if (entry & literalFlag) {
                Drop(through);
                window[position++] = static_cast<unsigned char>(Value(entry));
                continue;
            }
            if (entry & endFlag) {
                Drop(through);
                return Stop::StreamEnd;
            }
            if (entry & invalidFlag)
                return Stop::Damage;
            if (!Need(through + Extra(entry)))
                return Stop::NeedInput;
            matchLength = Value(entry) + static_cast<std::uint32_t>(bitBuffer >> through & LowBits(Extra(entry)));
            Drop(through + Extra(entry));
        }
        while (!Peek(distanceCodes, distanceRoot, 0, entry, through))
            if (!Need(bitCount + 8))
                return Stop::NeedInput;
        if (entry & invalidFlag)
            return Stop::Damage;
        if (!Need(through + Extra(entry)))
            return Stop::NeedInput;
        const std::uint32_t distance =
            Value(entry) + static_cast<std::uint32_t>(bitBuffer >> through & LowBits(Extra(entry)));
        if (distance > position)
            return Stop::Damage;
        Drop(through + Extra(entry));
        copyLeft = matchLength;
        copyDistance = distance;
        matchLength = 0;
        CopyMatch();
        if (copyLeft != 0)
            return Stop::NeedRoom;
    }
}

// Whole codes with a full bit buffer, while the input and the room hold a step's worst case.
CZipDeflate64Codec::Stop CZipDeflate64Codec::RunFast() {
    const unsigned char* at = next;
    const unsigned char* const inputLimit = end - fastInput;
    unsigned char* const base = window.data();
    std::size_t outAt = position;
    const std::size_t outLimit = bufferSize - fastRoom;
    std::uint64_t bits = bitBuffer;
    unsigned count = bitCount;
    const std::uint32_t* const literals = literalCodes;
    const std::uint32_t* const distances = distanceCodes;
    const std::uint64_t literalMask = LowBits(literalRoot);
    const std::uint64_t distanceMask = LowBits(distanceRoot);
    const unsigned literalBits = literalRoot;
    const unsigned distanceBits = distanceRoot;
    Stop stop = Stop::NeedRoom;

    auto refill = [&]() ROZBAL_ALWAYS_INLINE {
        bits |= LoadWord(at) << count;
        const unsigned bytes = (63 - count) >> 3;
        at += bytes;
        count += bytes * 8;
    };
    auto take = [&](unsigned n) ROZBAL_ALWAYS_INLINE {
        bits >>= n;
        count -= n;
    };
    auto decode = [&](const std::uint32_t* table, std::uint64_t mask, unsigned rootBits) ROZBAL_ALWAYS_INLINE {
        std::uint32_t entry = table[bits & mask];
        if (entry & linkFlag) {
            take(rootBits);
            entry = table[Value(entry) + (bits & LowBits(Extra(entry)))];
        }
        take(Takes(entry));
        return entry;
    };

    while (at <= inputLimit && outAt <= outLimit) {
        refill();
        std::uint32_t entry = decode(literals, literalMask, literalBits);
        if (entry & literalFlag) {
            base[outAt++] = static_cast<unsigned char>(Value(entry));
            entry = decode(literals, literalMask, literalBits);
            if (entry & literalFlag) {
                base[outAt++] = static_cast<unsigned char>(Value(entry));
                continue;
            }
            refill();
        }
        if (entry & (endFlag | invalidFlag)) {
            stop = entry & endFlag ? Stop::StreamEnd : Stop::Damage;
            break;
        }
        const std::size_t length = Value(entry) + static_cast<std::size_t>(bits & LowBits(Extra(entry)));
        take(Extra(entry));
        refill();
        entry = decode(distances, distanceMask, distanceBits);
        if (entry & invalidFlag) {
            stop = Stop::Damage;
            break;
        }
        const std::size_t distance = Value(entry) + static_cast<std::size_t>(bits & LowBits(Extra(entry)));
        take(Extra(entry));
        if (distance > outAt) {
            stop = Stop::Damage;
            break;
        }
        if (length > bufferSize - outAt) {
            copyLeft = static_cast<std::uint32_t>(length);
            copyDistance = static_cast<std::uint32_t>(distance);
            break;
        }
        CopyFast(base + outAt, distance, length);
        outAt += length;
    }

    // Whole bytes the buffer holds beyond its bits go back to the input; those of earlier calls
    // are kept.
    const std::size_t unused = std::min<std::size_t>(count / 8, static_cast<std::size_t>(at - callStart));
    at -= unused;
    count -= static_cast<unsigned>(unused * 8);
    bits &= LowBits(count);
    next = at;
    position = outAt;
    bitBuffer = bits;
    bitCount = count;
    if (copyLeft != 0) {
        CopyMatch();
        return Stop::NeedRoom;
    }
    return stop;
}
