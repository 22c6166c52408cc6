// The test writer checked against other tools (Info-ZIP unzip and zip, Python's zipfile), so that the
// engine's tests can trust the archives it builds.
#include "support/ZipTestWriter.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace ziptest;

constexpr const char* unzipTool = "/usr/bin/unzip";
constexpr const char* zipTool = "/usr/bin/zip";
constexpr const char* pythonTool = "/usr/bin/python3";
constexpr const char* sevenZipTool = "/usr/bin/7z";

// A missing peer skips the check on a developer's machine and fails it in CI.
#define REQUIRE_PEER(available, name)                                                                                  \
    do {                                                                                                               \
        if (!(available)) {                                                                                            \
            if (std::getenv("CI"))                                                                                     \
                FAIL() << name << " is required in CI";                                                                \
            GTEST_SKIP() << name << " is not installed";                                                               \
        }                                                                                                              \
    } while (0)

bool HaveExecutable(const char* path) { return access(path, X_OK) == 0; }

std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

struct RunResult {
    int status;
    std::string output; // standard output only
};

RunResult RunCommand(const std::string& command) {
    RunResult result{-1, ""};
    FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
    if (!pipe)
        return result;
    char block[4096];
    size_t n;
    while ((n = fread(block, 1, sizeof block, pipe)) > 0)
        result.output.append(block, n);
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string Text(int lines) {
    std::string text;
    for (int i = 0; i < lines; ++i)
        text += "line " + std::to_string(i) + " of the sample text\n";
    return text;
}

std::string Binary(size_t size, uint32_t seed) {
    std::string bytes;
    for (size_t i = 0; i < size; ++i) {
        seed = seed * 1103515245u + 12345u;
        bytes.push_back(static_cast<char>(seed >> 16));
    }
    return bytes;
}

Entry Encrypted(Entry entry, const std::string& password) {
    entry.password = password;
    return entry;
}

Entry WithRawData(Entry entry, size_t keep) {
    entry.rawData = entry.rawData->substr(0, keep);
    return entry;
}

Entry WithDescriptor(Entry entry, bool signature = true) {
    entry.dataDescriptor = true;
    entry.descriptorSignature = signature;
    return entry;
}

Options Stub(std::string stub, bool offsetsRelativeToFile) {
    Options options;
    options.stub = std::move(stub);
    options.offsetsRelativeToFile = offsetsRelativeToFile;
    return options;
}

Options Commented(std::string comment) {
    Options options;
    options.archiveComment = std::move(comment);
    return options;
}

Options Reversed(size_t count) {
    Options options;
    for (size_t i = count; i-- > 0;)
        options.centralOrder.push_back(i);
    return options;
}

Entry WithComment(Entry entry, std::string comment) {
    entry.comment = std::move(comment);
    return entry;
}

Entry Utf8Named(Entry entry) {
    entry.extraFlags = flagUtf8;
    return entry;
}

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes) {
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    return hex;
}

std::string PasswordOf(const std::vector<Entry>& entries) {
    for (const Entry& entry : entries)
        if (!entry.password.empty())
            return entry.password;
    return "";
}

// Python's zipfile reads every header and every entry's data (decrypting with the password) and prints one
// line per central header, then the archive comment.
constexpr const char* zipfileReport = R"(
import sys, zipfile, zlib
path, password = sys.argv[1], sys.argv[2].encode()
with zipfile.ZipFile(path) as z:
    for i in z.infolist():
        raw = i.filename.encode('utf-8' if i.flag_bits & 0x800 else 'cp437')
        data = z.read(i, pwd=password or None)
        print(raw.hex(), i.create_system, hex(i.external_attr), hex(i.flag_bits), i.compress_type,
              '-'.join(map(str, i.date_time)), i.comment.hex(), hex(zlib.crc32(data)), len(data))
    print('comment', z.comment.hex())
)";

std::string ExpectedReport(const std::vector<Entry>& entries, const Options& options) {
    std::vector<size_t> order = options.centralOrder;
    if (order.empty()) {
        for (size_t i = 0; i < entries.size(); ++i)
            order.push_back(i);
    }
    std::string report;
    for (size_t index : order) {
        const Entry& e = entries[index];
        const uint16_t flags = static_cast<uint16_t>((e.password.empty() ? 0 : flagEncrypted) |
                                                     (e.dataDescriptor ? flagDataDescriptor : 0) | e.extraFlags);
        char line[512];
        std::snprintf(line, sizeof line, " %u 0x%x 0x%x %u %u-%u-%u-%u-%u-%u ", e.hostSystem, e.externalAttr, flags,
                      e.method, (e.dosDate >> 9) + 1980u, (e.dosDate >> 5) & 15u, e.dosDate & 31u, e.dosTime >> 11,
                      (e.dosTime >> 5) & 63u, (e.dosTime & 31u) * 2);
        char crc[32];
        std::snprintf(crc, sizeof crc, " 0x%x %zu\n", Crc32(e.data), e.data.size());
        report += Hex(e.name) + line + Hex(e.comment) + crc;
    }
    return report + "comment " + Hex(options.archiveComment) + "\n";
}

struct PeerCase {
    const char* label;
    std::vector<Entry> entries;
    Options options;
    int unzipStatus; // unzip -t: 1 is its warning about bytes in front of the archive
};

std::ostream& operator<<(std::ostream& os, const PeerCase& c) { return os << c.label; }

Entry Zip64(Entry entry) {
    entry.zip64 = true;
    return entry;
}

Options Zip64Records(std::string stub) {
    Options options;
    options.zip64EndRecord = true;
    options.stub = std::move(stub);
    return options;
}

const std::vector<PeerCase>& PeerCases() {
    static const std::vector<PeerCase> cases = {
        {"stored", {File("a.txt", Text(40), methodStored), File("b.bin", Binary(3000, 1), methodStored)}, {}, 0},
        {"deflated", {File("a.txt", Text(400)), File("empty", ""), Dir("d"), File("d/b.bin", Binary(70000, 2))}, {}, 0},
        {"encrypted stored", {Encrypted(File("s.txt", Text(30), methodStored), "secret")}, {}, 0},
        {"encrypted stored, descriptor",
         {WithDescriptor(Encrypted(File("s.txt", Text(30), methodStored), "secret"))},
         {},
         0},
        {"encrypted deflated", {Encrypted(File("d.txt", Text(300)), "p4ss w0rd"), File("plain", "x")}, {}, 0},
        {"encrypted deflated, descriptor",
         {WithDescriptor(Encrypted(File("d.txt", Text(300)), "p4ss w0rd")),
          WithDescriptor(Encrypted(File("e.bin", Binary(500, 3)), "p4ss w0rd"), false)},
         {},
         0},
        {"descriptor with signature",
         {WithDescriptor(File("a", Text(50))), WithDescriptor(File("b", Text(5), methodStored))},
         {},
         0},
        {"descriptor without signature",
         {WithDescriptor(File("a", Text(50)), false), WithDescriptor(File("b", Text(5), methodStored), false)},
         {},
         0},
        {"stub, archive-relative offsets",
         {File("a.txt", Text(20)), File("b.txt", "bee", methodStored)},
         Stub(Binary(1234, 4), false),
         1},
        {"stub, file-relative offsets",
         {File("a.txt", Text(20)), File("b.txt", "bee", methodStored)},
         Stub(Binary(1234, 4), true),
         0},
        {"archive and entry comments",
         {WithComment(File("a", "aaa"), "first entry"), File("b", "bbb")},
         Commented("archive comment"),
         0},
        {"central directory in reverse order",
         {File("1", "one"), File("2", "two"), File("3", Text(9))},
         Reversed(3),
         0},
        {"DOS host",
         {DosDir("DIR"), DosFile("DIR/READ.ME", "ro", dosReadOnly | dosArchive),
          DosFile("HIDDEN.SYS", Text(3), dosHidden, methodStored)},
         {},
         0},
        {"UTF-8 name flag", {Utf8Named(File("\xC5\xBElu\xC5\xA5ou\xC4\x8Dk\xC3\xBD k\xC5\xAF\xC5\x88", "kun"))}, {}, 0},
        {"ZIP64 blocks, descriptors and end record",
         {Zip64(File("a.txt", Text(40))), Zip64(WithDescriptor(File("b.bin", Binary(3000, 5), methodStored))),
          File("classic", "c")},
         Zip64Records(""),
         0},
        {"ZIP64 end record behind a stub", {Zip64(File("a.txt", Text(20)))}, Zip64Records(Binary(999, 6)), 1},
    };
    return cases;
}

class PeerCheck : public ::testing::TestWithParam<PeerCase> {};

TEST_P(PeerCheck, UnzipTestsAndExtractsExactBytes) {
    REQUIRE_PEER(HaveExecutable(unzipTool), unzipTool);
    const PeerCase& c = GetParam();
    CTempDir dir;
    const std::string archive = WriteFile(dir.Join("t.zip"), BuildArchive(c.entries, c.options));
    const std::string password = PasswordOf(c.entries);
    const std::string unzip = std::string(unzipTool) + (password.empty() ? "" : " -P " + Quote(password));

    EXPECT_EQ(RunCommand(unzip + " -tqq " + Quote(archive)).status, c.unzipStatus);
    for (const Entry& entry : c.entries) {
        if (entry.name.back() == '/' || entry.extraFlags & flagUtf8)
            continue; // unzip -p takes a name pattern in the locale's encoding
        const RunResult extracted = RunCommand(unzip + " -p " + Quote(archive) + " " + Quote(entry.name));
        EXPECT_EQ(extracted.status, c.unzipStatus) << entry.name;
        EXPECT_TRUE(extracted.output == entry.data)
            << entry.name << ": " << extracted.output.size() << " bytes, expected " << entry.data.size();
    }
}

TEST_P(PeerCheck, PythonZipfileReadsEveryField) {
    REQUIRE_PEER(HaveExecutable(pythonTool), pythonTool);
    const PeerCase& c = GetParam();
    CTempDir dir;
    const std::string archive = WriteFile(dir.Join("t.zip"), BuildArchive(c.entries, c.options));
    const std::string script = WriteFile(dir.Join("report.py"), zipfileReport);
    const RunResult report = RunCommand(std::string(pythonTool) + " " + Quote(script) + " " + Quote(archive) + " " +
                                        Quote(PasswordOf(c.entries)));
    EXPECT_EQ(report.status, 0);
    EXPECT_EQ(report.output, ExpectedReport(c.entries, c.options));
}

INSTANTIATE_TEST_SUITE_P(Shapes, PeerCheck, ::testing::ValuesIn(PeerCases()),
                         [](const ::testing::TestParamInfo<PeerCase>& info) {
                             std::string name;
                             for (const char* p = info.param.label; *p; ++p)
                                 if (std::isalnum(static_cast<unsigned char>(*p)))
                                     name += *p;
                             return name;
                         });

// The methods and the encryption only 7-Zip of our peers reads all of (Python reads bzip2 and LZMA too, unzip
// bzip2):
// each archive tests whole and every entry comes out exact, or, damaged on purpose, does not test whole.
struct MethodCase {
    const char* label;
    std::vector<Entry> (*entries)(); // run by the test: the tools run then, not at start-up
    bool intact;                     // 7z t passes
    bool python;                     // Python's zipfile reads it too (no AES, no zstd or xz)
    bool unzip = false;              // so does Info-ZIP unzip (bzip2)
};

std::ostream& operator<<(std::ostream& os, const MethodCase& c) { return os << c.label; }

const std::string aesPassword = "heslo 7";

Entry AesEntry(uint8_t strength, uint16_t version, uint16_t method, std::string name = "a.txt") {
    return AesFile(std::move(name), Text(700), aesPassword, strength, version, method);
}

Entry AesDamaged(void (*damage)(ziptest::Aes&)) {
    Entry entry = AesEntry(aes256, aesVersion1, methodDeflated);
    damage(*entry.aes);
    return entry;
}

// AES data cut to `size` bytes, the headers saying so.
Entry AesCut(size_t size) {
    Entry entry = AesEntry(aes128, aesVersion2, methodStored);
    entry.rawData = EncryptAes(*entry.aes, entry.name, entry.data).substr(0, size);
    entry.rawDataIsFinal = true;
    return entry;
}

Entry LzmaSizeOnly(std::string name, std::string data) {
    Entry entry = File(std::move(name), std::move(data), methodLzma);
    entry.rawData = LzmaWithoutEndMarker(entry.data);
    return entry;
}

const std::vector<MethodCase>& MethodCases() {
    static const std::vector<MethodCase> cases = {
        {"AE-1 AES-128 stored", [] { return std::vector<Entry>{AesEntry(aes128, aesVersion1, methodStored)}; }, true,
         false},
        {"AE-2 AES-192 deflated", [] { return std::vector<Entry>{AesEntry(aes192, aesVersion2, methodDeflated)}; },
         true, false},
        {"AE-1 AES-256 deflated, descriptor, empty file",
         [] {
             return std::vector<Entry>{WithDescriptor(AesEntry(aes256, aesVersion1, methodDeflated)),
                                       AesFile("empty", "", aesPassword)};
         },
         true, false},
        {"AE-2 AES-256 over bzip2 and LZMA",
         [] {
             return std::vector<Entry>{AesEntry(aes256, aesVersion2, methodBzip2, "b.txt"),
                                       AesEntry(aes256, aesVersion2, methodLzma, "l.txt")};
         },
         true, false},
        {"AES beside traditional encryption",
         [] {
             return std::vector<Entry>{AesEntry(aes128, aesVersion2, methodDeflated),
                                       Encrypted(File("t.txt", Text(30)), aesPassword)};
         },
         true, false},
        {"AES with a salt of the caller's",
         [] {
             return std::vector<Entry>{[] {
                 Entry entry = AesEntry(aes128, aesVersion1, methodDeflated);
                 entry.aes->salt = "saltsalt";
                 return entry;
             }()};
         },
         true, false},
        {"LZMA with end marker",
         [] {
             return std::vector<Entry>{Packed("a.txt", Text(4000), methodLzma),
                                       Packed("b.bin", Binary(3000, 9), methodLzma), Packed("empty", "", methodLzma)};
         },
         true, true},
        {"LZMA without end marker",
         [] {
             return std::vector<Entry>{LzmaSizeOnly("a.txt", Text(4000)), LzmaSizeOnly("b.bin", Binary(3000, 12))};
         },
         true, true},
        {"bzip2",
         [] {
             return std::vector<Entry>{Packed("a.txt", Text(4000), methodBzip2),
                                       Packed("b.bin", Binary(5000, 8), methodBzip2), Packed("empty", "", methodBzip2),
                                       WithDescriptor(Packed("d.txt", Text(50), methodBzip2))};
         },
         true, true, true},
        {"xz",
         [] {
             return std::vector<Entry>{Packed("a.txt", Text(4000), methodXz),
                                       Packed("b.bin", Binary(3000, 10), methodXz)};
         },
         true, false},
        {"zstd",
         [] {
             return std::vector<Entry>{Packed("a.txt", Text(4000), methodZstd),
                                       Packed("b.bin", Binary(3000, 11), methodZstd)};
         },
         true, false},
        {"AES wrong verifier",
         [] { return std::vector<Entry>{AesDamaged([](ziptest::Aes& a) { a.wrongVerifier = true; })}; }, false, false},
        {"AES ciphertext byte flipped",
         [] { return std::vector<Entry>{AesDamaged([](ziptest::Aes& a) { a.flipCiphertextByte = 5; })}; }, false,
         false},
        {"AES code byte flipped",
         [] { return std::vector<Entry>{AesDamaged([](ziptest::Aes& a) { a.flipCodeByte = 9; })}; }, false, false},
        {"AES strength 4", [] { return std::vector<Entry>{AesDamaged([](ziptest::Aes& a) { a.extra.strength = 4; })}; },
         false, false},
        {"AES block missing",
         [] { return std::vector<Entry>{AesDamaged([](ziptest::Aes& a) { a.extra.omit = true; })}; }, false, false},
        {"AES verifier cut", [] { return std::vector<Entry>{AesCut(AesSaltSize(aes128) + 1)}; }, false, false},
        // Info-ZIP unzip 6.0 spins without end on a cut bzip2 stream: not asked.
        {"bzip2 stream cut",
         [] { return std::vector<Entry>{WithRawData(Packed("a.txt", Text(4000), methodBzip2), 40)}; }, false, true},
    };
    return cases;
}

class MethodPeerCheck : public ::testing::TestWithParam<MethodCase> {};

TEST_P(MethodPeerCheck, SevenZipTestsAndExtractsExactBytes) {
    ASSERT_TRUE(HaveExecutable(sevenZipTool)) << sevenZipTool << " is missing: make deps installs it";
    const MethodCase& c = GetParam();
    CTempDir dir;
    const std::vector<Entry> entries = c.entries();
    const std::string archive = WriteFile(dir.Join("t.zip"), BuildArchive(entries));
    const std::string sevenZip = std::string(sevenZipTool) + " -p" + Quote(aesPassword) + " ";
    EXPECT_EQ(RunCommand(sevenZip + "t " + Quote(archive)).status == 0, c.intact);
    if (!c.intact)
        return;
    for (const Entry& entry : entries) {
        const RunResult extracted = RunCommand(sevenZip + "x -so " + Quote(archive) + " " + Quote(entry.name));
        EXPECT_EQ(extracted.status, 0) << entry.name;
        EXPECT_TRUE(extracted.output == entry.data)
            << entry.name << ": " << extracted.output.size() << " bytes, expected " << entry.data.size();
    }
}

TEST_P(MethodPeerCheck, PythonZipfileTestsIt) {
    const MethodCase& c = GetParam();
    if (!c.python)
        return;
    ASSERT_TRUE(HaveExecutable(pythonTool)) << pythonTool << " is missing: make deps installs it";
    CTempDir dir;
    const std::string archive = WriteFile(dir.Join("t.zip"), BuildArchive(c.entries()));
    // Its exit status is 0 either way; only the message tells.
    const RunResult tested = RunCommand(std::string(pythonTool) + " -m zipfile -t " + Quote(archive));
    EXPECT_EQ(tested.status, 0);
    EXPECT_EQ(tested.output.find("corrupted") == std::string::npos, c.intact) << tested.output;
}

TEST_P(MethodPeerCheck, UnzipTestsAndExtractsExactBytes) {
    const MethodCase& c = GetParam();
    if (!c.unzip)
        return;
    ASSERT_TRUE(HaveExecutable(unzipTool)) << unzipTool << " is missing: make deps installs it";
    CTempDir dir;
    const std::vector<Entry> entries = c.entries();
    const std::string archive = WriteFile(dir.Join("t.zip"), BuildArchive(entries));
    EXPECT_EQ(RunCommand(std::string(unzipTool) + " -tqq " + Quote(archive)).status == 0, c.intact);
    if (!c.intact)
        return;
    for (const Entry& entry : entries)
        EXPECT_TRUE(RunCommand(std::string(unzipTool) + " -p " + Quote(archive) + " " + Quote(entry.name)).output ==
                    entry.data)
            << entry.name;
}

INSTANTIATE_TEST_SUITE_P(Methods, MethodPeerCheck, ::testing::ValuesIn(MethodCases()),
                         [](const ::testing::TestParamInfo<MethodCase>& info) {
                             std::string name;
                             for (const char* p = info.param.label; *p; ++p)
                                 if (std::isalnum(static_cast<unsigned char>(*p)))
                                     name += *p;
                             return name;
                         });

// What the peers take on trust: the AES block's bytes, the sizes with salt, verifier and code counted, the CRC
// kept by AE-1 only, and the hooks changing their byte alone.
TEST(ZipTestWriter, AesFieldsAndHooks) {
    const struct {
        uint8_t strength;
        uint16_t version;
        const char* blockHex;
    } rows[] = {
        {aes128, aesVersion1, "0199070001004145010800"},
        {aes192, aesVersion2, "0199070002004145020800"},
        {aes256, aesVersion2, "0199070002004145030800"},
    };
    for (const auto& row : rows) {
        const Entry entry = AesFile("a.txt", Text(20), "pw", row.strength, row.version);
        Layout layout;
        const std::string zip = BuildArchive({entry}, {}, &layout);
        const uint64_t local = layout.localHeader[0], central = layout.centralHeader[0];
        const std::string label = row.blockHex;
        EXPECT_EQ(GetLE16(zip, local + localMethodOffset), methodAes) << label;
        EXPECT_EQ(GetLE16(zip, central + centralMethodOffset), methodAes) << label;
        EXPECT_EQ(GetLE16(zip, local + localFlagsOffset) & flagEncrypted, flagEncrypted) << label;
        EXPECT_EQ(Hex(zip.substr(local + localHeaderSize + entry.name.size(), 11)), row.blockHex) << label;
        EXPECT_EQ(Hex(zip.substr(central + centralHeaderSize + entry.name.size(), 11)), row.blockHex) << label;
        const uint32_t crc = row.version == aesVersion1 ? Crc32(entry.data) : 0;
        EXPECT_EQ(GetLE32(zip, local + localCrcOffset), crc) << label;
        EXPECT_EQ(GetLE32(zip, central + centralCrcOffset), crc) << label;
        const size_t expectedSize =
            AesSaltSize(row.strength) + aesVerifierSize + Deflate(entry.data).size() + aesCodeSize;
        EXPECT_EQ(GetLE32(zip, central + centralCompressedSizeOffset), expectedSize) << label;
        EXPECT_EQ(layout.centralHeader[0] - layout.data[0], expectedSize) << label;
    }

    ziptest::Aes aes;
    aes.password = "pw";
    const std::string plain = Text(3);
    const std::string right = EncryptAes(aes, "seed", plain);
    EXPECT_EQ(right, EncryptAes(aes, "seed", plain)) << "reproducible";
    EXPECT_NE(right.substr(0, 16), EncryptAes(aes, "other", plain).substr(0, 16)) << "salt from the seed";
    const size_t verifierAt = AesSaltSize(aes256), cipherAt = verifierAt + aesVerifierSize;
    // Each hook changes only its bytes.
    const struct {
        void (*damage)(ziptest::Aes&);
        size_t from, to;
    } hooks[] = {
        {[](ziptest::Aes& a) { a.wrongVerifier = true; }, verifierAt, cipherAt},
        {[](ziptest::Aes& a) { a.flipCiphertextByte = 3; }, cipherAt + 3, cipherAt + 4},
        {[](ziptest::Aes& a) { a.flipCodeByte = 0; }, right.size() - aesCodeSize, right.size() - aesCodeSize + 1},
    };
    for (const auto& hook : hooks) {
        ziptest::Aes damaged = aes;
        hook.damage(damaged);
        const std::string bytes = EncryptAes(damaged, "seed", plain);
        ASSERT_EQ(bytes.size(), right.size());
        for (size_t i = 0; i < bytes.size(); ++i)
            EXPECT_EQ(bytes[i] != right[i], i >= hook.from && i < hook.to) << "byte " << i << " of " << hook.from;
    }

    ziptest::Aes odd = aes;
    odd.extra.dataSize = 9;
    odd.extra.strength = 0;
    EXPECT_EQ(Hex(AesExtraBlock(odd, methodDeflated)), "01990900020041450008000000");
    odd.extra.dataSize = 4;
    EXPECT_EQ(Hex(AesExtraBlock(odd, methodDeflated)), "0199040002004145");
    odd.extra.omit = true;
    EXPECT_EQ(AesExtraBlock(odd, methodDeflated), "");
}

// The converted header of the LZMA tool's stream: ZIP's layout with the tool's own properties.
TEST(ZipTestWriter, LzmaLayoutFromTheTool) {
    const std::string lzma = Lzma(Text(100));
    ASSERT_GT(lzma.size(), 9u);
    EXPECT_EQ(Hex(lzma.substr(0, 4)), "09140500");
    EXPECT_EQ(static_cast<uint8_t>(lzma[4]), 0x5D) << "lc 3, lp 0, pb 2";
    EXPECT_EQ(GetLE32(lzma, 5), 8u << 20) << "the tool's default dictionary";
    const Entry entry = Packed("a", Text(100), methodLzma);
    EXPECT_EQ(entry.extraFlags & flagLzmaEndMarker, flagLzmaEndMarker);
    EXPECT_EQ(*entry.rawData, lzma);
}

TEST(ZipTestWriter, WrongCheckByteIsRejectedByUnzip) {
    REQUIRE_PEER(HaveExecutable(unzipTool), unzipTool);
    CTempDir dir;
    for (bool descriptor : {false, true}) {
        Entry entry = Encrypted(File("a.txt", Text(10)), "pw");
        entry.dataDescriptor = descriptor;
        const uint8_t right = static_cast<uint8_t>(descriptor ? entry.dosTime >> 8 : Crc32(entry.data) >> 24);
        entry.checkByte = static_cast<uint8_t>(right ^ 0x5A);
        const std::string archive = WriteFile(dir.Join("t.zip"), BuildArchive({entry}));
        EXPECT_NE(RunCommand(std::string(unzipTool) + " -P pw -tqq " + Quote(archive)).status, 0) << descriptor;
    }
}

// Vectors computed with CPython's zipfile decrypter (each byte the one that decrypts to the plain byte).
TEST(ZipTestWriter, TraditionalEncryptionKnownAnswers) {
    struct Row {
        std::string password, plain, cipherHex;
    };
    const Row rows[] = {
        {"", "abc", "ca51bc"},
        {"secret", std::string(12, '\0') + "hello, world", "c889c95bb4deac0e5a9d7e61631a400a6d10a2f173087946"},
        {"\xE9t\xE9", std::string("\0\1\2\3\4\5\6\7\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f", 16),
         "82237eb5bb9fe8f4cb43dd46120f665e"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(Hex(EncryptTraditional(row.password, row.plain)), row.cipherHex) << Hex(row.password);

    const std::string header = EncryptionHeader("name", 0xAB);
    ASSERT_EQ(header.size(), encryptionHeaderSize);
    EXPECT_EQ(static_cast<uint8_t>(header.back()), 0xAB);
    EXPECT_EQ(header, EncryptionHeader("name", 0xAB));
    EXPECT_NE(header, EncryptionHeader("other", 0xAB));
}

TEST(ZipTestWriter, LayoutPointsAtTheRecords) {
    const Entry bare = WithDescriptor(File("b", Text(3)), false);
    const Entry withSignature = WithDescriptor(File("d", Text(4), methodStored));
    Layout layout;
    const std::string zip =
        BuildArchive({File("a", "x", methodStored), bare, Dir("c"), withSignature}, Stub("MZstub", false), &layout);
    ASSERT_EQ(layout.localHeader.size(), 4u);
    EXPECT_EQ(layout.localHeader[0], 6u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(GetLE32(zip, layout.localHeader[i]), localHeaderSignature);
        EXPECT_EQ(GetLE32(zip, layout.centralHeader[i]), centralHeaderSignature);
        EXPECT_EQ(GetLE32(zip, layout.centralHeader[i] + centralLocalHeaderOffsetOffset),
                  layout.localHeader[i] - 6); // archive-relative
    }
    EXPECT_EQ(zip.substr(layout.data[0], 1), "x");
    // With a descriptor the local header leaves CRC and sizes 0; without a signature the descriptor starts
    // with the CRC.
    EXPECT_EQ(GetLE32(zip, layout.localHeader[1] + localCrcOffset), 0u);
    EXPECT_EQ(GetLE32(zip, layout.localHeader[1] + localUncompressedSizeOffset), 0u);
    EXPECT_EQ(GetLE32(zip, layout.descriptor[1]), Crc32(bare.data));
    EXPECT_EQ(GetLE32(zip, layout.descriptor[1] + 8), bare.data.size());
    EXPECT_EQ(layout.descriptor[1] + descriptorSize, layout.localHeader[2]);
    EXPECT_EQ(GetLE32(zip, layout.descriptor[3]), descriptorSignature);
    EXPECT_EQ(GetLE32(zip, layout.descriptor[3] + 4), Crc32(withSignature.data));
    EXPECT_EQ(GetLE32(zip, layout.descriptor[3] + 8), withSignature.data.size());
    EXPECT_EQ(layout.descriptor[3] + 4 + descriptorSize, layout.centralDir);

    EXPECT_EQ(layout.centralDir, layout.centralHeader[0]);
    EXPECT_EQ(GetLE32(zip, layout.endRecord), endRecordSignature);
    EXPECT_EQ(GetLE32(zip, layout.endRecord + endCdOffsetOffset), layout.centralDir - 6);
    EXPECT_EQ(layout.endRecord + endRecordSize, zip.size());
}

TEST(ZipTestWriter, CentralOrderMayRepeatOrOmitEntries) {
    Options options;
    options.centralOrder = {2, 0, 2};
    Layout layout;
    const std::string zip = BuildArchive({File("a", "1"), File("b", "2"), File("c", "3")}, options, &layout);
    ASSERT_EQ(layout.centralHeader.size(), 3u);
    const uint64_t expectedOffsets[] = {layout.localHeader[2], layout.localHeader[0], layout.localHeader[2]};
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(GetLE32(zip, layout.centralHeader[i] + centralLocalHeaderOffsetOffset), expectedOffsets[i]) << i;
    EXPECT_EQ(GetLE16(zip, layout.endRecord + endTotalEntriesOffset), 3u);
}

TEST(ZipTestWriter, OverridesChangeOnlyTheirField) {
    Entry entry = File("name", "data", methodStored);
    entry.local.crc = 0x11111111;
    entry.local.nameLength = 9;
    entry.localName = "NAME";
    entry.central.method = 12;
    entry.central.localHeaderOffset = 77;
    Options options;
    options.end.totalEntries = 5;
    options.end.cdSize = 1;
    Layout layout;
    std::string zip = BuildArchive({entry}, options, &layout);
    const uint64_t local = layout.localHeader[0], central = layout.centralHeader[0];
    EXPECT_EQ(GetLE32(zip, local + localCrcOffset), 0x11111111u);
    EXPECT_EQ(GetLE16(zip, local + localNameLengthOffset), 9u);
    EXPECT_EQ(zip.substr(local + localHeaderSize, 4), "NAME");
    EXPECT_EQ(GetLE32(zip, central + centralCrcOffset), Crc32("data"));
    EXPECT_EQ(GetLE16(zip, central + centralMethodOffset), 12u);
    EXPECT_EQ(GetLE16(zip, local + localMethodOffset), methodStored);
    EXPECT_EQ(GetLE32(zip, central + centralLocalHeaderOffsetOffset), 77u);
    EXPECT_EQ(GetLE16(zip, layout.endRecord + endTotalEntriesOffset), 5u);
    EXPECT_EQ(GetLE16(zip, layout.endRecord + endEntriesOnDiskOffset), 1u);
    EXPECT_EQ(GetLE32(zip, layout.endRecord + endCdSizeOffset), 1u);
    EXPECT_THROW(PutLE32(zip, zip.size() - 3, 0), std::out_of_range);
}

TEST(ZipTestWriter, VolumePaths) {
    EXPECT_EQ(VolumePath("/d/a.exe", 0, 3), "/d/a.z01");
    EXPECT_EQ(VolumePath("/d/a.exe", 1, 3), "/d/a.z02");
    EXPECT_EQ(VolumePath("/d/a.exe", 2, 3), "/d/a.exe");
    EXPECT_EQ(VolumePath("/d/a.exe", 8, 200), "/d/a.z09");
    EXPECT_EQ(VolumePath("/d/a.exe", 98, 200), "/d/a.z99");
    EXPECT_EQ(VolumePath("/d/a.exe", 99, 200), "/d/a.z100");
    EXPECT_EQ(VolumePath("/d.x/a", 0, 2), "/d.x/a.z01");
}

// Checks a split set by hand: every header whole where it was put and every stored offset pointing at it.
void ExpectSplitLayout(const std::vector<std::string>& volumes, const std::vector<Entry>& entries, const Layout& layout,
                       uint64_t volumeSize) {
    ASSERT_GE(volumes.size(), 2u);
    EXPECT_EQ(GetLE32(volumes[0], 0), descriptorSignature) << "spanning marker";
    for (size_t v = 0; v + 1 < volumes.size(); ++v)
        EXPECT_LE(volumes[v].size(), volumeSize) << "volume " << v;
    for (size_t i = 0; i < entries.size(); ++i) {
        const Place local = layout.localHeader[i], central = layout.centralHeader[i];
        const std::string& localVolume = volumes[local.volume];
        const std::string& centralVolume = volumes[central.volume];
        EXPECT_EQ(GetLE32(localVolume, local), localHeaderSignature) << i;
        EXPECT_EQ(localVolume.substr(local + localHeaderSize, entries[i].name.size()), entries[i].name) << i;
        EXPECT_EQ(GetLE32(centralVolume, central), centralHeaderSignature) << i;
        EXPECT_EQ(GetLE16(centralVolume, central + centralDiskStartOffset), local.volume) << i;
        EXPECT_EQ(GetLE32(centralVolume, central + centralLocalHeaderOffsetOffset), local.offset) << i;
    }
    const std::string& last = volumes.back();
    EXPECT_EQ(layout.endRecord.volume, volumes.size() - 1);
    EXPECT_EQ(layout.endRecord + endRecordSize, last.size());
    EXPECT_EQ(GetLE32(last, layout.endRecord), endRecordSignature);
    EXPECT_EQ(GetLE16(last, layout.endRecord + endThisDiskOffset), volumes.size() - 1);
    EXPECT_EQ(GetLE16(last, layout.endRecord + endCdStartDiskOffset), layout.centralDir.volume);
    EXPECT_EQ(GetLE32(last, layout.endRecord + endCdOffsetOffset), layout.centralDir.offset);
    EXPECT_EQ(GetLE16(last, layout.endRecord + endTotalEntriesOffset), entries.size());
}

// Bytes from `place` on, continuing into the following volumes.
std::string ReadAcross(const std::vector<std::string>& volumes, Place place, size_t size) {
    std::string bytes;
    for (size_t v = place.volume; v < volumes.size() && bytes.size() < size; ++v) {
        bytes += volumes[v].substr(v == place.volume ? place.offset : 0, size - bytes.size());
    }
    return bytes;
}

TEST(ZipTestWriter, SplitArchiveJoinsToTheSameEntries) {
    REQUIRE_PEER(HaveExecutable(zipTool) && HaveExecutable(unzipTool), "Info-ZIP zip and unzip");
    // Info-ZIP zip 3.0 joins an entry that spans more than two volumes short, so none does here.
    const uint64_t volumeSize = 64 * 1024;
    const std::vector<Entry> entries = {File("big.bin", Binary(100000, 5), methodStored), File("t.txt", Text(500)),
                                        WithDescriptor(Encrypted(File("s.txt", Text(20)), "pw")), Dir("d"),
                                        File("d/tail", Binary(40000, 6))};
    Layout layout;
    const std::vector<std::string> volumes = BuildSplitArchive(entries, volumeSize, {}, &layout);
    ExpectSplitLayout(volumes, entries, layout, volumeSize);
    EXPECT_EQ(volumes.size(), 3u);

    CTempDir dir;
    const std::vector<std::string> paths = WriteVolumes(dir.Join("split.zip"), volumes);
    ASSERT_EQ(paths.size(), 3u);
    EXPECT_EQ(paths[0], dir.Join("split.z01"));
    EXPECT_EQ(paths[2], dir.Join("split.zip"));
    const std::string joined = dir.Join("joined.zip");
    ASSERT_EQ(RunCommand(std::string(zipTool) + " -q -s 0 " + Quote(paths[2]) + " --out " + Quote(joined)).status, 0);
    const std::string unzip = std::string(unzipTool) + " -P pw ";
    EXPECT_EQ(RunCommand(unzip + "-tqq " + Quote(joined)).status, 0);
    for (const Entry& entry : entries) {
        if (entry.name.back() == '/')
            continue;
        EXPECT_TRUE(RunCommand(unzip + "-p " + Quote(joined) + " " + Quote(entry.name)).output == entry.data)
            << entry.name;
    }
}

TEST(ZipTestWriter, SplitArchiveCutsDataAndOptionallyHeaders) {
    const uint64_t volumeSize = 1000;
    std::vector<Entry> entries = {File("long.bin", Binary(3500, 7), methodStored)};
    for (int i = 0; i < 40; ++i)
        entries.push_back(File("file-" + std::to_string(i), Text(i % 3)));

    Layout layout;
    const std::vector<std::string> whole = BuildSplitArchive(entries, volumeSize, {}, &layout);
    ExpectSplitLayout(whole, entries, layout, volumeSize);
    EXPECT_EQ(ReadAcross(whole, layout.data[0], 3500), entries[0].data) << "data over four volumes";
    for (size_t i = 0; i < entries.size(); ++i) {
        const uint64_t size = centralHeaderSize + entries[i].name.size();
        EXPECT_LE(layout.centralHeader[i] + size, volumeSize) << "central header " << i << " cut";
    }

    SplitOptions straddling;
    straddling.headersMayStraddle = true;
    straddling.spanningMarker = false;
    const std::vector<std::string> cut = BuildSplitArchive(entries, volumeSize, straddling, &layout);
    for (size_t v = 0; v + 1 < cut.size(); ++v)
        EXPECT_EQ(cut[v].size(), volumeSize) << "volume " << v;
    size_t cutHeaders = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        const Place central = layout.centralHeader[i];
        const uint64_t size = centralHeaderSize + entries[i].name.size();
        const std::string header = ReadAcross(cut, central, size);
        EXPECT_EQ(GetLE32(header, 0), centralHeaderSignature);
        EXPECT_EQ(GetLE32(header, centralLocalHeaderOffsetOffset), layout.localHeader[i].offset);
        cutHeaders += central + size > volumeSize;
    }
    EXPECT_GT(cutHeaders, 0u);
}

TEST(ZipTestWriter, BuildsTheLargestArchiveQuickly) {
    const size_t count = 65535;
    std::vector<Entry> entries;
    entries.reserve(count);
    for (size_t i = 0; i < count; ++i)
        entries.push_back(File("f" + std::to_string(i), i % 2 ? "same content" : "x"));
    const auto start = std::chrono::steady_clock::now();
    Layout layout;
    const std::string zip = BuildArchive(entries, {}, &layout);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 5.0) << "a sanitizer build is slower; a plain build takes well under a second";
    EXPECT_EQ(GetLE16(zip, layout.endRecord + endTotalEntriesOffset), count);
    EXPECT_EQ(GetLE32(zip, layout.centralHeader.back() + centralLocalHeaderOffsetOffset), layout.localHeader.back());
}

} // namespace
