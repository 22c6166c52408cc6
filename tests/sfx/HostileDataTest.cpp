// Archives made to exhaust time, memory or disk, and damaged records: each bounded, each ending
// with its closing line, the good entries around the bad ones still coming out.
#include "HostileCase.h"

#include <sys/stat.h>
#include <zlib.h>

#include <cstdio>
#include <stdexcept>

namespace {

using namespace ziptest;

const std::string goodName = "good.txt";
const std::string goodData = "fine";

HostileCase Row(std::string label, std::function<std::string(CSandbox&)> build, std::vector<Expect> entries) {
    HostileCase row;
    row.label = std::move(label);
    row.build = std::move(build);
    row.entries = std::move(entries);
    return row;
}

// The bad entries between two good ones, as written.
HostileCase Between(std::string label, std::vector<Entry> bad, std::vector<Expect> expected) {
    bad.insert(bad.begin(), File("first.txt", "first"));
    bad.push_back(File(goodName, goodData));
    expected.insert(expected.begin(), Ok("first.txt", "first"));
    expected.push_back(Ok(goodName, goodData));
    return Row(std::move(label), Build(bad), std::move(expected));
}

// An archive patched after it is built; with zip64, one with ZIP64 end records.
std::function<std::string(CSandbox&)>
Patched(std::vector<Entry> entries, std::function<void(std::string&, const Layout&)> patch, bool zip64 = false) {
    return [entries, patch, zip64](CSandbox&) {
        Layout layout;
        Options options;
        options.zip64EndRecord = zip64;
        std::string zip = BuildArchive(entries, options, &layout);
        patch(zip, layout);
        return zip;
    };
}

std::uint32_t StubSize() {
    struct stat st;
    const std::string stubPath = CStubRunner::StubPath();
    if (::stat(stubPath.c_str(), &st) != 0)
        throw std::runtime_error("no stub at " + stubPath);
    return static_cast<std::uint32_t>(st.st_size);
}

constexpr int rawDeflateWindowBits = -15;

std::string InflateRaw(std::string_view bytes) {
    z_stream stream{};
    if (inflateInit2(&stream, rawDeflateWindowBits) != Z_OK)
        throw std::runtime_error("inflateInit2");
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    stream.avail_in = static_cast<uInt>(bytes.size());
    std::string out;
    int result = Z_OK;
    while (result == Z_OK) {
        char chunk[65536];
        stream.next_out = reinterpret_cast<Bytef*>(chunk);
        stream.avail_out = sizeof chunk;
        result = inflate(&stream, Z_NO_FLUSH);
        out.append(chunk, sizeof chunk - stream.avail_out);
    }
    inflateEnd(&stream);
    if (result != Z_STREAM_END)
        throw std::runtime_error("inflate: " + std::to_string(result));
    return out;
}

// Sets an entry's CRC and both sizes in its local and central headers.
void PatchSizes(std::string& zip, const Layout& layout, std::size_t entry, std::uint32_t crc, std::uint32_t compressed,
                std::uint32_t uncompressed) {
    PutLE32(zip, layout.localHeader[entry] + localCrcOffset, crc);
    PutLE32(zip, layout.localHeader[entry] + localCompressedSizeOffset, compressed);
    PutLE32(zip, layout.localHeader[entry] + localUncompressedSizeOffset, uncompressed);
    PutLE32(zip, layout.centralHeader[entry] + centralCrcOffset, crc);
    PutLE32(zip, layout.centralHeader[entry] + centralCompressedSizeOffset, compressed);
    PutLE32(zip, layout.centralHeader[entry] + centralUncompressedSizeOffset, uncompressed);
}

// Overlapping entries sharing one deflate kernel: each entry's data open with a stored block that
// quotes the next entry's local header, so every entry inflates to all the headers after it and
// the kernel. Only the last entry's data end before another record begins.
constexpr int bombEntries = 10;
const std::string kernelData(2 << 20, 'k');
// A stored deflate block: one byte with BFINAL 0 and BTYPE 00, then LEN and its complement NLEN.
constexpr std::size_t storedBlockHeaderSize = 5;
constexpr std::size_t storedBlockLengthOffset = 1;
constexpr std::size_t storedBlockComplementOffset = 3;

std::string BombName(int i) { return "bomb" + std::to_string(i); }

std::string QuotedOverlapBomb() {
    std::vector<Entry> entries = {File(goodName, goodData)};
    for (int i = 0; i < bombEntries; ++i) {
        Entry entry = File(BombName(i), i + 1 < bombEntries ? "" : kernelData);
        if (i + 1 < bombEntries) {
            const auto quoted = static_cast<std::uint16_t>(localHeaderSize + BombName(i + 1).size());
            std::string block(storedBlockHeaderSize, '\0');
            PutLE16(block, storedBlockLengthOffset, quoted);
            PutLE16(block, storedBlockComplementOffset, static_cast<std::uint16_t>(~quoted));
            entry.rawData = block;
        }
        entries.push_back(entry);
    }
    Layout layout;
    std::string zip = BuildArchive(entries, {}, &layout);
    const std::size_t last = entries.size() - 1;
    const std::uint64_t kernelEnd =
        layout.data[last] + GetLE32(zip, layout.localHeader[last] + localCompressedSizeOffset);
    for (std::size_t i = last - 1; i >= 1; --i) {
        const std::string_view data = std::string_view(zip).substr(layout.data[i], kernelEnd - layout.data[i]);
        const std::string out = InflateRaw(data);
        PatchSizes(zip, layout, i, Crc32(out), static_cast<std::uint32_t>(data.size()),
                   static_cast<std::uint32_t>(out.size()));
    }
    return zip;
}

std::vector<Expect> QuotedOverlapExpected() {
    std::vector<Expect> expected = {Ok(goodName, goodData)};
    for (int i = 0; i + 1 < bombEntries; ++i)
        expected.push_back(Refused(BombName(i)));
    expected.push_back(Ok(BombName(bombEntries - 1), kernelData));
    return expected;
}

// Every central header names the one local header.
std::string FullOverlapBomb() {
    Options options;
    options.centralOrder.assign(bombEntries, 0);
    return BuildArchive({File("kernel", kernelData)}, options);
}

constexpr int manyEntries = 65000;
// Past what a 16-bit count or index holds.
constexpr int zip64ManyEntries = 70000;

std::string ManyName(int i) {
    char name[32];
    std::snprintf(name, sizeof name, "d%02d/%05d", i / 1000, i);
    return name;
}

std::string ManyEmptyEntries(int count = manyEntries) {
    std::vector<Entry> entries;
    entries.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i)
        entries.push_back(File(ManyName(i), "", methodStored));
    Options options;
    options.zip64EndRecord = count > 0xFFFF;
    return BuildArchive(entries, options);
}

std::vector<Expect> ManyExpected(int count = manyEntries) {
    std::vector<Expect> expected;
    expected.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i)
        expected.push_back(Ok(ManyName(i), "", ManyName(i)));
    return expected;
}

HostileCase ManyRow(std::string label, int count) {
    HostileCase row;
    row.label = std::move(label);
    row.build = [count](CSandbox&) { return ManyEmptyEntries(count); };
    row.manyEntries = [count] { return ManyExpected(count); };
    return row;
}

Entry Declaring(Entry entry, std::uint32_t uncompressedSize) {
    entry.local.uncompressedSize = uncompressedSize;
    entry.central.uncompressedSize = uncompressedSize;
    return entry;
}

Entry WithCrc(Entry entry, std::uint32_t crc) {
    entry.local.crc = crc;
    entry.central.crc = crc;
    return entry;
}

Entry WithRawData(Entry entry, std::string raw) {
    entry.rawData = std::move(raw);
    return entry;
}

Entry WithDescriptor(Entry entry, DescriptorOverrides overrides) {
    entry.dataDescriptor = true;
    entry.descriptor = overrides;
    return entry;
}

// An encrypted entry whose data are shorter than the 12-byte encryption header.
Entry ShortEncrypted() {
    Entry entry = File("short.enc", "secret", methodStored);
    entry.password = "pw";
    entry.rawData = "12345";
    entry.rawDataIsFinal = true;
    return entry;
}

Entry Encrypted(std::string name, std::string data) {
    Entry entry = File(std::move(name), std::move(data));
    entry.password = "pw";
    return entry;
}

// Sizes given by ZIP64 blocks in both headers, whatever the data are.
Entry Zip64Declaring(Entry entry, std::uint64_t uncompressed, std::uint64_t compressed) {
    entry.local.uncompressedSize = entry.central.uncompressedSize = 0xFFFFFFFF;
    entry.local.compressedSize = entry.central.compressedSize = 0xFFFFFFFF;
    entry.localExtra = entry.centralExtra = Zip64Block({uncompressed, compressed});
    return entry;
}

Entry HugeCompressedSize(Entry entry) {
    entry.local.compressedSize = 0xFFFFFFF0;
    entry.central.compressedSize = 0xFFFFFFF0;
    return entry;
}

const std::string someText = "some text, some text, some text";

HostileCase WithTime(HostileCase row, int timeoutMs) {
    row.timeoutMs = timeoutMs;
    return row;
}

HostileCase WithPassword(HostileCase row, std::string password) {
    row.password = std::move(password);
    return row;
}

const HostileCase resourceCases[] = {
    NoArchive("full overlap bomb", [](CSandbox&) { return FullOverlapBomb(); }),
    Row(
        "quoted overlap bomb", [](CSandbox&) { return QuotedOverlapBomb(); }, QuotedOverlapExpected()),
    Between("inflates past its declared size", {Declaring(File("more.txt", std::string(1 << 20, 'm')), 1000)},
            {Refused("more.txt")}),
    Between("declares 4 GiB with 3 bytes of data",
            {Declaring(File("huge-stored.bin", "abc", methodStored), 0xFFFFFFFF),
             Declaring(File("huge-deflated.bin", "abc"), 0xFFFFFFFF)},
            {Refused("huge-stored.bin"), Refused("huge-deflated.bin")}),
    NoArchive("65535 entries declared, one written",
              [](CSandbox&) {
                  Options options;
                  options.end.totalEntries = 0xFFFF;
                  options.end.entriesOnDisk = 0xFFFF;
                  return BuildArchive({File("only.txt", "x")}, options);
              }),
    Between("ZIP64 declares 2^64-1 bytes with 3 bytes of data",
            {Zip64Declaring(File("huge-stored.bin", "abc", methodStored), UINT64_MAX, 3),
             Zip64Declaring(File("huge-deflated.bin", "abc"), UINT64_MAX, Deflate("abc").size())},
            {Refused("huge-stored.bin"), Refused("huge-deflated.bin")}),
    Between("ZIP64 compressed size wraps past the end",
            {Zip64Declaring(File("wrap64.txt", someText), someText.size(), UINT64_MAX - 16)}, {Refused("wrap64.txt")}),
    Between("ZIP64 compressed size past 4 GiB",
            {Zip64Declaring(File("big.txt", someText), someText.size(), 1ull << 32)}, {Refused("big.txt")}),
    NoArchive("ZIP64 full overlap bomb",
              [](CSandbox&) {
                  Options options;
                  options.zip64EndRecord = true;
                  options.centralOrder.assign(bombEntries, 0);
                  Entry kernel = File("kernel", kernelData);
                  kernel.zip64 = true;
                  return BuildArchive({kernel}, options);
              }),
    NoArchive("ZIP64 record declares 2^63 entries",
              Patched(
                  {File("a.txt", someText)},
                  [](std::string& zip, const Layout& layout) {
                      PutLE64(zip, layout.zip64EndRecord + zip64TotalEntriesOffset, 1ull << 63);
                  },
                  true)),
    NoArchive("ZIP64 locator points into the stub", Patched(
                                                        {File("a.txt", someText)},
                                                        [](std::string& zip, const Layout& layout) {
                                                            PutLE64(zip,
                                                                    layout.zip64Locator + locatorRecordOffsetOffset, 0);
                                                        },
                                                        true)),
    OnTmpfsIfPossible(WithTime(ManyRow("70000 empty entries, ZIP64", zip64ManyEntries), 60000)),
    // On a slow disk, making 65 000 files takes long whatever the reader does.
    OnTmpfsIfPossible(WithTime(ManyRow("65000 empty entries", manyEntries), 60000)),
    WithPassword(Between("encrypted entry shorter than its header",
                         {ShortEncrypted(), Encrypted("secret.txt", "plain")},
                         {Refused("short.enc"), Ok("secret.txt", "plain")}),
                 "pw"),
    // A 32-bit sum of the directory's offset and size wraps to the real directory.
    NoArchive("directory offset and size wrap around",
              Patched({File("a.txt", "abcd", methodStored), File("b.txt", "efgh", methodStored)},
                      [](std::string& zip, const Layout& layout) {
                          const auto size = static_cast<std::uint32_t>(layout.endRecord - layout.centralDir);
                          const auto offset = static_cast<std::uint32_t>(layout.centralDir);
                          PutLE32(zip, layout.endRecord + endCdOffsetOffset, offset - size);
                      })),
    Between("compressed size wraps past the end", {HugeCompressedSize(File("wrap.txt", someText))},
            {Refused("wrap.txt")}),
    // Offset plus stub size wraps to the first entry's local header, which would pass for this
    // entry's: same name length and data. Such an entry sorts last.
    Row("local header offset wraps to another entry",
        Patched({File("a.txt", "alpha"), File("b.txt", "alpha"), File(goodName, goodData)},
                [](std::string& zip, const Layout& layout) {
                    PutLE32(zip, layout.centralHeader[1] + centralLocalHeaderOffsetOffset,
                            static_cast<std::uint32_t>(layout.localHeader[0] - StubSize()));
                }),
        {Ok("a.txt", "alpha"), Ok(goodName, goodData), Refused("b.txt")}),
};
HOSTILE_CASES(Resources, resourceCases);

const HostileCase damagedCases[] = {
    NoArchive(
        "cut inside the directory",
        [](CSandbox&) {
            Layout layout;
            const std::string zip = BuildArchive({File("a.txt", someText), File(goodName, goodData)}, {}, &layout);
            return zip.substr(0, layout.centralDir + 10);
        }),
    NoArchive("cut inside the end record",
              [](CSandbox&) {
                  const std::string zip = BuildArchive({File("a.txt", someText), File(goodName, goodData)});
                  return zip.substr(0, zip.size() - 5);
              }),
    NoArchive("directory offset past the end",
              [](CSandbox&) {
                  Options options;
                  options.end.cdOffset = 0x7FFFFFFF;
                  return BuildArchive({File("a.txt", someText)}, options);
              }),
    NoArchive("more entries than the directory holds",
              [](CSandbox&) {
                  Options options;
                  options.end.totalEntries = 3;
                  options.end.entriesOnDisk = 3;
                  return BuildArchive({File("a.txt", someText), File(goodName, goodData)}, options);
              }),
    NoArchive("directory size one short", Patched({File("a.txt", someText), File(goodName, goodData)},
                                                  [](std::string& zip, const Layout& layout) {
                                                      const std::uint64_t field = layout.endRecord + endCdSizeOffset;
                                                      PutLE32(zip, field, GetLE32(zip, field) - 1);
                                                  })),
    NoArchive("central header running past the end record",
              Patched({File("a.txt", someText), File(goodName, goodData)},
                      [](std::string& zip, const Layout& layout) {
                          PutLE16(zip, layout.centralHeader[1] + centralCommentLengthOffset, 100);
                      })),
    Row("local header offset past the end",
        Patched({File("a.txt", "alpha"), File("b.txt", "bravo"), File(goodName, goodData)},
                [](std::string& zip, const Layout& layout) {
                    PutLE32(zip, layout.centralHeader[1] + centralLocalHeaderOffsetOffset, 0x00FFFFFF);
                }),
        {Ok("a.txt", "alpha"), Ok(goodName, goodData), Refused("b.txt")}),
    Row("local header offset inside the directory",
        Patched({File("a.txt", "alpha"), File("b.txt", "bravo"), File(goodName, goodData)},
                [](std::string& zip, const Layout& layout) {
                    PutLE32(zip, layout.centralHeader[1] + centralLocalHeaderOffsetOffset,
                            static_cast<std::uint32_t>(layout.centralHeader[1]));
                }),
        {Ok("a.txt", "alpha"), Ok(goodName, goodData), Refused("b.txt")}),
    Between("bad deflate data", {WithRawData(File("bad.txt", someText), "\xff\xff\xff\xff\xff\xff\xff\xff")},
            {Refused("bad.txt")}),
    Between("deflate stream cut short", {WithRawData(File("short.txt", someText), Deflate(someText).substr(0, 8))},
            {Refused("short.txt")}),
    // As the peers do: the bytes after the end of a complete stream are not the entry's.
    Between("bytes after the deflate stream", {WithRawData(File("tail.txt", someText), Deflate(someText) + "junk")},
            {Ok("tail.txt", someText)}),
    Between("CRC mismatch", {WithCrc(File("crc.txt", someText), 0xDEADBEEF)}, {Refused("crc.txt")}),
    Between("data descriptor CRC mismatch", {WithDescriptor(File("dd.txt", someText), {0xDEADBEEF, {}, {}})},
            {Refused("dd.txt")}),
    Between("data descriptor size mismatch", {WithDescriptor(File("dd.txt", someText), {{}, {}, 1})},
            {Refused("dd.txt")}),
    // PPMd, implode, and AES without its extra field.
    Between("unsupported methods between good entries",
            {File("m98.bin", someText, 98), File("two.txt", "2"), File("m6.bin", someText, 6), File("three.txt", "3"),
             File("m99.bin", someText, 99)},
            {Refused("m98.bin", "nepodporovana metoda komprese PPMd (98)"), Ok("two.txt", "2"),
             Refused("m6.bin", "nepodporovana metoda komprese Implode (6)"), Ok("three.txt", "3"),
             Refused("m99.bin", "nepodporovane sifrovani")}),
    // Time blocks cut short or overrunning the field never fail an entry: the DOS time serves.
    [] {
        Entry cutTime = File("ut.txt", someText);
        cutTime.localExtra = std::string("UT\x09\x00\x01\x02\x03\x04\x05", 9);
        cutTime.centralExtra = std::string("UT\x02\x00\x01\x02", 6);
        Entry badNtfs = File("ntfs.txt", someText, methodStored);
        badNtfs.localExtra = std::string("\x0A\x00\x0C\x00\0\0\0\0\x01\x00\x18\x00\x01\x02\x03\x04", 16);
        Entry cutFolder = Dir("d/");
        cutFolder.centralExtra = std::string("UX\x07\x00\x01\x02\x03\x04\x05\x06\x07", 11);
        HostileCase row = Between("damaged time blocks", {cutTime, badNtfs, cutFolder},
                                  {Ok("ut.txt", someText), Ok("ntfs.txt", someText), Made("d/")});
        row.verify = [](const CSandbox& sandbox) {
            const std::time_t dosTime = LocalTime(2021, 6, 15, 12, 34, 56); // the writer's DOS time
            for (const char* path : {"ut.txt", "ntfs.txt", "d"}) {
                struct stat st {};
                EXPECT_EQ(::lstat((sandbox.TargetPath() + "/" + path).c_str(), &st), 0) << path;
                EXPECT_EQ(st.st_mtime, dosTime) << path;
            }
        };
        return row;
    }(),
};
HOSTILE_CASES(Damaged, damagedCases);

// The methods beyond deflate and AES encryption, damaged. Rows with a password open with an AES entry
// that the typed password opens, so it is asked once, whatever the stub makes of the damaged ones.
const std::string aesPassword = "pw";

std::string MethodText() {
    std::string text;
    for (int i = 0; text.size() < 40000; ++i)
        text += "line " + std::to_string(i) + ", value " + std::to_string(i * 7919 % 1009) + "\n";
    return text;
}

Entry AesDamaged(std::string name, std::function<void(Aes&)> damage) {
    Entry entry = AesFile(std::move(name), MethodText(), aesPassword, aes128, aesVersion1);
    damage(*entry.aes);
    return entry;
}

// AES data cut to `size` bytes by the end of the entry: the salt, or the verifier after it, incomplete.
Entry AesCutTo(std::string name, std::size_t size) {
    Entry entry = AesFile(std::move(name), someText, aesPassword, aes256, aesVersion2, methodStored);
    entry.rawData = EncryptAes(*entry.aes, entry.name, entry.data).substr(0, size);
    entry.rawDataIsFinal = true;
    return entry;
}

Entry StreamOf(std::string name, uint16_t method, std::function<std::string(const std::string&)> stream) {
    Entry entry = File(std::move(name), MethodText(), method);
    entry.rawData = stream(Compress(entry.data, method));
    return entry;
}

// A zstd frame of data read from standard input carries a window descriptor (byte 5, after the magic number and the
// frame header descriptor, whose single-segment bit is then clear): exponent 17 asks for a 2^27-byte window.
std::string ZstdWindowOf128MiB(std::string frame) {
    constexpr std::size_t descriptorAt = 4;
    constexpr std::size_t windowAt = 5;
    constexpr unsigned singleSegment = 0x20;
    if (frame.size() <= windowAt || static_cast<unsigned char>(frame[descriptorAt]) & singleSegment)
        throw std::runtime_error("zstd wrote no window descriptor");
    frame[windowAt] = static_cast<char>(17 << 3);
    return frame;
}

// xz writes, after the 12-byte stream header, a block header of one LZMA2 filter: its size / 4 - 1,
// flags 0, filter id 0x21, properties size 1, the dictionary byte, padding, and a CRC-32 of the header.
// Dictionary byte 30 means (2 | 30 % 2) << (30 / 2 + 11) = 128 MiB.
std::string XzDictionaryOf128MiB(std::string stream) {
    constexpr std::size_t blockAt = 12;
    if (stream.size() < blockAt + 8 || stream[blockAt + 1] != 0 || stream[blockAt + 2] != 0x21 ||
        stream[blockAt + 3] != 1)
        throw std::runtime_error("xz wrote an unexpected block header");
    const std::size_t headerSize = (static_cast<unsigned char>(stream[blockAt]) + 1u) * 4;
    stream[blockAt + 4] = 30;
    PutLE32(stream, blockAt + headerSize - 4, Crc32(std::string_view(stream).substr(blockAt, headerSize - 4)));
    return stream;
}

std::string CutInHalf(const std::string& stream) { return stream.substr(0, stream.size() / 2); }
std::string WithJunk(const std::string& stream) { return stream + "junk after the stream"; }

// The bad entries between two good ones (and the opening AES entry when a password is typed); their
// entries run the reference tools, so they are built when the row runs, not at start-up.
HostileCase Lazy(std::string label, std::function<std::vector<Entry>()> bad, std::vector<Expect> expected,
                 std::string password = "") {
    const bool opening = !password.empty();
    if (opening)
        expected.insert(expected.begin(), Ok("opened.aes", someText));
    HostileCase row = Between(std::move(label), {}, std::move(expected));
    row.build = [bad, opening](CSandbox&) {
        std::vector<Entry> entries = bad();
        if (opening)
            entries.insert(entries.begin(), AesFile("opened.aes", someText, aesPassword));
        entries.insert(entries.begin(), File("first.txt", "first"));
        entries.push_back(File(goodName, goodData));
        return BuildArchive(entries);
    };
    row.password = std::move(password);
    return row;
}

const HostileCase methodCases[] = {
    Lazy(
        "AES entry of another password",
        [] { return std::vector<Entry>{AesFile("other.aes", someText, "not the typed one")}; },
        {Refused("other.aes", "nespravne heslo")}, aesPassword),
    [] {
        // The file there before stays as it was: nothing of the entry reaches it.
        HostileCase row = Lazy(
            "AES ciphertext byte flipped, over an existing file",
            [] { return std::vector<Entry>{AesDamaged("flipped.aes", [](Aes& a) { a.flipCiphertextByte = 100; })}; },
            {Refused("flipped.aes")}, aesPassword);
        const auto build = row.build;
        row.build = [build](CSandbox& sandbox) {
            sandbox.Write("box/in/setup/flipped.aes", "the file that was there");
            return build(sandbox);
        };
        return row;
    }(),
    Lazy(
        "AES authentication code byte flipped",
        [] { return std::vector<Entry>{AesDamaged("code.aes", [](Aes& a) { a.flipCodeByte = 9; })}; },
        {Refused("code.aes", "poskozena data: nesouhlasi overovaci kod sifrovanych dat")}, aesPassword),
    Lazy(
        "AES block of a wrong size",
        [] {
            return std::vector<Entry>{AesDamaged("six.aes", [](Aes& a) { a.extra.dataSize = 6; }),
                                      AesDamaged("eight.aes", [](Aes& a) { a.extra.dataSize = 8; })};
        },
        {Refused("six.aes"), Refused("eight.aes")}, aesPassword),
    Lazy(
        "AES strength 0 and 4",
        [] {
            return std::vector<Entry>{AesDamaged("zero.aes", [](Aes& a) { a.extra.strength = 0; }),
                                      AesDamaged("four.aes", [](Aes& a) { a.extra.strength = 4; })};
        },
        {Refused("zero.aes"), Refused("four.aes")}, aesPassword),
    Lazy(
        "method 99 without the AES block",
        [] { return std::vector<Entry>{AesDamaged("bare.aes", [](Aes& a) { a.extra.omit = true; })}; },
        {Refused("bare.aes")}, aesPassword),
    Lazy(
        "AES salt or verifier cut by the end of the data",
        [] {
            return std::vector<Entry>{AesCutTo("salt.aes", AesSaltSize(aes256) - 3),
                                      AesCutTo("verifier.aes", AesSaltSize(aes256) + 1),
                                      AesCutTo("nothing.aes", AesSaltSize(aes256) + aesVerifierSize)};
        },
        {Refused("salt.aes"), Refused("verifier.aes"), Refused("nothing.aes")}, aesPassword),
    Lazy(
        "AES over a method the stub does not know",
        [] { return std::vector<Entry>{AesFile("ppmd.aes", someText, aesPassword, aes256, aesVersion1, 98)}; },
        {Refused("ppmd.aes", "nepodporovana metoda komprese PPMd (98)")}, aesPassword),
    Lazy("bzip2, LZMA, xz and zstd streams cut short",
         [] {
             return std::vector<Entry>{
                 StreamOf("cut.bz2", methodBzip2, CutInHalf), StreamOf("cut.lzma", methodLzma, CutInHalf),
                 StreamOf("cut.xz", methodXz, CutInHalf), StreamOf("cut.zst", methodZstd, CutInHalf)};
         },
         {Refused("cut.bz2"), Refused("cut.lzma"), Refused("cut.xz"), Refused("cut.zst")}),
    Lazy("bytes after a bzip2, xz and zstd stream",
         [] {
             return std::vector<Entry>{StreamOf("tail.bz2", methodBzip2, WithJunk),
                                       StreamOf("tail.xz", methodXz, WithJunk),
                                       StreamOf("tail.zst", methodZstd, WithJunk)};
         },
         {Refused("tail.bz2"), Refused("tail.xz"), Refused("tail.zst")}),
    Lazy("bzip2, LZMA, xz and zstd output longer than declared",
         [] {
             std::vector<Entry> entries;
             for (const auto& [name, method] : {std::pair<const char*, uint16_t>{"long.bz2", methodBzip2},
                                                {"long.lzma", methodLzma},
                                                {"long.xz", methodXz},
                                                {"long.zst", methodZstd}})
                 entries.push_back(Declaring(Packed(name, std::string(1 << 20, 'm'), method), 1000));
             return entries;
         },
         {Refused("long.bz2"), Refused("long.lzma"), Refused("long.xz"), Refused("long.zst")}),
    Lazy("zstd window and xz dictionary over 64 MiB",
         [] {
             return std::vector<Entry>{StreamOf("window.zst", methodZstd, ZstdWindowOf128MiB),
                                       StreamOf("dictionary.xz", methodXz, XzDictionaryOf128MiB)};
         },
         {Refused("window.zst"), Refused("dictionary.xz")}),
};
HOSTILE_CASES(Methods, methodCases);

} // namespace
