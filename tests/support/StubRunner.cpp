#include "support/StubRunner.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <elf.h>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr std::size_t listedContentMax = 200;
constexpr int memorySampleMs = 10;
constexpr int emulatedSlowdown = 4;

// The high-water mark of the process's resident set since its exec (VmHWM), 0 once it has ended.
// The rusage of a forked child would count the pages it shared with the test before its exec.
long PeakRssKb(pid_t pid) {
    FILE* status = std::fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
    if (!status)
        return 0;
    long kb = 0;
    char line[256];
    while (std::fgets(line, sizeof line, status))
        if (std::sscanf(line, "VmHWM: %ld kB", &kb) == 1)
            break;
    std::fclose(status);
    return kb;
}

// An ELF file's machine (e_machine), 0 for anything else.
unsigned ElfMachine(const std::string& path) {
    unsigned char header[20] = {};
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return 0;
    const std::size_t got = std::fread(header, 1, sizeof header, file);
    std::fclose(file);
    if (got < sizeof header || std::memcmp(header, "\177ELF", 4) != 0)
        return 0;
    return header[5] == ELFDATA2MSB ? header[18] * 256u + header[19] : header[19] * 256u + header[18];
}

[[noreturn]] void Fail(const std::string& what) { throw std::runtime_error(what + ": " + std::strerror(errno)); }

void MakeParents(const std::string& path) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        ::mkdir(path.substr(0, slash).c_str(), 0755);
}

std::string Escaped(const std::string& bytes) {
    std::string shown;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\')
            shown += "\\\\";
        else if (c == '\n')
            shown += "\\n";
        else if (byte < 0x20 || byte == 0x7F) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", byte);
            shown += hex;
        } else
            shown += c;
    }
    return shown;
}

void ListInto(const std::string& root, const std::string& relative, std::vector<std::string>& lines) {
    DIR* dir = ::opendir((root + "/" + relative).c_str());
    if (!dir)
        return;
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    ::closedir(dir);
    for (const std::string& name : names) {
        const std::string rel = relative.empty() ? name : relative + "/" + name;
        const std::string full = root + "/" + rel;
        struct stat st;
        if (::lstat(full.c_str(), &st) != 0)
            continue;
        char mode[8];
        std::snprintf(mode, sizeof mode, "%03o", static_cast<unsigned>(st.st_mode & 07777));
        if (S_ISLNK(st.st_mode)) {
            std::string target(4096, '\0');
            const ssize_t n = ::readlink(full.c_str(), &target[0], target.size());
            target.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
            lines.push_back("l " + rel + " -> " + target);
        } else if (S_ISDIR(st.st_mode)) {
            lines.push_back(std::string("d ") + mode + " " + rel + "/");
            ListInto(root, rel, lines);
        } else if (S_ISREG(st.st_mode)) {
            const auto size = static_cast<std::size_t>(st.st_size);
            const std::string contents = size <= listedContentMax ? Escaped(CStubRunner::ReadFileBytes(full))
                                                                  : "<" + std::to_string(size) + " bytes>";
            lines.push_back(std::string("f ") + mode + " " + rel + " " + std::to_string(size) + " " + contents);
        } else {
            lines.push_back(std::string("? ") + mode + " " + rel);
        }
    }
}

// The pseudo-terminal the child gets when Options::terminal is set.
struct Terminal {
    int master = -1;
    std::string slavePath;

    void Open() {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0)
            Fail("posix_openpt");
        char name[256];
        if (::grantpt(master) != 0 || ::unlockpt(master) != 0 || ::ptsname_r(master, name, sizeof name) != 0)
            Fail("pseudo-terminal setup");
        slavePath = name;
    }
    ~Terminal() {
        if (master >= 0)
            ::close(master);
    }
};

struct Pipe {
    int fds[2] = {-1, -1};
    Pipe() {
        if (::pipe2(fds, O_CLOEXEC) != 0)
            Fail("pipe2");
    }
    ~Pipe() {
        CloseRead();
        CloseWrite();
    }
    void CloseRead() {
        if (fds[0] >= 0)
            ::close(fds[0]);
        fds[0] = -1;
    }
    void CloseWrite() {
        if (fds[1] >= 0)
            ::close(fds[1]);
        fds[1] = -1;
    }
};

// Reports errno on the status pipe and ends the child.
[[noreturn]] void ChildFailed(int statusFd) {
    const int error = errno;
    const ssize_t ignored = ::write(statusFd, &error, sizeof error);
    (void)ignored;
    ::_exit(127);
}

// Child side between fork and exec: only async-signal-safe calls.
[[noreturn]] void StartChild(char* const* argv, const char* workDir, const Pipe& in, const Pipe& out, const Pipe& err,
                             const Pipe& status, bool closeStdin, const char* slavePath,
                             unsigned long long fileSizeLimit, char* const* environment) {
    const auto fail = [&status]() { ChildFailed(status.fds[1]); };
    if (::setsid() < 0)
        fail();
    if (fileSizeLimit != 0) {
        const rlimit limit{fileSizeLimit, fileSizeLimit};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            fail();
        ::signal(SIGXFSZ, SIG_IGN); // an ignored signal stays ignored across exec
    }
    if (slavePath) {
        // The first terminal a session leader opens becomes its controlling terminal; TIOCSCTTY makes
        // it so explicitly. The descriptor stays open (no O_CLOEXEC) so the terminal lives on.
        const int slave = ::open(slavePath, O_RDWR);
        if (slave < 0 || ::ioctl(slave, TIOCSCTTY, 0) != 0)
            fail();
    }
    if (closeStdin)
        ::close(0);
    else if (::dup2(in.fds[0], 0) < 0)
        fail();
    if (::dup2(out.fds[1], 1) < 0 || ::dup2(err.fds[1], 2) < 0)
        fail();
    if (::chdir(workDir) != 0)
        fail();
    ::signal(SIGPIPE, SIG_DFL);
    ::execvpe(argv[0], argv, environment);
    ChildFailed(status.fds[1]);
}

void ReadSome(int& fd, std::string& into) {
    char buffer[65536];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
        into.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        // A pseudo-terminal master reports EIO once the child's side is closed.
        ::close(fd);
        fd = -1;
    }
}

} // namespace

std::string CStubRunner::StubPath() {
    const char* chosen = std::getenv("ROZBAL_TEST_STUB");
    return chosen && *chosen ? chosen : ROZBAL_STUB_PATH;
}

std::vector<std::string> CStubRunner::EmulatorFor(const std::string& program) {
    static const unsigned native = ElfMachine("/proc/self/exe");
    const unsigned machine = ElfMachine(program);
    if (machine == 0 || machine == native)
        return {};
    std::vector<std::string> words;
    const char* chosen = std::getenv("ROZBAL_TEST_EMULATOR");
    if (chosen && *chosen) {
        const std::string line = chosen;
        for (std::size_t at = 0; at < line.size();) {
            const std::size_t end = std::min(line.find(' ', at), line.size());
            if (end > at)
                words.push_back(line.substr(at, end - at));
            at = end + 1;
        }
    } else if (machine == EM_AARCH64 && !FindProgram("qemu-aarch64").empty()) {
        words = {"qemu-aarch64", "-L", "/usr/aarch64-linux-gnu"};
    }
    return words;
}

std::string CStubRunner::MakeProgram(const std::string& fileName, const std::string& archive,
                                     const std::string& stubPath) const {
    const std::string path = Folder() + "/" + fileName;
    MakeParents(path);
    WriteFileBytes(path, ReadFileBytes(stubPath) + archive);
    if (::chmod(path.c_str(), 0755) != 0)
        Fail("chmod " + path);
    return path;
}

CStubRunner::Result CStubRunner::Run(const std::vector<std::string>& argv, const Options& options) const {
    if (argv.empty())
        throw std::invalid_argument("CStubRunner::Run: no program");
    // The program is argv[0], or the one `env NAME=VALUE...` starts.
    std::size_t program = 0;
    if (argv[0] == "env")
        for (program = 1; program + 1 < argv.size() && argv[program].find('=') != std::string::npos;)
            ++program;
    std::vector<std::string> emulated(argv.begin(), argv.begin() + static_cast<std::ptrdiff_t>(program));
    const std::vector<std::string> emulator = EmulatorFor(argv[program]);
    emulated.insert(emulated.end(), emulator.begin(), emulator.end());
    emulated.insert(emulated.end(), argv.begin() + static_cast<std::ptrdiff_t>(program), argv.end());
    std::vector<char*> args;
    for (const std::string& arg : emulated)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const std::string workDir = options.workDir.empty() ? Folder() : options.workDir;
    // Made before the fork: the child may only make async-signal-safe calls.
    std::vector<std::string> settings;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        const std::string setting = *variable;
        const std::string name = setting.substr(0, setting.find('='));
        if (options.locale.empty() || (name != "LC_ALL" && name != "LC_CTYPE" && name != "LANG"))
            settings.push_back(setting);
    }
    if (!options.locale.empty())
        settings.push_back("LANG=" + options.locale);
    std::vector<char*> environment;
    for (std::string& setting : settings)
        environment.push_back(&setting[0]);
    environment.push_back(nullptr);

    Terminal terminal;
    if (options.terminal)
        terminal.Open();
    Pipe in, out, err, status;
    // A child that stops reading its input must not kill the test with SIGPIPE.
    ::signal(SIGPIPE, SIG_IGN);

    const pid_t pid = ::fork();
    if (pid < 0)
        Fail("fork");
    if (pid == 0)
        StartChild(args.data(), workDir.c_str(), in, out, err, status, options.closeStdin,
                   options.terminal ? terminal.slavePath.c_str() : nullptr, options.fileSizeLimit, environment.data());

    in.CloseRead();
    out.CloseWrite();
    err.CloseWrite();
    status.CloseWrite();
    // The status pipe closes on exec: from then on the child runs with its terminal attached.
    int childError = 0;
    ssize_t got;
    do
        got = ::read(status.fds[0], &childError, sizeof childError);
    while (got < 0 && errno == EINTR);

    Result result;
    if (got > 0) {
        ::waitpid(pid, nullptr, 0);
        errno = childError;
        Fail("starting " + argv[0]);
    }

    std::string toStdin = options.input;
    std::string toTerminal = options.terminalInput;
    int inFd = in.fds[1];
    in.fds[1] = -1; // closed below, as soon as all input is written
    if (options.closeStdin && inFd >= 0) {
        ::close(inFd);
        inFd = -1;
    }
    int outFd = out.fds[0], errFd = err.fds[0];
    out.fds[0] = err.fds[0] = -1;
    int& termFd = terminal.master; // -1 without a terminal
    // An emulated program runs several times slower (qemu-user translates every instruction).
    const int timeoutMs = options.timeoutMs * (emulator.empty() ? 1 : emulatedSlowdown);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool signalSent = false;

    while (outFd >= 0 || errFd >= 0) {
        if (inFd >= 0 && toStdin.empty()) {
            ::close(inFd);
            inFd = -1;
        }
        std::vector<pollfd> polled;
        if (inFd >= 0)
            polled.push_back({inFd, POLLOUT, 0});
        polled.push_back({outFd, POLLIN, 0});
        polled.push_back({errFd, POLLIN, 0});
        if (termFd >= 0)
            polled.push_back({termFd, static_cast<short>(POLLIN | (toTerminal.empty() ? 0 : POLLOUT)), 0});
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timedOut = true;
            ::kill(-pid, SIGKILL);
            ::kill(pid, SIGKILL);
            break;
        }
        const int wait = static_cast<int>(std::min<long long>(left.count(), memorySampleMs));
        if (::poll(polled.data(), polled.size(), wait) < 0 && errno != EINTR)
            Fail("poll");
        result.peakRssKb = std::max(result.peakRssKb, PeakRssKb(pid));
        for (const pollfd& p : polled) {
            if (!p.revents)
                continue;
            if (p.fd == inFd) {
                const ssize_t n = ::write(inFd, toStdin.data(), toStdin.size());
                if (n > 0)
                    toStdin.erase(0, static_cast<std::size_t>(n));
                else if (n < 0 && errno != EINTR && errno != EAGAIN)
                    toStdin.clear(); // the child closed its input
            } else if (p.fd == outFd) {
                ReadSome(outFd, result.out);
                if (options.signalToSend != 0 && !signalSent &&
                    result.out.find(options.signalAt) != std::string::npos) {
                    signalSent = true;
                    if (options.signalToSend != SIGPIPE) {
                        ::kill(pid, options.signalToSend);
                    } else if (outFd >= 0) {
                        ::close(outFd);
                        outFd = -1;
                    }
                }
            } else if (p.fd == errFd) {
                ReadSome(errFd, result.err);
            } else if (p.fd == termFd) {
                if ((p.revents & POLLOUT) && !toTerminal.empty()) {
                    const ssize_t n = ::write(termFd, toTerminal.data(), toTerminal.size());
                    if (n > 0)
                        toTerminal.erase(0, static_cast<std::size_t>(n));
                }
                if (p.revents & (POLLIN | POLLHUP | POLLERR))
                    ReadSome(termFd, result.terminal);
            }
        }
    }
    for (int fd : {inFd, outFd, errFd})
        if (fd >= 0)
            ::close(fd);

    // The child may have closed its output and still run: the deadline holds for the wait too.
    int waitStatus = 0;
    for (;;) {
        result.peakRssKb = std::max(result.peakRssKb, PeakRssKb(pid));
        const pid_t ended = ::waitpid(pid, &waitStatus, result.timedOut ? 0 : WNOHANG);
        if (ended == pid || (ended < 0 && errno != EINTR))
            break;
        if (std::chrono::steady_clock::now() >= deadline) {
            result.timedOut = true;
            ::kill(-pid, SIGKILL);
            ::kill(pid, SIGKILL);
        } else {
            ::usleep(2000);
        }
    }
    // Echo still in the terminal's buffer after the child ended.
    for (pollfd p{termFd, POLLIN, 0}; termFd >= 0 && ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN);)
        ReadSome(termFd, result.terminal);
    if (WIFEXITED(waitStatus))
        result.exitCode = WEXITSTATUS(waitStatus);
    else if (WIFSIGNALED(waitStatus))
        result.signal = WTERMSIG(waitStatus);
    return result;
}

std::string CStubRunner::ListTree(const std::string& root) {
    struct stat st;
    if (::lstat(root.c_str(), &st) != 0)
        return "missing\n";
    std::vector<std::string> lines;
    ListInto(root, "", lines);
    std::sort(lines.begin(), lines.end(), [](const std::string& a, const std::string& b) {
        // Sort by the path, which follows the kind letter and, for folders and files, the mode.
        auto path = [](const std::string& line) {
            const std::size_t skip = line[0] == 'l' ? 2 : line.find(' ', 2) + 1;
            return line.substr(skip);
        };
        return path(a) < path(b);
    });
    std::string listing;
    for (const std::string& line : lines)
        listing += line + "\n";
    return listing;
}

std::string CStubRunner::ReadFileBytes(const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        Fail("open " + path);
    std::string bytes;
    char buffer[65536];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        bytes.append(buffer, n);
    std::fclose(file);
    return bytes;
}

void CStubRunner::WriteFileBytes(const std::string& path, const std::string& bytes) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        Fail("create " + path);
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (std::fclose(file) != 0 || !written)
        Fail("write " + path);
}

std::string CStubRunner::FindProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        const std::string candidate = (end > start ? dirs.substr(start, end - start) : ".") + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return "";
}
