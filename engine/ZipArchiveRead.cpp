// Reading the open entry: opening, delivering its bytes, closing with the checks.
#include "engine/ZipArchive.h"

#include "engine/ZipException.h"
#include "engine/ZipRecords.h"
#include "engine/decode/ZipCodecTable.h"

#include <algorithm>
#include <utility>

using namespace ZipRecords;

namespace {

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

CZipArchive::EntryData CZipArchive::CheckEntryData(std::uint32_t index) {
    centralDir.OpenEntry(index);
    const CZipEntryHeader& header = *centralDir.currentHeader;

    // A local header that went on to the next volume leaves nothing to compare in this one.
    if (static_cast<std::uint32_t>(storage.GetCurrentVolume()) == header.diskStart) {
        const std::uint64_t dataStart =
            header.localHeaderOffset + localHeaderSize + header.storedNameLength + centralDir.localExtraField.GetSize();
        if (!DataEndBeforeNextRecord(centralDir, index, dataStart))
            ThrowError(CZipException::BadArchive);
    }
    EntryData data;
    data.scheme = ZipEncryption::Choose(header, &centralDir.localExtraField);
    lastDataMethod = data.scheme.method;
    if (!data.scheme.known)
        ThrowError(CZipException::UnsupportedEncryption);
    if (!ZipCodecTable::Decodes(data.scheme.method))
        ThrowError(CZipException::UnsupportedMethod);
    const CZipCipher* cipher = data.scheme.cipher.get();
    const std::uint64_t before = cipher != nullptr ? cipher->HeaderSize() : 0;
    const std::uint64_t after = cipher != nullptr ? cipher->TrailerSize() : 0;
    // Checked before anything is subtracted from the size.
    if (header.compressedSize < before + after)
        ThrowError(CZipException::BadArchive);
    data.dataSize = header.compressedSize - before;
    // Stored bytes are the file's bytes: any other count is damage, which would otherwise leave bytes
    // unread or ask for bytes that are not there.
    if (data.scheme.method == methodStored && data.dataSize - after != header.uncompressedSize)
        ThrowError(CZipException::BadArchive);
    return data;
}

void CZipArchive::CheckPassword(const EntryData& data, std::vector<unsigned char>* headerBytes) {
    if (password.IsEmpty())
        ThrowError(CZipException::WrongPassword);
    CZipCipher& cipher = *data.scheme.cipher;
    unsigned char header[maxCipherHeaderSize];
    const std::uint32_t size = cipher.HeaderSize();
    if (size > sizeof header)
        ThrowError(CZipException::InternalFault);
    storage.Read(header, size, false);
    if (headerBytes != nullptr)
        headerBytes->assign(header, header + size);
    // The same password as other tools may have stored its bytes. A check of one byte lets a wrong
    // form through once in 256 entries: where several pass it, the one the data's checks pass wins.
    const std::string typed(password.View());
    const auto form = [&](std::size_t i) -> const std::string& { return i == 0 ? typed : passwordAlternatives[i - 1]; };
    const bool canTry = cipher.CheckIsWeak() && storage.GetVolumeState() == 0 && storage.GetFile() != nullptr;
    std::vector<std::size_t> passing;
    std::size_t lastStarted = 0;
    for (std::size_t i = 0; i <= passwordAlternatives.size(); ++i) {
        lastStarted = i;
        if (cipher.Start(header, form(i))) {
            passing.push_back(i);
            if (!canTry)
                break;
        }
    }
    if (passing.empty())
        ThrowError(CZipException::WrongPassword);
    std::size_t chosen = passing.front();
    if (passing.size() > 1) {
        const auto decodes = std::find_if(passing.begin(), passing.end(),
                                          [&](std::size_t i) { return DecodesWith(data, header, form(i)); });
        if (decodes != passing.end())
            chosen = *decodes;
    }
    if (chosen != lastStarted && !cipher.Start(header, form(chosen)))
        ThrowError(CZipException::InternalFault);
    // The one that opens an entry is tried first from then on.
    if (chosen > 0) {
        std::string& other = passwordAlternatives[chosen - 1];
        password.Allocate(static_cast<std::uint32_t>(other.size()));
        std::copy(other.begin(), other.end(), password.GetBuffer());
        other = typed;
    }
}

bool CZipArchive::DecodesWith(const EntryData& data, const unsigned char* header, const std::string& candidate) {
    CZipStream& file = *storage.GetFile();
    const std::int64_t start = file.GetPosition();
    ZipEncryption::Scheme scheme = ZipEncryption::Choose(*centralDir.currentHeader, &centralDir.localExtraField);
    bool decodes = false;
    if (scheme.cipher != nullptr && scheme.cipher->Start(header, candidate)) {
        try {
            CZipEntryDecoder decoder(entryStream.bufferSize, false);
            decoder.Begin(DecoderEntry(data), scheme.cipher.get(), storageSource);
            std::vector<unsigned char> out(entryStream.bufferSize);
            while (decoder.Read(out.data(), entryStream.bufferSize) > 0) {
            }
            decodes = decoder.Finish() == 1;
        } catch (const CZipException&) {
        }
    }
    if (start < 0 || file.Seek(start, CZipStream::FromBegin) != start)
        ThrowError(CZipException::BadArchive);
    return decodes;
}

void CZipArchive::SetPasswordAlternatives(std::vector<std::string> alternatives) {
    if (openEntryState == EntryNone)
        passwordAlternatives = std::move(alternatives);
}

CZipEntryDecoder::Entry CZipArchive::DecoderEntry(const EntryData& data) const {
    const CZipEntryHeader& header = *centralDir.currentHeader;
    CZipEntryDecoder::Entry entry;
    entry.method = data.scheme.method;
    entry.flags = header.flags;
    entry.dataSize = data.dataSize;
    entry.uncompressedSize = header.uncompressedSize;
    entry.crc32 = header.crc32;
    return entry;
}

bool CZipArchive::OpenEntry(std::uint32_t index) {
    if (!centralDir.IsValidIndex(index) || storage.GetVolumeState() == 1 || openEntryState != EntryNone)
        return false;
    EntryData data = CheckEntryData(index);
    if (data.scheme.cipher != nullptr)
        CheckPassword(data);
    if (entryStream.decoder == nullptr)
        entryStream.decoder = std::make_unique<CZipEntryDecoder>(entryStream.bufferSize, false);
    entryStream.cipher = std::move(data.scheme.cipher);
    const CZipStream* file = storage.GetFile();
    entryStream.decoder->Begin(DecoderEntry(data), entryStream.cipher.get(), storageSource,
                               file != nullptr ? file->GetFilePath().c_str() : nullptr);
    openEntryState = EntryReading;
    return true;
}

void CZipArchive::LocateEntryData(std::uint32_t index, CZipExtraction& job) {
    if (!centralDir.IsValidIndex(index) || !CanReadEntriesAtOnce() || openEntryState != EntryNone)
        ThrowError(CZipException::InternalFault);
    EntryData data = CheckEntryData(index);
    const CZipEntryHeader& header = *centralDir.currentHeader;
    // A wrong password is told here, before anything is made for the entry, as OpenEntry tells it;
    // the cipher, started, goes to whoever decodes the data.
    if (data.scheme.cipher != nullptr) {
        CheckPassword(data, &job.cipherHeader);
        job.password.assign(password.View());
    }
    const std::int64_t position = storage.GetFile()->GetPosition();
    if (position < 0)
        ThrowError(CZipException::BadArchive);
    job.dataStart = static_cast<std::uint64_t>(position);
    job.entry = DecoderEntry(data);
    job.cipher = std::move(data.scheme.cipher);
    job.compressedSize = header.compressedSize;
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

std::uint32_t CZipArchive::ReadEntry(void* buffer, std::uint32_t size) {
    if (openEntryState != EntryReading || buffer == nullptr || size == 0)
        return 0;
    return entryStream.decoder->Read(static_cast<unsigned char*>(buffer), size);
}

int CZipArchive::CloseEntry(const char* path, bool afterException) {
    if (openEntryState != EntryReading)
        return 0;
    int result = 1;
    const CZipEntryHeader& header = *centralDir.currentHeader;
    if (!afterException) {
        // Not all read: the CRC covers only part of the data. A stream that was never read to its end
        // has not shown that it holds no more than declared.
        result = entryStream.decoder->Finish();
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
    entryStream.cipher.reset();
    return result;
}

int CZipArchive::CloseEntry(CZipStream& output, bool closeOutput) {
    // The file gets its time and attributes before it is closed, through its
    // descriptor; a stream without a path (in memory) has nothing to stamp.
    CZipStream::StampResult stamp = CZipStream::NotAFile;
    if (openEntryState == EntryReading) {
        const CZipEntryHeader& header = *centralDir.currentHeader;
        const CZipEntryHeader::Time time = header.GetModTime(&centralDir.localExtraField);
        stamp = output.Stamp(time.seconds, time.nanoseconds, header.GetLocalAttributes(), header.GetUnixPermissions());
    }
    const std::string path = output.GetFilePath();
    if (closeOutput)
        output.Close();
    if (stamp == CZipStream::NotAFile)
        return CloseEntry(path.empty() ? nullptr : path.c_str(), false);
    const int result = CloseEntry(nullptr, false);
    return stamp == CZipStream::StampFailed ? -2 : result;
}
