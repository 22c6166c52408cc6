// The password rule shared by every platform's console.
#include "platform/ZipOsConsole.h"

namespace ZipOs {

std::string PasswordFromLine(const std::string& line) {
    std::size_t length = line.size();
    if (length > 0 && line[length - 1] == '\r')
        --length;
    return line.substr(0, length);
}

std::vector<std::string> PasswordCuts(const std::string& password) {
    std::vector<std::string> cuts{password};
    if (password.size() > passwordLineMax)
        cuts.push_back(password.substr(0, passwordLineMax));
    return cuts;
}

bool PausesAtEnd(unsigned long consoleProcesses, bool inputIsConsole) {
    return consoleProcesses == 1 && inputIsConsole;
}

} // namespace ZipOs
