#pragma once

#include <cstddef>
#include <string>
#include <vector>

// The pure rule behind ZipOs::ReadPasswordLine, apart from the terminal so it can be tested.
namespace ZipOs {

// The characters of a password line that counted where passwords were cut: an archive made for such a
// program may have been tried with only these, so they are tried where the whole line fails.
constexpr std::size_t passwordLineMax = 49;
// The most of a line a reader keeps: a guard against endless input, far past any typed password.
constexpr std::size_t passwordLineKept = 65536;

// The password that one typed line yields. `line` is what was read up to, not including, its line
// feed: a carriage return that ends it is the line ending of a terminal that sends CR LF; the rest,
// byte for byte, without any conversion, is the password.
std::string PasswordFromLine(const std::string& line);
// The whole password first, then its first passwordLineMax bytes where it is longer.
std::vector<std::string> PasswordCuts(const std::string& password);

// Whether the program's end waits for Enter: only when its console closes with it, that is when no
// other process is attached to it (started from Explorer, not from a command prompt), and when
// standard input is that console (never for a script or a pipe, which nobody would answer).
bool PausesAtEnd(unsigned long consoleProcesses, bool inputIsConsole);

} // namespace ZipOs
