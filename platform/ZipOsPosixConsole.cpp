// The front end's console: the program's own path, the answer on standard input and the password
// line typed on the controlling terminal.
#include "platform/ZipOs.h"
#include "platform/ZipOsConsole.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace ZipOs {

namespace {

constexpr const char* selfExeLink = "/proc/self/exe";
constexpr const char* terminalDevice = "/dev/tty";
constexpr std::size_t firstPathGuess = 256;

// Reads one line from the terminal byte by byte, so nothing typed after its line feed is consumed.
// Keeps up to passwordLineKept bytes and drops the rest of a longer line. False on a read error, or
// on end of input before any byte.
bool ReadTerminalLine(int fd, std::string& line) {
    bool readAny = false;
    for (;;) {
        // A signal ends poll whatever its handler asked for, so an interruption ends the wait.
        pollfd typed{fd, POLLIN, 0};
        if (::poll(&typed, 1, -1) < 0) {
            if (errno == EINTR && InterruptionSignal() == 0)
                continue;
            return false;
        }
        char c;
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0) {
            if (errno == EINTR && InterruptionSignal() == 0)
                continue;
            return false;
        }
        if (n == 0)
            return readAny;
        readAny = true;
        if (c == '\n')
            return true;
        if (line.size() < passwordLineKept)
            line.push_back(c);
    }
}

} // namespace

bool GetModulePath(std::string& path) {
    // readlink truncates silently: a result that fills the buffer may be cut, so grow and read again.
    std::string buffer(firstPathGuess, '\0');
    for (;;) {
        const ssize_t n = ::readlink(selfExeLink, &buffer[0], buffer.size());
        if (n <= 0)
            return false;
        const auto length = static_cast<std::size_t>(n);
        if (length < buffer.size()) {
            buffer.resize(length);
            path = buffer;
            return true;
        }
        buffer.resize(buffer.size() * 2);
    }
}

// Standard output carries bytes as they are written here.
void PrepareConsole() {}

void WriteText(std::FILE* stream, const std::string& text) { std::fwrite(text.data(), 1, text.size(), stream); }

int ReadAnswer() { return std::getchar(); }

bool IsTerminal(std::FILE* stream) { return ::isatty(::fileno(stream)) == 1; }

bool ReadPasswordLine(std::string& text) {
    const int fd = ::open(terminalDevice, O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    termios previous;
    if (::tcgetattr(fd, &previous) != 0) {
        ::close(fd);
        return false;
    }
    // Line input with echo and the usual editing keys, whatever mode the terminal was left in: the
    // password is visible while typed and can be corrected before Enter.
    termios typing = previous;
    typing.c_lflag |= ICANON | ECHO | ECHOE | ECHOK | ISIG;
    typing.c_iflag |= ICRNL;
    typing.c_iflag &= ~static_cast<tcflag_t>(IGNCR | INLCR);
    ::tcsetattr(fd, TCSANOW, &typing);
    std::string line;
    const bool read = ReadTerminalLine(fd, line);
    ::tcsetattr(fd, TCSANOW, &previous);
    ::close(fd);
    if (!read)
        return false;
    text = PasswordFromLine(line);
    return true;
}

char PathSeparator() { return '/'; }

bool ConsoleClosesWithProgram() { return false; }

void WaitForEnter(const std::string&) {}

} // namespace ZipOs
