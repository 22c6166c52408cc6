#pragma once

#include "support/TempDir.h"

#include <string>
#include <vector>

// Runs programs as a user would, for end-to-end tests.
//
// A runner owns a fresh temporary folder (a CTempDir, removed with the runner). MakeProgram writes a self-extractor
// into it: the built stub (StubPath()) followed by the archive bytes, made executable. Run starts any program
// with bytes on standard input and captures standard output and standard error separately, byte for byte, through
// pipes.
//
// The child always starts a session of its own, so it has no controlling terminal and opening
// /dev/tty fails, unless Options::terminal asks for a pseudo-terminal: it then becomes the child's
// controlling terminal while standard input and output stay pipes, and Options::terminalInput is
// typed on it (for example a password line) once the child runs. Whatever the terminal shows (its
// echo) comes back in Result::terminal.
//
//     CStubRunner runner;
//     const std::string program = runner.MakeProgram("setup.run", archiveBytes);
//     CStubRunner::Options options;
//     options.input = "a\n";
//     const CStubRunner::Result result = runner.Run({program}, options);
//     EXPECT_EQ(result.exitCode, 0);
//     EXPECT_EQ(CStubRunner::ListTree(runner.Folder() + "/setup"), "f 644 a.txt 5 hello\n");
class CStubRunner {
  public:
    struct Options {
        std::string input;         // written to standard input, which is then closed (end of input)
        bool closeStdin = false;   // start with no standard input at all instead (descriptor 0 closed)
        bool terminal = false;     // give the child a pseudo-terminal as its controlling terminal
        std::string terminalInput; // typed on that terminal once the child has started
        std::string workDir;       // the child's current directory; empty = the runner's folder
        int timeoutMs = 20000;     // then the child and its session are killed (4 times as long emulated)
        // Non-zero: the child may write no file beyond this many bytes (RLIMIT_FSIZE), and a write
        // past it fails with EFBIG instead of raising SIGXFSZ, as a full disk fails a write.
        unsigned long long fileSizeLimit = 0;
        // Non-empty: the child's LANG, with LC_ALL and LC_CTYPE unset so that LANG decides.
        std::string locale;
        // Non-zero: once standard output has shown signalAt, the child gets this signal; SIGPIPE
        // instead closes the reading end of its output, as a reader that quits early does.
        int signalToSend = 0;
        std::string signalAt;
    };
    struct Result {
        std::string out;      // standard output, exact bytes
        std::string err;      // standard error
        std::string terminal; // what the pseudo-terminal showed (the echo of what was typed)
        int exitCode = -1;    // exit status 0..255, or -1 when the child did not exit normally
        int signal = 0;       // the signal that ended the child, 0 when it exited
        bool timedOut = false;
        // The child's largest resident set in KiB, as sampled while it ran (every output and every
        // 10 ms): it can only miss growth in the child's last moments.
        long peakRssKb = 0;
    };

    const std::string& Folder() const { return folder.Path(); }

    // The stub under test: $ROZBAL_TEST_STUB when set (ctest runs the end-to-end suites once more
    // with the stub that always extracts with several threads), else the build's stub.
    static std::string StubPath();

    // The words in front of a program built for another processor than the tests, which runs through
    // an emulator: $ROZBAL_TEST_EMULATOR (split at spaces) when set, else for an aarch64 program
    // qemu-aarch64 with the cross C library (/usr/aarch64-linux-gnu) where it is installed. Empty
    // for one of this machine's, or for a file that is no ELF program. Run puts them in front of
    // argv[0], or of the program that `env NAME=VALUE... program` starts.
    static std::vector<std::string> EmulatorFor(const std::string& program);

    // Writes stub + archive to Folder()/fileName with mode 0755 and returns its path. A fileName
    // with slashes makes the folders it names.
    std::string MakeProgram(const std::string& fileName, const std::string& archive,
                            const std::string& stubPath = StubPath()) const;

    // Runs argv (argv[0] is a path, or a name searched in PATH) and waits for it to end.
    Result Run(const std::vector<std::string>& argv, const Options& options) const;
    Result Run(const std::vector<std::string>& argv) const { return Run(argv, Options()); }

    // One line per file, folder and symlink below root, sorted by path, for comparing trees:
    //   "d 755 docs/"                         a folder, with its permission bits in octal
    //   "f 444 docs/a.txt 5 hello"            a file: mode, size, contents (C-escaped; files
    //                                         over 200 bytes show "<N bytes>" instead)
    //   "l docs/link -> target"               a symlink
    // A missing root gives "missing\n".
    static std::string ListTree(const std::string& root);
    static std::string ReadFileBytes(const std::string& path);
    static void WriteFileBytes(const std::string& path, const std::string& bytes);
    // Searches PATH like a shell; empty when the program is not there.
    static std::string FindProgram(const std::string& name);

  private:
    CTempDir folder;
};
