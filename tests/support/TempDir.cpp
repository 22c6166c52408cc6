#include "TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <dirent.h>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

void RemoveTree(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
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
    std::string pattern = ::testing::TempDir() + "rozbal-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot create a temporary directory from " + pattern);
    path = pattern;
}

CTempDir::~CTempDir() { RemoveTree(path); }
