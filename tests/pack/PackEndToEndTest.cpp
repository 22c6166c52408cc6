// rozbal-pack run as a user runs it: a tree packed, then extracted by our stub and read by the peers.
#include "support/StubRunner.h"
#include "support/TreeSnapshot.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const std::string packer = ROZBAL_PACK_PATH;

// 7-Zip looks for an archive only so far behind a stub: a sanitizer build's stub (over 10 MiB) is
// too long for it, and there 7-Zip reads the packer's --zip-only output instead.
bool StubTooLongForSevenZip() {
    struct stat st;
    return stat(ROZBAL_STUB_PATH, &st) == 0 && st.st_size > (4 << 20);
}
constexpr long long treeTime = 1700000000; // 2023-11-14, whole seconds: the archive keeps seconds

void SetTime(const std::string& path, long long seconds) {
    const timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

void Write(const std::string& path, const std::string& bytes, mode_t mode = 0644) {
    CStubRunner::WriteFileBytes(path, bytes);
    ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

// A tree of everything the packer keeps: nested folders, thousands of small files, a big compressible and a
// random file (both larger than the piece a worker deflates at once), modes 755 and 600, links,
// an empty file and folder, Czech names. Folder times are set last, deepest first.
void MakeTree(const std::string& root) {
    std::mt19937 random(7);
    std::string noise(1536 * 1024 + 5, '\0');
    for (char& c : noise)
        c = static_cast<char>(random());
    std::string text;
    for (int i = 0; text.size() < 3 * 1024 * 1024; ++i)
        text += "line " + std::to_string(i) + " of a compressible file\n";
    std::vector<std::string> folders = {"", "a", "a/b", "a/b/c", "prázdná složka", "many"};
    for (const std::string& f : folders) {
        if (!f.empty()) {
            ASSERT_EQ(mkdir((root + "/" + f).c_str(), 0755), 0) << f;
        }
    }
    for (int d = 0; d < 10; ++d) {
        const std::string folder = "many/" + std::to_string(d);
        ASSERT_EQ(mkdir((root + "/" + folder).c_str(), 0755), 0);
        folders.push_back(folder);
        for (int i = 0; i < 250; ++i) {
            const std::string file = root + "/" + folder + "/f" + std::to_string(i);
            Write(file, text.substr(static_cast<std::size_t>(i * 37), i % 97));
            SetTime(file, treeTime + i);
        }
    }
    Write(root + "/a/b/c/big.txt", text);
    Write(root + "/a/noise.bin", noise);
    Write(root + "/a/small-noise.bin", noise.substr(0, 3000));
    Write(root + "/a/run.sh", "#!/bin/sh\necho hi\n", 0755);
    Write(root + "/a/b/secret", "private", 0600);
    Write(root + "/empty", "");
    Write(root + "/žluťoučký kůň.txt", "úpěl ďábelské ódy\n");
    ASSERT_EQ(symlink("../run.sh", (root + "/a/b/link").c_str()), 0);
    ASSERT_EQ(symlink("a/b/c", (root + "/to-c").c_str()), 0);
    for (const char* f : {"a/b/c/big.txt", "a/noise.bin", "a/small-noise.bin", "a/run.sh", "a/b/secret", "empty",
                          "žluťoučký kůň.txt", "a/b/link", "to-c"})
        SetTime(root + "/" + f, treeTime + static_cast<long long>(std::strlen(f)));
    for (auto f = folders.rbegin(); f != folders.rend(); ++f)
        SetTime(root + "/" + *f, treeTime - 3600);
}

class PackTest : public ::testing::Test {
  protected:
    void SetUp() override {
        previousMask = umask(022);
        source = runner.Folder() + "/tree";
        ASSERT_EQ(mkdir(source.c_str(), 0755), 0);
        MakeTree(source);
    }
    void TearDown() override { umask(previousMask); }

    CStubRunner::Result Pack(const std::vector<std::string>& arguments, const CStubRunner::Options& options = {}) {
        std::vector<std::string> argv(1, packer);
        for (const std::string& a : arguments)
            argv.push_back(a);
        return runner.Run(argv, options);
    }
    CStubRunner runner;
    std::string source;
    mode_t previousMask = 022;
};

// Every level: the stub gives back the tree as it was, to the mode, link and second; the packer
// says nothing on a pipe.
TEST_F(PackTest, RoundTripThroughTheStub) {
    const CTreeSnapshot before = CTreeSnapshot::Take(source);
    for (const char* level : {"-0", "-1", "-6", "-9"}) {
        SCOPED_TRACE(level);
        const std::string out = runner.Folder() + "/setup" + level + ".run";
        const CStubRunner::Result pack = Pack({level, "-o", out, source});
        ASSERT_EQ(pack.exitCode, 0) << pack.err;
        EXPECT_EQ(pack.out + pack.err, "");
        struct stat st;
        ASSERT_EQ(stat(out.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0755u);
        CStubRunner::Options answer;
        answer.input = "a\n";
        const CStubRunner::Result run = runner.Run({out}, answer);
        ASSERT_EQ(run.exitCode, 0) << run.out;
        const std::string extracted = runner.Folder() + "/setup" + level + "/tree";
        EXPECT_EQ(CTreeSnapshot::Take(extracted).ChangesSince(before), std::vector<std::string>{});
    }
}

// The peers read the output, the stub in front and all, without a word of warning.
TEST_F(PackTest, PeersReadTheOutputWithoutComplaint) {
    const std::string out = runner.Folder() + "/setup.run", zip = runner.Folder() + "/setup.zip";
    ASSERT_EQ(Pack({"-o", out, source}).exitCode, 0);
    ASSERT_EQ(Pack({"--zip-only", "-o", zip, source}).exitCode, 0);
    const struct {
        const char* tool;
        std::vector<std::string> argv;
        const char* complaint; // text no clean run prints
    } rows[] = {
        {"unzip", {"unzip", "-t", out}, "warning"},
        {"7z", {"7z", "t", StubTooLongForSevenZip() ? zip : out}, "Warnings"},
        {"bsdtar", {"bsdtar", "-tf", out}, "bsdtar:"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.tool);
        if (CStubRunner::FindProgram(row.tool).empty())
            GTEST_SKIP() << row.tool << " not installed";
        const CStubRunner::Result r = runner.Run(row.argv);
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_EQ((r.out + r.err).find(row.complaint), std::string::npos) << r.out << r.err;
    }
    const CStubRunner::Result listing = runner.Run({"unzip", "-Z1", out});
    EXPECT_NE(listing.out.find("tree/prázdná složka/\n"), std::string::npos) << listing.out;
    EXPECT_NE(listing.out.find("tree/a/b/c/big.txt\ntree/a/b/link\ntree/a/b/secret\n"), std::string::npos);
}

// The same tree gives the same bytes, packed a second later; SOURCE_DATE_EPOCH clamps the times.
TEST_F(PackTest, ReproducibleAndClamped) {
    const std::string first = runner.Folder() + "/1.zip", second = runner.Folder() + "/2.zip";
    ASSERT_EQ(Pack({"--zip-only", "-o", first, source}).exitCode, 0);
    sleep(1);
    ASSERT_EQ(Pack({"--zip-only", "-o", second, source}).exitCode, 0);
    EXPECT_TRUE(CStubRunner::ReadFileBytes(first) == CStubRunner::ReadFileBytes(second));

    const std::string clamped = runner.Folder() + "/clamped.run";
    const std::string pack =
        "SOURCE_DATE_EPOCH=" + std::to_string(treeTime) + " " + packer + " -o " + clamped + " " + source;
    ASSERT_EQ(runner.Run({"sh", "-c", pack}).exitCode, 0);
    CStubRunner::Options answer;
    answer.input = "a\n";
    ASSERT_EQ(runner.Run({clamped}, answer).exitCode, 0);
    struct stat later, earlier;
    ASSERT_EQ(stat((runner.Folder() + "/clamped/tree/a/run.sh").c_str(), &later), 0);
    ASSERT_EQ(stat((runner.Folder() + "/clamped/tree/a").c_str(), &earlier), 0);
    EXPECT_EQ(later.st_mtime, treeTime);
    EXPECT_EQ(earlier.st_mtime, treeTime - 3600);
}

// What goes in front of the archive.
TEST_F(PackTest, StubChoices) {
    const std::string zip = runner.Folder() + "/only.zip", custom = runner.Folder() + "/custom.run";
    ASSERT_EQ(Pack({"--zip-only", "-o", zip, source + "/a/run.sh"}).exitCode, 0);
    EXPECT_EQ(CStubRunner::ReadFileBytes(zip).substr(0, 4), "PK\3\4");
    struct stat st;
    ASSERT_EQ(stat(zip.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    CStubRunner::WriteFileBytes(runner.Folder() + "/front", "#!/bin/false\n");
    ASSERT_EQ(Pack({"--stub", runner.Folder() + "/front", "-o", custom, source + "/a/run.sh"}).exitCode, 0);
    EXPECT_EQ(CStubRunner::ReadFileBytes(custom).substr(0, 17), "#!/bin/false\nPK\3\4");
    const CStubRunner::Result r = runner.Run({"unzip", "-t", custom});
    EXPECT_EQ(r.exitCode, 0) << r.out;
}

// Every refusal names its cause and leaves no OUT, nor a temporary file, and an existing OUT as it was.
TEST_F(PackTest, ErrorsLeaveNoOutput) {
    ASSERT_EQ(mkdir((runner.Folder() + "/abs").c_str(), 0755), 0);
    ASSERT_EQ(symlink("/etc/passwd", (runner.Folder() + "/abs/absolute").c_str()), 0);
    ASSERT_EQ(mkdir((runner.Folder() + "/x").c_str(), 0755), 0);
    ASSERT_EQ(symlink("../../../tree", (runner.Folder() + "/x/up").c_str()), 0);
    ASSERT_EQ(mkfifo((runner.Folder() + "/fifo").c_str(), 0644), 0);
    const std::string out = runner.Folder() + "/out.run";
    const std::string f = runner.Folder();
    const struct {
        const char* label;
        std::vector<std::string> arguments;
        int status;
        std::string message;
    } rows[] = {
        {"missing source", {"-o", out, f + "/nothing"}, 1, f + "/nothing: No such file or directory"},
        {"absolute link", {"-o", out, f + "/abs"}, 1, f + "/abs/absolute: the link leads out of the archive"},
        {"link climbing out", {"-o", out, f + "/x"}, 1, f + "/x/up: the link leads out of the archive"},
        {"not a file", {"-o", out, f + "/fifo"}, 1, f + "/fifo: neither a file"},
        {"same name twice",
         {"-o", out, source + "/a", source + "/a/b/c/../.."},
         1,
         source + "/a/b/c/../..: another source is stored under the same name (a)"},
        {"no such output folder", {"-o", f + "/no/out.run", source + "/empty"}, 1, f + "/no/out.run: No such file"},
        {"password file missing",
         {"--password-file", f + "/none", "-o", out, source + "/empty"},
         1,
         f + "/none: No such"},
        {"no terminal for -p", {"-p", "-o", out, source + "/empty"}, 1, "-p needs a terminal"},
        {"no output", {source}, 2, "no output: -o OUT"},
        {"nothing to pack", {"-o", out}, 2, "nothing to pack"},
        {"unknown option", {"-x", "-o", out, source}, 2, "unknown option -x"},
        {"unknown target", {"--target", "vms", "-o", out, source}, 2, "unknown target vms"},
        {"two stubs",
         {"--zip-only", "--stub", out, "-o", out, source},
         2,
         "--zip-only, --stub and --target exclude each other"},
    };
    CStubRunner::WriteFileBytes(out + ".kept", "old");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        const CStubRunner::Result r = Pack(row.arguments);
        EXPECT_EQ(r.exitCode, row.status);
        EXPECT_EQ(r.err.rfind("rozbal-pack: " + row.message, 0), 0u) << r.err;
        EXPECT_EQ(access(out.c_str(), F_OK), -1);
    }
    // A failure over an existing OUT keeps it, and leaves nothing else.
    ASSERT_EQ(rename((out + ".kept").c_str(), out.c_str()), 0);
    EXPECT_EQ(Pack({"-o", out, f + "/x"}).exitCode, 1);
    EXPECT_EQ(CStubRunner::ReadFileBytes(out), "old");
    const CStubRunner::Result left = runner.Run({"sh", "-c", "ls -A " + f + " | grep -c '^\\.out'"});
    EXPECT_EQ(left.out, "0\n");
    // --keep-outside-links keeps them, as links.
    ASSERT_EQ(unlink(out.c_str()), 0);
    EXPECT_EQ(Pack({"--keep-outside-links", "--zip-only", "-o", out, f + "/abs", f + "/x"}).exitCode, 0);
    EXPECT_NE(runner.Run({"unzip", "-Z", out}).out.find("lrwxrwxrwx"), std::string::npos);
}

// --target windows puts the Windows stub in front, which extracts the tree under Wine (the 32-bit
// program the packer carries where 32-bit Wine runs, else the same sources built for 64 bits by
// `make test-windows`, given with --stub).
TEST_F(PackTest, WindowsTargetExtractsUnderWine) {
    const std::string out = runner.Folder() + "/setup.exe";
    const CStubRunner::Result pack = Pack({"--target", "windows", "-o", out, source + "/a"});
    if (pack.exitCode != 0)
        GTEST_SKIP() << pack.err; // built before `make windows`
    EXPECT_EQ(CStubRunner::ReadFileBytes(out).substr(0, 2), "MZ");
    const std::string win64 = std::string(ROZBAL_SOURCE_DIR) + "/build-win64/bin/rozbal.exe";
    std::string wine = "wine", arch = "win32";
    if (access("/usr/lib/wine/wine", X_OK) != 0) {
        if (access("/usr/lib/wine/wine64", X_OK) != 0 || access(win64.c_str(), R_OK) != 0)
            GTEST_SKIP() << "no Wine that runs the program here";
        wine = "/usr/lib/wine/wine64", arch = "win64";
        ASSERT_EQ(Pack({"--stub", win64, "-o", out, source + "/a"}).exitCode, 0);
    }
    // Wine's services keep the first call's output open: warmed up into /dev/null first. A prefix of
    // either kind serves only its own Wine.
    const std::string prefix = std::string(ROZBAL_PACK_WINEPREFIX) + "-" + arch;
    const std::string env =
        "WINEPREFIX='" + prefix + "' WINEARCH=" + arch + " LANG=C.UTF-8 LC_ALL=C.UTF-8 WINEDEBUG=-all ";
    CStubRunner::Options slow;
    slow.timeoutMs = 110000;
    ASSERT_EQ(
        runner
            .Run({"sh", "-c", "mkdir -p '" + prefix + "' && " + env + wine + " cmd /c ver >/dev/null 2>&1 </dev/null"},
                 slow)
            .exitCode,
        0);
    slow.input = "a\n";
    const CStubRunner::Result run = runner.Run({"sh", "-c", env + wine + " '" + out + "'"}, slow);
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("Rozbaluji: a\\b\\c\\big.txt\n"), std::string::npos) << run.out;
    for (const char* file : {"a/b/c/big.txt", "a/noise.bin", "a/run.sh", "a/b/secret"})
        EXPECT_TRUE(CStubRunner::ReadFileBytes(runner.Folder() + "/setup/" + file) ==
                    CStubRunner::ReadFileBytes(source + "/" + file))
            << file;
}

// --target linux-arm64 puts the aarch64 stub in front, which gives the tree back under qemu-user as the
// native one does. Skipped where the packer carries no such stub or no qemu-aarch64 is installed, except
// under `make test-arm64`, which names the emulator (ROZBAL_TEST_EMULATOR).
TEST_F(PackTest, Arm64TargetExtractsUnderQemu) {
    const bool required = std::getenv("ROZBAL_TEST_EMULATOR") != nullptr;
    const CTreeSnapshot before = CTreeSnapshot::Take(source);
    const std::string out = runner.Folder() + "/setup.run";
    const CStubRunner::Result pack = Pack({"--target", "linux-arm64", "-o", out, source});
    if (pack.exitCode != 0 && !required)
        GTEST_SKIP() << pack.err; // built without the cross compiler
    ASSERT_EQ(pack.exitCode, 0) << pack.err;
    const std::string header = CStubRunner::ReadFileBytes(out).substr(0, 20);
    EXPECT_EQ(header.substr(0, 4), "\177ELF");
    EXPECT_EQ(header.substr(18, 2), std::string("\xB7\0", 2)) << "not an aarch64 program";
    if (CStubRunner::EmulatorFor(out).empty()) {
        ASSERT_FALSE(required) << "no emulator for " << out;
        GTEST_SKIP() << "no qemu-aarch64 here";
    }
    CStubRunner::Options answer;
    answer.input = "a\n";
    answer.timeoutMs = 110000;
    const CStubRunner::Result run = runner.Run({out}, answer);
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_NE(run.out.find("Rozbaluji: tree/a/b/c/big.txt\n"), std::string::npos) << run.out;
    EXPECT_EQ(CTreeSnapshot::Take(runner.Folder() + "/setup/tree").ChangesSince(before), std::vector<std::string>{});
}

// Ctrl-C while packing removes the temporary file: nothing is left in the output's folder.
TEST_F(PackTest, InterruptionLeavesNothing) {
    std::mt19937 random(3);
    std::string bytes(32 << 20, '\0');
    for (std::size_t i = 0; i < bytes.size(); i += 4)
        bytes[i] = static_cast<char>(random() % 16);
    Write(source + "/slow.bin", bytes);
    const std::string folder = runner.Folder() + "/out";
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    auto entries = [&] {
        std::vector<std::string> names;
        DIR* dir = opendir(folder.c_str());
        while (const dirent* d = dir ? readdir(dir) : nullptr)
            if (d->d_name[0] != '.' || (d->d_name[1] != '\0' && std::strcmp(d->d_name, "..") != 0))
                names.push_back(d->d_name);
        if (dir)
            closedir(dir);
        return names;
    };
    const pid_t child = fork();
    if (child == 0) {
        signal(SIGINT, SIG_DFL);
        execl(packer.c_str(), packer.c_str(), "-9", "-o", (folder + "/out.run").c_str(), source.c_str(), nullptr);
        _exit(127);
    }
    // As soon as the temporary file is there, the packer is writing it.
    for (int i = 0; i < 20000 && entries().empty(); ++i)
        usleep(500);
    ASSERT_EQ(entries().size(), 1u);
    EXPECT_EQ(entries()[0].rfind(".out.run.", 0), 0u);
    kill(child, SIGINT);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
    EXPECT_EQ(entries(), std::vector<std::string>{});
}

// WinZip AES-256: the stub asks for the password and extracts, 7-Zip tests it, and refuses a wrong one.
TEST_F(PackTest, PasswordGivesAesEntries) {
    const CTreeSnapshot before = CTreeSnapshot::Take(source);
    CStubRunner::WriteFileBytes(runner.Folder() + "/pw", "tajné heslo\nsecond line\n");
    const std::string out = runner.Folder() + "/locked.run";
    ASSERT_EQ(Pack({"--password-file", runner.Folder() + "/pw", "-o", out, source}).exitCode, 0);
    CStubRunner::Options typed;
    typed.input = "a\n";
    typed.terminal = true;
    typed.terminalInput = "tajné heslo\n";
    const CStubRunner::Result run = runner.Run({out}, typed);
    ASSERT_EQ(run.exitCode, 0) << run.out;
    EXPECT_EQ(CTreeSnapshot::Take(runner.Folder() + "/locked/tree").ChangesSince(before), std::vector<std::string>{});
    const std::string zip = runner.Folder() + "/locked.zip";
    ASSERT_EQ(Pack({"--password-file", runner.Folder() + "/pw", "--zip-only", "-o", zip, source}).exitCode, 0);
    const std::string forSevenZip = StubTooLongForSevenZip() ? zip : out;
    EXPECT_EQ(runner.Run({"7z", "t", "-ptajné heslo", forSevenZip}).exitCode, 0);
    EXPECT_NE(runner.Run({"7z", "t", "-pwrong", forSevenZip}).exitCode, 0);

    // -p: asked twice on the terminal; two different answers fail.
    CStubRunner::Options twice;
    twice.terminal = true;
    twice.terminalInput = "pw\npw\n";
    const std::string asked = runner.Folder() + "/asked.zip";
    const CStubRunner::Result ok = Pack({"-p", "--zip-only", "-o", asked, source + "/a/run.sh"}, twice);
    EXPECT_EQ(ok.exitCode, 0) << ok.err;
    EXPECT_EQ(runner.Run({"7z", "t", "-ppw", asked}).exitCode, 0);
    twice.terminalInput = "pw\nwp\n";
    const CStubRunner::Result differ = Pack({"-p", "-o", runner.Folder() + "/no.run", source}, twice);
    EXPECT_EQ(differ.exitCode, 1);
    EXPECT_EQ(differ.err, "rozbal-pack: the passwords differ\n");
}

} // namespace
