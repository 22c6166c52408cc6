#pragma once

#include "sfx/BusyPaths.h"
#include "sfx/ExtractionWorkers.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

class CExtractionDialogue;
class CZipArchive;
class CZipEntryWriter;
class CZipExtraction;

// Extraction with worker threads: this thread places every entry in archive order (path, folders,
// links), workers make the files and write their data, and this thread ends each entry and reports
// it, again in archive order, so the dialogue is the one-thread dialogue, at most later.
class CParallelExtraction {
  public:
    // The archive must allow its entries to be read at once (CZipArchive::CanReadEntriesAtOnce).
    CParallelExtraction(CZipArchive& archive, CExtractionDialogue& dialogue, const std::string& targetFolder,
                        unsigned threads);
    CParallelExtraction(const CParallelExtraction&) = delete;
    CParallelExtraction& operator=(const CParallelExtraction&) = delete;
    ~CParallelExtraction();

    // The first count entries, once; true when all came out.
    bool ExtractAll(std::uint32_t count);

  private:
    struct PlacedEntry {
        std::string name;
        std::unique_ptr<CZipExtraction> job; // a file whose data are with the workers
        CExtractionWorkers::Task* task = nullptr;
        bool extracted = false; // for an entry done when placed
        bool lineShown = false;
        int cause = 0;            // why it failed, for its failure line
        std::uint16_t method = 0; // the method named by the cause
        std::uint64_t heldBytes = 0; // of the entry's data held for a worker
    };
    // A task handed over or being filled, with the entries it has to report.
    struct PlacedTask {
        CExtractionWorkers::Task task;
        std::size_t unreported = 0;
        std::uint64_t bytes = 0;
    };

    // Places the entry at index: done here, handed to a task, or failed.
    void Place(std::uint32_t index);
    // The task being filled goes to the workers, started with the first one.
    void HandOver();
    // Reports entries from the oldest on: waits for them while more than keep are placed, then goes
    // on as far as their data are done.
    void Report(std::size_t keep);
    // The decoder for entries written on this thread.
    CZipEntryWriter& OwnDecoder();
    static bool Interrupted();
    // The report ends at the entry in front, which an interruption stopped; it goes with its file.
    void Stop();

    CZipArchive& archive;
    CExtractionDialogue& dialogue;
    const std::string targetFolder;
    const unsigned threads;
    // Declared before the workers, so that on an exception the workers end (finishing what they
    // hold) before the entries they write go.
    std::deque<PlacedEntry> placed;
    std::deque<PlacedTask> tasks;  // oldest first
    PlacedTask* filling = nullptr; // the newest task, not handed over yet
    CBusyPaths busy;
    std::unique_ptr<CZipEntryWriter> ownDecoder;
    // Started with the first task: an archive whose entries all stay here starts none.
    std::unique_ptr<CExtractionWorkers> workers;
    std::uint64_t heldAhead = 0; // the placed entries' heldBytes
    bool allExtracted = true;
    bool stopped = false;
};
