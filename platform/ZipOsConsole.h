#pragma once

#include <cstddef>
#include <string>

// The pure rule behind ZipOs::ReadPasswordLine, apart from the terminal so it can be tested.
namespace ZipOs {

// A password line keeps at most this many characters; the rest of a longer line is read and dropped.
constexpr std::size_t passwordLineMax = 49;

// The password that one typed line yields. `line` is what was read up to, not including, its line
// feed (a reader may stop keeping bytes after passwordLineMax + 1 of them): a carriage return that ends
// it is the line ending of a terminal that sends CR LF, and the text is at most the first
// passwordLineMax characters, byte for byte, without any conversion.
std::string PasswordFromLine(const std::string& line);

} // namespace ZipOs
