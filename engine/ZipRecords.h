#pragma once

#include <cstdint>

// The ZIP records as APPNOTE 4.3 lays them out (the classic ones and the ZIP64 end records): signatures,
// fixed sizes and field offsets, named once. Every field is decoded from the
// raw bytes with ReadLe16/ReadLe32, whatever the host's byte order.
namespace ZipRecords {

inline std::uint16_t ReadLe16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

inline std::uint32_t ReadLe32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline std::uint64_t ReadLe64(const unsigned char* p) {
    return static_cast<std::uint64_t>(ReadLe32(p)) | (static_cast<std::uint64_t>(ReadLe32(p + 4)) << 32);
}

constexpr std::uint32_t signatureSize = 4;
// Every signature is "PK" followed by two bytes naming the record. The halves
// are kept and compared apart: a whole 4-byte signature in the program's code
// would make the stub itself look like an archive to a scanner.
struct Signature {
    std::uint16_t kind; // the two bytes after "PK", little-endian
};
constexpr std::uint16_t signatureMarker = 0x4B50; // "PK"

inline bool HasSignature(const unsigned char* p, Signature signature) {
    return ReadLe16(p) == signatureMarker && ReadLe16(p + 2) == signature.kind;
}

// ---- End of central directory: 22 bytes + archive comment -------------------
constexpr Signature endRecordSignature = {0x0605};
constexpr std::uint32_t endRecordSize = 22; // + comment
constexpr std::uint32_t maxCommentSize = 65535;
constexpr std::uint32_t endRecordSearchLimit = endRecordSize + maxCommentSize; // 65 557
namespace EndRecord {
constexpr int thisDisk = 4;
constexpr int cdStartDisk = 6;
constexpr int entriesOnThisDisk = 8;
constexpr int totalEntries = 10;
constexpr int cdSize = 12;
constexpr int cdOffset = 16;
constexpr int commentLength = 20;
} // namespace EndRecord

// ---- ZIP64 end of central directory locator: 20 bytes, right before the end record
constexpr Signature zip64LocatorSignature = {0x0706};
constexpr std::uint32_t zip64LocatorSize = 20;
namespace Zip64Locator {
constexpr int recordDisk = 4;
constexpr int recordOffset = 8;
constexpr int totalDisks = 16;
} // namespace Zip64Locator

// ---- ZIP64 end of central directory record: 56 bytes + extensible data -------
constexpr Signature zip64EndRecordSignature = {0x0606};
constexpr std::uint32_t zip64EndRecordSize = 56;
constexpr std::uint64_t zip64EndRecordLeading = 12; // signature and size: not counted by the size field
namespace Zip64EndRecord {
constexpr int recordSize = 4;
constexpr int thisDisk = 16;
constexpr int cdStartDisk = 20;
constexpr int entriesOnThisDisk = 24;
constexpr int totalEntries = 32;
constexpr int cdSize = 40;
constexpr int cdOffset = 48;
} // namespace Zip64EndRecord

// A classic field that holds this value has its real value in a ZIP64 record or extra field.
constexpr std::uint16_t zip64Mark16 = 0xFFFF;
constexpr std::uint32_t zip64Mark32 = 0xFFFFFFFF;

// ---- Central file header: 46 bytes + name + extra field + comment ------------
constexpr Signature centralHeaderSignature = {0x0201};
constexpr std::uint32_t centralHeaderSize = 46; // + name + extra + comment
namespace CentralHeader {
constexpr int versionMadeBy = 4;
constexpr int versionNeeded = 6;
constexpr int flags = 8;
constexpr int method = 10;
constexpr int modTime = 12;
constexpr int modDate = 14;
constexpr int crc32 = 16;
constexpr int compressedSize = 20;
constexpr int uncompressedSize = 24;
constexpr int nameLength = 28;
constexpr int extraLength = 30;
constexpr int commentLength = 32;
constexpr int diskStart = 34;
constexpr int internalAttr = 36;
constexpr int externalAttr = 38;
constexpr int localHeaderOffset = 42;
} // namespace CentralHeader

// ---- Local file header: 30 bytes + name + extra field, then the data ---------
constexpr Signature localHeaderSignature = {0x0403};
constexpr std::uint32_t localHeaderSize = 30; // + name + extra
namespace LocalHeader {
constexpr int versionNeeded = 4;
constexpr int flags = 6;
constexpr int method = 8;
constexpr int modTime = 10;
constexpr int modDate = 12;
constexpr int crc32 = 14; // crc32, compressed size, uncompressed size: 12 bytes
constexpr int nameLength = 26;
constexpr int extraLength = 28;
} // namespace LocalHeader

// ---- Data descriptor: [signature] crc32, compressed size, uncompressed size --
constexpr Signature descriptorSignature = {0x0807};
constexpr std::uint32_t descriptorSize = 12; // without the optional signature
// After a local header with a ZIP64 extra field the sizes are 8 bytes each.
constexpr std::uint32_t zip64DescriptorSize = 20;

// The values of a data descriptor after its optional signature against those the headers give.
inline bool DescriptorMatches(const unsigned char* values, bool zip64, std::uint32_t crc32,
                              std::uint64_t compressedSize, std::uint64_t uncompressedSize) {
    if (ReadLe32(values) != crc32)
        return false;
    if (zip64)
        return ReadLe64(values + 4) == compressedSize && ReadLe64(values + 12) == uncompressedSize;
    return ReadLe32(values + 4) == compressedSize && ReadLe32(values + 8) == uncompressedSize;
}

// ---- Traditional encryption: a 12-byte header precedes the entry's data -------
constexpr std::uint32_t encryptionHeaderSize = 12; // the last byte is the check byte

// ---- General purpose flags ----------------------------------------------------
constexpr std::uint16_t flagEncrypted = 0x0001;
constexpr std::uint16_t flagDataDescriptor = 0x0008;
constexpr std::uint16_t flagUtf8Name = 0x0800; // APPNOTE appendix D: name and comment are UTF-8
// When the low four bits of the local and central flags differ, the local ones win.
constexpr std::uint16_t flagsComparedMask = 0x000F;

// ---- Compression methods -------------------------------------------------------
constexpr std::uint16_t methodStored = 0;
constexpr std::uint16_t methodDeflated = 8;

// ---- Host systems (high byte of "version made by") ----------------------------
constexpr int systemDos = 0; // MS-DOS, OS/2 FAT; also this platform's own code
constexpr int systemUnix = 3;
constexpr int systemOs2Hpfs = 6;
constexpr int systemMacintosh = 7;
constexpr int systemNtfs = 10;
constexpr int systemCodeCount = 11; // codes from here on have no converter at all
constexpr int systemVfat = 14;      // Windows' long names on FAT

// ---- DOS attribute bits ------------------------------------------------------------
constexpr std::uint32_t attrReadOnly = 0x01;
constexpr std::uint32_t attrHidden = 0x02;
constexpr std::uint32_t attrDirectory = 0x10;
constexpr std::uint32_t attrArchive = 0x20;

// ---- DOS time and date (16 bits each) -----------------------------------------------
//   time: bits 0-4 seconds / 2, bits 5-10 minutes, bits 11-15 hours
//   date: bits 0-4 day of month (1-31), bits 5-8 month (1-12), bits 9-15 years since 1980
constexpr int dosYearBase = 1980;

} // namespace ZipRecords
