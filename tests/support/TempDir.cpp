#include "TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <dirent.h>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#ifdef _WIN32
#include <direct.h>
#include <random>
#endif

namespace {

#ifdef _WIN32
// The C runtime shows no links on Windows: stat is lstat there.
int StatNoFollow(const char* path, struct stat* st) { return ::stat(path, st); }
#else
int StatNoFollow(const char* path, struct stat* st) { return ::lstat(path, st); }
#endif

void RemoveTree(const std::string& path) {
    struct stat st;
    if (StatNoFollow(path.c_str(), &st) != 0)
        return;
    if (!S_ISDIR(st.st_mode)) {
        ::unlink(path.c_str());
        return;
    }
    // A test may leave a folder without write or search rights for its owner.
    ::chmod(path.c_str(), 0700);
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(path.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        ::closedir(dir);
    }
    for (const std::string& name : names)
        RemoveTree(path + "/" + name);
    ::rmdir(path.c_str());
}

} // namespace

CTempDir::CTempDir() {
#ifdef _WIN32
    // No mkdtemp: a random name, made exclusively.
    std::random_device seed;
    for (int attempt = 0; attempt < 100 && path.empty(); ++attempt) {
        const std::string candidate = ::testing::TempDir() + "rozbal-" + std::to_string(seed());
        if (::_mkdir(candidate.c_str()) == 0)
            path = candidate;
    }
    if (path.empty())
        throw std::runtime_error("cannot create a temporary directory in " + ::testing::TempDir());
#else
    std::string pattern = ::testing::TempDir() + "rozbal-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot create a temporary directory from " + pattern);
    path = pattern;
#endif
}

CTempDir::~CTempDir() { RemoveTree(path); }
