#pragma once

#include "platform/ZipOs.h"

#include <string>

// A folder outputs are made in, held open for as long as any file made there still waits for its
// name: the files are made and named by descriptor, which spares looking the folder's path up twice
// a file, and lands them in the folder that was walked even if a link took its place since.
class CZipOutputFolder {
  public:
    explicit CZipOutputFolder(const std::string& path) : descriptor(ZipOs::OpenFolder(path)) {}
    CZipOutputFolder(const CZipOutputFolder&) = delete;
    CZipOutputFolder& operator=(const CZipOutputFolder&) = delete;
    ~CZipOutputFolder() {
        if (descriptor != -1)
            ZipOs::CloseFolder(descriptor);
    }
    // -1 where it could not be opened: its files are then made by path.
    int GetHandle() const { return descriptor; }

  private:
    int descriptor;
};
