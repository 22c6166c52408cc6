// Extraction with worker threads: this thread places every entry in archive order (path, folders,
// output file, links), workers write the files' data, and this thread ends each entry and reports
// it, again in archive order, so the dialogue is the one-thread dialogue, at most later.
#include "sfx/ExtractionRun.h"

#include "engine/ZipArchive.h"
#include "engine/ZipEntryWriter.h"
#include "engine/ZipEntryHeader.h"
#include "engine/ZipExtraction.h"
#include "platform/ZipOs.h"
#include "sfx/ExtractionWorkers.h"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#ifndef ROZBAL_WORKERS
#define ROZBAL_WORKERS 0
#endif
#ifndef ROZBAL_PARALLEL_ALWAYS
#define ROZBAL_PARALLEL_ALWAYS 0
#endif

#if ROZBAL_WORKERS != 1
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
// Stored entries up to this size are copied by this thread: handing them over costs more.
constexpr std::uint64_t maxOwnStoredSize = ROZBAL_OWN_STORED_MAX;
// Archives with fewer bytes of entries are done before threads would pay for themselves.
constexpr std::uint64_t minBytesForWorkers = 256 * 1024;
constexpr std::size_t noWait = std::numeric_limits<std::size_t>::max();

struct PlacedEntry {
    std::string name;
    std::unique_ptr<CZipExtraction> job; // a file whose data are with the workers
    CExtractionWorkers::Task* task = nullptr;
    bool extracted = false; // for an entry done when placed
    bool lineShown = false;
};

// The tasks handed over or being filled, oldest first; each with the entries it has to report.
struct PlacedTask {
    CExtractionWorkers::Task task;
    std::size_t unreported = 0;
    std::uint64_t bytes = 0;
};

// The files placed and not yet ended, under their final and their temporary names, sorted. An entry
// at one of them or below one waits until they have ended, so that it meets on disk what it would
// meet on one thread (a failed file removed, a replaced one in place).
class BusyPaths {
  public:
    void Add(const CZipExtraction& job) {
        Insert(job.path);
        if (job.writtenPath != job.path)
            Insert(job.writtenPath);
    }
    void Remove(const CZipExtraction& job) {
        Erase(job.path);
        if (job.writtenPath != job.path)
            Erase(job.writtenPath);
    }
    bool Empty() const { return paths.empty(); }
    bool Meets(const std::string& path, std::size_t folderLength) const {
        if (Holds(path))
            return true;
        for (std::size_t i = folderLength + 1; i < path.size(); ++i) {
            if ((path[i] == '/' || path[i] == '\\') && Holds(path.substr(0, i)))
                return true;
        }
        return false;
    }

  private:
    bool Holds(const std::string& path) const { return std::binary_search(paths.begin(), paths.end(), path); }
    void Insert(const std::string& path) { paths.insert(std::upper_bound(paths.begin(), paths.end(), path), path); }
    void Erase(const std::string& path) {
        const auto found = std::lower_bound(paths.begin(), paths.end(), path);
        if (found != paths.end() && *found == path)
            paths.erase(found);
    }
    std::vector<std::string> paths;
};

} // namespace
#endif

bool CExtractionRun::ExtractEntries(CZipArchive& archive, std::uint32_t count) {
#if ROZBAL_WORKERS == 1
    return ExtractOneByOne(archive, count);
#else
    const unsigned threads = WorkersFor(archive);
    return threads > 1 ? ExtractWithWorkers(archive, count, threads) : ExtractOneByOne(archive, count);
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

bool CExtractionRun::ExtractWithWorkers(CZipArchive& archive, std::uint32_t count, unsigned threads) {
    ZipOs::PrepareThreads();
    // Declared before the workers, so that on an exception the workers end (finishing what they
    // hold) before the entries they write go.
    std::deque<PlacedEntry> placed;
    std::deque<PlacedTask> tasks;
    PlacedTask* filling = nullptr; // the newest task, not handed over yet
    BusyPaths busy;
    std::unique_ptr<CZipEntryWriter> ownDecoder; // for entries written on this thread
    // Started with the first task: an archive whose entries all stay here starts none.
    std::unique_ptr<CExtractionWorkers> workers;
    bool allExtracted = true;

    const auto handOver = [&] {
        if (filling == nullptr)
            return;
        if (!workers)
            workers = std::make_unique<CExtractionWorkers>(archive.GetArchiveHandle(), threads);
        if (workers->Count() != 0) {
            workers->Submit(filling->task);
        } else {
            // The system gave no thread: the task is decoded here.
            if (!ownDecoder)
                ownDecoder = std::make_unique<CZipEntryWriter>();
            for (CZipExtraction* job : filling->task.jobs)
                ownDecoder->Decode(*job, archive.GetArchiveHandle());
            filling->task.decoded.store(true);
        }
        filling = nullptr;
    };
    // Reports entries from the oldest on: waits for them while more than keep are placed, then goes
    // on as far as their data are done.
    const auto report = [&](std::size_t keep) {
        while (!placed.empty()) {
            PlacedEntry& entry = placed.front();
            if (!entry.lineShown) {
                ShowEntry(entry.name);
                entry.lineShown = true;
            }
            if (entry.job && entry.task != nullptr) {
                const bool mustWait = placed.size() > keep;
                if (!mustWait && !CExtractionWorkers::IsDecoded(*entry.task))
                    return;
                // Its task is the oldest one; it may still be filling.
                if (filling == &tasks.front())
                    handOver();
                if (!CExtractionWorkers::IsDecoded(*entry.task))
                    workers->Wait(*entry.task);
                if (--tasks.front().unreported == 0)
                    tasks.pop_front();
            }
            if (entry.job) {
                // Written once more now that every entry before it has ended: a full disk may have
                // been full of a file that has gone since, as it would have gone on one thread.
                if (entry.job->writeFailed) {
                    if (!ownDecoder)
                        ownDecoder = std::make_unique<CZipEntryWriter>();
                    ownDecoder->Retry(*entry.job, archive.GetArchiveHandle());
                }
                try {
                    entry.extracted = archive.EndExtraction(*entry.job);
                } catch (...) {
                    entry.extracted = false;
                }
                busy.Remove(*entry.job);
                entry.job.reset(); // removes a file that was not kept
            }
            if (!entry.extracted) {
                ShowFailure();
                allExtracted = false;
            }
            placed.pop_front();
        }
    };

    for (std::uint32_t index = 0; index < count; ++index) {
        CZipEntryHeader header;
        archive.GetEntryInfo(header, index);
        if (header.IsEncrypted()) {
            // Asked where one thread asks: after every earlier entry is through.
            if (!passwordRead)
                report(0);
            SupplyPassword(archive);
        }
        const std::string name = header.GetFileName();
        if (!busy.Empty() &&
            busy.Meets(archive.ComposeExtractPath(name, targetFolder.c_str(), true, nullptr), targetFolder.size()))
            report(0);

        placed.emplace_back();
        PlacedEntry& entry = placed.back();
        entry.name = name;
        // A small stored entry, with nothing at the workers: extracted here as on one thread, its
        // bytes taken from the block the headers are read through.
        if (tasks.empty() && !header.IsEncrypted() && header.method == 0 && header.compressedSize <= maxOwnStoredSize) {
            try {
                entry.extracted = archive.ExtractEntry(index, targetFolder.c_str());
            } catch (...) {
                entry.extracted = false;
            }
            if (!entry.extracted)
                archive.CloseEntry(nullptr, true);
            report(noWait);
            continue;
        }
        auto job = std::make_unique<CZipExtraction>();
        CZipExtraction::Step step = CZipExtraction::Failed;
        try {
            step = archive.BeginExtraction(*job, index, targetFolder.c_str());
        } catch (...) {
            archive.CloseEntry(nullptr, true);
        }
        if (step == CZipExtraction::DataDue && job->entry.method == 0 && job->cipher == nullptr &&
            job->compressedSize <= maxOwnStoredSize) {
            // Nothing to decode: copying it here costs less than handing it over.
            if (!ownDecoder)
                ownDecoder = std::make_unique<CZipEntryWriter>();
            ownDecoder->Decode(*job, archive.GetArchiveHandle());
            busy.Add(*job);
            entry.job = std::move(job);
        } else if (step == CZipExtraction::DataDue) {
            busy.Add(*job);
            if (filling == nullptr) {
                tasks.emplace_back();
                filling = &tasks.back();
            }
            filling->task.jobs.push_back(job.get());
            ++filling->unreported;
            filling->bytes += job->compressedSize + entryCostBytes;
            entry.task = &filling->task;
            entry.job = std::move(job);
            if (filling->task.jobs.size() >= maxTaskEntries || filling->bytes >= maxTaskBytes)
                handOver();
        } else {
            entry.extracted = step == CZipExtraction::Finished;
        }
        report(placed.size() >= maxPlacedAhead ? maxPlacedAhead - 1 : noWait);
    }
    handOver();
    report(0);
    return allExtracted;
}
#endif
