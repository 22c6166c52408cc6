#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

class CZipArchive;

// One run of the self-extractor: the question, the archive opened from the program's own file and
// the walk over its entries, with the console dialogue in Czech.
class CExtractionRun {
  public:
    // The process exit status tells the outcome.
    enum Status {
        StatusDone = 0,          // every entry extracted, or the user declined
        StatusEntriesFailed = 1, // the archive opened but at least one entry failed
        StatusNoArchive = 2,     // the program's file carries no archive that can be opened
        StatusNoModulePath = -1, // the program's own path cannot be obtained; nothing printed
    };

    // Where the dialogue goes and where the answers come from; the program uses the standard output
    // and the ZipOs console, tests their own.
    struct Console {
        std::FILE* out;
        int (*readAnswer)();
        bool (*readPasswordLine)(std::string& text);
        // Each message is flushed as it is written (a terminal); otherwise the stream's own buffer
        // collects them and is flushed before every read of input and at the end.
        bool flushEachMessage = true;
    };
    static Console StandardConsole();

    explicit CExtractionRun(const Console& console = StandardConsole());

    // Runs the whole dialogue with the program at modulePath; returns the exit status.
    int Run(const std::string& modulePath);

    // The module path without its extension. A path whose last component has no extension or an
    // empty title (`setup`, `.setup`) gets ".d" appended instead, so the folder is never the program.
    static std::string TargetFolder(const std::string& modulePath);
    // An entry name as shown on the console: bytes below 0x20 and 0x7F as \xNN (upper-case hex), so
    // an archive cannot send escape sequences to the terminal; the engine's backslash separators as
    // the user's system writes them (separator); every other byte as it is.
    static std::string PrintableName(const std::string& name, char separator);

    // Worker threads for the entries' data: 0 decides by the machine and the archive (the program's
    // way), 1 keeps everything on the calling thread, more forces that many on any archive that
    // allows them (tests).
    void SetWorkerThreads(unsigned threads) { workerThreads = threads; }

  private:
    // Every entry in archive order, on one thread or with workers; true when all came out.
    bool ExtractEntries(CZipArchive& archive, std::uint32_t count);
    // The worker threads worth starting for this archive; 0 or 1: none.
    unsigned WorkersFor(const CZipArchive& archive) const;
    bool ExtractOneByOne(CZipArchive& archive, std::uint32_t count);
    bool ExtractWithWorkers(CZipArchive& archive, std::uint32_t count, unsigned threads);
    // The entry's line, and the line that tells it failed.
    void ShowEntry(const std::string& name);
    void ShowFailure();
    // Handles the entry at index; false when it failed.
    bool ProcessEntry(CZipArchive& archive, std::uint32_t index);
    // Asks for the password the first time an encrypted entry needs it (again after a failed read)
    // and hands it to the archive.
    void SupplyPassword(CZipArchive& archive);
    // Writes text as it is; on a terminal it is flushed at once, so it shows before the program works.
    void Say(const std::string& text);
    // Everything said so far reaches the console: before the program waits for input, and at the end.
    void FlushConsole() { std::fflush(console.out); }
    int RunDialogue(const std::string& modulePath);

    Console console;
    std::string targetFolder;
    bool passwordRead = false;
    std::string password;
    unsigned workerThreads = 0;
};
