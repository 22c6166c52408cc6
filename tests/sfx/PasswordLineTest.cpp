#include "platform/ZipOsConsole.h"

#include <gtest/gtest.h>

#include <string>

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
    {"50 characters", fortyNine + "x", fortyNine},
    {"60 characters", fortyNine + "0123456789x", fortyNine},
    {"a CR past the limit is text cut off", fortyNine + "x\r", fortyNine},
    {"bytes are not converted",
     "\xC5\xBE"
     "luty",
     "\xC5\xBE"
     "luty"},
    {"cut inside a multibyte character", std::string(48, 'p') + "\xC5\xBE", std::string(48, 'p') + "\xC5"},
};

TEST(PasswordLine, TextFromTypedLine) {
    for (const PasswordLineRow& row : passwordLineRows)
        EXPECT_EQ(ZipOs::PasswordFromLine(row.line), row.password) << row.label;
}

} // namespace
