#include "platform/ZipOs.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

#ifndef _WIN32
// A password typed on a UTF-8 terminal, in the forms Czech and US tools store it in: CP1250, CP852,
// CP437, each once and only where every character has a byte there.
TEST(ZipOsNames, PasswordFormsTable) {
    const struct {
        const char* typed;
        std::vector<std::string> forms;
    } rows[] = {
        {"plain ascii", {}},
        {"\xC5\xBE" "ena", {"\x9E" "ena", "\xA7" "ena"}},     // zena with z-caron: not in CP437
        {"caf\xC3\xA9", {"caf\xE9", "caf\x82"}},           // e-acute: CP852 and CP437 agree
        {"\xCE\xA9" "mega", {"\xEA" "mega"}},                     // Greek omega: CP437 only
        {"\xE2\x82\xAC", {"\x80"}},                         // the euro sign: CP1250 only
        {"bad \xC5", {}},                                     // cut UTF-8: taken only as typed
        {"over\xC0\xAF" "long", {}},                            // an overlong slash
    };
    for (const auto& row : rows)
        EXPECT_EQ(ZipOs::PasswordForms(row.typed), row.forms) << row.typed;
}
#endif

} // namespace
