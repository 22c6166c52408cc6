#include "engine/ZipDiskFile.h"
#include "engine/ZipException.h"
#include "platform/ZipOs.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string TempPath(const char* name) {
    return ::testing::TempDir() + "rozbal-" + std::to_string(::getpid()) + "-" + name;
}

TEST(ZipDiskFile, MissingFileThrowsErrnoWithEmptyName) {
    CZipDiskFile file;
    try {
        file.Open("/nonexistent/dir/file.zip", CZipStream::OpenRead | CZipStream::OpenNoTruncate, true);
        FAIL();
    } catch (const CZipException& e) {
        EXPECT_EQ(e.code, 2);
        EXPECT_EQ(e.fileName, "");
    }
    EXPECT_TRUE(file.IsClosed());
    EXPECT_FALSE(file.Open("/nonexistent/x", CZipStream::OpenRead, false));
}

TEST(ZipDiskFile, WriteReadSeekAndLength) {
    const std::string path = TempPath("rw.bin");
    {
        CZipDiskFile out(path.c_str(), CZipStream::OpenCreate | CZipStream::OpenWrite | CZipStream::ShareDenyWrite);
        out.Write("hello world", 11);
        EXPECT_EQ(out.GetFilePath(), path);
    }
    CZipDiskFile in(path.c_str(), CZipStream::OpenRead | CZipStream::OpenNoTruncate);
    EXPECT_EQ(in.Seek(6, CZipStream::FromBegin), 6);
    EXPECT_EQ(in.GetLength(), 11);
    EXPECT_EQ(in.GetPosition(), 6); // GetLength leaves the position alone
    char buffer[16] = {};
    EXPECT_EQ(in.Read(buffer, sizeof buffer), 5u); // a short count at the end is no error
    EXPECT_STREQ(buffer, "world");
    EXPECT_EQ(in.Read(buffer, 4), 0u);
    in.Close();
    EXPECT_TRUE(in.IsClosed());
    EXPECT_EQ(in.GetFilePath(), "");
    in.Close(); // closing twice does nothing
    std::remove(path.c_str());
}

TEST(ZipDiskFile, ReadOnlyOpenRefusesDirectoriesAndFifos) {
    CZipDiskFile file;
    EXPECT_FALSE(file.Open(::testing::TempDir().c_str(), CZipStream::OpenRead, false));
    const std::string fifo = TempPath("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(file.Open(fifo.c_str(), CZipStream::OpenRead, false)); // must not block
    std::remove(fifo.c_str());
}

TEST(ZipDiskFile, CreateTruncatesExistingFile) {
    const std::string path = TempPath("trunc.bin");
    { std::ofstream(path) << "0123456789"; }
    {
        CZipDiskFile out(path.c_str(), CZipStream::OpenCreate | CZipStream::OpenWrite);
        out.Write("ab", 2);
    }
    CZipDiskFile in(path.c_str(), CZipStream::OpenRead);
    EXPECT_EQ(in.GetLength(), 2);
    std::remove(path.c_str());
}

} // namespace

TEST(ZipDiskFile, OsOpenRefusesPathWithZeroByte) {
    const std::string withZero = TempPath("zero") + std::string("\0x", 2);
    errno = 0;
    EXPECT_EQ(ZipOs::OpenFile(withZero, ZipOs::FileWrite | ZipOs::FileCreate), -1);
    EXPECT_EQ(errno, EINVAL);
}
