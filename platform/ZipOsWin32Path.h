#pragma once

// What the Win32 implementation files share: UTF-8 inside, UTF-16 at the system calls.
#include <windows.h>
// Macros of the header that are names of the layer's own functions.
#undef ReplaceFile
#undef OemToAnsi
#undef CreateSymbolicLink

#include <string>
#include <vector>

namespace ZipOs {

// UTF-16 text ending in a zero, as the wide calls take it. Not std::wstring: its instantiation
// alone would cost the program about 35 KB.
using WideText = std::vector<wchar_t>;

// UTF-8 to UTF-16 and back; an invalid UTF-8 sequence becomes U+FFFD.
WideText Widen(const std::string& text);
std::string Narrow(const wchar_t* text, std::size_t length);

// The path as the wide calls take it: made absolute and normalised (either separator, "." and
// ".." resolved), then in the long form (\\?\, \\?\UNC\) so that no 260-character limit applies.
// A path with a zero byte is refused (errno EINVAL): the OS would see a shorter one.
bool ToWinPath(const std::string& path, WideText& out);

// errno for the calling thread's last Win32 error, as the C runtime would set it.
void SetErrnoFromLastError();

} // namespace ZipOs
