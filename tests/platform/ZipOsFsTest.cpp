#include "engine/ZipException.h"
#include "platform/ZipOs.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace std::string_literals;

constexpr std::uint32_t readOnly = 0x01;
constexpr std::uint32_t hidden = 0x02;
constexpr std::uint32_t directoryBit = 0x10;
constexpr std::uint32_t archiveBit = 0x20;
constexpr std::uint32_t normal = 0x80;

void MakeFile(const std::string& path, mode_t mode = 0644) {
    { std::ofstream(path) << "content"; }
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
}

void MakeDir(const std::string& path, mode_t mode = 0755) {
    ASSERT_EQ(::mkdir(path.c_str(), 0700), 0) << path;
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
}

mode_t ModeOf(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0xFFFF;
}

struct stat StatOf(const std::string& path) {
    struct stat st = {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st;
}

bool Exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// ---- Directories ----------------------------------------------------------

TEST(ZipOsDirectories, CreatesThreeMissingLevelsThroughBackslashes) {
    const CTempDir dir;
    EXPECT_TRUE(ZipOs::CreateDirectoryTree(dir.Path() + R"(\a\b\c)"));
    EXPECT_TRUE(S_ISDIR(StatOf(dir.Join("a/b/c")).st_mode));
    EXPECT_FALSE(Exists(dir.Join(R"(a\b\c)"))); // no single name with backslashes in it
}

TEST(ZipOsDirectories, ExistingLevelsAndRootsNeedNothing) {
    const CTempDir dir;
    MakeDir(dir.Join("a"));
    MakeDir(dir.Join("a/b"), 0555); // nothing may be created inside it
    for (const std::string& path :
         {dir.Path() + R"(\a\b)", dir.Path() + R"(\a\b\)", dir.Path() + R"(\a\b\\)", dir.Join("a/b/"), "/"s, ""s}) {
        SCOPED_TRACE(path);
        EXPECT_TRUE(ZipOs::CreateDirectoryTree(path));
    }
    EXPECT_EQ(ModeOf(dir.Join("a/b")), 0555u);
}

TEST(ZipOsDirectories, FileInTheWayFails) {
    const CTempDir dir;
    MakeFile(dir.Join("f"));
    EXPECT_FALSE(ZipOs::CreateDirectoryTree(dir.Path() + R"(\f)"));
    EXPECT_FALSE(ZipOs::CreateDirectoryTree(dir.Path() + R"(\f\sub)"));
    EXPECT_TRUE(S_ISREG(StatOf(dir.Join("f")).st_mode));
}

// The outer levels are made first and stay when an inner one fails; a long
// component is not shortened into another name.
TEST(ZipOsDirectories, OuterLevelsStayWhenAnInnerOneFails) {
    const CTempDir dir;
    const std::string tooLong(NAME_MAX + 1, 'n');
    EXPECT_FALSE(ZipOs::CreateDirectoryTree(dir.Path() + R"(\outer\)" + tooLong + R"(\inner)"));
    EXPECT_TRUE(S_ISDIR(StatOf(dir.Join("outer")).st_mode));
    EXPECT_FALSE(Exists(dir.Join("outer/" + tooLong.substr(0, NAME_MAX))));
}

TEST(ZipOsDirectories, HostileDepthFailsWithoutCreatingAnything) {
    const CTempDir dir;
    std::string path = dir.Path();
    for (int level = 0; level < 32767; ++level)
        path += R"(\a)";
    EXPECT_FALSE(ZipOs::CreateDirectoryTree(path));
    EXPECT_FALSE(Exists(dir.Join("a")));
}

TEST(ZipOsDirectories, PathKindAsksTheFileSystemAndKeepsTheCurrentDirectory) {
    const CTempDir dir;
    MakeFile(dir.Join("file"));
    MakeDir(dir.Join("dir"));
    MakeDir(dir.Join("locked"), 0);
    ASSERT_EQ(::symlink("dir", dir.Join("dirlink").c_str()), 0);
    ASSERT_EQ(::symlink("missing", dir.Join("dangling").c_str()), 0);
    const struct {
        std::string path;
        int kind;
    } rows[] = {
        {dir.Join("file"), 1},     {dir.Path() + R"(\file)", 1},
        {dir.Join("dir"), -1},     {dir.Path() + R"(\dir\)", -1},
        {dir.Join("locked"), -1}, // a directory even where it cannot be entered
        {dir.Join("dirlink"), -1}, {dir.Join("dangling"), 0},
        {dir.Join("missing"), 0},  {dir.Join("dir") + "\0/file"s, 0}, // a zero byte must not cut the path to "dir"
    };
    std::string before;
    ASSERT_TRUE(ZipOs::GetCurrentDir(before));
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path);
        EXPECT_EQ(ZipOs::GetPathKind(row.path), row.kind);
        EXPECT_EQ(ZipOs::IsDirectoryPath(row.path), row.kind == -1);
    }
    std::string after;
    ASSERT_TRUE(ZipOs::GetCurrentDir(after));
    EXPECT_EQ(after, before);
}

TEST(ZipOsDirectories, ChangeAndGetCurrentDir) {
    const CTempDir dir;
    MakeDir(dir.Join("sub"));
    char* real = ::realpath(dir.Join("sub").c_str(), nullptr);
    ASSERT_NE(real, nullptr);
    const std::string expected = real;
    std::free(real);

    std::string saved;
    ASSERT_TRUE(ZipOs::GetCurrentDir(saved));
    ASSERT_TRUE(ZipOs::ChangeDir(dir.Path() + R"(\sub)"));
    std::string now = "unchanged";
    EXPECT_TRUE(ZipOs::GetCurrentDir(now));
    ASSERT_TRUE(ZipOs::ChangeDir(saved));
    EXPECT_EQ(now, expected);
    EXPECT_FALSE(ZipOs::ChangeDir(dir.Join("missing")));
    EXPECT_FALSE(ZipOs::IsRemovableDrive("A:"));
}

// ---- Times ----------------------------------------------------------------

TEST(ZipOsTimes, FixedTimeAndNow) {
    const CTempDir dir;
    MakeFile(dir.Join("f"));
    const std::time_t before = std::time(nullptr);
    ASSERT_TRUE(ZipOs::ApplyModTime(dir.Path() + R"(\f)", 1000000000));
    struct stat st = StatOf(dir.Join("f"));
    EXPECT_EQ(st.st_mtim.tv_sec, 1000000000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 0);
    EXPECT_GE(st.st_atim.tv_sec, before);
    EXPECT_EQ(st.st_atim.tv_nsec, 0);

    ASSERT_TRUE(ZipOs::ApplyModTime(dir.Join("f"), -1));
    const std::time_t after = std::time(nullptr);
    st = StatOf(dir.Join("f"));
    EXPECT_GE(st.st_mtim.tv_sec, before);
    EXPECT_LE(st.st_mtim.tv_sec, after);
    EXPECT_EQ(st.st_mtim.tv_nsec, 0);
    EXPECT_EQ(st.st_atim.tv_sec, st.st_mtim.tv_sec);

    EXPECT_FALSE(ZipOs::ApplyModTime(dir.Join("missing"), -1));

    // Nanoseconds reach the file system; with -1 (now) they are not used.
    ASSERT_TRUE(ZipOs::ApplyModTime(dir.Join("f"), 1000000000, 123456789));
    EXPECT_EQ(StatOf(dir.Join("f")).st_mtim.tv_nsec, 123456789);
    ASSERT_TRUE(ZipOs::ApplyModTime(dir.Join("f"), -1, 5));
    EXPECT_EQ(StatOf(dir.Join("f")).st_mtim.tv_nsec, 0);
}

// ---- Attributes -----------------------------------------------------------

struct ModeRow {
    bool isDirectory;
    mode_t initial;
    std::uint32_t attributes;
    int unixMode;
    mode_t expected;
};

// Without a UNIX mode the result does not depend on the umask.
TEST(ZipOsAttributes, DosWordOnFilesAndDirectories) {
    const ModeRow rows[] = {
        {false, 0644, readOnly, -1, 0444}, // every write bit goes
        {false, 0666, readOnly | archiveBit | hidden, -1, 0444},
        {false, 0755, readOnly, -1, 0555},
        {false, 0444, 0, -1, 0644}, // the owner may write again
        {false, 0444, normal, -1, 0644},
        {false, 0400, archiveBit, -1, 0600},
        {false, 0640, archiveBit, -1, 0640},             // already writable: unchanged
        {true, 0755, directoryBit | readOnly, -1, 0755}, // read-only means nothing on a folder
        {true, 0555, directoryBit, -1, 0755},
        {true, 0655, directoryBit | readOnly, -1, 0755}, // it must stay searchable to be filled
    };
    const CTempDir dir;
    int index = 0;
    for (const ModeRow& row : rows) {
        const std::string path = dir.Join("p" + std::to_string(index++));
        SCOPED_TRACE(path);
        if (row.isDirectory)
            MakeDir(path, row.initial);
        else
            MakeFile(path, row.initial);
        EXPECT_TRUE(ZipOs::ApplyAttributes(path, row.attributes, row.unixMode));
        EXPECT_EQ(ModeOf(path), row.expected);
    }
    EXPECT_FALSE(ZipOs::ApplyAttributes(dir.Join("missing"), 0));
}

// The umask is read once per process, so this runs in a fresh child process
// that sets its own umask first.
TEST(ZipOsAttributesDeathTest, UnixModeIsMaskedByTheUmask) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto child = [] {
        const ModeRow rows[] = {
            {false, 0600, 0, 0755, 0750},
            {false, 0600, 0, 04755, 0750}, // never setuid, setgid or sticky
            {false, 0600, archiveBit, 07777, 0750},
            {false, 0644, readOnly, 0755, 0550}, // read-only still clears the write bits
            {false, 0666, 0, 0444, 0440},        // the mode as given, owner write not added
            {false, 0600, 0, 0, 0},
            {true, 0700, directoryBit, 0755, 0750},
            {true, 0700, directoryBit, 0555, 0750}, // the owner keeps write and search
            {true, 0700, directoryBit | readOnly, 0700, 0700},
            {true, 0755, directoryBit, 0, 0300},
        };
        ::umask(027);
        int failures = 0;
        {
            const CTempDir dir;
            int index = 0;
            for (const ModeRow& row : rows) {
                const std::string path = dir.Join("p" + std::to_string(index++));
                if (row.isDirectory)
                    ::mkdir(path.c_str(), row.initial);
                else
                    MakeFile(path, row.initial);
                const bool applied = ZipOs::ApplyAttributes(path, row.attributes, row.unixMode);
                if (!applied || ModeOf(path) != row.expected) {
                    std::fprintf(stderr, "row %d: mode %o, expected %o\n", index - 1, ModeOf(path), row.expected);
                    ++failures;
                }
            }
        }
        const mode_t umaskAfter = ::umask(0);
        if (umaskAfter != 027) {
            std::fprintf(stderr, "umask changed to %o\n", umaskAfter);
            ++failures;
        }
        std::_Exit(failures);
    };
    EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "");
}

// ---- Symlinks are never followed -----------------------------------------

TEST(ZipOsSymlinks, LinkIsLeftAloneOrActedOnItself) {
    const CTempDir dir;
    const std::string target = dir.Join("target");
    const std::string link = dir.Join("link");
    MakeFile(target, 0444);
    ASSERT_EQ(::symlink("target", link.c_str()), 0);
    const struct timespec fixed[2] = {{1000, 0}, {1000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, target.c_str(), fixed, 0), 0);
    const std::string linkInEngineForm = dir.Path() + R"(\link)";

    EXPECT_TRUE(ZipOs::ApplyAttributes(linkInEngineForm, 0));
    EXPECT_TRUE(ZipOs::ApplyAttributes(linkInEngineForm, readOnly, 0777));
    EXPECT_TRUE(ZipOs::MakeNormal(linkInEngineForm));
    EXPECT_TRUE(ZipOs::ApplyModTime(linkInEngineForm, 5000));
    EXPECT_EQ(StatOf(link).st_mtim.tv_sec, 5000);
    EXPECT_EQ(ModeOf(target), 0444u);
    EXPECT_EQ(StatOf(target).st_mtim.tv_sec, 1000);

    EXPECT_TRUE(ZipOs::PathExists(linkInEngineForm));
    EXPECT_TRUE(ZipOs::DeletePath(linkInEngineForm));
    EXPECT_FALSE(Exists(link));
    EXPECT_TRUE(Exists(target));

    // A link to a folder goes, the folder and its contents stay; a dangling link exists.
    MakeDir(dir.Join("folder"));
    MakeFile(dir.Join("folder/inside"));
    ASSERT_EQ(::symlink("folder", link.c_str()), 0);
    ASSERT_EQ(::symlink("nowhere", dir.Join("dangling").c_str()), 0);
    EXPECT_TRUE(ZipOs::PathExists(dir.Join("dangling")));
    EXPECT_TRUE(ZipOs::DeletePath(dir.Join("dangling")));
    EXPECT_TRUE(ZipOs::DeletePath(linkInEngineForm));
    EXPECT_TRUE(Exists(dir.Join("folder/inside")));
}

TEST(ZipOsSymlinks, MadeAsGivenNeverOverAnythingAndRenamedOverFilesOnly) {
    const CTempDir dir;
    ASSERT_TRUE(ZipOs::SupportsSymbolicLinks());
    EXPECT_EQ(ZipOs::PathSeparator(), '/');
    // The target text is the link's own: a backslash in it stays, the path's becomes a slash.
    ASSERT_TRUE(ZipOs::CreateSymbolicLink(dir.Path() + R"(\link)", R"(../a\b)"));
    char text[64] = {};
    ASSERT_EQ(::readlink(dir.Join("link").c_str(), text, sizeof text - 1), 6);
    EXPECT_STREQ(text, R"(../a\b)");
    // Nothing already there is replaced, a dangling link included; a zero byte is refused.
    EXPECT_FALSE(ZipOs::CreateSymbolicLink(dir.Join("link"), "other"));
    EXPECT_EQ(errno, EEXIST);
    EXPECT_FALSE(ZipOs::CreateSymbolicLink(dir.Join("z"), "a\0b"s));
    EXPECT_FALSE(Exists(dir.Join("z")));

    // A link renamed over a file or a link replaces it; over a folder it fails and the folder stays.
    MakeFile(dir.Join("file"));
    MakeDir(dir.Join("folder"));
    ASSERT_TRUE(ZipOs::ReplaceFile(dir.Join("link"), dir.Join("file")));
    EXPECT_TRUE(S_ISLNK(StatOf(dir.Join("file")).st_mode));
    ASSERT_TRUE(ZipOs::CreateSymbolicLink(dir.Join("link"), "x"));
    EXPECT_FALSE(ZipOs::ReplaceFile(dir.Join("link"), dir.Join("folder")));
    EXPECT_TRUE(S_ISDIR(StatOf(dir.Join("folder")).st_mode));
}

// ---- The front end's operations on an output path --------------------------

TEST(ZipOsOutputPath, ExistsMakeNormalDelete) {
    const CTempDir dir;
    MakeDir(dir.Join("sub"));
    MakeFile(dir.Join("sub/old"), 0444);
    MakeDir(dir.Join("sub/folder"), 0555);
    const std::string file = dir.Path() + R"(\sub\old)";
    const std::string folder = dir.Path() + R"(\sub\folder)";

    EXPECT_TRUE(ZipOs::PathExists(file));
    EXPECT_TRUE(ZipOs::PathExists(folder));
    EXPECT_FALSE(ZipOs::PathExists(dir.Path() + R"(\sub\missing)"));

    EXPECT_TRUE(ZipOs::MakeNormal(file));
    EXPECT_EQ(ModeOf(dir.Join("sub/old")), 0644u);
    EXPECT_TRUE(ZipOs::MakeNormal(folder));
    EXPECT_EQ(ModeOf(dir.Join("sub/folder")), 0755u);

    EXPECT_FALSE(ZipOs::DeletePath(folder)); // never a directory
    EXPECT_TRUE(Exists(dir.Join("sub/folder")));
    EXPECT_FALSE(ZipOs::DeletePath(file + "\0x"s)); // a zero byte must not cut the path to the file
    EXPECT_FALSE(ZipOs::MakeNormal(file + "\0x"s));
    EXPECT_TRUE(Exists(dir.Join("sub/old")));
    EXPECT_TRUE(ZipOs::DeletePath(file));
    EXPECT_FALSE(Exists(dir.Join("sub/old")));
    EXPECT_FALSE(ZipOs::DeletePath(file));
}

// ---- Remove and rename --------------------------------------------------

TEST(ZipOsRemoveRename, FailWithoutThrowingAndNeverReplace) {
    const CTempDir dir;
    const std::string missing = dir.Path() + R"(\missing)";
    EXPECT_FALSE(ZipOs::RemoveFile(missing));
    EXPECT_FALSE(ZipOs::RenameFile(missing, dir.Path() + R"(\new)"));

    MakeFile(dir.Join("a"));
    MakeFile(dir.Join("b"));
    EXPECT_FALSE(ZipOs::RenameFile(dir.Path() + R"(\a)", dir.Path() + R"(\b)"));
    EXPECT_TRUE(Exists(dir.Join("a")));
    EXPECT_TRUE(ZipOs::RenameFile(dir.Path() + R"(\a)", dir.Path() + R"(\c)"));
    EXPECT_FALSE(Exists(dir.Join("a")));
    EXPECT_TRUE(ZipOs::RemoveFile(dir.Path() + R"(\c)"));
    EXPECT_FALSE(Exists(dir.Join("c")));
}

} // namespace
