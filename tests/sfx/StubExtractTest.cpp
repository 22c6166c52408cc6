// Extraction end to end: archives made by other tools come out byte for byte with their times and
// modes; failed entries are reported and the run goes on; nothing outside the target is touched.
#include "support/CorpusTable.h"
#include "support/Sandbox.h"
#include "support/StubRunner.h"
#include "support/ZipTestWriter.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>
#include <vector>
#include <zlib.h>

namespace {

using namespace ziptest;

const std::string listHead = "-------------------------------------------\n\n";
const std::string closingText = "\n\n-------------------------------------------\nOperace dokoncena.\n\n";
const std::string failedText = "\n\t - soubor se nepodarilo rozbalit";
std::string FailedBecause(const std::string& cause) { return failedText + "\n\t   pricina: " + cause; }
const std::string outsideCause = "cesta by vedla mimo cilovou slozku";

std::string Head(const std::string& folder, int count) {
    return "Rozbalit archiv do: " + folder +
           "?\tA/N\t\nInicializace archivu ...  OK\nPocet souboru: " + std::to_string(count) + " \n" + listHead;
}

std::string Lines(const std::vector<std::string>& names) {
    std::string lines;
    for (const std::string& name : names)
        lines += "\nRozbaluji: " + name;
    return lines;
}

CStubRunner::Options Answer() {
    CStubRunner::Options options;
    options.input = "a\n";
    return options;
}

std::time_t MtimeOf(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mtime : -1;
}

mode_t ModeOf(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

bool NeedTool(const char* name) {
    if (!CStubRunner::FindProgram(name).empty())
        return true;
    // Info-ZIP zip is a build dependency: CI has it.
    if (std::getenv("CI") && std::string(name) == "zip")
        ADD_FAILURE() << name << " is missing";
    return false;
}

// A tree of every kind of file, all stamped with one local time on an even second (DOS precision).
struct SourceTree {
    explicit SourceTree(const CStubRunner& runner) : root(runner.Folder() + "/src") {
        stamp = LocalTime(2020, 2, 29, 13, 14, 16);
        std::string text;
        for (int i = 0; i < 3000; ++i)
            text += "line " + std::to_string(i) + " of some text\n";
        std::string noise(70000, '\0');
        std::uint32_t state = 7;
        for (char& c : noise) {
            state = state * 1103515245 + 12345;
            c = static_cast<char>(state >> 24);
        }
        Make("docs/", 0755);
        Make("docs/guide/", 0755);
        Make("docs/guide/intro.txt", 0644, "Welcome.\n");
        Make("docs/long.txt", 0644, text);
        Make("bin/", 0755);
        Make("bin/run.sh", 0755, "#!/bin/sh\necho hello\n");
        Make("noise.bin", 0644, noise);
        Make("empty.txt", 0644, "");
        Make("readonly.txt", 0444, "do not change\n");
        files = {"docs/guide/intro.txt", "docs/long.txt", "bin/run.sh", "noise.bin", "empty.txt", "readonly.txt"};
        // Making the files changed their folders' times.
        for (const char* folder : {"docs/guide", "docs", "bin"}) {
            const utimbuf times{stamp, stamp};
            ::utime((root + "/" + folder).c_str(), &times);
        }
    }
    void Make(const std::string& name, mode_t mode, const std::string& bytes = "") {
        const std::string path = root + "/" + name;
        ::mkdir(root.c_str(), 0755);
        if (name.back() == '/')
            ::mkdir(path.c_str(), mode);
        else
            CStubRunner::WriteFileBytes(path, bytes);
        ::chmod(path.c_str(), mode);
        const utimbuf times{stamp, stamp};
        ::utime(path.c_str(), &times);
    }
    std::string root;
    std::time_t stamp;
    std::vector<std::string> files;
};

struct PeerRow {
    const char* label;
    const char* tool;
    std::vector<std::string> argv; // run in the source tree; "OUT" is the archive's path
    const char* password;          // typed on the terminal when not empty
};

TEST(StubExtract, ArchivesOfOtherToolsComeOutExactWithTimesAndModes) {
    // Python writes to a pipe, so every entry gets a data descriptor; modes come from the files.
    const std::string python =
        "import os, sys, zipfile\n"
        "out = os.fdopen(sys.stdout.fileno(), 'wb')\n"
        "with zipfile.ZipFile(out, 'w') as z:\n"
        "    for top, dirs, files in sorted(os.walk('.')):\n"
        "        dirs.sort()\n"
        "        for name in [top] + sorted(os.path.join(top, f) for f in files):\n"
        "            if name == '.': continue\n"
        "            info = zipfile.ZipInfo.from_file(name, name[2:])\n"
        "            method = zipfile.ZIP_STORED if name.endswith('.bin') else zipfile.ZIP_DEFLATED\n"
        "            data = b'' if info.is_dir() else open(name, 'rb').read()\n"
        "            if len(sys.argv) > 1 and not info.is_dir():\n"
        "                info.compress_type = method\n"
        "                with z.open(info, 'w', force_zip64=True) as f: f.write(data)\n"
        "            else: z.writestr(info, data, compress_type=method)\n";
    const PeerRow rows[] = {
        {"Info-ZIP zip, deflated", "zip", {"zip", "-q", "-r", "-X", "OUT", "."}, ""},
        {"Info-ZIP zip -0, stored", "zip", {"zip", "-q", "-r", "-X", "-0", "OUT", "."}, ""},
        {"Info-ZIP zip -P, encrypted with descriptors",
         "zip",
         {"zip", "-q", "-r", "-X", "-P", "tajne", "OUT", "."},
         "tajne"},
        {"Python zipfile to a pipe, descriptors", "python3", {"sh", "-c", "python3 -c \"$0\" > OUT", python}, ""},
        // ZIP64 extra blocks in every header and the ZIP64 end record; to a pipe, 8-byte descriptors.
        // (zip -fz to a pipe marks the directory offset in the end record but writes no ZIP64 end
        // record: unzip warns of 4 GiB missing; such an archive stays refused.)
        {"Info-ZIP zip -fz", "zip", {"zip", "-q", "-r", "-X", "-fz", "OUT", "."}, ""},
        {"Python zipfile, forced ZIP64, to a pipe",
         "python3",
         {"sh", "-c", "python3 -c \"$0\" force_zip64 > OUT", python},
         ""},
    };
    for (const PeerRow& row : rows) {
        if (!NeedTool(row.tool))
            continue;
        CStubRunner runner;
        const SourceTree source(runner);
        const std::string archive = runner.Folder() + "/made.zip";
        std::vector<std::string> argv = row.argv;
        for (std::string& arg : argv)
            for (std::size_t at; (at = arg.find("OUT")) != std::string::npos;)
                arg.replace(at, 3, archive);
        CStubRunner::Options inTree;
        inTree.workDir = source.root;
        const CStubRunner::Result made = runner.Run(argv, inTree);
        ASSERT_EQ(made.exitCode, 0) << row.label << ": " << made.err;

        const std::string program = runner.MakeProgram("setup.run", CStubRunner::ReadFileBytes(archive));
        CStubRunner::Options options = Answer();
        if (*row.password) {
            options.terminal = true;
            options.terminalInput = std::string(row.password) + "\n";
        }
        const CStubRunner::Result result = runner.Run({program}, options);
        EXPECT_EQ(result.exitCode, 0) << row.label << "\n" << result.out;
        EXPECT_EQ(result.out.find("nepodarilo"), std::string::npos) << row.label << "\n" << result.out;
        const std::string target = runner.Folder() + "/setup";
        EXPECT_EQ(CStubRunner::ListTree(target), CStubRunner::ListTree(source.root)) << row.label;
        for (const std::string& file : source.files)
            EXPECT_EQ(MtimeOf(target + "/" + file), source.stamp) << row.label << " " << file;
        // Folders get their entries' times once their files are written.
        for (const char* folder : {"docs", "docs/guide", "bin"})
            EXPECT_EQ(MtimeOf(target + "/" + folder), source.stamp) << row.label << " " << folder;
    }
}

struct Stamp {
    std::time_t seconds;
    long nanoseconds;
};

Stamp StampOf(const std::string& path) {
    struct stat st = {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return {st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
}

void SetStamp(const std::string& path, std::time_t seconds) {
    const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

// True UTC times from the extra fields, whatever the zones the archives were made and extracted in:
// the odd seconds and the nanoseconds are beyond what the DOS time holds. Folder times are set last.
TEST(StubExtract, TimesFromExtraFieldsAcrossTimeZones) {
    const std::time_t fileTime = 1616895017;   // 2021-03-28 01:30:17 UTC, the hour Prague skips
    const std::time_t folderTime = 1500000001; // odd as well
    const std::time_t innerTime = 1400000003;
    // Python cannot write the NTFS block itself: it goes in as the entry's extra field, with a
    // DOS time a day off to show that it is not used.
    const std::string python =
        "import struct, sys, zipfile\n"
        "def ntfs(seconds, ticks):\n"
        "    t = (seconds + 11644473600) * 10000000 + ticks\n"
        "    body = struct.pack('<IHHQQQ', 0, 1, 24, t, t, t)\n"
        "    return struct.pack('<HH', 10, len(body)) + body\n"
        "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
        "    for name, seconds, ticks, data in [('d/', 1500000001, 0, b''), ('d/e/', 1400000003, 0, b''),\n"
        "                                       ('d/e/f.txt', 1616895017, 1234567, b'text')]:\n"
        "        info = zipfile.ZipInfo(name, (2021, 3, 29, 1, 30, 16))\n"
        "        info.external_attr = (0o40755 << 16 | 0x10) if name.endswith('/') else 0o100644 << 16\n"
        "        info.extra = ntfs(seconds, ticks)\n"
        "        z.writestr(info, data)\n";
    const struct {
        const char* label;
        const char* tool;
        std::vector<std::string> argv; // run in the source tree; "OUT" is the archive's path
        long nanoseconds;
    } rows[] = {
        {"Info-ZIP zip in Tokyo", "zip", {"env", "TZ=Asia/Tokyo", "zip", "-q", "-r", "OUT", "d"}, 0},
        {"Info-ZIP zip in New York", "zip", {"env", "TZ=America/New_York", "zip", "-q", "-r", "OUT", "d"}, 0},
        {"Python with NTFS times", "python3", {"python3", "-c", python, "OUT"}, 123456700},
    };
    for (const auto& row : rows) {
        if (!NeedTool(row.tool))
            continue;
        CStubRunner runner;
        const std::string source = runner.Folder() + "/src";
        ::mkdir(source.c_str(), 0755);
        ::mkdir((source + "/d").c_str(), 0755);
        ::mkdir((source + "/d/e").c_str(), 0755);
        CStubRunner::WriteFileBytes(source + "/d/e/f.txt", "text");
        SetStamp(source + "/d/e/f.txt", fileTime);
        SetStamp(source + "/d/e", innerTime);
        SetStamp(source + "/d", folderTime);
        const std::string archive = runner.Folder() + "/made.zip";
        std::vector<std::string> argv = row.argv;
        for (std::string& arg : argv)
            if (arg == "OUT")
                arg = archive;
        CStubRunner::Options inTree;
        inTree.workDir = source;
        const CStubRunner::Result made = runner.Run(argv, inTree);
        ASSERT_EQ(made.exitCode, 0) << row.label << ": " << made.err;

        const std::string program = runner.MakeProgram("setup.run", CStubRunner::ReadFileBytes(archive));
        const CStubRunner::Result result = runner.Run({"env", "TZ=Europe/Prague", program}, Answer());
        const std::string target = runner.Folder() + "/setup";
        EXPECT_EQ(result.out, Head(target, 3) + Lines({"d/", "d/e/", "d/e/f.txt"}) + closingText) << row.label;
        const Stamp file = StampOf(target + "/d/e/f.txt");
        EXPECT_EQ(file.seconds, fileTime) << row.label;
        EXPECT_EQ(file.nanoseconds, row.nanoseconds) << row.label;
        EXPECT_EQ(MtimeOf(target + "/d/e"), innerTime) << row.label;
        EXPECT_EQ(MtimeOf(target + "/d"), folderTime) << row.label;
    }
}

// Links as Info-ZIP zip -y stores them become links: relative, absolute (made as stored, never
// followed), to a folder; an entry through a link fails; a later file replaces a link, not its target.
TEST(StubExtract, SymbolicLinksOfInfoZipComeOutAsLinks) {
    if (!NeedTool("zip") || !NeedTool("python3"))
        return;
    CStubRunner runner;
    const std::string source = runner.Folder() + "/src";
    const std::string outside = runner.Folder() + "/outside";
    for (const std::string& folder : {source, source + "/lib", source + "/docs", outside})
        ::mkdir(folder.c_str(), 0755);
    CStubRunner::WriteFileBytes(source + "/lib/libfoo.so.1", "ELF");
    CStubRunner::WriteFileBytes(source + "/docs/a.txt", "a");
    CStubRunner::WriteFileBytes(outside + "/victim.txt", "original");
    ASSERT_EQ(::symlink("libfoo.so.1", (source + "/lib/libfoo.so").c_str()), 0);
    ASSERT_EQ(::symlink((outside + "/victim.txt").c_str(), (source + "/abs").c_str()), 0);
    ASSERT_EQ(::symlink("docs", (source + "/docsl").c_str()), 0);
    ASSERT_EQ(::symlink(outside.c_str(), (source + "/out").c_str()), 0);
    ASSERT_EQ(::symlink("lib/libfoo.so.1", (source + "/later").c_str()), 0);
    const std::time_t linkTime = 1300000001;
    SetStamp(source + "/lib/libfoo.so", linkTime);
    const std::string archive = runner.Folder() + "/made.zip";
    CStubRunner::Options inSource;
    inSource.workDir = source;
    ASSERT_EQ(runner.Run({"zip", "-q", "-y", "-r", archive, "lib", "docs", "abs", "docsl", "out", "later"}, inSource)
                  .exitCode,
              0);
    // Entries through the links, added from a tree where those are folders; then a file under a
    // link's name, appended by Python (zip itself would replace the link's entry).
    const std::string other = runner.Folder() + "/other";
    for (const std::string& folder : {other, other + "/docsl", other + "/out"})
        ::mkdir(folder.c_str(), 0755);
    CStubRunner::WriteFileBytes(other + "/docsl/through.txt", "evil");
    CStubRunner::WriteFileBytes(other + "/out/victim.txt", "evil");
    CStubRunner::Options inOther;
    inOther.workDir = other;
    ASSERT_EQ(runner.Run({"zip", "-q", archive, "docsl/through.txt", "out/victim.txt"}, inOther).exitCode, 0);
    const std::string append = "import sys, zipfile\n"
                               "with zipfile.ZipFile(sys.argv[1], 'a') as z:\n"
                               "    z.writestr('later', 'a file now')\n";
    ASSERT_EQ(runner.Run({"python3", "-c", append, archive}).exitCode, 0);

    const std::string program = runner.MakeProgram("setup.run", CStubRunner::ReadFileBytes(archive));
    const CStubRunner::Result result = runner.Run({program}, Answer());
    const std::string target = runner.Folder() + "/setup";
    EXPECT_EQ(result.out, Head(target, 12) +
                              Lines({"lib/", "lib/libfoo.so.1", "lib/libfoo.so", "docs/", "docs/a.txt", "abs", "docsl",
                                     "out", "later", "docsl/through.txt"}) +
                              FailedBecause(outsideCause) + Lines({"out/victim.txt"}) + FailedBecause(outsideCause) +
                              Lines({"later"}) + closingText);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(CStubRunner::ListTree(target),
              "l abs -> " + outside +
                  "/victim.txt\nd 755 docs/\nf 644 docs/a.txt 1 a\n"
                  "l docsl -> docs\nf 600 later 10 a file now\nd 755 lib/\n"
                  "l lib/libfoo.so -> libfoo.so.1\nf 644 lib/libfoo.so.1 3 ELF\nl out -> " +
                  outside + "\n");
    EXPECT_EQ(CStubRunner::ListTree(outside), "f 644 victim.txt 8 original\n");
    EXPECT_EQ(CStubRunner::ListTree(source + "/lib"), CStubRunner::ListTree(target + "/lib"));
    EXPECT_EQ(MtimeOf(target + "/lib/libfoo.so"), linkTime);
}

TEST(StubExtract, StreamedInputWithZip64RecordsComesOutWhole) {
    if (!NeedTool("zip"))
        GTEST_SKIP() << "Info-ZIP zip is not installed";
    // Info-ZIP writes ZIP64 records for input from a pipe, whose size it cannot know in advance.
    CStubRunner runner;
    const std::string folder = runner.Folder();
    const std::string command =
        "cd '" + folder + "' && seq 1 100000 | zip -q - - > streamed.zip && seq 1 100000 > expected";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const std::string program = runner.MakeProgram("setup.run", CStubRunner::ReadFileBytes(folder + "/streamed.zip"));
    const CStubRunner::Result result = runner.Run({program}, Answer());
    EXPECT_EQ(result.out, Head(folder + "/setup", 1) + Lines({"-"}) + closingText);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_TRUE(CStubRunner::ReadFileBytes(folder + "/setup/-") == CStubRunner::ReadFileBytes(folder + "/expected"));
}

TEST(StubExtract, DosHostAttributesBecomeModes) {
    Entry readOnly = DosFile("RO.TXT", "read-only on DOS", dosReadOnly | dosArchive);
    Entry normal = DosFile("NORMAL.TXT", "normal on DOS", dosArchive, methodStored);
    CStubRunner runner;
    const std::string program = runner.MakeProgram("d.run", BuildArchive({readOnly, normal, DosDir("DIR/")}));
    const CStubRunner::Result result = runner.Run({program}, Answer());
    EXPECT_EQ(result.exitCode, 0);
    const std::string target = runner.Folder() + "/d";
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(ModeOf(target + "/RO.TXT"), 0444 & ~mask);
    EXPECT_EQ(ModeOf(target + "/NORMAL.TXT"), 0644 & ~mask);
    EXPECT_EQ(ModeOf(target + "/DIR") & 0700, 0700u);
}

// Names from MS-DOS-family hosts without the UTF-8 flag are in the OEM code page of the maker's
// language: the one Windows gives the user's, CP852 for Czech, CP437 for English or none.
TEST(StubExtract, NamesFromDosHostsFollowTheLocaleLanguage) {
    const std::string stored = "\xA7lu\x9Cou\x9Fk\xEC k\x85\xE5.txt"; // zlutoucky kun in CP852
    Entry fromNtfs = DosFile("NTFS\\" + stored, "ntfs");
    fromNtfs.hostSystem = hostNtfs;
    const std::string archive = BuildArchive({DosFile(stored, "dos"), fromNtfs});
    const struct {
        const char* locale;
        std::string name; // on disk and on the console
    } rows[] = {
        {"cs_CZ.UTF-8", "\xC5\xBElu\xC5\xA5ou\xC4\x8Dk\xC3\xBD k\xC5\xAF\xC5\x88.txt"},
        {"C.UTF-8", "\xC2\xBAlu\xC2\xA3ou\xC6\x92k\xE2\x88\x9E k\xC3\xA0\xCF\x83.txt"},
    };
    for (const auto& row : rows) {
        CStubRunner runner;
        const std::string program = runner.MakeProgram("n.run", archive);
        CStubRunner::Options options = Answer();
        options.locale = row.locale;
        const CStubRunner::Result result = runner.Run({program}, options);
        EXPECT_EQ(result.out, Head(runner.Folder() + "/n", 2) + Lines({row.name, "NTFS/" + row.name}) + closingText)
            << row.locale;
        EXPECT_EQ(CStubRunner::ListTree(runner.Folder() + "/n"),
                  "d 755 NTFS/\nf 644 NTFS/" + row.name + " 4 ntfs\nf 644 " + row.name + " 3 dos\n")
            << row.locale;
    }
}

// Python's zipfile gives ZipInfo("empty/") mode 0600 and no folder bit. Each such name is a folder,
// whatever data it holds; a folder's stored mode never keeps its owner from filling it.
TEST(StubExtract, NamesEndingInASlashAreFoldersWithoutTheFolderBit) {
    if (!NeedTool("python3"))
        return;
    const std::string python = "import sys, zipfile\n"
                               "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
                               "    z.writestr(zipfile.ZipInfo('empty/'), b'')\n"
                               "    z.writestr(zipfile.ZipInfo('withdata/'), b'junk')\n"
                               "    locked = zipfile.ZipInfo('locked/')\n"
                               "    locked.external_attr = 0o500 << 16\n"
                               "    z.writestr(locked, b'')\n"
                               "    z.writestr('locked/f.txt', b'x')\n";
    CStubRunner runner;
    const std::string archive = runner.Folder() + "/made.zip";
    ASSERT_EQ(runner.Run({"python3", "-c", python, archive}).exitCode, 0);
    const std::string program = runner.MakeProgram("p.run", CStubRunner::ReadFileBytes(archive));
    const CStubRunner::Result result = runner.Run({program}, Answer());
    EXPECT_EQ(result.out, Head(runner.Folder() + "/p", 4) + Lines({"empty/", "withdata/", "locked/", "locked/f.txt"}) +
                              closingText);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(CStubRunner::ListTree(runner.Folder() + "/p"),
              "d 700 empty/\nd 700 locked/\nf 600 locked/f.txt 1 x\nd 700 withdata/\n");
}

TEST(StubExtract, ACrcFailureInTheMiddleLetsTheRestComeOut) {
    Entry bad = File("b.txt", "damaged", methodStored);
    bad.local.crc = bad.central.crc = 0xBADC0DE;
    CStubRunner runner;
    const std::string program =
        runner.MakeProgram("x.run", BuildArchive({File("a.txt", "first"), bad, File("c/d.txt", "last")}));
    const CStubRunner::Result result = runner.Run({program}, Answer());
    EXPECT_EQ(result.out, Head(runner.Folder() + "/x", 3) + Lines({"a.txt", "b.txt"}) +
                              FailedBecause("poskozena data: nesouhlasi kontrolni soucet (CRC)") + Lines({"c/d.txt"}) +
                              closingText);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(CStubRunner::ListTree(runner.Folder() + "/x"), "f 644 a.txt 5 first\nd 755 c/\nf 644 c/d.txt 4 last\n");
}

TEST(StubExtract, EntriesThatEndShortAreReportedAndLeaveNothing) {
    Entry shortEntry = File("short.txt", std::string(1000, 's'));
    shortEntry.local.uncompressedSize = shortEntry.central.uncompressedSize = 2000;
    CStubRunner runner;
    const std::string program = runner.MakeProgram("x.run", BuildArchive({shortEntry, File("ok.txt", "ok")}));
    const CStubRunner::Result result = runner.Run({program}, Answer());
    EXPECT_EQ(result.out, Head(runner.Folder() + "/x", 2) + Lines({"short.txt"}) +
                              FailedBecause("poskozena nebo neuplna data") + Lines({"ok.txt"}) + closingText);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(CStubRunner::ListTree(runner.Folder() + "/x"), "f 644 ok.txt 2 ok\n");
}

TEST(StubExtract, AnExistingReadOnlyFileIsReplacedAndAFailedOneKept) {
    Entry bad = File("kept.txt", "new but damaged", methodStored);
    bad.local.crc = bad.central.crc = 1;
    CStubRunner runner;
    const std::string program =
        runner.MakeProgram("x.run", BuildArchive({File("replaced.txt", "new", methodStored), bad}));
    const std::string target = runner.Folder() + "/x";
    ::mkdir(target.c_str(), 0755);
    CStubRunner::WriteFileBytes(target + "/replaced.txt", "old");
    CStubRunner::WriteFileBytes(target + "/kept.txt", "old");
    ::chmod((target + "/replaced.txt").c_str(), 0444);
    const CStubRunner::Result result = runner.Run({program}, Answer());
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(CStubRunner::ListTree(target), "f 644 kept.txt 3 old\nf 644 replaced.txt 3 new\n");
}

// Names that climb out and folders that are symlinks: the entries fail, and nothing outside the
// target is written, deleted or even made writable.
TEST(StubExtract, NothingOutsideTheTargetIsTouched) {
    CStubRunner runner;
    const std::string program =
        runner.MakeProgram("x.run", BuildArchive({File("../victim.txt", "evil"), File("link/victim.txt", "evil"),
                                                  File("sub/../../victim.txt", "evil"), File("fine.txt", "fine")}));
    const std::string elsewhere = runner.Folder() + "/elsewhere";
    const std::string target = runner.Folder() + "/x";
    ::mkdir(elsewhere.c_str(), 0755);
    ::mkdir(target.c_str(), 0755);
    CStubRunner::WriteFileBytes(runner.Folder() + "/victim.txt", "original");
    CStubRunner::WriteFileBytes(elsewhere + "/victim.txt", "original");
    ::chmod((runner.Folder() + "/victim.txt").c_str(), 0444);
    ::chmod((elsewhere + "/victim.txt").c_str(), 0444);
    ASSERT_EQ(::symlink(elsewhere.c_str(), (target + "/link").c_str()), 0);
    const CStubRunner::Result result = runner.Run({program}, Answer());
    EXPECT_EQ(result.out, Head(target, 4) + Lines({"../victim.txt"}) + FailedBecause(outsideCause) +
                              Lines({"link/victim.txt"}) + FailedBecause(outsideCause) +
                              Lines({"sub/../../victim.txt"}) + FailedBecause(outsideCause) + Lines({"fine.txt"}) +
                              closingText);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(CStubRunner::ListTree(elsewhere), "f 444 victim.txt 8 original\n");
    EXPECT_EQ(ModeOf(runner.Folder() + "/victim.txt"), 0444u);
    EXPECT_EQ(CStubRunner::ReadFileBytes(runner.Folder() + "/victim.txt"), "original");
    EXPECT_EQ(CStubRunner::ListTree(target), "f 644 fine.txt 4 fine\nl link -> " + elsewhere + "\n");
}

// The names in a folder; with `paths`, the first components of those paths instead.
std::set<std::string> TopLevelNames(const std::string& folder, const std::vector<std::string>& paths = {}) {
    std::set<std::string> names;
    for (const std::string& path : paths)
        names.insert(path.substr(0, path.find('/')));
    if (!paths.empty())
        return names;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const dirent* entry = ::readdir(dir))
            if (std::string(entry->d_name) != "." && std::string(entry->d_name) != "..")
                names.insert(entry->d_name);
        ::closedir(dir);
    }
    return names;
}

// The program's own path is the OS's: a backslash in it is a character of a name, never a separator,
// so the target folder is exactly the program's path without its extension, and nothing lands beside it.
TEST(StubExtract, ABackslashInTheProgramPathIsANameCharacter) {
    const struct {
        const char* program;
        const char* folder;
    } rows[] = {
        {"we\\ird.run", "we\\ird"},
        {"a\\b/setup.run", "a\\b/setup"},
        {"v1.2\\setup", "v1"},    // the extension runs from the last dot of the name
        {"end\\.run", "end\\.d"}, // a trailing backslash would be dropped as a separator
    };
    for (const auto& row : rows) {
        CStubRunner runner;
        const std::string program =
            runner.MakeProgram(row.program, BuildArchive({File("sub/a.txt", "a"), Dir("empty/"), File("b.txt", "b")}));
        const CStubRunner::Result result = runner.Run({program}, Answer());
        const std::string target = runner.Folder() + "/" + row.folder;
        EXPECT_EQ(result.out, Head(target, 3) + Lines({"sub/a.txt", "empty/", "b.txt"}) + closingText) << row.program;
        EXPECT_EQ(result.exitCode, 0) << row.program;
        EXPECT_EQ(CStubRunner::ListTree(target), "f 644 b.txt 1 b\nd 755 empty/\nd 755 sub/\nf 644 sub/a.txt 1 a\n")
            << row.program;
        // Nothing beside them: no folder made of a part of the name.
        EXPECT_EQ(TopLevelNames(runner.Folder()), TopLevelNames(runner.Folder(), {row.program, row.folder}))
            << row.program;
    }
}

// The archives of the shared corpus (other tools' output, other projects' test suites) that we read,
// wholly or in part, and that hold two entries or more, extracted by the stub and by the one that
// always extracts with three threads: the same console bytes, status and files, whatever their
// damage or shape.
TEST(StubExtract, CorpusComesOutTheSameWithOneThreadOrThree) {
    const auto manifest = sharedcorpus::ReadTable(sharedcorpus::folder + "MANIFEST.tsv");
    if (manifest.empty()) {
        if (std::getenv("CI"))
            FAIL() << "no corpus at " << sharedcorpus::folder;
        GTEST_SKIP() << "no corpus at " << sharedcorpus::folder;
    }
    constexpr std::size_t inScopeColumn = 3, passwordColumn = 5, entriesColumn = 7;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    constexpr std::size_t every = 6; // a sanitized stub starts slowly: a sample of them
#else
    constexpr std::size_t every = 1;
#endif
    std::size_t taken = 0;
    for (const std::vector<std::string>& row : manifest) {
        if (row.size() <= entriesColumn || row[inScopeColumn].rfind("no", 0) == 0 ||
            std::atoi(row[entriesColumn].c_str()) < 2 || taken++ % every != 0)
            continue;
        const std::string archive = CStubRunner::ReadFileBytes(sharedcorpus::folder + row[0]);
        std::string shown[2];
        std::map<std::string, std::string> files[2];
        for (int run = 0; run < 2; ++run) {
            CStubRunner runner;
            const std::string program =
                runner.MakeProgram("x.run", archive, run == 0 ? ROZBAL_STUB_PATH : ROZBAL_WORKERS_STUB_PATH);
            CStubRunner::Options options = Answer();
            if (!row[passwordColumn].empty()) {
                options.terminal = true;
                options.terminalInput = row[passwordColumn] + "\n";
            }
            const CStubRunner::Result result = runner.Run({program}, options);
            shown[run] = result.out.substr(result.out.find('?')) + result.err + "\nstatus " +
                         std::to_string(result.exitCode) + "\n" + CStubRunner::ListTree(runner.Folder() + "/x");
            files[run] = CSandbox::FilesBelow(runner.Folder() + "/x");
        }
        EXPECT_EQ(shown[1], shown[0]) << row[0];
        EXPECT_TRUE(files[1] == files[0]) << row[0];
    }
}

} // namespace

// Interrupted runs: a many-file archive and one of big stored files, stopped at several moments.
struct InterruptRow {
    const char* label;
    bool big;       // the big-file archive, else the many-file one
    const char* at; // the signal goes once standard output shows this
    int signal;     // SIGPIPE: the reader of the output quits
};

const InterruptRow interruptRows[] = {
    {"SIGINT early", false, "Rozbaluji: d03/", SIGINT},
    {"SIGTERM late", false, "Rozbaluji: d20/", SIGTERM},
    {"SIGHUP", false, "Rozbaluji: d10/", SIGHUP},
    {"reader quits", false, "Rozbaluji: d05/", SIGPIPE},
    {"SIGKILL", false, "Rozbaluji: d08/", SIGKILL},
    {"SIGTERM in a big file", true, "Rozbaluji: big2.bin", SIGTERM},
    {"SIGINT in a big file", true, "Rozbaluji: big1.bin", SIGINT},
    {"SIGKILL in a big file", true, "Rozbaluji: big2.bin", SIGKILL},
};

// Every file and link below root, by its path below it, with its bytes.
std::map<std::string, std::string> FilesBelow(const std::string& root) {
    namespace fs = std::filesystem;
    std::map<std::string, std::string> files;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(root, error); !error && it != fs::recursive_directory_iterator();
         it.increment(error)) {
        if (!it->is_directory() || it->is_symlink())
            files[it->path().lexically_relative(root).string()] = it->is_regular_file() && !it->is_symlink()
                                                                      ? CStubRunner::ReadFileBytes(it->path().string())
                                                                      : "<not a file>";
    }
    return files;
}

// A raw deflate stream of text without its last block: Z_FULL_FLUSH ends it on a byte and forgets
// the window, so copies of it may follow one another.
std::string FullyFlushedDeflate(const std::string& text) {
    z_stream stream{};
    if (deflateInit2(&stream, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return {};
    std::string out(deflateBound(&stream, text.size()) + 64, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FULL_FLUSH);
    out.resize(out.size() - stream.avail_out);
    deflateEnd(&stream);
    return out;
}
const std::string lastEmptyBlock("\x03\x00", 2); // a last block of fixed codes holding only its end

bool IsTemporaryName(const std::string& path) {
    const std::string name = path.substr(path.rfind('/') + 1);
    return name.size() == 21 && name.compare(0, 8, ".rozbal-") == 0 && name.compare(16, 5, ".part") == 0;
}

TEST(StubExtract, AnInterruptedRunLeavesOnlyWholeFilesAndTheirLines) {
    std::map<std::string, std::string> many, big;
    for (int folder = 0; folder < 30; ++folder) {
        for (int file = 0; file < 120; ++file) {
            char name[32];
            std::snprintf(name, sizeof name, "d%02d/f%03d.txt", folder, file);
            many[name] =
                std::string(name) + std::to_string(folder * 7919 + file * 104729) + std::string(600, 'a' + file % 26);
        }
    }
    // Big entries that take a while to inflate, and cost little to make: one deflated chunk of
    // 4-bit symbols, flushed fully so that copies of it follow one another, then an empty last block.
    std::string chunk(1 << 20, '\0');
    std::uint32_t seed = 1;
    for (char& c : chunk) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>('@' + (seed >> 24) % 16);
    }
    const std::string packedChunk = FullyFlushedDeflate(chunk);
    std::vector<Entry> bigEntries{File("first.txt", "first", methodStored)};
    big["first.txt"] = "first";
    for (const char* name : {"big1.bin", "big2.bin", "big3.bin"}) {
        std::string data, packed;
        for (int i = 0; i < 20; ++i) {
            data += chunk;
            packed += packedChunk;
        }
        big[name] = data;
        bigEntries.push_back(File(name, data));
        bigEntries.back().rawData = packed + lastEmptyBlock;
    }
    bigEntries.push_back(File("last.txt", "last", methodStored));
    big["last.txt"] = "last";
    std::vector<Entry> manyEntries;
    for (const auto& file : many)
        manyEntries.push_back(File(file.first, file.second, file.first[5] == '0' ? methodStored : methodDeflated));
    const std::string manyArchive = BuildArchive(manyEntries);
    const std::string bigArchive = BuildArchive(bigEntries);

    for (const InterruptRow& row : interruptRows) {
        SCOPED_TRACE(row.label);
        CStubRunner runner;
        const std::string program = runner.MakeProgram("setup.run", row.big ? bigArchive : manyArchive);
        CStubRunner::Options options = Answer();
        options.signalToSend = row.signal;
        options.signalAt = row.at;
        const CStubRunner::Result result = runner.Run({program}, options);
        ASSERT_FALSE(result.timedOut);
        const std::map<std::string, std::string>& source = row.big ? big : many;
        const std::map<std::string, std::string> written = FilesBelow(runner.Folder() + "/setup");
        // Ended by its signal, or done before it came.
        const bool finished = result.out.find("Operace dokoncena") != std::string::npos;
        if (!finished) {
            EXPECT_EQ(result.signal, row.signal) << result.exitCode;
        }
        std::size_t temporary = 0;
        for (const auto& file : written) {
            if (row.signal == SIGKILL && IsTemporaryName(file.first)) {
                ++temporary;
                continue;
            }
            const auto entry = source.find(file.first);
            ASSERT_NE(entry, source.end()) << "left behind: " << file.first;
            EXPECT_TRUE(file.second == entry->second) << "not whole: " << file.first;
            // A handled signal leaves the line of every file it kept.
            if (row.signal != SIGKILL && row.signal != SIGPIPE) {
                EXPECT_NE(result.out.find("\nRozbaluji: " + file.first), std::string::npos) << file.first;
            }
        }
        if (row.signal == SIGKILL || row.signal == SIGPIPE || finished)
            continue;
        // The lines are those of the files kept, and at most one more: the entry it stopped.
        std::size_t lines = 0;
        for (std::size_t at = result.out.find("\nRozbaluji: "); at != std::string::npos;
             at = result.out.find("\nRozbaluji: ", at + 1))
            ++lines;
        EXPECT_LE(lines, written.size() + 1);
        EXPECT_GE(lines, written.size());
        EXPECT_EQ(result.out.find("Operace dokoncena"), std::string::npos);
        EXPECT_EQ(result.out.find(failedText), std::string::npos);
        EXPECT_EQ(temporary, 0u);
    }
}
