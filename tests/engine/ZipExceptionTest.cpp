#include "engine/ZipException.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace {

struct TextRow {
    int code;
    const char* text;
};

void PrintTo(const TextRow& row, std::ostream* os) { *os << "code " << row.code; }

class CodeTextTest : public ::testing::TestWithParam<TextRow> {};

TEST_P(CodeTextTest, OwnTextWithoutFallback) {
    const TextRow& row = GetParam();
    EXPECT_EQ(CZipException::CodeText(row.code, true), row.text) << "code " << row.code;
}

INSTANTIATE_TEST_SUITE_P(
    Codes, CodeTextTest,
    ::testing::Values(TextRow{1, "Not super-user"}, TextRow{2, "No such file or directory"},
                      TextRow{13, "Permission denied"}, TextRow{28, "No space left on device"},
                      TextRow{30, "Read-only file system"}, TextRow{101, "Damaged or not a zip file"},
                      TextRow{102, "Crc mismatched"}, TextRow{110, "Incorrect password set for the file being decrypted"},
                      TextRow{115, "Cannot create the file for the specified platform"},
                      TextRow{116, "The central directory was not found in the archive (or you were trying to "
                                   "open not the last disk of a multi-disk archive)"},
                      TextRow{117, "The authentication code of the encrypted data does not match"},
                      TextRow{118, "The compression method is not supported"},
                      TextRow{123, "The time or attributes could not be set"},
                      TextRow{500, "Zlib Library error (end of stream)"},
                      TextRow{503, "Zlib library error (stream error)"}, TextRow{504, "Zlib library error (data error)"},
                      TextRow{505, "Not enough memory"}, TextRow{506, "Zlib library error (buffer error)"},
                      TextRow{507, "Zlib library error (version error)"},
                      // Codes without a text of their own.
                      TextRow{3, "Unknown error"}, TextRow{100, "Unknown error"}, TextRow{501, "Unknown error"},
                      TextRow{0, "Unknown error"}, TextRow{-7, "Unknown error"}, TextRow{124, "Unknown error"}));

TEST(ZipException, FromZlibMapsEveryResult) {
    const int pairs[][2] = {{1, 500}, {2, 501}, {-1, 502}, {-2, 503}, {-3, 504},
                            {-4, 505}, {-5, 506}, {-6, 507}, {0, 100}, {-7, 100}};
    for (const auto& pair : pairs)
        EXPECT_EQ(CZipException::FromZlib(pair[0]), pair[1]) << "zlib " << pair[0];
}

TEST(ZipException, FallbackUsesErrno) {
    errno = 0;
    EXPECT_EQ(CZipException::CodeText(100, false), "Unknown error");
    errno = 13;
    EXPECT_EQ(CZipException::CodeText(502, true), "Permission denied");
    errno = 502; // the guards keep 502 from describing itself, with or without fallback
    EXPECT_EQ(CZipException::CodeText(502, true), "Unknown error");
    errno = 502;
    EXPECT_EQ(CZipException::CodeText(502, false), "Unknown error");
    errno = 2;
    EXPECT_EQ(CZipException::CodeText(113, true), "Error while removing a file (No such file or directory)");
    errno = 13;
    EXPECT_EQ(CZipException::CodeText(114, true), "Error while renaming a file (Permission denied)");
}

TEST(ZipException, CarriesCodeAndFile) {
    try {
        CZipException::Throw(CZipException::BadArchive, "a.zip");
        FAIL();
    } catch (const std::exception& base) {
        const auto* e = dynamic_cast<const CZipException*>(&base);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->code, 101);
        EXPECT_EQ(e->fileName, "a.zip");
    }
    EXPECT_EQ(CZipException(2).fileName, "");
}

TEST(ZipException, CopyDescription) {
    const CZipException e(CZipException::CrcMismatch);
    char buffer[8] = "xxxxxxx";
    EXPECT_FALSE(e.CopyDescription(nullptr, 8));
    EXPECT_FALSE(e.CopyDescription(buffer, 0));
    EXPECT_EQ(buffer[0], 'x');
    ASSERT_TRUE(e.CopyDescription(buffer, 1));
    EXPECT_EQ(buffer[0], '\0');
    ASSERT_TRUE(e.CopyDescription(buffer, sizeof buffer));
    EXPECT_STREQ(buffer, "Crc mis");
}

} // namespace
