#pragma once

#include "engine/ZipActionCallback.h"
#include "engine/ZipArchiveStorage.h"
#include "engine/ZipBuffer.h"
#include "engine/ZipCentralDir.h"
#include "engine/ZipChunkWriter.h"
#include "engine/ZipEntryHeader.h"
#include "engine/ZipEntryStream.h"
#include "engine/ZipExtraction.h"
#include "engine/ZipStorageSource.h"
#include "engine/ZipStream.h"
#include "engine/decode/ZipEncryption.h"
#include "engine/decode/ZipEntryDecoder.h"
#include "platform/ZipOs.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>
#include <zlib.h>

// The engine's facade: opens an archive, lists its entries, takes a password,
// reads and extracts entries and closes the archive. Failures are raised as
// CZipException; calls made in the wrong state are refused silently.
class CZipArchive {
  public:
    enum OpenMode { ModeUpdate = 0, ModeReadOnly = 1, ModeCreate = 2, ModeCreateVolumes = 3 };
    enum EntryState : std::int8_t { EntryReading = -1, EntryNone = 0, EntryWriting = 1 };
    // Callback kinds are single bits; reading asks for these two only.
    enum CallbackKind : std::uint32_t { CallbackExtract = 8, CallbackSaveDir = 128 };
    static constexpr int callbackKindCount = 11; // bits 1 .. 1024
    static constexpr std::uint32_t minBufferSize = 1024;

    CZipArchive();
    CZipArchive(const CZipArchive&) = delete;
    CZipArchive& operator=(const CZipArchive&) = delete;
    virtual ~CZipArchive();

    // path: an OS path, used as it is. Throws CZipException; a failed Open
    // leaves the archive closed with its file released.
    void Open(const char* path, int mode = ModeReadOnly, int volumeSize = 0);
    // The same on a caller's stream, which the archive never closes.
    void Open(CZipStream& stream, int mode = ModeReadOnly);
    // Where the archive's file ends for the next Open: the bytes after end (a signed program's
    // certificate table) are not the archive's.
    void SetDataEnd(std::uint64_t end) { storage.lastVolumeDataEnd = end; }
    bool IsClosed(bool archive = true) const;
    void Close(int afterException = 0, bool updateTime = false);
    int GetCount(bool filesOnly = false) const;
    bool GetEntryInfo(CZipEntryHeader& header, std::uint32_t index) const;
    // The header GetEntryInfo gives, without a copy: valid until another entry's is peeked at or
    // the archive closes; none for a closed archive or an index out of range.
    const CZipEntryHeader* PeekEntryInfo(std::uint32_t index) const;
    bool SetPassword(const char* password); // nullptr = none
    // Other byte forms of the password (its text in other encodings), tried in order where it fails
    // an entry's check; the one that opens an entry is the password from then on. Set after it.
    void SetPasswordAlternatives(std::vector<std::string> alternatives);
    CZipEntryHeader* GetCurrentHeader() const { return centralDir.currentHeader; }
    CZipActionCallback* GetCallback(std::uint32_t kind);
    void SetCallback(CZipActionCallback* callback, std::uint32_t mask);
    void SetNameCaseMode(bool caseSensitive);
    void SetBufferSizes(std::uint32_t writeBufferSize, std::uint32_t readBufferSize, std::uint32_t searchBufferSize);

    // Entry reading.
    bool OpenEntry(std::uint32_t index);
    std::uint32_t ReadEntry(void* buffer, std::uint32_t size);
    // 1 closed and verified, -1 closed with bytes left unread, -2 the file's time
    // or attributes could not be set, 0 no entry was open.
    int CloseEntry(const char* path = nullptr, bool afterException = false);
    // Stamps output and closes it, unless closeOutput is false (an unnamed file, still to be named).
    int CloseEntry(CZipStream& output, bool closeOutput = true);

    // Extraction.
    std::string ComposeExtractPath(const std::string& entryName, const char* folder, bool fullPath,
                                   const char* newName) const;
    bool ExtractEntry(std::uint32_t index, const char* folder, bool fullPath = true, const char* newName = nullptr,
                      std::uint32_t bufferSize = 65536);
    // Why the last ExtractEntry returned false (one that threw tells it by its exception): a
    // CZipException code or an errno value, 0 when unknown.
    int GetLastFailure() const { return lastFailure; }
    // The method the data of the entry opened last are compressed with (an AES entry's from its AES
    // block, which the kept headers do not hold), to name it when it is not supported.
    std::uint16_t GetLastDataMethod() const { return lastDataMethod; }
    // ExtractEntry but its last step: the file is written and checked (job.outcome) and waits for
    // EndExtraction, or another thread, to get its name (CZipEntryWriter::Name). stopCode: what
    // ExtractEntry would throw once the file is named, where the callback stopped it (else 0).
    CZipExtraction::Step WriteEntry(CZipExtraction& job, std::uint32_t index, const char* folder, int& stopCode,
                                    bool fullPath = true, const char* newName = nullptr,
                                    std::uint32_t bufferSize = 65536);
    // Extraction in steps, for entries whose data are written elsewhere (by other threads): places
    // the entry (judges its path, makes its folders, creates its output file, or makes a folder or
    // link entry whole) and fills job with what its data need. openForReading leaves the entry open
    // for ReadEntry instead. Throws CZipException as ExtractEntry does.
    CZipExtraction::Step BeginExtraction(CZipExtraction& job, std::uint32_t index, const char* folder,
                                         bool fullPath = true, const char* newName = nullptr,
                                         bool openForReading = false);
    // Once the data are written (job.outcome): a verified file is renamed into place when it was
    // written under a temporary name; any other is left for the job to remove. True when the entry
    // came out whole with its time and attributes.
    bool EndExtraction(CZipExtraction& job);
    // Writes big entries' output behind their decoding (none: on this thread); writer outlives the
    // extractions.
    void SetChunkWriter(CZipChunkWriter* writer) { chunkWriter = writer; }
    // Whether output files are written without a name until they are complete (where the system
    // allows); tests turn it off to check the temporary names.
    void SetUnnamedOutputs(bool on) { unnamedOutputs = on; }
    // Whether entries' data can be read by other threads, each at its own position: a single archive
    // file, not volumes nor a caller's stream.
    bool CanReadEntriesAtOnce() const;
    // The archive file's descriptor, for those reads.
    int GetArchiveHandle() const;
    // The bytes in front of the central directory: the entries' headers and data.
    std::uint64_t GetEntriesDataSize() const { return centralDir.info.cdOffset; }
    // Gives every folder extracted since the last call its entry's time, deepest first: writing into
    // a folder changes its time, so this comes after the last entry.
    void ApplyFolderTimes();
    // Extraction in steps, once the data are written: makes the output of a job placed with
    // createLater that the writing thread could not make (createFailed), as BeginExtraction makes it.
    // Throws CZipException as BeginExtraction does.
    void CreateLateOutput(CZipExtraction& job);
    // The largest stored entry whose data WriteEntry holds for a job placed with createLater.
    static constexpr std::uint32_t maxHeldSize = 256 * 1024;
    // The longest link target taken from an entry: what the OS would follow.
    static constexpr std::uint32_t maxLinkTargetSize = 4095;

    [[noreturn]] void ThrowError(int code, bool fromZlib = false) const;
    void CheckZlibResult(int zlibResult) const;
    void WriteCentralDir(bool flush);

    // zlib's allocation functions; opaque is the zlibBlocks list or none.
    static voidpf ZlibAlloc(voidpf opaque, uInt items, uInt size);
    static void ZlibFree(voidpf opaque, voidpf block);
    void FreeZlibBlocks();

  protected:
    // WriteEntry's loop with the chunk writer: the entry's data decoded here, written behind.
    void WriteBehind(CZipExtraction& job, CZipActionCallback* callback, int& stopCode);
    // WriteEntry's loop for a file made later: the stored entry's data read and held in job.
    void HoldEntryData(CZipExtraction& job, CZipActionCallback* callback, int& stopCode);

    bool stripDrive = true;
    CZipChunkWriter* chunkWriter = nullptr;
    std::map<std::uint32_t, CZipActionCallback*> callbacks;
    bool caseSensitive = false;
    ZipOs::NameComparer compareNames = nullptr;
    CZipEntryStream entryStream;
    CZipArchiveStorage storage;
    CZipCentralDir centralDir;
    std::int8_t openEntryState = EntryNone;
    bool autoFlush = false;
    std::string rootPath;
    std::string tempPath;
    int systemId = CZipEntryHeader::PlatformSystem;
    std::vector<void*> zlibBlocks;
    bool trackZlibBlocks = true;
    CZipStorageSource storageSource{storage};
    CZipBuffer password;
    std::vector<std::string> passwordAlternatives;

  private:
    // The largest header a cipher puts before an entry's data: a salt of 16 bytes and a verifier.
    static constexpr std::uint32_t maxCipherHeaderSize = 32;
    // How the open entry's data are to be decoded.
    struct EntryData {
        ZipEncryption::Scheme scheme;
        std::uint64_t dataSize = 0; // after the cipher's header
    };

    void ReadDirectory(int mode);
    // Checks the entry's local header and where its data lie, as OpenEntry does, and fills job with
    // them instead of opening the entry.
    void LocateEntryData(std::uint32_t index, CZipExtraction& job);
    // The checks OpenEntry and LocateEntryData share, with the central entry open: where its data
    // lie, its encryption and its method.
    EntryData CheckEntryData(std::uint32_t index);
    // Starts the cipher with the password (or one of its alternatives) against the open entry's
    // encryption header, which it reads; a missing or wrong password throws WrongPassword.
    // headerBytes: where the header read goes, to start the cipher again.
    void CheckPassword(const EntryData& data, std::vector<unsigned char>* headerBytes = nullptr);
    // Whether candidate decodes the open entry, whose data follow its encryption header, through
    // every check; the storage is put back where the data start.
    bool DecodesWith(const EntryData& data, const unsigned char* header, const std::string& candidate);
    CZipEntryDecoder::Entry DecoderEntry(const EntryData& data) const;
    // Makes sure the folder `relative` below the target folder exists, never through a symlink.
    ZipOs::FolderWalk EnsureOutputDirectory(const std::string& folder, const std::string& relative);
    // Opens job's output file in `directory`: unnamed where the system allows, else under a
    // temporary name (job.writtenPath); false with errno set.
    bool CreateOutput(CZipExtraction& job, const std::string& directory);
    // Leaves job's output (createLater) to the thread that writes it, in `directory` held open, where
    // unnamed files are known to work there; else clears createLater. True when it is left.
    bool DeferOutput(CZipExtraction& job, const std::string& directory);
    // The descriptor of `directory` (the folder walked last) held open for the files made in it; -1
    // where it cannot be opened.
    int HoldFolder(const std::string& directory);
    // Gives job the folder held and its file's name there, to be made and named by descriptor.
    void GiveHeldFolder(CZipExtraction& job) const;
    // Makes the folders below base and job's output in them (or defers it); 0, or the cause of a
    // refusal (a link on the way). Throws CZipException for a file that could not be created.
    int MakeOutput(CZipExtraction& job, const std::string& base, const std::string& relativeDirectory);
    // Names job's unnamed output job.path, replacing a file or link there; false with errno set.
    bool LinkOutput(CZipExtraction& job);
    // Opens a new file of a fresh name in `directory`, never an existing one; false with errno set.
    bool CreateTempOutput(CZipDiskFile& file, const std::string& directory, std::string& path);
    // A fresh name for a temporary output in `directory`.
    std::string NextTempName(const std::string& directory);
    // Makes a symlink of a fresh name in `directory`; false with errno set.
    bool CreateTempLink(const std::string& directory, const std::string& target, std::string& path);
    // The entry's data, at most maxLinkTargetSize bytes, read and verified whole; false when it is
    // longer or did not come out whole.
    bool ReadLinkTarget(std::uint32_t index, const CZipEntryHeader& header, std::string& target,
                        CZipEntryHeader::Time& time);
    // Makes the symbolic link of a link entry at path, replacing a file or link there, never a folder;
    // false with the cause in failure.
    bool ExtractLink(std::uint32_t index, const CZipEntryHeader& header, const std::string& path,
                     const std::string& base, const std::string& relative, int& failure);

    // A folder extracted in this run, to get its entry's time once everything inside it is written.
    struct FolderTime {
        std::string path;       // as composed: the target folder, then the folder below it
        std::size_t baseLength; // of the target folder's part, its separator included
        CZipEntryHeader::Time time;
    };
    std::vector<FolderTime> folderTimes;

    // The output folder made sure of last, so that the files of one folder cost no file-system calls
    // for it: the target folder, and the folder below it (valid when outputDirectoryKnown).
    std::string outputFolder;
    bool outputFolderMade = false;
    std::string outputDirectory;
    bool outputDirectoryKnown = false;
    // outputDirectory held open for the files made in it, once one is.
    std::shared_ptr<const CZipOutputFolder> heldFolder;
    std::uint32_t tempNameCounter = 0;
    int lastFailure = 0;
    std::uint16_t lastDataMethod = 0;
    bool unnamedOutputs = true;
    // An unnamed output was made in this run, so other threads can make them too.
    bool unnamedOutputsWork = false;
    // The path composed last: the front end composes an entry's path before extracting it.
    struct ComposedPath {
        std::string entryName;
        std::string folder;
        bool fullPath = false;
        bool stripDrive = false;
        std::string path;
    };
    mutable ComposedPath composed;
};
