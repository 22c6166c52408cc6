// Traditional decryption: known answers from archives that other tools encrypted at test time (our
// own writer cannot catch a fault that mirrors itself), the two check-byte rules, and passwords.
#include "support/MemoryStream.h"
#include "support/TempDir.h"
#include "support/ZipTestWriter.h"

#include "engine/ZipArchive.h"
#include "engine/ZipException.h"
#include "engine/decode/ZipTraditionalCipher.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <dirent.h>
#include <string>
#include <vector>

namespace {

using namespace ziptest;

// The whole entry read through the reader; the code of the exception when one passes.
struct ReadResult {
    std::string bytes;
    int code = 0;
    int closed = 0;
};

ReadResult ReadWhole(CZipArchive& archive, std::uint16_t index) {
    ReadResult result;
    try {
        if (!archive.OpenEntry(index)) {
            result.code = -1;
            return result;
        }
        char buffer[4096];
        while (const std::uint32_t n = archive.ReadEntry(buffer, sizeof buffer))
            result.bytes.append(buffer, n);
        result.closed = archive.CloseEntry();
    } catch (const CZipException& e) {
        result.code = e.code;
        archive.CloseEntry(nullptr, true);
    }
    return result;
}

int RunQuietly(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

int CountEntries(const std::string& folder) {
    int count = 0;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const dirent* entry = ::readdir(dir))
            count += std::string(entry->d_name) != "." && std::string(entry->d_name) != "..";
        ::closedir(dir);
    }
    return count;
}

// Text that deflates well and bytes that do not, so both tools store one and deflate the other.
std::string Compressible() {
    std::string text;
    for (int i = 0; i < 4000; ++i)
        text += "line " + std::to_string(i) + " of a text that deflates\n";
    return text;
}

std::string Incompressible(std::size_t size) {
    std::string bytes(size, '\0');
    std::uint32_t state = 12345;
    for (char& c : bytes) {
        state = state * 1103515245 + 12345;
        c = static_cast<char>(state >> 24);
    }
    return bytes;
}

struct Peer {
    const char* tool;
    const char* label;
    // $DIR: the folder holding plain.txt and noise.bin; $ZIP: the archive to make.
    std::string command;
    std::string password; // bytes as typed
    bool descriptor;      // Info-ZIP always writes one with -P: the check byte is then the time's high byte
};

TEST(ZipDecrypt, ArchivesEncryptedByOtherToolsDecryptExactly) {
    const Peer peers[] = {
        // -n .bin: store the noise, deflate the text.
        {"zip", "Info-ZIP zip -P", "cd $DIR && zip -q -n .bin -P \"$PW\" $ZIP plain.txt noise.bin", "p\xC3\xA1ss word",
         true},
        // 7-Zip takes only ASCII passwords for this cipher; it stores what does not deflate.
        {"7z", "7-Zip ZipCrypto", "cd $DIR && 7z a -tzip -mem=ZipCrypto \"-p$PW\" $ZIP plain.txt noise.bin",
         "pass word", false},
    };
    const std::string plain = Compressible();
    const std::string noise = Incompressible(70000);
    for (const Peer& peer : peers) {
        if (!HaveTool(peer.tool)) {
#ifndef _WIN32
            // Info-ZIP zip is a build dependency, so CI always has it (the Linux tools are out of
            // reach of a test program running under Wine).
            if (std::string(peer.tool) == "zip" && std::getenv("CI"))
                ADD_FAILURE() << "zip is missing";
#endif
            continue;
        }
        CTempDir dir;
        WriteFile(dir.Join("plain.txt"), plain);
        WriteFile(dir.Join("noise.bin"), noise);
        const std::string zip = dir.Join("peer.zip");
        std::string command = peer.command;
        command.replace(command.find("$DIR"), 4, "'" + dir.Path() + "'");
        command.replace(command.find("$ZIP"), 4, "'" + zip + "'");
        command.replace(command.find("$PW"), 3, peer.password);
        ASSERT_EQ(RunQuietly(command), 0) << peer.label;

        CZipArchive archive;
        archive.Open(zip.c_str());
        ASSERT_EQ(archive.GetCount(), 2) << peer.label;
        bool sawStored = false;
        bool sawDeflated = false;
        for (std::uint16_t i = 0; i < 2; ++i) {
            CZipEntryHeader header;
            archive.GetEntryInfo(header, i);
            ASSERT_TRUE(header.IsEncrypted()) << peer.label;
            EXPECT_EQ(header.HasDataDescriptor(), peer.descriptor) << peer.label;
            sawStored = sawStored || header.method == 0;
            sawDeflated = sawDeflated || header.method == 8;
            const std::string& want = header.GetFileName() == "plain.txt" ? plain : noise;

            archive.SetPassword(nullptr);
            EXPECT_EQ(ReadWhole(archive, i).code, CZipException::WrongPassword) << peer.label;
            archive.SetPassword((peer.password + "x").c_str());
            const ReadResult wrong = ReadWhole(archive, i);
            // One wrong password in 256 passes the check byte; its data then fail.
            EXPECT_NE(wrong.code, 0) << peer.label;

            archive.SetPassword(peer.password.c_str());
            const ReadResult read = ReadWhole(archive, i);
            EXPECT_EQ(read.code, 0) << peer.label << " " << header.GetFileName();
            EXPECT_EQ(read.closed, 1) << peer.label << " " << header.GetFileName();
            EXPECT_TRUE(read.bytes == want) << peer.label << " " << header.GetFileName();
        }
        EXPECT_TRUE(sawStored && sawDeflated) << peer.label;
    }
}

// The writer puts the check byte where the rule says; a byte placed by the other rule is refused.
TEST(ZipDecrypt, CheckByteComesFromTheTimeWithADescriptorElseFromTheCrc) {
    for (const bool descriptor : {false, true}) {
        for (const std::uint16_t method : {methodStored, methodDeflated}) {
            Entry right = File("right", "some secret text, some secret text", method);
            right.password = "pw";
            right.dataDescriptor = descriptor;
            right.dosTime = DosTime(23, 59, 58); // high byte 0xBF, unlike the CRC's
            Entry crossed = right;
            crossed.name = "crossed";
            const std::uint32_t crc = Crc32(right.data);
            crossed.checkByte = static_cast<std::uint8_t>(descriptor ? crc >> 24 : right.dosTime >> 8);
            MemoryStream stream(BuildArchive({right, crossed}));
            CZipArchive archive;
            archive.Open(stream);
            archive.SetPassword("pw");
            const ReadResult good = ReadWhole(archive, 0);
            EXPECT_EQ(good.code, 0) << "descriptor " << descriptor << " method " << method;
            EXPECT_EQ(good.bytes, right.data);
            EXPECT_EQ(ReadWhole(archive, 1).code, CZipException::WrongPassword)
                << "descriptor " << descriptor << " method " << method;
        }
    }
}

TEST(ZipDecrypt, WrongPasswordThatPassesTheCheckFailsOnTheData) {
    Entry stored = File("s", Compressible(), methodStored);
    Entry deflated = File("d", Compressible(), methodDeflated);
    stored.password = deflated.password = "right";
    MemoryStream stream(BuildArchive({stored, deflated}));
    CZipArchive archive;
    archive.Open(stream);
    for (std::uint16_t index = 0; index < 2; ++index) {
        int passed = 0;
        for (int i = 0; i < 2000 && passed < 3; ++i) {
            archive.SetPassword(("wrong" + std::to_string(i)).c_str());
            const ReadResult result = ReadWhole(archive, index);
            if (result.code == CZipException::WrongPassword)
                continue;
            ++passed;
            // Noise: a stored entry fails its CRC; a deflated one fails to decode or its CRC.
            if (index == 0)
                EXPECT_EQ(result.code, CZipException::CrcMismatch);
            else
                EXPECT_TRUE(result.code == CZipException::ZlibDataError || result.code == CZipException::CrcMismatch)
                    << result.code;
        }
        EXPECT_GT(passed, 0);
    }
}

TEST(ZipDecrypt, EncryptedEntryTooShortForItsHeaderIsDamaged) {
    for (const std::uint32_t size : {0u, 11u}) {
        Entry entry = File("e", "", methodStored);
        entry.password = "pw";
        entry.rawData = std::string(size, 'x');
        entry.rawDataIsFinal = true;
        entry.local.compressedSize = entry.central.compressedSize = size;
        MemoryStream stream(BuildArchive({entry}));
        CZipArchive archive;
        archive.Open(stream);
        archive.SetPassword("pw");
        EXPECT_EQ(ReadWhole(archive, 0).code, CZipException::BadArchive) << size;
    }
}

// Wrong and empty passwords fail before any folder or file is made.
TEST(ZipDecrypt, WrongOrMissingPasswordCreatesNothing) {
    Entry entry = File("deep/down/secret.txt", "classified");
    entry.password = "pw";
    CTempDir dir;
    const std::string zip = WriteFile(dir.Join("a.zip"), BuildArchive({entry}));
    CTempDir out;
    CZipArchive archive;
    archive.Open(zip.c_str());
    for (const char* password : {"", "wrong", static_cast<const char*>(nullptr)}) {
        archive.SetPassword(password);
        try {
            archive.ExtractEntry(0, out.Path().c_str());
            ADD_FAILURE() << "no exception";
        } catch (const CZipException& e) {
            EXPECT_EQ(e.code, CZipException::WrongPassword);
        }
        archive.CloseEntry(nullptr, true);
        EXPECT_EQ(CountEntries(out.Path()), 0);
    }
    archive.SetPassword("pw");
    EXPECT_TRUE(archive.ExtractEntry(0, out.Path().c_str()));
    EXPECT_EQ(ReadFile(out.Join("deep/down/secret.txt")), "classified");
}

// A password typed as UTF-8 opens entries whose makers stored its Czech code-page bytes: each form
// is tried where the typed one fails, and the one that opened an entry is tried first after it.
TEST(ZipDecrypt, PasswordFormsOpenWhatTheTypedBytesDoNot) {
    const std::string typed = "\xC5\xBE" "ena";     // UTF-8
    const std::string ansi = "\x9E" "ena";           // CP1250
    const std::string oem = "\xA7" "ena";            // CP852
    const struct {
        const char* label;
        std::vector<std::string> stored; // each entry's password bytes
    } rows[] = {
        {"as typed", {typed, typed}},
        {"ANSI", {ansi, ansi}},
        {"OEM after UTF-8", {typed, oem, oem}},
        {"ANSI then OEM", {ansi, oem, ansi}},
    };
    for (const auto& row : rows) {
        std::vector<Entry> entries;
        for (std::size_t i = 0; i < row.stored.size(); ++i) {
            entries.push_back(File("f" + std::to_string(i), "secret " + std::to_string(i)));
            entries.back().password = row.stored[i];
        }
        MemoryStream stream(BuildArchive(entries));
        CZipArchive archive;
        archive.Open(stream);
        archive.SetPassword(typed.c_str());
        archive.SetPasswordAlternatives({ansi, oem});
        for (std::uint16_t i = 0; i < row.stored.size(); ++i) {
            const ReadResult result = ReadWhole(archive, i);
            EXPECT_EQ(result.code, 0) << row.label << " entry " << i;
            EXPECT_EQ(result.bytes, "secret " + std::to_string(i)) << row.label << " entry " << i;
        }
    }
}

// Where a wrong form passes the one-byte check too (once in 256 entries), the form whose data pass
// their checks opens the entry, whichever comes first; a read and an extraction alike.
TEST(ZipDecrypt, PasswordFormPassingTheCheckByChanceYieldsToTheRightOne) {
    const std::string typed = "\xC5\xBE"
                              "ena"; // UTF-8
    const std::string ansi = "\x9E"
                             "ena"; // CP1250
    const std::string oem = "\xA7"
                            "ena"; // CP852
    for (const std::string& stored : {ansi, typed}) {
        const std::string wrong = stored == typed ? ansi : typed;
        std::vector<Entry> entries;
        for (int seed = 0; entries.size() < 2; ++seed) {
            Entry entry = File("f" + std::to_string(seed) + ".txt", "secret " + std::to_string(seed));
            entry.password = stored;
            const auto check = static_cast<std::uint8_t>(Crc32(entry.data) >> 24);
            const std::string header = EncryptTraditional(stored, EncryptionHeader(entry.name, check));
            if (CZipTraditionalCipher(check).Start(reinterpret_cast<const unsigned char*>(header.data()), wrong))
                entries.push_back(entry);
        }
        MemoryStream stream(BuildArchive(entries));
        CZipArchive archive;
        archive.Open(stream);
        archive.SetPassword(typed.c_str());
        archive.SetPasswordAlternatives({ansi, oem});
        const ReadResult read = ReadWhole(archive, 0);
        EXPECT_EQ(read.code, 0) << (stored == typed ? "as typed" : "ANSI");
        EXPECT_EQ(read.bytes, entries[0].data);
        CTempDir out;
        EXPECT_TRUE(archive.ExtractEntry(1, out.Path().c_str()));
        EXPECT_EQ(ReadFile(out.Join(entries[1].name)), entries[1].data);
    }
}

} // namespace
