#pragma once

#include <string>

// A path split into prefix, drive, directory, base name and extension, and
// put together again. Both the backslash and the slash separate on input; the
// parts are joined with the backslash. Pure string work: no OS calls.
class CZipPathParts {
  public:
    CZipPathParts() = default;
    explicit CZipPathParts(const std::string& path) { Split(path); }
    virtual ~CZipPathParts() = default;

    void Split(const std::string& path);

    // prefix + drive + a backslash when both drive and directory are non-empty + directory.
    std::string GetDirectoryPath() const;
    // baseName, then a dot and the extension when there is one.
    std::string GetName() const;
    // GetDirectoryPath(), then a backslash and GetName() when the name is non-empty.
    std::string GetPath() const;
    // directory + a backslash when both directory and name are non-empty + GetName().
    std::string GetPathWithoutDrive() const;
    std::string GetDrive() const { return drive; }
    std::string GetExtension() const { return extension; }
    // Stores the extension without its leading dots.
    void SetExtension(const std::string& newExtension);

    std::string directory; // without leading and trailing backslashes; slashes stay
    std::string baseName;  // the file name without its extension
    std::string extension; // without the dot
    std::string drive;     // a letter and a colon, or empty
    std::string prefix;    // "\\", "\\?\" or "\\?\unc\" as written, or empty
};

// True for the backslash and the slash.
bool IsSeparator(char c);
// Removes every trailing backslash and slash; a string of separators only becomes empty.
void TrimTrailingSeparators(std::string& path);
// Trims the trailing separators, then appends one backslash (an empty string becomes "\").
void AppendSeparator(std::string& path);
