#include "support/ZipTestWriter.h"

#include "engine/ZipEntryHeader.h"
#include "engine/ZipExtraField.h"
#include "engine/ZipException.h"
#include "engine/ZipRecords.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace {

CZipEntryHeader MakeHeader(int system, std::uint32_t externalAttr, const std::string& name, std::uint16_t flags = 0) {
    CZipEntryHeader header;
    header.versionMadeBy = static_cast<std::uint16_t>(system << 8 | 20);
    header.externalAttr = externalAttr;
    header.flags = flags;
    header.fileName.Allocate(static_cast<std::uint32_t>(name.size()));
    if (!name.empty())
        name.copy(header.fileName.GetBuffer(), name.size());
    return header;
}

TEST(ZipRecords, LittleEndianReaderTakesUnsignedBytes) {
    const unsigned char bytes[] = {0xFE, 0xFF, 0x80, 0x81};
    EXPECT_EQ(ZipRecords::ReadLe16(bytes), 0xFFFEu);
    EXPECT_EQ(ZipRecords::ReadLe32(bytes), 0x8180FFFEu);
    const unsigned char wide[] = {0xFE, 0xFF, 0x80, 0x81, 0x01, 0x00, 0x00, 0xF0};
    EXPECT_EQ(ZipRecords::ReadLe64(wide), 0xF00000018180FFFEull);
}

TEST(ZipExtraField, FindsBlocksAndStopsAtDamage) {
    using ZipExtraField::Find;
    // tag 0x000A (2 bytes), tag 0x5455 (1 byte), then a block claiming 9 bytes where 2 remain.
    const unsigned char field[] = {0x0A, 0x00, 0x02, 0x00, 0xAA, 0xBB, 0x55, 0x54, 0x01, 0x00,
                                   0x07, 0x01, 0x00, 0x09, 0x00, 0x01, 0x02};
    struct Row {
        std::size_t size;
        std::uint16_t tag;
        bool found;
        std::size_t offset;
        std::uint16_t length;
    };
    const Row rows[] = {
        {sizeof field, 0x000A, true, 4, 2},
        {sizeof field, 0x5455, true, 10, 1},
        {sizeof field, 0x0001, false, 0, 0}, // its size runs past the end
        {sizeof field, 0x7875, false, 0, 0},
        {9, 0x5455, false, 0, 0}, // cut inside the second block
        {3, 0x000A, false, 0, 0},
        {0, 0x000A, false, 0, 0},
    };
    for (const Row& row : rows) {
        const ZipExtraField::Block block = Find(field, row.size, row.tag);
        EXPECT_EQ(block.found, row.found) << "tag " << row.tag << " in " << row.size << " bytes";
        if (row.found) {
            EXPECT_EQ(block.data, field + row.offset);
            EXPECT_EQ(block.size, row.length);
        }
    }
    // Whole blocks of the tags asked for are copied; the damaged one never is.
    const struct {
        std::vector<std::uint16_t> tags;
        std::string kept;
    } keeps[] = {
        {{0x5455}, std::string(reinterpret_cast<const char*>(field) + 6, 5)},
        {{0x0001, 0x000A}, std::string(reinterpret_cast<const char*>(field), 6)},
        {{0x7875}, ""},
    };
    for (const auto& keep : keeps) {
        std::vector<char> out = {'x'};
        const std::size_t appended =
            ZipExtraField::AppendBlocks(out, field, sizeof field, keep.tags.data(), keep.tags.size());
        EXPECT_EQ(std::string(out.begin() + 1, out.end()), keep.kept);
        EXPECT_EQ(appended, keep.kept.size());
    }
}

struct AttributeCase {
    int system;
    std::uint32_t externalAttr;
    const char* name;
    std::uint32_t expected;
    int folder = -1; // IsDirectory: 1 or 0, -1 as the folder bit of `expected`
};

TEST(ZipEntryHeader, LocalAttributesPerHostSystem) {
    const AttributeCase cases[] = {
        {3, 0x81A40000, "file", 0x20},                             // 0644 regular file
        {3, 0x41ED0000, "dir\\", 0x10},                            // 0755 directory
        {3, 0x81ED0000, "script", 0x00},                           // 0755: owner may execute
        {3, 0x81240000, "ro", 0x21},                               // 0444: read-only
        {3, 0x80000000, "none", 0x23},                             // no owner bits at all
        {3, 0x00000000, "dir\\", CZipEntryHeader::DefaultDirAttr}, // no word: the name decides
        {0, 0x00000000, "dir/", CZipEntryHeader::DefaultDirAttr},  // before name conversion too
        {0, 0x00000020, "dir\\", 0x20, 1},                         // a word wins, but the name makes a folder
        {3, 0x81800000, "empty\\", 0x20, 1},                       // zipfile's ZipInfo("empty/"): 0600
        {3, 0x81800000, "empty", 0x20, 0},
        {0, 0x00000000, "", 0x00},                                 // an empty name is no directory
        {10, 0xABCD0021, "ntfs", 0xABCD0021},                      // all 32 bits pass unchanged
        {6, 0x00000010, "hpfs", 0x10},
        {7, 0x000000FF, "mac", 0x11},                                 // only directory and read-only
        {2, 0x00000010, "unknown", CZipEntryHeader::DefaultFileAttr}, // unknown systems: the name
        {5, 0x00000000, "unknown\\", CZipEntryHeader::DefaultDirAttr},
        {19, 0x00000021, "unknown", CZipEntryHeader::DefaultFileAttr},
    };
    for (const AttributeCase& c : cases) {
        const CZipEntryHeader header = MakeHeader(c.system, c.externalAttr, c.name);
        EXPECT_EQ(header.GetLocalAttributes(), c.expected)
            << "system " << c.system << " attr " << std::hex << c.externalAttr << " name " << c.name;
        const bool folder = c.folder == -1 ? (c.expected & 0x10) != 0 : c.folder == 1;
        EXPECT_EQ(header.IsDirectory(), folder) << "system " << c.system << " name " << c.name;
    }
}

TEST(ZipEntryHeader, ConvertAttributesRefusesSystemsWithoutConverter) {
    EXPECT_EQ(CZipEntryHeader::ConvertAttributes(0x1234, 2, 2), 0x1234u);  // same system
    EXPECT_EQ(CZipEntryHeader::ConvertAttributes(0x1234, 11, 0), 0x1234u); // beyond the known codes
    EXPECT_EQ(CZipEntryHeader::ConvertAttributes(0x1234, 0, 30), 0x1234u);
    for (int system : {1, 2, 4, 5, 8, 9}) {
        try {
            CZipEntryHeader::ConvertAttributes(0, system, 0);
            ADD_FAILURE() << "system " << system;
        } catch (const CZipException& e) {
            EXPECT_EQ(e.code, CZipException::UnsupportedPlatform);
            EXPECT_EQ(e.fileName, "");
        }
    }
}

TEST(ZipEntryHeader, UnixPermissionsOnlyFromUnixModes) {
    EXPECT_EQ(MakeHeader(3, 0x81ED0000, "x").GetUnixPermissions(), 0755);
    EXPECT_EQ(MakeHeader(3, 0x41C00000, "d/").GetUnixPermissions(), 0700);
    EXPECT_EQ(MakeHeader(3, 0x00000020, "x").GetUnixPermissions(), -1); // DOS bits only
    EXPECT_EQ(MakeHeader(0, 0x81ED0000, "x").GetUnixPermissions(), -1);
}

struct NameCase {
    const char* label;
    int system;
    std::uint16_t flags;
    bool oem;
    std::string stored;
    std::string expected;
    std::string extra = {}; // the central extra field
};

using ziptest::UnicodePathBlock;

TEST(ZipEntryHeader, NameConversion) {
    const NameCase cases[] = {
        {"slashes", 0, 0, true, "a/b/c.txt", "a\\b\\c.txt"},
        {"CP437 to UTF-8", 0, 0, true, "\x80\x81/\xE1", "\xC3\x87\xC3\xBC\\\xC3\x9F"},
        {"box drawing, three bytes", 0, 0, true, "\xB0\xFF", "\xE2\x96\x91\xC2\xA0"},
        {"UNIX names keep bytes", 3, 0, true, "\x80/x", "\x80\\x"},
        {"NTFS names are OEM too", 10, 0, true, "\x80", "\xC3\x87"},
        {"so are OS/2 and VFAT names", 6, 0, true, "\x81", "\xC3\xBC"},
        {"VFAT", 14, 0, true, "\x81", "\xC3\xBC"},
        {"Unicode Path block", 0, 0, true, "\x80/x", "\xC5\xBE\\y", UnicodePathBlock("\x80/x", "\xC5\xBE/y")},
        {"over a UTF-8 name", 3, 0x0800, true, "a", "\xC5\xBE", UnicodePathBlock("a", "\xC5\xBE")},
        {"its CRC is another name's", 0, 0, true, "\x80/x", "\xC3\x87\\x",
         UnicodePathBlock("\x80/x", "\xC5\xBE/y", 1, 1)},
        {"version 2", 0, 0, true, "\x80", "\xC3\x87", UnicodePathBlock("\x80", "\xC5\xBE", 2)},
        {"not UTF-8", 0, 0, true, "\x80", "\xC3\x87", UnicodePathBlock("\x80", "\xC0\xAF")},
        {"a surrogate", 0, 0, true, "\x80", "\xC3\x87", UnicodePathBlock("\x80", "\xED\xA0\x80")},
        {"a zero byte", 0, 0, true, "\x80", "\xC3\x87", UnicodePathBlock("\x80", std::string("a\0b", 3))},
        {"empty", 0, 0, true, "\x80", "\xC3\x87", UnicodePathBlock("\x80", "")},
        {"the first block that holds", 3, 0, true, "a", "c",
         UnicodePathBlock("a", "b", 2) + UnicodePathBlock("a", "x", 1, 1) + UnicodePathBlock("a", "c") +
             UnicodePathBlock("a", "d")},
        {"a block cut short", 3, 0, true, "a", "a", UnicodePathBlock("a", "b").substr(0, 8)},
        {"bit 11: already UTF-8", 0, 0x0800, true, "\xC3\x87/x", "\xC3\x87\\x"},
        {"conversion off", 0, 0, false, "\x80", "\x80"},
        {"zero byte kept", 0, 0, true, std::string("a\0/\x80", 4), std::string("a\0\\\xC3\x87", 5)},
        {"empty", 0, 0, true, "", ""},
    };
    for (const NameCase& c : cases) {
        CZipEntryHeader header = MakeHeader(c.system, 0, c.stored, c.flags);
        header.extraField.Allocate(static_cast<std::uint32_t>(c.extra.size()));
        c.extra.copy(header.extraField.GetBuffer(), c.extra.size());
        header.ConvertFileName(c.oem);
        EXPECT_EQ(header.GetFileName(), c.expected) << c.label;
    }
}

TEST(ZipEntryHeader, EveryCp437ByteBecomesOneUtf8Character) {
    std::string stored;
    for (int b = 0x80; b <= 0xFF; ++b)
        stored += static_cast<char>(b);
    CZipEntryHeader header = MakeHeader(0, 0, stored);
    header.ConvertFileName(true);
    const std::string name = header.GetFileName();
    int characters = 0;
    for (const char c : name)
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80)
            ++characters;
    EXPECT_EQ(characters, 128);
    EXPECT_EQ(name.substr(name.size() - 2), "\xC2\xA0"); // 0xFF is the no-break space
}

#ifdef _WIN32
// The Windows C runtime sets the environment through its own call.
int setenv(const char* name, const char* value, int) { return _putenv_s(name, value); }
int unsetenv(const char* name) { return _putenv_s(name, ""); }
#endif

class UtcTime : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        hadTz = tz != nullptr;
        if (hadTz)
            savedTz = tz;
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override {
        if (hadTz)
            setenv("TZ", savedTz.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    bool hadTz = false;
    std::string savedTz;
};

TEST_F(UtcTime, DosTimesConvertBeyond2038) {
    struct {
        std::uint16_t date, time;
        std::int64_t expected;
    } cases[] = {
        {0x0021, 0x0000, 315532800},  // 1980-01-01 00:00:00
        {0x7821, 0x0000, 2208988800}, // 2040-01-01: past the 32-bit limit
        {0xFF9F, 0xBF7D, 4354819198}, // 2107-12-31 23:59:58, the last DOS moment
        {0x0000, 0x0000, 312768000},  // day 0 of month 0 normalised: 1979-11-30
        {0x3A8F, 0x6B3E, 1239801960}, // 2009-04-15 13:25:60: the seconds roll over
    };
    for (const auto& c : cases) {
        CZipEntryHeader header;
        header.modDate = c.date;
        header.modTime = c.time;
        EXPECT_EQ(header.GetTime(), c.expected) << std::hex << c.date << " " << c.time;
    }
}

// Extra-field blocks as writers lay them out.
std::string Le(std::uint64_t value, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i)
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
    return out;
}
std::string Block(std::uint16_t tag, const std::string& data) { return Le(tag, 2) + Le(data.size(), 2) + data; }
std::string Ut(std::int64_t seconds, int flags = 1) {
    return Block(0x5455, Le(static_cast<std::uint64_t>(flags), 1) + Le(static_cast<std::uint64_t>(seconds), 4));
}
std::string Ux(std::int64_t seconds) { return Block(0x5855, Le(7, 4) + Le(static_cast<std::uint64_t>(seconds), 4)); }
std::string Ntfs(std::uint64_t ticks) {
    return Block(0x000A, Le(0, 4) + Le(0x0001, 2) + Le(24, 2) + Le(ticks, 8) + Le(1, 8) + Le(2, 8));
}
constexpr std::uint64_t ntfsTicksAt1970 = 116444736000000000ull;

void SetBuffer(CZipBuffer& buffer, const std::string& bytes) {
    buffer.Allocate(static_cast<std::uint32_t>(bytes.size()));
    if (!bytes.empty())
        bytes.copy(buffer.GetBuffer(), bytes.size());
}

TEST_F(UtcTime, ModificationTimeFromExtraFields) {
    const std::int64_t dos = 1623760496; // 2021-06-15 12:34:56, the DOS fields below in UTC
    struct Row {
        const char* label;
        std::string central, local;
        std::int64_t seconds;
        std::uint32_t nanoseconds;
    } rows[] = {
        {"none", "", "", dos, 0},
        {"UT central", Ut(1000000000), "", 1000000000, 0},
        {"UT before 1970", Ut(-86400), "", -86400, 0},
        {"UT local before central", Ut(1), Ut(2), 2, 0},
        {"local without time blocks: central", Ut(3), Block(0x7875, "\x01"), 3, 0},
        {"UX", Ux(1200000000), "", 1200000000, 0},
        {"NTFS to 100 ns", Ntfs(ntfsTicksAt1970 + 12345678901ull), "", 1234, 567890100},
        {"NTFS before 1970", Ntfs(ntfsTicksAt1970 - 5), "", -1, 999999500},
        {"UT beats UX and NTFS", Ux(5) + Ntfs(ntfsTicksAt1970 + 60000000) + Ut(7), "", 7, 0},
        {"UX beats NTFS", Ntfs(ntfsTicksAt1970 + 60000000) + Ux(5), "", 5, 0},
        // Damaged or empty blocks are passed over, down to the DOS time.
        {"UT without its time bit", Ut(9, 0x06), "", dos, 0},
        {"UT cut short", Block(0x5455, "\x01\x02"), "", dos, 0},
        {"UT cut short, UX whole", Block(0x5455, "\x01") + Ux(11), "", 11, 0},
        {"UX cut short", Block(0x5855, "1234567"), "", dos, 0},
        {"NTFS time zero", Ntfs(0), "", dos, 0},
        {"NTFS attribute overruns", Block(0x000A, Le(0, 4) + Le(1, 2) + Le(40, 2) + std::string(24, '\x01')), "", dos,
         0},
        {"NTFS without times attribute", Block(0x000A, Le(0, 4) + Le(2, 2) + Le(0, 2)), "", dos, 0},
        {"block past the field's end", Le(0x5455, 2) + Le(9, 2) + "\x01\x02", "", dos, 0},
        {"damage after a whole UT", Ut(13) + Le(0x5855, 2) + Le(99, 2), "", 13, 0},
    };
    for (const Row& row : rows) {
        CZipEntryHeader header;
        header.modDate = 0x52CF; // 2021-06-15
        header.modTime = 0x645C; // 12:34:56
        SetBuffer(header.extraField, row.central);
        CZipBuffer local;
        SetBuffer(local, row.local);
        const CZipEntryHeader::Time time = header.GetModTime(&local);
        EXPECT_EQ(time.seconds, row.seconds) << row.label;
        EXPECT_EQ(time.nanoseconds, row.nanoseconds) << row.label;
    }
}

TEST(ZipEntryHeader, SymbolicLinksOnlyFromUnixLinkModes) {
    EXPECT_TRUE(MakeHeader(3, 0120777u << 16, "l").IsSymbolicLink());
    EXPECT_FALSE(MakeHeader(3, 0100777u << 16, "f").IsSymbolicLink());
    EXPECT_FALSE(MakeHeader(3, 0140777u << 16, "socket").IsSymbolicLink());
    EXPECT_FALSE(MakeHeader(0, 0120777u << 16, "dos").IsSymbolicLink());
    EXPECT_FALSE(MakeHeader(3, 0120777u, "low half").IsSymbolicLink());
}

} // namespace
