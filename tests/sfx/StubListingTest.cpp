// What the stub shows for each entry, on archives built by the test writer.
#include "support/StubRunner.h"
#include "support/ZipTestWriter.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string listTail = "\n\n-------------------------------------------\nOperace dokoncena.\n\n";

std::string Listing(const std::string& folder, int count, const std::string& lines) {
    return "Rozbalit archiv do: " + folder +
           "?\tA/N\t\nInicializace archivu ...  OK\nPocet souboru: " + std::to_string(count) +
           " \n-------------------------------------------\n\n" + lines + listTail;
}

CStubRunner::Result RunWithA(const CStubRunner& runner, const std::string& program) {
    CStubRunner::Options options;
    options.input = "a\n";
    return runner.Run({program}, options);
}

// Names arrive in local-header order whatever the order of the central directory, with backslashes,
// directories counted; a stub in front of the archive is skipped.
TEST(StubListing, EntriesInLocalHeaderOrder) {
    ziptest::Options options;
    options.centralOrder = {2, 0, 3, 1};
    options.stub = std::string(1000, 'S');
    const std::string archive = ziptest::BuildArchive({ziptest::Dir("docs"), ziptest::File("docs/a.txt", "a"),
                                                       ziptest::DosFile("DOS\\B.TXT", "b"), ziptest::File("z.txt", "")},
                                                      options);
    CStubRunner runner;
    const std::string program = runner.MakeProgram("x.run", archive);
    const CStubRunner::Result result = RunWithA(runner, program);
    EXPECT_EQ(result.out, Listing(runner.Folder() + "/x", 4,
                                  "\nRozbaluji: docs/\nRozbaluji: docs/a.txt\nRozbaluji: DOS/B.TXT\nRozbaluji: z.txt"));
    EXPECT_EQ(result.exitCode, 0);
}

// A name is text, never a format, and never a terminal command.
TEST(StubListing, NamesPrintedLiterallyWithControlBytesEscaped) {
    const std::string archive = ziptest::BuildArchive({
        ziptest::File("100%done.txt", "x"),
        ziptest::File("%s%n%d%%", "x"),
        ziptest::File("\x1b]0;title\x07\x1b[2Jred.txt", "x"),
        ziptest::File("tab\tcr\rdel\x7f.txt", "x"),
    });
    CStubRunner runner;
    const std::string program = runner.MakeProgram("x.run", archive);
    const CStubRunner::Result result = RunWithA(runner, program);
    EXPECT_EQ(result.out, Listing(runner.Folder() + "/x", 4,
                                  "\nRozbaluji: 100%done.txt"
                                  "\nRozbaluji: %s%n%d%%"
                                  "\nRozbaluji: \\x1B]0;title\\x07\\x1B[2Jred.txt"
                                  "\nRozbaluji: tab\\x09cr\\x0Ddel\\x7F.txt"));
}

// An end record whose central directory lies past the end of the file: an archive error, status 2.
TEST(StubListing, DamagedArchiveIsAnArchiveError) {
    std::string archive = ziptest::BuildArchive({ziptest::File("a.txt", "a")});
    ziptest::PutLE32(archive, archive.size() - ziptest::endRecordSize + ziptest::endCdOffsetOffset, 0xFFFFFF);
    CStubRunner runner;
    const std::string program = runner.MakeProgram("x.run", archive);
    const CStubRunner::Result result = RunWithA(runner, program);
    EXPECT_EQ(result.out,
              "Rozbalit archiv do: " + runner.Folder() + "/x?\tA/N\t\nInicializace archivu ... \nChyba archivu.");
    EXPECT_EQ(result.exitCode, 2);
}

} // namespace
