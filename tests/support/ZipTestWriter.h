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
// - CRC-32 of `data`; compressed size = bytes of data written (encryption header included);
// - version made by = hostSystem << 8 | 30; version needed 20, or 10 for an unencrypted stored entry;
// - flags: bit 0 when a password is set, bit 3 with a data descriptor, OR-ed with `extraFlags`;
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

constexpr uint16_t flagEncrypted = 0x0001;
constexpr uint16_t flagDataDescriptor = 0x0008;
constexpr uint16_t flagUtf8 = 0x0800;

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

struct Entry {
    std::string name; // raw name bytes, as stored in both headers
    std::string data; // uncompressed content; its CRC-32 and size go into the headers
    // 0 stored, 8 deflated (zlib raw deflate, level 6); any other method stores `data` as is under that number.
    uint16_t method = methodDeflated;
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
    bool rawDataIsFinal = false;          // rawData is written as is, not encrypted even with a password
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

uint32_t Crc32(std::string_view bytes);
// Raw deflate (no zlib header), level 6, as entries with method 8 are written.
std::string Deflate(std::string_view bytes);

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
