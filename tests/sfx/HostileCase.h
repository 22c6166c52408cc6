#pragma once

// Hostile archives run end to end through the built stub in a sandbox (support/Sandbox.h). Each row
// builds its archive with the test writer, may set the disk up first, and says what becomes of
// every entry; one parameterised test (HostileArchiveTest.cpp) checks every row for:
// - nothing outside the target folder made, changed or removed;
// - every entry shown once, control bytes escaped, the run ending with its closing line (or the
//   archive error), status 1 when an entry failed, 0 when none did, 2 when the archive did not open;
// - below the target exactly the files that were there before, overlaid with those of the entries
//   that came out: nothing partial, nothing temporary, nothing from a refused entry;
// - the run ending by itself, within its time and its memory.

#include "support/Sandbox.h"
#include "support/ZipTestWriter.h"

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

enum class Fate { Extracted, Refused, Either };

// In `shown` and `file`, sandboxToken stands for the sandbox's own path (an absolute entry name aimed
// at it): in `shown` as it is, in `file` without its leading slash, as the drive and root are
// dropped.
const std::string sandboxToken = "<sandbox>";

struct Expect {
    std::string shown; // the name after "Rozbaluji: ", as the console must show it (slash separators)
    Fate fate = Fate::Extracted;
    std::string file; // where its file lands below the target; empty for a folder or a refused entry
    std::string contents;
    std::string linkTarget; // not empty: `file` becomes a symlink with this target, replacing a file there
    std::string cause;      // not empty: the cause line a refused entry must show
};

// A file entry that comes out at `file` (default: the shown name) with its contents.
inline Expect Ok(std::string shown, std::string contents, std::string file = "") {
    if (file.empty())
        file = shown;
    return {std::move(shown), Fate::Extracted, std::move(file), std::move(contents), "", ""};
}
// A folder entry that is made, or an entry that succeeds without a file of its own.
inline Expect Made(std::string shown) { return {std::move(shown), Fate::Extracted, "", "", "", ""}; }
inline Expect Refused(std::string shown, std::string cause = "") {
    return {std::move(shown), Fate::Refused, "", "", "", std::move(cause)};
}
// A link entry that comes out as a symlink at `shown` pointing to `target`.
inline Expect Linked(std::string shown, std::string target) {
    return {shown, Fate::Extracted, shown, "", std::move(target), ""};
}
// Either outcome is sound (a limit of the file system decides); what comes out must be whole.
inline Expect Either(std::string shown, std::string file, std::string contents) {
    return {std::move(shown), Fate::Either, std::move(file), std::move(contents), "", ""};
}

struct HostileCase {
    std::string label;
    // Builds the archive appended to the stub; may set the sandbox up first (links, volumes).
    std::function<std::string(CSandbox&)> build;
    std::vector<Expect> entries;
    // Instead of `entries`, for rows of tens of thousands of entries: made when the row runs, as
    // gtest copies every row several times in each test program's start-up.
    std::function<std::vector<Expect>()> manyEntries;
    bool archiveError = false; // the archive must not open: "Chyba archivu.", status 2
    std::string program = "box/in/setup.run";
    std::string target = "box/in/setup";
    std::string password; // typed on a terminal when the stub asks
    int timeoutMs = 10000;
    unsigned long long fileSizeLimit = 0;
    // Prepares what the row needs of the system; false skips the row (a tmpfs needs root).
    std::function<bool(CSandbox&)> canRun;
    // Further checks after the run, for what the file lists do not show (modes).
    std::function<void(const CSandbox&)> verify;
};

// The archive the test writer builds from entries, whatever the sandbox.
inline std::function<std::string(CSandbox&)> Build(std::vector<ziptest::Entry> entries, ziptest::Options options = {}) {
    return [entries, options](CSandbox&) { return ziptest::BuildArchive(entries, options); };
}

// Rows that make thousands of files or folders run on a tmpfs where the system allows one: it makes
// files quickly and takes them all away at once when it is unmounted.
inline HostileCase OnTmpfsIfPossible(HostileCase row) {
    constexpr unsigned long long room = 64 << 20;
    row.canRun = [](CSandbox& sandbox) {
        sandbox.MountTmpfs(room);
        return true;
    };
    return row;
}

// A row whose archive must not open at all.
inline HostileCase NoArchive(std::string label, std::function<std::string(CSandbox&)> build) {
    HostileCase row;
    row.label = std::move(label);
    row.build = std::move(build);
    row.archiveError = true;
    return row;
}

// gtest shows a failing row by its label.
inline void PrintTo(const HostileCase& row, std::ostream* out) { *out << row.label; }

class HostileArchive : public ::testing::TestWithParam<HostileCase> {};

// The row's label as a test name.
std::string HostileCaseName(const ::testing::TestParamInfo<HostileCase>& info);

#define HOSTILE_CASES(group, rows)                                                                                     \
    INSTANTIATE_TEST_SUITE_P(group, HostileArchive, ::testing::ValuesIn(rows), HostileCaseName)
