// The stub's sources are not part of a library; the run is compiled into this test program directly.
#include "sfx/ExtractionRun.cpp"
#include "sfx/BusyPaths.cpp"
#include "sfx/ExtractionDialogue.cpp"
#include "sfx/ExtractionWorkers.cpp"
#include "sfx/ParallelExtraction.cpp"
#include "sfx/ProgramImage.cpp"
#include "sfx/WriteBehind.cpp"

#include <gtest/gtest.h>

namespace {

struct FolderRow {
    std::string modulePath;
    std::string folder;
};

const FolderRow folderRows[] = {
    {"/opt/tools/setup.run", "/opt/tools/setup"},
    {"/opt/tools/setup", "/opt/tools/setup.d"},
    {"/opt/tools/.setup", "/opt/tools/.setup.d"},
    {"/opt/tools/.setup.run", "/opt/tools/.setup"},
    {"/opt/tools/my.app.run", "/opt/tools/my.app"},
    {"/opt/tools/setup.", "/opt/tools/setup"},
    {"/opt/v1.2/setup", "/opt/v1.2/setup.d"},
    // Only the slash ends a component here: a backslash is a character of a name.
    {"/opt/v1.2\\setup", "/opt/v1"},
    {"/opt/tools\\setup.run", "/opt/tools\\setup"},
    {"/opt/tools\\.run", "/opt/tools\\.d"}, // the engine would drop a trailing backslash
    {"/opt/a.b\\c", "/opt/a"},
    {"C:\\Tools\\setup.exe", "C:\\Tools\\setup"},
    {"setup.exe", "setup"},
    {"setup", "setup.d"},
    {"/" + std::string(300, 'd') + "/" + std::string(300, 'f') + ".run",
     "/" + std::string(300, 'd') + "/" + std::string(300, 'f')}, // no 255-byte cut anywhere
};

TEST(ExtractionRun, TargetFolderIsProgramPathWithoutExtension) {
    for (const FolderRow& row : folderRows)
        EXPECT_EQ(CExtractionRun::TargetFolder(row.modulePath), row.folder) << row.modulePath;
}

struct NameRow {
    std::string name;
    std::string shown;
};

const NameRow nameRows[] = {
    {"docs\\a.txt", "docs/a.txt"},
    {"\\lead\\sub\\", "/lead/sub/"},
    {"100%done.txt", "100%done.txt"},
    {"%s%n%d", "%s%n%d"},
    {"\x1b[31mred", "\\x1B[31mred"},
    {std::string("a\0b", 3), "a\\x00b"},
    {"tab\there\r\n", "tab\\x09here\\x0D\\x0A"},
    {"del\x7f", "del\\x7F"},
    {"\x1f \x20~", "\\x1F  ~"},
    {"p\xC5\x99\xC3\xADli\xC5\xA1 \x80\xff", "p\xC5\x99\xC3\xADli\xC5\xA1 \x80\xff"}, // high bytes as they are
};

TEST(ExtractionDialogue, PrintableNameEscapesControlBytesAndShowsTheSystemSeparator) {
    for (const NameRow& row : nameRows)
        EXPECT_EQ(CExtractionDialogue::PrintableName(row.name, '/'), row.shown) << row.name;
    EXPECT_EQ(CExtractionDialogue::PrintableName("docs\\\x01.txt", '\\'), "docs\\\\x01.txt");
}

// Busy: /t/a.txt written as /t/a.txt.part, and /t/d/e written in place; the target folder is /t.
struct BusyRow {
    const char* label;
    std::string path;
    bool meets;
};

const BusyRow busyRows[] = {
    {"the busy file", "/t/a.txt", true},
    {"its temporary name", "/t/a.txt.part", true},
    {"a file written in place", "/t/d/e", true},
    {"below a busy file", "/t/a.txt/b/c", true},
    {"below it, backslash", "/t/a.txt\\b", true},
    {"a longer name", "/t/a.txtx", false},
    {"a shorter name", "/t/a.tx", false},
    {"the folder above a busy file", "/t/d", false},
    {"a sibling", "/t/d/f", false},
    {"below the busy target folder", "/t/x", false},
};

TEST(BusyPaths, AnEntryMeetsABusyFileAtItsNamesOrBelowThem) {
    CZipExtraction renamed;
    renamed.path = "/t/a.txt";
    renamed.writtenPath = "/t/a.txt.part";
    CZipExtraction inPlace;
    inPlace.path = inPlace.writtenPath = "/t/d/e";
    CZipExtraction target; // the target folder and what is above it are never waited for
    target.path = target.writtenPath = "/t";
    for (CZipExtraction* job : {&renamed, &inPlace, &target})
        job->kept = true; // nothing was created, so nothing is removed
    CBusyPaths busy;
    busy.Add(renamed);
    busy.Add(inPlace);
    busy.Add(target);
    for (const BusyRow& row : busyRows)
        EXPECT_EQ(busy.Meets(row.path, 2), row.meets) << row.label;

    busy.Remove(renamed);
    EXPECT_FALSE(busy.Meets("/t/a.txt.part/x", 2)) << "the temporary name goes with the file";
    busy.Remove(inPlace);
    busy.Remove(target);
    EXPECT_TRUE(busy.Empty());
}

} // namespace
