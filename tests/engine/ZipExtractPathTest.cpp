// Output paths: composition rules and where a composed path leads. Pure string work.
#include "engine/ZipArchive.h"
#include "engine/ZipPathSafety.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct ComposeRow {
    const char* name;
    const char* folder; // nullptr: absent
    bool fullPath;
    const char* newName;
    const char* expected;
};

TEST(ComposeExtractPath, Table) {
    const ComposeRow rows[] = {
        {"docs\\a.txt", "C:\\out", true, nullptr, "C:\\out\\docs\\a.txt"},
        {"docs\\sub\\", "C:\\out", true, nullptr, "C:\\out\\docs\\sub"},
        {"C:\\x\\y.txt", "C:\\out", true, nullptr, "C:\\out\\x\\y.txt"},
        {"\\\\srv\\share\\f.txt", "C:\\out", true, nullptr, "C:\\out\\srv\\share\\f.txt"},
        {"", "C:\\out", true, nullptr, "C:\\out"},
        {"docs\\a.txt", "C:\\out\\\\", true, nullptr, "C:\\out\\docs\\a.txt"},
        {"docs\\a.txt", "C:\\out/", true, nullptr, "C:\\out\\docs\\a.txt"},
        {"docs\\sub\\", "C:\\out/", true, nullptr, "C:\\out\\docs\\sub"},
        {"docs\\a.txt", "C:\\out", false, nullptr, "C:\\out\\a.txt"},
        {"a\\", "C:\\out", true, nullptr, "C:\\out\\a"},
        {"file.", "C:\\out", true, nullptr, "C:\\out\\file"},
        {"a:b.txt", "C:\\out", true, nullptr, "C:\\out\\b.txt"},
        {"deep\\path\\x.txt", "C:\\out", true, "other.txt", "C:\\out\\other.txt"},
        {"deep\\path\\x.txt", "C:\\out", true, "", "C:\\out"},
        {"\\", "C:\\out", true, nullptr, "C:\\out\\"},
        {"\\\\/", "C:\\out", true, nullptr, "C:\\out\\"},
        {"..\\..\\x", "C:\\out", true, nullptr, "C:\\out\\..\\..\\x"}, // kept here, refused by the judge
        {"docs\\a.txt", nullptr, true, nullptr, "docs\\a.txt"},
        {"docs\\a.txt", "", true, nullptr, "docs\\a.txt"},
        {"docs\\a.txt", "/tmp/out", true, nullptr, "/tmp/out\\docs\\a.txt"},
    };
    CZipArchive archive;
    for (const ComposeRow& row : rows)
        EXPECT_EQ(archive.ComposeExtractPath(row.name, row.folder, row.fullPath, row.newName), row.expected)
            << "name '" << row.name << "' folder '" << (row.folder ? row.folder : "(none)") << "' full " << row.fullPath
            << " new '" << (row.newName ? row.newName : "(none)") << "'";
}

struct JudgeRow {
    std::string name;
    const char* folder;
    CZipPathSafety::Verdict expected;
};

TEST(PathSafety, WhereAComposedPathLeads) {
    using V = CZipPathSafety::Verdict;
    const JudgeRow rows[] = {
        {"docs\\a.txt", "/t/out", V::Inside},
        {"a\\..\\b.txt", "/t/out", V::Inside},
        {"a\\.\\.\\b\\..\\c", "/t/out", V::Inside},
        {"...\\x", "/t/out", V::Inside}, // three dots are an ordinary name
        {"..a\\x", "/t/out", V::Inside},
        {"\\etc\\passwd", "/t/out", V::Inside}, // the root is stripped
        {"C:..\\..\\x", "/t/out", V::Outside},  // the drive is stripped, the climb stays
        {"..\\x", "/t/out", V::Outside},
        {"../x", "/t/out", V::Outside},
        {"a\\..\\..\\x", "/t/out", V::Outside},
        {"a\\b\\..\\..\\..\\etc\\x", "/t/out", V::Outside},
        {"\\\\?\\C:\\..\\x", "/t/out", V::Outside},
        {"..", "/t/out", V::TargetFolder}, // composes to "\." below the folder
        {"", "/t/out", V::TargetFolder},
        {"\\", "/t/out", V::TargetFolder},
        {".\\", "/t/out", V::TargetFolder},
        {"a\\..", "/t/out", V::Inside}, // the name part ".." splits as "." and an empty extension: "a\."
        {"a\\..\\x\\..", "/t/out", V::Inside},
        {"a\\..\\.\\", "/t/out", V::TargetFolder},
        {std::string("a\0b", 3), "/t/out", V::ZeroByte},
        {"x.txt", "", V::Inside},
        {"..\\x.txt", "", V::Outside},
        {"x.txt", "/", V::Inside},
        {"..\\x.txt", "/t/out/", V::Outside},
    };
    CZipArchive archive;
    for (const JudgeRow& row : rows) {
        const std::string path = archive.ComposeExtractPath(row.name, row.folder, true, nullptr);
        EXPECT_EQ(CZipPathSafety::Judge(row.name, row.folder, path), row.expected)
            << "name '" << row.name << "' folder '" << row.folder << "' path '" << path << "'";
    }
    // Without full paths only the name is kept, which cannot climb.
    EXPECT_EQ(CZipPathSafety::Judge("..\\..\\x", "/t", archive.ComposeExtractPath("..\\..\\x", "/t", false, nullptr)),
              CZipPathSafety::Inside);
    // A path that was not composed with the folder does not count as inside it.
    EXPECT_EQ(CZipPathSafety::Judge("x", "/t/out", "/t/outside\\x"), CZipPathSafety::Outside);
}

} // namespace
