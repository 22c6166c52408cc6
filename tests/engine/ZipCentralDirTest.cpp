#include "support/MemoryStream.h"
#include "support/ZipTestWriter.h"

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

using namespace ziptest;

Entry Stored(const std::string& name, const std::string& data) { return File(name, data, methodStored); }

std::string WithComment(const std::string& comment) {
    Options options;
    options.archiveComment = comment;
    return BuildArchive({Stored("a.txt", "hello")}, options);
}

// The central directory over each kind of stream: memory, short pieces, disk file.
class CentralDirTest : public ::testing::TestWithParam<StreamKind> {
  protected:
    // Reads the directory; 0 on success, else the exception's code.
    int Load(const std::string& bytes, std::uint32_t searchBufferSize = CZipCentralDir::defaultSearchBufferSize) {
        dir.Close(true);
        storage.Close(true);
        stream = MakeStream(GetParam(), bytes);
        dir.storage = &storage;
        dir.searchBufferSize = searchBufferSize;
        storage.OpenStream(*stream, CZipArchive::ModeReadOnly);
        dir.Clear();
        return Code([this] { dir.Read(); });
    }
    // Opens an entry, steps over its data and closes it, checking any descriptor.
    int OpenAndClose(std::uint16_t index, bool skipDescriptor = false) {
        return Code([&] {
            dir.OpenEntry(index);
            std::vector<char> data(dir.currentHeader->compressedSize + 1);
            storage.Read(data.data(), dir.currentHeader->compressedSize, false);
            dir.CloseEntry(skipDescriptor);
        });
    }
    template <typename Action> int Code(Action action) {
        try {
            action();
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
                         [](const auto& info) { return std::string(StreamKindName(info.param)); });

TEST_P(CentralDirTest, EndRecordSearch) {
    const std::string oneEntry = BuildArchive({Stored("a.txt", "hello")});
    const std::string endAlone = BuildArchive({});
    const struct {
        const char* label;
        std::string bytes;
        int code;  // 0: opens
        int count; // entries when it opens
    } cases[] = {
        {"empty file", "", CZipException::CentralDirNotFound, 0},
        {"one byte", "P", CZipException::CentralDirNotFound, 0},
        {"three bytes", std::string("PK\5", 3), CZipException::CentralDirNotFound, 0},
        {"signature alone", std::string("PK\5\6", 4), CZipException::BadArchive, 0},
        {"signature 21 bytes from the end", std::string("PK\5\6", 4) + std::string(17, '\0'), CZipException::BadArchive,
         0},
        {"end record alone", endAlone, 0, 0},
        {"record just inside the window", oneEntry + std::string(65535, 'x'), 0, 1},
        {"record one byte outside the window", oneEntry + std::string(65536, 'x'), CZipException::CentralDirNotFound,
         0},
        {"longest comment", WithComment(std::string(65535, 'c')), 0, 1},
        // The occurrence nearest the end wins, even inside the comment.
        {"comment holds an end record", WithComment("x" + endAlone), 0, 0},
        {"comment ends in a bare signature", WithComment(std::string("xxPK\5\6", 6)), CZipException::BadArchive, 0},
    };
    for (std::uint32_t searchBufferSize : {32768u, 1024u}) {
        for (const auto& c : cases) {
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
            ASSERT_EQ(Load(WithComment(std::string(commentLength, 'c')), searchBufferSize), 0) << commentLength;
            EXPECT_EQ(dir.GetCount(), 1);
            EXPECT_EQ(dir.globalComment.GetSize(), commentLength);
        }
    }
}

TEST_P(CentralDirTest, StubInFrontAndLocalHeaderOrder) {
    const std::vector<Entry> entries = {Stored("a", "1"), Stored("b", "22"), Stored("c/d", "333")};
    for (std::size_t stubSize : {0u, 1u, 40000u}) {
        for (bool fileRelative : {false, true}) {
            Options options;
            options.stub = std::string(stubSize, 'S');
            options.offsetsRelativeToFile = fileRelative;
            options.centralOrder = {2, 0, 1};
            ASSERT_EQ(Load(BuildArchive(entries, options)), 0) << stubSize << " " << fileRelative;
            EXPECT_EQ(dir.info.bytesBeforeArchive, fileRelative ? 0 : stubSize);
            const char* names[] = {"a", "b", "c\\d"}; // local order, names converted while reading
            for (std::uint16_t i = 0; i < 3; ++i) {
                EXPECT_EQ(dir.GetHeader(i).GetFileName(), names[i]);
                EXPECT_EQ(OpenAndClose(i), 0) << stubSize << " " << fileRelative << " " << i;
            }
        }
    }
}

TEST_P(CentralDirTest, DirectoryDamage) {
    const std::vector<Entry> one = {Stored("a.txt", "hello")};
    const std::string intact = BuildArchive(one);
    const std::uint32_t cdSize = GetLE32(intact, intact.size() - endRecordSize + endCdSizeOffset);
    const auto build = [](std::vector<Entry> entries, auto change) {
        Options options;
        change(options, entries);
        return BuildArchive(entries, options);
    };
    const struct {
        const char* label;
        std::string bytes;
        int code;
    } cases[] = {
        {"intact", intact, 0},
        {"count 0 with a size", build(one, [](Options& o, auto&) { o.end.totalEntries = 0; }),
         CZipException::BadArchive},
        {"size 0 with a count", build(one, [](Options& o, auto&) { o.end.cdSize = 0; }), CZipException::BadArchive},
        {"more entries than headers", build(one, [](Options& o, auto&) { o.end.totalEntries = 2; }),
         CZipException::BadArchive},
        {"fewer entries than headers",
         build({Stored("a", "1"), Stored("b", "2")}, [](Options& o, auto&) { o.end.totalEntries = 1; }),
         CZipException::BadArchive},
        {"directory beyond the end record", build(one, [&](Options& o, auto&) { o.end.cdSize = cdSize + 1; }),
         CZipException::BadArchive},
        {"offset and size wrap around 32 bits",
         build(one,
               [](Options& o, auto&) {
                   o.end.cdOffset = 0xFFFFFFF0;
                   o.end.cdSize = 0x20;
               }),
         CZipException::BadArchive},
        {"central header signature", build(one, [](Options&, auto& e) { e[0].central.signature = 0x02014B51; }),
         CZipException::BadArchive},
        {"name runs past the end", build(one, [](Options&, auto& e) { e[0].central.nameLength = 0xFFFF; }),
         CZipException::BadArchive},
        // The headers must fill the directory's size exactly.
        {"comment shorter than stored",
         build(one,
               [](Options&, auto& e) {
                   e[0].comment = "comment";
                   e[0].central.commentLength = 2;
               }),
         CZipException::BadArchive},
        {"duplicate local header offset",
         build({Stored("a", "1"), Stored("b", "2")},
               [](Options& o, auto&) {
                   o.centralOrder = {0, 1, 0};
               }),
         CZipException::BadArchive},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Load(c.bytes), c.code) << c.label;
        if (c.code == 0)
            continue;
        // Only the duplicate position is raised without the archive's path.
        const bool duplicate = std::string(c.label) == "duplicate local header offset";
        EXPECT_EQ(lastError.fileName, duplicate ? "" : stream->GetFilePath()) << c.label;
    }
}

TEST_P(CentralDirTest, LocalHeaderAgainstCentralHeader) {
    const struct {
        const char* label;
        void (*change)(Entry&);
        int code;
        std::uint16_t flagsAfter;
    } cases[] = {
        {"identical", [](Entry&) {}, 0, 0},
        {"time, date, version and name bytes differ",
         [](Entry& e) {
             e.local.time = 0x1234;
             e.local.date = 0x4321;
             e.local.versionNeeded = 63;
             e.localName = "DIR/FILE";
         },
         0, 0},
        {"signature", [](Entry& e) { e.local.signature = 0x04034B51; }, CZipException::BadArchive, 0},
        {"method differs", [](Entry& e) { e.local.method = 8; }, CZipException::BadArchive, 0},
        {"method 12 on both", [](Entry& e) { e.method = 12; }, CZipException::BadArchive, 0},
        {"name length differs", [](Entry& e) { e.localName = "dir/file2"; }, CZipException::BadArchive, 0},
        {"crc differs", [](Entry& e) { e.local.crc = 1; }, CZipException::BadArchive, 0},
        {"compressed size differs", [](Entry& e) { e.local.compressedSize = 6; }, CZipException::BadArchive, 0},
        {"uncompressed size differs", [](Entry& e) { e.local.uncompressedSize = 4; }, CZipException::BadArchive, 0},
        // Bit 3 set locally: the local values are not compared and the local flags
        // win, so a descriptor is then expected (and missing here).
        {"local bit 3 replaces the flags",
         [](Entry& e) {
             e.local.flags = flagDataDescriptor;
             e.local.crc = e.local.compressedSize = e.local.uncompressedSize = 0;
         },
         CZipException::BadArchive, flagDataDescriptor},
        {"flags differing above bit 3 are kept", [](Entry& e) { e.local.flags = flagUtf8; }, 0, 0},
    };
    for (const auto& c : cases) {
        Entry entry = Stored("dir/file", "hello");
        c.change(entry);
        ASSERT_EQ(Load(BuildArchive({entry})), 0) << c.label;
        EXPECT_EQ(OpenAndClose(0), c.code) << c.label;
        EXPECT_EQ(dir.GetHeader(0).flags, c.flagsAfter) << c.label;
    }
}

TEST_P(CentralDirTest, EmptyNameAndLocalExtraField) {
    Entry entry = Stored("", "");
    entry.localExtra = "LOCALX";
    ASSERT_EQ(Load(BuildArchive({entry})), 0);
    dir.OpenEntry(0);
    EXPECT_EQ(std::string(dir.localExtraField.View()), "LOCALX");
    EXPECT_EQ(dir.GetHeader(0).GetFileName(), "");
    dir.CloseEntry(false);
    EXPECT_TRUE(dir.localExtraField.IsEmpty());
    EXPECT_EQ(dir.currentHeader, nullptr);
}

TEST_P(CentralDirTest, DataDescriptor) {
    const struct {
        const char* label;
        bool signature;
        DescriptorOverrides values;
        int code;
    } cases[] = {
        {"with signature", true, {}, 0},
        {"without signature", false, {}, 0},
        {"wrong crc", true, {0x12345678, {}, {}}, CZipException::BadArchive},
        {"wrong compressed size, no signature", false, {{}, 999, {}}, CZipException::BadArchive},
        {"wrong uncompressed size", true, {{}, {}, 4}, CZipException::BadArchive},
    };
    for (const auto& c : cases) {
        Entry entry = File("a.txt", std::string(100, 'a'));
        entry.dataDescriptor = true;
        entry.descriptorSignature = c.signature;
        entry.descriptor = c.values;
        ASSERT_EQ(Load(BuildArchive({entry})), 0) << c.label;
        EXPECT_EQ(OpenAndClose(0), c.code) << c.label;
        // After a failure the descriptor is skipped when closing.
        if (c.code != 0) {
            EXPECT_EQ(OpenAndClose(0, true), 0) << c.label;
        }
    }
}

TEST(CentralDirSpeed, SixtyFiveThousandEntriesOpenQuickly) {
    std::vector<Entry> entries;
    for (int i = 0; i < 65000; ++i)
        entries.push_back(Stored("folder/entry" + std::to_string(i) + ".txt", ""));
    auto stream = MakeStream(StreamKind::DiskFile, BuildArchive(entries));
    CZipArchiveStorage storage;
    CZipCentralDir dir;
    dir.storage = &storage;
    storage.OpenStream(*stream, CZipArchive::ModeReadOnly);
    const auto start = std::chrono::steady_clock::now();
    dir.Read();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(dir.GetCount(), 65000);
    EXPECT_EQ(dir.GetHeader(64999).GetFileName(), "folder\\entry64999.txt");
    // About half a second on a loaded two-core machine, nearly all of it the one
    // read per header part; the bound catches anything worse than linear.
#if !defined(__SANITIZE_ADDRESS__)
    EXPECT_LT(elapsed, std::chrono::milliseconds(1500));
#endif
}

} // namespace
