// The built stub run as a user runs it: answers on standard input, exact console bytes and status.
#include "support/StubRunner.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

const std::string openingText = "\nInicializace archivu ... ";
const std::string archiveErrorText = "\nChyba archivu.";
const std::string listHeadText = "-------------------------------------------\n\n";
const std::string closingText = "\n\n-------------------------------------------\nOperace dokoncena.\n\n";

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
        {"v1.2\\setup", "v1.2\\setup.d"},
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

} // namespace
