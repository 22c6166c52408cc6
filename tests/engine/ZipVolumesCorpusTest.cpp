// Split sets and end records that claim other volumes, from the shared corpus
// of archives made by other tools.
#include "engine/ZipArchive.h"
#include "engine/ZipException.h"

#include "support/CorpusTable.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

const std::string corpus = sharedcorpus::folder;

// Reads an entry through the entry reader, the CRC and any data descriptor
// checked on closing: its size, or the negated error code.
long ReadEntry(CZipArchive& archive, std::uint16_t index) {
    try {
        if (!archive.OpenEntry(index))
            return -1;
        long size = 0;
        char block[4096];
        while (const std::uint32_t n = archive.ReadEntry(block, sizeof block))
            size += n;
        return archive.CloseEntry() == 1 ? size : -1;
    } catch (const CZipException& e) {
        archive.CloseEntry(nullptr, true);
        return -e.code;
    }
}

TEST(ZipVolumesCorpus, SplitSetsAndVolumeClaims) {
    if (!std::ifstream(corpus + "MANIFEST.tsv")) {
        if (std::getenv("CI"))
            FAIL() << "corpus not found at " << corpus;
        GTEST_SKIP() << "corpus not found at " << corpus;
    }
    const struct Row {
        const char* file;
        int openCode;
        std::vector<long> entries; // sizes read, or negated error codes
    } rows[] = {
        {"generated/iz-split.zip", 0, {76000, 76000}},
        {"generated/split-missing-volume/iz-split.zip", 0, {-ENOENT, -ENOENT}},
        {"libzip/data/multidisk.zip", 0, {-ENOENT}}, // the directory is on the last volume
        {"yauzl/failure/multi-disk zip files are not supported found disk number 1.zip", ENOENT, {}},
    };
    for (const Row& row : rows) {
        const std::string path = corpus + row.file;
        CZipArchive archive;
        int code = 0;
        try {
            archive.Open(path.c_str());
        } catch (const CZipException& e) {
            code = e.code;
        }
        ASSERT_EQ(code, row.openCode) << row.file;
        if (code != 0)
            continue;
        ASSERT_EQ(archive.GetCount(), static_cast<int>(row.entries.size())) << row.file;
        for (std::uint16_t i = 0; i < row.entries.size(); ++i)
            EXPECT_EQ(ReadEntry(archive, i), row.entries[i]) << row.file << ", entry " << i;
    }
}

} // namespace
