#pragma once

#include "engine/ZipBuffer.h"
#include "engine/ZipDiskFile.h"

#include <cstdint>
#include <string>

class CZipVolumeCallback;

// The archive file or, for a multi-volume archive, the volume file open at the
// moment; the volume-aware read that the central directory and the entry
// reader use. Reads are not buffered here.
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
    void DetectVolumes(std::uint16_t lastDisk);
    void ChangeVolume(int volume);
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

  private:
    void PrepareOpen();
    [[noreturn]] void ThrowError(int code) const;
};
