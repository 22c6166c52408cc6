// Reading the open entry: opening, delivering its bytes, closing with the checks.
#include "engine/ZipArchive.h"

#include "engine/ZipException.h"
#include "engine/ZipRecords.h"

int CZipArchive::CloseEntry(const char* path, bool afterException) {
    if (openEntryState != EntryReading)
        return 0;
    int result = 1;
    const CZipEntryHeader& header = *centralDir.currentHeader;
    if (!afterException) {
        if (entryStream.uncompressedLeft != 0)
            result = -1; // not all read: the CRC covers only part of the data
        else if (entryStream.crc != header.crc32)
            ThrowError(CZipException::CrcMismatch);
        if (header.method == ZipRecords::methodDeflated)
            inflateEnd(&entryStream.stream);
        // The time first: a read-only attribute would refuse it afterwards.
        if (path != nullptr) {
            if (!ZipOs::ApplyModTime(path, header.GetTime()) ||
                !ZipOs::ApplyAttributes(path, header.GetLocalAttributes(), header.GetUnixPermissions()))
                result = -2;
        }
    }
    centralDir.CloseEntry(afterException);
    openEntryState = EntryNone;
    entryStream.buffer.Release();
    FreeZlibBlocks();
    return result;
}

int CZipArchive::CloseEntry(CZipStream& output) {
    // The file gets its time and attributes only once it is closed. A stream
    // without a path (in memory) has nothing to stamp.
    const std::string path = output.GetFilePath();
    output.Close();
    return CloseEntry(path.empty() ? nullptr : path.c_str(), false);
}
