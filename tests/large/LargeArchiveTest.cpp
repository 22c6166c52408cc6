// Archives too big for the quick suite (ctest label "large", `make test-large`): an entry past 4 GiB,
// single and split into volumes, and 7-Zip's archive of more than 65 535 files, through the stub; the
// same from rozbal-pack, its ZIP64 records.
#include "support/StubRunner.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr long long hugeSize = 4608LL << 20; // 4.5 GiB

// Marks at the start, across the 4 GiB line and at the end of a sparse file of zeros: data put at
// the wrong place or cut at 32 bits does not pass for the file.
struct Mark {
    long long offset;
    std::string text;
};
const std::vector<Mark>& Marks() {
    static const std::vector<Mark> marks = {
        {0, "first bytes"}, {(4LL << 30) - 5, "across 4 GiB"}, {hugeSize - 8, "the end"}};
    return marks;
}

bool Tools(std::initializer_list<const char*> names) {
    for (const char* name : names) {
        if (!CStubRunner::FindProgram(name).empty())
            continue;
        if (std::getenv("CI"))
            ADD_FAILURE() << name << " is required in CI";
        return false;
    }
    return true;
}

bool MakeSparseSource(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    bool ok = fd >= 0 && ::ftruncate(fd, hugeSize) == 0;
    for (const Mark& mark : Marks())
        ok = ok &&
             ::pwrite(fd, mark.text.data(), mark.text.size(), mark.offset) == static_cast<ssize_t>(mark.text.size());
    return fd >= 0 && ::close(fd) == 0 && ok;
}

// The size and the marks; the stub itself checked the CRC of every byte.
void ExpectHugeFile(const std::string& path, const char* label) {
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0) << label;
    EXPECT_EQ(st.st_size, hugeSize) << label;
    const int fd = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0) << label;
    for (const Mark& mark : Marks()) {
        std::string read(mark.text.size(), '\0');
        EXPECT_EQ(::pread(fd, read.data(), read.size(), mark.offset), static_cast<ssize_t>(read.size())) << label;
        EXPECT_EQ(read, mark.text) << label;
    }
    ::close(fd);
}

// The archives of a row, with the one rozbal-pack makes where it was built beside the suite.
std::vector<const char*> Archives(std::vector<const char*> peers, const char* packed) {
#ifdef ROZBAL_PACK_PATH
    peers.push_back(packed);
#else
    static_cast<void>(packed);
#endif
    return peers;
}

std::string PackCommand(const std::string& source, const std::string& archive) {
#ifdef ROZBAL_PACK_PATH
    return std::string("'") + ROZBAL_PACK_PATH + "' -1 -q --zip-only -o " + archive + " " + source + " && ";
#else
    static_cast<void>(source);
    static_cast<void>(archive);
    return "";
#endif
}

std::string Head(const std::string& target, int count) {
    return "Rozbalit archiv do: " + target +
           "?\tA/N\t\nInicializace archivu ...  OK\nPocet souboru: " + std::to_string(count) +
           " \n-------------------------------------------\n\n";
}

std::string Listing(const std::string& target, int count, const std::string& lines) {
    return Head(target, count) + lines + "\n\n-------------------------------------------\nOperace dokoncena.\n\n";
}

TEST(LargeArchive, EntryPast4GiBSingleAndSplit) {
    if (!Tools({"zip"}))
        GTEST_SKIP() << "Info-ZIP zip is not installed";
    CStubRunner runner;
    const std::string folder = runner.Folder();
    ASSERT_TRUE(MakeSparseSource(folder + "/huge.bin"));
    // The split set is named as the program's volumes (setup.z01, ...) from the start.
    const std::string command =
        "cd '" + folder + "' && zip -q -1 one.zip huge.bin && " + PackCommand("huge.bin", "pack.zip") +
        "rm huge.bin && " + "zip -q -s 2m one.zip --out setup.zip";
    ASSERT_EQ(std::system(command.c_str()), 0);
    for (const char* archive : Archives({"one.zip", "setup.zip"}, "pack.zip")) {
        const std::string program = runner.MakeProgram("setup.run", CStubRunner::ReadFileBytes(folder + "/" + archive));
        CStubRunner::Options options;
        options.input = "a\n";
        options.timeoutMs = 600000;
        const CStubRunner::Result result = runner.Run({program}, options);
        const std::string target = folder + "/setup";
        EXPECT_EQ(result.out, Listing(target, 1, "\nRozbaluji: huge.bin")) << archive;
        EXPECT_EQ(result.exitCode, 0) << archive;
        ExpectHugeFile(target + "/huge.bin", archive);
        ::unlink((target + "/huge.bin").c_str());
    }
}

TEST(LargeArchive, SevenZipWithMoreThan65535Files) {
    if (!Tools({"7z"}))
        GTEST_SKIP() << "7-Zip is not installed";
    constexpr int count = 70000;
    CStubRunner runner;
    const std::string folder = runner.Folder();
    const std::string source = folder + "/src";
    ::mkdir(source.c_str(), 0755);
    for (int i = 0; i < count; ++i)
        CStubRunner::WriteFileBytes(source + "/f" + std::to_string(i), std::to_string(i));
    // rozbal-pack stores the folder too, as src/: one entry more, below src/.
    const std::string command = "cd '" + folder + "' && " + PackCommand("src", "packed.zip") + "cd '" + source +
                                "' && 7z a -bd -mx=1 ../many.zip . > /dev/null && cd .. && rm -rf src";
    ASSERT_EQ(std::system(command.c_str()), 0);
    for (const char* archive : Archives({"many.zip"}, "packed.zip")) {
        SCOPED_TRACE(archive);
        const bool packed = std::string(archive) == "packed.zip";
        const std::string setup = folder + "/setup", files = packed ? setup + "/src/f" : setup + "/f";
        const int entries = packed ? count + 1 : count;
        const std::string program = runner.MakeProgram("setup.run", CStubRunner::ReadFileBytes(folder + "/" + archive));
        CStubRunner::Options options;
        options.input = "a\n";
        options.timeoutMs = 300000;
        const CStubRunner::Result result = runner.Run({program}, options);
        EXPECT_EQ(result.exitCode, 0);
        // The true count, and every entry shown once.
        EXPECT_EQ(result.out.rfind(Head(setup, entries), 0), 0u) << result.out.substr(0, 300);
        std::size_t shown = 0;
        for (std::size_t at = 0; (at = result.out.find("\nRozbaluji: ", at)) != std::string::npos; ++at)
            ++shown;
        EXPECT_EQ(shown, static_cast<std::size_t>(entries));
        EXPECT_EQ(result.out.find("nepodarilo"), std::string::npos);
        for (int i : {0, 65535, 65536, count - 1})
            EXPECT_EQ(CStubRunner::ReadFileBytes(files + std::to_string(i)), std::to_string(i)) << i;
        // 64 bytes an entry besides its name: far below the 200 that a header object with its own name cost.
        EXPECT_LT(result.peakRssKb, 12 * 1024);
        ASSERT_EQ(std::system(("rm -rf '" + setup + "'").c_str()), 0);
    }
}

} // namespace
