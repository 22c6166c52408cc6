// The front end's console on Windows: the program's own path, the answer on standard input, the
// password line typed on the console (CONIN$, never standard input), and text shown as Unicode on
// a console while a pipe or a file gets the UTF-8 bytes.
#include "platform/ZipOs.h"
#include "platform/ZipOsConsole.h"
#include "platform/ZipOsWin32Path.h"

#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <vector>

namespace ZipOs {
namespace {

constexpr DWORD firstPathGuess = 260;
constexpr DWORD maxPathLength = 32768;
constexpr DWORD consoleChunk = 64;

HANDLE StreamHandle(std::FILE* stream) { return reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream))); }

bool IsConsole(HANDLE handle) {
    DWORD mode;
    return handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode) != 0;
}

void WriteConsoleText(HANDLE handle, const std::string& text) {
    const WideText wide = Widen(text);
    const std::size_t length = wide.size() - 1; // without the zero
    std::size_t done = 0;
    while (done < length) {
        DWORD written = 0;
        if (!::WriteConsoleW(handle, wide.data() + done, static_cast<DWORD>(length - done), &written, nullptr) ||
            written == 0)
            return;
        done += written;
    }
}

// Reads one line from the console in line mode, so nothing typed after it is consumed, as UTF-8:
// read as UTF-16, every character typed comes through, whatever the console's code page holds.
// Keeps up to passwordLineKept characters and drops the rest of a longer line.
bool ReadConsoleLine(HANDLE input, std::string& line) {
    bool readAny = false;
    bool ended = false;
    WideText wide;
    wchar_t chunk[consoleChunk];
    while (!ended) {
        DWORD n = 0;
        if (!::ReadConsoleW(input, chunk, consoleChunk, &n, nullptr))
            return false;
        if (n == 0)
            break;
        readAny = true;
        for (DWORD i = 0; i < n && !ended; ++i) {
            ended = chunk[i] == L'\n';
            if (!ended && wide.size() < passwordLineKept)
                wide.push_back(chunk[i]);
        }
    }
    line = Narrow(wide.data(), wide.size());
    return readAny;
}

HANDLE OpenConsole(const wchar_t* name) {
    return ::CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
}

// One line typed on the console (CONIN$, whatever standard input is), echoed and editable, whatever
// mode the console was left in; with fresh, keys pressed before are dropped first.
bool ReadTypedLine(std::string& line, bool fresh) {
    const HANDLE input = OpenConsole(L"CONIN$");
    if (input == INVALID_HANDLE_VALUE)
        return false;
    DWORD previous = 0;
    if (!::GetConsoleMode(input, &previous)) {
        ::CloseHandle(input);
        return false;
    }
    if (fresh)
        ::FlushConsoleInputBuffer(input);
    ::SetConsoleMode(input, ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_PROCESSED_INPUT);
    const bool read = ReadConsoleLine(input, line);
    ::SetConsoleMode(input, previous);
    ::CloseHandle(input);
    return read;
}

} // namespace

bool GetModulePath(std::string& path) {
    // A path that fills the buffer may be cut: grow and ask again.
    for (DWORD size = firstPathGuess; size <= maxPathLength; size *= 2) {
        std::vector<wchar_t> buffer(size);
        const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), size);
        if (length == 0)
            return false;
        if (length < size) {
            path = Narrow(buffer.data(), length);
            return true;
        }
    }
    return false;
}

// Standard output passes the dialogue's bytes without turning line feeds into CR LF.
void PrepareConsole() { ::_setmode(::_fileno(stdout), _O_BINARY); }

void WriteText(std::FILE* stream, const std::string& text) {
    const HANDLE handle = StreamHandle(stream);
    if (!IsConsole(handle)) {
        std::fwrite(text.data(), 1, text.size(), stream);
        return;
    }
    std::fflush(stream);
    WriteConsoleText(handle, text);
}

int ReadAnswer() { return std::getchar(); }

char PathSeparator() { return '\\'; }

bool IsTerminal(std::FILE* stream) { return IsConsole(StreamHandle(stream)); }

bool ConsoleClosesWithProgram() {
    DWORD processes[2];
    const DWORD count = ::GetConsoleProcessList(processes, 2);
    return PausesAtEnd(count, IsConsole(::GetStdHandle(STD_INPUT_HANDLE)));
}

void WaitForEnter(const std::string& prompt) {
    const HANDLE output = OpenConsole(L"CONOUT$");
    if (output != INVALID_HANDLE_VALUE) {
        WriteConsoleText(output, prompt);
        ::CloseHandle(output);
    }
    std::string line;
    ReadTypedLine(line, true);
}

bool ReadPasswordLine(std::string& text) {
    std::string line;
    if (!ReadTypedLine(line, false))
        return false;
    text = PasswordFromLine(line);
    return true;
}

} // namespace ZipOs
