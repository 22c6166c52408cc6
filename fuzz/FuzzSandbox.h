#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

// A fresh, empty target folder for every input, with watched surroundings:
//   ROOT/                 listing watched; also the process's current folder's parent
//   ROOT/cwd/             the current folder, must stay empty (relative paths land here)
//   ROOT/up/              listing watched
//   ROOT/up/box/          listing watched: only `sentinel`, `target` and `target.run`
//   ROOT/up/box/sentinel  bytes, size, mode, time and inode watched
//   ROOT/up/box/target/   emptied before every input
//   ROOT/up/box/target.run  a program's file whose folder is the target
//   ROOT/vol/             archive files a target writes for itself (not watched)
// ROOT lives in $ROZBAL_FUZZ_SCRATCH, else on tmpfs when there is one. Any change outside the
// target aborts.
class CFuzzSandbox {
  public:
    CFuzzSandbox() {
        // make fuzz names a scratch folder of its own per run and removes it afterwards, also
        // after a crash, which leaves the sandbox behind.
        const char* base = std::getenv("ROZBAL_FUZZ_SCRATCH");
        if (base == nullptr)
            base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : std::getenv("TMPDIR");
        std::string pattern = std::string(base ? base : "/tmp") + "/rozbal-fuzz-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr)
            std::abort();
        root = pattern;
        for (const char* folder : {"/cwd", "/up", "/up/box", "/up/box/target", "/vol"})
            Require(::mkdir((root + folder).c_str(), 0755) == 0);
        target = root + "/up/box/target";
        const std::string sentinel = SentinelPath();
        FILE* file = std::fopen(sentinel.c_str(), "wb");
        Require(file != nullptr && std::fputs(sentinelText, file) >= 0 && std::fclose(file) == 0);
        // The program beside the target, named so that the target is its folder.
        file = std::fopen(Program().c_str(), "wb");
        Require(file != nullptr && std::fclose(file) == 0);
        Require(::stat(sentinel.c_str(), &sentinelStat) == 0);
        Require(::chdir((root + "/cwd").c_str()) == 0);
        for (const char* folder : {"", "/up", "/up/box"})
            listings[folder] = List(root + folder);
    }
    ~CFuzzSandbox() { Remove(root); }
    CFuzzSandbox(const CFuzzSandbox&) = delete;
    CFuzzSandbox& operator=(const CFuzzSandbox&) = delete;

    // The target folder, in the OS form without a trailing slash.
    const std::string& Target() const { return target; }
    const std::string& Root() const { return root; }
    // A file beside the target whose folder, for the front end, is the target: the program.
    std::string Program() const { return target + ".run"; }
    // A folder for the input's own archive files, outside the target.
    std::string Volumes() const { return root + "/vol"; }

    // Empties the target folder.
    void Reset() {
        Remove(target);
        Require(::mkdir(target.c_str(), 0755) == 0);
    }

    // Aborts when anything outside the target folder changed.
    void CheckOutside() const {
        for (const auto& [folder, names] : listings)
            Require(List(root + folder) == names);
        Require(List(root + "/cwd").empty());
        struct stat now {};
        const std::string sentinel = SentinelPath();
        Require(::lstat(sentinel.c_str(), &now) == 0 && S_ISREG(now.st_mode));
        Require(now.st_ino == sentinelStat.st_ino && now.st_mode == sentinelStat.st_mode &&
                now.st_size == sentinelStat.st_size && now.st_nlink == 1 &&
                now.st_mtim.tv_sec == sentinelStat.st_mtim.tv_sec &&
                now.st_mtim.tv_nsec == sentinelStat.st_mtim.tv_nsec);
        char bytes[64] = {};
        const int fd = ::open(sentinel.c_str(), O_RDONLY | O_NOFOLLOW);
        Require(fd >= 0);
        const ssize_t n = ::read(fd, bytes, sizeof bytes - 1);
        ::close(fd);
        Require(n == static_cast<ssize_t>(std::strlen(sentinelText)) && std::strcmp(bytes, sentinelText) == 0);
    }

    static void Require(bool condition) {
        if (!condition)
            std::abort();
    }

  private:
    static constexpr const char* sentinelText = "outside the target folder\n";

    std::string SentinelPath() const { return root + "/up/box/sentinel"; }

    static std::set<std::string> List(const std::string& folder, bool required = true) {
        std::set<std::string> names;
        DIR* dir = ::opendir(folder.c_str());
        Require(dir != nullptr || !required);
        if (dir == nullptr)
            return names;
        while (const dirent* item = ::readdir(dir))
            if (std::strcmp(item->d_name, ".") != 0 && std::strcmp(item->d_name, "..") != 0)
                names.insert(item->d_name);
        ::closedir(dir);
        return names;
    }

    // Removes a tree without following links; folders without owner rights are opened up
    // first. Names are read before descending, so deep trees hold one folder open at a time.
    static void Remove(const std::string& path) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0)
            return;
        if (!S_ISDIR(st.st_mode)) {
            ::unlink(path.c_str());
            return;
        }
        if ((st.st_mode & S_IRWXU) != S_IRWXU)
            ::chmod(path.c_str(), st.st_mode | S_IRWXU);
        for (const std::string& name : List(path, false))
            Remove(path + "/" + name);
        ::rmdir(path.c_str());
    }

    std::string root;
    std::string target;
    struct stat sentinelStat {};
    std::map<std::string, std::set<std::string>> listings;
};
