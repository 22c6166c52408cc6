// The compression methods beyond deflate and the AES encryption, end to end: archives made by other tools
// and by our writer come out byte for byte, the password asked once on the terminal. The damaged ones are
// rows of the hostile tables (HostileDataTest.cpp).
#include "support/PeerArchives.h"
#include "support/StubRunner.h"
#include "support/ZipTestWriter.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

namespace ziptest {
// gtest shows a failing row by its label.
void PrintTo(const PeerRecipe& recipe, std::ostream* out) { *out << recipe.label; }
} // namespace ziptest

namespace {

using namespace ziptest;

const std::string closingText = "\n\n-------------------------------------------\nOperace dokoncena.\n\n";
const std::string promptText = "\nZadejte heslo: ";

std::string Head(const std::string& folder, size_t count) {
    return "Rozbalit archiv do: " + folder +
           "?\tA/N\t\nInicializace archivu ...  OK\nPocet souboru: " + std::to_string(count) +
           " \n-------------------------------------------\n\n";
}

struct Expected {
    std::string name;
    std::string data;
    bool encrypted;
};

// Runs the archive with "a" answered and the password typed when one is given; checks the console bytes
// (the prompt once, before the first encrypted entry), the status and every file, and that nothing else came.
void ExpectExtractedExactly(const std::string& label, const std::string& archive, const std::string& password,
                            const std::vector<Expected>& files) {
    CStubRunner runner;
    const std::string program = runner.MakeProgram("x.run", archive);
    CStubRunner::Options options;
    options.input = "a\n";
    if (!password.empty()) {
        options.terminal = true;
        options.terminalInput = password + "\n";
    }
    const CStubRunner::Result result = runner.Run({program}, options);
    const std::string target = runner.Folder() + "/x";
    std::string lines;
    bool asked = false;
    for (const Expected& file : files) {
        if (file.encrypted && !asked) {
            lines += promptText;
            asked = true;
        }
        lines += "\nRozbaluji: " + file.name;
    }
    EXPECT_EQ(result.out, Head(target, files.size()) + lines + closingText) << label;
    EXPECT_EQ(result.err, "") << label;
    EXPECT_EQ(result.exitCode, 0) << label;
    size_t found = 0;
    std::error_code error;
    for (auto it = std::filesystem::recursive_directory_iterator(target, error);
         it != std::filesystem::recursive_directory_iterator(); ++it)
        ++found;
    EXPECT_EQ(found, files.size()) << label << ": entries on disk";
    for (const Expected& file : files) {
        const std::string path = target + "/" + file.name;
        const std::string data = std::filesystem::exists(path) ? CStubRunner::ReadFileBytes(path) : "<missing>";
        EXPECT_TRUE(data == file.data) << label << ": " << file.name << " has " << data.size() << " bytes, expected "
                                       << file.data.size();
    }
}

std::string TestName(const std::string& label) {
    std::string name;
    for (const char c : label)
        name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
}

class PeerMethods : public ::testing::TestWithParam<PeerRecipe> {};

TEST_P(PeerMethods, ComeOutExact) {
    const PeerRecipe& recipe = GetParam();
    CTempDir dir;
    const PeerArchive made = MakePeerArchive(recipe, dir.Path());
    // Another reader agrees the archive is whole, so a failure below is the stub's.
    const std::string test = "7z t -p'" + made.password + "' '" + made.path + "' >/dev/null 2>&1";
    ASSERT_EQ(std::system(test.c_str()), 0) << made.label << ": 7z t fails";
    std::vector<Expected> files;
    for (const PeerFile& file : made.files)
        files.push_back({file.name, file.data, file.encrypted});
    ExpectExtractedExactly(made.label, CStubRunner::ReadFileBytes(made.path), made.password, files);
}

INSTANTIATE_TEST_SUITE_P(Peers, PeerMethods, ::testing::ValuesIn(PeerRecipes()),
                         [](const ::testing::TestParamInfo<PeerRecipe>& info) { return TestName(info.param.label); });

// The writer's own entries: each strength and vendor version of AES over several methods, and each method
// from its reference tool.
struct WriterRow {
    std::string label;
    std::vector<Entry> entries; // built when the row runs: the tools run then
    std::string password;
};

std::string Text(size_t size) {
    std::string text;
    for (int i = 0; text.size() < size; ++i)
        text += "radek " + std::to_string(i) + " textu, " + std::to_string(i % 97) + "\n";
    text.resize(size);
    return text;
}

std::string Random(size_t size, uint32_t seed) {
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 16);
    }
    return bytes;
}

const std::string password = "Heslo 1";

Entry Traditional(Entry entry) {
    entry.password = password;
    return entry;
}

Entry WithoutEndMarker(std::string name, std::string data) {
    Entry entry = File(std::move(name), std::move(data), methodLzma);
    entry.rawData = LzmaWithoutEndMarker(entry.data);
    return entry;
}

Entry WithDescriptor(Entry entry) {
    entry.dataDescriptor = true;
    return entry;
}

std::vector<WriterRow> WriterRows() {
    const std::string text = Text(200 * 1024), noise = Random(70 * 1024, 5);
    std::vector<WriterRow> rows;
    for (const uint16_t version : {aesVersion1, aesVersion2}) {
        for (const uint8_t strength : {aes128, aes192, aes256}) {
            const std::string tag = "AE-" + std::to_string(version) + " AES-" + std::to_string(64 + 64 * strength);
            rows.push_back({tag + " over deflate and stored",
                            {AesFile("text.txt", text, password, strength, version, methodDeflated),
                             AesFile("noise.bin", noise, password, strength, version, methodStored),
                             AesFile("small.txt", "tiny", password, strength, version, methodDeflated),
                             AesFile("empty.txt", "", password, strength, version, methodStored)},
                            password});
        }
    }
    rows.push_back({"AES over bzip2, LZMA, xz and zstd",
                    {AesFile("b.txt", text, password, aes256, aesVersion2, methodBzip2),
                     AesFile("l.txt", text, password, aes128, aesVersion1, methodLzma),
                     AesFile("x.txt", text, password, aes192, aesVersion2, methodXz),
                     AesFile("z.txt", text, password, aes256, aesVersion1, methodZstd)},
                    password});
    rows.push_back({"AES with data descriptors",
                    {WithDescriptor(AesFile("a.txt", text, password, aes256, aesVersion1)),
                     WithDescriptor(AesFile("b.txt", text, password, aes128, aesVersion2, methodStored))},
                    password});
    rows.push_back({"traditional and AES entries, one password asked once",
                    {File("plain.txt", "not secret"), Traditional(File("old.txt", text)),
                     AesFile("new.txt", text, password), Traditional(File("old.bin", noise, methodStored)),
                     AesFile("new.bin", noise, password, aes128, aesVersion1, methodStored)},
                    password});
    rows.push_back({"bzip2",
                    {Packed("text.txt", text, methodBzip2), Packed("noise.bin", noise, methodBzip2),
                     Packed("empty.txt", "", methodBzip2), WithDescriptor(Packed("d.txt", text, methodBzip2))},
                    ""});
    rows.push_back({"LZMA with end marker",
                    {Packed("text.txt", text, methodLzma), Packed("noise.bin", noise, methodLzma),
                     Packed("empty.txt", "", methodLzma)},
                    ""});
    rows.push_back(
        {"LZMA without end marker",
         {WithoutEndMarker("text.txt", text), WithoutEndMarker("noise.bin", noise), WithoutEndMarker("one.txt", "1")},
         ""});
    rows.push_back(
        {"xz",
         {Packed("text.txt", text, methodXz), Packed("noise.bin", noise, methodXz), Packed("empty.txt", "", methodXz),
          [&] {
              Entry entry = File("blocks.txt", text, methodXz);
              entry.rawData = Xz(entry.data, "--block-size=16KiB");
              return entry;
          }()},
         ""});
    rows.push_back({"zstd",
                    {Packed("text.txt", text, methodZstd), Packed("noise.bin", noise, methodZstd),
                     Packed("empty.txt", "", methodZstd),
                     [&] {
                         Entry entry = File("frames.txt", text, methodZstd);
                         entry.rawData = Zstd(text.substr(0, 1000)) + Zstd(text.substr(1000));
                         return entry;
                     }()},
                    ""});
    return rows;
}

TEST(StubMethods, WriterEntriesComeOutExact) {
    for (const WriterRow& row : WriterRows()) {
        std::vector<Expected> files;
        for (const Entry& entry : row.entries)
            files.push_back({entry.name, entry.data, entry.aes || !entry.password.empty()});
        ExpectExtractedExactly(row.label, BuildArchive(row.entries), row.password, files);
    }
}

} // namespace
