#include "platform/ZipOsWin32Path.h"

#include <cerrno>
#include <vector>

namespace ZipOs {

WideText Widen(const std::string& text) {
    const int size = static_cast<int>(text.size());
    const int length = size == 0 ? 0 : ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    WideText wide(static_cast<std::size_t>(length) + 1, L'\0');
    if (length > 0)
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), length);
    return wide;
}

namespace {

bool StartsWith(const wchar_t* text, const wchar_t* prefix) {
    for (; *prefix != L'\0'; ++text, ++prefix)
        if (*text != *prefix)
            return false;
    return true;
}

void Append(WideText& out, const wchar_t* text, std::size_t length) { out.insert(out.end(), text, text + length); }

} // namespace

std::string Narrow(const wchar_t* text, std::size_t length) {
    if (length == 0)
        return std::string();
    const int size = static_cast<int>(length);
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text, size, nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, size, &narrow[0], bytes, nullptr, nullptr);
    return narrow;
}

bool ToWinPath(const std::string& path, WideText& out) {
    if (path.empty() || path.find('\0') != std::string::npos) {
        errno = path.empty() ? ENOENT : EINVAL;
        return false;
    }
    const WideText wide = Widen(path);
    // Already in the long or the device form: the system takes it literally.
    if (StartsWith(wide.data(), L"\\\\?\\") || StartsWith(wide.data(), L"\\\\.\\")) {
        out = wide;
        return true;
    }
    WideText full(::GetFullPathNameW(wide.data(), 0, nullptr, nullptr));
    for (;;) {
        if (full.empty()) {
            SetErrnoFromLastError();
            return false;
        }
        const DWORD written = ::GetFullPathNameW(wide.data(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (written == 0) {
            SetErrnoFromLastError();
            return false;
        }
        if (written < full.size()) {
            full.resize(written + 1); // the zero stays
            break;
        }
        full.resize(written); // grew meanwhile: the size asked for includes the zero
    }
    const std::size_t length = full.size() - 1;
    out.clear();
    if (StartsWith(full.data(), L"\\\\.\\")) {
        Append(out, full.data(), length);
    } else if (StartsWith(full.data(), L"\\\\")) {
        Append(out, L"\\\\?\\UNC\\", 8);
        Append(out, full.data() + 2, length - 2);
    } else {
        Append(out, L"\\\\?\\", 4);
        Append(out, full.data(), length);
    }
    out.push_back(L'\0');
    return true;
}

void SetErrnoFromLastError() {
    switch (::GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
        errno = ENOENT;
        break;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        errno = EEXIST;
        break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
        errno = EACCES;
        break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        errno = ENOSPC;
        break;
    case ERROR_FILENAME_EXCED_RANGE:
        errno = ENAMETOOLONG;
        break;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        errno = ENOMEM;
        break;
    case ERROR_DIR_NOT_EMPTY:
        errno = ENOTEMPTY;
        break;
    case ERROR_DIRECTORY:
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_PARAMETER:
        errno = EINVAL;
        break;
    default:
        errno = EIO;
        break;
    }
}

} // namespace ZipOs
