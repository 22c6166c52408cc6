// The password rule shared by every platform's console.
#include "platform/ZipOsConsole.h"

namespace ZipOs {

std::string PasswordFromLine(const std::string& line) {
    std::size_t length = line.size();
    if (length > 0 && line[length - 1] == '\r')
        --length;
    return line.substr(0, length < passwordLineMax ? length : passwordLineMax);
}

} // namespace ZipOs
