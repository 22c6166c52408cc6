// Reading the open entry: opening, delivering its bytes, closing with the checks.
#include "engine/ZipArchive.h"

#include "engine/ZipCrc.h"
#include "engine/ZipException.h"
#include "engine/ZipRecords.h"

#include <algorithm>
#include <cstring>

using namespace ZipRecords;

namespace {

constexpr int rawDeflateWindowBits = -15; // no zlib header or trailer, 32 KiB window

// An entry's data, with its data descriptor, must end before the next local header and before the
// central directory: overlapping entries let a few kilobytes stand for gigabytes of output.
// dataStart counts from the start of the archive, as the stored offsets do.
bool DataEndBeforeNextRecord(const CZipCentralDir& dir, std::uint16_t index, std::uint64_t dataStart) {
    const CZipEntryHeader& header = *dir.GetHeader(index);
    // The descriptor's signature is optional: count the 12 bytes it always has.
    const std::uint64_t end =
        dataStart + header.compressedSize + (header.HasDataDescriptor() ? std::uint64_t{descriptorSize} : 0);
    if (dir.IsValidIndex(index + 1)) {
        const CZipEntryHeader& next = *dir.GetHeader(index + 1);
        if (next.diskStart == header.diskStart && end > next.localHeaderOffset)
            return false;
    }
    return !(dir.info.cdStartDisk == header.diskStart && end > dir.info.cdOffset);
}

} // namespace

bool CZipArchive::OpenEntry(std::uint16_t index) {
    if (!centralDir.IsValidIndex(index) || storage.GetVolumeState() == 1 || openEntryState != EntryNone)
        return false;
    entryStream.buffer.Allocate(entryStream.bufferSize);
    centralDir.OpenEntry(index);
    const CZipEntryHeader& header = *centralDir.currentHeader;

    // A local header that went on to the next volume leaves nothing to compare in this one.
    if (storage.GetCurrentVolume() == header.diskStart) {
        const std::uint64_t dataStart = std::uint64_t{header.localHeaderOffset} + localHeaderSize +
                                        header.storedNameLength + centralDir.localExtraField.GetSize();
        if (!DataEndBeforeNextRecord(centralDir, index, dataStart))
            ThrowError(CZipException::BadArchive);
    }
    const bool encrypted = header.IsEncrypted();
    // Checked before anything is subtracted from the size.
    if (encrypted && header.compressedSize < encryptionHeaderSize)
        ThrowError(CZipException::BadArchive);
    if (encrypted) {
        if (password.IsEmpty())
            ThrowError(CZipException::WrongPassword);
        InitKeys();
        if (!CheckEncryptionHeader())
            ThrowError(CZipException::WrongPassword);
    }
    if (header.method != methodStored && header.method != methodDeflated)
        ThrowError(CZipException::BadArchive);
    const std::uint32_t dataSize = header.compressedSize - (encrypted ? encryptionHeaderSize : 0);
    // Stored bytes are the file's bytes: any other count is damage, which would otherwise leave
    // bytes unread or ask for bytes that are not there.
    if (header.method == methodStored && dataSize != header.uncompressedSize)
        ThrowError(CZipException::BadArchive);

    z_stream& stream = entryStream.stream;
    stream.next_in = nullptr;
    stream.avail_in = 0;
    if (header.method == methodDeflated) {
        stream.opaque = trackZlibBlocks ? &zlibBlocks : nullptr;
        CheckZlibResult(inflateInit2_(&stream, rawDeflateWindowBits, ZLIB_VERSION, static_cast<int>(sizeof stream)));
    }
    entryStream.compressedLeft = dataSize;
    entryStream.uncompressedLeft = header.uncompressedSize;
    entryStream.crc = 0;
    entryStream.extraByteOffered = false;
    entryStream.streamEnded = false;
    stream.total_out = 0;
    openEntryState = EntryReading;
    return true;
}

void CZipArchive::RefillEntryInput() {
    CZipEntryStream& entry = entryStream;
    const std::uint32_t n = std::min(entry.bufferSize, entry.compressedLeft);
    if (n > 0) {
        storage.Read(entry.buffer.GetBuffer(), n, false);
        DecryptBuffer(n);
        entry.compressedLeft -= n;
    } else {
        // Some decompressors want one byte past the data to finish; a stream that asks again after
        // it is cut short, and reading on would leave the entry's data.
        if (entry.extraByteOffered)
            ThrowError(CZipException::BadArchive);
        entry.extraByteOffered = true;
    }
    entry.stream.next_in = entry.buffer.GetBytes();
    entry.stream.avail_in = n > 0 ? n : 1;
}

std::uint32_t CZipArchive::ReadEntry(void* buffer, std::uint32_t size) {
    if (openEntryState != EntryReading || buffer == nullptr || size == 0)
        return 0;
    CZipEntryStream& entry = entryStream;
    z_stream& stream = entry.stream;
    const bool deflated = centralDir.currentHeader->method != methodStored;
    if (deflated && entry.streamEnded)
        return 0;
    size = std::min(size, entry.uncompressedLeft);
    stream.next_out = static_cast<Bytef*>(buffer);
    stream.avail_out = size;
    std::uint32_t total = 0;

    if (!deflated) {
        // Open made sure the stored bytes are exactly the declared size.
        const bool encrypted = centralDir.currentHeader->IsEncrypted();
        while (stream.avail_out > 0) {
            std::uint32_t n;
            if (stream.avail_in == 0 && !encrypted) {
                // Plain stored bytes need no work between the archive and the caller: they go
                // straight into the caller's buffer, without a stop in the entry's own.
                if (entry.compressedLeft == 0)
                    ThrowError(CZipException::BadArchive);
                n = std::min(stream.avail_out, entry.compressedLeft);
                storage.Read(stream.next_out, n, false);
                entry.compressedLeft -= n;
            } else {
                if (stream.avail_in == 0) {
                    if (entry.compressedLeft == 0)
                        ThrowError(CZipException::BadArchive);
                    RefillEntryInput();
                }
                n = std::min(stream.avail_out, stream.avail_in);
                std::memcpy(stream.next_out, stream.next_in, n);
                stream.avail_in -= n;
                stream.next_in += n;
            }
            entry.crc = ZipCrc::Update(entry.crc, stream.next_out, n);
            entry.uncompressedLeft -= n;
            stream.avail_out -= n;
            stream.next_out += n;
            stream.total_out += n;
            total += n;
        }
        return total;
    }

    // Once the declared size is delivered, the rest of the stream is read (without room for output)
    // until it ends: a stream that holds more than it declares fails here with a buffer error rather
    // than passing as complete.
    while (stream.avail_out > 0 || entry.uncompressedLeft == 0) {
        if (stream.avail_in == 0)
            RefillEntryInput();
        const uLong before = stream.total_out;
        Bytef* const out = stream.next_out;
        const int result = inflate(&stream, Z_SYNC_FLUSH);
        const auto produced = static_cast<std::uint32_t>(stream.total_out - before);
        entry.crc = ZipCrc::Update(entry.crc, out, produced);
        entry.uncompressedLeft -= produced;
        total += produced;
        if (result == Z_STREAM_END) {
            entry.streamEnded = true;
            break;
        }
        // Raw deflate has no dictionary to ask for: such a request is damaged data.
        if (result == Z_NEED_DICT)
            ThrowError(Z_DATA_ERROR, true);
        CheckZlibResult(result);
    }
    return total;
}

int CZipArchive::CloseEntry(const char* path, bool afterException) {
    if (openEntryState != EntryReading)
        return 0;
    int result = 1;
    const CZipEntryHeader& header = *centralDir.currentHeader;
    const bool deflated = header.method == methodDeflated;
    if (!afterException) {
        // Not all read: the CRC covers only part of the data. A deflate stream that was never read
        // to its end has not shown that it holds no more than declared.
        if (entryStream.uncompressedLeft != 0 || (deflated && !entryStream.streamEnded))
            result = -1;
        else if (entryStream.crc != header.crc32)
            ThrowError(CZipException::CrcMismatch);
        if (deflated)
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
    // The file gets its time and attributes before it is closed, through its
    // descriptor; a stream without a path (in memory) has nothing to stamp.
    CZipStream::StampResult stamp = CZipStream::NotAFile;
    if (openEntryState == EntryReading) {
        const CZipEntryHeader& header = *centralDir.currentHeader;
        stamp = output.Stamp(header.GetTime(), 0, header.GetLocalAttributes(), header.GetUnixPermissions());
    }
    const std::string path = output.GetFilePath();
    output.Close();
    if (stamp == CZipStream::NotAFile)
        return CloseEntry(path.empty() ? nullptr : path.c_str(), false);
    const int result = CloseEntry(nullptr, false);
    return stamp == CZipStream::StampFailed ? -2 : result;
}
