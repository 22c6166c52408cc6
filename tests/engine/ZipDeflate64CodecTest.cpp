// The Deflate64 codec against 7-Zip's streams (made here at run time), zlib's deflate streams that read
// the same, and streams written bit by bit for what 7-Zip never writes: lengths past 258 through code
// 285, each rule of damage, and truncation. Every stream is fed in pieces of 1, 7 and all bytes into
// rooms of 1 and all bytes.
#include "support/TempDir.h"

#include "engine/decode/ZipDeflate64Codec.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr const char* sevenZip = "/usr/bin/7z";

std::string Random(std::size_t size, std::uint32_t seed) {
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 16);
    }
    return bytes;
}

// Words from a small vocabulary: matches are many and short, and none reaches 258 bytes.
std::string Words(std::size_t size, std::uint32_t seed) {
    static const char* const vocabulary[] = {"rozbal", "archiv", "soubor", "slozka", "data", "okno", "kod",
                                             "delka", "vzdalenost", "blok", "konec", "a", "i", "na", "do"};
    std::string text;
    while (text.size() < size) {
        seed = seed * 1103515245u + 12345u;
        text += vocabulary[(seed >> 16) % 15];
        text += (seed >> 8) % 11 == 0 ? ".\n" : " ";
    }
    text.resize(size);
    return text;
}

// Deflate64 written bit by bit, with the output it stands for.
class CStreamWriter {
  public:
    using Codes = std::vector<std::pair<unsigned, unsigned>>; // per symbol: code, length

    std::string bytes;
    std::string output;

    void Bits(std::uint32_t value, unsigned count) {
        for (unsigned i = 0; i < count; ++i) {
            if (bitsUsed % 8 == 0)
                bytes += '\0';
            bytes.back() = static_cast<char>(bytes.back() | ((value >> i & 1u) << (bitsUsed % 8)));
            ++bitsUsed;
        }
    }
    // Huffman codes go out from their first bit.
    void Code(const std::pair<unsigned, unsigned>& code) {
        for (unsigned i = code.second; i-- > 0;)
            Bits(code.first >> i & 1u, 1);
    }
    void Stored(bool last, const std::string& data, unsigned complement = 0xFFFF) {
        Bits(last, 1);
        Bits(0, 2);
        bitsUsed = static_cast<unsigned>(bytes.size() * 8);
        Bits(static_cast<std::uint32_t>(data.size()), 16);
        Bits(static_cast<std::uint32_t>(data.size()) ^ complement, 16);
        for (const char c : data)
            Bits(static_cast<unsigned char>(c), 8);
        output += data;
    }
    void Fixed(bool last) {
        Bits(last, 1);
        Bits(1, 2);
        std::vector<unsigned> literals(288, 8), distances(32, 5);
        std::fill(literals.begin() + 144, literals.begin() + 256, 9);
        std::fill(literals.begin() + 256, literals.begin() + 280, 7);
        literalCodes = Canonical(literals);
        distanceCodes = Canonical(distances);
    }
    // A dynamic header as given: code-length code lengths in symbol order, then {symbol, extra} pairs.
    void Header(bool last, unsigned literals, unsigned distances, const std::vector<unsigned>& codeLengthLengths,
                const std::vector<std::pair<unsigned, unsigned>>& sequence) {
        static const unsigned order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
        Bits(last, 1);
        Bits(2, 2);
        Bits(literals - 257, 5);
        Bits(distances - 1, 5);
        Bits(19 - 4, 4);
        for (const unsigned symbol : order)
            Bits(codeLengthLengths[symbol], 3);
        const Codes codes = Canonical(codeLengthLengths);
        for (const auto& [symbol, extra] : sequence) {
            Code(codes[symbol]);
            Bits(extra, symbol == 16 ? 2 : symbol == 17 ? 3 : symbol == 18 ? 7 : 0);
        }
    }
    // A dynamic block of these code lengths, each sent as itself in a 4-bit code-length code.
    void Dynamic(bool last, const std::vector<unsigned>& literals, const std::vector<unsigned>& distances) {
        std::vector<unsigned> codeLengths(19, 4);
        codeLengths[16] = codeLengths[17] = codeLengths[18] = 0;
        std::vector<std::pair<unsigned, unsigned>> sequence;
        for (const unsigned length : literals)
            sequence.push_back({length, 0});
        for (const unsigned length : distances)
            sequence.push_back({length, 0});
        Header(last, static_cast<unsigned>(literals.size()), static_cast<unsigned>(distances.size()), codeLengths,
               sequence);
        literalCodes = Canonical(literals);
        distanceCodes = Canonical(distances);
    }
    void Literal(unsigned char byte) {
        Code(literalCodes[byte]);
        output += static_cast<char>(byte);
    }
    void Literals(const std::string& text) {
        for (const char c : text)
            Literal(static_cast<unsigned char>(c));
    }
    void End() { Code(literalCodes[256]); }
    // Length code 285 for any length past 258, or where asked.
    void Match(unsigned length, unsigned distance, bool code285 = false) {
        static const unsigned lengthBase[] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                              31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 3};
        static const unsigned lengthExtra[] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                               2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 16};
        static const unsigned distanceBase[] = {1,    2,    3,    4,    5,    7,     9,     13,    17,    25,   33,
                                                49,   65,   97,   129,  193,  257,   385,   513,   769,   1025, 1537,
                                                2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577, 32769, 49153};
        unsigned l = 28;
        if (length <= 258 && !code285)
            for (l = 0; l + 1 < 28 && lengthBase[l + 1] <= length;)
                ++l;
        unsigned d = 0;
        while (d + 1 < 32 && distanceBase[d + 1] <= distance)
            ++d;
        Code(literalCodes[257 + l]);
        Bits(length - lengthBase[l], lengthExtra[l]);
        Code(distanceCodes[d]);
        Bits(distance - distanceBase[d], d < 4 ? 0 : d / 2 - 1);
        for (unsigned i = 0; i < length && distance <= output.size(); ++i)
            output += output[output.size() - distance];
    }

    Codes literalCodes;
    Codes distanceCodes;

    static Codes Canonical(const std::vector<unsigned>& lengths) {
        Codes codes(lengths.size());
        unsigned code = 0;
        for (unsigned length = 1; length <= 15; ++length, code <<= 1)
            for (std::size_t symbol = 0; symbol < lengths.size(); ++symbol)
                if (lengths[symbol] == length)
                    codes[symbol] = {code++, length};
        return codes;
    }

  private:
    unsigned bitsUsed = 0;
};

struct Outcome {
    CZipCodec::Status status = CZipCodec::Going;
    std::string output;
    std::size_t unused = 0; // input bytes not taken at the end
    std::string fault;      // a broken rule of the interface
};

// Feeds stream as the entry decoder does: pieces of the given size, each copied to a block of its own
// size (so the sanitizers see a read past it) and handed on until all its bytes are taken, into a room
// with guard bytes behind it.
Outcome Feed(CZipCodec& codec, const std::string& stream, std::size_t piece, std::size_t room) {
    Outcome outcome;
    constexpr std::size_t guard = 16;
    std::size_t at = 0; // stream bytes taken
    std::vector<unsigned char> input;
    std::size_t pieceEnd = 0;
    std::vector<unsigned char> output(room + guard, 0xA5);
    for (;;) {
        if (at == pieceEnd) {
            pieceEnd = at + std::min(piece, stream.size() - at);
            input.assign(stream.begin() + static_cast<std::ptrdiff_t>(at),
                         stream.begin() + static_cast<std::ptrdiff_t>(pieceEnd));
        }
        const std::size_t give = pieceEnd - at;
        const unsigned char* const from = input.data() + (input.size() - give);
        const unsigned char* in = from;
        std::size_t inLeft = give;
        unsigned char* out = output.data();
        std::size_t outLeft = room;
        outcome.status = codec.Decode(in, inLeft, out, outLeft, pieceEnd == stream.size());
        if (inLeft > give || outLeft > room || in != from + (give - inLeft) ||
            out != output.data() + (room - outLeft) ||
            std::any_of(output.begin() + static_cast<std::ptrdiff_t>(room), output.end(),
                        [](unsigned char c) { return c != 0xA5; })) {
            outcome.fault = "pointers, counts or room overrun at input byte " + std::to_string(at);
            return outcome;
        }
        at += give - inLeft;
        outcome.output.append(output.begin(), output.begin() + static_cast<std::ptrdiff_t>(room - outLeft));
        if (outcome.status != CZipCodec::Going)
            break;
        if (inLeft == give && outLeft == room) {
            outcome.fault = "no progress at input byte " + std::to_string(at);
            return outcome;
        }
    }
    outcome.unused = stream.size() - at;
    // A finished stream says so again and takes nothing.
    const unsigned char* in = reinterpret_cast<const unsigned char*>(stream.data()) + at;
    std::size_t inLeft = stream.size() - at;
    unsigned char spare = 0;
    unsigned char* out = &spare;
    std::size_t outLeft = 1;
    if (codec.Decode(in, inLeft, out, outLeft, true) != outcome.status || inLeft != stream.size() - at ||
        outLeft != 1)
        outcome.fault = "a call after the end changed something";
    return outcome;
}

const std::size_t pieces[] = {1, 7, SIZE_MAX};

struct Stream {
    std::string bytes;
    std::string output;
    std::size_t trailing = 0; // bytes after the stream's end
    std::string skip;         // why the row cannot run here
};

struct StreamRow {
    const char* label;
    std::function<Stream()> make;
};

// The entry's data out of a one-file ZIP: the local header's sizes are set, as 7-Zip writes them.
Stream SevenZip(const std::string& data, std::size_t atMost = SIZE_MAX) {
    Stream stream;
    stream.output = data;
#ifdef _WIN32
    // Under Wine the Linux 7-Zip is there, but the C library's shell is not.
    stream.skip = "7-Zip runs on the Linux side";
    return stream;
#endif
    if (!std::ifstream(sevenZip).good()) {
        stream.skip = "7-Zip is not installed";
        return stream;
    }
    CTempDir dir;
    std::ofstream(dir.Join("data.bin"), std::ios::binary) << data;
    const std::string command = "cd '" + dir.Path() + "' && " + sevenZip +
                                " a -bd -tzip -mm=Deflate64 -mx=9 t.zip data.bin >/dev/null 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    std::ifstream file(dir.Join("t.zip"), std::ios::binary);
    const std::string zip{std::istreambuf_iterator<char>(file), {}};
    auto field = [&](std::size_t offset, std::size_t size) {
        std::uint32_t value = 0;
        for (std::size_t i = size; i-- > 0;)
            value = value << 8 | static_cast<unsigned char>(zip.at(offset + i));
        return value;
    };
    EXPECT_EQ(field(0, 4), 0x04034B50u);
    EXPECT_EQ(field(8, 2), 9u) << "7-Zip did not deflate64 the data";
    const std::size_t start = 30 + field(26, 2) + field(28, 2);
    stream.bytes = zip.substr(start, field(18, 4));
    EXPECT_LE(stream.bytes.size(), atMost);
    return stream;
}

Stream Zlib(const std::string& data, int level, int strategy) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, -15, 9, strategy), Z_OK);
    std::string bytes(deflateBound(&z, static_cast<uLong>(data.size())), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(&bytes[0]);
    z.avail_out = static_cast<uInt>(bytes.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    bytes.resize(z.total_out);
    deflateEnd(&z);
    return {bytes, data, 0, ""};
}

Stream Written(const std::function<void(CStreamWriter&)>& write, const std::string& trailing = "") {
    CStreamWriter writer;
    write(writer);
    return {writer.bytes + trailing, writer.output, trailing.size(), ""};
}

// Code lengths: n codes of each given length, then zeros up to count.
std::vector<unsigned> Lengths(std::size_t count, const std::vector<std::pair<unsigned, unsigned>>& runs) {
    std::vector<unsigned> lengths;
    for (const auto& [n, length] : runs)
        lengths.insert(lengths.end(), n, length);
    lengths.resize(count, 0);
    return lengths;
}

// A stored, a dynamic and a fixed block, and a last stored one; a data descriptor after the end.
Stream MixedBlocks() {
    return Written(
        [](CStreamWriter& w) {
            w.Stored(false, "stored ");
            w.Dynamic(false, Lengths(286, {{226, 8}, {60, 9}}), {1, 2, 3, 3});
            w.Literals("abab"), w.Match(5, 2), w.Match(4, 4), w.End();
            w.Fixed(false), w.Literals("fixed"), w.Match(10, 5), w.End();
            w.Stored(true, "!");
        },
        std::string("PK\x07\x08 descriptor"));
}

const std::string random40k = Random(40 << 10, 3);

const StreamRow streamRows[] = {
    {"7-Zip: text repeated", [] { return SevenZip(Words(30000, 1) + Words(30000, 1) + Words(90000, 2)); }},
    // Incompressible but for the copies 40 KiB back: small only with distances past 32 KiB.
    {"7-Zip: 40 KiB random thrice", [] { return SevenZip(random40k + random40k + random40k, 48 << 10); }},
    {"7-Zip: a run of 100 000 bytes", [] { return SevenZip(Words(5000, 3) + std::string(100000, 'x') + "end"); }},
    {"7-Zip: random, stored blocks", [] { return SevenZip(Random(200000, 4) + Words(60000, 5)); }},
    {"7-Zip: 3 MiB", [] { return SevenZip(Words(3 << 20, 6)); }},
    {"zlib: level 1", [] { return Zlib(Words(300000, 7), 1, Z_DEFAULT_STRATEGY); }},
    {"zlib: level 9", [] { return Zlib(Words(300000, 7), 9, Z_DEFAULT_STRATEGY); }},
    {"zlib: fixed codes", [] { return Zlib(Words(100000, 8), 6, Z_FIXED); }},
    {"zlib: codes only", [] { return Zlib(Words(100000, 8), 6, Z_HUFFMAN_ONLY); }},
    {"zlib: stored", [] { return Zlib(Random(150000, 9), 0, Z_DEFAULT_STRATEGY); }},
    {"empty, fixed", [] { return Written([](CStreamWriter& w) { w.Fixed(true), w.End(); }); }},
    {"empty, stored", [] { return Written([](CStreamWriter& w) { w.Stored(true, ""); }); }},
    {"code 285: 65538 bytes and its shortest",
     [] {
         return Written([](CStreamWriter& w) {
             w.Fixed(true), w.Literal('a'), w.Match(65538, 1), w.Match(3, 1, true), w.Match(300, 7), w.End();
         });
     }},
    {"distance codes 30 and 31, and 65536",
     [] {
         return Written([](CStreamWriter& w) {
             w.Stored(false, Random(65535, 10));
             w.Fixed(true), w.Match(100, 32769), w.Match(100, 49152), w.Match(200, 49153), w.Match(65538, 65536);
             w.End();
         });
     }},
    {"blocks of every kind, data after the end", MixedBlocks},
    // Lengths 1 to 15: the root tables' links and their sub-tables.
    {"codes of every length",
     [] {
         return Written([](CStreamWriter& w) {
             std::vector<unsigned> literals(258, 0), distances(16, 15);
             for (unsigned k = 0; k < 14; ++k)
                 literals['a' + k] = distances[k] = k + 1;
             literals[256] = literals[257] = 15;
             w.Dynamic(true, literals, distances);
             for (int i = 0; i < 20; ++i)
                 w.Literals("abcdefghijklmn");
             w.Match(3, 1), w.Match(3, 129), w.Match(3, 200), w.Match(3, 2), w.Match(3, 5), w.Literal('n'), w.End();
         });
     }},
    {"one distance code of one bit",
     [] {
         return Written([](CStreamWriter& w) {
             std::vector<unsigned> literals(258, 0);
             literals['a'] = literals[256] = literals[257] = 2, literals['b'] = 2;
             w.Dynamic(true, literals, {1}), w.Literals("ab"), w.Match(3, 1), w.End();
         });
     }},
    {"no distance codes", [] {
         return Written([](CStreamWriter& w) {
             std::vector<unsigned> literals(257, 0);
             literals['z'] = literals[256] = 1;
             w.Dynamic(true, literals, {0}), w.Literals("zzz"), w.End();
         });
     }},
};

void PrintTo(const StreamRow& row, std::ostream* os) { *os << row.label; }

class Deflate64Streams : public ::testing::TestWithParam<StreamRow> {};

TEST_P(Deflate64Streams, DecodeWhateverThePiecesAndRooms) {
    const Stream stream = GetParam().make();
    if (!stream.skip.empty())
        GTEST_SKIP() << stream.skip;
    CZipDeflate64Codec codec;
    for (const std::size_t piece : pieces)
        for (const std::size_t room : {std::size_t{1}, std::max<std::size_t>(stream.output.size(), 1)}) {
            // The codec is reused: a stream left in its middle must not leak into the next.
            ASSERT_TRUE(codec.Start({}));
            Feed(codec, random40k, 4096, 4096);
            ASSERT_TRUE(codec.Start({}));
            const Outcome outcome = Feed(codec, stream.bytes, piece, room);
            const std::string where = "pieces of " + std::to_string(piece) + ", room " + std::to_string(room);
            ASSERT_EQ(outcome.fault, "") << where;
            ASSERT_EQ(outcome.status, CZipCodec::Ended) << where;
            ASSERT_EQ(outcome.output.size(), stream.output.size()) << where;
            ASSERT_TRUE(outcome.output == stream.output) << where;
            EXPECT_EQ(outcome.unused, stream.trailing) << where;
        }
}

std::string RowName(const char* label) {
    std::string name;
    for (const char* p = label; *p; ++p)
        if (std::isalnum(static_cast<unsigned char>(*p)))
            name += *p;
    return name;
}

INSTANTIATE_TEST_SUITE_P(Rows, Deflate64Streams, ::testing::ValuesIn(streamRows),
                         [](const ::testing::TestParamInfo<StreamRow>& info) { return RowName(info.param.label); });

struct DamagedRow {
    const char* label;
    std::function<void(CStreamWriter&)> write;
};

// 254 codes of 8 bits and 4 of 9: complete, end of block and length code 257 among the 9-bit ones.
std::vector<unsigned> CompleteLiterals() { return Lengths(258, {{254, 8}, {4, 9}}); }

const DamagedRow damagedRows[] = {
    {"block type 3", [](CStreamWriter& w) { w.Bits(1, 1), w.Bits(3, 2); }},
    {"stored length against its complement", [](CStreamWriter& w) { w.Stored(true, "abc", 0xFFFE); }},
    {"over-subscribed literal codes", [](CStreamWriter& w) { w.Dynamic(true, Lengths(257, {{257, 7}}), {1, 1}); }},
    {"incomplete literal codes", [](CStreamWriter& w) { w.Dynamic(true, Lengths(257, {{200, 8}, {57, 9}}), {1, 1}); }},
    {"over-subscribed distance codes", [](CStreamWriter& w) { w.Dynamic(true, CompleteLiterals(), {1, 1, 1}); }},
    {"incomplete distance codes", [](CStreamWriter& w) { w.Dynamic(true, CompleteLiterals(), {2, 2, 2}); }},
    {"two of one bit and one of two in the code-length code",
     [](CStreamWriter& w) { w.Header(true, 257, 1, Lengths(19, {{2, 1}, {1, 2}}), {}); }},
    // Symbol 17 left without a code; the lengths sent are all right.
    {"incomplete code-length code",
     [](CStreamWriter& w) {
         std::vector<std::pair<unsigned, unsigned>> sequence;
         for (const unsigned length : CompleteLiterals())
             sequence.push_back({length, 0});
         sequence.insert(sequence.end(), 2, {1, 0});
         w.Header(true, 258, 2, Lengths(19, {{15, 4}, {1, 0}, {1, 5}}), sequence);
         w.literalCodes = CStreamWriter::Canonical(CompleteLiterals());
         w.distanceCodes = CStreamWriter::Canonical({1, 1});
         w.Literals("ok"), w.End();
     }},
    {"repeat before any length",
     [](CStreamWriter& w) { w.Header(true, 257, 1, Lengths(19, {{15, 4}, {1, 0}, {2, 5}}), {{16, 0}}); }},
    // The last length repeated 3 times where one is left: the lengths are right but for the overrun.
    {"repeat past the last length",
     [](CStreamWriter& w) {
         std::vector<std::pair<unsigned, unsigned>> sequence;
         for (const unsigned length : CompleteLiterals())
             sequence.push_back({length, 0});
         sequence.push_back({1, 0});
         sequence.push_back({16, 0});
         w.Header(true, 258, 2, Lengths(19, {{15, 4}, {1, 0}, {2, 5}}), sequence);
         w.literalCodes = CStreamWriter::Canonical(CompleteLiterals());
         w.distanceCodes = CStreamWriter::Canonical({1, 1});
         w.Literals("ok"), w.End();
     }},
    {"no end-of-block code",
     [](CStreamWriter& w) { w.Dynamic(true, Lengths(258, {{255, 8}, {1, 9}, {1, 0}, {1, 9}}), {1, 1}); }},
    {"287 literal/length codes", [](CStreamWriter& w) { w.Dynamic(true, Lengths(287, {{225, 8}, {62, 9}}), {1, 1}); }},
    {"fixed code 286", [](CStreamWriter& w) {
         // Read as a length past 258 (6 extra bits) it would end well.
         w.Fixed(true), w.Literal('a'), w.Code(w.literalCodes[286]), w.Bits(0, 6), w.Code(w.distanceCodes[0]), w.End();
     }},
    {"fixed code 287", [](CStreamWriter& w) {
         // Read as a length past 258 (6 extra bits) it would end well.
         w.Fixed(true), w.Literal('a'), w.Code(w.literalCodes[287]), w.Bits(0, 6), w.Code(w.distanceCodes[0]), w.End();
     }},
    {"distance before the start", [](CStreamWriter& w) { w.Fixed(true), w.Literals("ab"), w.Match(3, 3), w.End(); }},
    {"a far distance before the start",
     [](CStreamWriter& w) { w.Stored(false, Random(60000, 11)), w.Fixed(true), w.Match(3, 60001), w.End(); }},
    {"the missing half of one distance code",
     [](CStreamWriter& w) {
         w.Dynamic(true, CompleteLiterals(), {1});
         w.Literal('a'), w.Code(w.literalCodes[257]), w.Code({1, 1});
     }},
    {"a length with no distance codes",
     [](CStreamWriter& w) { w.Dynamic(true, CompleteLiterals(), {0}), w.Literal('a'), w.Code(w.literalCodes[257]); }},
};

void PrintTo(const DamagedRow& row, std::ostream* os) { *os << row.label; }

class Deflate64Damaged : public ::testing::TestWithParam<DamagedRow> {};

TEST_P(Deflate64Damaged, IsDamagedWhateverThePieces) {
    CStreamWriter writer;
    GetParam().write(writer);
    // Input that goes on after the damage must not hide it.
    const std::string stream = writer.bytes + Random(64, 12);
    CZipDeflate64Codec codec;
    for (const std::size_t piece : pieces)
        for (const std::size_t room : {std::size_t{1}, std::size_t{1} << 17}) {
            ASSERT_TRUE(codec.Start({}));
            const Outcome outcome = Feed(codec, stream, piece, room);
            const std::string where = "pieces of " + std::to_string(piece) + ", room " + std::to_string(room);
            EXPECT_EQ(outcome.fault, "") << where;
            EXPECT_EQ(outcome.status, CZipCodec::Damaged) << where;
            // Nothing comes out of the damage itself.
            EXPECT_TRUE(outcome.output == writer.output.substr(0, outcome.output.size())) << where;
            EXPECT_LE(outcome.output.size(), writer.output.size()) << where;
        }
}

INSTANTIATE_TEST_SUITE_P(Rows, Deflate64Damaged, ::testing::ValuesIn(damagedRows),
                         [](const ::testing::TestParamInfo<DamagedRow>& info) { return RowName(info.param.label); });

// Cut at every byte, a stream of each block kind is truncated, and what came out is the start of
// its output.
TEST(Deflate64Truncated, AtEveryByte) {
    const Stream whole = MixedBlocks();
    CZipDeflate64Codec codec;
    const std::size_t size = whole.bytes.size() - whole.trailing;
    for (std::size_t cut = 0; cut < size; ++cut)
        for (const std::size_t piece : {std::size_t{1}, SIZE_MAX}) {
            ASSERT_TRUE(codec.Start({}));
            const Outcome outcome = Feed(codec, whole.bytes.substr(0, cut), piece, 64);
            ASSERT_EQ(outcome.fault, "") << cut;
            ASSERT_EQ(outcome.status, CZipCodec::Truncated) << "cut at " << cut << ", pieces of " << piece;
            ASSERT_EQ(outcome.output, whole.output.substr(0, outcome.output.size())) << cut;
        }
}

} // namespace
