// The four name comparers of the engine's name lookups.
#include "platform/ZipOs.h"

#include <cstring>

namespace ZipOs {
namespace {

// tolower of the C locale, which the program never leaves: only A to Z change.
std::string LowerAscii(const char* text, std::size_t length) {
    std::string lower(text, length);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

// The common length as unsigned bytes (memcmp's way), then the shorter first.
int CompareBytes(const char* a, std::size_t aLength, const char* b, std::size_t bLength) {
    const int common = std::memcmp(a, b, aLength < bLength ? aLength : bLength);
    if (common != 0)
        return common;
    return aLength < bLength ? -1 : aLength > bLength ? 1 : 0;
}

int CollateExact(const std::string& name, const char* text) { return std::strcoll(name.c_str(), text); }

int CollateNoCase(const std::string& name, const char* text) {
    return std::strcoll(LowerAscii(name.data(), name.size()).c_str(), LowerAscii(text, std::strlen(text)).c_str());
}

int BytesExact(const std::string& name, const char* text) {
    return CompareBytes(name.data(), name.size(), text, std::strlen(text));
}

int BytesNoCase(const std::string& name, const char* text) {
    const std::string a = LowerAscii(name.data(), name.size());
    const std::string b = LowerAscii(text, std::strlen(text));
    return CompareBytes(a.data(), a.size(), b.data(), b.size());
}

} // namespace

NameComparer GetNameComparer(bool caseSensitive, bool useCollation) {
    if (useCollation)
        return caseSensitive ? CollateExact : CollateNoCase;
    return caseSensitive ? BytesExact : BytesNoCase;
}

// Names in archives are matched without regard to case, as on the original platform.
bool IsFileSystemCaseSensitive() { return false; }

} // namespace ZipOs
