#include "support/MemoryStream.h"

#include "engine/ZipArchive.h"
#include "engine/ZipArchiveStorage.h"
#include "engine/ZipException.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

int CodeOf(void (*action)(CZipArchiveStorage&), CZipArchiveStorage& storage, std::string* file = nullptr) {
    try {
        action(storage);
        return 0;
    } catch (const CZipException& e) {
        if (file)
            *file = e.fileName;
        return e.code;
    }
}

TEST(ZipArchiveStorage, ReadOfNothingTouchesNoStream) {
    CZipArchiveStorage storage; // not even open
    EXPECT_EQ(storage.Read(nullptr, 0, true), 0u);
    EXPECT_EQ(storage.Read(nullptr, 0, false), 0u);
}

TEST(ZipArchiveStorage, ReadsWholeBlocksFromEveryStreamKind) {
    const std::string bytes = "0123456789abcdefghijklmnopqrstuvwxyz";
    for (auto kind : {ziptest::StreamKind::Memory, ziptest::StreamKind::ShortPieces, ziptest::StreamKind::DiskFile}) {
        auto stream = ziptest::MakeStream(kind, bytes);
        CZipArchiveStorage storage;
        storage.OpenStream(*stream, CZipArchive::ModeReadOnly);
        storage.DetectVolumes(0);
        char block[30] = {};
        EXPECT_EQ(storage.Read(block, 30, true), 30u) << ziptest::StreamKindName(kind);
        EXPECT_EQ(std::string(block, 30), bytes.substr(0, 30)) << ziptest::StreamKindName(kind);
        // The archive ends before the block does: damaged, whether or not atOnce.
        for (bool atOnce : {true, false}) {
            stream->Seek(30, CZipStream::FromBegin);
            try {
                storage.Read(block, 7, atOnce);
                ADD_FAILURE() << ziptest::StreamKindName(kind);
            } catch (const CZipException& e) {
                EXPECT_EQ(e.code, CZipException::BadArchive) << ziptest::StreamKindName(kind);
                EXPECT_EQ(e.fileName, stream->GetFilePath());
            }
        }
    }
}

TEST(ZipArchiveStorage, OpenFailureKeepsItClosedAndAllowsAnotherOpen) {
    CZipArchiveStorage storage;
    std::string file = "unset";
    EXPECT_EQ(CodeOf([](CZipArchiveStorage& s) { s.Open("/nonexistent/archive.zip", CZipArchive::ModeReadOnly, 0); },
                     storage, &file),
              ENOENT);
    EXPECT_EQ(file, "");
    EXPECT_EQ(storage.GetCurrentVolume(), -1);

    const std::string path = ::testing::TempDir() + "rozbal-storage-" + std::to_string(::getpid()) + ".zip";
    std::ofstream(path, std::ios::binary) << "PK";
    storage.Open(path.c_str(), CZipArchive::ModeReadOnly, 0);
    EXPECT_EQ(storage.volumeMode, CZipArchiveStorage::VolumesUndetermined);
    EXPECT_EQ(storage.GetCurrentVolume(), -1); // open, but the volumes are not known yet
    EXPECT_FALSE(storage.GetFile()->IsClosed());
    storage.DetectVolumes(0);
    EXPECT_EQ(storage.GetCurrentVolume(), 0);
    EXPECT_EQ(storage.GetVolumeState(), 0);
    EXPECT_EQ(storage.archiveExtension, "zip");
    EXPECT_EQ(storage.Close(false), path);
    EXPECT_EQ(storage.GetCurrentVolume(), -1);
    EXPECT_EQ(storage.GetFile(), nullptr);
    EXPECT_TRUE(storage.diskFile.IsClosed());
    std::remove(path.c_str());
}

TEST(ZipArchiveStorage, CreatingIsRefused) {
    CZipArchiveStorage storage;
    for (int mode : {CZipArchive::ModeCreate, CZipArchive::ModeCreateVolumes}) {
        try {
            storage.Open("new.zip", mode, 0);
            ADD_FAILURE() << mode;
        } catch (const CZipException& e) {
            EXPECT_EQ(e.code, EINVAL);
        }
        EXPECT_TRUE(storage.diskFile.IsClosed());
    }
}

TEST(ZipArchiveStorage, SingleFileHasNoOtherVolume) {
    ziptest::MemoryStream stream("abc");
    CZipArchiveStorage storage;
    storage.OpenStream(stream, CZipArchive::ModeReadOnly);
    storage.DetectVolumes(0);
    const int readsBefore = stream.reads;
    storage.ChangeVolume(0); // the volume already open: nothing happens
    EXPECT_EQ(stream.reads, readsBefore);
    EXPECT_EQ(CodeOf([](CZipArchiveStorage& s) { s.ChangeVolume(1); }, storage), CZipException::BadArchive);
}

} // namespace
