#include "platform/ZipWindowsNames.h"

#include <cstddef>

namespace {

constexpr char replacement = '_';
constexpr char reservedCharacters[] = "<>:\"|?*";

constexpr std::uint32_t attributeReadOnly = 0x01;
constexpr std::uint32_t attributeNormal = 0x80;
constexpr std::uint32_t keptAttributes = 0x01 | 0x02 | 0x04 | 0x20; // read-only, hidden, system, archive

constexpr const char* deviceNames[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
constexpr const char* numberedDevices[] = {"COM", "LPT"};

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

char UpperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool EqualsNoCase(const std::string& text, const char* upper) {
    std::size_t i = 0;
    for (; upper[i] != '\0'; ++i)
        if (i >= text.size() || UpperAscii(text[i]) != upper[i])
            return false;
    return i == text.size();
}

// Windows opens the device for its name before the first dot, spaces before that dot ignored.
bool IsDeviceName(const std::string& component) {
    std::string base = component.substr(0, component.find('.'));
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    for (const char* device : deviceNames)
        if (EqualsNoCase(base, device))
            return true;
    // COM1-COM9 and LPT1-LPT9; Windows reserves the superscript digits one to three as well.
    const std::string digit = base.size() > 3 ? base.substr(3) : std::string();
    const bool numbered = (digit.size() == 1 && digit[0] >= '1' && digit[0] <= '9') || digit == "\xC2\xB9" ||
                          digit == "\xC2\xB2" || digit == "\xC2\xB3";
    if (!numbered)
        return false;
    for (const char* device : numberedDevices)
        if (EqualsNoCase(base.substr(0, 3), device))
            return true;
    return false;
}

std::string StorableComponent(std::string component) {
    if (component.empty() || component == "." || component == "..")
        return component;
    const bool device = IsDeviceName(component);
    for (char& c : component) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20)
            c = replacement;
        for (const char* r = reservedCharacters; *r != '\0'; ++r)
            if (c == *r)
                c = replacement;
    }
    for (std::size_t i = component.size(); i > 0 && (component[i - 1] == '.' || component[i - 1] == ' '); --i)
        component[i - 1] = replacement;
    return device ? replacement + component : component;
}

} // namespace

namespace ZipWindowsNames {

std::string StorableName(const std::string& name) {
    std::string result;
    result.reserve(name.size());
    std::size_t start = 0;
    for (std::size_t i = 0; i <= name.size(); ++i) {
        if (i < name.size() && !IsSeparator(name[i]))
            continue;
        result += StorableComponent(name.substr(start, i - start));
        if (i < name.size())
            result += name[i];
        start = i + 1;
    }
    return result;
}

std::uint32_t FileAttributes(std::uint32_t dosAttributes, bool isDirectory) {
    std::uint32_t kept = dosAttributes & keptAttributes;
    if (isDirectory)
        kept &= ~attributeReadOnly;
    return kept != 0 ? kept : attributeNormal;
}

} // namespace ZipWindowsNames
