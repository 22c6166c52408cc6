// The password dialogue end to end: the stub asks on its controlling terminal, not standard input.
#include "support/StubRunner.h"
#include "support/ZipTestWriter.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string listHead =
    "\nInicializace archivu ...  OK\nPocet souboru: 3 \n-------------------------------------------\n\n";
const std::string closingText = "\n\n-------------------------------------------\nOperace dokoncena.\n\n";
const std::string promptText = "\nZadejte heslo: ";
const std::string failedText = "\n\t - soubor se nepodarilo rozbalit";
std::string FailedBecause(const std::string& cause) { return failedText + "\n\t   pricina: " + cause; }

std::string Question(const std::string& folder) { return "Rozbalit archiv do: " + folder + "?\tA/N\t"; }
std::string EntryLine(const std::string& name) { return "\nRozbaluji: " + name; }

// A plain entry, then two entries encrypted with password (traditionally, or with AES).
std::string ArchiveWithPassword(const std::string& password, bool aes = false) {
    ziptest::Entry first = ziptest::File("first.txt", "secret one");
    ziptest::Entry second = ziptest::File("second.txt", "secret two", ziptest::methodStored);
    if (aes) {
        ziptest::Aes aesBlock;
        aesBlock.password = password;
        first.aes = second.aes = aesBlock;
    } else {
        first.password = second.password = password;
    }
    return ziptest::BuildArchive({ziptest::File("plain.txt", "not secret"), first, second});
}

struct TypedRow {
    const char* label;
    std::string archivePassword;
    std::string typed;
    bool aes = false;
};

// Asked once, before the first encrypted entry's line, and read from the terminal.
TEST(StubPassword, AskedOnceOnTheTerminal) {
    const std::string sixty = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWX";
    const TypedRow rows[] = {
        {"short", "pw", "pw\n"},
        {"a line over 49 characters counts with its first 49", sixty.substr(0, 49), sixty + "\n"},
        {"a line ending in CR LF", "pw", "pw\r\n"},
        {"1 000 characters, whole", std::string(1000, 'p'), std::string(1000, 'p') + "\n"},
        {"1 000 characters, whole, AES", std::string(1000, 'p'), std::string(1000, 'p') + "\n", true},
        {"AES, a line over 49 characters counts with its first 49", sixty.substr(0, 49), sixty + "\n", true},
    };
    for (const TypedRow& row : rows) {
        CStubRunner runner;
        const std::string program = runner.MakeProgram("x.run", ArchiveWithPassword(row.archivePassword, row.aes));
        CStubRunner::Options options;
        options.input = "a\n";
        options.terminal = true;
        options.terminalInput = row.typed;
        const CStubRunner::Result result = runner.Run({program}, options);
        EXPECT_EQ(result.out, Question(runner.Folder() + "/x") + listHead + EntryLine("plain.txt") + promptText +
                                  EntryLine("first.txt") + EntryLine("second.txt") + closingText)
            << row.label;
        EXPECT_NE(result.terminal.find(row.archivePassword), std::string::npos) << row.label; // echoed
        EXPECT_EQ(result.exitCode, 0) << row.label;
        // The typed password (its first 49 characters) opened both entries.
        EXPECT_EQ(CStubRunner::ListTree(runner.Folder() + "/x"),
                  "f 644 first.txt 10 secret one\nf 644 plain.txt 10 not secret\nf 644 second.txt 10 secret two\n")
            << row.label;
    }
}

// A wrong password, or an empty line, fails every encrypted entry without asking again; the run
// completes, the plain entry comes out, and the status tells that entries failed.
TEST(StubPassword, WrongOrEmptyPasswordFailsEveryEncryptedEntry) {
    const std::pair<const char*, const char*> rows[] = {{"wrong\n", "nespravne heslo"}, {"\n", "heslo nebylo zadano"}};
    for (const auto& [typed, cause] : rows) {
        CStubRunner runner;
        const std::string program = runner.MakeProgram("x.run", ArchiveWithPassword("pw"));
        CStubRunner::Options options;
        options.input = "a\n";
        options.terminal = true;
        options.terminalInput = typed;
        const CStubRunner::Result result = runner.Run({program}, options);
        EXPECT_EQ(result.out, Question(runner.Folder() + "/x") + listHead + EntryLine("plain.txt") + promptText +
                                  EntryLine("first.txt") + FailedBecause(cause) + EntryLine("second.txt") +
                                  FailedBecause(cause) + closingText)
            << typed;
        EXPECT_EQ(result.exitCode, 1) << typed;
        EXPECT_EQ(CStubRunner::ListTree(runner.Folder() + "/x"), "f 644 plain.txt 10 not secret\n") << typed;
    }
}

// Without a terminal the read fails: no password, and the prompt comes again at the next encrypted entry.
TEST(StubPassword, NoTerminalAsksAgainAtEveryEncryptedEntry) {
    CStubRunner runner;
    const std::string program = runner.MakeProgram("x.run", ArchiveWithPassword("pw"));
    CStubRunner::Options options;
    options.input = "a\npw\npw\n"; // standard input is never read for the password
    const CStubRunner::Result result = runner.Run({program}, options);
    EXPECT_EQ(result.out, Question(runner.Folder() + "/x") + listHead + EntryLine("plain.txt") + promptText +
                              EntryLine("first.txt") + FailedBecause("heslo nebylo zadano") + promptText +
                              EntryLine("second.txt") + FailedBecause("heslo nebylo zadano") + closingText);
    EXPECT_EQ(result.exitCode, 1);
}

} // namespace
