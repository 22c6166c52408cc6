#pragma once

#include <cstdint>
#include <string>

// The rules that turn what an archive says into what Windows can hold. Pure functions, built and
// tested on every platform; the Win32 layer applies them.
namespace ZipWindowsNames {

// A name below the target folder (either separator) as Windows can store it under the same
// meaning, component by component: the characters < > : " | ? * and control characters become
// '_' (so "a:b" never names an alternate data stream); a device name (CON, PRN, AUX, NUL, COM1-9,
// LPT1-9, CONIN$, CONOUT$, any case, with or without an extension) gets a '_' in front; trailing
// dots and spaces, which Windows would drop, become '_'. "." and ".." stay for the path checks.
std::string StorableName(const std::string& name);

// The Windows attribute word for an entry's DOS attributes: read-only, hidden, system and archive
// are kept, nothing else; a file left with none is FILE_ATTRIBUTE_NORMAL (0x80). A folder never
// gets read-only, which Windows would read as a customised folder.
std::uint32_t FileAttributes(std::uint32_t dosAttributes, bool isDirectory);

} // namespace ZipWindowsNames
