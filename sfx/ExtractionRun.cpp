#include "sfx/ExtractionRun.h"

#include "engine/ZipActionCallback.h"
#include "engine/ZipArchive.h"
#include "engine/ZipEntryHeader.h"
#include "engine/ZipException.h"
#include "platform/ZipOs.h"
#include "sfx/ProgramImage.h"

#ifndef ROZBAL_WORKERS
#define ROZBAL_WORKERS 0
#endif
#ifndef ROZBAL_PARALLEL_ALWAYS
#define ROZBAL_PARALLEL_ALWAYS 0
#endif

#if ROZBAL_WORKERS != 1
#include "sfx/ExtractionWorkers.h"
#include "sfx/ParallelExtraction.h"
#include "sfx/WriteBehind.h"

#include <algorithm>
#include <cerrno>
#include <thread>
#endif

namespace {

// A program without an extension would otherwise propose its own path as the folder.
constexpr const char* noExtensionSuffix = ".d";

constexpr std::uint32_t transferBufferSize = 65536;

#if ROZBAL_WORKERS != 1
// Archives with fewer bytes of entries are done before threads would pay for themselves.
constexpr std::uint64_t minBytesForWorkers = 256 * 1024;
#endif

// Only what the OS separates with: on POSIX a backslash is a character of a name like any other.
bool IsPathSeparator(char c) { return c == '/' || c == ZipOs::PathSeparator(); }

bool Interrupted() { return ZipOs::InterruptionSignal() != 0; }

// Called between the chunks of an entry written on this thread: the console's lines go out while a
// large entry is written, and an interruption stops the entry.
class CRunProgress : public CZipActionCallback {
  public:
    explicit CRunProgress(CExtractionDialogue& dialogue) : dialogue(dialogue) {}
    bool Progress(std::uint32_t) override {
        dialogue.FlushWhenDue();
        return !Interrupted();
    }

  private:
    CExtractionDialogue& dialogue;
};

} // namespace

CExtractionRun::CExtractionRun(const Console& console) : dialogue(console) {}

std::string CExtractionRun::TargetFolder(const std::string& modulePath) {
    // Drive, directory and file title, as the C runtime's path split gives them, are everything but
    // the extension: the last component's text from its last dot on. The engine's path parts would
    // rejoin the parts with backslashes; this folder must stay the OS path as the OS gave it.
    std::size_t titleStart = modulePath.size();
    while (titleStart > 0 && !IsPathSeparator(modulePath[titleStart - 1]))
        --titleStart;
    const std::size_t dot = modulePath.rfind('.');
    std::string folder =
        dot == std::string::npos || dot <= titleStart ? modulePath + noExtensionSuffix : modulePath.substr(0, dot);
    // The engine reads a backslash as a separator wherever it ends a path, and would drop it: the
    // folder would become its parent.
    if (folder.back() == '\\')
        folder += noExtensionSuffix;
    return folder;
}

int CExtractionRun::Run(const std::string& modulePath) {
    const int status = RunDialogue(modulePath);
    dialogue.Flush();
    // Whoever declined or interrupted the run wants it gone; the rest get to read its lines.
    if (agreed && !Interrupted())
        dialogue.PauseIfConsoleCloses();
    return status;
}

int CExtractionRun::RunDialogue(const std::string& modulePath) {
    targetFolder = TargetFolder(modulePath);
    agreed = dialogue.AgreesToExtractInto(targetFolder);
    if (!agreed)
        return StatusDone;

    dialogue.ShowOpening();
    ZipOs::KeepFolderAsGiven(targetFolder);
    CZipArchive archive;
    dialogue.ForgetPassword();
    archive.SetDataEnd(CProgramImage::DataEndOf(modulePath));
    try {
        archive.Open(modulePath.c_str(), CZipArchive::ModeReadOnly, 0);
    } catch (...) {
        dialogue.ShowArchiveError();
        return StatusNoArchive;
    }

    const int count = archive.GetCount(false);
    dialogue.ShowCount(count);
    // Said once here rather than only as each entry's cause.
    if (count > 0 && !ZipOs::CreateDirectoryTree(targetFolder))
        dialogue.ShowFolderFailure(errno);
    dialogue.WatchInterruptions();
    CRunProgress progress(dialogue);
    archive.SetCallback(&progress, CZipArchive::CallbackExtract);
    const bool anyFailed = !ExtractEntries(archive, static_cast<std::uint32_t>(count));
    archive.SetCallback(nullptr, CZipArchive::CallbackExtract);
    archive.ApplyFolderTimes();

    try {
        archive.Close(0, false);
    } catch (...) {
        // Nothing is written to a read-only archive; whatever failed, release it without checks.
        archive.Close(1, false);
    }
    // An interrupted run ends with the lines of the entries it finished.
    if (Interrupted())
        return StatusEntriesFailed;
    dialogue.ShowEnd();
    return anyFailed ? StatusEntriesFailed : StatusDone;
}

bool CExtractionRun::ExtractEntries(CZipArchive& archive, std::uint32_t count) {
#if ROZBAL_WORKERS == 1
    return ExtractOneByOne(archive, count);
#else
    const unsigned threads = WorkersFor(archive);
    if (threads > 1)
        return CParallelExtraction(archive, dialogue, targetFolder, threads).ExtractAll(count);
    return ExtractOneByOne(archive, count);
#endif
}

#if ROZBAL_WORKERS != 1
unsigned CExtractionRun::WorkersFor(const CZipArchive& archive) const {
    unsigned threads = workerThreads;
    bool always = threads != 0;
    if (threads == 0) {
        threads = ROZBAL_WORKERS != 0 ? ROZBAL_WORKERS
                                      : std::min(std::thread::hardware_concurrency(), CExtractionWorkers::maxThreads);
        always = ROZBAL_PARALLEL_ALWAYS != 0;
    }
    if (threads < 2 || !archive.CanReadEntriesAtOnce())
        return 1;
    if (!always && (archive.GetCount(false) < 2 || archive.GetEntriesDataSize() < minBytesForWorkers))
        return 1;
    return threads;
}
#endif

bool CExtractionRun::ExtractOneByOne(CZipArchive& archive, std::uint32_t count) {
#if ROZBAL_WORKERS != 1
    // A second core writes big entries behind their decoding.
    const unsigned cores = workerThreads != 0    ? workerThreads
                           : ROZBAL_WORKERS != 0 ? ROZBAL_WORKERS
                                                 : std::thread::hardware_concurrency();
    std::unique_ptr<CWriteBehind> writeBehind;
    if (cores > 1)
        writeBehind = std::make_unique<CWriteBehind>();
    struct CDetach {
        CZipArchive& archive;
        ~CDetach() { archive.SetChunkWriter(nullptr); }
    } detach{archive};
    archive.SetChunkWriter(writeBehind.get());
#endif
    bool allExtracted = true;
    for (std::uint32_t index = 0; index < count && !Interrupted(); ++index) {
        if (!ProcessEntry(archive, index))
            allExtracted = false;
    }
    return allExtracted;
}

bool CExtractionRun::ProcessEntry(CZipArchive& archive, std::uint32_t index) {
    CZipEntryHeader header;
    archive.GetEntryInfo(header, index);
    if (header.IsEncrypted())
        dialogue.SupplyPassword(archive);
    dialogue.ShowEntry(header.GetFileName());

    // An existing file is neither deleted nor made writable up front: the extraction renames a
    // verified file over it, which a read-only file does not prevent, and a failed entry leaves it
    // exactly as it was. Making it writable would also change every hard link to it, in the target
    // folder or not.
    bool extracted = false;
    int cause = 0;
    try {
        extracted = archive.ExtractEntry(index, targetFolder.c_str(), true, nullptr, transferBufferSize);
        cause = archive.GetLastFailure();
    } catch (const CZipException& e) {
        // Whatever failed, the entry is reported below and the run goes on.
        cause = e.code;
    } catch (...) {
    }
    if (!extracted) {
        // An entry an interruption stopped is not a failure of its own.
        if (!Interrupted())
            dialogue.ShowFailure(cause, CExtractionDialogue::MethodOfCause(cause, archive));
        // Discards what a failure left open; does nothing when no entry is open.
        archive.CloseEntry(nullptr, true);
    }
    return extracted;
}
