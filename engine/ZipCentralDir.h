#pragma once

#include "engine/ZipBuffer.h"
#include "engine/ZipCentralDirInfo.h"
#include "engine/ZipEntryHeader.h"

#include <cstdint>
#include <vector>

class CZipArchiveStorage;
class CZipActionCallback;

// Finds and reads the central directory and serves the entry headers. Entry
// indices follow the order of the local headers in the archive.
class CZipCentralDir {
  public:
    static constexpr std::uint32_t defaultSearchBufferSize = 32768;

    CZipCentralDir() = default;
    CZipCentralDir(const CZipCentralDir&) = delete;
    CZipCentralDir& operator=(const CZipCentralDir&) = delete;
    virtual ~CZipCentralDir() { Close(true); }

    void Clear();
    // Reads the end record and every central header; throws CZipException.
    void Read();
    int GetCount() const { return static_cast<int>(headers.size()); }
    bool IsValidIndex(int index) const { return index >= 0 && index < GetCount(); }
    CZipEntryHeader* GetHeader(int index) { return &headers[static_cast<std::size_t>(index)]; }
    const CZipEntryHeader* GetHeader(int index) const { return &headers[static_cast<std::size_t>(index)]; }
    // Positions the storage on the entry's data after checking its local header.
    void OpenEntry(std::uint16_t index);
    // Checks the data descriptor unless skipDescriptor.
    void CloseEntry(bool skipDescriptor);
    void Close(bool deleteHeaders);
    // Converts a copied header's name when names were not converted on reading.
    void ConvertFileName(CZipEntryHeader& header) const;
    // The writing side's; a directory read from the file is never written back.
    void Write(CZipActionCallback* callback);

    CZipBuffer globalComment;
    CZipBuffer localExtraField;
    CZipEntryHeader* currentHeader = nullptr;
    CZipArchiveStorage* storage = nullptr;
    std::uint32_t searchBufferSize = defaultSearchBufferSize;
    // Held by value: tens of thousands of entries must not cost a heap block each.
    std::vector<CZipEntryHeader> headers;
    bool convertNamesOnOpen = true;
    bool oemConversion = true;
    CZipCentralDirInfo info;
    bool cdOnDisk = false;

  private:
    std::uint64_t LocateEndRecord();
    void ReadHeaders();
    // Exactly count bytes from the current stream, else BadArchive.
    void ReadFromFile(void* buffer, std::uint32_t count);
    [[noreturn]] void ThrowError(int code) const;
};
