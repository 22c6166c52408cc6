// Interruption on POSIX: the handler only marks the signal; the run notices the mark, removes what
// it has not finished and ends the process with the signal once everything it keeps is in place.
#include "platform/ZipOs.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <pthread.h>
#include <unistd.h>

namespace ZipOs {
namespace {

constexpr int watchedSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
constexpr int signalExitBase = 128; // what a shell shows for a process a signal ended

// The one mark a signal handler may set: a lock-free atomic is safe to store from it.
std::atomic<int> interruption{0};
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler stores into it");

void EndWithSignal(int signal) {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, nullptr);
    ::raise(signal); // delivered when the handler returns, or at once outside it
}

// Only async-signal-safe calls. Writing into a pipe whose reader has gone raises SIGPIPE at every
// write, the flushes of the clean-up included: only another signal ends the run at once.
void OnSignal(int signal) {
    int none = 0;
    if (interruption.compare_exchange_strong(none, signal) || signal == SIGPIPE)
        return;
    EndWithSignal(signal);
}

sigset_t WatchedSet() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : watchedSignals)
        sigaddset(&set, signal);
    return set;
}

} // namespace

void WatchInterruptions() {
    struct sigaction action {};
    action.sa_handler = &OnSignal;
    // Restarted: a console write or a file call is never cut short by the mark; the waits that
    // must end at once (the password line) poll, which a signal always ends.
    action.sa_flags = SA_RESTART;
    action.sa_mask = WatchedSet();
    for (const int signal : watchedSignals) {
        struct sigaction previous {};
        // A signal the caller ignored (nohup) stays ignored.
        if (::sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN && signal != SIGPIPE)
            continue;
        ::sigaction(signal, &action, nullptr);
    }
}

int InterruptionSignal() { return interruption.load(std::memory_order_relaxed); }

void KeepInterruptionsAway() {
    const sigset_t set = WatchedSet();
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void ExitInterrupted(int signal) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    EndWithSignal(signal);
    ::_exit(signalExitBase + signal);
}

} // namespace ZipOs
