#include "platform/ZipWindowsNames.h"

#include <gtest/gtest.h>

namespace {

TEST(ZipWindowsNames, StorableNameTable) {
    const struct {
        const char* name;
        const char* stored;
    } rows[] = {
        {"docs\\readme.txt", "docs\\readme.txt"},
        {"a:b", "a_b"}, // never an alternate data stream
        {"x\\<>:\"|?*.txt", "x\\_______.txt"},
        {"tab\there\x01.txt", "tab_here_.txt"},
        {"CON", "_CON"},
        {"con.txt", "_con.txt"},
        {"dir\\Nul.tar.gz", "dir\\_Nul.tar.gz"},
        {"aux\\file", "_aux\\file"},
        {"COM1", "_COM1"},
        {"lpt9.log", "_lpt9.log"},
        {"CONIN$", "_CONIN$"},
        {"conout$.txt", "_conout$.txt"},
        {"NUL .txt", "_NUL .txt"},       // spaces before the dot still open the device
        {"COM0", "COM0"},                // not a device
        {"COM\xc2\xb9", "_COM\xc2\xb9"}, // superscript digits name devices too
        {"lpt\xc2\xb3.txt", "_lpt\xc2\xb3.txt"},
        {"COM\xc2\xb4", "COM\xc2\xb4"},
        {"COM10", "COM10"},
        {"CONSOLE", "CONSOLE"},
        {"xcon", "xcon"},
        {"name.", "name_"},
        {"name. .", "name___"},
        {"dir \\f", "dir_\\f"},
        {"a.\\b", "a_\\b"},
        {"CON.", "_CON_"},
        {"..\\x", "..\\x"}, // climbing stays visible to the path checks
        {"a\\.\\b", "a\\.\\b"},
        {"...", "___"},
        {"a/b:c", "a/b_c"}, // either separator
        {"a\\\\b", "a\\\\b"},
        {"", ""},
        {"\xc5\xbelu\xc5\xa5ou\xc4\x8dk\xc3\xbd.txt", "\xc5\xbelu\xc5\xa5ou\xc4\x8dk\xc3\xbd.txt"}, // UTF-8 untouched
    };
    for (const auto& row : rows)
        EXPECT_EQ(ZipWindowsNames::StorableName(row.name), row.stored) << row.name;
}

TEST(ZipWindowsNames, FileAttributesTable) {
    const struct {
        std::uint32_t dos;
        bool directory;
        std::uint32_t windows;
    } rows[] = {
        {0x00, false, 0x80}, // nothing: FILE_ATTRIBUTE_NORMAL
        {0x01, false, 0x01},
        {0x02, false, 0x02},
        {0x04, false, 0x04},
        {0x20, false, 0x20},
        {0x27, false, 0x27},
        {0x08 | 0x40 | 0x100, false, 0x80}, // volume label, device and others are not the entry's to set
        {0x10, true, 0x80},
        {0x11, true, 0x80}, // a folder is never read-only
        {0x32, true, 0x22},
    };
    for (const auto& row : rows)
        EXPECT_EQ(ZipWindowsNames::FileAttributes(row.dos, row.directory), row.windows) << row.dos;
}

} // namespace
