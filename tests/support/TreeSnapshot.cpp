#include "support/TreeSnapshot.h"

#include "support/Sha256.h"
#include "support/StubRunner.h"

#include <algorithm>
#include <cstdio>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr long long keptContentMax = 64 * 1024; // larger files are kept as their digest

std::string Octal(unsigned mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%03o", mode);
    return text;
}

} // namespace

CTreeSnapshot CTreeSnapshot::Take(const std::string& root, const std::vector<std::string>& skip) {
    CTreeSnapshot snapshot;
    std::vector<std::string> pending = {""};
    while (!pending.empty()) {
        const std::string relative = pending.back();
        pending.pop_back();
        const std::string full = relative.empty() ? root : root + "/" + relative;
        struct stat st;
        if (::lstat(full.c_str(), &st) != 0)
            continue;
        Facts facts;
        facts.mode = static_cast<unsigned>(st.st_mode & 07777);
        facts.seconds = st.st_mtim.tv_sec;
        facts.nanoseconds = st.st_mtim.tv_nsec;
        if (S_ISDIR(st.st_mode)) {
            facts.kind = 'd'; // its size follows the file system's block use, its names are listed below
            if (DIR* dir = ::opendir(full.c_str())) {
                while (const dirent* entry = ::readdir(dir)) {
                    const std::string name = entry->d_name;
                    if (name == "." || name == "..")
                        continue;
                    const std::string child = relative.empty() ? name : relative + "/" + name;
                    if (std::find(skip.begin(), skip.end(), child) == skip.end())
                        pending.push_back(child);
                }
                ::closedir(dir);
            }
        } else if (S_ISLNK(st.st_mode)) {
            facts.kind = 'l';
            std::string target(4096, '\0');
            const ssize_t n = ::readlink(full.c_str(), &target[0], target.size());
            target.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
            facts.contents = target;
        } else if (S_ISREG(st.st_mode)) {
            facts.kind = 'f';
            facts.size = st.st_size;
            const std::string bytes = CStubRunner::ReadFileBytes(full);
            facts.contents = st.st_size <= keptContentMax ? bytes : "sha256 " + ziptest::Sha256Hex(bytes);
        } else {
            facts.kind = S_ISFIFO(st.st_mode) ? 'p' : '?';
        }
        snapshot.paths[relative.empty() ? "." : relative] = facts;
    }
    return snapshot;
}

std::string CTreeSnapshot::Describe(const Facts& facts) {
    std::string text = std::string(1, facts.kind) + " " + Octal(facts.mode);
    if (facts.kind == 'f')
        text += " " + std::to_string(facts.size) + " bytes";
    if (facts.kind == 'l')
        text += " -> " + facts.contents;
    return text;
}

std::vector<std::string> CTreeSnapshot::ChangesSince(const CTreeSnapshot& before,
                                                     const std::vector<std::string>& timeIgnored) const {
    std::vector<std::string> changes;
    for (const auto& [path, was] : before.paths) {
        const auto now = paths.find(path);
        if (now == paths.end()) {
            changes.push_back("removed " + path + " (" + Describe(was) + ")");
            continue;
        }
        const Facts& is = now->second;
        std::string what;
        if (is.kind != was.kind || is.mode != was.mode || is.size != was.size)
            what += "; was " + Describe(was) + ", is " + Describe(is);
        else if (is.contents != was.contents)
            what += "; contents";
        const bool timeWatched = std::find(timeIgnored.begin(), timeIgnored.end(), path) == timeIgnored.end();
        if (timeWatched && (is.seconds != was.seconds || is.nanoseconds != was.nanoseconds))
            what += "; modification time";
        if (!what.empty())
            changes.push_back("changed " + path + what);
    }
    for (const auto& [path, is] : paths)
        if (before.paths.count(path) == 0)
            changes.push_back("made " + path + " (" + Describe(is) + ")");
    return changes;
}
