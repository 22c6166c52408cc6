#pragma once

// A test-only ZIP writer: builds, in memory, every archive shape the engine reads and damaged variants of
// them, so that each fixture reads next to the assertion it serves.
//
//     using namespace ziptest;
//     Entry secret = File("doc/a.txt", "hello");
//     secret.password = "pw";                    // traditional encryption
//     Entry broken = File("b.txt", "data", methodStored);
//     broken.local.crc = 0xDEADBEEF;             // local header disagrees with the central one
//     Layout layout;
//     std::string zip = BuildArchive({secret, broken, Dir("doc/")}, {}, &layout);
//     PutLE16(zip, layout.centralHeader[0] + centralMethodOffset, 12);   // or patch afterwards
//
// What is written, unless an override says otherwise:
// - entries in the order given, each as local header, data (12-byte encryption header first when
//   encrypted), then the data descriptor when asked for; then the central directory, then the end record;
// - CRC-32 of `data` (0 for AE-2 encryption); compressed size = bytes of data written (encryption header,
//   or AES salt, verifier and authentication code, included);
// - version made by = hostSystem << 8 | 30; version needed 20, or 10 for an unencrypted stored entry, 51 with
//   AES;
// - flags: bit 0 when a password or AES is set, bit 3 with a data descriptor, OR-ed with `extraFlags`;
// - AES: method 99 in both headers and an AES block (tag 0x9901) after any ZIP64 block, naming `method`;
// - offsets count from the start of the archive, not the file (the stub is not counted) unless asked.
// - ZIP64, when asked: an entry's sizes (and in the central header its local header offset) go into a
//   ZIP64 extra block (tag 1) put first in its extra fields, the classic fields holding all ones, and its
//   descriptor gets 8-byte sizes; the archive gets a ZIP64 end record and locator before the end record,
//   whose fields then hold all ones (or their real values where they fit, when asked).
// Output is deterministic: the same input always gives the same bytes.
//
// Overrides change only the value written into one field; every other field, and the bytes that follow,
// are computed as usual. A length override therefore makes the record disagree with the bytes written.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ziptest {

// Record signatures and fixed sizes (the variable parts follow the fixed part).
constexpr uint32_t localHeaderSignature = 0x04034B50;
constexpr uint32_t centralHeaderSignature = 0x02014B50;
constexpr uint32_t endRecordSignature = 0x06054B50;
constexpr uint32_t descriptorSignature = 0x08074B50; // also the marker that starts a split set
constexpr size_t localHeaderSize = 30;               // + name + extra field
constexpr size_t centralHeaderSize = 46;             // + name + extra field + comment
constexpr size_t endRecordSize = 22;                 // + comment
constexpr size_t descriptorSize = 12;                // + 4 with its signature
constexpr size_t encryptionHeaderSize = 12;
constexpr uint32_t zip64EndRecordSignature = 0x06064B50;
constexpr uint32_t zip64LocatorSignature = 0x07064B50;
constexpr size_t zip64EndRecordSize = 56; // + extensible data
constexpr size_t zip64LocatorSize = 20;
constexpr uint16_t zip64Tag = 0x0001;

// Field offsets within the records, for patching built bytes.
constexpr size_t localFlagsOffset = 6;
constexpr size_t localMethodOffset = 8;
constexpr size_t localCrcOffset = 14;
constexpr size_t localCompressedSizeOffset = 18;
constexpr size_t localUncompressedSizeOffset = 22;
constexpr size_t localNameLengthOffset = 26;
constexpr size_t localExtraLengthOffset = 28;
constexpr size_t centralVersionMadeByOffset = 4;
constexpr size_t centralFlagsOffset = 8;
constexpr size_t centralMethodOffset = 10;
constexpr size_t centralTimeOffset = 12;
constexpr size_t centralDateOffset = 14;
constexpr size_t centralCrcOffset = 16;
constexpr size_t centralCompressedSizeOffset = 20;
constexpr size_t centralUncompressedSizeOffset = 24;
constexpr size_t centralNameLengthOffset = 28;
constexpr size_t centralExtraLengthOffset = 30;
constexpr size_t centralCommentLengthOffset = 32;
constexpr size_t centralDiskStartOffset = 34;
constexpr size_t centralExternalAttrOffset = 38;
constexpr size_t centralLocalHeaderOffsetOffset = 42;
constexpr size_t endThisDiskOffset = 4;
constexpr size_t endCdStartDiskOffset = 6;
constexpr size_t endEntriesOnDiskOffset = 8;
constexpr size_t endTotalEntriesOffset = 10;
constexpr size_t endCdSizeOffset = 12;
constexpr size_t endCdOffsetOffset = 16;
constexpr size_t endCommentLengthOffset = 20;
constexpr size_t zip64RecordSizeOffset = 4;
constexpr size_t zip64ThisDiskOffset = 16;
constexpr size_t zip64CdStartDiskOffset = 20;
constexpr size_t zip64TotalEntriesOffset = 32;
constexpr size_t zip64CdSizeOffset = 40;
constexpr size_t zip64CdOffsetOffset = 48;
constexpr size_t locatorRecordDiskOffset = 4;
constexpr size_t locatorRecordOffsetOffset = 8;
constexpr size_t locatorTotalDisksOffset = 16;

constexpr uint16_t methodStored = 0;
constexpr uint16_t methodDeflated = 8;
constexpr uint16_t methodDeflate64 = 9; // written by peers only
constexpr uint16_t methodBzip2 = 12;
constexpr uint16_t methodLzma = 14;
constexpr uint16_t methodZstd = 93;
constexpr uint16_t methodXz = 95;
constexpr uint16_t methodAes = 99;

constexpr uint16_t flagEncrypted = 0x0001;
constexpr uint16_t flagDataDescriptor = 0x0008;
constexpr uint16_t flagLzmaEndMarker = 0x0002; // method 14: the data end with an end marker
constexpr uint16_t flagUtf8 = 0x0800;

// WinZip AES: the extra block (vendor version 2 bytes, "AE", strength 1 byte, real method 2 bytes), and the
// entry data: salt, password verifier, ciphertext, authentication code.
constexpr uint16_t aesExtraTag = 0x9901;
constexpr size_t aesExtraDataSize = 7;
constexpr size_t aesVerifierSize = 2;
constexpr size_t aesCodeSize = 10;
constexpr unsigned aesIterations = 1000;
constexpr uint16_t aesVersion1 = 1; // AE-1: the CRC is stored and checked
constexpr uint16_t aesVersion2 = 2; // AE-2: 0 stands in the CRC's place
constexpr uint8_t aes128 = 1;
constexpr uint8_t aes192 = 2;
constexpr uint8_t aes256 = 3;
constexpr uint16_t versionAes = 51;
// Key bytes of a strength (16, 24, 32); its salt is half as long. Other strengths throw std::invalid_argument.
size_t AesKeySize(uint8_t strength);
inline size_t AesSaltSize(uint8_t strength) { return AesKeySize(strength) / 2; }

constexpr uint8_t hostDos = 0;
constexpr uint8_t hostUnix = 3;
constexpr uint8_t hostOs2Hpfs = 6;
constexpr uint8_t hostMacintosh = 7;
constexpr uint8_t hostNtfs = 10;

// DOS attribute bits, the attribute word of DOS-family hosts.
constexpr uint32_t dosReadOnly = 0x01;
constexpr uint32_t dosHidden = 0x02;
constexpr uint32_t dosDirectory = 0x10;
constexpr uint32_t dosArchive = 0x20;

// A UNIX host keeps the file mode in the upper 16 bits of the attribute word.
constexpr uint32_t UnixAttributes(uint32_t mode) { return mode << 16; }

// DOS time: bits 0-4 seconds / 2, 5-10 minutes, 11-15 hours.
// DOS date: bits 0-4 day, 5-8 month, 9-15 years since 1980.
constexpr uint16_t DosTime(unsigned hour, unsigned minute, unsigned second) {
    return static_cast<uint16_t>(hour << 11 | minute << 5 | second / 2);
}
constexpr uint16_t DosDate(unsigned year, unsigned month, unsigned day) {
    return static_cast<uint16_t>((year - 1980) << 9 | month << 5 | day);
}

// The calendar time of a moment on this machine's local clock, as a DOS time is read (-1 on failure).
std::time_t LocalTime(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute, unsigned second);

// Values to write instead of the computed ones, per record. Unset fields keep the computed value.
struct LocalOverrides {
    std::optional<uint32_t> signature;
    std::optional<uint16_t> versionNeeded, flags, method, time, date;
    std::optional<uint32_t> crc, compressedSize, uncompressedSize;
    std::optional<uint16_t> nameLength, extraLength;
};

struct CentralOverrides {
    std::optional<uint32_t> signature;
    std::optional<uint16_t> versionMadeBy, versionNeeded, flags, method, time, date;
    std::optional<uint32_t> crc, compressedSize, uncompressedSize;
    std::optional<uint16_t> nameLength, extraLength, commentLength;
    std::optional<uint16_t> diskStart, internalAttr;
    std::optional<uint32_t> localHeaderOffset;
};

struct DescriptorOverrides {
    std::optional<uint32_t> crc;
    std::optional<uint64_t> compressedSize, uncompressedSize; // written in 4 or 8 bytes as the entry's form
};

// What goes into the AES block instead of the computed values.
struct AesExtraOverrides {
    bool omit = false;                // no AES block at all (method 99 stays)
    std::optional<uint16_t> dataSize; // the block's data cut or padded with zeros to this size
    std::optional<uint16_t> vendorVersion, method;
    std::optional<uint8_t> strength; // e.g. 0 or 4; the data stay encrypted with `Aes::strength`
};

struct Aes {
    std::string password;
    uint8_t strength = aes256;
    uint16_t vendorVersion = aesVersion2;
    std::string salt; // empty: AesSaltSize(strength) bytes derived from the entry name, the same every build
    // Damage.
    bool wrongVerifier = false;               // the verifier's bytes inverted
    std::optional<size_t> flipCiphertextByte; // this ciphertext byte inverted, the code still over the right one
    std::optional<size_t> flipCodeByte;       // this byte (0..9) of the authentication code inverted
    AesExtraOverrides extra;
};

struct Entry {
    std::string name; // raw name bytes, as stored in both headers
    std::string data; // uncompressed content; its CRC-32 and size go into the headers
    // 0 stored, 8 deflated (zlib raw deflate, level 6); any other method stores `data` as is under that number
    // (Packed() compresses for 12, 14, 93 and 95). With AES, the real method, named in the AES block.
    uint16_t method = methodDeflated;
    // WinZip AES instead of traditional encryption (the two exclude each other).
    std::optional<Aes> aes;
    // Non-empty: traditional encryption of a 12-byte header followed by the data. The header's last byte,
    // the check byte, is the CRC's high byte, or the DOS time's high byte with a data descriptor.
    std::string password;
    bool dataDescriptor = false;     // flag bit 3; the local CRC and sizes are then written as 0
    bool descriptorSignature = true; // the descriptor starts with 50 4B 07 08
    bool zip64 = false;              // ZIP64 extra blocks in both headers, 8-byte descriptor sizes
    uint8_t hostSystem = hostUnix;   // high byte of version made by
    uint32_t externalAttr = UnixAttributes(0100644);
    uint16_t extraFlags = 0; // OR-ed into both headers' flags, e.g. flagUtf8; overrides can clear bits
    uint16_t dosTime = DosTime(12, 34, 56);
    uint16_t dosDate = DosDate(2021, 6, 15);
    std::string localExtra, centralExtra, comment;

    // Damage and special shapes.
    std::optional<std::string> localName; // a different name in the local header
    std::optional<std::string> rawData;   // written instead of compressing `data` (the CRC stays that of `data`)
    bool rawDataIsFinal = false;          // rawData is written as is, not encrypted even with a password or AES
    std::optional<uint8_t> checkByte;     // a different check byte, e.g. a wrong one
    LocalOverrides local;
    CentralOverrides central;
    DescriptorOverrides descriptor;
};

// A file made on a UNIX host, mode 0644.
Entry File(std::string name, std::string data, uint16_t method = methodDeflated);
// A directory made on a UNIX host: a trailing slash is added when missing, mode 040755 plus the DOS
// directory bit (as Info-ZIP writes it), stored, no data.
Entry Dir(std::string name);
// A file made on an MS-DOS host with the given DOS attribute bits.
Entry DosFile(std::string name, std::string data, uint32_t dosAttributes = dosArchive,
              uint16_t method = methodDeflated);
// A directory made on an MS-DOS host (DOS directory bit).
Entry DosDir(std::string name);
// A file whose data the reference command-line tool of `method` compressed (bzip2 12, LZMA 14, zstd 93, xz 95;
// any other as File()): `rawData` holds the stream, and for LZMA flag bit 1 is set, as the xz tool's stream ends
// with an end marker (LzmaWithoutEndMarker() makes the other form).
Entry Packed(std::string name, std::string data, uint16_t method);
// A file encrypted with WinZip AES over `method` (compressed as Packed() does).
Entry AesFile(std::string name, std::string data, std::string password, uint8_t strength = aes256,
              uint16_t vendorVersion = aesVersion2, uint16_t method = methodDeflated);

// Values to write into the end record instead of the computed ones.
struct EndRecordOverrides {
    std::optional<uint16_t> thisDisk, cdStartDisk, entriesOnDisk, totalEntries;
    std::optional<uint32_t> cdSize, cdOffset;
    std::optional<uint16_t> commentLength;
};

struct Options {
    std::string stub;                   // bytes in front of the archive
    bool offsetsRelativeToFile = false; // stored offsets count the stub (as `zip -A` adjusts them)
    std::string archiveComment;
    // Entry indices in the order their central headers are written; empty means entry order. An index may
    // be repeated (two central headers for one local header) or left out (a local header nobody lists).
    std::vector<size_t> centralOrder;
    EndRecordOverrides end;
    // A ZIP64 end record and locator before the end record; required past 65 535 central headers.
    bool zip64EndRecord = false;
    bool zip64MarksInEndRecord = true; // the end record holds all ones, not the values that fit
    std::string zip64Extensible;       // extensible data after the ZIP64 end record's fixed part
    // Split sets: the locator and end record start a volume of their own after the ZIP64 end record's.
    bool zip64LocatorApart = false;
};

// A position in the built bytes. Single archives: `volume` is 0 and `offset` the file position (the stub
// counted). Split archives: the volume index and the offset within that volume's file. Converts to the
// offset, so `PutLE32(zip, layout.localHeader[0] + localCrcOffset, 0)` works for single archives.
struct Place {
    uint32_t volume = 0;
    uint64_t offset = 0;
    operator uint64_t() const { return offset; }
};

// Where everything landed, for patching.
struct Layout {
    std::vector<Place> localHeader;   // per entry, in entry order
    std::vector<Place> data;          // per entry: first data byte (the encryption header when encrypted)
    std::vector<Place> descriptor;    // per entry: its data descriptor, or where it would be
    std::vector<Place> centralHeader; // per central header, in the order written (see centralOrder)
    Place centralDir;
    Place endRecord;
    Place zip64EndRecord, zip64Locator; // when written
};

std::string BuildArchive(const std::vector<Entry>& entries, const Options& options = {}, Layout* layout = nullptr);

struct SplitOptions : Options {
    // As `zip -s` writes them, headers (local and central with their variable parts, and data descriptors)
    // start on the next volume rather than cross a volume end; set this to let them be cut anywhere. Entry
    // data is always cut where a volume ends. The end record is always kept whole on the last volume.
    bool headersMayStraddle = false;
    bool spanningMarker = true; // the first volume starts with 50 4B 07 08
};

// A split archive cut into volumes of `volumeSize` bytes (a whole header larger than a volume makes that
// volume longer). Returns one string per volume; the last holds the end record. Offsets stored in the
// records count from the start of their own volume file, stub and marker included, and
// `offsetsRelativeToFile` is ignored. The end record names the last volume as this disk; entries on disk
// counts the central headers on that volume.
std::vector<std::string> BuildSplitArchive(const std::vector<Entry>& entries, uint64_t volumeSize,
                                           const SplitOptions& options = {}, Layout* layout = nullptr);

// Path of volume `index` of `count` volumes whose last file is `lastVolumePath`: the last keeps that path,
// the others replace its extension with z01, z02, ... z99, z100, ... (volume index + 1).
std::string VolumePath(const std::string& lastVolumePath, size_t index, size_t count);
// Writes every volume under its VolumePath; returns the paths in volume order.
std::vector<std::string> WriteVolumes(const std::string& lastVolumePath, const std::vector<std::string>& volumes);

// Little-endian patching and reading of built bytes; out-of-range offsets throw std::out_of_range.
void PutLE16(std::string& bytes, uint64_t offset, uint16_t value);
void PutLE32(std::string& bytes, uint64_t offset, uint32_t value);
void PutLE64(std::string& bytes, uint64_t offset, uint64_t value);
uint16_t GetLE16(std::string_view bytes, uint64_t offset);
uint32_t GetLE32(std::string_view bytes, uint64_t offset);
uint64_t GetLE64(std::string_view bytes, uint64_t offset);

// A ZIP64 extra block (tag 1) holding these 8-byte values in the order given.
std::string Zip64Block(const std::vector<uint64_t>& values);

// Info-ZIP's Unicode Path extra block (tag 0x7075): version, CRC-32 of the header's raw name (XOR-ed
// with `crcChange`, to make it another name's), then `name` in UTF-8.
std::string UnicodePathBlock(const std::string& headerName, const std::string& name, uint8_t version = 1,
                             uint32_t crcChange = 0);

uint32_t Crc32(std::string_view bytes);
// Raw deflate (no zlib header), level 6, as entries with method 8 are written.
std::string Deflate(std::string_view bytes);

// Whether the command-line tool `name` is on the PATH. Never under Windows: the Linux tools are out of
// reach of a test program under Wine, and asking its cmd.exe would only start a process.
bool HaveTool(const std::string& name);
// The reference command-line tools, run at test time through temporary files; each throws std::runtime_error
// when the tool is missing or fails. The same input gives the same bytes.
std::string Bzip2(std::string_view bytes);                               // bzip2 -9: one whole stream
std::string Xz(std::string_view bytes, const std::string& options = ""); // xz (CRC-64 check) with `options`
std::string Zstd(std::string_view bytes); // zstd -3 on standard input: a window descriptor, no content size
// ZIP's LZMA layout: LZMA SDK version 9.20 (09 14), properties size 5 (LE), the 5 properties bytes, raw LZMA1
// data, converted from `xz --format=lzma`, whose 13-byte header is the properties and an 8-byte size; the
// tool writes the size as unknown and always ends the data with an end marker.
std::string Lzma(std::string_view bytes);
// The same layout without an end marker, the entry's size ending the data (flag bit 1 clear): the xz tool
// cannot write that, so the stream is 7-Zip's LZMA coder's, taken out of a 7z archive (`7z a -t7z -mhc=off`),
// with the properties asked of it (lc 3, lp 0, pb 2, 1 MiB dictionary). Empty data throw.
std::string LzmaWithoutEndMarker(std::string_view bytes);
// Method `method` as Packed() compresses it.
std::string Compress(std::string_view bytes, uint16_t method);

// WinZip AES entry data over `plain` (the compressed data): salt (`aes.salt`, or derived from `saltSeed`),
// verifier, AES-CTR ciphertext (little-endian counter from 1), the first 10 bytes of HMAC-SHA1 over the
// ciphertext; keys from PBKDF2-HMAC-SHA1(password, salt, 1000). The damage hooks of `aes` apply. Computed by
// OpenSSL's libcrypto, independently of the engine's code.
std::string EncryptAes(const Aes& aes, std::string_view saltSeed, std::string_view plain);
// The AES extra block, tag and size included, with `aes.extra` applied.
std::string AesExtraBlock(const Aes& aes, uint16_t realMethod);

// Traditional encryption of `plain` (the 12-byte encryption header followed by the entry's data) with keys
// freshly set from `password`.
std::string EncryptTraditional(std::string_view password, std::string_view plain);
// The 12-byte encryption header before encryption: 11 deterministic pseudo-random bytes from `seed`, then
// `checkByte` (the CRC's high byte, or the DOS time's high byte when the entry has a data descriptor).
std::string EncryptionHeader(std::string_view seed, uint8_t checkByte);

// Writes `bytes` to `path` (replacing it) and returns `path`; reads a whole file. Both throw
// std::runtime_error on failure.
std::string WriteFile(const std::string& path, std::string_view bytes);
std::string ReadFile(const std::string& path);

} // namespace ziptest
