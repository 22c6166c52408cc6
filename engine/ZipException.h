#pragma once

#include <cstdint>
#include <exception>
#include <string>

// The engine's one exception: a numeric code and the file concerned.
// Codes 1..30 are C library errno values (the platform's own numbering above them), 100..123 the
// engine's own causes,
// 500..507 zlib results shifted into a range of their own.
class CZipException : public std::exception {
public:
    enum ErrorCode {
        Unspecified = 100,
        BadArchive = 101,
        CrcMismatch = 102,
        NoVolumeCallback = 103,
        VolumeChangeAborted = 104,
        Aborted = 105,
        SafeAbort = 106,
        NotRemovable = 107,
        VolumeLimit = 108,
        NameTooLong = 109,
        WrongPassword = 110,
        DirectoryWithData = 111,
        InternalFault = 112,
        DeleteFailed = 113,
        RenameFailed = 114,
        UnsupportedPlatform = 115,
        CentralDirNotFound = 116,
        AuthenticationFailed = 117,
        UnsupportedMethod = 118,     // a compression method this program does not decode
        UnsupportedEncryption = 119, // strong or unknown encryption, or an AES block it cannot read
        PathOutside = 120,           // the name leads out of the target folder, or through a link in it
        NameNotAllowed = 121,        // a name with a zero byte, or a file named as the target folder
        DataTruncated = 122,         // the data ended before their declared size
        NotStamped = 123,            // verified, but the time or attributes could not be set
        ZlibEndOfStream = 500,
        ZlibNeedsDictionary = 501,
        ZlibSystemError = 502,
        ZlibStreamError = 503,
        ZlibDataError = 504,
        OutOfMemory = 505,
        ZlibBufferError = 506,
        ZlibVersionError = 507,
    };

    explicit CZipException(int errorCode, const char* file = nullptr);
    ~CZipException() override = default;

    // The one place where the engine throws its exception.
    [[noreturn]] static void Throw(int errorCode, const char* file = nullptr);
    [[noreturn]] static void Throw(int errorCode, const std::string& file) { Throw(errorCode, file.c_str()); }

    static int FromZlib(int zlibResult);
    static std::string CodeText(int errorCode, bool noFallback);
    static std::string SystemErrorText();

    std::string Describe() const;
    bool CopyDescription(char* buffer, std::uint32_t size) const;

    std::string fileName;
    int code;
};
