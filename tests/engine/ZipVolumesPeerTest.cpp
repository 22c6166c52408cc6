// Split sets made by other tools: the shared corpus and a set that Info-ZIP
// zip makes at test time, with a stub in front of its last volume.
#include "support/TempDir.h"
#include "support/ZipTestWriter.h"

#include "engine/ZipArchive.h"
#include "engine/ZipException.h"
#include "engine/ZipRecords.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace {

using namespace ziptest;

class Archive : public CZipArchive {
  public:
    using CZipArchive::centralDir;
    using CZipArchive::storage;
};

// A missing peer or corpus skips the check on a developer's machine and fails it in CI.
#define REQUIRE(available, what)                                                                                       \
    do {                                                                                                               \
        if (!(available)) {                                                                                            \
            if (std::getenv("CI"))                                                                                     \
                FAIL() << what << " is required in CI";                                                                \
            GTEST_SKIP() << what << " is not there";                                                                   \
        }                                                                                                              \
    } while (0)

std::string Inflate(const std::string& raw, std::size_t size) {
    std::string out(size, '\0');
    z_stream stream{};
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK)
        return "inflateInit2 failed";
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(raw.data()));
    stream.avail_in = static_cast<uInt>(raw.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const int result = inflate(&stream, Z_FINISH);
    inflateEnd(&stream);
    return result == Z_STREAM_END ? out : "inflate failed";
}

// An entry's bytes as stored or inflated, read through the storage as the entry
// reader reads them, with the local header and the descriptor checked.
// 0 or the error code.
int ReadEntry(Archive& archive, std::uint16_t index, std::string& data) {
    try {
        archive.centralDir.OpenEntry(index);
        const CZipEntryHeader& header = *archive.centralDir.currentHeader;
        std::string raw(header.compressedSize, '\0');
        archive.storage.Read(raw.data(), static_cast<std::uint32_t>(raw.size()), false);
        data = header.method == ZipRecords::methodDeflated ? Inflate(raw, header.uncompressedSize) : raw;
        archive.centralDir.CloseEntry(false);
        return Crc32(data) == header.crc32 ? 0 : CZipException::CrcMismatch;
    } catch (const CZipException& e) {
        archive.centralDir.CloseEntry(true);
        return e.code;
    }
}

const std::string corpus = std::string(ROZBAL_SOURCE_DIR) + "/../shared/corpus/";

TEST(ZipVolumesPeer, CorpusSplitSets) {
    REQUIRE(std::ifstream(corpus + "MANIFEST.tsv").good(), "the corpus");
    const struct Row {
        const char* file;
        int openCode;
        std::vector<int> entryCodes;
    } rows[] = {
        {"generated/iz-split.zip", 0, {0, 0}},
        {"generated/split-missing-volume/iz-split.zip", 0, {ENOENT, ENOENT}},
        {"libzip/data/multidisk.zip", 0, {ENOENT}}, // the directory is on the last volume
        {"yauzl/failure/multi-disk zip files are not supported found disk number 1.zip", ENOENT, {}},
    };
    for (const Row& row : rows) {
        const std::string path = corpus + row.file;
        Archive archive;
        int code = 0;
        try {
            archive.Open(path.c_str());
        } catch (const CZipException& e) {
            code = e.code;
        }
        ASSERT_EQ(code, row.openCode) << row.file;
        if (code != 0)
            continue;
        ASSERT_EQ(archive.GetCount(), static_cast<int>(row.entryCodes.size())) << row.file;
        for (std::uint16_t i = 0; i < row.entryCodes.size(); ++i) {
            std::string data;
            EXPECT_EQ(ReadEntry(archive, i, data), row.entryCodes[i]) << row.file << ", entry " << i;
        }
    }
}

// Seeded bytes that do not compress.
std::string Noise(std::size_t size, std::uint32_t seed) {
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        c = static_cast<char>(seed >> 24);
    }
    return bytes;
}

// Info-ZIP's split set, renamed as a self-extractor's volumes: the last volume
// with a stub in front becomes setup.run, the others setup.z01, setup.z02, ...
TEST(ZipVolumesPeer, InfoZipSplitSetBehindAStub) {
    const char* zipTool = "/usr/bin/zip";
    REQUIRE(::access(zipTool, X_OK) == 0, "Info-ZIP zip");
    CTempDir dir;
    const std::vector<std::pair<std::string, std::string>> files = {
        {"big.bin", Noise(300 * 1024, 20240601)},
        {"readme.txt", "Read me first.\n"},
        {"notes.txt", std::string(2000, 'n')},
        {"empty.txt", ""},
    };
    std::string names;
    for (const auto& [name, data] : files) {
        WriteFile(dir.Join(name), data);
        names += " " + name;
    }
    const std::string command = "cd '" + dir.Path() + "' && " + zipTool + " -q -X -s 64k set.zip" + names;
    ASSERT_EQ(std::system(command.c_str()), 0) << command;

    std::size_t volumes = 1;
    while (::access(dir.Join(VolumePath("set.zip", volumes - 1, volumes + 1)).c_str(), F_OK) == 0)
        ++volumes;
    ASSERT_GE(volumes, 5u);
    for (std::size_t i = 0; i + 1 < volumes; ++i) {
        const std::string from = dir.Join(VolumePath("set.zip", i, volumes));
        ASSERT_EQ(std::rename(from.c_str(), dir.Join(VolumePath("setup.run", i, volumes)).c_str()), 0) << from;
    }
    const std::string stub = "\x7f"
                             "ELF" +
                             Noise(9000, 7);
    const std::string program = WriteFile(dir.Join("setup.run"), stub + ReadFile(dir.Join("set.zip")));

    Archive archive;
    archive.Open(program.c_str());
    EXPECT_EQ(archive.storage.lastVolume, static_cast<int>(volumes - 1));
    EXPECT_EQ(archive.centralDir.info.bytesBeforeArchive, stub.size());
    ASSERT_EQ(archive.GetCount(), static_cast<int>(files.size()));
    for (std::uint16_t i = 0; i < files.size(); ++i) {
        CZipEntryHeader header;
        ASSERT_TRUE(archive.GetEntryInfo(header, i));
        std::string data;
        EXPECT_EQ(ReadEntry(archive, i, data), 0) << header.GetFileName();
        bool found = false;
        for (const auto& [name, expected] : files) {
            if (name == header.GetFileName()) {
                found = true;
                EXPECT_TRUE(data == expected) << name;
            }
        }
        EXPECT_TRUE(found) << header.GetFileName();
    }
}

} // namespace
