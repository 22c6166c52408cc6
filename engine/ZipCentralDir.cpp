#include "engine/ZipCentralDir.h"

#include "engine/ZipArchiveStorage.h"
#include "engine/ZipException.h"
#include "engine/ZipRecords.h"

#include <algorithm>

using namespace ZipRecords;

void CZipCentralDir::ThrowError(int code) const {
    CZipStream* file = storage ? storage->GetFile() : nullptr;
    CZipException::Throw(code, file ? file->GetFilePath() : std::string());
}

void CZipCentralDir::ReadFromFile(void* buffer, std::uint32_t count) {
    if (storage->ReadFromVolume(buffer, count) != count)
        ThrowError(CZipException::BadArchive);
}

void CZipCentralDir::Clear() {
    cdOnDisk = false;
    info.endRecordOffset = 0;
    info.bytesBeforeArchive = 0;
    info.cdSize = 0;
    info.cdOffset = 0;
    currentHeader = nullptr;
    globalComment.Release();
}

// Searches the last 65 557 bytes backward, in chunks that overlap by three bytes
// so that a signature across a chunk boundary is seen whole. The occurrence
// nearest the end wins; the scan starts at the file's last four bytes.
std::uint64_t CZipCentralDir::LocateEndRecord() {
    CZipStream* file = storage->GetFile();
    const std::int64_t length = file->GetLength();
    const std::int64_t limit = std::min<std::int64_t>(length, endRecordSearchLimit);
    const std::int64_t chunk = searchBufferSize;
    CZipBuffer buffer(searchBufferSize);
    const unsigned char* bytes = buffer.GetBytes();
    std::int64_t covered = 0;
    std::int64_t back = 0;
    while (back < limit) {
        back = std::min(covered + chunk, limit);
        const auto n = static_cast<std::uint32_t>(back - covered);
        file->Seek(-back, CZipStream::FromEnd);
        ReadFromFile(buffer.GetBuffer(), n);
        for (std::int64_t i = static_cast<std::int64_t>(n) - signatureSize; i >= 0; --i)
            if (HasSignature(bytes + i, endRecordSignature))
                return static_cast<std::uint64_t>(length - back + i);
        covered += static_cast<std::int64_t>(n) - (signatureSize - 1);
    }
    ThrowError(CZipException::CentralDirNotFound);
}

void CZipCentralDir::Read() {
    CZipStream* file = storage->GetFile();
    info.endRecordOffset = LocateEndRecord();
    unsigned char record[endRecordSize];
    file->Seek(static_cast<std::int64_t>(info.endRecordOffset), CZipStream::FromBegin);
    ReadFromFile(record, endRecordSize);
    info.thisDisk = ReadLe16(record + EndRecord::thisDisk);
    info.cdStartDisk = ReadLe16(record + EndRecord::cdStartDisk);
    info.entriesOnThisDisk = ReadLe16(record + EndRecord::entriesOnThisDisk);
    info.totalEntries = ReadLe16(record + EndRecord::totalEntries);
    info.cdSize = ReadLe32(record + EndRecord::cdSize);
    info.cdOffset = ReadLe32(record + EndRecord::cdOffset);
    const std::uint16_t commentLength = ReadLe16(record + EndRecord::commentLength);

    storage->DetectVolumes(info.thisDisk);
    // A directory that starts in the file holding the end record (always so for
    // a single file) ends in it too, so the bytes in front of the archive there
    // can be worked out: a self-extractor's stub sits in front of the last
    // volume just as in front of a single file. The other volumes have none.
    const bool cdInLastFile = storage->GetVolumeState() == 0 || info.cdStartDisk == info.thisDisk;
    // The sum in 64 bits: wrapped around it would let a hostile directory pass.
    const std::uint64_t cdEnd = std::uint64_t{info.cdOffset} + info.cdSize;
    if (cdInLastFile && info.endRecordOffset < cdEnd)
        ThrowError(CZipException::BadArchive);
    if (commentLength != 0) {
        globalComment.Allocate(commentLength);
        ReadFromFile(globalComment.GetBuffer(), commentLength);
    }
    // The directory is taken to end where the end record begins; whatever lies
    // before the archive's own offsets is the stub (0 when offsets are file-relative).
    info.bytesBeforeArchive = cdInLastFile ? info.endRecordOffset - cdEnd : 0;
    storage->archiveStart = info.bytesBeforeArchive;
    if ((info.cdSize == 0) != (info.totalEntries == 0))
        ThrowError(CZipException::BadArchive);
    cdOnDisk = true;
    storage->ChangeVolume(info.cdStartDisk);
    if (info.cdSize != 0)
        ReadHeaders();
}

void CZipCentralDir::ReadHeaders() {
    storage->GetFile()->Seek(static_cast<std::int64_t>(info.cdOffset + storage->GetArchiveStart()),
                             CZipStream::FromBegin);
    headers.clear();
    // The count is the record's word; the size bounds what can really be there.
    headers.reserve(std::min<std::size_t>(info.totalEntries, info.cdSize / centralHeaderSize));
    // The headers must fill the directory exactly: a count below what the size
    // holds would drop entries silently, a count above it reads past the directory.
    std::uint64_t consumed = 0;
    for (std::uint32_t i = 0; i < info.totalEntries; ++i) {
        CZipEntryHeader& header = headers.emplace_back();
        if (!header.ReadCentralHeader(*storage))
            ThrowError(CZipException::BadArchive);
        consumed += std::uint64_t{centralHeaderSize} + header.storedNameLength + header.extraField.GetSize() +
                    header.comment.GetSize();
        if (consumed > info.cdSize)
            ThrowError(CZipException::BadArchive);
        if (convertNamesOnOpen)
            header.ConvertFileName(oemConversion);
    }
    if (consumed != info.cdSize)
        ThrowError(CZipException::BadArchive);
    const auto byPosition = [](const CZipEntryHeader& a, const CZipEntryHeader& b) {
        if (a.diskStart != b.diskStart)
            return a.diskStart < b.diskStart;
        return a.localHeaderOffset < b.localHeaderOffset;
    };
    std::sort(headers.begin(), headers.end(), byPosition);
    // Two entries sharing one local header are found as neighbours once sorted.
    const auto duplicate = std::adjacent_find(headers.begin(), headers.end(), [](const auto& a, const auto& b) {
        return a.diskStart == b.diskStart && a.localHeaderOffset == b.localHeaderOffset;
    });
    if (duplicate != headers.end())
        CZipException::Throw(CZipException::BadArchive);
}

void CZipCentralDir::OpenEntry(std::uint16_t index) {
    currentHeader = &headers[index];
    storage->ChangeVolume(currentHeader->diskStart);
    CZipStream* file = storage->GetFile();
    file->Seek(static_cast<std::int64_t>(currentHeader->localHeaderOffset + storage->GetArchiveStart()),
               CZipStream::FromBegin);
    std::uint16_t extraLength = 0;
    if (!currentHeader->ReadLocalHeader(*storage, extraLength))
        ThrowError(CZipException::BadArchive);
    // The name is stepped over, not read: one cut by the end of its volume
    // would leave the data to be read from the wrong place.
    if (file->GetPosition() > file->GetLength())
        ThrowError(CZipException::BadArchive);
    localExtraField.Release();
    if (extraLength != 0) {
        const int volume = storage->GetCurrentVolume();
        localExtraField.Allocate(extraLength);
        storage->Read(localExtraField.GetBuffer(), extraLength, true);
        if (storage->GetCurrentVolume() != volume)
            ThrowError(CZipException::BadArchive);
    }
}

void CZipCentralDir::CloseEntry(bool skipDescriptor) {
    if (currentHeader == nullptr)
        return;
    localExtraField.Release();
    if (!skipDescriptor && currentHeader->HasDataDescriptor()) {
        // The signature is optional: without it, the first four bytes are the
        // CRC. Read forward only: a descriptor may run on into the next volume,
        // where stepping back would not return to its start.
        unsigned char descriptor[signatureSize + descriptorSize];
        storage->Read(descriptor, descriptorSize, false);
        const unsigned char* values = descriptor;
        if (HasSignature(descriptor, descriptorSignature)) {
            storage->Read(descriptor + descriptorSize, signatureSize, false);
            values += signatureSize;
        }
        if (!currentHeader->CheckDescriptor(values))
            ThrowError(CZipException::BadArchive);
    }
    currentHeader = nullptr;
}

void CZipCentralDir::Close(bool deleteHeaders) {
    currentHeader = nullptr;
    localExtraField.Release();
    if (deleteHeaders) {
        headers.clear();
        headers.shrink_to_fit();
        globalComment.Release();
    }
}

void CZipCentralDir::ConvertFileName(CZipEntryHeader& header) const {
    if (!convertNamesOnOpen)
        header.ConvertFileName(oemConversion);
}

void CZipCentralDir::Write(CZipActionCallback* /*callback*/) {
    // Only archive modification writes a directory, and this engine only reads;
    // a directory read from the file (cdOnDisk) is never written back in any case.
}
