#pragma once

#include <cstdint>

// The end record's values and the archive start derived from them.
struct CZipCentralDirInfo {
    // Positions in the file are 64-bit; the record's own fields are 32-bit.
    std::uint64_t endRecordOffset = 0; // file position of the end record's signature
    // Stub in front of the file holding the end record (the single file, or the
    // last volume); added to every stored offset within that file.
    std::uint64_t bytesBeforeArchive = 0;
    std::uint16_t thisDisk = 0;
    std::uint16_t cdStartDisk = 0;
    std::uint16_t entriesOnThisDisk = 0; // stored, never compared
    std::uint16_t totalEntries = 0;
    std::uint32_t cdSize = 0;
    std::uint32_t cdOffset = 0; // relative to the start of the archive
};
