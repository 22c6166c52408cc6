#include "engine/ZipCentralDir.h"

#include "engine/ZipArchiveStorage.h"
#include "engine/ZipException.h"
#include "engine/ZipExtraField.h"
#include "engine/ZipRecords.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <vector>

static_assert(sizeof(CZipCentralDir::Record) == 40, "an entry's fixed fields take 40 bytes");

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
    info.zip64 = false;
    currentHeader = nullptr;
    peekedIndex = noPeekedIndex;
    zip64Descriptor = false;
    globalComment.Release();
}

// Searches the last 65 557 bytes backward, in chunks that overlap by three bytes
// so that a signature across a chunk boundary is seen whole; the scan starts at
// the file's last four bytes. The occurrences nearest the end first: only the first, or all.
std::vector<std::uint64_t> CZipCentralDir::FindEndRecordSignatures(bool all) {
    CZipStream* file = storage->GetFile();
    const auto length = static_cast<std::int64_t>(storage->GetDataLength());
    const std::int64_t limit = std::min<std::int64_t>(length, endRecordSearchLimit);
    const std::int64_t chunk = searchBufferSize;
    CZipBuffer buffer(searchBufferSize);
    const unsigned char* bytes = buffer.GetBytes();
    std::vector<std::uint64_t> found;
    std::int64_t covered = 0;
    std::int64_t back = 0;
    while (back < limit) {
        back = std::min(covered + chunk, limit);
        const auto n = static_cast<std::uint32_t>(back - covered);
        file->Seek(length - back, CZipStream::FromBegin);
        ReadFromFile(buffer.GetBuffer(), n);
        for (std::int64_t i = static_cast<std::int64_t>(n) - signatureSize; i >= 0; --i)
            if (HasSignature(bytes + i, endRecordSignature)) {
                found.push_back(static_cast<std::uint64_t>(length - back + i));
                if (!all)
                    return found;
            }
        covered += static_cast<std::int64_t>(n) - (signatureSize - 1);
    }
    return found;
}

bool CZipCentralDir::ReadEndRecordAt(std::uint64_t offset, unsigned char* record) {
    CZipStream* file = storage->GetFile();
    const auto length = storage->GetDataLength();
    if (offset > length || length - offset < endRecordSize)
        return false;
    file->Seek(static_cast<std::int64_t>(offset), CZipStream::FromBegin);
    ReadFromFile(record, endRecordSize);
    return true;
}

// Whether the record at offset leads to a directory in this file: what Read would check first.
// A ZIP64 record's own record decides, so one counts as leading.
bool CZipCentralDir::LeadsToDirectoryHere(std::uint64_t offset) {
    unsigned char record[endRecordSize];
    if (!ReadEndRecordAt(offset, record))
        return false;
    CZipStream* file = storage->GetFile();
    const auto length = storage->GetDataLength();
    if (length - offset - endRecordSize < ReadLe16(record + EndRecord::commentLength))
        return false;
    if (offset >= zip64LocatorSize) {
        unsigned char locator[signatureSize];
        file->Seek(static_cast<std::int64_t>(offset - zip64LocatorSize), CZipStream::FromBegin);
        ReadFromFile(locator, signatureSize);
        if (HasSignature(locator, zip64LocatorSignature))
            return true;
    }
    if (ReadLe16(record + EndRecord::cdStartDisk) != ReadLe16(record + EndRecord::thisDisk))
        return false;
    const std::uint64_t cdSize = ReadLe32(record + EndRecord::cdSize);
    const std::uint64_t totalEntries = ReadLe16(record + EndRecord::totalEntries);
    if (ReadLe32(record + EndRecord::cdOffset) + cdSize > offset || (cdSize == 0) != (totalEntries == 0) ||
        totalEntries > cdSize / centralHeaderSize)
        return false;
    if (totalEntries == 0)
        return true;
    unsigned char header[signatureSize];
    file->Seek(static_cast<std::int64_t>(offset - cdSize), CZipStream::FromBegin);
    ReadFromFile(header, signatureSize);
    return HasSignature(header, centralHeaderSignature);
}

// The occurrence nearest the end wins. An archive comment may hold the signature too (in text, or
// a whole archive): when the nearest one leads to no directory in this file and lies inside the
// comment of a record that does, that record is taken. (A split set's last volume whose own record
// stood in such a comment would be misread; no writer makes one.)
std::uint64_t CZipCentralDir::LocateEndRecord() {
    const std::vector<std::uint64_t> first = FindEndRecordSignatures(false);
    if (first.empty())
        ThrowError(CZipException::CentralDirNotFound);
    const std::uint64_t nearest = first.front();
    if (LeadsToDirectoryHere(nearest))
        return nearest;
    const std::vector<std::uint64_t> candidates = FindEndRecordSignatures(true);
    for (std::size_t i = 1; i < candidates.size(); ++i) {
        unsigned char record[endRecordSize];
        const std::uint64_t commentStart = candidates[i] + endRecordSize;
        if (commentStart > nearest || !ReadEndRecordAt(candidates[i], record))
            continue;
        const bool holdsNearest = nearest + signatureSize <= commentStart + ReadLe16(record + EndRecord::commentLength);
        if (holdsNearest && LeadsToDirectoryHere(candidates[i]))
            return candidates[i];
    }
    return nearest;
}

void CZipCentralDir::Read() {
    info.endRecordOffset = LocateEndRecord();
    unsigned char record[endRecordSize];
    // Whole before the data end: a record cut there is not completed from what follows.
    if (!ReadEndRecordAt(info.endRecordOffset, record))
        ThrowError(CZipException::BadArchive);
    info.thisDisk = ReadLe16(record + EndRecord::thisDisk);
    info.cdStartDisk = ReadLe16(record + EndRecord::cdStartDisk);
    info.entriesOnThisDisk = ReadLe16(record + EndRecord::entriesOnThisDisk);
    info.totalEntries = ReadLe16(record + EndRecord::totalEntries);
    info.cdSize = ReadLe32(record + EndRecord::cdSize);
    info.cdOffset = ReadLe32(record + EndRecord::cdOffset);
    info.zip64 = false;
    const std::uint16_t commentLength = ReadLe16(record + EndRecord::commentLength);
    if (commentLength != 0) {
        globalComment.Allocate(commentLength);
        ReadFromFile(globalComment.GetBuffer(), commentLength);
    }

    LocatorValues locator;
    const bool zip64 = ReadZip64Locator(locator);
    // The end record's disk number may defer to the locator's count of disks.
    std::uint32_t lastDisk = info.thisDisk;
    if (zip64 && lastDisk == zip64Mark16) {
        if (locator.totalDisks == 0)
            ThrowError(CZipException::BadArchive);
        lastDisk = locator.totalDisks - 1;
    }
    if (lastDisk > zip64Mark16)
        ThrowError(CZipException::BadArchive);
    storage->DetectVolumes(static_cast<std::uint16_t>(lastDisk));
    // A directory that starts in the file holding the end record (always so for
    // a single file) ends in it too, so the bytes in front of the archive there
    // can be worked out: a self-extractor's stub sits in front of the last
    // volume just as in front of a single file. The other volumes have none.
    std::uint64_t stub = 0;
    std::uint64_t directoryLimit = info.endRecordOffset;
    if (zip64) {
        stub = ReadZip64EndRecord(locator, lastDisk);
        directoryLimit = locator.recordOffset;
    }
    const bool cdInLastFile = storage->GetVolumeState() == 0 || info.cdStartDisk == lastDisk;
    // Wrapped around, the sum would let a hostile directory pass.
    if (info.cdSize > UINT64_MAX - info.cdOffset)
        ThrowError(CZipException::BadArchive);
    const std::uint64_t cdEnd = info.cdOffset + info.cdSize;
    if (cdInLastFile && directoryLimit < cdEnd)
        ThrowError(CZipException::BadArchive);
    // Classic: the directory is taken to end where the end record begins; whatever lies before
    // the archive's own offsets is the stub (0 when offsets are file-relative).
    if (!zip64)
        stub = cdInLastFile ? info.endRecordOffset - cdEnd : 0;
    info.bytesBeforeArchive = stub;
    storage->archiveStart = stub;
    if ((info.cdSize == 0) != (info.totalEntries == 0))
        ThrowError(CZipException::BadArchive);
    // Every header takes its fixed 46 bytes at least: a count the size cannot hold is damage.
    if (info.totalEntries > info.cdSize / centralHeaderSize || info.totalEntries > INT_MAX)
        ThrowError(CZipException::BadArchive);
    cdOnDisk = true;
    storage->ChangeVolume(static_cast<int>(info.cdStartDisk));
    if (info.cdSize != 0)
        ReadHeaders();
}

bool CZipCentralDir::ReadZip64Locator(LocatorValues& locator) {
    if (info.endRecordOffset < zip64LocatorSize)
        return false;
    unsigned char bytes[zip64LocatorSize];
    CZipStream* file = storage->GetFile();
    file->Seek(static_cast<std::int64_t>(info.endRecordOffset - zip64LocatorSize), CZipStream::FromBegin);
    ReadFromFile(bytes, zip64LocatorSize);
    if (!HasSignature(bytes, zip64LocatorSignature))
        return false;
    locator.recordDisk = ReadLe32(bytes + Zip64Locator::recordDisk);
    locator.recordOffset = ReadLe64(bytes + Zip64Locator::recordOffset);
    locator.totalDisks = ReadLe32(bytes + Zip64Locator::totalDisks);
    return true;
}

bool CZipCentralDir::ReadRecordAt(std::uint64_t position, unsigned char* record) {
    CZipStream* file = storage->GetFile();
    if (position > storage->GetDataLength() ||
        storage->GetDataLength() - position < zip64EndRecordSize)
        return false;
    file->Seek(static_cast<std::int64_t>(position), CZipStream::FromBegin);
    ReadFromFile(record, zip64EndRecordSize);
    return HasSignature(record, zip64EndRecordSignature);
}

std::uint64_t CZipCentralDir::ReadZip64EndRecord(const LocatorValues& locator, std::uint32_t lastDisk) {
    unsigned char record[zip64EndRecordSize];
    constexpr std::uint64_t plainRecordSize = zip64EndRecordSize - zip64EndRecordLeading;
    std::uint64_t stub = 0;
    bool found = false;
    if (locator.recordDisk == lastDisk) {
        // The record ends where the locator begins, and its stored offset is short by the stub's
        // length, as every stored offset. A record without extensible data stands right before
        // the locator; one with it is found at its stored offset when there is no stub.
        const std::uint64_t locatorAt = info.endRecordOffset - zip64LocatorSize;
        if (locatorAt >= zip64EndRecordSize && ReadRecordAt(locatorAt - zip64EndRecordSize, record) &&
            ReadLe64(record + Zip64EndRecord::recordSize) == plainRecordSize &&
            locatorAt - zip64EndRecordSize >= locator.recordOffset) {
            stub = locatorAt - zip64EndRecordSize - locator.recordOffset;
            found = true;
        } else if (locator.recordOffset < locatorAt && locatorAt - locator.recordOffset >= zip64EndRecordSize &&
                   ReadRecordAt(locator.recordOffset, record) &&
                   ReadLe64(record + Zip64EndRecord::recordSize) ==
                       locatorAt - locator.recordOffset - zip64EndRecordLeading) {
            found = true;
        }
    } else {
        // An earlier volume, which has no stub in front. The last then holds nothing of the archive
        // before the locator: whatever stands in front of it is the stub.
        stub = info.endRecordOffset - zip64LocatorSize;
        storage->ChangeVolume(static_cast<int>(locator.recordDisk));
        found = ReadRecordAt(locator.recordOffset, record);
    }
    if (!found || ReadLe64(record + Zip64EndRecord::recordSize) < plainRecordSize)
        ThrowError(CZipException::BadArchive);
    info.zip64 = true;
    info.thisDisk = ReadLe32(record + Zip64EndRecord::thisDisk);
    info.cdStartDisk = ReadLe32(record + Zip64EndRecord::cdStartDisk);
    info.entriesOnThisDisk = ReadLe64(record + Zip64EndRecord::entriesOnThisDisk);
    info.totalEntries = ReadLe64(record + Zip64EndRecord::totalEntries);
    info.cdSize = ReadLe64(record + Zip64EndRecord::cdSize);
    info.cdOffset = ReadLe64(record + Zip64EndRecord::cdOffset);
    if (info.cdStartDisk > lastDisk)
        ThrowError(CZipException::BadArchive);
    return stub;
}

void CZipCentralDir::ReadHeaders() {
    peekedIndex = noPeekedIndex;
    CZipStream* file = storage->GetFile();
    const std::uint64_t start = info.cdOffset + storage->GetArchiveStart();
    const auto length = storage->GetDataLength();
    if (start < info.cdOffset || start > static_cast<std::uint64_t>(INT64_MAX))
        ThrowError(CZipException::BadArchive);
    file->Seek(static_cast<std::int64_t>(start), CZipStream::FromBegin);
    records.clear();
    wideValues.clear();
    parts.clear();
    // The count and size are the record's word; the bytes really there bound what is reserved.
    const std::uint64_t present = std::min(info.cdSize, start < length ? length - start : 0);
    const std::uint64_t reserved = std::min<std::uint64_t>(info.totalEntries, present / centralHeaderSize);
    records.reserve(static_cast<std::size_t>(reserved));
    // The block's offsets are 32-bit (see Store).
    parts.reserve(
        static_cast<std::size_t>(std::min<std::uint64_t>(present - reserved * centralHeaderSize, UINT32_MAX)));
    // The headers must fill the directory exactly: a count below what the size
    // holds would drop entries silently, a count above it reads past the directory.
    std::uint64_t consumed = 0;
    CZipEntryHeader header;
    for (std::uint64_t i = 0; i < info.totalEntries; ++i) {
        if (!header.ReadCentralHeader(*storage))
            ThrowError(CZipException::BadArchive);
        consumed += std::uint64_t{centralHeaderSize} + header.storedNameLength + header.extraField.GetSize() +
                    header.comment.GetSize();
        if (consumed > info.cdSize)
            ThrowError(CZipException::BadArchive);
        Store(header);
    }
    if (consumed != info.cdSize)
        ThrowError(CZipException::BadArchive);
    const auto position = [this](const Record& record) {
        if (!record.wide)
            return std::make_pair(std::uint32_t{0}, std::uint64_t{record.localHeaderOffset});
        const WideValues& wide = wideValues[record.compressedSize];
        return std::make_pair(wide.diskStart, wide.localHeaderOffset);
    };
    const auto byPosition = [&position](const Record& a, const Record& b) { return position(a) < position(b); };
    std::sort(records.begin(), records.end(), byPosition);
    // Two entries sharing one local header are found as neighbours once sorted.
    const auto duplicate =
        std::adjacent_find(records.begin(), records.end(),
                           [&position](const auto& a, const auto& b) { return position(a) == position(b); });
    if (duplicate != records.end())
        CZipException::Throw(CZipException::BadArchive);
}

std::uint32_t CZipCentralDir::GetDiskStart(std::size_t index) const {
    const Record& record = records[index];
    return record.wide ? wideValues[record.compressedSize].diskStart : 0;
}

std::uint64_t CZipCentralDir::GetLocalHeaderOffset(std::size_t index) const {
    const Record& record = records[index];
    return record.wide ? wideValues[record.compressedSize].localHeaderOffset : record.localHeaderOffset;
}

void CZipCentralDir::Store(const CZipEntryHeader& header) {
    // Of the extra field only the blocks read later are kept: the times and the UTF-8 name. The
    // ZIP64 block's values are in the header's fields already, and the rest (user and group ids,
    // ...) is never read.
    static constexpr std::uint16_t keptTags[] = {ZipExtraField::tagNtfs, ZipExtraField::tagExtendedTime,
                                                 ZipExtraField::tagInfoZipUnixOld, ZipExtraField::tagUnicodePath};
    const std::size_t partsStart = parts.size();
    // The block's offsets are 32-bit: 4 GiB of names and extra fields is past any memory this takes.
    if (partsStart > UINT32_MAX - std::size_t{3} * UINT16_MAX)
        ThrowError(CZipException::BadArchive);
    parts.insert(parts.end(), header.fileName.GetBuffer(), header.fileName.GetBuffer() + header.fileName.GetSize());
    const std::size_t extraLength = ZipExtraField::AppendBlocks(
        parts, header.extraField.GetBytes(), header.extraField.GetSize(), keptTags, std::size(keptTags));
    parts.insert(parts.end(), header.comment.GetBuffer(), header.comment.GetBuffer() + header.comment.GetSize());

    Record& record = records.emplace_back();
    const bool wide = header.compressedSize > UINT32_MAX || header.uncompressedSize > UINT32_MAX ||
                      header.localHeaderOffset > UINT32_MAX || header.diskStart != 0;
    record.wide = wide;
    if (wide) {
        if (wideValues.size() >= UINT32_MAX)
            ThrowError(CZipException::BadArchive);
        record.compressedSize = static_cast<std::uint32_t>(wideValues.size());
        wideValues.push_back(
            {header.compressedSize, header.uncompressedSize, header.localHeaderOffset, header.diskStart});
    } else {
        record.compressedSize = static_cast<std::uint32_t>(header.compressedSize);
        record.uncompressedSize = static_cast<std::uint32_t>(header.uncompressedSize);
        record.localHeaderOffset = static_cast<std::uint32_t>(header.localHeaderOffset);
    }
    record.crc32 = header.crc32;
    record.externalAttr = header.externalAttr;
    record.partsOffset = static_cast<std::uint32_t>(partsStart);
    record.versionMadeBy = header.versionMadeBy;
    record.flags = header.flags;
    record.modTime = header.modTime;
    record.modDate = header.modDate;
    record.nameLength = header.storedNameLength;
    record.extraLength = static_cast<std::uint16_t>(extraLength);
    record.commentLength = static_cast<std::uint16_t>(header.comment.GetSize());
    record.method = static_cast<std::uint8_t>(std::min<std::uint16_t>(header.method, UINT8_MAX));
}

namespace {

void CopyPart(CZipBuffer& buffer, const char* bytes, std::uint16_t size) {
    buffer.Allocate(size);
    if (size != 0)
        std::memcpy(buffer.GetBuffer(), bytes, size);
}

} // namespace

CZipEntryHeader CZipCentralDir::GetHeader(std::size_t index) const {
    CZipEntryHeader header;
    MakeHeader(header, index);
    return header;
}

const CZipEntryHeader& CZipCentralDir::PeekHeader(std::size_t index) const {
    if (peekedIndex != index) {
        // Not kept half made when the name cannot be converted.
        peekedIndex = noPeekedIndex;
        // Made afresh: the compact form does not hold every field.
        peeked = CZipEntryHeader();
        MakeHeader(peeked, index);
        ConvertFileName(peeked);
        peekedIndex = index;
    }
    return peeked;
}

void CZipCentralDir::MakeHeader(CZipEntryHeader& header, std::size_t index) const {
    const Record& record = records[index];
    // The signature is not kept: every stored header had the right one, and composing it
    // here would put the whole signature into the program's code.
    header.versionMadeBy = record.versionMadeBy;
    header.flags = record.flags;
    header.method = record.method;
    header.modTime = record.modTime;
    header.modDate = record.modDate;
    header.crc32 = record.crc32;
    if (record.wide) {
        const WideValues& wide = wideValues[record.compressedSize];
        header.compressedSize = wide.compressedSize;
        header.uncompressedSize = wide.uncompressedSize;
        header.localHeaderOffset = wide.localHeaderOffset;
        header.diskStart = wide.diskStart;
    } else {
        header.compressedSize = record.compressedSize;
        header.uncompressedSize = record.uncompressedSize;
        header.localHeaderOffset = record.localHeaderOffset;
    }
    header.externalAttr = record.externalAttr;
    header.storedNameLength = record.nameLength;
    const char* bytes = parts.data() + record.partsOffset;
    CopyPart(header.fileName, bytes, record.nameLength);
    CopyPart(header.extraField, bytes + record.nameLength, record.extraLength);
    CopyPart(header.comment, bytes + record.nameLength + record.extraLength, record.commentLength);
    // Names are kept as stored, a third of the size of a converted copy's bookkeeping, and
    // converted on the way out.
    if (convertNamesOnOpen)
        header.ConvertFileName(oemConversion);
}

void CZipCentralDir::OpenEntry(std::size_t index) {
    if (convertNamesOnOpen)
        current = PeekHeader(index);
    else
        current = GetHeader(index);
    currentHeader = &current;
    storage->ChangeVolume(static_cast<int>(current.diskStart));
    CZipStream* file = storage->GetFile();
    const std::uint64_t position = current.localHeaderOffset + storage->GetArchiveStart();
    if (position < current.localHeaderOffset || position > static_cast<std::uint64_t>(INT64_MAX))
        ThrowError(CZipException::BadArchive);
    file->Seek(static_cast<std::int64_t>(position), CZipStream::FromBegin);
    CZipEntryHeader::LocalValues local;
    const bool read = current.ReadLocalHeader(*storage, local);
    // The local flags decide from here on, for this entry's later openings too.
    records[index].flags = current.flags;
    if (peekedIndex == index)
        peeked.flags = current.flags;
    if (!read)
        ThrowError(CZipException::BadArchive);
    // The name is stepped over, not read: one cut by the end of its volume
    // would leave the data to be read from the wrong place.
    if (static_cast<std::uint64_t>(file->GetPosition()) > storage->GetDataLength())
        ThrowError(CZipException::BadArchive);
    localExtraField.Release();
    if (local.extraLength != 0) {
        const int volume = storage->GetCurrentVolume();
        localExtraField.Allocate(local.extraLength);
        storage->Read(localExtraField.GetBuffer(), local.extraLength, true);
        if (storage->GetCurrentVolume() != volume)
            ThrowError(CZipException::BadArchive);
    }
    if (!current.CheckLocalValues(local, localExtraField))
        ThrowError(CZipException::BadArchive);
    // A size at the ZIP64 mark or past it takes 8 bytes in the descriptor, whatever the local header
    // says: writers switch once a size reaches the mark.
    zip64Descriptor = CZipEntryHeader::HasZip64Block(localExtraField) || current.compressedSize >= zip64Mark32 ||
                      current.uncompressedSize >= zip64Mark32;
}

void CZipCentralDir::CloseEntry(bool skipDescriptor) {
    if (currentHeader == nullptr)
        return;
    localExtraField.Release();
    if (!skipDescriptor && currentHeader->HasDataDescriptor()) {
        // The signature is optional: without it, the first four bytes are the
        // CRC. Read forward only: a descriptor may run on into the next volume,
        // where stepping back would not return to its start.
        const std::uint32_t size = zip64Descriptor ? zip64DescriptorSize : descriptorSize;
        unsigned char descriptor[signatureSize + zip64DescriptorSize];
        storage->Read(descriptor, size, false);
        const unsigned char* values = descriptor;
        if (HasSignature(descriptor, descriptorSignature)) {
            storage->Read(descriptor + size, signatureSize, false);
            values += signatureSize;
        }
        if (!currentHeader->CheckDescriptor(values, zip64Descriptor))
            ThrowError(CZipException::BadArchive);
    }
    currentHeader = nullptr;
}

void CZipCentralDir::Close(bool deleteHeaders) {
    currentHeader = nullptr;
    peekedIndex = noPeekedIndex;
    localExtraField.Release();
    if (deleteHeaders) {
        records.clear();
        records.shrink_to_fit();
        wideValues.clear();
        wideValues.shrink_to_fit();
        parts.clear();
        parts.shrink_to_fit();
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
