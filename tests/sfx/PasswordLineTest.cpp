#include "platform/ZipOsConsole.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct PasswordLineRow {
    const char* label;
    std::string line; // as read, up to its line feed
    std::string password;
};

const std::string fortyNine(49, 'p');

const PasswordLineRow passwordLineRows[] = {
    {"Enter alone", "", ""},
    {"short line", "secret", "secret"},
    {"CR LF line ending", "secret\r", "secret"},
    {"CR alone is the line ending", "\r", ""},
    {"only a final CR goes", "a\rb\r", "a\rb"},
    {"spaces are kept", " pass word ", " pass word "},
    {"49 characters", fortyNine, fortyNine},
    {"49 characters and CR", fortyNine + "\r", fortyNine},
    {"50 characters", fortyNine + "x", fortyNine + "x"},
    {"1000 characters", std::string(1000, 'q'), std::string(1000, 'q')},
    {"a CR past 49 characters is the line ending", fortyNine + "x\r", fortyNine + "x"},
    {"bytes are not converted",
     "\xC5\xBE"
     "luty",
     "\xC5\xBE"
     "luty"},
    {"a multibyte character at 49", std::string(48, 'p') + "\xC5\xBE", std::string(48, 'p') + "\xC5\xBE"},
};

TEST(PasswordLine, TextFromTypedLine) {
    for (const PasswordLineRow& row : passwordLineRows)
        EXPECT_EQ(ZipOs::PasswordFromLine(row.line), row.password) << row.label;
}

// A line longer than 49 characters is tried whole, then as its first 49 bytes, as programs that cut
// passwords there took it (a multibyte character may be cut in two).
TEST(PasswordLine, CutsOfALongLine) {
    const struct {
        const char* label;
        std::string password;
        std::vector<std::string> cuts;
    } rows[] = {
        {"short", "secret", {"secret"}},
        {"49 characters", fortyNine, {fortyNine}},
        {"50 characters", fortyNine + "x", {fortyNine + "x", fortyNine}},
        {"1000 characters", std::string(1000, 'q'), {std::string(1000, 'q'), std::string(49, 'q')}},
        {"cut inside a multibyte character", std::string(48, 'p') + "\xC5\xBE", {std::string(48, 'p') + "\xC5\xBE", std::string(48, 'p') + "\xC5"}},
    };
    for (const auto& row : rows)
        EXPECT_EQ(ZipOs::PasswordCuts(row.password), row.cuts) << row.label;
}

} // namespace

// The end waits for Enter only where nobody else would keep the console open and someone can press it.
TEST(ConsolePause, OnlyAloneOnTheConsoleWithInputFromIt) {
    const struct {
        const char* label;
        unsigned long processes; // attached to the console, this program included
        bool inputIsConsole;
        bool pauses;
    } rows[] = {
        {"started from Explorer", 1, true, true},
        {"from a command prompt", 2, true, false},
        {"through cmd /c under a shell", 3, true, false},
        {"alone, input from a pipe or a file", 1, false, false},
        {"no console at all", 0, false, false},
        {"the count could not be had", 0, true, false},
    };
    for (const auto& row : rows)
        EXPECT_EQ(ZipOs::PausesAtEnd(row.processes, row.inputIsConsole), row.pauses) << row.label;
}
