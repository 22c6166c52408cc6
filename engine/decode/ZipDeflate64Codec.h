#pragma once

#include "engine/decode/ZipCodec.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// Deflate64 (method 9): deflate with a 64 KiB window, distance codes 30 and 31 (base 32769 and 49153,
// 14 extra bits each), and length code 285 read as base 3 with 16 extra bits (lengths up to 65538).
// Output is decoded into a buffer of its own that holds the window behind it, and handed out from
// there: any room and any input piece, down to one byte, decode the same bytes. As strict as zlib's
// inflate: a code set that is over-subscribed or incomplete (but for one code of one bit), a stored
// length whose complement does not match, a distance before the output's start, a repeat before any
// length, and codes 286 and 287 are damage.
class CZipDeflate64Codec final : public CZipCodec {
  public:
    bool Start(const Entry& entry) override;
    Status Decode(const unsigned char*& in, std::size_t& inLeft, unsigned char*& out, std::size_t& outLeft,
                  bool lastInput) override;

  private:
    enum class Mode {
        BlockHeader,       // 3 bits: last block, type
        StoredLength,      // LEN and its complement, from a byte boundary
        Stored,            // storedLeft raw bytes
        TableSizes,        // HLIT, HDIST, HCLEN
        CodeLengthLengths, // 3 bits for each code-length code, in their odd order
        CodeLengths,       // the literal/length and distance lengths, coded
        Codes,             // literals and matches up to the block's end code
        LastBlockEnded,    // all decoded; ended once the output has been taken
        Finished,          // Ended, Damaged or Truncated was returned: said again to any later call
    };
    // What one run of the decoder stopped at.
    enum class Stop { NeedInput, NeedRoom, StreamEnd, Damage };

    // A code table: a root of rootBits indexed by the next bits of input, sub-tables after it for
    // the longer codes. Entries hold the bits to take, the extra bits or a sub-table's index bits,
    // what the code means, and a value (see the .cpp).
    enum class Alphabet { LiteralLength, Distance, CodeLength };
    static bool BuildTable(const std::uint8_t* lengths, unsigned count, Alphabet alphabet, unsigned rootBits,
                           std::uint32_t* table, std::size_t tableSize);

    Stop Run();
    Stop RunFast();
    Stop ReadTables();
    Stop DecodeSlowly();
    Stop CopyStored();
    void CopyMatch();
    void Flush(unsigned char*& out, std::size_t& outLeft);
    // Takes bytes until the bit buffer holds count bits; false when the input ran out first.
    bool Need(unsigned count);
    void Drop(unsigned count);
    // The code at bit offset at of the buffer, and the bits it takes with that offset; false when
    // the buffer does not yet hold all of its bits.
    bool Peek(const std::uint32_t* table, unsigned rootBits, unsigned at, std::uint32_t& entry,
              unsigned& through) const;

    static constexpr std::size_t literalTableSize = 2560; // 1024 root + the most sub-tables 288 codes make
    static constexpr std::size_t distanceTableSize = 768; // 256 root + the most sub-tables 32 codes make
    static constexpr std::size_t codeLengthTableSize = 128;

    std::vector<unsigned char> window; // the last 64 KiB of output, then what is decoded ahead
    std::size_t position = 0;          // where the next output byte goes in window
    std::size_t flushed = 0;           // window bytes before this have been handed out
    std::uint64_t bitBuffer = 0;       // input bits not yet used, the next at bit 0; zero above bitCount
    unsigned bitCount = 0;
    const unsigned char* next = nullptr; // the call's input
    const unsigned char* end = nullptr;
    const unsigned char* callStart = nullptr;

    Mode mode = Mode::BlockHeader;
    Status finishedWith = Ended;
    bool lastBlock = false;
    std::uint32_t storedLeft = 0;
    std::uint32_t matchLength = 0;   // a length code read whose distance is still to come
    std::uint32_t copyLeft = 0;      // a match's bytes not yet copied for want of room
    std::uint32_t copyDistance = 0;
    unsigned literalCount = 0;       // code lengths of the block's dynamic codes, and how many are read
    unsigned distanceCount = 0;
    unsigned codeLengthCount = 0;
    unsigned lengthsRead = 0;
    std::array<std::uint8_t, 288 + 32> lengths{};
    std::array<std::uint8_t, 19> codeLengthLengths{};

    const std::uint32_t* literalCodes = nullptr; // the block's tables: the fixed ones or those below
    const std::uint32_t* distanceCodes = nullptr;
    unsigned literalRoot = 0;
    unsigned distanceRoot = 0;
    bool fixedBuilt = false;
    std::array<std::uint32_t, literalTableSize> literalTable{};
    std::array<std::uint32_t, distanceTableSize> distanceTable{};
    std::array<std::uint32_t, codeLengthTableSize> codeLengthTable{};
    std::array<std::uint32_t, 1024> fixedLiteralTable{};
    std::array<std::uint32_t, 256> fixedDistanceTable{};
};

std::unique_ptr<CZipCodec> MakeDeflate64Codec();
