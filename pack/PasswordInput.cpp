#include "pack/PasswordInput.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

namespace {

std::string AskOnce(int tty, const char* prompt) {
    if (write(tty, prompt, std::strlen(prompt)) < 0)
        throw std::runtime_error(std::string("/dev/tty: ") + std::strerror(errno));
    // TCSANOW: what was typed ahead stays to be read.
    termios saved{};
    const bool isTerminal = tcgetattr(tty, &saved) == 0;
    if (isTerminal) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        tcsetattr(tty, TCSANOW, &quiet);
    }
    std::string line;
    char c;
    while (read(tty, &c, 1) == 1 && c != '\n')
        line.push_back(c);
    if (isTerminal)
        tcsetattr(tty, TCSANOW, &saved);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

} // namespace

std::string AskPassword() {
    const int tty = open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (tty < 0)
        throw std::runtime_error("-p needs a terminal for the password (or use --password-file)");
    const std::string first = AskOnce(tty, "Password: ");
    const std::string second = first.empty() ? first : AskOnce(tty, "Password again: ");
    close(tty);
    if (first.empty())
        throw std::runtime_error("no password given");
    if (first != second)
        throw std::runtime_error("the passwords differ");
    return first;
}

std::string ReadPasswordFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error(path + ": " + std::strerror(errno));
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    if (line.empty())
        throw std::runtime_error(path + ": no password on its first line");
    return line;
}
