// Interruption on Windows: the console's control handler runs on a thread of its own; it marks the
// event as the POSIX handler marks a signal, and the run notices the mark and cleans up.
#include "platform/ZipOs.h"
#include "platform/ZipOsWin32Path.h"

#include <atomic>
#include <csignal>

namespace ZipOs {
namespace {

// What the system waits for a handler of a closing console before it ends the process anyway.
constexpr DWORD closingGraceMs = 4000;
constexpr DWORD controlCExit = 0xC000013A; // STATUS_CONTROL_C_EXIT

std::atomic<int> interruption{0};

int SignalOf(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
        return SIGINT;
    case CTRL_BREAK_EVENT:
        return SIGBREAK;
    default: // the console closed, the user logs off, the system shuts down
        return SIGTERM;
    }
}

BOOL WINAPI OnControl(DWORD event) {
    int none = 0;
    if (!interruption.compare_exchange_strong(none, SignalOf(event)))
        ::ExitProcess(controlCExit);
    // Returning from these ends the process at once: the run gets the time to clean up instead,
    // and ends the process itself.
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        ::Sleep(closingGraceMs);
    return TRUE;
}

} // namespace

void WatchInterruptions() { ::SetConsoleCtrlHandler(&OnControl, TRUE); }

int InterruptionSignal() { return interruption.load(std::memory_order_relaxed); }

// The console's events come on a thread of their own, never to a worker.
void KeepInterruptionsAway() {}

void ExitInterrupted(int) { ::ExitProcess(controlCExit); }

} // namespace ZipOs
