// Extraction to disk: trees, times and modes, directory entries, and the guarantees that nothing is
// written outside the target folder and no existing file is lost to a failed entry.
#include "support/TempDir.h"
#include "support/ZipTestWriter.h"

#include "engine/ZipArchive.h"
#include "engine/ZipException.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace ziptest;
namespace fs = std::filesystem;

// Every path below root, folders with a trailing slash, links marked with " ->".
std::set<std::string> Tree(const std::string& root) {
    std::set<std::string> paths;
    std::error_code error;
    if (!fs::exists(fs::symlink_status(root, error)))
        return paths;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        std::string relative = it->path().lexically_relative(root).string();
        if (it->is_symlink())
            relative += " ->";
        else if (it->is_directory())
            relative += "/";
        paths.insert(relative);
    }
    return paths;
}

mode_t ModeOf(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

std::time_t MtimeOf(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mtime : -1;
}

mode_t Umask() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

// The outcome of one ExtractEntry: "true", "false" or the exception's code.
std::string Extract(CZipArchive& archive, std::uint16_t index, const std::string& folder,
                    std::uint32_t bufferSize = 65536) {
    try {
        return archive.ExtractEntry(index, folder.c_str(), true, nullptr, bufferSize) ? "true" : "false";
    } catch (const CZipException& e) {
        archive.CloseEntry(nullptr, true);
        return std::to_string(e.code);
    }
}

// An archive on disk, opened; its files written without a name until complete, or under
// temporary names (the way of systems without unnamed files).
struct Opened {
    explicit Opened(const std::vector<Entry>& entries, bool unnamedOutputs = true) {
        path = WriteFile(dir.Join("test.zip"), BuildArchive(entries));
        archive.Open(path.c_str());
        archive.SetUnnamedOutputs(unnamedOutputs);
    }
    CTempDir dir;
    std::string path;
    CZipArchive archive;
};

Entry Mode(Entry entry, std::uint32_t mode) {
    entry.externalAttr = UnixAttributes(mode);
    return entry;
}

class ExtractOutputs : public ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(UnnamedOrTemporary, ExtractOutputs, ::testing::Bool());

TEST_P(ExtractOutputs, TreesComeOutWithTheirTimesAndModes) {
    const std::vector<Entry> entries = {
        File("docs/guide/intro.txt", "nested, folders made first"),
        Dir("docs/"),
        Dir("empty/deeper/"),
        DosFile("readonly.txt", "dos read-only", dosReadOnly | dosArchive),
        Mode(File("run.sh", "#!/bin/sh\necho hi\n"), 0100755),
        DosFile("a/", "a folder, whatever its attributes say: its data are not written", dosArchive),
        File("./", "the target folder itself"),
        DosFile("..\\", "dots only: the target folder too", dosArchive),
        File("file.", "the dot goes"),
        File("c:b.txt", "the drive goes"),
        Mode(Dir("locked/"), 040555), // read-only folder listed before its file
        File("locked/inside.txt", "still extracted"),
        DosDir("dosdir/"),
        File("big.bin", std::string(200000, 'z')),
    };
    Opened zip(entries, GetParam());
    CTempDir out;
    const std::string target = out.Join("target");
    for (std::uint16_t i = 0; i < entries.size(); ++i)
        EXPECT_EQ(Extract(zip.archive, i, target), "true") << entries[i].name;

    EXPECT_EQ(Tree(target), (std::set<std::string>{"docs/", "docs/guide/", "docs/guide/intro.txt", "empty/",
                                                   "empty/deeper/", "readonly.txt", "run.sh", "a/", "file", "b.txt",
                                                   "locked/", "locked/inside.txt", "dosdir/", "big.bin"}));
    EXPECT_EQ(ReadFile(target + "/docs/guide/intro.txt"), "nested, folders made first");
    EXPECT_EQ(ReadFile(target + "/big.bin"), std::string(200000, 'z'));

    const mode_t mask = Umask();
    EXPECT_EQ(ModeOf(target + "/run.sh"), 0755 & ~mask);
    EXPECT_EQ(ModeOf(target + "/docs/guide/intro.txt"), 0644 & ~mask);
    EXPECT_EQ(ModeOf(target + "/readonly.txt") & 0222, 0u);
    // The owner keeps write and search rights on folders, whatever the entry says.
    EXPECT_EQ(ModeOf(target + "/locked"), (0555 & ~mask) | 0300);

    const std::time_t expected = LocalTime(2021, 6, 15, 12, 34, 56);
    for (const char* file : {"/run.sh", "/readonly.txt", "/file", "/big.bin", "/locked/inside.txt"})
        EXPECT_EQ(MtimeOf(target + file), expected) << file;
}

TEST(Extract, DirectoryEntriesWithAndWithoutExistingFolders) {
    Opened zip({Dir("exists/"), Dir("new/deeper/"), DosDir("new/"), Dir("./"), Dir("/")});
    CTempDir out;
    ASSERT_EQ(::mkdir(out.Join("exists").c_str(), 0700), 0);
    for (std::uint16_t i = 0; i < 5; ++i)
        EXPECT_EQ(Extract(zip.archive, i, out.Path()), "true") << i;
    EXPECT_EQ(Tree(out.Path()), (std::set<std::string>{"exists/", "new/", "new/deeper/"}));
    // The target folder itself is made sure of, but keeps its own mode.
    EXPECT_EQ(ModeOf(out.Path()), ModeOf(out.Path()) | 0700);
}

TEST_P(ExtractOutputs, ExistingFilesAreReplacedReadOnlyOnesToo) {
    Opened zip({File("ro.txt", "new content"), File("rw.txt", "also new")}, GetParam());
    CTempDir out;
    WriteFile(out.Join("ro.txt"), "old content that is longer");
    WriteFile(out.Join("rw.txt"), "old");
    ASSERT_EQ(::chmod(out.Join("ro.txt").c_str(), 0444), 0);
    EXPECT_EQ(Extract(zip.archive, 0, out.Path()), "true");
    EXPECT_EQ(Extract(zip.archive, 1, out.Path()), "true");
    EXPECT_EQ(ReadFile(out.Join("ro.txt")), "new content");
    EXPECT_EQ(ReadFile(out.Join("rw.txt")), "also new");
    EXPECT_EQ(Tree(out.Path()), (std::set<std::string>{"ro.txt", "rw.txt"}));
}

TEST(Extract, NamesThatLeaveTheTargetFolderTouchNothing) {
    const std::vector<Entry> entries = {
        File("../victim.txt", "overwritten"),
        File("a/../../victim.txt", "overwritten"),
        File("c:../victim.txt", "overwritten"),
        File("/../victim.txt", "overwritten"),
        Dir("../evil/"),
        Dir("a/../../evil/"),
        File(std::string("ok.txt\0/../../victim.txt", 25), "zero byte"),
        File("", "no name"),
        File(".", "a dot only"),
    };
    Opened zip(entries);
    CTempDir parent;
    WriteFile(parent.Join("victim.txt"), "original");
    const std::string target = parent.Join("out");
    for (std::uint16_t i = 0; i < entries.size(); ++i)
        EXPECT_EQ(Extract(zip.archive, i, target), "false") << i;
    // Not even the target folder was made.
    EXPECT_EQ(Tree(parent.Path()), (std::set<std::string>{"victim.txt"}));
    EXPECT_EQ(ReadFile(parent.Join("victim.txt")), "original");
}

TEST_P(ExtractOutputs, SymlinksBelowTheTargetFolderAreNeverWrittenThrough) {
    CTempDir elsewhere;
    WriteFile(elsewhere.Join("target.txt"), "original");
    const std::vector<Entry> entries = {
        File("link/x.txt", "through a folder link"),
        File("link/deeper/y.txt", "through a folder link"),
        Dir("link/sub/"),
        Dir("link/"),
        File("real/../link/z.txt", "through a folder link"),
        File("filelink", "replaces the link itself"),
    };
    Opened zip(entries, GetParam());
    CTempDir out;
    ASSERT_EQ(::symlink(elsewhere.Path().c_str(), out.Join("link").c_str()), 0);
    ASSERT_EQ(::symlink(elsewhere.Join("target.txt").c_str(), out.Join("filelink").c_str()), 0);
    ASSERT_EQ(::mkdir(out.Join("real").c_str(), 0700), 0);
    for (std::uint16_t i = 0; i < 5; ++i)
        EXPECT_EQ(Extract(zip.archive, i, out.Path()), "false") << entries[i].name;
    EXPECT_EQ(Extract(zip.archive, 5, out.Path()), "true");
    EXPECT_EQ(Tree(elsewhere.Path()), (std::set<std::string>{"target.txt"}));
    EXPECT_EQ(ReadFile(elsewhere.Join("target.txt")), "original");
    EXPECT_EQ(Tree(out.Path()), (std::set<std::string>{"link ->", "filelink", "real/"}));
    EXPECT_EQ(ReadFile(out.Join("filelink")), "replaces the link itself");
}

TEST_P(ExtractOutputs, AFailedEntryKeepsTheExistingFileAndLeavesNothingBehind) {
    const std::string text(3000, 'n');
    Entry crc = File("keep.txt", text, methodStored);
    crc.local.crc = crc.central.crc = 1;
    Entry data = File("keep.txt", text);
    data.rawData = "\x07" + Deflate(text).substr(1); // a reserved block type
    Entry early = File("keep.txt", text);
    early.local.uncompressedSize = early.central.uncompressedSize = 4000;
    Entry descriptor = File("keep.txt", text);
    descriptor.dataDescriptor = true;
    descriptor.descriptor.crc = 2;
    Entry fresh = crc;
    fresh.name = "new/fresh.txt";
    Entry password = File("keep.txt", text);
    password.password = "other";
    const std::vector<Entry> entries = {crc, data, early, descriptor, fresh, password};
    const char* outcomes[] = {"102", "504", "false", "101", "102", "110"};
    // An existing file is replaced through a temporary name; a new one gets its name only when whole.
    for (const bool existing : {true, false}) {
        Opened zip(entries, GetParam());
        zip.archive.SetPassword("wrong");
        CTempDir out;
        if (existing)
            WriteFile(out.Join("keep.txt"), "old");
        for (std::uint16_t i = 0; i < entries.size(); ++i) {
            EXPECT_EQ(Extract(zip.archive, i, out.Path()), outcomes[i]) << i << " existing " << existing;
            EXPECT_EQ(fs::exists(out.Join("keep.txt")), existing) << i;
            if (existing) {
                EXPECT_EQ(ReadFile(out.Join("keep.txt")), "old") << i;
            }
        }
        // The folder of the failed new file stays; no partial or temporary file anywhere.
        const std::set<std::string> left =
            existing ? std::set<std::string>{"keep.txt", "new/"} : std::set<std::string>{"new/"};
        EXPECT_EQ(Tree(out.Path()), left);
    }
}

TEST_P(ExtractOutputs, OutputInTheWayFailsCleanly) {
    Opened zip({File("dir", "a file where a folder is"), Dir("file/"), File("file/inside.txt", "x")}, GetParam());
    CTempDir out;
    ASSERT_EQ(::mkdir(out.Join("dir").c_str(), 0700), 0);
    WriteFile(out.Join("dir/keep"), "kept");
    WriteFile(out.Join("file"), "a file where a folder is wanted");
    EXPECT_EQ(Extract(zip.archive, 0, out.Path()), std::to_string(EISDIR));
    EXPECT_EQ(Extract(zip.archive, 1, out.Path()), "false");
    EXPECT_NE(Extract(zip.archive, 2, out.Path()), "true");
    EXPECT_EQ(Tree(out.Path()), (std::set<std::string>{"dir/", "dir/keep", "file"}));
}

// Folders known from earlier entries are not looked at again, but one that went meanwhile is made anew.
TEST(Extract, AFolderRemovedBetweenEntriesIsMadeAgain) {
    Opened zip({File("a/b/one.txt", "1"), File("a/b/two.txt", "2"), File("a/b/c/three.txt", "3")});
    CTempDir out;
    EXPECT_EQ(Extract(zip.archive, 0, out.Path()), "true");
    fs::remove_all(out.Join("a"));
    EXPECT_EQ(Extract(zip.archive, 1, out.Path()), "true");
    EXPECT_EQ(Extract(zip.archive, 2, out.Path()), "true");
    EXPECT_EQ(Tree(out.Path()), (std::set<std::string>{"a/", "a/b/", "a/b/two.txt", "a/b/c/", "a/b/c/three.txt"}));
}

// Between a file's making and its naming (the workers' time), its folder may go or be swapped for a
// link. An unnamed file is named in a folder made again, or in the folder it was made in, wherever
// that went; a temporary one, named by path, fails. None is named through the link.
TEST_P(ExtractOutputs, AFolderChangedBeforeTheNamingNeverLeadsTheFileAway) {
    struct Row {
        const char* label;
        bool swapForLink;
    };
    for (const Row row : {Row{"removed", false}, Row{"swapped for a link", true}}) {
        Opened zip({File("a/b/one.txt", "1")}, GetParam());
        CTempDir out, elsewhere;
        CZipExtraction job;
        int stopCode = 0;
        ASSERT_EQ(zip.archive.WriteEntry(job, 0, out.Path().c_str(), stopCode), CZipExtraction::DataDue) << row.label;
        if (row.swapForLink) {
            fs::rename(out.Join("a/b"), out.Join("a/moved"));
            fs::create_directory_symlink(elsewhere.Path(), out.Join("a/b"));
        } else {
            fs::remove_all(out.Join("a"));
        }
        bool named = false;
        try {
            named = zip.archive.EndExtraction(job);
        } catch (const CZipException&) {
        }
        EXPECT_EQ(Tree(elsewhere.Path()), std::set<std::string>{}) << row.label;
        EXPECT_EQ(named, GetParam()) << row.label;
        if (!GetParam())
            continue;
        const std::set<std::string> expected =
            row.swapForLink ? std::set<std::string>{"a/", "a/b ->", "a/moved/", "a/moved/one.txt"}
                            : std::set<std::string>{"a/", "a/b/", "a/b/one.txt"};
        EXPECT_EQ(Tree(out.Path()), expected) << row.label;
    }
}

// A folder entry with its time in a central UT block, as Info-ZIP zip writes it.
Entry DirAt(const std::string& name, std::uint32_t seconds) {
    Entry dir = Dir(name);
    dir.centralExtra = std::string("\x55\x54\x05\x00\x01", 5);
    for (int i = 0; i < 4; ++i)
        dir.centralExtra += static_cast<char>((seconds >> (8 * i)) & 0xFF);
    return dir;
}

// Folder times wait for the last entry, deepest first; a folder replaced by a link meanwhile, or
// reached through one, is left alone, and so is what the link points to.
TEST(Extract, FolderTimesComeLastAndNeverThroughALink) {
    Opened zip({DirAt("a/", 1000000001), DirAt("a/b/", 1000000003), File("a/b/f.txt", "f"), DirAt("c/", 1000000005),
                DirAt("d/", 1000000007), DirAt("d/e/", 1000000009)});
    CTempDir out;
    const std::string target = out.Join("target");
    for (std::uint16_t i = 0; i < 6; ++i)
        EXPECT_EQ(Extract(zip.archive, i, target), "true") << i;
    const std::string elsewhere = out.Join("elsewhere");
    ASSERT_EQ(::mkdir(elsewhere.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((elsewhere + "/e").c_str(), 0755), 0);
    const std::time_t before = MtimeOf(elsewhere);
    fs::remove_all(target + "/c");
    fs::remove_all(target + "/d");
    ASSERT_EQ(::symlink(elsewhere.c_str(), (target + "/c").c_str()), 0);
    ASSERT_EQ(::symlink(elsewhere.c_str(), (target + "/d").c_str()), 0);
    const std::time_t innerBefore = MtimeOf(elsewhere + "/e");

    zip.archive.ApplyFolderTimes();
    EXPECT_EQ(MtimeOf(target + "/a"), 1000000001);
    EXPECT_EQ(MtimeOf(target + "/a/b"), 1000000003);
    EXPECT_EQ(MtimeOf(elsewhere), before);
    EXPECT_EQ(MtimeOf(elsewhere + "/e"), innerBefore);
}

class StopAtFirstChunk : public CZipActionCallback {
  public:
    void Begin(const char* name, const char*) override { log += std::string("begin ") + name + ";"; }
    void SetSize(std::uint64_t size) override { log += "size " + std::to_string(size) + ";"; }
    void Finish() override { log += "finish;"; }
    bool Progress(std::uint32_t bytes) override {
        log += "progress " + std::to_string(bytes) + ";";
        return false;
    }
    std::string log;
};

TEST_P(ExtractOutputs, AProgressCallbackCanStopSafelyOrNot) {
    Opened zip({File("whole.txt", std::string(100, 'w')), File("part.txt", std::string(100000, 'p')),
                File("exact.txt", std::string(1024, 'e')), Dir("d/")},
               GetParam());
    StopAtFirstChunk callback;
    zip.archive.SetCallback(&callback, CZipArchive::CallbackExtract);
    CTempDir out;
    EXPECT_EQ(Extract(zip.archive, 0, out.Path()), std::to_string(CZipException::SafeAbort));
    EXPECT_EQ(callback.log, "begin whole.txt;size 100;progress 100;finish;");
    EXPECT_EQ(Extract(zip.archive, 1, out.Path()), std::to_string(CZipException::Aborted));
    // A full chunk that was the whole entry: the probe finds nothing more.
    EXPECT_EQ(Extract(zip.archive, 2, out.Path(), 1024), std::to_string(CZipException::SafeAbort));
    callback.log.clear();
    EXPECT_EQ(Extract(zip.archive, 3, out.Path()), "true");
    EXPECT_EQ(callback.log, "begin d\\;size 0;finish;");
    // Safely stopped entries are complete; the other one is not kept.
    EXPECT_EQ(Tree(out.Path()), (std::set<std::string>{"whole.txt", "exact.txt", "d/"}));
    EXPECT_EQ(ReadFile(out.Join("exact.txt")), std::string(1024, 'e'));
}

} // namespace
