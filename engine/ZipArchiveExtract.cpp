// Extraction to disk: where an entry lands, and writing it there.
#include "engine/ZipArchive.h"

#include "engine/ZipException.h"
#include "engine/ZipPathSafety.h"
#include "platform/ZipOs.h"
#include "platform/ZipPathParts.h"

#include <algorithm>
#include <cerrno>

namespace {

// A file gets its entry's name only once it is whole and has passed every check, so that neither a
// failed entry nor a killed process leaves a damaged file under a real name nor costs an existing
// one. It is written without a name where the system allows (a file nothing leads to, which goes
// with the process) and linked under its name at the end, which costs about what creating a named
// file does; elsewhere under a temporary name of the pattern below, renamed at the end. Linking
// never replaces what is there: a file or link there is replaced through a temporary name.
constexpr char tempNamePrefix[] = ".rozbal-";
constexpr char tempNameSuffix[] = ".part";
constexpr int tempNameDigits = 8;
constexpr int maxTempNameAttempts = 100;
constexpr std::uint32_t newOutputFlags =
    CZipStream::OpenCreate | CZipStream::OpenWrite | CZipStream::ShareDenyWrite | CZipStream::OpenExclusive;

std::string Hex(std::uint32_t value) {
    static const char digits[] = "0123456789abcdef";
    std::string text(tempNameDigits, '0');
    for (int i = tempNameDigits - 1; i >= 0; --i, value >>= 4)
        text[static_cast<std::size_t>(i)] = digits[value & 0x0F];
    return text;
}

std::string JoinFolder(const std::string& base, const std::string& name) {
    if (base.empty() || IsSeparator(base.back()))
        return base + name;
    return base + '\\' + name;
}

bool StartsWithFolder(const std::string& path, const std::string& folder) {
    return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
           IsSeparator(path[folder.size()]);
}

// An entry refused before anything was made for it, with its cause.
CZipExtraction::Step Refuse(CZipExtraction& job, int cause) {
    job.failure = cause;
    return CZipExtraction::Failed;
}

// Why a walk down the output folders stopped: a link on the way, else what the OS said.
int WalkFailure(ZipOs::FolderWalk walk) { return walk == ZipOs::FolderWalk::Link ? CZipException::PathOutside : errno; }

} // namespace

std::string CZipArchive::ComposeExtractPath(const std::string& entryName, const char* folder, bool fullPath,
                                            const char* newName) const {
    const char* const folderText = folder != nullptr ? folder : "";
    const bool again = newName == nullptr && composed.fullPath == fullPath && composed.stripDrive == stripDrive &&
                       composed.entryName == entryName && composed.folder == folderText;
    if (again)
        return composed.path;
    std::string result = folderText;
    std::string name = newName != nullptr ? newName : entryName;
    if (!name.empty()) {
        if (!result.empty())
            AppendSeparator(result);
        TrimTrailingSeparators(name);
        const CZipPathParts parts(name);
        if (!fullPath)
            name = parts.GetName();
        else if (stripDrive)
            name = parts.GetPathWithoutDrive();
        result += ZipOs::StorableName(name);
    }
    if (newName == nullptr) {
        // Assigned into the strings there, which mostly have the room already.
        composed.entryName.assign(entryName);
        composed.folder.assign(folderText);
        composed.fullPath = fullPath;
        composed.stripDrive = stripDrive;
        composed.path.assign(result);
    }
    return result;
}

ZipOs::FolderWalk CZipArchive::EnsureOutputDirectory(const std::string& base, const std::string& relative) {
    if (base != outputFolder || !outputFolderMade) {
        outputFolder = base;
        outputFolderMade = false;
        outputDirectoryKnown = false;
        std::string folder = base;
        TrimTrailingSeparators(folder);
        if (!folder.empty() && !ZipOs::CreateDirectoryTree(folder))
            return ZipOs::FolderWalk::Failed;
        outputFolderMade = true;
    }
    if (outputDirectoryKnown && relative == outputDirectory)
        return ZipOs::FolderWalk::Ready;
    heldFolder.reset();
    // Below the folder known last, only the levels under it are new.
    const bool below = outputDirectoryKnown && !outputDirectory.empty() && StartsWithFolder(relative, outputDirectory);
    const ZipOs::FolderWalk result = below ? ZipOs::WalkFoldersBelow(JoinFolder(base, outputDirectory),
                                                                     relative.substr(outputDirectory.size() + 1), true)
                                           : ZipOs::WalkFoldersBelow(base, relative, true);
    outputDirectoryKnown = result == ZipOs::FolderWalk::Ready;
    outputDirectory = relative;
    return result;
}

std::string CZipArchive::NextTempName(const std::string& directory) {
    return JoinFolder(directory, tempNamePrefix + Hex(tempNameCounter++) + tempNameSuffix);
}

bool CZipArchive::DeferOutput(CZipExtraction& job, const std::string& directory) {
    if (!job.createLater || !unnamedOutputs || !unnamedOutputsWork) {
        job.createLater = false;
        return false;
    }
    if (HoldFolder(directory) == -1) {
        job.createLater = false;
        return false;
    }
    job.writtenPath.clear();
    job.unnamed = false;
    job.createFailed = false;
    GiveHeldFolder(job);
    return true;
}

int CZipArchive::HoldFolder(const std::string& directory) {
    if (!heldFolder)
        heldFolder = std::make_shared<const CZipOutputFolder>(directory.empty() ? "." : directory);
    return heldFolder->GetHandle();
}

void CZipArchive::GiveHeldFolder(CZipExtraction& job) const {
    job.folder = heldFolder;
    const auto last = std::find_if(job.path.rbegin(), job.path.rend(), IsSeparator);
    job.leaf.assign(last.base(), job.path.end());
}

int CZipArchive::MakeOutput(CZipExtraction& job, const std::string& base, const std::string& relativeDirectory) {
    const std::string directory = base + relativeDirectory;
    for (int attempt = 0;; ++attempt) {
        // A folder failing to be made shows as the file failing to be created, for the folder's cause.
        const ZipOs::FolderWalk walk = EnsureOutputDirectory(base, relativeDirectory);
        if (walk == ZipOs::FolderWalk::Link)
            return CZipException::PathOutside;
        if (walk == ZipOs::FolderWalk::Ready && DeferOutput(job, directory))
            return 0;
        const int walkError = walk == ZipOs::FolderWalk::Failed ? errno : 0;
        if (CreateOutput(job, directory))
            return 0;
        // A folder known from an earlier entry may have gone meanwhile: look again, once.
        const int error = errno;
        if (error != ENOENT || attempt == 1)
            CZipException::Throw(error == ENOENT && walkError != 0 ? walkError : error, job.path);
        outputFolderMade = false;
    }
}

void CZipArchive::CreateLateOutput(CZipExtraction& job) {
    if (!job.createLater)
        return;
    job.createLater = false;
    job.folder.reset();
    const int refused = MakeOutput(job, job.path.substr(0, job.baseLength),
                                   CZipPathSafety::DirectoryOf(job.path.substr(job.baseLength)));
    if (refused != 0)
        CZipException::Throw(refused, job.path);
}

bool CZipArchive::CreateOutput(CZipExtraction& job, const std::string& directory) {
    job.writtenPath.clear();
    job.unnamed = false;
    job.folder.reset();
    if (unnamedOutputs) {
        const std::string folder = directory.empty() ? "." : directory;
        int handle = HoldFolder(folder);
        bool opened = handle != -1 && job.output.OpenUnnamedIn(handle, job.path);
        if (!opened && handle != -1) {
            // The folder held may have gone (the system then says EPERM or ENOENT): the path tells.
            heldFolder.reset();
            handle = -1;
        }
        if (opened || job.output.OpenUnnamed(folder, job.path)) {
            job.unnamed = true;
            unnamedOutputsWork = true;
            if (handle != -1)
                GiveHeldFolder(job);
            return true;
        }
        if (errno != EOPNOTSUPP)
            return false;
        unnamedOutputs = false; // asked once a run
    }
    if (CreateTempOutput(job.output, directory, job.writtenPath))
        return true;
    job.writtenPath.clear();
    return false;
}

bool CZipArchive::LinkOutput(CZipExtraction& job) {
    if (job.LinkUnnamed())
        return true;
    // The folder held open went since the file was made in it: it is made again, and the file
    // named by path.
    if (errno == ENOENT && job.folder != nullptr) {
        job.folder.reset();
        outputFolderMade = false;
        const std::string relative = job.path.substr(job.baseLength);
        const ZipOs::FolderWalk walk =
            EnsureOutputDirectory(job.path.substr(0, job.baseLength), CZipPathSafety::DirectoryOf(relative));
        if (walk == ZipOs::FolderWalk::Link)
            errno = ELOOP;
        if (walk == ZipOs::FolderWalk::Ready && job.LinkUnnamed())
            return true;
    }
    if (errno != EEXIST)
        return false;
    std::string temp;
    const std::string directory = CZipPathParts(job.path).GetDirectoryPath();
    for (int attempt = 0; attempt < maxTempNameAttempts; ++attempt) {
        temp = NextTempName(directory);
        if (job.output.LinkAs(temp))
            break;
        if (errno != EEXIST)
            return false;
        temp.clear();
    }
    if (temp.empty())
        return false;
    if (ZipOs::ReplaceFile(temp, job.path))
        return true;
    const int error = errno;
    ZipOs::RemoveFile(temp);
    errno = error;
    return false;
}

bool CZipArchive::CreateTempOutput(CZipDiskFile& file, const std::string& directory, std::string& path) {
    for (int attempt = 0; attempt < maxTempNameAttempts; ++attempt) {
        path = NextTempName(directory);
        if (file.Open(path.c_str(), newOutputFlags, false))
            return true;
        if (errno != EEXIST)
            return false;
    }
    return false;
}

CZipExtraction::Step CZipArchive::BeginExtraction(CZipExtraction& job, std::uint32_t index, const char* folder,
                                                  bool fullPath, const char* newName, bool openForReading) {
    job.index = index;
    const CZipEntryHeader* const peeked = PeekEntryInfo(index);
    if (peeked == nullptr)
        return Refuse(job, CZipException::InternalFault);
    const CZipEntryHeader& header = *peeked;
    const std::string entryName = header.GetFileName();
    const std::string path = ComposeExtractPath(entryName, folder, fullPath, newName);
    const std::string folderText = folder != nullptr ? folder : "";
    // Nothing is touched for a name that leaves the target folder.
    const CZipPathSafety::Verdict verdict =
        CZipPathSafety::Judge(newName != nullptr ? newName : entryName, folderText, path);
    if (verdict == CZipPathSafety::Outside || verdict == CZipPathSafety::ZeroByte)
        return Refuse(job,
                      verdict == CZipPathSafety::Outside ? CZipException::PathOutside : CZipException::NameNotAllowed);
    const std::string relative = CZipPathSafety::RelativePart(folderText, path);
    const std::string base = path.substr(0, path.size() - relative.size());
    CZipActionCallback* callback = GetCallback(CallbackExtract);

    if (header.IsDirectory()) {
        if (callback != nullptr) {
            callback->Begin(entryName.c_str(), path.c_str());
            callback->SetSize(0);
        }
        // The target folder itself is only made sure of: it keeps its own attributes.
        const bool inside = verdict == CZipPathSafety::Inside;
        const ZipOs::FolderWalk walk = EnsureOutputDirectory(base, inside ? relative : std::string());
        const bool made = walk == ZipOs::FolderWalk::Ready;
        if (!made)
            Refuse(job, WalkFailure(walk));
        if (made && inside) {
            ZipOs::ApplyAttributes(path, header.GetLocalAttributes(), header.GetUnixPermissions());
            folderTimes.push_back(FolderTime{path, base.size(), header.GetModTime()});
        }
        if (callback != nullptr)
            callback->Finish();
        return made ? CZipExtraction::Finished : CZipExtraction::Failed;
    }
    // A file cannot take the target folder's place.
    if (verdict != CZipPathSafety::Inside)
        return Refuse(job, CZipException::NameNotAllowed);
    if (callback != nullptr) {
        callback->Begin(entryName.c_str(), path.c_str());
        callback->SetSize(header.uncompressedSize);
    }
    if (header.IsSymbolicLink() && ZipOs::SupportsSymbolicLinks()) {
        const bool made = ExtractLink(index, header, path, base, relative, job.failure);
        if (callback != nullptr)
            callback->Finish();
        return made ? CZipExtraction::Finished : CZipExtraction::Failed;
    }
    // The local header is checked before anything is created for the entry.
    if (openForReading) {
        if (!OpenEntry(index))
            return Refuse(job, CZipException::InternalFault);
    } else {
        LocateEntryData(index, job);
    }

    job.path = path;
    job.baseLength = base.size();
    if (MakeOutput(job, base, CZipPathSafety::DirectoryOf(relative)) != 0) {
        CloseEntry(nullptr, true);
        return Refuse(job, CZipException::PathOutside);
    }
    return CZipExtraction::DataDue;
}

bool CZipArchive::EndExtraction(CZipExtraction& job) {
    // A file left to be made later and never made has not come out.
    if (job.createLater)
        return false;
    // Verified data keep their place even when the time or attributes could not be set. The folders
    // on the way are the ones walked when the entry was placed: the entries placed since make
    // folders, never replace one, so the name lands where the walk said.
    if (job.outcome != CZipExtraction::NotDecoded && job.HasOutput()) {
        const bool named = job.named || (job.unnamed ? LinkOutput(job) : ZipOs::ReplaceFile(job.writtenPath, job.path));
        if (!named)
            CZipException::Throw(errno, job.path);
        job.kept = true;
        // A file written on this thread is still open.
        if (!job.output.IsClosed())
            job.output.Close();
    }
    return job.outcome == CZipExtraction::Verified;
}

bool CZipArchive::ExtractEntry(std::uint32_t index, const char* folder, bool fullPath, const char* newName,
                               std::uint32_t bufferSize) {
    CZipExtraction job;
    lastFailure = 0;
    int stopCode = 0;
    const CZipExtraction::Step step = WriteEntry(job, index, folder, stopCode, fullPath, newName, bufferSize);
    lastFailure = job.failure;
    if (step != CZipExtraction::DataDue)
        return step == CZipExtraction::Finished;
    EndExtraction(job);
    const bool whole = job.outcome == CZipExtraction::Verified;
    if (stopCode != 0)
        CZipException::Throw(whole ? stopCode : CZipException::Aborted, job.path);
    return whole;
}

CZipExtraction::Step CZipArchive::WriteEntry(CZipExtraction& job, std::uint32_t index, const char* folder,
                                             int& stopCode, bool fullPath, const char* newName,
                                             std::uint32_t bufferSize) {
    stopCode = 0;
    if (bufferSize == 0 || bufferSize > UINT32_MAX - CZipBuffer::cacheLine)
        return CZipExtraction::Failed;
    const CZipExtraction::Step step = BeginExtraction(job, index, folder, fullPath, newName, true);
    if (step != CZipExtraction::DataDue)
        return step;

    CZipActionCallback* callback = GetCallback(CallbackExtract);
    // Only a small stored entry's data are held for the thread that makes its file.
    const CZipEntryHeader& opened = *centralDir.currentHeader;
    if (job.createLater && (opened.method != 0 || opened.IsEncrypted() || opened.compressedSize > maxHeldSize))
        CreateLateOutput(job);
    if (job.createLater) {
        HoldEntryData(job, callback, stopCode);
    } else if (chunkWriter != nullptr && opened.uncompressedSize >= chunkWriter->MinimumSize()) {
        WriteBehind(job, callback, stopCode);
    } else {
        CZipBuffer transferBlock(bufferSize + CZipBuffer::cacheLine);
        char* const transfer = reinterpret_cast<char*>(CZipBuffer::CacheLineStart(transferBlock.GetBuffer()));
        std::uint32_t n;
        do {
            n = ReadEntry(transfer, bufferSize);
            if (n == 0)
                break;
            job.output.Write(transfer, n);
            if (callback != nullptr && !callback->Progress(n)) {
                // A full chunk may have been the last: one more byte tells.
                const bool moreLeft = n == bufferSize && ReadEntry(transfer, 1) > 0;
                stopCode = moreLeft ? CZipException::Aborted : CZipException::SafeAbort;
                break;
            }
        } while (n == bufferSize);
    }

    job.stampLater = job.stampLater && (job.unnamed || job.createLater);
    if (job.stampLater) {
        const CZipEntryHeader& header = *centralDir.currentHeader;
        job.time = header.GetModTime(&centralDir.localExtraField);
        job.attributes = header.GetLocalAttributes();
        job.unixMode = header.GetUnixPermissions();
    }
    const int closed = job.stampLater ? CloseEntry(nullptr, false) : CloseEntry(job.output, !job.unnamed);
    job.outcome = closed == 1    ? CZipExtraction::Verified
                  : closed == -2 ? CZipExtraction::NotStamped
                                 : CZipExtraction::NotDecoded;
    job.failure = closed == -2 ? CZipException::NotStamped : closed != 1 ? CZipException::DataTruncated : 0;
    // Held data that failed their checks make no file.
    if (job.createLater && job.outcome == CZipExtraction::NotDecoded) {
        job.createLater = false;
        job.held.Release();
        job.folder.reset();
    }
    if (callback != nullptr)
        callback->Finish();
    return step;
}

void CZipArchive::HoldEntryData(CZipExtraction& job, CZipActionCallback* callback, int& stopCode) {
    // Sized by the data in the archive, never by the size declared: a stored entry holds no more.
    const std::uint64_t room = std::min<std::uint64_t>(centralDir.currentHeader->compressedSize, maxHeldSize) + 1;
    job.held.Allocate(static_cast<std::uint32_t>(room));
    std::uint32_t length = 0;
    std::uint32_t n;
    do {
        n = ReadEntry(job.held.GetBytes() + length, job.held.GetSize() - length);
        length += n;
        if (n != 0 && callback != nullptr && !callback->Progress(n)) {
            const bool moreLeft = length < job.held.GetSize() && ReadEntry(job.held.GetBytes() + length, 1) > 0;
            stopCode = moreLeft ? CZipException::Aborted : CZipException::SafeAbort;
            break;
        }
    } while (n != 0 && length < job.held.GetSize());
    // The byte of room past the data shows a longer entry, which then fails its checks.
    job.heldLength = length;
}

void CZipArchive::WriteBehind(CZipExtraction& job, CZipActionCallback* callback, int& stopCode) {
    const std::uint32_t size = chunkWriter->ChunkSize();
    chunkWriter->Start(job.output);
    try {
        std::uint32_t n;
        do {
            unsigned char* chunk = chunkWriter->Take();
            n = ReadEntry(chunk, size);
            chunkWriter->Give(chunk, n);
            if (n != 0 && callback != nullptr && !callback->Progress(n)) {
                unsigned char byte = 0;
                const bool moreLeft = n == size && ReadEntry(&byte, 1) > 0;
                stopCode = moreLeft ? CZipException::Aborted : CZipException::SafeAbort;
                break;
            }
        } while (n == size);
    } catch (...) {
        // Nothing more goes to the file, which the caller then removes; a write that failed first
        // is what one thread would have met.
        chunkWriter->Abandon();
        throw;
    }
    chunkWriter->Finish();
}

bool CZipArchive::ReadLinkTarget(std::uint32_t index, const CZipEntryHeader& header, std::string& target,
                                 CZipEntryHeader::Time& time) {
    if (header.uncompressedSize > maxLinkTargetSize || !OpenEntry(index))
        return false;
    // The local extra field goes with the entry when it is closed.
    time = header.GetModTime(&centralDir.localExtraField);
    // One byte of room more than declared lets the last read run a deflate stream to its end.
    target.assign(static_cast<std::size_t>(header.uncompressedSize) + 1, '\0');
    std::size_t length = 0;
    std::uint32_t n;
    do {
        n = ReadEntry(&target[length], static_cast<std::uint32_t>(target.size() - length));
        length += n;
    } while (n != 0 && length < target.size());
    target.resize(length);
    return CloseEntry(nullptr, false) == 1;
}

bool CZipArchive::CreateTempLink(const std::string& directory, const std::string& target, std::string& path) {
    for (int attempt = 0; attempt < maxTempNameAttempts; ++attempt) {
        path = NextTempName(directory);
        if (ZipOs::CreateSymbolicLink(path, target))
            return true;
        if (errno != EEXIST)
            return false;
    }
    return false;
}

// A link's target is stored as it is, wherever it points: nothing of this program ever follows a
// link below the target folder, and every other extractor makes the same link.
bool CZipArchive::ExtractLink(std::uint32_t index, const CZipEntryHeader& header, const std::string& path,
                              const std::string& base, const std::string& relative, int& failure) {
    std::string target;
    CZipEntryHeader::Time time;
    if (!ReadLinkTarget(index, header, target, time)) {
        failure =
            header.uncompressedSize > maxLinkTargetSize ? CZipException::NameTooLong : CZipException::DataTruncated;
        return false;
    }
    // The OS would make a link to a shorter target than the one stored.
    if (target.empty() || target.find('\0') != std::string::npos) {
        failure = CZipException::NameNotAllowed;
        return false;
    }
    const std::string relativeDirectory = CZipPathSafety::DirectoryOf(relative);
    for (int attempt = 0;; ++attempt) {
        const ZipOs::FolderWalk walk = EnsureOutputDirectory(base, relativeDirectory);
        if (walk != ZipOs::FolderWalk::Ready) {
            failure = WalkFailure(walk);
            return false;
        }
        if (ZipOs::CreateSymbolicLink(path, target))
            break;
        if (errno == EEXIST) {
            // Made beside the old one and renamed over it: a file or link there is replaced, never what
            // a link there points to; a folder there stays, and so does the new link's failure.
            std::string temp;
            if (!CreateTempLink(base + relativeDirectory, target, temp)) {
                failure = errno;
                return false;
            }
            if (!ZipOs::ReplaceFile(temp, path)) {
                failure = errno;
                ZipOs::DeletePath(temp);
                return false;
            }
            break;
        }
        // A folder known from an earlier entry may have gone meanwhile: look again, once.
        if (errno != ENOENT || attempt == 1) {
            failure = errno;
            return false;
        }
        outputFolderMade = false;
    }
    if (!ZipOs::ApplyModTime(path, time.seconds, time.nanoseconds)) {
        failure = CZipException::NotStamped;
        return false;
    }
    return true;
}

void CZipArchive::ApplyFolderTimes() {
    // Reverse name order puts every folder before the one that holds it; of two entries for one
    // folder the later one's time stays.
    std::stable_sort(folderTimes.begin(), folderTimes.end(),
                     [](const FolderTime& a, const FolderTime& b) { return a.path > b.path; });
    for (const FolderTime& folder : folderTimes) {
        // A folder replaced by a link meanwhile, or reached through one, is left alone.
        const std::string base = folder.path.substr(0, folder.baseLength);
        if (ZipOs::WalkFoldersBelow(base, folder.path.substr(folder.baseLength), false) == ZipOs::FolderWalk::Ready)
            ZipOs::ApplyModTime(folder.path, folder.time.seconds, folder.time.nanoseconds);
    }
    folderTimes.clear();
    folderTimes.shrink_to_fit();
}
