#include "platform/ZipOs.h"

#include <gtest/gtest.h>

namespace {

int Sign(int value) { return (value > 0) - (value < 0); }

TEST(ZipOsNames, ComparersTable) {
    const struct {
        bool caseSensitive;
        bool useCollation;
        const char* name;
        const char* text;
        int sign;
    } rows[] = {
        {false, false, "Docs\\README.TXT", "docs\\readme.txt", 0},
        {true, false, "Docs\\README.TXT", "docs\\readme.txt", -1},
        {false, true, "Docs\\README.TXT", "docs\\readme.txt", 0},
        {true, true, "ABC", "abc", -1},
        {true, false, "abc", "abd", -1},
        {true, false, "ab", "abc", -1}, // the shorter first
        {true, false, "abc", "ab", 1},
        {false, false, "", "", 0},
        {true, false, "\xe9", "z", 1}, // unsigned bytes
        {false, false, "\xe9", "z", 1},
        {false, false, "\xc9", "\xe9", -1}, // only A to Z change case
        {true, false, "[", "A", 1},         // '[' lies between the upper and the lower case letters
        {false, false, "[", "A", -1},
        {false, true, "[", "A", -1},
        {true, true, "b", "a", 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.name) + " | " + row.text + " case " + std::to_string(row.caseSensitive) +
                     " collation " + std::to_string(row.useCollation));
        const ZipOs::NameComparer compare = ZipOs::GetNameComparer(row.caseSensitive, row.useCollation);
        EXPECT_EQ(Sign(compare(row.name, row.text)), row.sign);
    }
    EXPECT_FALSE(ZipOs::IsFileSystemCaseSensitive());
}

} // namespace
