// Runs the front end on the input archive twice, with every entry on one thread and with three
// worker threads, and aborts unless both runs print the same bytes, end with the same status and
// leave the same tree (names, kinds, modes, sizes, contents, link targets); anything outside
// the target changing aborts as well. Half the inputs (by size) answer the password prompt.

#include "fuzz/FuzzSandbox.h"
#include "sfx/ExtractionRun.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

CFuzzSandbox& Sandbox() {
    static CFuzzSandbox sandbox;
    return sandbox;
}

bool givePassword = false;

int Agree() { return 'A'; }

bool TypePassword(std::string& text) {
    text = "password"; // the seeds' encrypted entries use it
    return givePassword;
}

std::string ReadAll(const std::string& path) {
    std::string bytes;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW);
    if (fd < 0)
        return "<unreadable>";
    char buffer[65536];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
        bytes.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    return bytes;
}

// One line per thing below folder, in name order (readdir order is not fixed).
void Describe(const std::string& folder, const std::string& prefix, std::string& out) {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr)
        return;
    std::vector<std::string> names;
    while (const dirent* item = ::readdir(dir))
        if (std::string(item->d_name) != "." && std::string(item->d_name) != "..")
            names.push_back(item->d_name);
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const std::string path = folder + "/" + name;
        struct stat st {};
        CFuzzSandbox::Require(::lstat(path.c_str(), &st) == 0);
        // Not the times: a folder made on the way, or an entry without a valid time, takes the moment.
        out += prefix + name + " " + std::to_string(st.st_mode) + " " + std::to_string(st.st_nlink);
        if (S_ISLNK(st.st_mode)) {
            char target[4096];
            const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
            out += " -> " + std::string(target, n > 0 ? static_cast<std::size_t>(n) : 0) + "\n";
        } else if (S_ISDIR(st.st_mode)) {
            out += "/\n";
            Describe(path, prefix + name + "/", out);
        } else {
            out += " " + std::to_string(st.st_size) + "\n" + ReadAll(path) + "\n";
        }
    }
}

struct Outcome {
    int status = 0;
    std::string console;
    std::string tree;
};

Outcome Extract(unsigned threads) {
    CFuzzSandbox& sandbox = Sandbox();
    sandbox.Reset();
    Outcome outcome;
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = ::open_memstream(&text, &size);
    CFuzzSandbox::Require(out != nullptr);
    CExtractionRun run(CExtractionRun::Console{out, &Agree, &TypePassword, false});
    run.SetWorkerThreads(threads);
    outcome.status = run.Run(sandbox.Program());
    std::fclose(out);
    outcome.console.assign(text, size);
    std::free(text);
    Describe(sandbox.Target(), "", outcome.tree);
    sandbox.CheckOutside();
    return outcome;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CFuzzSandbox& sandbox = Sandbox();
    std::FILE* program = std::fopen(sandbox.Program().c_str(), "wb");
    CFuzzSandbox::Require(program != nullptr && std::fwrite(data, 1, size, program) == size &&
                          std::fclose(program) == 0);
    givePassword = size % 2 == 0;
    const Outcome one = Extract(1);
    const Outcome several = Extract(3);
    CFuzzSandbox::Require(one.status == several.status);
    CFuzzSandbox::Require(one.console == several.console);
    CFuzzSandbox::Require(one.tree == several.tree);
    return 0;
}
