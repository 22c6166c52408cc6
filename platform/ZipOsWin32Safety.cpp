// Output paths below a target folder on Windows: folders made and checked one level at a time, a
// reparse point (junction, symbolic link) on the way never followed; names mapped to what Windows
// can hold; the final replace of an extracted file.
#include "platform/ZipOs.h"
#include "platform/ZipOsWin32Path.h"
#include "platform/ZipWindowsNames.h"

#include <cerrno>

namespace ZipOs {
namespace {

// What stands at a level that exists.
FolderWalk Judge(DWORD attributes) {
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return FolderWalk::Link;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        errno = ENOTDIR;
        return FolderWalk::Failed;
    }
    return FolderWalk::Ready;
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool HasOtherLinks(const wchar_t* path) {
    const HANDLE file =
        ::CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return true; // unknown counts as shared: the file is left as it is
    BY_HANDLE_FILE_INFORMATION info = {};
    const bool known = ::GetFileInformationByHandle(file, &info) != 0;
    ::CloseHandle(file);
    return !known || info.nNumberOfLinks > 1;
}

} // namespace

std::string StorableName(const std::string& name) { return ZipWindowsNames::StorableName(name); }

// A backslash separates here wherever it stands: the folder is in the engine's form as given.
void KeepFolderAsGiven(const std::string&) {}

// Making a link needs a privilege most users lack, and what it points to is for the user to judge:
// a link entry is extracted as a file holding the target text.
bool SupportsSymbolicLinks() { return false; }

bool CreateSymbolicLink(const std::string&, const std::string&) {
    errno = ENOSYS;
    return false;
}

FolderWalk WalkFoldersBelow(const std::string& base, const std::string& relative, bool create) {
    std::string level = base;
    if (!level.empty() && !IsSeparator(level.back()))
        level += '\\';
    bool missing = false; // below a folder this walk made, nothing can be a link
    std::size_t start = 0;
    while (start < relative.size()) {
        std::size_t end = start;
        while (end < relative.size() && !IsSeparator(relative[end]))
            ++end;
        const std::string component = relative.substr(start, end - start);
        start = end + 1;
        if (component.empty() || component == ".")
            continue;
        if (level.empty() || !IsSeparator(level.back()))
            level += '\\';
        level += component;
        WideText wide;
        if (!ToWinPath(level, wide))
            return FolderWalk::Failed;
        if (!missing) {
            const DWORD attributes = ::GetFileAttributesW(wide.data());
            if (attributes != INVALID_FILE_ATTRIBUTES) {
                const FolderWalk kind = Judge(attributes);
                if (kind != FolderWalk::Ready)
                    return kind;
                continue;
            }
            SetErrnoFromLastError();
            if (errno != ENOENT)
                return FolderWalk::Failed;
            if (!create)
                return FolderWalk::Ready;
            missing = true;
        }
        if (::CreateDirectoryW(wide.data(), nullptr))
            continue;
        // Made meanwhile by someone else: judge what is there now.
        SetErrnoFromLastError();
        const DWORD attributes = ::GetFileAttributesW(wide.data());
        if (errno != EEXIST || attributes == INVALID_FILE_ATTRIBUTES)
            return FolderWalk::Failed;
        const FolderWalk kind = Judge(attributes);
        if (kind != FolderWalk::Ready)
            return kind;
    }
    return FolderWalk::Ready;
}

// The new file replaces the old one in one step. A read-only old file is made writable only for
// that step and gets its attributes back when the replace fails; a file another program holds open
// makes it fail and stays as it was.
bool ReplaceFile(const std::string& from, const std::string& to) {
    WideText source;
    WideText target;
    if (!ToWinPath(from, source) || !ToWinPath(to, target))
        return false;
    constexpr DWORD flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    if (::MoveFileExW(source.data(), target.data(), flags))
        return true;
    const DWORD error = ::GetLastError();
    const DWORD attributes = ::GetFileAttributesW(target.data());
    const bool readOnlyFile = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
                              !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
    if (error != ERROR_ACCESS_DENIED || !readOnlyFile) {
        ::SetLastError(error);
        SetErrnoFromLastError();
        return false;
    }
    // The read-only bit belongs to the file, not the name: with another link to it elsewhere,
    // clearing it would change that file too, and it would stay cleared after the replace.
    if (HasOtherLinks(target.data())) {
        errno = EACCES;
        return false;
    }
    if (::SetFileAttributesW(target.data(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY)) &&
        ::MoveFileExW(source.data(), target.data(), flags))
        return true;
    SetErrnoFromLastError();
    const int replaceError = errno;
    ::SetFileAttributesW(target.data(), attributes);
    errno = replaceError;
    return false;
}

} // namespace ZipOs
