#include "engine/ZipException.h"

#include <cerrno>
#include <cstring>

namespace {

struct CodeEntry {
    int code;
    const char* text;
};

// errno values keep the C runtime's numbering; the texts are the runtime's own.
constexpr CodeEntry codeTexts[] = {
    {1, "Not super-user"},
    {2, "No such file or directory"},
    {4, "Interrupted system call"},
    {5, "I/O error"},
    {6, "No such device or address"},
    {9, "Bad file number"},
    {12, "Not enough space"},
    {13, "Permission denied"},
    {14, "Bad address"},
    {17, "File exists"},
    {18, "Cross-device link"},
    {19, "No such device"},
    {20, "Not a directory"},
    {21, "Is a directory"},
    {22, "Invalid argument"},
    {23, "File table overflow"},
    {24, "Too many open files"},
    {27, "File too large"},
    {28, "No space left on device"},
    {29, "Illegal seek"},
    {30, "Read-only file system"},
    {CZipException::BadArchive, "Damaged or not a zip file"},
    {CZipException::CrcMismatch, "Crc mismatched"},
    {CZipException::NoVolumeCallback, "No disk-spanning callback functor set"},
    {CZipException::VolumeChangeAborted, "Disk change aborted"},
    {CZipException::Aborted, "Action aborted"},
    {CZipException::SafeAbort, "Action aborted safely"},
    {CZipException::NotRemovable, "The device selected for the disk spanning archive is non removable"},
    {CZipException::VolumeLimit, "Limit of the maximum volumes reached"},
    {CZipException::NameTooLong, "The filename of the file being added to the archive is too long"},
    {CZipException::WrongPassword, "Incorrect password set for the file being decrypted"},
    {CZipException::DirectoryWithData, "During testing found the directory with the size greater than 0"},
    {CZipException::InternalFault, "Internal error"},
    {CZipException::UnsupportedPlatform, "Cannot create the file for the specified platform"},
    {CZipException::CentralDirNotFound,
     "The central directory was not found in the archive (or you were trying to open not the last disk of a "
     "multi-disk archive)"},
    {CZipException::AuthenticationFailed, "The authentication code of the encrypted data does not match"},
    {CZipException::UnsupportedMethod, "The compression method is not supported"},
    {CZipException::UnsupportedEncryption, "The encryption is not supported"},
    {CZipException::PathOutside, "The path leads out of the target folder"},
    {CZipException::NameNotAllowed, "The name is not allowed"},
    {CZipException::DataTruncated, "The data end before their declared size"},
    {CZipException::NotStamped, "The time or attributes could not be set"},
    // The capital L is how this one text has always read.
    {CZipException::ZlibEndOfStream, "Zlib Library error (end of stream)"},
    {CZipException::ZlibStreamError, "Zlib library error (stream error)"},
    {CZipException::ZlibDataError, "Zlib library error (data error)"},
    {CZipException::OutOfMemory, "Not enough memory"},
    {CZipException::ZlibBufferError, "Zlib library error (buffer error)"},
    {CZipException::ZlibVersionError, "Zlib library error (version error)"},
};

const char* OwnText(int code) {
    for (const CodeEntry& entry : codeTexts)
        if (entry.code == code)
            return entry.text;
    return nullptr;
}

} // namespace

CZipException::CZipException(int errorCode, const char* file) : fileName(file ? file : ""), code(errorCode) {}

void CZipException::Throw(int errorCode, const char* file) { throw CZipException(errorCode, file); }

int CZipException::FromZlib(int zlibResult) {
    switch (zlibResult) {
    case 1: return ZlibEndOfStream;
    case 2: return ZlibNeedsDictionary;
    case -1: return ZlibSystemError;
    case -2: return ZlibStreamError;
    case -3: return ZlibDataError;
    case -4: return OutOfMemory;
    case -5: return ZlibBufferError;
    case -6: return ZlibVersionError;
    default: return Unspecified;
    }
}

std::string CZipException::CodeText(int errorCode, bool noFallback) {
    if (const char* text = OwnText(errorCode))
        return text;
    if (errorCode == DeleteFailed)
        return std::string("Error while removing a file (") + SystemErrorText() + ")";
    if (errorCode == RenameFailed)
        return std::string("Error while renaming a file (") + SystemErrorText() + ")";
    if (errorCode == ZlibSystemError) {
        int e = errno;
        if (e == ZlibSystemError)
            e = Unspecified; // keeps 502 from describing itself
        return CodeText(e, false);
    }
    return noFallback ? "Unknown error" : SystemErrorText();
}

// Linux keeps no operating-system error apart from errno, so the text always
// comes from errno (the runtime's own numbering), never from a system message table.
// An errno of 502 would lead back here through the zlib-system-error text, so it
// counts as unspecified too.
std::string CZipException::SystemErrorText() {
    const int e = errno;
    return CodeText(e != 0 && e != ZlibSystemError ? e : Unspecified, true);
}

std::string CZipException::Describe() const { return CodeText(code, false); }

bool CZipException::CopyDescription(char* buffer, std::uint32_t size) const {
    if (buffer == nullptr || size == 0)
        return false;
    const std::string text = Describe();
    if (text.empty())
        return false;
    const std::size_t n = text.size() < size - 1 ? text.size() : size - 1;
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return true;
}
