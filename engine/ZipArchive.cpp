#include "engine/ZipArchive.h"

#include "engine/ZipException.h"
#include "engine/ZipRecords.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

CZipArchive::CZipArchive() {
    centralDir.storage = &storage;
    SetNameCaseMode(ZipOs::IsFileSystemCaseSensitive());
}

// Does not close: an archive still open is not finalized, and the storage's
// own destruction releases its file.
CZipArchive::~CZipArchive() { FreeZlibBlocks(); }

void CZipArchive::SetNameCaseMode(bool sensitive) {
    caseSensitive = sensitive;
    compareNames = ZipOs::GetNameComparer(sensitive, true);
}

void CZipArchive::Open(const char* path, int mode, int volumeSize) {
    if (!IsClosed(true))
        return;
    try {
        storage.Open(path, mode, volumeSize);
        ReadDirectory(mode);
    } catch (...) {
        // Half-read headers and a file left open would make a failed archive look usable.
        Close(1);
        throw;
    }
}

void CZipArchive::Open(CZipStream& stream, int mode) {
    if (!IsClosed(true))
        return;
    try {
        storage.OpenStream(stream, mode);
        ReadDirectory(mode);
    } catch (...) {
        Close(1);
        throw;
    }
}

void CZipArchive::ReadDirectory(int mode) {
    password.Release();
    openEntryState = EntryNone;
    centralDir.Clear();
    systemId = CZipEntryHeader::PlatformSystem;
    rootPath.clear();
    if (mode != ModeUpdate && mode != ModeReadOnly)
        return;
    centralDir.Read();
    if (!centralDir.IsValidIndex(0))
        return;
    switch (const int system = centralDir.GetRecord(0).versionMadeBy >> 8) {
    case ZipRecords::systemDos:
    case ZipRecords::systemUnix:
    case ZipRecords::systemOs2Hpfs:
    case ZipRecords::systemMacintosh:
    case ZipRecords::systemNtfs:
        systemId = system;
        break;
    default:
        break;
    }
}

bool CZipArchive::IsClosed(bool archive) const {
    if (archive)
        return storage.GetCurrentVolume() == -1;
    const CZipStream* file = storage.GetFile();
    return file == nullptr || file->IsClosed();
}

void CZipArchive::Close(int afterException, bool updateTime) {
    if (IsClosed(true) && !(afterException == 1 && !IsClosed(false)))
        return;
    if (openEntryState == EntryReading)
        CloseEntry(nullptr, afterException != 0);
    if (openEntryState == EntryWriting)
        openEntryState = EntryNone; // entries are never written by this engine
    if (afterException == 0 && !IsClosed(false))
        WriteCentralDir(false);
    std::int64_t newest = 0;
    if (updateTime)
        for (int index = 0; index < centralDir.GetCount(); ++index)
            newest = std::max(newest, centralDir.GetHeader(static_cast<std::size_t>(index)).GetTime());
    centralDir.Close(true);
    const std::string path = storage.Close(afterException == 1);
    if (updateTime && !path.empty())
        ZipOs::ApplyModTime(path, newest);
}

void CZipArchive::WriteCentralDir(bool flush) {
    centralDir.Write(GetCallback(CallbackSaveDir));
    if (flush)
        storage.Flush();
}

int CZipArchive::GetCount(bool filesOnly) const {
    if (!filesOnly)
        return centralDir.GetCount();
    int files = 0;
    for (int index = 0; index < centralDir.GetCount(); ++index)
        files += centralDir.GetHeader(static_cast<std::size_t>(index)).IsDirectory() ? 0 : 1;
    return files;
}

bool CZipArchive::GetEntryInfo(CZipEntryHeader& header, std::uint32_t index) const {
    if (IsClosed(true) || !centralDir.IsValidIndex(index))
        return false;
    header = centralDir.GetHeader(index);
    centralDir.ConvertFileName(header);
    return true;
}

const CZipEntryHeader* CZipArchive::PeekEntryInfo(std::uint32_t index) const {
    if (IsClosed(true) || !centralDir.IsValidIndex(index))
        return nullptr;
    return &centralDir.PeekHeader(index);
}

bool CZipArchive::SetPassword(const char* text) {
    if (openEntryState != EntryNone)
        return false;
    const std::size_t length = text ? std::strlen(text) : 0;
    // Bytes as given, without the terminator; an empty text means no password.
    password.Allocate(static_cast<std::uint32_t>(length));
    if (length != 0)
        std::memcpy(password.GetBuffer(), text, length);
    passwordAlternatives.clear();
    return true;
}

void CZipArchive::SetBufferSizes(std::uint32_t writeBufferSize, std::uint32_t readBufferSize,
                                 std::uint32_t searchBufferSize) {
    if (!IsClosed(true))
        return;
    storage.writeBufferSize = std::max(writeBufferSize, minBufferSize);
    entryStream.bufferSize = std::max(readBufferSize, minBufferSize);
    entryStream.decoder.reset();
    centralDir.searchBufferSize = std::max(searchBufferSize, minBufferSize);
}

CZipActionCallback* CZipArchive::GetCallback(std::uint32_t kind) {
    const auto found = callbacks.find(kind);
    if (found == callbacks.end())
        return nullptr;
    found->second->kind = kind;
    return found->second;
}

void CZipArchive::SetCallback(CZipActionCallback* callback, std::uint32_t mask) {
    for (int bit = 0; bit < callbackKindCount; ++bit) {
        const std::uint32_t kind = 1u << bit;
        if (!(mask & kind))
            continue;
        if (callback)
            callbacks[kind] = callback;
        else
            callbacks.erase(kind);
    }
}

void CZipArchive::ThrowError(int code, bool fromZlib) const {
    if (fromZlib)
        code = CZipException::FromZlib(code);
    const CZipStream* file = storage.GetFile();
    CZipException::Throw(code, IsClosed(true) || file == nullptr ? std::string() : file->GetFilePath());
}

void CZipArchive::CheckZlibResult(int zlibResult) const {
    if (zlibResult != Z_OK && zlibResult != Z_NEED_DICT)
        ThrowError(zlibResult, true);
}

voidpf CZipArchive::ZlibAlloc(voidpf opaque, uInt items, uInt size) {
    // Two 32-bit factors cannot overflow a 64-bit size_t.
    void* block = std::malloc(static_cast<std::size_t>(items) * size);
    if (block != nullptr && opaque != nullptr) {
        auto* blocks = static_cast<std::vector<void*>*>(opaque);
        try {
            blocks->push_back(block);
        } catch (...) {
            std::free(block); // zlib sees an allocation failure, never an exception
            return nullptr;
        }
    }
    return block;
}

void CZipArchive::ZlibFree(voidpf opaque, voidpf block) {
    if (opaque != nullptr) {
        auto* blocks = static_cast<std::vector<void*>*>(opaque);
        // zlib frees in the reverse order of allocation: search from the back.
        const auto found = std::find(blocks->rbegin(), blocks->rend(), block);
        if (found != blocks->rend())
            blocks->erase(std::next(found).base());
    }
    std::free(block);
}

void CZipArchive::FreeZlibBlocks() {
    for (void* block : zlibBlocks)
        std::free(block);
    zlibBlocks.clear();
}
