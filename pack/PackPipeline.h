#pragma once

#include "pack/SourceTree.h"

#include <string>
#include <vector>

class CZipWriter;
class CPackProgress;

struct PackSettings {
    int level = 6; // 0: everything stored
    unsigned workers = 1;
    bool encrypt = false; // WinZip AES-256 over every file's data
    std::string password;
};

// Packs the items into the writer in their order: worker threads read and compress the files
// (whole files in one piece, large ones in pieces of a MiB) while this thread writes the pieces
// in order. At most a few MiB a worker are in flight. The bytes do not depend on the number of
// workers. Throws std::runtime_error naming a file that cannot be read or changed meanwhile.
void PackItems(const std::vector<PackItem>& items, const PackSettings& settings, CZipWriter& writer,
               CPackProgress& progress);
