// The external codecs run on streams the reference tools make when the test runs: fed in pieces of
// several sizes into rooms of several sizes, the output capped at the declared size as the entry
// decoder caps it, one codec object reused from stream to stream.
#if defined(ROZBAL_BZIP2) || defined(ROZBAL_LZMA) || defined(ROZBAL_ZSTD)

#include "engine/decode/ZipBzip2Codec.h"
#include "engine/decode/ZipCodecTable.h"
#include "engine/decode/ZipInflateCodec.h"
#include "engine/decode/ZipIsalInflateCodec.h"
#include "engine/decode/ZipLzmaCodec.h"
#include "engine/decode/ZipXzCodec.h"
#include "engine/decode/ZipZstdCodec.h"
#include "support/TempDir.h"
#include "support/ZipTestWriter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using ziptest::HaveTool;

// The libraries this run of the engine's suites passes over, from ROZBAL_TEST_SKIP_CODECS (ctest's
// zlib. and ISA-L. runs): every suite then decodes deflate with the one left.
[[maybe_unused]] const bool codecsSkipped = [] {
    ZipCodecTable::SkipLibraries(std::getenv("ROZBAL_TEST_SKIP_CODECS"));
    return true;
}();

using Bytes = std::vector<unsigned char>;
using Status = CZipCodec::Status;

const char* StatusName(int status) {
    static const char* const names[] = {"Going", "Ended", "Damaged", "Truncated", "Overfull", "TooBig"};
    return status >= 0 && status <= CZipCodec::TooBig ? names[status] : "?";
}

// How the tool's output becomes the entry's data.
enum Layout {
    AsIs,
    LzmaAlone, // a .lzma file (properties, 8-byte size, data) turned into ZIP's LZMA layout
    ZipEntry,  // the command wrote the entry's flags (2 bytes) and its data, taken from a ZIP
};

// Prints the flags and data of the first entry of the ZIP named by argv[1].
const char* const zipEntryScript = R"(import struct, sys, zipfile
info = zipfile.ZipFile(sys.argv[1]).infolist()[0]
with open(sys.argv[1], 'rb') as f:
    f.seek(info.header_offset)
    name, extra = struct.unpack('<HH', f.read(30)[26:30])
    f.seek(info.header_offset + 30 + name + extra)
    sys.stdout.buffer.write(struct.pack('<H', info.flag_bits) + f.read(info.compress_size))
sys.exit(info.compress_type == zipfile.ZIP_STORED))";

// The samples: empty, text of 20 KB (short) and of 200 KB, and 4 MiB of text and noise (several bzip2 blocks, many zstd
// blocks, a dictionary's worth of xz data).
Bytes MakeSample(const std::string& name) {
    Bytes bytes;
    std::uint32_t seed = 7;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 16;
    };
    static const char* const words[] = {"rozbal", "archive ", "entry", " data ", "stream\n", "block", "0123"};
    const std::size_t size = name == "empty" ? 0 : name == "short" ? 20000 : name == "text" ? 200000 : 4u << 20;
    while (bytes.size() < size) {
        if (name == "large" && next() % 2048 == 0)
            for (int i = 0; i < 4096; ++i)
                bytes.push_back(static_cast<unsigned char>(next()));
        const char* word = words[next() % 7];
        bytes.insert(bytes.end(), word, word + std::char_traits<char>::length(word));
    }
    bytes.resize(size);
    return bytes;
}

Bytes ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

struct CTools {
    CTempDir dir;
    std::map<std::string, Bytes> samples;
    std::map<std::string, Bytes> streams; // by sample and command

    const Bytes& Sample(const std::string& name) {
        auto found = samples.find(name);
        if (found == samples.end()) {
            found = samples.emplace(name, MakeSample(name)).first;
            std::ofstream(dir.Join(name), std::ios::binary)
                .write(reinterpret_cast<const char*>(found->second.data()),
                       static_cast<std::streamsize>(found->second.size()));
        }
        return found->second;
    }

    // The command's standard output; it reads the sample file named by $1 and may use $T, a
    // folder of its own. Empty with ok false when it fails.
    const Bytes& Stream(const std::string& sample, const std::string& command, bool& ok) {
        Sample(sample);
        const std::string key = sample + "\n" + command;
        auto found = streams.find(key);
        if (found != streams.end()) {
            ok = true;
            return found->second;
        }
        const std::string script = dir.Join("script.sh");
        std::ofstream(script) << "T=$(mktemp -d) || exit 1\n(" << command << ") > \"$2\"\nstatus=$?\nrm -rf \"$T\"\n"
                              << "exit $status\n";
        std::ofstream(dir.Join("entry.py")) << zipEntryScript;
        const std::string output = dir.Join("stream");
        const std::string line = "cd '" + dir.Path() + "' && sh script.sh '" + dir.Join(sample) + "' '" + output + "'";
        ok = std::system(line.c_str()) == 0;
        if (!ok)
            return streams[""];
        return streams.emplace(key, ReadFile(output)).first->second;
    }
};

CTools& Tools() {
    static CTools tools;
    return tools;
}

struct CRun {
    Status status = CZipCodec::Going; // Going: it stopped making progress
    Bytes output;
    std::size_t unused = 0; // input bytes left when it stopped
    std::size_t calls = 0;
};

// Runs one stream as the entry decoder does: pieces of input appended to what the codec left, room
// up to the declared size and no further.
CRun Decode(CZipCodec& codec, const CZipCodec::Entry& entry, const Bytes& stream, std::size_t piece, std::size_t room,
            std::size_t slack = 0) {
    CRun run;
    run.output.resize(static_cast<std::size_t>(entry.uncompressedSize) + slack);
    run.output.reserve(1); // a real pointer for zlib, which refuses a null one even with no room
    std::size_t used = 0, fed = std::min(piece, stream.size()), produced = 0;
    if (!codec.Start(entry)) {
        run.status = CZipCodec::TooBig;
        return run;
    }
    const std::size_t callLimit = 4 * (stream.size() + run.output.size()) + 100;
    for (; run.calls < callLimit; ++run.calls) {
        const unsigned char* in = stream.data() + used;
        std::size_t inLeft = fed - used;
        unsigned char* out = run.output.data() + produced;
        std::size_t outLeft = std::min(room, run.output.size() - produced);
        const std::size_t inGiven = inLeft, outGiven = outLeft;
        const unsigned char* const inStart = in;
        unsigned char* const outStart = out;
        run.status = codec.Decode(in, inLeft, out, outLeft, fed == stream.size());
        EXPECT_TRUE(inLeft <= inGiven && in == inStart + (inGiven - inLeft)) << "input pointer and count disagree";
        EXPECT_TRUE(outLeft <= outGiven && out == outStart + (outGiven - outLeft)) << "output pointer and count";
        used += inGiven - inLeft;
        produced += outGiven - outLeft;
        if (run.status != CZipCodec::Going)
            break;
        const bool progressed = inLeft != inGiven || outLeft != outGiven;
        if (inLeft == 0 || !progressed) {
            if (fed < stream.size())
                fed = std::min(stream.size(), fed + piece);
            else if (!progressed && (produced == run.output.size() || outGiven > 0))
                break; // no room past the declared size, or nothing more comes of it
        }
    }
    EXPECT_LT(run.calls, callLimit) << "the codec never stops";
    run.output.resize(produced);
    run.unused = stream.size() - used;
    return run;
}

struct CodecKind {
    const char* name;
    std::unique_ptr<CZipCodec> (*make)();
    const char* tool; // the command-line tool the rows need
};

// Raw deflate from zlib itself, one streaming decoder and then the other.
const CodecKind zlibInflate{"zlib", &MakeInflateCodec, "python3"};
#ifdef ROZBAL_ISAL
const CodecKind isalInflate{"ISA-L", &MakeIsalInflateCodec, "python3"};
#endif
#ifdef ROZBAL_BZIP2
const CodecKind bzip2Codec{"bzip2", &MakeBzip2Codec, "bzip2"};
#endif
#ifdef ROZBAL_LZMA
const CodecKind lzmaCodec{"lzma", &MakeLzmaCodec, "xz"};
const CodecKind xzCodec{"xz", &MakeXzCodec, "xz"};
#endif
#ifdef ROZBAL_ZSTD
const CodecKind zstdCodec{"zstd", &MakeZstdCodec, "zstd"};
#endif

// Turns the tool's output into the entry's data and the entry's flags.
bool Arrange(Layout layout, Bytes& stream, std::uint16_t& flags) {
    if (layout == LzmaAlone) {
        if (stream.size() < 13)
            return false;
        // SDK version 9.20, properties size 5, the properties; the 8-byte size goes.
        Bytes zip = {9, 20, 5, 0};
        zip.insert(zip.end(), stream.begin(), stream.begin() + 5);
        zip.insert(zip.end(), stream.begin() + 13, stream.end());
        stream.swap(zip);
    } else if (layout == ZipEntry) {
        if (stream.size() < 2)
            return false;
        flags = static_cast<std::uint16_t>(stream[0] | stream[1] << 8);
        stream.erase(stream.begin(), stream.begin() + 2);
    }
    return true;
}

// One stream per row, from a sample through a tool.
struct StreamRow {
    const char* label;
    const CodecKind* codec;
    const char* sample;
    const char* command; // reads the sample named by $1 and writes the stream
    Layout layout;
    std::uint16_t flags; // as in the entry's header, unless the layout brings them
    const char* peer;    // a tool beyond the codec's own the command needs, or null
};

void PrintTo(const StreamRow& row, std::ostream* os) { *os << row.label; }

// Commands reading the sample named by $1; $T is a folder of their own.
const char* const bzip2Text = "bzip2 -c < \"$1\"";
const char* const lzmaAlone = "xz --format=lzma -c < \"$1\"";
const char* const xzText = "xz -c < \"$1\"";
const char* const zstdText = "zstd -qc < \"$1\"";
const char* const sevenZipLzma =
    "7z a -tzip -mm=LZMA:eos=off \"$T/a.zip\" \"$1\" >/dev/null && python3 entry.py \"$T/a.zip\"";
const char* const sevenZipLzmaMarker =
    "7z a -tzip -mm=LZMA \"$T/a.zip\" \"$1\" >/dev/null && python3 entry.py \"$T/a.zip\"";
const char* const pythonLzma = "python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[2], \"w\", "
                               "zipfile.ZIP_LZMA).write(sys.argv[1], \"e\")' \"$1\" \"$T/a.zip\" && "
                               "python3 entry.py \"$T/a.zip\"";

// Raw deflate by Python's zlib: level, strategy (4: fixed Huffman codes only), and with a sync flush
// every 1000 bytes (empty stored blocks between the pieces).
#define DEFLATE_BY(level, strategy, flush)                                                                             \
    "python3 -c 'import sys, zlib; d = open(sys.argv[1], \"rb\").read(); "                                             \
    "c = zlib.compressobj(" level ", zlib.DEFLATED, -15, 8, " strategy "); f = " flush "; "                            \
    "sys.stdout.buffer.write(b\"\".join(c.compress(d[i:i + f]) + (c.flush(zlib.Z_SYNC_FLUSH) if f < len(d) "           \
    "else b\"\") for i in range(0, max(len(d), 1), f)) + c.flush())' \"$1\""
const char* const deflateText = DEFLATE_BY("6", "0", "len(d) + 1");
const char* const deflateFixed = DEFLATE_BY("6", "4", "len(d) + 1");
const char* const deflateStored = DEFLATE_BY("0", "0", "len(d) + 1");
const char* const deflateFlushed = DEFLATE_BY("1", "0", "1000");
const char* const sevenZipDeflate =
    "7z a -tzip -mm=Deflate -mx=9 \"$T/a.zip\" \"$1\" >/dev/null && python3 entry.py \"$T/a.zip\"";

#define DEFLATE_STREAM_ROWS(codec, name)                                                                               \
    {name " empty", &codec, "empty", deflateText, AsIs, 0, nullptr},                                                   \
        {name " text", &codec, "text", deflateText, AsIs, 0, nullptr},                                                 \
        {name " fixed codes", &codec, "text", deflateFixed, AsIs, 0, nullptr},                                         \
        {name " stored blocks", &codec, "large", deflateStored, AsIs, 0, nullptr},                                     \
        {name " sync flushes", &codec, "text", deflateFlushed, AsIs, 0, nullptr},                                      \
        {name " large", &codec, "large", deflateText, AsIs, 0, nullptr},                                               \
        {name " 7-Zip -mx=9", &codec, "large", sevenZipDeflate, ZipEntry, 0, "7z"},

const StreamRow streamRows[] = {
    DEFLATE_STREAM_ROWS(zlibInflate, "zlib")
#ifdef ROZBAL_ISAL
        DEFLATE_STREAM_ROWS(isalInflate, "ISA-L")
#endif
#ifdef ROZBAL_BZIP2
            {"bzip2 empty", &bzip2Codec, "empty", bzip2Text, AsIs, 0, nullptr},
    {"bzip2 text", &bzip2Codec, "text", bzip2Text, AsIs, 0, nullptr},
    {"bzip2 -1 large", &bzip2Codec, "large", "bzip2 -1c < \"$1\"", AsIs, 0, nullptr},
    {"bzip2 -9 large", &bzip2Codec, "large", "bzip2 -9c < \"$1\"", AsIs, 0, nullptr},
    {"bzip2 from Python's zipfile", &bzip2Codec, "text",
     "python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[2], \"w\", zipfile.ZIP_BZIP2).write(sys.argv[1], "
     "\"e\")' \"$1\" \"$T/a.zip\" && python3 entry.py \"$T/a.zip\"",
     ZipEntry, 0, "python3"},
#endif
#ifdef ROZBAL_LZMA
    {"lzma empty, end marker", &lzmaCodec, "empty", lzmaAlone, LzmaAlone, 2, nullptr},
    {"lzma text, end marker", &lzmaCodec, "text", lzmaAlone, LzmaAlone, 2, nullptr},
    {"lzma text, size and a marker after it", &lzmaCodec, "text", lzmaAlone, LzmaAlone, 0, nullptr},
    {"lzma lc=0 lp=2 pb=0", &lzmaCodec, "text", "xz --format=lzma --lzma1=lc=0,lp=2,pb=0 -c < \"$1\"", LzmaAlone, 2,
     nullptr},
    {"lzma large, end marker", &lzmaCodec, "large", "xz --format=lzma -3c < \"$1\"", LzmaAlone, 2, nullptr},
    {"lzma from Python's zipfile", &lzmaCodec, "text", pythonLzma, ZipEntry, 0, "python3"},
    {"lzma empty from Python's zipfile", &lzmaCodec, "empty", pythonLzma, ZipEntry, 0, "python3"},
    {"lzma from 7-Zip, no end marker", &lzmaCodec, "text", sevenZipLzma, ZipEntry, 0, "7z"},
    {"lzma from 7-Zip, end marker", &lzmaCodec, "text", sevenZipLzmaMarker, ZipEntry, 0, "7z"},
    {"lzma large from 7-Zip, no end marker", &lzmaCodec, "large", sevenZipLzma, ZipEntry, 0, "7z"},
    {"xz empty", &xzCodec, "empty", xzText, AsIs, 0, nullptr},
    {"xz text crc64", &xzCodec, "text", xzText, AsIs, 0, nullptr},
    {"xz text crc32", &xzCodec, "text", "xz -c --check=crc32 < \"$1\"", AsIs, 0, nullptr},
    {"xz text sha256", &xzCodec, "text", "xz -c --check=sha256 < \"$1\"", AsIs, 0, nullptr},
    {"xz text no check", &xzCodec, "text", "xz -c --check=none < \"$1\"", AsIs, 0, nullptr},
    {"xz x86 filter", &xzCodec, "text", "xz -c --x86 --lzma2 < \"$1\"", AsIs, 0, nullptr},
    {"xz arm64 filter", &xzCodec, "text", "xz -c --arm64 --lzma2 < \"$1\"", AsIs, 0, nullptr},
    {"xz delta filter", &xzCodec, "text", "xz -c --delta=dist=4 --lzma2 < \"$1\"", AsIs, 0, nullptr},
    {"xz large, blocks of 1 MiB", &xzCodec, "large", "xz -c -1 --block-size=1MiB < \"$1\"", AsIs, 0, nullptr},
    {"xz large, one block", &xzCodec, "large", "xz -3c < \"$1\"", AsIs, 0, nullptr},
#endif
#ifdef ROZBAL_ZSTD
    {"zstd empty", &zstdCodec, "empty", zstdText, AsIs, 0, nullptr},
    {"zstd text", &zstdCodec, "text", zstdText, AsIs, 0, nullptr},
    {"zstd text without checksum", &zstdCodec, "text", "zstd -qc --no-check < \"$1\"", AsIs, 0, nullptr},
    {"zstd large -12", &zstdCodec, "large", "zstd -qc -12 < \"$1\"", AsIs, 0, nullptr},
    {"zstd large, size unknown", &zstdCodec, "large", "cat \"$1\" | zstd -qc", AsIs, 0, nullptr},
    {"zstd two frames and a skippable one", &zstdCodec, "text",
     "head -c 1000 \"$1\" | zstd -qc; printf '\\120\\052\\115\\030\\004\\000\\000\\000abcd'; "
     "tail -c +1001 \"$1\" | zstd -qc",
     AsIs, 0, nullptr},
#endif
};

class ZipCodecStreams : public ::testing::TestWithParam<StreamRow> {};

// Every piece size into every room: the bytes and an ended stream with no input left over. The same
// codec first stops at a cut copy of the stream, then decodes the whole one each time.
TEST_P(ZipCodecStreams, DecodeInPieces) {
    const StreamRow& row = GetParam();
    if (!HaveTool(row.codec->tool) || (row.peer != nullptr && !HaveTool(row.peer)) ||
        (row.layout == ZipEntry && !HaveTool("python3")))
        GTEST_SKIP() << row.codec->tool << (row.peer ? std::string(" or ") + row.peer : "") << " is not installed";
    bool ok = false;
    Bytes stream = Tools().Stream(row.sample, row.command, ok);
    std::uint16_t flags = row.flags;
    ASSERT_TRUE(ok && Arrange(row.layout, stream, flags)) << row.command;
    const Bytes& sample = Tools().Sample(row.sample);
    const CZipCodec::Entry entry{stream.size(), sample.size(), flags};
    std::unique_ptr<CZipCodec> codec = row.codec->make();

    const Bytes cut(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(stream.size() / 2));
    // Not of an empty deflate stream's 2 bytes: zlib's extra byte past the data makes up its second.
    if (stream.size() > 2) {
        EXPECT_NE(Decode(*codec, entry, cut, cut.size(), sample.size()).status, CZipCodec::Ended) << "half the stream";
    }

    const bool large = sample.size() > 1000000;
    for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{64} << 10, stream.size()}) {
        for (const std::size_t room : {std::size_t{1}, sample.size()}) {
            // Byte by byte only where the calls stay in the hundreds of thousands.
            if (large && (piece < 1024 || room == 1))
                continue;
            const CRun run =
                Decode(*codec, entry, stream, std::max<std::size_t>(piece, 1), std::max<std::size_t>(room, 1));
            SCOPED_TRACE("pieces of " + std::to_string(piece) + ", room " + std::to_string(room));
            EXPECT_STREQ(StatusName(run.status), "Ended");
            EXPECT_EQ(run.unused, 0u);
            ASSERT_EQ(run.output.size(), sample.size());
            EXPECT_TRUE(run.output == sample) << "the bytes differ";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(ZipCodecTools, ZipCodecStreams, ::testing::ValuesIn(streamRows));

// What a bad stream may end as.
enum Expect {
    NotEnded,         // Truncated or Damaged
    IsDamaged,        // Damaged
    DamagedOrWrong,   // not Ended with the right bytes: a codec without a check of its own
    EndedWithTrailer, // Ended, the right bytes, the appended bytes unused
    IsTooBig,         // TooBig
    EndedRight,       // Ended with the right bytes
};

enum Change {
    Keep,      // the stream as the command made it
    Cut,       // the stream cut to `at` bytes (negative: from its end)
    Flip,      // byte `at` (negative: from the end; 0: the middle) inverted
    Append,    // `at` bytes of text after the stream
    Patch,     // byte `at` set to `value`
    PatchLe32, // bytes `at` to `at` + 3 set to `value`, little-endian
};

struct BadRow {
    const char* label;
    const CodecKind* codec;
    const char* sample;
    const char* command;
    Layout layout;
    std::uint16_t flags;
    Change change;
    long at;
    std::uint32_t value;    // Patch, PatchLe32; EndedWithTrailer: the bytes left unused
    std::uint64_t declared; // the uncompressed size the entry declares; 0: the sample's
    Expect expect;
};

void PrintTo(const BadRow& row, std::ostream* os) { *os << row.label; }

bool ApplyChange(const BadRow& row, Bytes& stream) {
    const long size = static_cast<long>(stream.size());
    long at = row.at < 0 ? size + row.at : row.at;
    if (row.change == Flip && row.at == 0)
        at = size / 2;
    switch (row.change) {
    case Keep:
        return true;
    case Cut:
        if (at < 0 || at >= size)
            return false;
        stream.resize(static_cast<std::size_t>(at));
        return true;
    case Flip:
    case Patch:
        if (at < 0 || at >= size)
            return false;
        stream[static_cast<std::size_t>(at)] = row.change == Flip
                                                   ? static_cast<unsigned char>(~stream[static_cast<std::size_t>(at)])
                                                   : static_cast<unsigned char>(row.value);
        return true;
    case PatchLe32:
        if (at < 0 || at + 4 > size)
            return false;
        for (int i = 0; i < 4; ++i)
            stream[static_cast<std::size_t>(at + i)] = static_cast<unsigned char>(row.value >> (8 * i));
        return true;
    case Append:
        for (long i = 0; i < row.at; ++i)
            stream.push_back(static_cast<unsigned char>("trailing"[i % 8]));
        return true;
    }
    return false;
}

// Deflate has no check of its own: damage that still decodes is the CRC's to find.
#define DEFLATE_BAD_ROWS(codec, name)                                                                                  \
    {name " nothing at all", &codec, "empty", deflateText, AsIs, 0, Cut, 0, 0, 0, NotEnded},                           \
        {name " cut in the first block", &codec, "text", deflateText, AsIs, 0, Cut, 100, 0, 0, NotEnded},              \
        {name " cut before the end code", &codec, "text", deflateText, AsIs, 0, Cut, -1, 0, 0, DamagedOrWrong},        \
        {name " cut in a stored block", &codec, "large", deflateStored, AsIs, 0, Cut, 70000, 0, 0, NotEnded},          \
        {name " damaged byte", &codec, "text", deflateText, AsIs, 0, Flip, 0, 0, 0, DamagedOrWrong},                   \
        {name " damaged fixed codes", &codec, "text", deflateFixed, AsIs, 0, Flip, 0, 0, 0, DamagedOrWrong},           \
        {name " reserved block type", &codec, "text", deflateText, AsIs, 0, Patch, 0, 0x07, 0, IsDamaged},             \
        {name " stored length unchecked", &codec, "large", deflateStored, AsIs, 0, Patch, 3, 0x00, 0, IsDamaged},      \
        {name " data after the end", &codec, "text", deflateText, AsIs, 0, Append, 9, 9, 0, EndedWithTrailer},         \
        {name " more than declared", &codec, "text", deflateText, AsIs, 0, Keep, 0, 0, 150000, DamagedOrWrong},

const BadRow badRows[] = {
    DEFLATE_BAD_ROWS(zlibInflate, "zlib")
#ifdef ROZBAL_ISAL
        DEFLATE_BAD_ROWS(isalInflate, "ISA-L")
#endif
#ifdef ROZBAL_BZIP2
            {"bzip2 cut to its signature", &bzip2Codec, "text", bzip2Text, AsIs, 0, Cut, 3, 0, 0, NotEnded},
    {"bzip2 cut in the first block", &bzip2Codec, "text", bzip2Text, AsIs, 0, Cut, 100, 0, 0, NotEnded},
    {"bzip2 cut before its stream CRC", &bzip2Codec, "text", bzip2Text, AsIs, 0, Cut, -3, 0, 0, NotEnded},
    {"bzip2 empty cut", &bzip2Codec, "empty", bzip2Text, AsIs, 0, Cut, -1, 0, 0, NotEnded},
    {"bzip2 nothing at all", &bzip2Codec, "empty", bzip2Text, AsIs, 0, Cut, 0, 0, 0, NotEnded},
    {"bzip2 damaged byte", &bzip2Codec, "text", bzip2Text, AsIs, 0, Flip, 0, 0, 0, IsDamaged},
    {"bzip2 damaged stream CRC", &bzip2Codec, "text", bzip2Text, AsIs, 0, Flip, -2, 0, 0, IsDamaged},
    {"bzip2 not a bzip2 stream", &bzip2Codec, "text", bzip2Text, AsIs, 0, Patch, 0, 'X', 0, IsDamaged},
    {"bzip2 data after the end", &bzip2Codec, "text", bzip2Text, AsIs, 0, Append, 9, 9, 0, EndedWithTrailer},
    {"bzip2 a second stream after the end", &bzip2Codec, "text", "bzip2 -c < \"$1\"; bzip2 -c < \"$1\"", AsIs, 0, Cut,
     -1, 0, 0, EndedRight},
#endif
#ifdef ROZBAL_LZMA
    {"lzma cut in the header", &lzmaCodec, "text", lzmaAlone, LzmaAlone, 2, Cut, 6, 0, 0, NotEnded},
    {"lzma cut after the header", &lzmaCodec, "text", lzmaAlone, LzmaAlone, 2, Cut, 9, 0, 0, NotEnded},
    {"lzma cut in the data", &lzmaCodec, "text", lzmaAlone, LzmaAlone, 2, Cut, 2000, 0, 0, NotEnded},
    {"lzma cut in the end marker", &lzmaCodec, "text", lzmaAlone, LzmaAlone, 2, Cut, -2, 0, 0, NotEnded},
    {"lzma cut, size known", &lzmaCodec, "text", lzmaAlone, LzmaAlone, 0, Cut, -30, 0, 0, NotEnded},
    {"lzma end marker required, none there", &lzmaCodec, "text",
     "7z a -tzip -mm=LZMA:eos=off \"$T/a.zip\" \"$1\" >/dev/null && python3 entry.py \"$T/a.zip\" | tail -c +3 | "
     "{ printf '\\002\\000'; cat; }",
     ZipEntry, 0, Keep, 0, 0, 0, NotEnded},
    {"lzma damaged byte", &lzmaCodec, "text", lzmaAlone, LzmaAlone, 2, Flip, 0, 0, 0, DamagedOrWrong},
    {"lzma properties size 6", &lzmaCodec, "text", lzmaAlone, LzmaAlone, 2, Patch, 2, 6, 0, IsDamaged},
    {"lzma properties size 5 << 8", &lzmaCodec, "text", lzmaAlone, LzmaAlone, 2, Patch, 3, 5, 0, IsDamaged},
    {"lzma lc=4 lp=1", &lzmaCodec, "text", lzmaAlone, LzmaAlone, 2, Patch, 4, (2 * 5 + 1) * 9 + 4, 0, IsDamaged},
    {"lzma lc/lp/pb byte 225", &lzmaCodec, "text", lzmaAlone, LzmaAlone, 2, Patch, 4, 225, 0, IsDamaged},
    {"lzma dictionary 128 MiB, 100 MiB declared", &lzmaCodec, "text", lzmaAlone, LzmaAlone, 2, PatchLe32, 5, 128u << 20,
     100u << 20, IsTooBig},
    // A dictionary never needs to hold more than the whole output.
    {"lzma dictionary 128 MiB, 200 KB declared", &lzmaCodec, "text", lzmaAlone, LzmaAlone, 2, PatchLe32, 5, 128u << 20,
     0, EndedRight},
    {"lzma data after the end marker", &lzmaCodec, "text", lzmaAlone, LzmaAlone, 2, Append, 9, 9, 0, EndedWithTrailer},
    {"lzma data after the declared size", &lzmaCodec, "text", sevenZipLzma, ZipEntry, 0, Append, 9, 9, 0,
     EndedWithTrailer},
    {"xz cut in the header", &xzCodec, "text", xzText, AsIs, 0, Cut, 5, 0, 0, NotEnded},
    {"xz cut in the block", &xzCodec, "text", xzText, AsIs, 0, Cut, 2000, 0, 0, NotEnded},
    {"xz cut in the index", &xzCodec, "text", xzText, AsIs, 0, Cut, -14, 0, 0, NotEnded},
    {"xz cut in the footer", &xzCodec, "text", xzText, AsIs, 0, Cut, -1, 0, 0, NotEnded},
    {"xz damaged byte, crc64", &xzCodec, "text", xzText, AsIs, 0, Flip, 0, 0, 0, IsDamaged},
    {"xz damaged byte, no check", &xzCodec, "text", "xz -c --check=none < \"$1\"", AsIs, 0, Flip, 0, 0, 0,
     DamagedOrWrong},
    {"xz damaged check", &xzCodec, "text", "xz -c --check=sha256 < \"$1\"", AsIs, 0, Flip, -40, 0, 0, IsDamaged},
    {"xz data after the end", &xzCodec, "text", xzText, AsIs, 0, Append, 9, 9, 0, EndedWithTrailer},
    {"xz stream padding after the end", &xzCodec, "text", "xz -c < \"$1\"; printf '\\0\\0\\0\\0'", AsIs, 0, Keep, 0, 4,
     0, EndedWithTrailer},
    {"xz dictionary 128 MiB", &xzCodec, "text", "cat \"$1\" | xz -c --lzma2=dict=128MiB", AsIs, 0, Keep, 0, 0, 0,
     IsTooBig},
#endif
#ifdef ROZBAL_ZSTD
    {"zstd cut in the frame header", &zstdCodec, "text", zstdText, AsIs, 0, Cut, 5, 0, 0, NotEnded},
    {"zstd cut in a block", &zstdCodec, "text", zstdText, AsIs, 0, Cut, 2000, 0, 0, NotEnded},
    {"zstd cut in the checksum", &zstdCodec, "text", zstdText, AsIs, 0, Cut, -2, 0, 0, NotEnded},
    {"zstd nothing at all", &zstdCodec, "empty", zstdText, AsIs, 0, Cut, 0, 0, 0, NotEnded},
    {"zstd cut in the skippable frame", &zstdCodec, "text",
     "zstd -qc < \"$1\"; printf '\\120\\052\\115\\030\\004\\000\\000\\000ab'", AsIs, 0, Keep, 0, 0, 0, NotEnded},
    {"zstd damaged byte", &zstdCodec, "text", zstdText, AsIs, 0, Flip, 0, 0, 0, IsDamaged},
    {"zstd damaged checksum", &zstdCodec, "text", zstdText, AsIs, 0, Flip, -1, 0, 0, IsDamaged},
    {"zstd damaged byte, no checksum", &zstdCodec, "text", "zstd -qc --no-check < \"$1\"", AsIs, 0, Flip, 0, 0, 0,
     DamagedOrWrong},
    {"zstd data after the end", &zstdCodec, "text", zstdText, AsIs, 0, Append, 9, 9, 0, EndedWithTrailer},
    {"zstd 3 bytes after the end", &zstdCodec, "text", zstdText, AsIs, 0, Append, 3, 3, 0, EndedWithTrailer},
    {"zstd window of 128 MiB", &zstdCodec, "text", "cat \"$1\" | zstd -qc --long=27", AsIs, 0, Keep, 0, 0, 0, IsTooBig},
#endif
};

class ZipCodecBadStreams : public ::testing::TestWithParam<BadRow> {};

TEST_P(ZipCodecBadStreams, EndAsExpected) {
    const BadRow& row = GetParam();
    const std::string command = row.command;
    if (!HaveTool(row.codec->tool) || (command.find("python3") != std::string::npos && !HaveTool("python3")) ||
        (command.find("7z") != std::string::npos && !HaveTool("7z")))
        GTEST_SKIP() << "a tool the row needs is not installed";
    bool ok = false;
    Bytes stream = Tools().Stream(row.sample, command, ok);
    std::uint16_t flags = row.flags;
    ASSERT_TRUE(ok && Arrange(row.layout, stream, flags)) << row.command;
    ASSERT_TRUE(ApplyChange(row, stream)) << "the change does not fit the stream";
    const Bytes& sample = Tools().Sample(row.sample);
    const CZipCodec::Entry entry{stream.size(), row.declared != 0 ? row.declared : sample.size(), flags};
    std::unique_ptr<CZipCodec> codec = row.codec->make();
    for (const std::size_t piece : {std::size_t{7}, std::max<std::size_t>(stream.size(), 1)}) {
        SCOPED_TRACE("pieces of " + std::to_string(piece));
        // A byte of room past the declared size: a stream that wants more input, not more room, is cut.
        const CRun run = Decode(*codec, entry, stream, piece, sample.size() + 1, 1);
        const bool right = run.status == CZipCodec::Ended && run.output == sample;
        switch (row.expect) {
        case NotEnded:
            EXPECT_TRUE(run.status == CZipCodec::Truncated || run.status == CZipCodec::Damaged)
                << StatusName(run.status);
            break;
        case IsDamaged:
            EXPECT_STREQ(StatusName(run.status), "Damaged");
            break;
        case DamagedOrWrong:
            EXPECT_FALSE(right) << "a damaged stream came out whole";
            break;
        case IsTooBig:
            EXPECT_STREQ(StatusName(run.status), "TooBig");
            break;
        case EndedWithTrailer:
            EXPECT_TRUE(right) << StatusName(run.status);
            EXPECT_EQ(run.unused, row.value);
            break;
        case EndedRight:
            EXPECT_TRUE(right) << StatusName(run.status);
            break;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(ZipCodecTools, ZipCodecBadStreams, ::testing::ValuesIn(badRows));

// A deflate stream cut at any byte is never taken for the whole one: both decoders are offered an
// extra zero byte past the data, which completes a stream cut in its last byte and elsewhere may
// decode to an early end (the entry then falls short of its size) or to bytes past it. ISA-L takes
// the same cuts as zlib does.
TEST(ZipCodecDeflate, EveryCutStopsShortAsZlibDoes) {
    if (!HaveTool("python3"))
        GTEST_SKIP() << "python3 is not installed";
    std::vector<const CodecKind*> codecs = {&zlibInflate};
#ifdef ROZBAL_ISAL
    codecs.push_back(&isalInflate);
#endif
    const Bytes& sample = Tools().Sample("short");
    for (const char* command : {deflateText, deflateFixed, deflateStored, deflateFlushed}) {
        bool ok = false;
        const Bytes stream = Tools().Stream("short", command, ok);
        ASSERT_TRUE(ok) << command;
        std::vector<std::unique_ptr<CZipCodec>> made;
        for (const CodecKind* kind : codecs)
            made.push_back(kind->make());
        for (std::size_t at = 0; at < stream.size(); ++at) {
            const Bytes cut(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(at));
            const CZipCodec::Entry entry{cut.size(), sample.size(), 0};
            const auto whole = [&](const CRun& run) { return run.status == CZipCodec::Ended && run.output == sample; };
            const bool zlibWhole = whole(Decode(*made[0], entry, cut, cut.size(), sample.size() + 1, 1));
            EXPECT_TRUE(!zlibWhole || at + 1 == stream.size()) << "zlib took the stream cut at " << at << " for whole";
            // What the zero byte decodes to may differ (a cut stream fails as damaged with one, as
            // longer than declared with the other), never whether the entry comes out.
            for (std::size_t i = 1; i < made.size(); ++i)
                EXPECT_EQ(whole(Decode(*made[i], entry, cut, cut.size(), sample.size() + 1, 1)), zlibWhole)
                    << codecs[i]->name << " at " << at << " of " << command;
            if (::testing::Test::HasFailure())
                return;
        }
    }
}

} // namespace

#endif
