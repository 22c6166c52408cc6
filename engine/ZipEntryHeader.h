#pragma once

#include "engine/ZipBuffer.h"

#include <cstdint>
#include <string>

class CZipArchiveStorage;

// One entry's header: the fields of its central file header with the name,
// extra field and comment, plus the checks against the local header and the
// data descriptor and the conversions of names and attributes to this platform.
class CZipEntryHeader {
  public:
    // Attribute words for entries whose attributes are unknown: a UNIX mode in the
    // upper 16 bits, the DOS bits in the lower.
    static constexpr std::uint32_t DefaultDirAttr = 0x41FF0010;  // 040777, directory
    static constexpr std::uint32_t DefaultFileAttr = 0x81A40020; // 0100644, archive
    // Host system code of this platform: its attribute word is the DOS one.
    static constexpr int PlatformSystem = 0;

    CZipEntryHeader() = default;
    CZipEntryHeader(const CZipEntryHeader&) = default;
    CZipEntryHeader& operator=(const CZipEntryHeader&) = default;
    CZipEntryHeader(CZipEntryHeader&&) noexcept = default;
    CZipEntryHeader& operator=(CZipEntryHeader&&) noexcept = default;
    virtual ~CZipEntryHeader() = default;

    // The values of a local header that can only be checked once its extra field is read.
    struct LocalValues {
        std::uint16_t extraLength = 0;
        bool descriptor = false; // bit 3: the values follow the data
        std::uint32_t crc32 = 0;
        std::uint32_t compressedSize = 0;
        std::uint32_t uncompressedSize = 0;
    };

    // Reads the central header at the storage's position. False when the
    // signature is wrong, the variable part went on to another volume or a
    // ZIP64 extra field lacks a value the header defers to it.
    bool ReadCentralHeader(CZipArchiveStorage& storage);
    // Checks the local header at the storage's position against this header and
    // leaves the storage on the local extra field; the values still to check go to `local`.
    bool ReadLocalHeader(CZipArchiveStorage& storage, LocalValues& local);
    // Checks the local values once the local extra field is known (sizes may be
    // deferred to its ZIP64 block).
    bool CheckLocalValues(const LocalValues& local, const CZipBuffer& localExtra) const;
    // bytes: crc32, compressed size, uncompressed size, little-endian; the sizes
    // 8 bytes each when zip64.
    bool CheckDescriptor(const unsigned char* bytes, bool zip64 = false) const;
    // A ZIP64 block in an extra field: its data descriptor has 8-byte sizes.
    static bool HasZip64Block(const CZipBuffer& extraField);

    bool IsEncrypted() const;
    bool HasDataDescriptor() const;
    // The last byte of the decrypted encryption header must match this: the CRC's high byte, or with
    // a data descriptor (the CRC was not known when the header was written) the time's.
    std::uint8_t GetEncryptionCheckByte() const;
    int GetSystem() const { return versionMadeBy >> 8; }
    // All the name bytes, zero bytes included.
    std::string GetFileName() const { return std::string(fileName.View()); }
    // Seconds since 1970 (UTC) of the DOS time taken as local time; -1 when the
    // conversion fails.
    std::int64_t GetTime() const;
    // A modification time: seconds since 1970 (UTC), -1 for unknown, and the
    // nanoseconds within that second.
    struct Time {
        std::int64_t seconds = -1;
        std::uint32_t nanoseconds = 0;
    };
    // The true modification time an extra field carries (UTC, finer than the
    // DOS time's local two-second steps), else GetTime(). localExtra: the local
    // header's extra field when it has been read, whose blocks come first.
    Time GetModTime(const CZipBuffer* localExtra = nullptr) const;
    // An entry made on UNIX whose mode is a symbolic link: its data are the
    // link's target.
    bool IsSymbolicLink() const;
    // The DOS attribute word for this platform.
    std::uint32_t GetLocalAttributes() const;
    bool IsDirectory() const;
    // The permission bits (0777) of an entry made on UNIX that carries a mode,
    // else -1: extracted scripts keep their modes.
    int GetUnixPermissions() const;

    // Archive form to system form: the name of a Unicode Path block that holds replaces the stored
    // one; slashes become backslashes; for entries made on MS-DOS-family hosts, OEM bytes become
    // the system's encoding.
    void ConvertFileName(bool oemConversion);
    // Throws UnsupportedPlatform (115) for a system without a converter.
    static std::uint32_t ConvertAttributes(std::uint32_t attr, int fromSystem, int toSystem);

    unsigned char signature[4] = {};
    std::uint16_t versionMadeBy = 0;
    std::uint16_t versionNeeded = 0;
    std::uint16_t flags = 0;
    std::uint16_t method = 8;
    std::uint16_t modTime = 0;
    std::uint16_t modDate = 0;
    std::uint32_t crc32 = 0;
    // Sizes, offset and disk as the ZIP64 extra field gives them where the
    // classic field defers to it.
    std::uint64_t compressedSize = 0;
    std::uint64_t uncompressedSize = 0;
    std::uint32_t diskStart = 0;
    std::uint16_t internalAttr = 0;
    std::uint32_t externalAttr = 0;
    std::uint64_t localHeaderOffset = 0;
    CZipBuffer extraField;
    CZipBuffer fileName;
    CZipBuffer comment;
    // The name's length as stored: converting the name to UTF-8 may lengthen it,
    // and the local header is checked against the stored length.
    std::uint16_t storedNameLength = 0;

  private:
    bool NameEndsWithSeparator() const;
    bool TakeUnicodePath();
    bool ApplyZip64Extra();
};
