#pragma once

#include "sfx/ExtractionDialogue.h"

#include <cstdint>
#include <string>

class CZipArchive;

// One run of the self-extractor: the question, the archive opened from the program's own file and
// the walk over its entries, on this thread or with workers.
class CExtractionRun {
  public:
    // The process exit status tells the outcome.
    enum Status {
        StatusDone = 0,          // every entry extracted, or the user declined
        StatusEntriesFailed = 1, // the archive opened but at least one entry failed
        StatusNoArchive = 2,     // the program's file carries no archive that can be opened
        StatusNoModulePath = -1, // the program's own path cannot be obtained; nothing printed
    };

    using Console = CExtractionDialogue::Console;

    explicit CExtractionRun(const Console& console = CExtractionDialogue::StandardConsole());

    // Runs the whole dialogue with the program at modulePath; returns the exit status.
    int Run(const std::string& modulePath);

    // The module path without its extension. A path whose last component has no extension or an
    // empty title (`setup`, `.setup`) gets ".d" appended instead, so the folder is never the program.
    static std::string TargetFolder(const std::string& modulePath);

    // Worker threads for the entries' data: 0 decides by the machine and the archive (the program's
    // way), 1 keeps everything on the calling thread, more forces that many on any archive that
    // allows them (tests).
    void SetWorkerThreads(unsigned threads) { workerThreads = threads; }

  private:
    int RunDialogue(const std::string& modulePath);
    // Every entry in archive order, on one thread or with workers; true when all came out.
    bool ExtractEntries(CZipArchive& archive, std::uint32_t count);
    // The worker threads worth starting for this archive; 0 or 1: none.
    unsigned WorkersFor(const CZipArchive& archive) const;
    bool ExtractOneByOne(CZipArchive& archive, std::uint32_t count);
    // Handles the entry at index; false when it failed.
    bool ProcessEntry(CZipArchive& archive, std::uint32_t index);

    CExtractionDialogue dialogue;
    std::string targetFolder;
    unsigned workerThreads = 0;
    bool agreed = false;
};
