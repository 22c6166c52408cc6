#include "engine/ZipDiskFile.h"
#include "engine/ZipException.h"
#include "platform/ZipOs.h"

#include <gtest/gtest.h>

#include <algorithm>
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

// A read-only file is served through a read-ahead block: every mix of short reads, long reads and
// seeks (inside the block, behind it, past it, from the end) must see the file's own bytes.
TEST(ZipDiskFile, ReadAheadKeepsReadsAndSeeksExact) {
    const std::string path = TempPath("ahead.bin");
    std::string bytes(3 * CZipDiskFile::readAheadSize + 123, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>((i * 7919u) >> 5);
    { std::ofstream(path, std::ios::binary) << bytes; }
    struct Step {
        std::int64_t offset;
        int origin;
        std::uint32_t count;
    };
    const std::int64_t size = static_cast<std::int64_t>(bytes.size());
    const Step steps[] = {
        {0, CZipStream::FromBegin, 30},     {10, CZipStream::FromCurrent, 5},  {-20, CZipStream::FromCurrent, 46},
        {100, CZipStream::FromBegin, 70000}, {-3, CZipStream::FromCurrent, 2},  {-100, CZipStream::FromEnd, 300},
        {70000, CZipStream::FromBegin, 9},   {65530, CZipStream::FromBegin, 12}, {-60000, CZipStream::FromCurrent, 1},
        {0, CZipStream::FromCurrent, 16384}, {60000, CZipStream::FromBegin, 30000}, {-3, CZipStream::FromCurrent, 2},
        {size - 5, CZipStream::FromBegin, 5},
    };
    CZipDiskFile in(path.c_str(), CZipStream::OpenRead | CZipStream::OpenNoTruncate);
    std::int64_t expected = 0;
    for (const Step& step : steps) {
        const std::int64_t base = step.origin == CZipStream::FromBegin ? 0
                                  : step.origin == CZipStream::FromEnd ? size
                                                                       : expected;
        expected = base + step.offset;
        ASSERT_EQ(in.Seek(step.offset, step.origin), expected) << step.offset << " from " << step.origin;
        std::string got(step.count, '\0');
        const std::uint32_t n = in.Read(got.data(), step.count);
        const auto want = static_cast<std::uint32_t>(std::min<std::int64_t>(step.count, size - expected));
        ASSERT_EQ(n, want) << "at " << expected;
        EXPECT_EQ(got.substr(0, n), bytes.substr(static_cast<std::size_t>(expected), n)) << "at " << expected;
        expected += n;
        EXPECT_EQ(in.GetPosition(), expected);
        EXPECT_EQ(in.GetLength(), size);
    }
    EXPECT_THROW(in.Seek(-(expected + 1), CZipStream::FromCurrent), CZipException);
    std::remove(path.c_str());
}
