#include "RecordBytes.h"
#include "support/MemoryStream.h"

#include "engine/ZipArchive.h"
#include "engine/ZipArchiveStorage.h"
#include "engine/ZipCentralDir.h"
#include "engine/ZipException.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace {

using records::Fields;
using records::Stored;
using ziptest::StreamKind;

Stored Entry(const std::string& name, const std::string& data) {
    Stored s;
    s.fields.name = name;
    s.data = data;
    return s;
}

const std::string oneEntry = records::Archive({Entry("a.txt", "hello")});

// The central directory over each kind of stream: memory, short pieces, disk file.
class CentralDirTest : public ::testing::TestWithParam<StreamKind> {
  protected:
    // Reads the directory; 0 on success, else the exception's code.
    int Load(const std::string& bytes, std::uint32_t searchBufferSize = CZipCentralDir::defaultSearchBufferSize) {
        dir.Close(true);
        storage.Close(true);
        stream = ziptest::MakeStream(GetParam(), bytes);
        dir.storage = &storage;
        dir.searchBufferSize = searchBufferSize;
        storage.OpenStream(*stream, CZipArchive::ModeReadOnly);
        dir.Clear();
        try {
            dir.Read();
            return 0;
        } catch (const CZipException& e) {
            lastError = e;
            return e.code;
        }
    }
    std::string Name(int index) const { return dir.GetHeader(index)->GetFileName(); }
    // Opens an entry, steps over its data and closes it, checking any descriptor.
    int OpenAndClose(std::uint16_t index, bool skipDescriptor = false) {
        try {
            dir.OpenEntry(index);
            std::vector<char> data(dir.currentHeader->compressedSize + 1);
            storage.Read(data.data(), dir.currentHeader->compressedSize, false);
            dir.CloseEntry(skipDescriptor);
            return 0;
        } catch (const CZipException& e) {
            lastError = e;
            return e.code;
        }
    }

    std::unique_ptr<CZipStream> stream;
    CZipArchiveStorage storage;
    CZipCentralDir dir;
    CZipException lastError{0};
};

INSTANTIATE_TEST_SUITE_P(Streams, CentralDirTest,
                         ::testing::Values(StreamKind::Memory, StreamKind::ShortPieces, StreamKind::DiskFile),
                         [](const auto& info) { return std::string(ziptest::StreamKindName(info.param)); });

struct SearchCase {
    const char* label;
    std::string bytes;
    int code;  // 0: opens
    int count; // entries when it opens
};

TEST_P(CentralDirTest, EndRecordSearch) {
    const std::string fakeEnd = records::End(0, 0, 0);
    const SearchCase cases[] = {
        {"empty file", "", CZipException::CentralDirNotFound, 0},
        {"one byte", "P", CZipException::CentralDirNotFound, 0},
        {"three bytes", std::string("PK\5", 3), CZipException::CentralDirNotFound, 0},
        {"signature alone", std::string("PK\5\6", 4), CZipException::BadArchive, 0},
        {"signature 21 bytes from the end", std::string("PK\5\6", 4) + std::string(17, '\0'), CZipException::BadArchive,
         0},
        {"end record alone", fakeEnd, 0, 0},
        {"one entry", oneEntry, 0, 1},
        {"record just inside the window", oneEntry + std::string(65535, 'x'), 0, 1},
        {"record one byte outside the window", oneEntry + std::string(65536, 'x'), CZipException::CentralDirNotFound,
         0},
        {"longest comment", records::Archive({Entry("a.txt", "hello")}, "", {}, false, std::string(65535, 'c')), 0, 1},
        // The occurrence nearest the end wins, even inside the comment.
        {"comment holds an end record", records::Archive({Entry("a.txt", "hello")}, "", {}, false, "x" + fakeEnd), 0,
         0},
        {"comment ends in a bare signature",
         records::Archive({Entry("a.txt", "hello")}, "", {}, false, std::string("xxPK\5\6", 6)),
         CZipException::BadArchive, 0},
    };
    for (std::uint32_t searchBufferSize : {32768u, 1024u}) {
        for (const SearchCase& c : cases) {
            EXPECT_EQ(Load(c.bytes, searchBufferSize), c.code) << c.label << ", buffer " << searchBufferSize;
            if (c.code == 0) {
                EXPECT_EQ(dir.GetCount(), c.count) << c.label << ", buffer " << searchBufferSize;
            } else {
                EXPECT_EQ(lastError.fileName, stream->GetFilePath()) << c.label;
            }
        }
    }
}

TEST_P(CentralDirTest, SignatureFoundWhereverChunksMeet) {
    // With a comment of n bytes the signature starts n + 22 bytes before the end;
    // these lengths put it across the first chunk boundary of each buffer size.
    for (std::uint32_t searchBufferSize : {32768u, 1024u}) {
        for (int delta = -6; delta <= 2; ++delta) {
            const auto commentLength = static_cast<std::size_t>(static_cast<int>(searchBufferSize) - 22 + delta);
            const std::string bytes =
                records::Archive({Entry("a.txt", "hello")}, "", {}, false, std::string(commentLength, 'c'));
            ASSERT_EQ(Load(bytes, searchBufferSize), 0) << "comment " << commentLength;
            EXPECT_EQ(dir.GetCount(), 1);
            EXPECT_EQ(dir.globalComment.GetSize(), commentLength);
        }
    }
}

TEST_P(CentralDirTest, StubInFront) {
    for (std::size_t stubSize : {1u, 100u, 40000u}) {
        const std::string stub(stubSize, 'S');
        const std::vector<Stored> entries = {Entry("a.txt", "hello"), Entry("b.txt", "world!")};
        ASSERT_EQ(Load(records::Archive(entries, stub)), 0) << stubSize;
        EXPECT_EQ(dir.info.bytesBeforeArchive, stubSize);
        EXPECT_EQ(OpenAndClose(1), 0) << stubSize;

        ASSERT_EQ(Load(records::Archive(entries, stub, {}, true)), 0) << stubSize << ", file-relative";
        EXPECT_EQ(dir.info.bytesBeforeArchive, 0u);
        EXPECT_EQ(OpenAndClose(1), 0) << stubSize << ", file-relative";
    }
}

TEST_P(CentralDirTest, IndicesFollowLocalHeaderOrder) {
    const std::string bytes = records::Archive({Entry("a", "1"), Entry("b", "22"), Entry("c/d", "333")}, "", {2, 0, 1});
    ASSERT_EQ(Load(bytes), 0);
    ASSERT_EQ(dir.GetCount(), 3);
    EXPECT_EQ(Name(0), "a");
    EXPECT_EQ(Name(1), "b");
    EXPECT_EQ(Name(2), "c\\d"); // converted while reading
    for (std::uint16_t i = 0; i < 3; ++i)
        EXPECT_EQ(OpenAndClose(i), 0) << i;
}

TEST_P(CentralDirTest, TwoEntriesOnOneLocalHeaderFailWithoutPath) {
    ASSERT_EQ(Load(records::Archive({Entry("a", "1"), Entry("b", "2")}, "", {0, 1, 0})), CZipException::BadArchive);
    EXPECT_EQ(lastError.fileName, "");
}

TEST_P(CentralDirTest, DirectoryDamage) {
    const std::string local = records::Local([] {
                                  Fields f;
                                  f.compressedSize = f.uncompressedSize = 5;
                                  f.crc = 0x3610A686; // crc32("hello")
                                  return f;
                              }()) +
                              "hello";
    Fields central;
    central.compressedSize = central.uncompressedSize = 5;
    central.crc = 0x3610A686;
    const std::string cd = records::Central(central);
    const auto cdSize = static_cast<std::uint32_t>(cd.size());
    const auto cdOffset = static_cast<std::uint32_t>(local.size());
    std::string badSignature = cd;
    badSignature[3] = 9;
    Fields longName = central;
    longName.name = "n";
    std::string cutName = records::Central(longName);
    cutName[28] = char(0xFF); // name length 0x00FF, running past the end of the file
    // Two entries whose end record counts only one.
    std::string countLow = records::Archive({Entry("a", "1"), Entry("b", "2")});
    const std::string twoEnd = countLow.substr(countLow.size() - 22);
    countLow.replace(countLow.size() - 22, 22,
                     twoEnd.substr(0, 8) + records::Le16(1) + records::Le16(1) + twoEnd.substr(12));
    const struct {
        const char* label;
        std::string bytes;
        int code;
    } cases[] = {
        {"intact", local + cd + records::End(1, cdSize, cdOffset), 0},
        {"count below the headers stored", countLow, CZipException::BadArchive},
        {"size beyond the headers stored", local + cd + "JUNK" + records::End(1, cdSize + 4, cdOffset),
         CZipException::BadArchive},
        {"count 0 with a size", local + cd + records::End(0, cdSize, cdOffset), CZipException::BadArchive},
        {"size 0 with a count", local + records::End(1, 0, cdOffset), CZipException::BadArchive},
        {"more entries than headers", local + cd + records::End(2, cdSize, cdOffset), CZipException::BadArchive},
        {"directory beyond the end record", local + cd + records::End(1, cdSize + 1, cdOffset),
         CZipException::BadArchive},
        {"offset and size wrap around 32 bits", local + cd + records::End(1, 0x20, 0xFFFFFFF0),
         CZipException::BadArchive},
        {"central header signature", local + badSignature + records::End(1, cdSize, cdOffset),
         CZipException::BadArchive},
        {"name runs past the end", local + cutName.substr(0, 46) + records::End(1, 46, cdOffset),
         CZipException::BadArchive},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Load(c.bytes), c.code) << c.label;
}

// One entry whose central and local headers may differ.
std::string Pair(const Fields& central, const Fields& local, const std::string& data) {
    const std::string head = records::Local(local) + data;
    const std::string cd = records::Central(central);
    return head + cd + records::End(1, static_cast<std::uint32_t>(cd.size()), static_cast<std::uint32_t>(head.size()));
}

TEST_P(CentralDirTest, LocalHeaderAgainstCentralHeader) {
    Fields central;
    central.name = "dir/file";
    central.compressedSize = central.uncompressedSize = 5;
    central.crc = 0x3610A686;
    const struct {
        const char* label;
        void (*change)(Fields& central, Fields& local);
        int code;
        std::uint16_t flagsAfter;
        bool breakLocalSignature = false;
    } cases[] = {
        {"identical", [](Fields&, Fields&) {}, 0, 0},
        {"time, date and name bytes differ",
         [](Fields&, Fields& l) {
             l.modTime = 0x1234;
             l.modDate = 0x4321;
             l.name = "DIR/FILE";
         },
         0, 0},
        {"method differs", [](Fields&, Fields& l) { l.method = 8; }, CZipException::BadArchive, 0},
        {"method 12 on both", [](Fields& c, Fields& l) { c.method = l.method = 12; }, CZipException::BadArchive, 0},
        {"name length differs", [](Fields&, Fields& l) { l.name = "dir/file2"; }, CZipException::BadArchive, 0},
        {"crc differs", [](Fields&, Fields& l) { l.crc ^= 1; }, CZipException::BadArchive, 0},
        {"compressed size differs", [](Fields&, Fields& l) { l.compressedSize = 6; }, CZipException::BadArchive, 0},
        {"uncompressed size differs", [](Fields&, Fields& l) { l.uncompressedSize = 4; }, CZipException::BadArchive, 0},
        // Bit 3 set locally: the local values are not compared and its flags win,
        // so a descriptor is then expected (and missing here).
        {"local bit 3 replaces the flags",
         [](Fields&, Fields& l) {
             l.flags = 0x0008;
             l.crc = l.compressedSize = l.uncompressedSize = 0;
         },
         CZipException::BadArchive, 0x0008},
        {"flags differing above bit 3 are kept", [](Fields&, Fields& l) { l.flags = 0x0800; }, 0, 0},
        {"local signature", [](Fields&, Fields&) {}, CZipException::BadArchive, 0, true},
    };
    for (const auto& c : cases) {
        Fields cf = central;
        Fields lf = central;
        c.change(cf, lf);
        std::string bytes = Pair(cf, lf, "hello");
        if (c.breakLocalSignature)
            bytes[2] = 9;
        ASSERT_EQ(Load(bytes), 0) << c.label;
        EXPECT_EQ(OpenAndClose(0), c.code) << c.label;
        EXPECT_EQ(dir.GetHeader(0)->flags, c.flagsAfter) << c.label;
    }
}

TEST_P(CentralDirTest, EmptyNameAndLocalExtraField) {
    Fields f;
    f.name = "";
    f.extra = "LOCALX";
    Fields c = f;
    c.extra = "";
    ASSERT_EQ(Load(Pair(c, f, "")), 0);
    dir.OpenEntry(0);
    EXPECT_EQ(std::string(dir.localExtraField.View()), "LOCALX");
    EXPECT_EQ(dir.GetHeader(0)->GetFileName(), "");
    dir.CloseEntry(false);
    EXPECT_TRUE(dir.localExtraField.IsEmpty());
    EXPECT_EQ(dir.currentHeader, nullptr);
}

TEST_P(CentralDirTest, DataDescriptor) {
    Fields central;
    central.flags = 0x0008;
    central.compressedSize = central.uncompressedSize = 5;
    central.crc = 0x3610A686;
    Fields local = central;
    local.crc = local.compressedSize = local.uncompressedSize = 0;
    const std::string values = records::Le32(0x3610A686) + records::Le32(5) + records::Le32(5);
    const struct {
        const char* label;
        std::string descriptor;
        int code;
    } cases[] = {
        {"with signature", std::string("PK\7\10", 4) + values, 0},
        {"without signature", values, 0},
        {"wrong crc", std::string("PK\7\10", 4) + records::Le32(0x3610A687) + records::Le32(5) + records::Le32(5),
         CZipException::BadArchive},
        {"wrong size, no signature", records::Le32(0x3610A686) + records::Le32(5) + records::Le32(6),
         CZipException::BadArchive},
    };
    for (const auto& c : cases) {
        const std::string head = records::Local(local) + "hello" + c.descriptor;
        const std::string cd = records::Central(central);
        const std::string bytes = head + cd + records::End(1, std::uint32_t(cd.size()), std::uint32_t(head.size()));
        ASSERT_EQ(Load(bytes), 0) << c.label;
        EXPECT_EQ(OpenAndClose(0), c.code) << c.label;
        // After a failure the descriptor is not read again.
        if (c.code != 0) {
            EXPECT_EQ(OpenAndClose(0, true), 0) << c.label;
        }
    }
}

TEST(CentralDirSpeed, SixtyFiveThousandEntriesOpenQuickly) {
    std::vector<Stored> entries;
    for (int i = 0; i < 65000; ++i)
        entries.push_back(Entry("folder/entry" + std::to_string(i) + ".txt", ""));
    auto stream = ziptest::MakeStream(StreamKind::DiskFile, records::Archive(entries, "", {}, false));
    CZipArchiveStorage storage;
    CZipCentralDir dir;
    dir.storage = &storage;
    storage.OpenStream(*stream, CZipArchive::ModeReadOnly);
    const auto start = std::chrono::steady_clock::now();
    dir.Read();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(dir.GetCount(), 65000);
    EXPECT_EQ(dir.GetHeader(64999)->GetFileName(), "folder\\entry64999.txt");
    // About half a second on a loaded two-core machine, nearly all of it the one
    // read per header part; the bound catches anything worse than linear.
#if !defined(__SANITIZE_ADDRESS__)
    EXPECT_LT(elapsed, std::chrono::milliseconds(1500));
#endif
}

} // namespace
