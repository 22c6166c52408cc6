#include "support/Sandbox.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

[[noreturn]] void Fail(const std::string& what) { throw std::runtime_error(what + ": " + std::strerror(errno)); }

std::string ParentOf(const std::string& relative) {
    const std::size_t slash = relative.rfind('/');
    return slash == std::string::npos ? "." : relative.substr(0, slash);
}

void MakeParents(const std::string& path) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        ::mkdir(path.substr(0, slash).c_str(), 0755);
}

void CollectFiles(const std::string& root, const std::string& relative, std::map<std::string, std::string>& files) {
    DIR* dir = ::opendir((relative.empty() ? root : root + "/" + relative).c_str());
    if (!dir)
        return;
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(relative.empty() ? name : relative + "/" + name);
    }
    ::closedir(dir);
    for (const std::string& name : names) {
        struct stat st;
        if (::lstat((root + "/" + name).c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode))
            CollectFiles(root, name, files);
        else if (S_ISREG(st.st_mode))
            files[name] = CStubRunner::ReadFileBytes(root + "/" + name);
    }
}

} // namespace

CSandbox::CSandbox(std::string programPath, std::string targetPath)
    : program(std::move(programPath)), target(std::move(targetPath)) {
    Write("sentinel.txt", "sentinel");
    Write("outside/secret.txt", "secret");
    Write("outside/readonly.txt", "read-only", 0444);
    MakeFolder(ParentOf(program));
}

CSandbox::~CSandbox() {
    for (auto mount = mounts.rbegin(); mount != mounts.rend(); ++mount)
        if (::umount(mount->c_str()) != 0)
            ::umount2(mount->c_str(), MNT_DETACH);
}

void CSandbox::MakeFolder(const std::string& relative, unsigned mode) const {
    const std::string path = Path(relative) + "/";
    MakeParents(path);
    if (::chmod(path.c_str(), mode) != 0)
        Fail("chmod " + path);
}

void CSandbox::Write(const std::string& relative, const std::string& contents, unsigned mode) const {
    const std::string path = Path(relative);
    MakeParents(path);
    CStubRunner::WriteFileBytes(path, contents);
    if (::chmod(path.c_str(), mode) != 0)
        Fail("chmod " + path);
}

void CSandbox::Symlink(const std::string& relative, const std::string& pointsTo) const {
    const std::string path = Path(relative);
    MakeParents(path);
    if (::symlink(pointsTo.c_str(), path.c_str()) != 0)
        Fail("symlink " + path);
}

void CSandbox::HardLink(const std::string& relative, const std::string& existingRelative) const {
    const std::string path = Path(relative);
    MakeParents(path);
    if (::link(Path(existingRelative).c_str(), path.c_str()) != 0)
        Fail("link " + path);
}

std::string CSandbox::ReadLink(const std::string& relative) const {
    std::string target(8192, '\0');
    const ssize_t length = ::readlink(Path(relative).c_str(), &target[0], target.size());
    if (length < 0)
        return "<no link>";
    target.resize(static_cast<std::size_t>(length));
    return target;
}

void CSandbox::MakeFifo(const std::string& relative) const {
    const std::string path = Path(relative);
    MakeParents(path);
    if (::mkfifo(path.c_str(), 0644) != 0)
        Fail("mkfifo " + path);
}

bool CSandbox::MountTmpfs(unsigned long long room) {
    struct stat stub;
    const std::string stubPath = CStubRunner::StubPath();
    if (::stat(stubPath.c_str(), &stub) != 0)
        Fail("stat " + stubPath);
    const std::string path = Path(ParentOf(program));
    const std::string options =
        "size=" + std::to_string(static_cast<unsigned long long>(stub.st_size) + room) + ",mode=0755";
    if (::mount("tmpfs", path.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0)
        return false;
    mounts.push_back(path);
    return true;
}

bool CSandbox::MountReadOnly(const std::string& relative) {
    MakeFolder(relative, 0755);
    const std::string path = Path(relative);
    if (::mount(path.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) != 0)
        return false;
    mounts.push_back(path);
    return ::mount(nullptr, path.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
}

CSandbox::Outcome CSandbox::Run(const std::string& archive, CStubRunner::Options options) {
    runner.MakeProgram(program, archive);
    Write(ParentOf(program) + "/sentinel.txt", "sentinel"); // beside the target folder, on its disk
    const std::string targetPath = TargetPath();
    struct stat st;
    // The folder that holds the target changes when the run makes the target.
    const bool targetMade = ::lstat(targetPath.c_str(), &st) != 0;
    const std::vector<std::string> timeIgnored =
        targetMade ? std::vector<std::string>{ParentOf(target)} : std::vector<std::string>{};

    Outcome outcome;
    const CTreeSnapshot before = CTreeSnapshot::Take(Folder(), {target});
    outcome.targetFilesBefore = FilesBelow(targetPath);
    options.input = "a\n";
    outcome.result = runner.Run({ProgramPath()}, options);
    outcome.outsideChanges = CTreeSnapshot::Take(Folder(), {target}).ChangesSince(before, timeIgnored);
    outcome.targetFilesAfter = FilesBelow(targetPath);
    return outcome;
}

std::map<std::string, std::string> CSandbox::FilesBelow(const std::string& root) {
    std::map<std::string, std::string> files;
    CollectFiles(root, "", files);
    return files;
}
