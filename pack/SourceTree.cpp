#include "pack/SourceTree.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace {

[[noreturn]] void Fail(const std::string& path, int error) {
    throw std::runtime_error(path + ": " + std::strerror(error));
}

// The name a source is stored under: its last component; "." and ".." by the folder's real name.
std::string StoredName(const std::string& source) {
    std::string path = source;
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    std::string last = path.substr(path.find_last_of('/') == std::string::npos ? 0 : path.find_last_of('/') + 1);
    if (last == "." || last == "..") {
        char real[PATH_MAX];
        if (!realpath(path.c_str(), real))
            Fail(source, errno);
        const std::string resolved = real;
        last = resolved.substr(resolved.find_last_of('/') + 1);
    }
    if (last.empty() || last == "/")
        throw std::runtime_error(source + ": the root folder cannot be packed under a name of its own");
    return last;
}

class Scanner {
  public:
    Scanner(const SourceRules& rules, std::vector<PackItem>& items) : rules(rules), items(items) {}

    void Add(const std::string& path, const std::string& name) {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0)
            Fail(path, errno);
        PackItem item;
        item.path = path;
        item.mode = static_cast<std::uint32_t>(st.st_mode);
        item.mtime = st.st_mtim.tv_sec;
        if (rules.clampTimes && item.mtime > rules.clampTo)
            item.mtime = rules.clampTo;
        if (S_ISDIR(st.st_mode)) {
            item.kind = PackItem::Folder;
            item.name = name + "/";
            items.push_back(item);
            AddFolder(path, name);
        } else if (S_ISLNK(st.st_mode)) {
            item.kind = PackItem::Link;
            item.name = name;
            std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1, '\0');
            const ssize_t n = readlink(path.c_str(), target.data(), target.size());
            if (n < 0)
                Fail(path, errno);
            target.resize(static_cast<std::size_t>(n));
            if (!rules.keepOutsideLinks && LinkLeavesArchive(name, target))
                throw std::runtime_error(path + ": the link leads out of the archive (" + target +
                                         "); --keep-outside-links keeps it");
            item.size = target.size();
            item.target = std::move(target);
            items.push_back(std::move(item));
        } else if (S_ISREG(st.st_mode)) {
            item.name = name;
            item.size = static_cast<std::uint64_t>(st.st_size);
            items.push_back(std::move(item));
        } else {
            throw std::runtime_error(path + ": neither a file, a folder nor a symbolic link");
        }
    }

  private:
    void AddFolder(const std::string& path, const std::string& name) {
        std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(path.c_str()), closedir);
        if (!dir)
            Fail(path, errno);
        std::vector<std::string> children;
        errno = 0;
        while (const dirent* d = readdir(dir.get())) {
            if (std::strcmp(d->d_name, ".") != 0 && std::strcmp(d->d_name, "..") != 0)
                children.emplace_back(d->d_name);
            errno = 0;
        }
        if (errno != 0)
            Fail(path, errno);
        dir.reset();
        const std::string prefix = path.back() == '/' ? path : path + "/";
        for (const std::string& child : children)
            Add(prefix + child, name + "/" + child);
    }

    const SourceRules& rules;
    std::vector<PackItem>& items;
};

} // namespace

bool LinkLeavesArchive(const std::string& name, const std::string& target) {
    if (target.empty() || target.front() == '/')
        return true;
    // The link's own folder's depth, then the target's components one by one.
    long depth = static_cast<long>(std::count(name.begin(), name.end(), '/'));
    std::size_t start = 0;
    while (start <= target.size()) {
        std::size_t end = target.find('/', start);
        if (end == std::string::npos)
            end = target.size();
        const std::string part = target.substr(start, end - start);
        if (part == "..") {
            if (--depth < 0)
                return true;
        } else if (!part.empty() && part != ".") {
            ++depth;
        }
        start = end + 1;
    }
    return false;
}

std::vector<PackItem> ScanSources(const std::vector<std::string>& sources, const SourceRules& rules) {
    std::vector<PackItem> items;
    Scanner scanner(rules, items);
    std::vector<std::string> names;
    for (const std::string& source : sources) {
        const std::string name = StoredName(source);
        if (std::find(names.begin(), names.end(), name) != names.end())
            throw std::runtime_error(source + ": another source is stored under the same name (" + name + ")");
        names.push_back(name);
        scanner.Add(source, name);
    }
    std::sort(items.begin(), items.end(), [](const PackItem& a, const PackItem& b) { return a.name < b.name; });
    return items;
}
