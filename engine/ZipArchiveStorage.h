#pragma once

#include "engine/ZipBuffer.h"
#include "engine/ZipDiskFile.h"

#include <cstdint>
#include <string>

class CZipVolumeCallback;

// The archive file or, for a multi-volume archive, the volume file open at the
// moment; the volume-aware read that the central directory and the entry
// reader use. Reads are not buffered here.
//
// A multi-volume archive is opened on its last volume, the file that holds the
// end record. Split volumes lie beside it under the same name with the
// extensions z01, z02, ...; removable-disk volumes all carry the archive's own
// name and are asked for through the volume callback.
class CZipArchiveStorage {
  public:
    enum VolumeMode {
        NoVolumes = 0,
        RemovableDisks = 1,
        SplitFiles = 2,
        VolumesUndetermined = 3, // opened with volume size 0
        SplitAssumed = 4,        // opened with a volume size
    };
    static constexpr std::uint32_t defaultWriteBufferSize = 65536;

    CZipArchiveStorage() = default;
    CZipArchiveStorage(const CZipArchiveStorage&) = delete;
    CZipArchiveStorage& operator=(const CZipArchiveStorage&) = delete;
    virtual ~CZipArchiveStorage() = default;

    // mode: the archive object's ModeUpdate or ModeReadOnly. The path is an OS
    // path, used as it is. Throws the errno code when the file cannot be opened.
    void Open(const char* path, int mode, int volumeSize);
    // A stream supplied by the caller, which the storage never closes.
    void OpenStream(CZipStream& stream, int mode);
    // Exactly count bytes or BadArchive (101). With atOnce the block must lie in
    // one volume; without it, it may run on over the following volumes.
    std::uint32_t Read(void* buffer, std::uint32_t count, bool atOnce);
    // Up to count bytes from the current stream, fewer only where it ends.
    std::uint32_t ReadFromVolume(void* buffer, std::uint32_t count);
    CZipStream* GetFile() const { return file; }
    std::int64_t GetPosition() const;
    // 0 single file, 1 volumes being created, -1 an existing multi-volume archive.
    int GetVolumeState() const;
    int GetCurrentVolume() const { return currentVolume; }
    // Called with the end record's disk number, the number of the last volume.
    // Throws NoVolumeCallback (103) for removable disks without a callback.
    void DetectVolumes(std::uint16_t lastDisk);
    // Opens the file of another volume; nothing happens when it is open already.
    // A volume file that cannot be opened throws its errno code (2 when missing).
    void ChangeVolume(int volume);
    // The file name of a volume: the archive's own extension for the last one,
    // else z01, z02, ... for volume currentVolume. base: the archive path by default.
    std::string GetVolumeName(bool isLast, const char* base = nullptr) const;
    // Removable disks: closes the file and asks for the disk of volume currentVolume.
    std::string RequestVolume();
    // Throws VolumeChangeAborted (104) when the callback says no.
    void CallVolumeCallback(int code, const std::string& path);
    // Bytes in front of the archive in the current volume's file: the stub of a
    // self-extractor, which only the file holding the end record can carry.
    std::uint64_t GetArchiveStart() const { return currentVolume == lastVolume ? archiveStart : 0; }
    // The current volume's length as far as the archive may use it: the last volume's file ends at
    // lastVolumeDataEnd where that is set.
    std::uint64_t GetDataLength() const;
    void Flush();
    // Returns the path of the file that was open.
    std::string Close(bool afterException);
    bool IsReadOnly() const { return readOnly; }

    std::uint32_t writeBufferSize = defaultWriteBufferSize;
    CZipDiskFile diskFile;
    CZipStream* file = nullptr;
    int volumeMode = NoVolumes;
    CZipVolumeCallback* volumeCallback = nullptr;
    int lastVolume = 0;
    std::string archiveExtension = "zip";
    CZipBuffer writeBuffer;
    bool creatingVolumes = false;
    int currentVolume = -1;
    bool externalStream = false;
    bool readOnly = false;
    std::uint32_t bytesInWriteBuffer = 0; // archive modification only
    // The path the archive was opened with, its last volume. The other volumes
    // are named after it rather than after the file open at the moment, which
    // is closed after a volume could not be opened.
    std::string archivePath;
    // Bytes in front of the archive in the last volume's file (the single file's
    // for a single-file archive), as the central directory works them out.
    std::uint64_t archiveStart = 0;
    // Where the data of the last volume's file (the single file's) end, when something that is not
    // the archive's follows: a signed program's certificate table, which the signature does not
    // cover. Nothing past it is read as the archive.
    std::uint64_t lastVolumeDataEnd = UINT64_MAX;

  protected:
    // The decision between asking for disks and looking for numbered files.
    virtual bool IsRemovableDrive(const std::string& path) const;

  private:
    void PrepareOpen();
    [[noreturn]] void ThrowError(int code) const;
};
