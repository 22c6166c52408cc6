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
bool DataEndBeforeNextRecord(const CZipCentralDir& dir, std::uint32_t index, std::uint64_t dataStart) {
    const CZipEntryHeader& header = *dir.currentHeader;
    // The descriptor's signature is optional: count the bytes it always has. 64-bit sizes from a
    // hostile header must not wrap the sum around.
    const std::uint64_t descriptor =
        header.HasDataDescriptor() ? (dir.zip64Descriptor ? zip64DescriptorSize : descriptorSize) : 0;
    if (header.compressedSize > UINT64_MAX - dataStart - descriptor)
        return false;
    const std::uint64_t end = dataStart + header.compressedSize + descriptor;
    if (dir.IsValidIndex(std::int64_t{index} + 1)) {
        if (dir.GetDiskStart(index + 1) == header.diskStart && end > dir.GetLocalHeaderOffset(index + 1))
            return false;
    }
    return !(dir.info.cdStartDisk == header.diskStart && end > dir.info.cdOffset);
}

} // namespace

std::uint64_t CZipArchive::CheckEntryData(std::uint32_t index) {
    centralDir.OpenEntry(index);
    const CZipEntryHeader& header = *centralDir.currentHeader;

    // A local header that went on to the next volume leaves nothing to compare in this one.
    if (static_cast<std::uint32_t>(storage.GetCurrentVolume()) == header.diskStart) {
        const std::uint64_t dataStart =
            header.localHeaderOffset + localHeaderSize + header.storedNameLength + centralDir.localExtraField.GetSize();
        if (!DataEndBeforeNextRecord(centralDir, index, dataStart))
            ThrowError(CZipException::BadArchive);
    }
    const bool encrypted = header.IsEncrypted();
    // Checked before anything is subtracted from the size.
    if (encrypted && header.compressedSize < encryptionHeaderSize)
        ThrowError(CZipException::BadArchive);
    if (header.method != methodStored && header.method != methodDeflated)
        ThrowError(CZipException::BadArchive);
    const std::uint64_t dataSize = header.compressedSize - (encrypted ? encryptionHeaderSize : 0);
    // Stored bytes are the file's bytes: any other count is damage, which would otherwise leave
    // bytes unread or ask for bytes that are not there.
    if (header.method == methodStored && dataSize != header.uncompressedSize)
        ThrowError(CZipException::BadArchive);
    return dataSize;
}

void CZipArchive::CheckPassword() {
    if (password.IsEmpty())
        ThrowError(CZipException::WrongPassword);
    InitKeys();
    if (!CheckEncryptionHeader())
        ThrowError(CZipException::WrongPassword);
}

bool CZipArchive::OpenEntry(std::uint32_t index) {
    if (!centralDir.IsValidIndex(index) || storage.GetVolumeState() == 1 || openEntryState != EntryNone)
        return false;
    entryStream.buffer.Allocate(entryStream.bufferSize);
    const std::uint64_t dataSize = CheckEntryData(index);
    const CZipEntryHeader& header = *centralDir.currentHeader;
    if (header.IsEncrypted())
        CheckPassword();

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

void CZipArchive::LocateEntryData(std::uint32_t index, CZipExtraction& job) {
    if (!centralDir.IsValidIndex(index) || !CanReadEntriesAtOnce() || openEntryState != EntryNone)
        ThrowError(CZipException::InternalFault);
    CheckEntryData(index);
    const CZipEntryHeader& header = *centralDir.currentHeader;
    const std::int64_t position = storage.GetFile()->GetPosition();
    if (position < 0)
        ThrowError(CZipException::BadArchive);
    job.dataStart = static_cast<std::uint64_t>(position);
    // A wrong password is told here, before anything is made for the entry, as OpenEntry tells it.
    if (header.IsEncrypted()) {
        CheckPassword();
        job.password.assign(reinterpret_cast<const char*>(password.GetBytes()), password.GetSize());
    }
    job.compressedSize = header.compressedSize;
    job.uncompressedSize = header.uncompressedSize;
    job.crc32 = header.crc32;
    job.method = static_cast<std::uint8_t>(header.method);
    job.encrypted = header.IsEncrypted();
    job.encryptionCheckByte = header.GetEncryptionCheckByte();
    job.dataDescriptor = header.HasDataDescriptor();
    job.zip64Descriptor = centralDir.zip64Descriptor;
    job.time = header.GetModTime(&centralDir.localExtraField);
    job.attributes = header.GetLocalAttributes();
    job.unixMode = header.GetUnixPermissions();
    // The data and the descriptor are read by whoever decodes the entry.
    centralDir.CloseEntry(true);
}

bool CZipArchive::CanReadEntriesAtOnce() const {
    return !IsClosed() && storage.GetVolumeState() == 0 && storage.volumeMode == CZipArchiveStorage::NoVolumes &&
           !storage.externalStream && storage.file == &storage.diskFile;
}

int CZipArchive::GetArchiveHandle() const { return storage.diskFile.GetHandle(); }

void CZipArchive::RefillEntryInput() {
    CZipEntryStream& entry = entryStream;
    const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(entry.bufferSize, entry.compressedLeft));
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
    size = static_cast<std::uint32_t>(std::min<std::uint64_t>(size, entry.uncompressedLeft));
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
                n = static_cast<std::uint32_t>(std::min<std::uint64_t>(stream.avail_out, entry.compressedLeft));
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
            const CZipEntryHeader::Time time = header.GetModTime(&centralDir.localExtraField);
            if (!ZipOs::ApplyModTime(path, time.seconds, time.nanoseconds) ||
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
        const CZipEntryHeader::Time time = header.GetModTime(&centralDir.localExtraField);
        stamp = output.Stamp(time.seconds, time.nanoseconds, header.GetLocalAttributes(), header.GetUnixPermissions());
    }
    const std::string path = output.GetFilePath();
    output.Close();
    if (stamp == CZipStream::NotAFile)
        return CloseEntry(path.empty() ? nullptr : path.c_str(), false);
    const int result = CloseEntry(nullptr, false);
    return stamp == CZipStream::StampFailed ? -2 : result;
}
