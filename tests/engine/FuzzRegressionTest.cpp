// Inputs the fuzz targets (fuzz/) found, each kept as the smallest case that showed the fault.
#include "support/MemoryStream.h"
#include "support/TempDir.h"
#include "support/ZipTestWriter.h"

#include "engine/ZipArchive.h"
#include "engine/ZipException.h"
#include "engine/ZipPathSafety.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace ziptest;
using Verdict = CZipPathSafety::Verdict;

struct JudgeRow {
    const char* label;
    const char* name; // passed as the new name, as the path target passes it
    const char* folder;
    Verdict expected;
};

// Without a folder, a name that keeps a leading slash (only backslashes are stripped from the
// directory part) composed to an absolute path that was judged to be inside.
TEST(FuzzRegression, PathsWithoutAFolderNeverBecomeAbsolute) {
    const JudgeRow rows[] = {
        {"slash-led name, no folder", "/abs/x", "", Verdict::Outside},
        {"slash-led folder name, no folder", "/abs/", "", Verdict::Outside},
        {"drive then slash, no folder", "C:/x", "", Verdict::Outside},
        {"backslash-led name, no folder (stripped)", "\\abs\\x", "", Verdict::Inside},
        {"slash-led name below a folder", "/abs/x", "/t/out", Verdict::Inside},
        {"slash alone below a folder", "/", "/t/out", Verdict::TargetFolder},
    };
    CZipArchive archive;
    for (const JudgeRow& row : rows) {
        const std::string path = archive.ComposeExtractPath("entry.txt", row.folder, true, row.name);
        EXPECT_EQ(CZipPathSafety::Judge(row.name, row.folder, path), row.expected)
            << row.label << ": name '" << row.name << "' folder '" << row.folder << "' composed '" << path << "'";
    }
}

// The same case end to end: extracting under an absolute new name without a folder touches
// nothing, neither there nor in the current folder.
TEST(FuzzRegression, ExtractWithoutAFolderStaysInTheCurrentFolder) {
    CTempDir current;
    CTempDir outside;
    char saved[PATH_MAX];
    ASSERT_NE(::getcwd(saved, sizeof saved), nullptr);
    ASSERT_EQ(::chdir(current.Path().c_str()), 0);

    MemoryStream stream(BuildArchive({File("a.txt", "data")}));
    CZipArchive archive;
    archive.Open(stream);
    const std::string newName = outside.Join("escaped.txt");
    bool extracted = true;
    EXPECT_NO_THROW(extracted = archive.ExtractEntry(0, nullptr, true, newName.c_str()));
    archive.Close();
    ASSERT_EQ(::chdir(saved), 0);

    EXPECT_FALSE(extracted);
    struct stat st;
    EXPECT_NE(::lstat(newName.c_str(), &st), 0) << newName;
    EXPECT_EQ(::rmdir(current.Path().c_str()), 0) << "the current folder must stay empty";
    ::mkdir(current.Path().c_str(), 0700); // for the folder's own clean-up
}

// A file entry whose path runs through a folder made on the way ("new\..") onto a folder that
// an earlier entry made: the file fails and the folder stays as it was.
TEST(FuzzRegression, FileThroughANewFolderOntoAnExistingFolder) {
    CTempDir target;
    MemoryStream stream(BuildArchive({Dir("x.txt/"), File("new/../x.txt", "data")}));
    CZipArchive archive;
    archive.Open(stream);
    ASSERT_TRUE(archive.ExtractEntry(0, target.Path().c_str()));
    int code = 0;
    try {
        EXPECT_FALSE(archive.ExtractEntry(1, target.Path().c_str()));
    } catch (const CZipException& e) {
        code = e.code;
    }
    archive.CloseEntry(nullptr, true);
    archive.Close();
    EXPECT_EQ(code, EISDIR);
    struct stat st;
    ASSERT_EQ(::lstat(target.Join("x.txt").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

// A file entry whose last component is dots only is judged inside but names a folder: it fails,
// leaves no file anywhere, and the folders made on the way may stay. With a separator at its end it
// is a folder entry, and comes out as one.
TEST(FuzzRegression, FileNamedByDotsOnlyLeavesNoFile) {
    for (const char* name : {"srv\\?\\UNC\\...\\", "srv\\?\\UNC\\...", "a/b/.."}) {
        CTempDir target;
        MemoryStream stream(BuildArchive({File(name, "data")}));
        CZipArchive archive;
        archive.Open(stream);
        bool extracted = false;
        try {
            extracted = archive.ExtractEntry(0, target.Path().c_str());
        } catch (const CZipException&) {
        }
        archive.CloseEntry(nullptr, true);
        archive.Close();
        EXPECT_EQ(extracted, std::string(name).back() == '\\') << name;
        for (const auto& item : std::filesystem::recursive_directory_iterator(target.Path()))
            EXPECT_TRUE(item.is_directory()) << name << ": " << item.path();
    }
}

// The cipher's key multiply wraps around modulo 2^32 by design; the fuzz build traps unsigned
// wrap-around, so it is worked in 64 bits. Long passwords and data run the keys through many
// wraps: the bytes must still come back.
TEST(FuzzRegression, DecryptionThroughManyKeyWraps) {
    for (const std::string& password : {std::string("password"), std::string(200, '\xFF')}) {
        Entry entry = File("secret.bin", std::string(70000, '\x5A'), methodStored);
        entry.password = password;
        MemoryStream stream(BuildArchive({entry}));
        CZipArchive archive;
        archive.Open(stream);
        archive.SetPassword(password.c_str());
        ASSERT_TRUE(archive.OpenEntry(0));
        std::string data(entry.data.size() + 1, '\0');
        std::uint32_t total = 0;
        while (const std::uint32_t n = archive.ReadEntry(&data[total], static_cast<std::uint32_t>(data.size() - total)))
            total += n;
        data.resize(total);
        EXPECT_EQ(archive.CloseEntry(), 1) << "password of " << password.size() << " bytes";
        EXPECT_EQ(data, entry.data) << "password of " << password.size() << " bytes";
        archive.Close();
    }
}

// A ZIP64 locator whose record offset lies 10 bytes before it: the record cannot fit there, and the
// size it was to be compared with was worked out by a subtraction that wrapped around.
TEST(FuzzRegression, Zip64RecordThatCannotFitBeforeItsLocator) {
    const std::string hex =
        "504b03042d00000000004f725b4007a1eaddffffffffffffffff010014002d01"
        "00100002000000000000000200000000000000610a504b01021e032d00000000"
        "004f725b4007a1eadd0200000002000000010000000000000001000000801100"
        "0000002d504b06062c0000000000504b06070000000064000000000000000100"
        "0000504b0506ffffffffffffffffffffffffffffff0000000000000000000000"
        "00000000000000000000000000000000000000ff0000";
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    MemoryStream stream(bytes);
    CZipArchive archive;
    try {
        archive.Open(stream);
        ADD_FAILURE() << "opened";
    } catch (const CZipException& e) {
        EXPECT_EQ(e.code, CZipException::BadArchive);
    }
}

} // namespace
