#include "platform/ZipPathParts.h"
#include "platform/ZipOsPosixPath.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <string>
#include <sys/stat.h>

namespace {

using namespace std::string_literals;

struct SplitRow {
    std::string path;
    const char* prefix;
    const char* drive;
    std::string directory;
    std::string baseName;
    std::string extension;
    std::string directoryPath; // GetDirectoryPath
    std::string name;          // GetName
    std::string rebuilt;       // GetPath
    std::string withoutDrive;  // GetPathWithoutDrive
};

const SplitRow splitRows[] = {
    // path, prefix, drive, directory, baseName, extension, then what the getters give back
    {R"(C:\dir\sub\file.txt)", "", "C:", R"(dir\sub)", "file", "txt", R"(C:\dir\sub)", "file.txt",
     R"(C:\dir\sub\file.txt)", R"(dir\sub\file.txt)"},
    {R"(dir\file)", "", "", "dir", "file", "", "dir", "file", R"(dir\file)", R"(dir\file)"},
    {R"(\file.txt)", "", "", "", "file", "txt", "", "file.txt", R"(\file.txt)", "file.txt"},
    {R"(\\srv\share\f.tar.gz)", R"(\\)", "", R"(srv\share)", "f.tar", "gz", R"(\\srv\share)", "f.tar.gz",
     R"(\\srv\share\f.tar.gz)", R"(srv\share\f.tar.gz)"},
    {R"(\\?\C:\d\f)", R"(\\?\)", "C:", "d", "f", "", R"(\\?\C:\d)", "f", R"(\\?\C:\d\f)", R"(d\f)"},
    {R"(\\?\UNC\srv\s\f)", R"(\\?\UNC\)", "", R"(srv\s)", "f", "", R"(\\?\UNC\srv\s)", "f", R"(\\?\UNC\srv\s\f)",
     R"(srv\s\f)"},
    {"file.", "", "", "", "file", "", "", "file", R"(\file)", "file"},
    {".profile", "", "", "", "", "profile", "", ".profile", R"(\.profile)", ".profile"},
    {"a/b/c.txt", "", "", "a/b/", "c", "txt", "a/b/", "c.txt", R"(a/b/\c.txt)", R"(a/b/\c.txt)"},
    {R"(C:\file)", "", "C:", "", "file", "", "C:", "file", R"(C:\file)", "file"},
    {"file.txt", "", "", "", "file", "txt", "", "file.txt", R"(\file.txt)", "file.txt"},
    {R"(\dir\f)", "", "", "dir", "f", "", "dir", "f", R"(dir\f)", R"(dir\f)"},
    {"", "", "", "", "", "", "", "", "", ""},
    {"C:", "", "C:", "", "", "", "C:", "", "C:", ""},
    {R"(\\)", R"(\\)", "", "", "", "", R"(\\)", "", R"(\\)", ""},
    {"a.tar.gz", "", "", "", "a.tar", "gz", "", "a.tar.gz", R"(\a.tar.gz)", "a.tar.gz"},
    {R"(dir.d\file)", "", "", "dir.d", "file", "", "dir.d", "file", R"(dir.d\file)", R"(dir.d\file)"},
    // Leaves the pattern at the fifth character: no prefix, split whole.
    {R"(\\?\unx\)", "", "", R"(?\unx)", "", "", R"(?\unx)", "", R"(?\unx)", R"(?\unx)"},
    {R"(\\?\unc\s\f)", R"(\\?\unc\)", "", "s", "f", "", R"(\\?\unc\s)", "f", R"(\\?\unc\s\f)", R"(s\f)"},
    {R"(\\?\)", R"(\\?\)", "", "", "", "", R"(\\?\)", "", R"(\\?\)", ""},
    {R"(\\?x)", "", "", "", "?x", "", "", "?x", R"(\?x)", "?x"},
    // .. components stay where they are.
    {R"(..\..\x.txt)", "", "", R"(..\..)", "x", "txt", R"(..\..)", "x.txt", R"(..\..\x.txt)", R"(..\..\x.txt)"},
    {R"(a\..\b)", "", "", R"(a\..)", "b", "", R"(a\..)", "b", R"(a\..\b)", R"(a\..\b)"},
    {R"(dir\..)", "", "", "dir", ".", "", "dir", ".", R"(dir\.)", R"(dir\.)"},
    {"C:dir\\f.txt", "", "C:", "dir", "f", "txt", R"(C:\dir)", "f.txt", R"(C:\dir\f.txt)", R"(dir\f.txt)"},
    {"a:b.txt", "", "a:", "", "b", "txt", "a:", "b.txt", R"(a:\b.txt)", "b.txt"},
    {R"(dir\\\f)", "", "", "dir", "f", "", "dir", "f", R"(dir\f)", R"(dir\f)"},
    {"dir/", "", "", "dir/", "", "", "dir/", "", "dir/", "dir/"},
    // A path the OS gave us keeps its slashes and stays absolute.
    {"/home/u/setup.run", "", "", "/home/u/", "setup", "run", "/home/u/", "setup.run", R"(/home/u/\setup.run)",
     R"(/home/u/\setup.run)"},
    // Zero bytes are ordinary bytes.
    {"a\0b\\c.t\0x"s, "", "", "a\0b"s, "c", "t\0x"s, "a\0b"s, "c.t\0x"s, "a\0b\\c.t\0x"s, "a\0b\\c.t\0x"s},
};

TEST(ZipPathParts, SplitAndRebuildTable) {
    for (const SplitRow& row : splitRows) {
        SCOPED_TRACE("path: [" + row.path + "]");
        const CZipPathParts parts(row.path);
        EXPECT_EQ(parts.prefix, row.prefix);
        EXPECT_EQ(parts.drive, row.drive);
        EXPECT_EQ(parts.GetDrive(), row.drive);
        EXPECT_EQ(parts.directory, row.directory);
        EXPECT_EQ(parts.baseName, row.baseName);
        EXPECT_EQ(parts.extension, row.extension);
        EXPECT_EQ(parts.GetExtension(), row.extension);
        EXPECT_EQ(parts.GetDirectoryPath(), row.directoryPath);
        EXPECT_EQ(parts.GetName(), row.name);
        EXPECT_EQ(parts.GetPath(), row.rebuilt);
        EXPECT_EQ(parts.GetPathWithoutDrive(), row.withoutDrive);
    }
}

TEST(ZipPathParts, SetExtensionDropsLeadingDots) {
    const struct {
        const char* given;
        const char* stored;
    } rows[] = {{".z01", "z01"}, {"z01", "z01"}, {"..z01", "z01"}, {"z.01", "z.01"}, {"...", ""}, {"", ""}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.given);
        CZipPathParts parts(R"(dir\archive.zip)");
        parts.SetExtension(row.given);
        EXPECT_EQ(parts.GetExtension(), row.stored);
        EXPECT_EQ(parts.GetName(), *row.stored ? "archive."s + row.stored : "archive"s);
    }
}

TEST(ZipPathParts, LongPartsAreKeptWhole) {
    const std::string directory = std::string(300, 'd') + "\\" + std::string(299, 'e'); // 600 bytes
    const std::string base(300, 'n');
    const std::string extension(300, 'x');
    const CZipPathParts parts(directory + "\\" + base + "." + extension);
    EXPECT_EQ(parts.directory, directory);
    EXPECT_EQ(parts.baseName, base);
    EXPECT_EQ(parts.extension, extension);
    EXPECT_EQ(parts.GetPath(), directory + "\\" + base + "." + extension);
}

// A volume name is derived from the program's own OS path: after the turn to
// the OS form it must name the sibling file, not something at the root.
TEST(ZipPathParts, OsPathWithNewExtensionNamesTheSiblingFile) {
    CZipPathParts parts("/home/u/setup.run");
    parts.SetExtension("z01");
    EXPECT_EQ(parts.GetPath(), R"(/home/u/\setup.z01)");
    EXPECT_EQ(ZipOs::ToNativePath(parts.GetPath()), "/home/u//setup.z01");

    const CTempDir dir;
    { std::ofstream(dir.Join("setup.z01")) << "volume"; }
    CZipPathParts real(dir.Join("setup.run"));
    real.SetExtension(".z01");
    const std::string native = ZipOs::ToNativePath(real.GetPath());
    ASSERT_EQ(native.front(), '/');
    struct stat expected, actual;
    ASSERT_EQ(::stat(dir.Join("setup.z01").c_str(), &expected), 0);
    ASSERT_EQ(::stat(native.c_str(), &actual), 0) << native;
    EXPECT_EQ(actual.st_ino, expected.st_ino);
}

// The directory tree is created by walking from a path to its parent until the
// parent no longer changes: that walk must end for every input.
TEST(ZipPathParts, ParentWalkAlwaysEnds) {
    const char alphabet[] = {'a', '\\', '/', ':', '.', '?', 'C', 'u'};
    std::mt19937 random(20240601);
    for (int round = 0; round < 20000; ++round) {
        std::string path(random() % 14, ' ');
        for (char& c : path)
            c = alphabet[random() % sizeof alphabet];
        std::string s = path;
        int steps = 0;
        for (;; ++steps) {
            while (!s.empty() && s.back() == '\\')
                s.pop_back();
            const std::string parent = CZipPathParts(s).GetDirectoryPath();
            if (parent == s)
                break;
            s = parent;
            ASSERT_LE(steps, 20) << "no end for [" << path << "]";
        }
    }
}

TEST(PathSeparators, Table) {
    const struct {
        const char* input;
        const char* trimmed;
        const char* appended;
    } rows[] = {
        {R"(C:\out\\)", R"(C:\out)", R"(C:\out\)"},
        {R"(C:\out/)", R"(C:\out)", R"(C:\out\)"},
        {"C:", "C:", R"(C:\)"},
        {"", "", R"(\)"},
        {R"(\/\/)", "", R"(\)"},
        {"/home/u/", "/home/u", R"(/home/u\)"},
        {R"(a\b)", R"(a\b)", R"(a\b\)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.input);
        std::string trimmed = row.input;
        TrimTrailingSeparators(trimmed);
        EXPECT_EQ(trimmed, row.trimmed);
        std::string appended = row.input;
        AppendSeparator(appended);
        EXPECT_EQ(appended, row.appended);
    }
    EXPECT_TRUE(IsSeparator('\\'));
    EXPECT_TRUE(IsSeparator('/'));
    for (char c : {':', '.', 'a', '\0', '|'})
        EXPECT_FALSE(IsSeparator(c)) << int(c);
}

} // namespace
