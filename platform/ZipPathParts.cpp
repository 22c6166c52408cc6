#include "platform/ZipPathParts.h"

#include <cstddef>

namespace {

// A long UNC path begins with these eight characters. Only a match of the
// first 2 (UNC), 4 (long path) or all 8 (long UNC) makes a prefix.
constexpr char longUncPattern[] = "\\\\?\\unc\\";
constexpr std::size_t longUncLength = sizeof longUncPattern - 1;
constexpr std::size_t uncPrefixLength = 2;
constexpr std::size_t longPrefixLength = 4;

constexpr std::size_t driveLength = 2; // a letter and a colon

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::size_t PrefixLength(const std::string& path) {
    const std::size_t n = path.size() < longUncLength ? path.size() : longUncLength;
    std::size_t k = 0;
    while (k < n && LowerAscii(path[k]) == longUncPattern[k])
        ++k;
    return k == uncPrefixLength || k == longPrefixLength || k == longUncLength ? k : 0;
}

} // namespace

void CZipPathParts::Split(const std::string& path) {
    const std::size_t prefixLength = PrefixLength(path);
    prefix = path.substr(0, prefixLength);

    std::size_t start = prefixLength;
    if (path.size() - start >= driveLength && path[start + 1] == ':') {
        drive = path.substr(start, driveLength);
        start += driveLength;
    } else {
        drive.clear();
    }

    // The directory part runs to the last separator, the extension from the
    // last dot after it. Every byte is an ordinary byte, zero bytes included.
    std::size_t nameStart = start;
    std::size_t dot = std::string::npos;
    for (std::size_t i = start; i < path.size(); ++i) {
        if (IsSeparator(path[i])) {
            nameStart = i + 1;
            dot = std::string::npos;
        } else if (path[i] == '.') {
            dot = i;
        }
    }
    const std::size_t nameEnd = dot == std::string::npos ? path.size() : dot;

    // No part is cut to a fixed length: a shortened part would name another
    // file or folder, and a component the OS cannot take fails there instead.
    std::size_t dirBegin = start;
    std::size_t dirEnd = nameStart;
    while (dirBegin < dirEnd && path[dirBegin] == '\\')
        ++dirBegin;
    while (dirEnd > dirBegin && path[dirEnd - 1] == '\\')
        --dirEnd;
    directory = path.substr(dirBegin, dirEnd - dirBegin);
    baseName = path.substr(nameStart, nameEnd - nameStart);
    SetExtension(path.substr(nameEnd));
}

std::string CZipPathParts::GetDirectoryPath() const {
    std::string result = prefix + drive;
    if (!drive.empty() && !directory.empty())
        result += '\\';
    return result + directory;
}

std::string CZipPathParts::GetName() const { return extension.empty() ? baseName : baseName + '.' + extension; }

std::string CZipPathParts::GetPath() const {
    std::string result = GetDirectoryPath();
    const std::string name = GetName();
    if (!name.empty())
        result += '\\' + name;
    return result;
}

std::string CZipPathParts::GetPathWithoutDrive() const {
    const std::string name = GetName();
    if (!directory.empty() && !name.empty())
        return directory + '\\' + name;
    return directory + name;
}

void CZipPathParts::SetExtension(const std::string& newExtension) {
    const std::size_t first = newExtension.find_first_not_of('.');
    extension = first == std::string::npos ? std::string() : newExtension.substr(first);
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

void TrimTrailingSeparators(std::string& path) {
    std::size_t end = path.size();
    while (end > 0 && IsSeparator(path[end - 1]))
        --end;
    path.resize(end);
}

void AppendSeparator(std::string& path) {
    TrimTrailingSeparators(path);
    path += '\\';
}
