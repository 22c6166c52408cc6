#include "engine/ZipArchiveStorage.h"

#include "engine/ZipArchive.h"
#include "engine/ZipException.h"

#include <cerrno>

void CZipArchiveStorage::ThrowError(int code) const {
    CZipException::Throw(code, file ? file->GetFilePath() : std::string());
}

void CZipArchiveStorage::PrepareOpen() {
    writeBuffer.Allocate(writeBufferSize);
    bytesInWriteBuffer = 0;
    creatingVolumes = false;
}

void CZipArchiveStorage::Open(const char* path, int mode, int volumeSize) {
    // Creating archives is archive modification, which this engine does not do.
    if (mode != CZipArchive::ModeReadOnly && mode != CZipArchive::ModeUpdate)
        CZipException::Throw(EINVAL, path);
    PrepareOpen();
    file = &diskFile;
    externalStream = false;
    readOnly = mode == CZipArchive::ModeReadOnly;
    const std::uint32_t access = readOnly ? CZipStream::OpenRead : CZipStream::OpenReadWrite;
    diskFile.Open(path, access | CZipStream::OpenNoTruncate | CZipStream::ShareDenyWrite | CZipStream::OpenNativePath,
                  true);
    volumeMode = volumeSize != 0 ? SplitAssumed : VolumesUndetermined;
}

void CZipArchiveStorage::OpenStream(CZipStream& stream, int mode) {
    PrepareOpen();
    file = &stream;
    externalStream = true;
    readOnly = mode == CZipArchive::ModeReadOnly;
    if (mode == CZipArchive::ModeCreate) {
        currentVolume = 0;
        volumeMode = NoVolumes;
        stream.SetLength(0);
    } else {
        stream.SeekToBegin();
        volumeMode = VolumesUndetermined;
    }
}

std::uint32_t CZipArchiveStorage::ReadFromVolume(void* buffer, std::uint32_t count) {
    // A stream may hand out fewer bytes than asked before its end; only a read
    // that yields nothing marks the end of the volume.
    auto* bytes = static_cast<unsigned char*>(buffer);
    std::uint32_t done = 0;
    while (done < count) {
        const std::uint32_t n = file->Read(bytes + done, count - done);
        if (n == 0)
            break;
        done += n;
    }
    return done;
}

std::uint32_t CZipArchiveStorage::Read(void* buffer, std::uint32_t count, bool atOnce) {
    if (count == 0)
        return 0;
    auto* bytes = static_cast<unsigned char*>(buffer);
    std::uint32_t n;
    while ((n = ReadFromVolume(bytes, count)) == 0) {
        if (GetVolumeState() == 0)
            ThrowError(CZipException::BadArchive);
        ChangeVolume(currentVolume + 1);
    }
    if (n == count)
        return n;
    if (atOnce || GetVolumeState() == 0)
        ThrowError(CZipException::BadArchive);
    while (n < count) {
        ChangeVolume(currentVolume + 1);
        const std::uint32_t m = ReadFromVolume(bytes + n, count - n);
        if (m == 0)
            ThrowError(CZipException::BadArchive);
        n += m;
    }
    return n;
}

std::int64_t CZipArchiveStorage::GetPosition() const { return file->GetPosition() + bytesInWriteBuffer; }

int CZipArchiveStorage::GetVolumeState() const {
    if (volumeMode == NoVolumes)
        return 0;
    return creatingVolumes ? 1 : -1;
}

void CZipArchiveStorage::DetectVolumes(std::uint16_t lastDisk) {
    currentVolume = lastDisk;
    if (lastDisk == 0) {
        volumeMode = NoVolumes;
        return;
    }
    // Archives that span volumes are refused plainly: only single files are read.
    ThrowError(CZipException::BadArchive);
}

void CZipArchiveStorage::ChangeVolume(int volume) {
    if (volume == currentVolume)
        return;
    // A single file has no other volume to go to: a record that points at one is damaged.
    ThrowError(CZipException::BadArchive);
}

void CZipArchiveStorage::Flush() {
    if (file != nullptr && !readOnly && GetVolumeState() != -1)
        file->Flush();
}

std::string CZipArchiveStorage::Close(bool afterException) {
    CZipStream* const closing = file;
    const bool owned = !externalStream;
    // The storage counts as closed even when closing the file throws below.
    writeBuffer.Release();
    bytesInWriteBuffer = 0;
    currentVolume = -1;
    file = nullptr;
    if (closing == nullptr) {
        volumeMode = NoVolumes;
        return std::string();
    }
    const std::string path = closing->GetFilePath();
    const bool commit = !afterException && !readOnly && GetVolumeState() != -1;
    volumeMode = NoVolumes;
    if (owned) {
        if (commit)
            closing->Flush();
        closing->Close();
    }
    return path;
}
