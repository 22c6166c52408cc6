// The end-to-end runner itself: a fault here would let stub tests pass for the wrong reason.
#include "support/StubRunner.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const readBoth =
    "read a; read t </dev/tty && echo \"in=$a tty=$t\" || echo \"in=$a no tty\"; echo e >&2; exit 3";

TEST(StubRunner, PipesTerminalAndStatus) {
    CStubRunner runner;
    CStubRunner::Options options;
    options.input = "typed\n";
    CStubRunner::Result result = runner.Run({"sh", "-c", readBoth}, options);
    EXPECT_EQ(result.out, "in=typed no tty\n");
    EXPECT_NE(result.err.find("e\n"), std::string::npos);
    EXPECT_EQ(result.exitCode, 3);

    options.terminal = true;
    options.terminalInput = "secret\n";
    result = runner.Run({"sh", "-c", readBoth}, options);
    EXPECT_EQ(result.out, "in=typed tty=secret\n");
    EXPECT_EQ(result.err, "e\n");
    EXPECT_EQ(result.terminal, "secret\r\n"); // the echo, with the terminal's own line ending

    options = CStubRunner::Options();
    options.closeStdin = true;
    result = runner.Run({"sh", "-c", "cat 2>/dev/null; echo $?"}, options);
    EXPECT_EQ(result.out, "1\n");
}

TEST(StubRunner, TimeoutKillsTheChild) {
    CStubRunner runner;
    CStubRunner::Options options;
    options.timeoutMs = 200;
    const CStubRunner::Result result = runner.Run({"sleep", "30"}, options);
    EXPECT_TRUE(result.timedOut);
    EXPECT_EQ(result.signal, SIGKILL);
    EXPECT_EQ(result.exitCode, -1);
}

TEST(StubRunner, ListTreeShowsKindsModesAndContents) {
    const mode_t previousMask = ::umask(022); // the modes below are those of a 022 mask
    CStubRunner runner;
    const std::string program = runner.MakeProgram("d/e/x.run", "", "/dev/null");
    CStubRunner::WriteFileBytes(runner.Folder() + "/d/a\\b.txt", "line\n\x01\\");
    ASSERT_EQ(::symlink("e/x.run", (runner.Folder() + "/d/link").c_str()), 0);
    EXPECT_EQ(CStubRunner::ListTree(runner.Folder()), "d 755 d/\n"
                                                      "f 644 d/a\\b.txt 7 line\\n\\x01\\\\\n"
                                                      "d 755 d/e/\n"
                                                      "f 755 d/e/x.run 0 \n"
                                                      "l d/link -> e/x.run\n");
    EXPECT_EQ(CStubRunner::ListTree(runner.Folder() + "/none"), "missing\n");
    ::umask(previousMask);
}

} // namespace
