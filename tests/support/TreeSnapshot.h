#pragma once

#include <map>
#include <string>
#include <vector>

// A picture of a folder tree, taken without following symlinks, to show that a run changed nothing
// in it. For every path it keeps the kind, the permission bits, the modification time and the
// size, the target of a symlink, and the contents of a file (a SHA-256 of one over 64 KiB).
// A folder's time changes whenever a name inside it is made or removed, so even a file that was
// written and deleted again shows.
class CTreeSnapshot {
  public:
    // skip: paths relative to root ("box/in/setup") left out with everything below them.
    static CTreeSnapshot Take(const std::string& root, const std::vector<std::string>& skip = {});

    // One line per path made, removed or changed since `before`, such as
    // "changed outside/secret.txt; was f 644 5 bytes, is f 666 5 bytes"; empty when nothing differs.
    // timeIgnored: folders whose time may change (the one that gains a new target folder).
    std::vector<std::string> ChangesSince(const CTreeSnapshot& before,
                                          const std::vector<std::string>& timeIgnored = {}) const;

  private:
    struct Facts {
        char kind = '?'; // d folder, f file, l symlink, p FIFO, ? anything else
        unsigned mode = 0;
        long long size = 0;
        long long seconds = 0, nanoseconds = 0; // modification time
        std::string contents;                   // file contents or digest, symlink target
    };
    static std::string Describe(const Facts& facts);

    std::map<std::string, Facts> paths; // the root itself is "."
};
