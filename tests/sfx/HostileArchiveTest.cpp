// The checks every hostile row goes through (HostileCase.h), and the stub's own rows: a stub that
// must never take its own bytes for an archive.
#include "HostileCase.h"

#include <cctype>
#include <map>
#include <sstream>

namespace {

using namespace ziptest;

const std::string askPrefix = "Rozbalit archiv do: ";
const std::string askSuffix = "?\tA/N\t\nInicializace archivu ... ";
const std::string archiveErrorText = "\nChyba archivu.";
const std::string hyphens(43, '-');
const std::string entryPrefix = "\nRozbaluji: ";
const std::string entryFailedText = "\n\t - soubor se nepodarilo rozbalit";
const std::string causePrefix = "\n\t   pricina: ";
const std::string passwordPromptText = "\nZadejte heslo: ";
const std::string closingText = "\n\n" + hyphens + "\nOperace dokoncena.\n\n";

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr long peakRssLimitKb = 512 * 1024; // shadow memory, quarantine and race history
#else
constexpr long peakRssLimitKb = 64 * 1024;
#endif

struct Shown {
    std::string name;
    bool failed = false;
    std::string cause; // the cause line's text after a failure, if one was shown
};

// The entry lines between the listing's head and its closing line.
std::vector<Shown> EntryLines(std::string body) {
    std::vector<Shown> lines;
    std::size_t at = 0;
    while (at < body.size()) {
        if (body.compare(at, entryPrefix.size(), entryPrefix) != 0) {
            lines.push_back({"<unexpected text: " + body.substr(at) + ">", true, ""});
            break;
        }
        at += entryPrefix.size();
        std::size_t end = body.find(entryPrefix, at);
        if (end == std::string::npos)
            end = body.size();
        Shown line{body.substr(at, end - at), false, ""};
        const std::size_t failedAt = line.name.rfind(entryFailedText);
        if (failedAt != std::string::npos) {
            std::string rest = line.name.substr(failedAt + entryFailedText.size());
            if (rest.compare(0, causePrefix.size(), causePrefix) == 0)
                line.cause = rest.substr(causePrefix.size());
            else if (!rest.empty())
                line.cause = "<unexpected text: " + rest + ">";
            line.failed = true;
            line.name.resize(failedAt);
        }
        lines.push_back(line);
        at = end;
    }
    return lines;
}

std::string Join(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines)
        text += "\n  " + line;
    return text;
}

// Files as paths with sizes: contents of a 4 MiB file do not belong in a failure message.
std::string FileList(const std::map<std::string, std::string>& files) {
    std::ostringstream text;
    for (const auto& [path, contents] : files)
        text << "\n  " << path << " (" << contents.size() << " bytes)";
    return text.str();
}

std::string WithSandbox(std::string text, const std::string& sandbox) {
    const std::size_t at = text.find(sandboxToken);
    if (at != std::string::npos)
        text.replace(at, sandboxToken.size(), sandbox);
    return text;
}

bool HasControlByte(const std::string& text) {
    for (const char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            return true;
    return false;
}

} // namespace

std::string HostileCaseName(const ::testing::TestParamInfo<HostileCase>& info) {
    std::string name;
    for (const char c : info.param.label)
        name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
}

TEST_P(HostileArchive, StaysInsideItsFolder) {
    const HostileCase& row = GetParam();
    CSandbox sandbox(row.program, row.target);
    if (row.canRun && !row.canRun(sandbox))
        GTEST_SKIP() << row.label << ": not possible on this system";
    const std::string archive = row.build(sandbox);
    CStubRunner::Options options;
    options.timeoutMs = row.timeoutMs;
    options.fileSizeLimit = row.fileSizeLimit;
    if (!row.password.empty()) {
        options.terminal = true;
        options.terminalInput = row.password + "\n";
    }
    const CSandbox::Outcome outcome = sandbox.Run(archive, options);
    const CStubRunner::Result& result = outcome.result;

    ASSERT_FALSE(result.timedOut) << "still running after " << row.timeoutMs << " ms; output:\n" << result.out;
    ASSERT_EQ(result.signal, 0) << result.err;
    EXPECT_TRUE(outcome.outsideChanges.empty()) << "outside the target:" << Join(outcome.outsideChanges);
    EXPECT_LE(result.peakRssKb, peakRssLimitKb);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out.find('\x1b'), std::string::npos) << "an escape sequence reached the console";

    const std::string ask = askPrefix + sandbox.TargetPath() + askSuffix;
    if (row.archiveError) {
        EXPECT_EQ(result.out, ask + archiveErrorText);
        EXPECT_EQ(result.exitCode, 2);
        EXPECT_EQ(outcome.targetFilesAfter, outcome.targetFilesBefore);
        if (row.verify)
            row.verify(sandbox);
        return;
    }
    const std::vector<Expect> expected = row.manyEntries ? row.manyEntries() : row.entries;
    const std::string head = ask + " OK\nPocet souboru: " + std::to_string(expected.size()) + " \n" + hyphens + "\n\n";
    ASSERT_EQ(result.out.compare(0, head.size(), head), 0) << result.out.substr(0, 4096);
    ASSERT_GE(result.out.size(), head.size() + closingText.size());
    ASSERT_EQ(result.out.substr(result.out.size() - closingText.size()), closingText)
        << "the run does not end with its closing line";
    std::string body = result.out.substr(head.size(), result.out.size() - head.size() - closingText.size());
    int prompts = 0;
    for (std::size_t at; (at = body.find(passwordPromptText)) != std::string::npos; ++prompts)
        body.erase(at, passwordPromptText.size());
    EXPECT_EQ(prompts, row.password.empty() ? 0 : 1);

    const std::string shownFolder = sandbox.Folder();
    const std::vector<Shown> lines = EntryLines(body);
    ASSERT_EQ(lines.size(), expected.size()) << body.substr(0, 4096);
    std::map<std::string, std::string> files = outcome.targetFilesBefore;
    bool anyFailed = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const Expect& want = expected[i];
        EXPECT_EQ(lines[i].name, WithSandbox(want.shown, shownFolder)) << "entry " << i;
        EXPECT_FALSE(HasControlByte(lines[i].name)) << "entry " << i << " shows a control byte raw";
        if (want.fate != Fate::Either) {
            EXPECT_EQ(lines[i].failed, want.fate == Fate::Refused) << "entry " << i << ": " << lines[i].name;
            if (!want.cause.empty()) {
                EXPECT_EQ(lines[i].cause, want.cause) << "entry " << i << ": " << lines[i].name;
            }
            EXPECT_EQ(lines[i].cause.find("<unexpected"), std::string::npos) << lines[i].cause;
        }
        anyFailed = anyFailed || lines[i].failed;
        if (!lines[i].failed && !want.linkTarget.empty()) {
            files.erase(want.file);
            EXPECT_EQ(sandbox.ReadLink(row.target + "/" + want.file), want.linkTarget) << "entry " << i;
        } else if (!lines[i].failed && !want.file.empty()) {
            files[WithSandbox(want.file, sandbox.Folder().substr(1))] = want.contents;
        }
    }
    EXPECT_EQ(result.exitCode, anyFailed ? 1 : 0);
    EXPECT_TRUE(outcome.targetFilesAfter == files)
        << "below the target:" << FileList(outcome.targetFilesAfter) << "\nexpected:" << FileList(files);
    if (row.verify)
        row.verify(sandbox);
}

namespace {

// The stub alone, or with bytes that only look like the end of an archive: never an archive.
const HostileCase stubCases[] = {
    NoArchive("nothing appended", [](CSandbox&) { return std::string(); }),
    NoArchive("a lone end record signature", [](CSandbox&) { return std::string("PK\x05\x06", 4); }),
    NoArchive("an end record cut short",
              [](CSandbox&) { return std::string("PK\x05\x06", 4) + std::string(10, '\0'); }),
};
HOSTILE_CASES(Stub, stubCases);

} // namespace
