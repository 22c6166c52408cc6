// Extraction to disk: where an entry lands, and writing it there.
#include "engine/ZipArchive.h"

#include "engine/ZipException.h"
#include "engine/ZipPathSafety.h"
#include "platform/ZipOs.h"
#include "platform/ZipPathParts.h"

#include <algorithm>
#include <cerrno>

namespace {

// A failed entry must never cost an existing file nor leave a damaged one behind under a real name.
// When nothing is at the final name, the file is created there exclusively (which also refuses a
// symlink put in its place) and deleted on any failure: the same guarantee for every failure the
// program handles, without a rename per file, which on many small files costs as much as their data.
// Only a killed process differs: it leaves a partial file under the real name instead of a
// temporary one. When something is there already, the file is written under a name of its own in
// the folder and renamed over the final name only once it has passed every check.
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
    std::string result = folder != nullptr ? folder : "";
    std::string name = newName != nullptr ? newName : entryName;
    if (name.empty())
        return result;
    if (!result.empty())
        AppendSeparator(result);
    TrimTrailingSeparators(name);
    const CZipPathParts parts(name);
    if (!fullPath)
        name = parts.GetName();
    else if (stripDrive)
        name = parts.GetPathWithoutDrive();
    return result + ZipOs::StorableName(name);
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
    CZipEntryHeader header;
    GetEntryInfo(header, index);
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

    const std::string relativeDirectory = CZipPathSafety::DirectoryOf(relative);
    const std::string directory = base + relativeDirectory;
    for (int attempt = 0;; ++attempt) {
        // A folder failing to be made shows as the file failing to be created, for the folder's cause.
        const ZipOs::FolderWalk walk = EnsureOutputDirectory(base, relativeDirectory);
        if (walk == ZipOs::FolderWalk::Link) {
            CloseEntry(nullptr, true);
            return Refuse(job, CZipException::PathOutside);
        }
        const int walkError = walk == ZipOs::FolderWalk::Failed ? errno : 0;
        if (job.output.Open(path.c_str(), newOutputFlags, false)) {
            job.writtenPath = path;
            break;
        }
        if (errno == EEXIST && CreateTempOutput(job.output, directory, job.writtenPath))
            break;
        job.writtenPath.clear();
        // A folder known from an earlier entry may have gone meanwhile: look again, once.
        const int error = errno;
        if (error != ENOENT || attempt == 1)
            CZipException::Throw(error == ENOENT && walkError != 0 ? walkError : error, path);
        outputFolderMade = false;
    }
    job.path = path;
    return CZipExtraction::DataDue;
}

bool CZipArchive::EndExtraction(CZipExtraction& job) {
    // Verified data keep their place even when the time or attributes could not be set.
    if (job.outcome != CZipExtraction::NotDecoded && !job.writtenPath.empty()) {
        if (job.writtenPath != job.path && !ZipOs::ReplaceFile(job.writtenPath, job.path))
            CZipException::Throw(errno, job.path);
        job.kept = true;
    }
    return job.outcome == CZipExtraction::Verified;
}

bool CZipArchive::ExtractEntry(std::uint32_t index, const char* folder, bool fullPath, const char* newName,
                               std::uint32_t bufferSize) {
    if (bufferSize == 0 || bufferSize > UINT32_MAX - CZipBuffer::cacheLine)
        return false;
    CZipExtraction job;
    lastFailure = 0;
    const CZipExtraction::Step step = BeginExtraction(job, index, folder, fullPath, newName, true);
    if (step != CZipExtraction::DataDue) {
        lastFailure = job.failure;
        return step == CZipExtraction::Finished;
    }

    CZipActionCallback* callback = GetCallback(CallbackExtract);
    CZipBuffer transferBlock(bufferSize + CZipBuffer::cacheLine);
    char* const transfer = reinterpret_cast<char*>(CZipBuffer::CacheLineStart(transferBlock.GetBuffer()));
    int stopCode = 0;
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

    const int closed = CloseEntry(job.output);
    job.outcome = closed == 1    ? CZipExtraction::Verified
                  : closed == -2 ? CZipExtraction::NotStamped
                                 : CZipExtraction::NotDecoded;
    lastFailure = closed == -2 ? CZipException::NotStamped : closed != 1 ? CZipException::DataTruncated : 0;
    EndExtraction(job);
    if (callback != nullptr)
        callback->Finish();
    if (stopCode != 0)
        CZipException::Throw(closed == 1 ? stopCode : CZipException::Aborted, job.path);
    return closed == 1;
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
