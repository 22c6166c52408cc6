#include "platform/ZipOs.h"
#ifndef _WIN32
#include "platform/ZipOsPosixCodePage.h"
#endif

#include <gtest/gtest.h>

#include <cstdio>
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

// Windows' OEM code page of the locale's language, checked against Windows' locale data.
TEST(ZipOsNames, OemCodePageOfTheLocaleLanguage) {
    const struct {
        const char* locale;
        int codePage;
    } rows[] = {
        {"cs_CZ.UTF-8", 852}, {"sk_SK", 852},
        {"pl_PL.UTF-8", 852}, {"hu", 852},
        {"sr_RS@latin", 852}, {"sr@latin", 852},
        {"sr_RS.UTF-8", 855}, {"sr_RS", 855},
        {"ru_RU.UTF-8", 866}, {"uk_UA", 866},
        {"be_BY", 866},       {"bg_BG.UTF-8", 866},
        {"mk_MK", 866},       {"uz_UZ@cyrillic", 866},
        {"uz_UZ", 857},       {"tr_TR.UTF-8", 857},
        {"el_GR.UTF-8", 737}, {"he_IL", 862},
        {"lt_LT", 775},       {"lv_LV", 775},
        {"et_EE.UTF-8", 775}, {"ar_EG", 720},
        {"de_DE.UTF-8", 850}, {"fr_FR@euro", 850},
        {"nb_NO", 850},       {"is_IS", 850},
        {"ga_IE", 850},       {"CS_cz", 852},
        {"en_US.UTF-8", 437}, {"en_GB", 437},
        {"C", 437},           {"C.UTF-8", 437},
        {"POSIX", 437},       {"", 437},
        {"ja_JP.UTF-8", 437}, {"csb_PL", 437},
    };
    for (const auto& row : rows)
        EXPECT_EQ(ZipOs::OemCodePageOfLocale(row.locale), row.codePage) << row.locale;
}

// Every table against Python's codecs, which follow the published mappings; a byte without a
// character becomes U+FFFD there and here.
TEST(ZipOsNames, OemTablesAgreeWithPythonCodecs) {
    const int codePages[] = {437, 720, 737, 775, 850, 852, 855, 857, 862, 866};
    // One line a code page: no byte from 0x80 up stands for a line break in any of them.
    std::string command = "python3 -c \"import sys\nfor cp in sys.argv[1:]: sys.stdout.buffer.write(bytes(range("
                          "128, 256)).decode('cp' + cp, 'replace').encode() + b'\\n')\"";
    for (const int codePage : codePages)
        command += " " + std::to_string(codePage);
    std::FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string python;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        python.append(buffer, n);
    if (::pclose(pipe) != 0)
        GTEST_SKIP() << "python3 is not there";
    std::string high;
    for (int byte = 0x80; byte <= 0xFF; ++byte)
        high += static_cast<char>(byte);
    std::size_t lineStart = 0;
    for (const int codePage : codePages) {
        const std::size_t lineEnd = python.find('\n', lineStart);
        ASSERT_NE(lineEnd, std::string::npos) << "cp" << codePage;
        std::string ours = high;
        EXPECT_TRUE(ZipOs::OemToUtf8(ours, codePage));
        EXPECT_EQ(ours, python.substr(lineStart, lineEnd - lineStart)) << "cp" << codePage;
        lineStart = lineEnd + 1;
    }
    std::string unknown = "\x80";
    EXPECT_FALSE(ZipOs::OemToUtf8(unknown, 1250));
    EXPECT_EQ(unknown, "\x80");
}
#endif

} // namespace
