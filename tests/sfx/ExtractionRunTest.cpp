// The stub's sources are not part of a library; the run is compiled into this test program directly.
#include "sfx/ExtractionRun.cpp"
#include "sfx/ExtractionRunWorkers.cpp"
#include "sfx/ExtractionWorkers.cpp"

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
    {"/opt/v1.2\\setup", "/opt/v1.2\\setup.d"}, // both separators end a component
    {"/opt/tools\\setup.run", "/opt/tools\\setup"},
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

TEST(ExtractionRun, PrintableNameEscapesControlBytesAndShowsTheSystemSeparator) {
    for (const NameRow& row : nameRows)
        EXPECT_EQ(CExtractionRun::PrintableName(row.name, '/'), row.shown) << row.name;
    EXPECT_EQ(CExtractionRun::PrintableName("docs\\\x01.txt", '\\'), "docs\\\\x01.txt");
}

} // namespace
