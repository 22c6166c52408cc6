#include "engine/ZipArchiveStorage.h"

#include "engine/ZipArchive.h"
#include "engine/ZipException.h"
#include "engine/ZipVolumeCallback.h"
#include "platform/ZipOs.h"
#include "platform/ZipPathParts.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>

namespace {

// Numbered volumes: at least two digits below 100, at least three from there
// on (z01 ... z99, z100 ...); numbers of 1 000 and more take the digits they need.
// Written out by hand: a printf call would bring a whole formatter into the Windows program.
std::string NumberedExtension(int number) {
    std::string digits = std::to_string(number);
    const std::size_t width = number < 100 ? 2 : 3;
    if (digits.size() < width)
        digits.insert(0, width - digits.size(), '0');
    return 'z' + digits;
}

} // namespace

void CZipArchiveStorage::ThrowError(int code) const {
    CZipException::Throw(code, file ? file->GetFilePath() : std::string());
}

void CZipArchiveStorage::PrepareOpen() {
    writeBuffer.Allocate(writeBufferSize);
    bytesInWriteBuffer = 0;
    creatingVolumes = false;
    archiveStart = 0;
}

void CZipArchiveStorage::Open(const char* path, int mode, int volumeSize) {
    // Creating archives is archive modification, which this engine does not do.
    if (mode != CZipArchive::ModeReadOnly && mode != CZipArchive::ModeUpdate)
        CZipException::Throw(EINVAL, path);
    PrepareOpen();
    file = &diskFile;
    externalStream = false;
    readOnly = mode == CZipArchive::ModeReadOnly;
    archivePath = path;
    const std::uint32_t access = readOnly ? CZipStream::OpenRead : CZipStream::OpenReadWrite;
    diskFile.Open(path, access | CZipStream::OpenNoTruncate | CZipStream::ShareDenyWrite | CZipStream::OpenNativePath,
                  true);
    volumeMode = volumeSize != 0 ? SplitAssumed : VolumesUndetermined;
}

void CZipArchiveStorage::OpenStream(CZipStream& stream, int mode) {
    PrepareOpen();
    file = &stream;
    externalStream = true;
    archivePath.clear();
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

std::uint64_t CZipArchiveStorage::GetDataLength() const {
    const auto length = static_cast<std::uint64_t>(file->GetLength());
    // Before the volumes are known, the file open is the one the end record is looked for in.
    const bool last = currentVolume < 0 || currentVolume == lastVolume;
    return last ? std::min(length, lastVolumeDataEnd) : length;
}

int CZipArchiveStorage::GetVolumeState() const {
    if (volumeMode == NoVolumes)
        return 0;
    return creatingVolumes ? 1 : -1;
}

bool CZipArchiveStorage::IsRemovableDrive(const std::string& path) const { return ZipOs::IsRemovableDrive(path); }

void CZipArchiveStorage::DetectVolumes(std::uint16_t lastDisk) {
    currentVolume = lastDisk;
    lastVolume = lastDisk;
    if (lastDisk == 0) {
        volumeMode = NoVolumes;
        return;
    }
    const std::string path = file->GetFilePath();
    // Disks can be swapped only through a callback. Without one, a set on a removable drive (a setup
    // run from a USB stick) is read as the numbered files beside it rather than refused whole.
    if (volumeMode == VolumesUndetermined && volumeCallback != nullptr && IsRemovableDrive(path))
        volumeMode = RemovableDisks;
    else
        volumeMode = SplitFiles;
    archiveExtension = CZipPathParts(path).GetExtension();
    writeBuffer.Release();
}

void CZipArchiveStorage::ChangeVolume(int volume) {
    // A volume whose file could not be opened is tried again, not read closed.
    if (volume == currentVolume && file != nullptr && !file->IsClosed())
        return;
    // A single file has no other volume to go to, and no volume lies past the
    // one holding the end record (a stray numbered file there is not ours): a
    // record that points at one is damaged.
    if (volumeMode == NoVolumes || volume < 0 || volume > lastVolume)
        ThrowError(CZipException::BadArchive);
    // A caller's stream has no sibling files to open.
    if (externalStream)
        CZipException::Throw(ENOENT, file->GetFilePath());
    currentVolume = volume;
    // The archive's own path came from the OS and is reopened as it is; the
    // numbered names are composed here.
    std::uint32_t flags = CZipStream::OpenRead | CZipStream::OpenNoTruncate | CZipStream::ShareDenyWrite;
    std::string path;
    if (volumeMode == RemovableDisks) {
        path = RequestVolume();
        flags |= CZipStream::OpenNativePath;
    } else if (volume == lastVolume) {
        path = archivePath;
        flags |= CZipStream::OpenNativePath;
    } else {
        path = GetVolumeName(false);
        flags |= CZipStream::OpenNativePath;
    }
    file->Close();
    // The failure names the volume that is missing, not the closed file's empty name.
    if (!file->Open(path.c_str(), flags, false))
        CZipException::Throw(errno != 0 ? errno : ENOENT, path);
    // A read that runs on into the last volume goes on after the stub in front of it.
    if (volume == lastVolume && archiveStart != 0)
        file->Seek(static_cast<std::int64_t>(archiveStart), CZipStream::FromBegin);
}

std::string CZipArchiveStorage::GetVolumeName(bool isLast, const char* base) const {
    const std::string extension = isLast ? archiveExtension : NumberedExtension(currentVolume + 1);
    if (base == nullptr) {
        // The archive's own path came from the OS: its volumes beside it differ from it only in the
        // extension, and keep every other byte as the OS gave it (on POSIX a backslash is a name's).
        const char separator = ZipOs::PathSeparator();
        std::size_t nameStart = archivePath.size();
        while (nameStart > 0 && archivePath[nameStart - 1] != separator && archivePath[nameStart - 1] != '/')
            --nameStart;
        const std::size_t dot = archivePath.rfind('.');
        const std::string title =
            dot != std::string::npos && dot >= nameStart ? archivePath.substr(0, dot) : archivePath;
        return extension.empty() ? title : title + '.' + extension;
    }
    CZipPathParts parts(base);
    parts.SetExtension(extension);
    // Joined here: with no folder the name must stay relative, not become "\name",
    // and a folder given with a trailing slash takes no second separator.
    std::string folder = parts.GetDirectoryPath();
    if (!parts.directory.empty())
        AppendSeparator(folder);
    return folder + parts.GetName();
}

std::string CZipArchiveStorage::RequestVolume() {
    // Every disk holds its volume under the archive's own name.
    const std::string path = archivePath;
    file->Close();
    CallVolumeCallback(CZipVolumeCallback::NeedVolumeForReading, path);
    return path;
}

void CZipArchiveStorage::CallVolumeCallback(int code, const std::string& path) {
    if (volumeCallback == nullptr)
        CZipException::Throw(CZipException::NoVolumeCallback, path);
    volumeCallback->volumePath = path;
    volumeCallback->volumeNumber = currentVolume + 1;
    if (!volumeCallback->Notify(code))
        CZipException::Throw(CZipException::VolumeChangeAborted, path);
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
    archiveStart = 0;
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
