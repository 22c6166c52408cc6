#pragma once

#include "engine/ZipArchiveStorage.h"
#include "engine/decode/ZipDataSource.h"

// The open entry's bytes as the archive's storage reads them: on from where it stands, into the next
// volume where the data go on there.
class CZipStorageSource : public CZipDataSource {
  public:
    explicit CZipStorageSource(CZipArchiveStorage& storage) : storage(storage) {}

    void Read(unsigned char* bytes, std::uint32_t count) override {
        if (count > 0)
            storage.Read(bytes, count, false);
    }

  private:
    CZipArchiveStorage& storage;
};
