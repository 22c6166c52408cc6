// The archive object over archives from the test writer: every shape the
// directory reader meets, read through memory, short-piece and disk streams.
#include "support/MemoryStream.h"
#include "support/ZipTestWriter.h"

#include "engine/ZipArchive.h"
#include "engine/ZipException.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace ziptest;

class Archive : public CZipArchive {
  public:
    using CZipArchive::centralDir;
    using CZipArchive::storage;
};

// Opens entry `index` in the central directory, steps over its stored bytes and
// closes it, reading the data descriptor when there is one.
void WalkEntry(Archive& archive, std::uint16_t index) {
    archive.centralDir.OpenEntry(index);
    std::vector<char> bytes(archive.centralDir.currentHeader->compressedSize);
    archive.storage.Read(bytes.data(), static_cast<std::uint32_t>(bytes.size()), false);
    archive.centralDir.CloseEntry(false);
}

std::vector<Entry> Mix() {
    Entry packed = File("docs/readme.txt", std::string(3000, 'r'));
    packed.dataDescriptor = true;
    Entry bare = File("docs/bare.bin", "no signature", methodStored);
    bare.dataDescriptor = true;
    bare.descriptorSignature = false;
    Entry secret = File("secret.txt", "hidden", methodStored);
    secret.password = "pw";
    Entry dosName = DosFile("CAF\x82/R\x90SUM\x90.TXT", "dos", dosArchive | dosReadOnly);
    Entry utf8 = DosFile("caf\xC3\xA9.txt", "utf8");
    utf8.extraFlags = flagUtf8;
    Entry script = File("run.sh", "#!/bin/sh\n");
    script.externalAttr = UnixAttributes(0100755);
    return {packed, Dir("docs/"), bare, secret, dosName, utf8, script};
}

struct Expectation {
    const char* name;
    bool directory;
    bool encrypted;
    bool descriptor;
    std::uint32_t attributes;
    int permissions;
};

const Expectation expected[] = {
    {"docs\\readme.txt", false, false, true, 0x20, 0644},
    {"docs\\", true, false, false, 0x10, 0755},
    {"docs\\bare.bin", false, false, true, 0x20, 0644},
    {"secret.txt", false, true, false, 0x20, 0644},
    {"CAF\xC3\xA9\\R\xC3\x89SUM\xC3\x89.TXT", false, false, false, 0x21, -1},
    {"caf\xC3\xA9.txt", false, false, false, 0x20, -1},
    {"run.sh", false, false, false, 0x00, 0755},
};

// The header peeked at is the one GetEntryInfo copies, field by field.
void ExpectPeekedAsCopied(Archive& archive, std::uint16_t index, const std::string& label) {
    CZipEntryHeader copy;
    ASSERT_TRUE(archive.GetEntryInfo(copy, index)) << label;
    const CZipEntryHeader* peeked = archive.PeekEntryInfo(index);
    ASSERT_NE(peeked, nullptr) << label;
    EXPECT_EQ(peeked->GetFileName(), copy.GetFileName()) << label << " entry " << index;
    EXPECT_EQ(peeked->flags, copy.flags) << label << " entry " << index;
    EXPECT_EQ(peeked->method, copy.method) << label << " entry " << index;
    EXPECT_EQ(peeked->crc32, copy.crc32) << label << " entry " << index;
    EXPECT_EQ(peeked->compressedSize, copy.compressedSize) << label << " entry " << index;
    EXPECT_EQ(peeked->uncompressedSize, copy.uncompressedSize) << label << " entry " << index;
    EXPECT_EQ(peeked->localHeaderOffset, copy.localHeaderOffset) << label << " entry " << index;
    EXPECT_EQ(peeked->diskStart, copy.diskStart) << label << " entry " << index;
    EXPECT_EQ(peeked->externalAttr, copy.externalAttr) << label << " entry " << index;
    EXPECT_EQ(peeked->extraField.View(), copy.extraField.View()) << label << " entry " << index;
}

void CheckListing(Archive& archive, const std::string& label) {
    ASSERT_EQ(archive.GetCount(), 7) << label;
    EXPECT_EQ(archive.GetCount(true), 6) << label;
    CZipEntryHeader header;
    for (std::uint16_t i = 0; i < 7; ++i) {
        const Expectation& e = expected[i];
        ASSERT_TRUE(archive.GetEntryInfo(header, i)) << label;
        EXPECT_EQ(header.GetFileName(), e.name) << label << " entry " << i;
        EXPECT_EQ(header.IsDirectory(), e.directory) << label << " " << e.name;
        EXPECT_EQ(header.IsEncrypted(), e.encrypted) << label << " " << e.name;
        EXPECT_EQ(header.HasDataDescriptor(), e.descriptor) << label << " " << e.name;
        EXPECT_EQ(header.GetLocalAttributes() & 0xFFFF, e.attributes) << label << " " << e.name;
        EXPECT_EQ(header.GetUnixPermissions(), e.permissions) << label << " " << e.name;
        ExpectPeekedAsCopied(archive, i, label);
        EXPECT_NO_THROW(WalkEntry(archive, i)) << label << " " << e.name;
        // Opening the entry may take its flags from the local header: the peeked header follows.
        ExpectPeekedAsCopied(archive, i, label + ", opened");
    }
    // Peeked at in another order, each is still its own.
    for (std::uint16_t i = 7; i-- > 0;)
        ExpectPeekedAsCopied(archive, i, label + ", backwards");
    EXPECT_EQ(archive.PeekEntryInfo(7), nullptr) << label;
}

TEST(ZipArchiveListing, EveryShapeOverEveryStream) {
    Options options;
    options.stub = std::string(5000, '\x7F');
    options.archiveComment = "comment";
    options.centralOrder = {6, 5, 4, 3, 2, 1, 0}; // indices still follow the local headers
    for (bool fileRelative : {false, true}) {
        options.offsetsRelativeToFile = fileRelative;
        const std::string zip = BuildArchive(Mix(), options);
        for (auto kind : {StreamKind::Memory, StreamKind::ShortPieces, StreamKind::DiskFile}) {
            const std::string label =
                std::string(StreamKindName(kind)) + (fileRelative ? ", file-relative" : ", archive-relative");
            auto stream = MakeStream(kind, zip);
            Archive archive;
            archive.Open(*stream);
            EXPECT_EQ(archive.centralDir.info.bytesBeforeArchive, fileRelative ? 0u : 5000u) << label;
            EXPECT_EQ(std::string(archive.centralDir.globalComment.View()), "comment") << label;
            CheckListing(archive, label);
            archive.Close();
        }
    }
}

TEST(ZipArchiveListing, DescriptorDamageIsFoundAtClose) {
    for (bool signature : {true, false}) {
        Entry entry = File("a.txt", "abcdef");
        entry.dataDescriptor = true;
        entry.descriptorSignature = signature;
        entry.descriptor.uncompressedSize = 7;
        MemoryStream stream(BuildArchive({entry}));
        Archive archive;
        archive.Open(stream);
        try {
            WalkEntry(archive, 0);
            ADD_FAILURE() << "signature " << signature;
        } catch (const CZipException& e) {
            EXPECT_EQ(e.code, CZipException::BadArchive);
            EXPECT_EQ(e.fileName, "memory.zip");
        }
    }
}

} // namespace
