#pragma once

#include <cstdint>

// Where an entry's raw bytes come from, in order: the archive's storage on the thread that owns
// it, positioned reads of the archive file on the others.
class CZipDataSource {
  public:
    CZipDataSource() = default;
    CZipDataSource(const CZipDataSource&) = delete;
    CZipDataSource& operator=(const CZipDataSource&) = delete;
    virtual ~CZipDataSource() = default;

    // Exactly count bytes, the next ones; throws CZipException (BadArchive) when the archive ends first.
    virtual void Read(unsigned char* bytes, std::uint32_t count) = 0;
};
