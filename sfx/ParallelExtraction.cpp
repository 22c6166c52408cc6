#include "sfx/ParallelExtraction.h"

// A program built for one thread leaves the workers out whole (some linkers keep what nothing calls).
#if !defined(ROZBAL_WORKERS) || ROZBAL_WORKERS != 1

#include "engine/ZipArchive.h"
#include "engine/ZipEntryHeader.h"
#include "engine/ZipEntryWriter.h"
#include "engine/ZipException.h"
#include "engine/ZipExtraction.h"
#include "platform/ZipOs.h"
#include "sfx/ExtractionDialogue.h"

#include <limits>
#include <utility>

namespace {

// Entries placed ahead of the one reported: each holds an open output file.
constexpr std::size_t maxPlacedAhead = 128;
// Small entries go to a thread together, so that handing over and waking costs little beside their
// own work: up to this many, or this many bytes of data.
constexpr std::size_t maxTaskEntries = 16;
constexpr std::uint64_t maxTaskBytes = 256 * 1024;
// What an entry counts for beyond its data: creating, stamping and closing its file.
constexpr std::uint64_t entryCostBytes = 4096;
#ifndef ROZBAL_OWN_STORED_MAX
#define ROZBAL_OWN_STORED_MAX 65536
#endif
// Stored entries up to this size are read by this thread: a worker reading them itself costs more.
constexpr std::uint64_t maxOwnStoredSize = ROZBAL_OWN_STORED_MAX;
// The data of small stored entries read ahead and held for the workers, at most.
constexpr std::uint64_t maxHeldAhead = 256 * 1024;
constexpr std::size_t noWait = std::numeric_limits<std::size_t>::max();

} // namespace

CParallelExtraction::CParallelExtraction(CZipArchive& archive, CExtractionDialogue& dialogue,
                                         const std::string& targetFolder, unsigned threads)
    : archive(archive), dialogue(dialogue), targetFolder(targetFolder), threads(threads) {}

CParallelExtraction::~CParallelExtraction() = default;

bool CParallelExtraction::ExtractAll(std::uint32_t count) {
    ZipOs::PrepareThreads();
    for (std::uint32_t index = 0; index < count && !Interrupted(); ++index)
        Place(index);
    HandOver();
    Report(0);
    return allExtracted;
}

bool CParallelExtraction::Interrupted() { return ZipOs::InterruptionSignal() != 0; }

void CParallelExtraction::Stop() {
    stopped = true;
    allExtracted = false;
    placed.pop_front();
}

void CParallelExtraction::Place(std::uint32_t index) {
    const CZipEntryHeader* const header = archive.PeekEntryInfo(index);
    if (header == nullptr)
        return;
    // What this needs of the header is taken now: the password dialogue may read other entries'.
    const bool encrypted = header->IsEncrypted();
    // A small stored entry is read and checked here, its bytes taken from the block the headers are
    // read through, and the worker makes and writes the file; where the file is made here, this
    // thread writes it too and the worker only names it.
    const bool ownStored = !encrypted && header->method == 0 && header->compressedSize <= maxOwnStoredSize;
    std::string name = header->GetFileName();
    if (encrypted) {
        // Asked where one thread asks: after every earlier entry is through.
        if (dialogue.WillAskPassword())
            Report(0);
        if (Interrupted())
            return;
        dialogue.SupplyPassword(archive);
    }
    if (!busy.Empty() &&
        busy.Meets(archive.ComposeExtractPath(name, targetFolder.c_str(), true, nullptr), targetFolder.size()))
        Report(0);
    if (stopped)
        return;

    placed.emplace_back();
    PlacedEntry& entry = placed.back();
    entry.name = std::move(name);
    auto job = std::make_unique<CZipExtraction>();
    CZipExtraction::Step step = CZipExtraction::Failed;
    job->stampLater = ownStored;
    // Its file is made by the thread that writes it, where the system allows.
    job->createLater = true;
    try {
        int stopCode = 0;
        step = ownStored ? archive.WriteEntry(*job, index, targetFolder.c_str(), stopCode)
                         : archive.BeginExtraction(*job, index, targetFolder.c_str());
        entry.cause = job->failure;
    } catch (const CZipException& e) {
        entry.cause = e.code;
        entry.method = CExtractionDialogue::MethodOfCause(e.code, archive);
        archive.CloseEntry(nullptr, true);
    } catch (...) {
        archive.CloseEntry(nullptr, true);
    }
    job->written = ownStored && !job->createLater;
    if (step == CZipExtraction::DataDue && ownStored &&
        (job->outcome == CZipExtraction::NotDecoded || (!job->unnamed && !job->createLater))) {
        // Nothing for the workers: ended here with the others.
        busy.Add(*job);
        entry.job = std::move(job);
    } else if (step == CZipExtraction::DataDue) {
        busy.Add(*job);
        entry.heldBytes = job->held.GetSize();
        heldAhead += entry.heldBytes;
        if (filling == nullptr) {
            tasks.emplace_back();
            filling = &tasks.back();
        }
        filling->task.jobs.push_back(job.get());
        ++filling->unreported;
        filling->bytes += (ownStored ? 0 : job->compressedSize) + entryCostBytes;
        entry.task = &filling->task;
        entry.job = std::move(job);
        if (filling->task.jobs.size() >= maxTaskEntries || filling->bytes >= maxTaskBytes)
            HandOver();
    } else {
        entry.extracted = step == CZipExtraction::Finished;
    }
    Report(placed.size() >= maxPlacedAhead ? maxPlacedAhead - 1 : noWait);
    while (heldAhead > maxHeldAhead && !placed.empty() && !stopped)
        Report(placed.size() - 1);
}

void CParallelExtraction::HandOver() {
    if (filling == nullptr)
        return;
    if (!workers)
        workers = std::make_unique<CExtractionWorkers>(archive.GetArchiveHandle(), threads);
    if (workers->Count() != 0) {
        workers->Submit(filling->task);
    } else {
        // The system gave no thread: the task is decoded here.
        for (CZipExtraction* job : filling->task.jobs)
            OwnDecoder().Decode(*job, archive.GetArchiveHandle());
        filling->task.decoded.store(true);
    }
    filling = nullptr;
}

void CParallelExtraction::Report(std::size_t keep) {
    while (!placed.empty() && !stopped) {
        PlacedEntry& entry = placed.front();
        if (!entry.lineShown) {
            dialogue.ShowEntry(entry.name);
            entry.lineShown = true;
        }
        if (entry.job && entry.task != nullptr) {
            const bool mustWait = placed.size() > keep;
            if (!mustWait && !CExtractionWorkers::IsDecoded(*entry.task))
                return;
            // Its task is the oldest one; it may still be filling.
            if (filling == &tasks.front())
                HandOver();
            // The lines said meanwhile go out while this thread waits.
            while (!workers->Wait(*entry.task, CExtractionDialogue::flushInterval))
                dialogue.FlushWhenDue();
            if (--tasks.front().unreported == 0)
                tasks.pop_front();
        }
        // An interruption ends the report at the first entry it stopped; that entry and every later
        // one go with their files (the later ones once the workers have ended).
        if (entry.job && entry.job->outcome == CZipExtraction::NotDecoded && Interrupted()) {
            Stop();
            return;
        }
        if (entry.job) {
            // Written once more now that every entry before it has ended: a full disk may have
            // been full of a file that has gone since, as it would have gone on one thread.
            if (entry.job->writeFailed)
                OwnDecoder().Retry(*entry.job, archive.GetArchiveHandle());
            try {
                // A file the worker could not make is made here, as it would have been when placed.
                if (entry.job->createLater && entry.job->createFailed) {
                    archive.CreateLateOutput(*entry.job);
                    OwnDecoder().Decode(*entry.job, archive.GetArchiveHandle());
                }
                entry.cause = entry.job->failure;
                entry.extracted = archive.EndExtraction(*entry.job);
            } catch (const CZipException& e) {
                entry.extracted = false;
                entry.cause = e.code;
            } catch (...) {
                entry.extracted = false;
            }
            busy.Remove(*entry.job);
            entry.job.reset(); // removes a file that was not kept
        }
        if (!entry.extracted) {
            if (Interrupted()) {
                Stop();
                return;
            }
            dialogue.ShowFailure(entry.cause, entry.method);
            allExtracted = false;
        }
        heldAhead -= entry.heldBytes;
        placed.pop_front();
    }
}

CZipEntryWriter& CParallelExtraction::OwnDecoder() {
    if (!ownDecoder)
        ownDecoder = std::make_unique<CZipEntryWriter>();
    return *ownDecoder;
}

#endif
