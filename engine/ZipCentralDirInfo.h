#pragma once

#include <cstdint>

// The end record's values (the ZIP64 end record's where one is present) and
// the archive start derived from them.
struct CZipCentralDirInfo {
    std::uint64_t endRecordOffset = 0; // file position of the end record's signature
    // Stub in front of the file holding the end record (the single file, or the
    // last volume); added to every stored offset within that file.
    std::uint64_t bytesBeforeArchive = 0;
    std::uint32_t thisDisk = 0;
    std::uint32_t cdStartDisk = 0;
    std::uint64_t entriesOnThisDisk = 0; // stored, never compared
    std::uint64_t totalEntries = 0;
    std::uint64_t cdSize = 0;
    std::uint64_t cdOffset = 0; // relative to the start of the archive
    bool zip64 = false;         // the values came from a ZIP64 end record
};
