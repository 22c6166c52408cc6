// The built stub run as a user runs it: answers on standard input, exact console bytes and status.
#include "support/Sandbox.h"
#include "support/StubRunner.h"
#include "support/ZipTestWriter.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <map>
#include <set>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

const std::string openingText = "\nInicializace archivu ... ";
const std::string archiveErrorText = "\nChyba archivu.";
const std::string listHeadText = "-------------------------------------------\n\n";
const std::string closingText = "\n\n-------------------------------------------\nOperace dokoncena.\n\n";
const std::string entryText = "\nRozbaluji: ";
const std::string failedText = "\n\t - soubor se nepodarilo rozbalit";
const std::string promptText = "\nZadejte heslo: ";

// An archive with no entries: the end record alone.
const std::string emptyArchive = std::string("PK\x05\x06", 4) + std::string(18, '\0');

std::string Question(const std::string& folder) { return "Rozbalit archiv do: " + folder + "?\tA/N\t"; }

std::string CountLine(int count) { return " OK\nPocet souboru: " + std::to_string(count) + " \n"; }

CStubRunner::Options Answer(const std::string& input) {
    CStubRunner::Options options;
    options.input = input;
    return options;
}

// The listing of a folder that holds nothing but the program.
std::time_t MtimeOf(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mtime : -1;
}

std::string ProgramAlone(const std::string& name, const std::string& path) {
    const std::string size = std::to_string(CStubRunner::ReadFileBytes(path).size());
    return "f 755 " + name + " " + size + " <" + size + " bytes>\n";
}

struct DeclineRow {
    const char* label;
    std::string input;
    bool closeStdin;
};

TEST(StubDialogue, AnythingButAEndsTheRunAfterTheQuestion) {
    const DeclineRow rows[] = {
        {"n", "n\n", false},
        {"N", "N\n", false},
        {"x", "x\n", false},
        {"empty line", "\n", false},
        {"end of input", "", false},
        {"no standard input", "", true},
        {"space before a", " a\n", false},
        {"ne", "ne\n", false},
    };
    for (const DeclineRow& row : rows) {
        CStubRunner runner;
        const std::string program = runner.MakeProgram("x.run", emptyArchive);
        CStubRunner::Options options = Answer(row.input);
        options.closeStdin = row.closeStdin;
        const CStubRunner::Result result = runner.Run({program}, options);
        EXPECT_EQ(result.out, Question(runner.Folder() + "/x")) << row.label;
        EXPECT_EQ(result.err, "") << row.label;
        EXPECT_EQ(result.exitCode, 0) << row.label;
        EXPECT_EQ(CStubRunner::ListTree(runner.Folder()), ProgramAlone("x.run", program)) << row.label;
    }
}

TEST(StubDialogue, NothingAppendedIsAnArchiveError) {
    for (const std::string input : {"a\n", "ano\n", "A\n", "a"}) {
        CStubRunner runner;
        const std::string program = runner.MakeProgram("x.run", "");
        const CStubRunner::Result result = runner.Run({program}, Answer(input));
        EXPECT_EQ(result.out, Question(runner.Folder() + "/x") + openingText + archiveErrorText) << input;
        EXPECT_EQ(result.err, "") << input;
        EXPECT_EQ(result.exitCode, 2) << input;
    }
}

TEST(StubDialogue, EmptyArchiveListsNothingAndCompletes) {
    CStubRunner runner;
    const std::string program = runner.MakeProgram("x.run", emptyArchive);
    const CStubRunner::Result result = runner.Run({program}, Answer("a\n"));
    EXPECT_EQ(result.out, Question(runner.Folder() + "/x") + openingText + CountLine(0) + listHeadText + closingText);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exitCode, 0);
}

struct FolderRow {
    std::string programName; // below the runner's folder
    std::string folder;
};

TEST(StubDialogue, TargetFolderIsTheProgramPathWithoutExtension) {
    const std::string longDir = std::string(200, 'd') + "/" + std::string(200, 'e') + "/" + std::string(200, 'f');
    const FolderRow rows[] = {
        {"setup.run", "setup"},
        {"setup", "setup.d"},
        {".setup", ".setup.d"},
        {"my.app.run", "my.app"},
        {"v1.2/setup", "v1.2/setup.d"},
        {"v1.2\\setup", "v1"}, // a backslash is a name character: the extension is ".2\\setup"
        {"n\xC3\xA1stroj.run", "n\xC3\xA1stroj"},
        {"100%.run", "100%"},
        {longDir + "/setup.run", longDir + "/setup"},
    };
    for (const FolderRow& row : rows) {
        CStubRunner runner;
        const std::string program = runner.MakeProgram(row.programName, emptyArchive);
        const CStubRunner::Result result = runner.Run({program}, Answer("n\n"));
        EXPECT_EQ(result.out, Question(runner.Folder() + "/" + row.folder)) << row.programName;
        EXPECT_EQ(result.exitCode, 0) << row.programName;
    }
}

TEST(StubDialogue, ProgramStartedThroughASymlinkUsesItsRealPath) {
    CStubRunner runner;
    const std::string program = runner.MakeProgram("real/setup.run", emptyArchive);
    ASSERT_EQ(::symlink(program.c_str(), (runner.Folder() + "/link.run").c_str()), 0);
    const CStubRunner::Result result = runner.Run({runner.Folder() + "/link.run"}, Answer("n\n"));
    EXPECT_EQ(result.out, Question(runner.Folder() + "/real/setup"));
}

// A file where the target folder goes: said once with its cause, then every entry fails with it.
TEST(StubDialogue, ATargetFolderThatCannotBeMadeIsSaidOnce) {
    CStubRunner runner;
    const std::string program = runner.MakeProgram(
        "x.run", ziptest::BuildArchive({ziptest::File("a.txt", "a"), ziptest::File("b/c.txt", "c")}));
    CStubRunner::WriteFileBytes(runner.Folder() + "/x", "a file");
    const CStubRunner::Result result = runner.Run({program}, Answer("a\n"));
    const std::string inTheWay = "v ceste je soubor stejneho jmena jako slozka";
    const std::string failed = failedText + "\n\t   pricina: " + inTheWay;
    EXPECT_EQ(result.out, Question(runner.Folder() + "/x") + openingText + CountLine(2) + listHeadText +
                              "\nCilovou slozku nelze vytvorit, pricina: " + inTheWay + entryText + "a.txt" + failed +
                              entryText + "b/c.txt" + failed + closingText);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(CStubRunner::ReadFileBytes(runner.Folder() + "/x"), "a file");
}

// Info-ZIP zip is a peer: what it writes, we must list. Entries in the order zip adds them, which is
// the order of their local headers; names with backslashes; directories counted.
TEST(StubDialogue, ListsAnArchiveMadeByInfoZip) {
    const std::string zip = CStubRunner::FindProgram("zip");
    if (zip.empty()) {
        if (std::getenv("CI"))
            FAIL() << "Info-ZIP zip is missing";
        GTEST_SKIP() << "Info-ZIP zip is not installed";
    }
    CStubRunner runner;
    const std::string tree = runner.Folder() + "/tree";
    ::mkdir(tree.c_str(), 0755);
    ::mkdir((tree + "/sub").c_str(), 0755);
    for (const char* file : {"b.txt", "sub/100%done.txt", "sub/%s%n%d.txt", "a.txt"})
        CStubRunner::WriteFileBytes(tree + "/" + file, std::string("contents of ") + file);
    CStubRunner::Options inTree;
    inTree.workDir = tree;
    const CStubRunner::Result zipped = runner.Run(
        {zip, "-q", "-X", "../made.zip", "b.txt", "sub", "sub/100%done.txt", "sub/%s%n%d.txt", "a.txt"}, inTree);
    ASSERT_EQ(zipped.exitCode, 0) << zipped.err;

    const std::string program =
        runner.MakeProgram("made.run", CStubRunner::ReadFileBytes(runner.Folder() + "/made.zip"));
    const CStubRunner::Result result = runner.Run({program}, Answer("a\n"));
    std::string listing;
    for (const char* name : {"b.txt", "sub/", "sub/100%done.txt", "sub/%s%n%d.txt", "a.txt"})
        listing += std::string("\nRozbaluji: ") + name;
    EXPECT_EQ(result.out,
              Question(runner.Folder() + "/made") + openingText + CountLine(5) + listHeadText + listing + closingText);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exitCode, 0);
}

// Dialogue orders: many entries of mixed sizes, some large enough that several threads would be
// busy with them at once, and failures among them. Every line must come where a single thread
// puts it: an entry's failure line right after its own line, the password prompt after every
// earlier entry's lines, a later entry of a name replacing an earlier one.

// Words in a pseudo-random order: text that deflates, different for every seed.
std::string Text(std::size_t size, std::uint32_t seed) {
    static const char* const words[] = {"alfa ",  "bravo ",   "charlie ", "delta ",
                                        "echo\n", "foxtrot ", "golf ",    "hotel "};
    std::string text;
    text.reserve(size + 8);
    std::uint32_t state = seed * 2654435761u + 1;
    while (text.size() < size) {
        state = state * 1103515245 + 12345;
        text += words[state >> 29];
    }
    text.resize(size);
    return text;
}

// `count` files in four folders: every eighth 200-500 KiB, every fifth empty, the rest up to 4 KB;
// stored, deflated, some with data descriptors.
std::vector<ziptest::Entry> MixedEntries(std::size_t count, const std::string& prefix = "") {
    std::vector<ziptest::Entry> entries;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t size = i % 8 == 3 ? (200 + i * 37 % 300) * 1024 : i % 5 == 4 ? 0 : 1 + i * 131 % 4000;
        ziptest::Entry entry = ziptest::File(prefix + "d" + std::to_string(i % 4) + "/e" + std::to_string(i) + ".txt",
                                             Text(size, static_cast<std::uint32_t>(i)),
                                             i % 3 == 0 ? ziptest::methodStored : ziptest::methodDeflated);
        entry.dataDescriptor = i % 4 == 1;
        entries.push_back(entry);
    }
    return entries;
}

// Damage that only reading the data finds: a CRC that does not match, or deflate data cut through.
ziptest::Entry CrcMismatch(ziptest::Entry entry) {
    const std::uint32_t wrong = ziptest::Crc32(entry.data) ^ 0x80000001u;
    entry.central.crc = wrong;
    entry.descriptor.crc = wrong;
    if (!entry.dataDescriptor)
        entry.local.crc = wrong;
    return entry;
}
ziptest::Entry BadDeflate(ziptest::Entry entry) {
    entry.method = ziptest::methodDeflated;
    std::string raw = ziptest::Deflate(entry.data);
    raw.replace(raw.size() / 2, std::min<std::size_t>(raw.size() - raw.size() / 2, 64), 64, '\xFF');
    entry.rawData = raw;
    return entry;
}
ziptest::Entry Encrypted(ziptest::Entry entry, const std::string& password = "heslo") {
    entry.password = password;
    return entry;
}

// The output without the cause line after each failure line (which every failure line must have).
std::string WithoutCauses(std::string out) {
    const std::string cause = failedText + "\n\t   pricina: ";
    for (std::size_t at = 0; (at = out.find(failedText, at)) != std::string::npos;) {
        at += failedText.size();
        if (out.compare(at - failedText.size(), cause.size(), cause) != 0)
            return out + "\n<a failure line without its cause>";
        out.erase(at, out.find('\n', at + 1) - at);
    }
    return out;
}

struct OrderRow {
    std::string label;
    std::vector<ziptest::Entry> entries;
    std::set<std::size_t> failing; // the entries whose line is followed by the failure line
    std::string typed;             // typed on the terminal when the stub asks for the password
    // The target afterwards; empty: the files of the entries that did not fail, a later one of a
    // name replacing an earlier one, in folders of mode 755.
    std::string tree;
    std::vector<std::string> leftFolders = {}; // made for entries that then failed
};

// Entries of `entries` at `indices` passed through `damage`.
std::vector<ziptest::Entry> Damaged(std::vector<ziptest::Entry> entries, const std::set<std::size_t>& indices,
                                    ziptest::Entry (*damage)(ziptest::Entry)) {
    for (std::size_t index : indices)
        entries[index] = damage(entries[index]);
    return entries;
}

std::vector<ziptest::Entry> Joined(std::vector<ziptest::Entry> first, const std::vector<ziptest::Entry>& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

std::vector<OrderRow> OrderRows() {
    using namespace ziptest;
    std::vector<OrderRow> rows;
    rows.push_back({"a CRC mismatch and bad deflate data in the middle, large and small",
                    Damaged(Damaged(MixedEntries(40), {11, 22}, CrcMismatch), {13, 27}, BadDeflate),
                    {11, 13, 22, 27},
                    "",
                    ""});
    rows.push_back({"the first entry and the last, a large one, damaged",
                    Damaged(Damaged(MixedEntries(36), {0}, BadDeflate), {17, 35}, CrcMismatch),
                    {0, 17, 35},
                    "",
                    ""});
    rows.push_back({"only the last entry damaged", Damaged(MixedEntries(30), {29}, BadDeflate), {29}, "", ""});

    std::vector<Entry> secret = MixedEntries(10, "s/");
    for (Entry& entry : secret)
        entry = Encrypted(entry);
    rows.push_back({"encrypted entries after plain ones, a failure just before the prompt and among them",
                    Joined(Damaged(MixedEntries(30), {29}, CrcMismatch), Damaged(secret, {3, 6}, CrcMismatch)),
                    {29, 33, 36},
                    "heslo\n",
                    ""});
    rows.push_back({"a wrong password fails every encrypted entry, the plain ones after them come out",
                    Joined(Joined(MixedEntries(12), Damaged(secret, {3}, CrcMismatch)), MixedEntries(12, "p/")),
                    {12, 13, 14, 15, 16, 17, 18, 19, 20, 21},
                    "spatne\n",
                    "",
                    // The wrong password passes the check byte of an entry in s/d3 by chance: its data fails.
                    {"s/d3"}});
    std::vector<Entry> mixed = MixedEntries(24);
    for (std::size_t i = 5; i < mixed.size(); i += 3)
        mixed[i] = Encrypted(mixed[i]);
    rows.push_back({"encrypted and plain entries interleaved, asked once", mixed, {}, "heslo\n", ""});
    rows.push_back({"no terminal to type on: each encrypted entry asks, fails and makes no folder",
                    {File("plain.txt", "p"), Encrypted(File("deep/er/secret.txt", "s")), File("z.txt", "z"),
                     Encrypted(File("deep/two.txt", Text(300 * 1024, 7)))},
                    {1, 3},
                    "",
                    ""});

    const std::string large = Text(300 * 1024, 99);
    rows.push_back({"a later entry of a name replaces an earlier, larger one",
                    {File("same.txt", large), File("other.txt", "other"), File("same.txt", "later")},
                    {},
                    "",
                    ""});
    rows.push_back({"a later entry of a name replaces an earlier damaged one",
                    {BadDeflate(File("same.txt", large)), File("same.txt", "later", methodStored)},
                    {0},
                    "",
                    ""});
    rows.push_back({"a damaged later entry of a name leaves the earlier one",
                    {File("same.txt", large), File("x.txt", "x"), CrcMismatch(File("same.txt", "later"))},
                    {2},
                    "",
                    ""});
    rows.push_back(
        {"a file, then an entry below it as a folder", {File("a", large), File("a/b", "below")}, {1}, "", ""});
    rows.push_back({"a damaged file, then an entry below it as a folder",
                    {BadDeflate(File("a", large)), File("a/b", "below")},
                    {0},
                    "",
                    "d 755 a/\nf 644 a/b 5 below\n"});
    Entry readOnly = Dir("ro/");
    readOnly.externalAttr = UnixAttributes(040550) | dosDirectory;
    rows.push_back(
        {"a read-only folder entry after the files inside it",
         {File("ro/big.txt", large), CrcMismatch(File("ro/bad.txt", "bad")), File("ro/x.txt", "x"), readOnly},
         {1},
         "",
         "d 750 ro/\nf 644 ro/big.txt 307200 <307200 bytes>\nf 644 ro/x.txt 1 x\n"});
    return rows;
}

// Makes root/path and the folders above it.
void MakeFolders(const std::string& root, const std::string& path) {
    for (std::size_t end = path.find('/');; end = path.find('/', end + 1)) {
        ::mkdir((root + "/" + path.substr(0, end)).c_str(), 0755);
        if (end == std::string::npos)
            break;
    }
}

TEST(StubDialogue, EntryLinesFailuresAndPromptComeInArchiveOrder) {
    for (const OrderRow& row : OrderRows()) {
        CStubRunner runner;
        const std::string program = runner.MakeProgram("x.run", ziptest::BuildArchive(row.entries));
        CStubRunner::Options options = Answer("a\n");
        options.terminal = !row.typed.empty();
        options.terminalInput = row.typed;
        const CStubRunner::Result result = runner.Run({program}, options);

        const std::string target = runner.Folder() + "/x";
        std::string lines;
        bool asked = false;
        std::map<std::string, std::string> files; // what the entries that came out leave
        for (std::size_t i = 0; i < row.entries.size(); ++i) {
            const ziptest::Entry& entry = row.entries[i];
            // A password that could not be read is asked for again by the next encrypted entry.
            if (!entry.password.empty() && (!asked || row.typed.empty())) {
                lines += promptText;
                asked = true;
            }
            lines += entryText + entry.name;
            if (row.failing.count(i))
                lines += failedText;
            else if (entry.name.back() != '/')
                files[entry.name] = entry.data;
            else // a folder gets its time once everything inside it is written
                EXPECT_EQ(MtimeOf(target + "/" + entry.name), ziptest::LocalTime(2021, 6, 15, 12, 34, 56))
                    << row.label << ": " << entry.name;
        }
        // The order is the point here; each failure's cause line is checked where the cause is made.
        EXPECT_EQ(WithoutCauses(result.out), Question(target) + openingText +
                                                 CountLine(static_cast<int>(row.entries.size())) + listHeadText +
                                                 lines + closingText)
            << row.label;
        EXPECT_EQ(result.err, "") << row.label;
        EXPECT_EQ(result.exitCode, row.failing.empty() ? 0 : 1) << row.label;
        if (!row.tree.empty()) {
            EXPECT_EQ(CStubRunner::ListTree(target), row.tree) << row.label;
            continue;
        }
        const std::string expected = runner.Folder() + "/expected";
        ::mkdir(expected.c_str(), 0755);
        for (const std::string& folder : row.leftFolders)
            MakeFolders(expected, folder);
        for (const auto& [name, data] : files) {
            if (name.find('/') != std::string::npos)
                MakeFolders(expected, name.substr(0, name.rfind('/')));
            CStubRunner::WriteFileBytes(expected + "/" + name, data);
        }
        EXPECT_EQ(CStubRunner::ListTree(target), CStubRunner::ListTree(expected)) << row.label;
        EXPECT_TRUE(CSandbox::FilesBelow(target) == CSandbox::FilesBelow(expected)) << row.label;
    }
}

} // namespace
