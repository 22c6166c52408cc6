#pragma once

#include <cstdint>
#include <chrono>
#include <cstdio>
#include <string>

class CZipArchive;

// The console side of a run, in Czech: every message byte for byte, the entries' lines, and the
// password, asked once and handed to the archive for each encrypted entry.
class CExtractionDialogue {
  public:
    // Where the dialogue goes and where the answers come from; the program uses the standard output
    // and the ZipOs console, tests their own.
    struct Console {
        std::FILE* out;
        int (*readAnswer)();
        bool (*readPasswordLine)(std::string& text);
        // Each message is flushed as it is written (a terminal); otherwise the stream's own buffer
        // collects them and is flushed before every read of input, at the end, and while the run
        // goes on at least every flushInterval (FlushWhenDue).
        bool flushEachMessage = true;
        // Called once the user agreed, when the run starts to write files: from then on an
        // interruption is noticed and cleaned up after (ZipOs::WatchInterruptions); none in tests.
        void (*watchInterruptions)() = nullptr;
        // Whether the console closes with the program, and the wait for Enter then (ZipOs); none in
        // tests: the run ends without a pause.
        bool (*consoleClosesWithProgram)() = nullptr;
        void (*waitForEnter)(const std::string& prompt) = nullptr;
    };
    static constexpr std::chrono::milliseconds flushInterval{100};
    static Console StandardConsole();

    explicit CExtractionDialogue(const Console& console) : console(console) {}

    // An entry name as shown on the console: bytes below 0x20 and 0x7F as \xNN (upper-case hex), so
    // an archive cannot send escape sequences to the terminal; the engine's backslash separators as
    // the user's system writes them (separator); every other byte as it is.
    static std::string PrintableName(const std::string& name, char separator);

    // Asks whether to extract into folder and waits for the answer; true when the user agrees.
    bool AgreesToExtractInto(const std::string& folder);
    void ShowOpening();
    void ShowArchiveError();
    void ShowCount(int count);
    void ShowEnd();
    // After the last line, where the console would close with the program (started from Explorer):
    // says so and waits for Enter, so that the lines can be read.
    void PauseIfConsoleCloses();
    // The entry's line, and the line that tells it failed, followed by one naming the cause where it
    // is one the user can act on or should know of (cause: a CZipException code or an errno value;
    // method: the entry's compression method, named for an unsupported one).
    void ShowEntry(const std::string& name);
    void ShowFailure(int cause = 0, std::uint16_t method = 0);
    // Once, before the entries' lines, when the target folder itself could not be made.
    void ShowFolderFailure(int cause);
    // The cause line's text (without its line start), empty for a cause it does not name.
    static std::string CauseText(int cause, std::uint16_t method);
    // The method to name for cause, right after the entry failed: the one its data are compressed
    // with where the cause is an unsupported method, else 0.
    static std::uint16_t MethodOfCause(int cause, const CZipArchive& archive);

    // The next encrypted entry prompts for the password: none was read yet, or the last read failed.
    bool WillAskPassword() const { return !passwordRead; }
    // Asks for the password the first time an encrypted entry needs it (again after a failed read)
    // and hands it to the archive.
    void SupplyPassword(CZipArchive& archive);
    // A new archive: its first encrypted entry asks again.
    void ForgetPassword();

    // Everything said so far reaches the console: before the program waits for input, and at the end.
    void Flush();
    // Flushes what waits in the buffer once flushInterval has passed since the last flush, so that a
    // reader of a pipe sees the lines soon and an interrupted run loses none. Cheap: call it often.
    void FlushWhenDue();
    // The run from here on writes files (see Console::watchInterruptions).
    void WatchInterruptions();

  private:
    // Writes text as it is; on a terminal it is flushed at once, so it shows before the program works.
    void Say(const std::string& text);

    Console console;
    bool unflushed = false;
    bool atLineStart = true;
    std::chrono::steady_clock::time_point lastFlush = std::chrono::steady_clock::now();
    bool passwordRead = false;
    std::string password;
};
