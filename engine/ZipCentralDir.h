#pragma once

#include "engine/ZipBuffer.h"
#include "engine/ZipCentralDirInfo.h"
#include "engine/ZipEntryHeader.h"

#include <cstddef>
#include <cstdint>
#include <vector>

class CZipArchiveStorage;
class CZipActionCallback;

// Finds and reads the central directory and serves the entry headers. Entry
// indices follow the order of the local headers in the archive.
//
// The headers are kept compactly: one array of fixed fields and one block of
// names, extra fields and comments. A header object is made on demand.
class CZipCentralDir {
  public:
    static constexpr std::uint32_t defaultSearchBufferSize = 32768;

    // One central header's fixed fields in 40 bytes; its name (as stored), extra field (the blocks
    // kept, see Store) and comment follow one another in `parts` from partsOffset on. Sizes and
    // offset that do not fit 32 bits, and a disk other than the first, stand in `wideValues`,
    // whose index compressedSize then holds. The version needed and internal attributes, used
    // nowhere, are not kept.
    struct Record {
        std::uint32_t compressedSize;
        std::uint32_t uncompressedSize;
        std::uint32_t localHeaderOffset;
        std::uint32_t crc32;
        std::uint32_t externalAttr;
        std::uint32_t partsOffset;
        std::uint16_t versionMadeBy;
        std::uint16_t flags;
        std::uint16_t modTime;
        std::uint16_t modDate;
        std::uint16_t nameLength;
        std::uint16_t extraLength;
        std::uint16_t commentLength;
        std::uint8_t method; // methods past 254 are kept as 255: none of them can be read
        bool wide;
    };
    struct WideValues {
        std::uint64_t compressedSize;
        std::uint64_t uncompressedSize;
        std::uint64_t localHeaderOffset;
        std::uint32_t diskStart;
    };

    CZipCentralDir() = default;
    CZipCentralDir(const CZipCentralDir&) = delete;
    CZipCentralDir& operator=(const CZipCentralDir&) = delete;
    virtual ~CZipCentralDir() { Close(true); }

    void Clear();
    // Reads the end record and every central header; throws CZipException.
    void Read();
    // Never more than INT_MAX: a directory declaring more is refused.
    int GetCount() const { return static_cast<int>(records.size()); }
    bool IsValidIndex(std::int64_t index) const { return index >= 0 && index < GetCount(); }
    // A copy of the entry's header, made from the compact form.
    CZipEntryHeader GetHeader(std::size_t index) const;
    // The entry's header with its name as GetEntryInfo gives it, made once and kept until another
    // entry's is asked for: the steps of one entry's extraction read it without a copy each.
    const CZipEntryHeader& PeekHeader(std::size_t index) const;
    const Record& GetRecord(std::size_t index) const { return records[index]; }
    std::uint32_t GetDiskStart(std::size_t index) const;
    std::uint64_t GetLocalHeaderOffset(std::size_t index) const;
    // Positions the storage on the entry's data after checking its local header.
    void OpenEntry(std::size_t index);
    // Checks the data descriptor unless skipDescriptor.
    void CloseEntry(bool skipDescriptor);
    void Close(bool deleteHeaders);
    // Converts a copied header's name when names were not converted on reading.
    void ConvertFileName(CZipEntryHeader& header) const;
    // The writing side's; a directory read from the file is never written back.
    void Write(CZipActionCallback* callback);

    CZipBuffer globalComment;
    CZipBuffer localExtraField;
    // The data descriptor of the open entry has 8-byte sizes.
    bool zip64Descriptor = false;
    // The open entry's header (`current`), or none.
    CZipEntryHeader* currentHeader = nullptr;
    CZipArchiveStorage* storage = nullptr;
    std::uint32_t searchBufferSize = defaultSearchBufferSize;
    // Tens of thousands of entries must not cost a heap block each.
    std::vector<Record> records;
    std::vector<WideValues> wideValues;
    std::vector<char> parts;
    bool convertNamesOnOpen = true;
    bool oemConversion = true;
    CZipCentralDirInfo info;
    bool cdOnDisk = false;

  private:
    struct LocatorValues {
        std::uint32_t recordDisk = 0;
        std::uint64_t recordOffset = 0;
        std::uint32_t totalDisks = 0;
    };

    std::uint64_t LocateEndRecord();
    std::vector<std::uint64_t> FindEndRecordSignatures(bool all);
    // False when the record does not fit in the file.
    bool ReadEndRecordAt(std::uint64_t offset, unsigned char* record);
    bool LeadsToDirectoryHere(std::uint64_t offset);
    bool ReadZip64Locator(LocatorValues& locator);
    // Reads the ZIP64 end record the locator names into `info`; returns the bytes in front of the
    // archive in the last file as the record's real position tells them.
    std::uint64_t ReadZip64EndRecord(const LocatorValues& locator, std::uint32_t lastDisk);
    bool ReadRecordAt(std::uint64_t position, unsigned char* record);
    void ReadHeaders();
    void Store(const CZipEntryHeader& header);
    // Exactly count bytes from the current stream, else BadArchive.
    void ReadFromFile(void* buffer, std::uint32_t count);
    [[noreturn]] void ThrowError(int code) const;

    void MakeHeader(CZipEntryHeader& header, std::size_t index) const;

    CZipEntryHeader current;
    mutable CZipEntryHeader peeked;
    mutable std::size_t peekedIndex = noPeekedIndex;
    static constexpr std::size_t noPeekedIndex = SIZE_MAX;
};
