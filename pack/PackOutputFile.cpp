#include "pack/PackOutputFile.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// What the signal handler removes: a copy it can read without locks or allocation.
char pendingPath[4096];
volatile std::sig_atomic_t pending = 0;

extern "C" void RemoveAndStop(int signal) {
    if (pending)
        unlink(pendingPath);
    std::signal(signal, SIG_DFL);
    raise(signal);
}

void WatchSignals() {
    struct sigaction action {};
    action.sa_handler = RemoveAndStop;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction old {};
        // A signal the caller ignores (nohup) stays ignored.
        if (sigaction(signal, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
            sigaction(signal, &action, nullptr);
    }
}

[[noreturn]] void Fail(const std::string& path) { throw std::runtime_error(path + ": " + std::strerror(errno)); }

} // namespace

CPackOutputFile::CPackOutputFile(const std::string& path) : path(path) {
    const std::size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    temporary = folder + "." + base + ".XXXXXX";
    if (temporary.size() >= sizeof pendingPath)
        throw std::runtime_error(path + ": the name is too long");
    std::vector<char> name(temporary.begin(), temporary.end());
    name.push_back('\0');
    WatchSignals();
    sigset_t block, old;
    sigemptyset(&block);
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&block, signal);
    // Made and noted with the signals held, so that none falls between the two.
    pthread_sigmask(SIG_BLOCK, &block, &old);
    fd = mkostemp(name.data(), O_CLOEXEC);
    const int error = errno;
    if (fd >= 0) {
        temporary.assign(name.data());
        std::memcpy(pendingPath, name.data(), name.size());
        pending = 1;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = error;
    if (fd < 0)
        Fail(path);
}

CPackOutputFile::~CPackOutputFile() {
    if (fd >= 0)
        close(fd);
    if (pending) {
        pending = 0;
        unlink(temporary.c_str());
    }
}

void CPackOutputFile::Commit(unsigned mode) {
    const mode_t mask = umask(0);
    umask(mask);
    if (fchmod(fd, static_cast<mode_t>(mode & ~mask)) != 0)
        Fail(path);
    const int closing = fd;
    fd = -1;
    if (close(closing) != 0)
        Fail(path);
    if (rename(temporary.c_str(), path.c_str()) != 0)
        Fail(path);
    pending = 0;
}
