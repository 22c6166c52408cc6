#include "support/MemoryStream.h"
#include "support/ZipTestWriter.h"

#include "engine/ZipArchive.h"
#include "engine/ZipException.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#ifdef _WIN32
#include <io.h>
#endif
#include <string>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace {

using namespace ziptest;

// Lets the tests look at the state the archive keeps to itself.
class Archive : public CZipArchive {
  public:
    using CZipArchive::centralDir;
    using CZipArchive::openEntryState;
    using CZipArchive::password;
    using CZipArchive::storage;
    using CZipArchive::systemId;
    using CZipArchive::zlibBlocks;
};

class TempFile {
  public:
    explicit TempFile(const std::string& bytes) {
        static int counter = 0;
        path = ::testing::TempDir() + "rozbal-archive-" + std::to_string(::getpid()) + "-" + std::to_string(++counter) +
               ".zip";
        std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    ~TempFile() { std::remove(path.c_str()); }
    std::string path;
};

int OpenDescriptors() {
    int count = 0;
#ifdef _WIN32
    // The C runtime's descriptors: under Wine the process's own /proc entries also hold Wine's,
    // which come and go by themselves.
    for (int fd = 0; fd < 4096; ++fd)
        count += ::_get_osfhandle(fd) != -1 ? 1 : 0;
#else
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (::readdir(dir))
            ++count;
        ::closedir(dir);
    }
#endif
    return count;
}

int OpenCode(CZipArchive& archive, const std::string& path) {
    try {
        archive.Open(path.c_str());
        return 0;
    } catch (const CZipException& e) {
        return e.code;
    }
}

const std::string twoFiles = BuildArchive({File("a.txt", "hello"), File("b/c.txt", "world")});

TEST(ZipArchive, OpenOnAnOpenArchiveChangesNothing) {
    TempFile first(twoFiles);
    TempFile second(BuildArchive({File("only", "x")}));
    Archive archive;
    EXPECT_TRUE(archive.IsClosed());
    archive.Open(first.path.c_str());
    EXPECT_FALSE(archive.IsClosed());
    EXPECT_FALSE(archive.IsClosed(false));
    archive.Open(second.path.c_str());
    EXPECT_EQ(archive.GetCount(), 2);
    EXPECT_EQ(archive.storage.GetFile()->GetFilePath(), first.path);
    archive.Close();
    EXPECT_TRUE(archive.IsClosed());
    EXPECT_TRUE(archive.IsClosed(false));
    archive.Close(); // closing twice does nothing
    archive.Open(second.path.c_str());
    EXPECT_EQ(archive.GetCount(), 1);
}

TEST(ZipArchive, GetEntryInfoCopiesOrLeavesTheHeaderAlone) {
    TempFile file(twoFiles);
    Archive archive;
    CZipEntryHeader header;
    header.comment.Allocate(4);
    EXPECT_FALSE(archive.GetEntryInfo(header, 0)); // closed
    archive.Open(file.path.c_str());
    EXPECT_FALSE(archive.GetEntryInfo(header, 2)); // index equal to the count
    EXPECT_EQ(header.comment.GetSize(), 4u);
    EXPECT_EQ(header.GetFileName(), "");
    ASSERT_TRUE(archive.GetEntryInfo(header, 1));
    EXPECT_EQ(header.GetFileName(), "b\\c.txt");
    EXPECT_EQ(header.comment.GetSize(), 0u);
    header.fileName.GetBuffer()[0] = 'X'; // a copy: the archive's header keeps its name
    EXPECT_EQ(archive.centralDir.GetHeader(1).GetFileName(), "b\\c.txt");
}

TEST(ZipArchive, PasswordRules) {
    TempFile file(twoFiles);
    Archive archive;
    EXPECT_TRUE(archive.SetPassword("before"));
    archive.Open(file.path.c_str());
    EXPECT_TRUE(archive.password.IsEmpty()); // Open discards it
    EXPECT_TRUE(archive.SetPassword("p\xE9w"));
    EXPECT_EQ(std::string(archive.password.View()), "p\xE9w"); // bytes as given
    EXPECT_TRUE(archive.SetPassword(""));
    EXPECT_TRUE(archive.password.IsEmpty());
    EXPECT_TRUE(archive.SetPassword("x"));
    EXPECT_TRUE(archive.SetPassword(nullptr));
    EXPECT_TRUE(archive.password.IsEmpty());
    archive.openEntryState = CZipArchive::EntryReading; // as while an entry is read
    EXPECT_FALSE(archive.SetPassword("later"));
    archive.openEntryState = CZipArchive::EntryNone;
}

TEST(ZipArchive, CountWithAndWithoutDirectories) {
    // A UNIX directory, a DOS directory, a DOS file, a DOS name ending in a slash
    // without attributes (a directory by its name), a UNIX file.
    TempFile file(BuildArchive(
        {Dir("e/"), DosDir("d/"), DosFile("d/f", "1"), DosFile("g/", "", 0, methodStored), File("h", "2")}));
    Archive archive;
    EXPECT_EQ(archive.GetCount(), 0);
    EXPECT_EQ(archive.GetCount(true), 0);
    archive.Open(file.path.c_str());
    EXPECT_EQ(archive.GetCount(), 5);
    EXPECT_EQ(archive.GetCount(true), 2);
    EXPECT_EQ(archive.systemId, 3); // the host of entry 0
}

TEST(ZipArchive, FailedOpenReleasesEverything) {
    TempFile good(twoFiles);
    // Damaged after the end record was read: headers were being read when it failed.
    Options duplicate;
    duplicate.centralOrder = {0, 1, 0};
    TempFile damaged(BuildArchive({File("a", "1"), File("b", "2")}, duplicate));
    TempFile empty("");
    Archive archive;
    const int before = OpenDescriptors();
    const struct {
        const std::string* path;
        int code;
    } cases[] = {{&damaged.path, CZipException::BadArchive}, {&empty.path, CZipException::CentralDirNotFound}};
    for (const auto& c : cases) {
        EXPECT_EQ(OpenCode(archive, *c.path), c.code) << *c.path;
        EXPECT_TRUE(archive.IsClosed());
        EXPECT_TRUE(archive.IsClosed(false));
        EXPECT_EQ(archive.GetCount(), 0);
        EXPECT_EQ(OpenDescriptors(), before);
    }
    EXPECT_EQ(OpenCode(archive, "/nonexistent/x.zip"), ENOENT);
    EXPECT_TRUE(archive.IsClosed());
    EXPECT_EQ(OpenCode(archive, good.path), 0);
    EXPECT_EQ(archive.GetCount(), 2);
}

TEST(ZipArchive, OpenOnACallersStream) {
    ziptest::MemoryStream stream(twoFiles, "in-memory.zip");
    Archive archive;
    archive.Open(stream);
    EXPECT_EQ(archive.GetCount(), 2);
    archive.Close();
    EXPECT_FALSE(stream.IsClosed());

    ziptest::MemoryStream damaged("not an archive at all");
    EXPECT_THROW(archive.Open(damaged), CZipException);
    EXPECT_TRUE(archive.IsClosed());
    EXPECT_FALSE(damaged.IsClosed());
}

TEST(ZipArchive, ErrorsCarryTheArchivePathWhileOpen) {
    TempFile file(twoFiles);
    Archive archive;
    try {
        archive.ThrowError(CZipException::BadArchive);
    } catch (const CZipException& e) {
        EXPECT_EQ(e.fileName, "");
    }
    archive.Open(file.path.c_str());
    try {
        archive.CheckZlibResult(Z_DATA_ERROR);
        ADD_FAILURE();
    } catch (const CZipException& e) {
        EXPECT_EQ(e.code, CZipException::ZlibDataError);
        EXPECT_EQ(e.fileName, file.path);
    }
    EXPECT_NO_THROW(archive.CheckZlibResult(Z_OK));
    EXPECT_NO_THROW(archive.CheckZlibResult(Z_NEED_DICT));
}

TEST(ZipArchive, ZlibBlocksAreTracked) {
    Archive archive;
    z_stream stream{};
    stream.zalloc = CZipArchive::ZlibAlloc;
    stream.zfree = CZipArchive::ZlibFree;
    stream.opaque = &archive.zlibBlocks;
    ASSERT_EQ(inflateInit2(&stream, -15), Z_OK);
    EXPECT_FALSE(archive.zlibBlocks.empty());
    EXPECT_EQ(inflateEnd(&stream), Z_OK);
    EXPECT_TRUE(archive.zlibBlocks.empty());
    // Without inflateEnd, as after a failure: the archive frees what zlib holds.
    stream = z_stream{};
    stream.zalloc = CZipArchive::ZlibAlloc;
    stream.zfree = CZipArchive::ZlibFree;
    stream.opaque = &archive.zlibBlocks;
    ASSERT_EQ(inflateInit2(&stream, -15), Z_OK);
    archive.FreeZlibBlocks();
    EXPECT_TRUE(archive.zlibBlocks.empty());
}

// Info-ZIP zip run at test time, so the fixture comes from a tool other than ours.
class InfoZip : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!HaveTool("zip")) {
#ifndef _WIN32
            // A build dependency, so CI has it; under Wine the shell and the Linux tools are out of reach.
            if (std::getenv("CI"))
                FAIL() << "Info-ZIP zip is missing";
#endif
            GTEST_SKIP() << "Info-ZIP zip is not installed";
        }
        folder = ::testing::TempDir() + "rozbal-infozip-" + std::to_string(::getpid());
        Run("rm -rf '" + folder + "' && mkdir -p '" + folder + "/src/sub/empty' && cd '" + folder +
            "/src' && printf 'hello' > a.txt && printf '#!/bin/sh\\n' > sub/run.sh && chmod 755 sub/run.sh && "
            "printf 'x%.0s' $(seq 1 5000) > sub/big.txt && zip -qr -X ../plain.zip a.txt sub && "
            "printf 'STUB%.0s' $(seq 1 300) > ../stub && cat ../stub ../plain.zip > ../appended.run && "
            "cp ../appended.run ../adjusted.run && zip -qA ../adjusted.run");
    }
    void TearDown() override {
        if (!folder.empty())
            Run("rm -rf '" + folder + "'");
    }
    static void Run(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }

    std::string folder;
};

TEST_F(InfoZip, ListsAnArchiveWithAStubInFront) {
    for (const char* name : {"plain.zip", "appended.run", "adjusted.run"}) {
        const std::string path = folder + "/" + name;
        Archive archive;
        archive.Open(path.c_str());
        // zip -A makes the offsets file-relative: no stub bytes are counted then.
        const std::uint64_t expectedStub = std::string(name) == "appended.run" ? 1200 : 0;
        EXPECT_EQ(archive.centralDir.info.bytesBeforeArchive, expectedStub) << name;
        ASSERT_EQ(archive.GetCount(), 5) << name;
        EXPECT_EQ(archive.GetCount(true), 3) << name;
        // zip walks sub/ in directory order; a.txt comes first as it was named first.
        std::vector<std::string> names;
        std::uint32_t lastOffset = 0;
        CZipEntryHeader header;
        for (std::uint16_t i = 0; i < 5; ++i) {
            ASSERT_TRUE(archive.GetEntryInfo(header, i));
            const std::string entry = header.GetFileName();
            names.push_back(entry);
            if (i > 0) {
                EXPECT_GT(header.localHeaderOffset, lastOffset) << name << ": indices follow the local headers";
            }
            lastOffset = header.localHeaderOffset;
            EXPECT_EQ(header.IsDirectory(), entry.back() == '\\') << entry;
            if (entry == "sub\\run.sh") {
                EXPECT_EQ(header.GetUnixPermissions(), 0755);
            }
            if (entry == "sub\\big.txt") {
                EXPECT_EQ(header.method, 8);
            }
        }
        EXPECT_EQ(names[0], "a.txt") << name;
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "sub\\", "sub\\big.txt", "sub\\empty\\", "sub\\run.sh"}))
            << name;
        archive.Close();
    }
}

} // namespace
