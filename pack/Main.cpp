// rozbal-pack: files and folders into a self-extracting archive (or a plain ZIP archive).
#include "pack/PackOptions.h"
#include "pack/PackOutputFile.h"
#include "pack/PackPipeline.h"
#include "pack/PackProgress.h"
#include "pack/PackTarget.h"
#include "pack/PasswordInput.h"
#include "pack/SourceTree.h"
#include "writer/ZipOutput.h"
#include "writer/ZipWriter.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>
#include <unistd.h>

namespace {

constexpr unsigned maxWorkers = 8;

std::vector<unsigned char> ReadStub(const PackOptions& o) {
    if (o.zipOnly)
        return {};
    if (!o.stubFile.empty()) {
        std::ifstream in(o.stubFile, std::ios::binary);
        if (!in)
            throw std::runtime_error(o.stubFile + ": " + std::strerror(errno));
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    const std::string target = o.target.empty() ? NativeTarget() : o.target;
    const EmbeddedStub stub = FindEmbeddedStub(target);
    if (stub.size == 0)
        throw std::runtime_error("this rozbal-pack carries no stub for " + target +
                                 (target == "windows"       ? " (run `make windows`, then `make`)"
                                  : target == "linux-arm64" ? " (run `make` with gcc-aarch64-linux-gnu installed)"
                                                            : "") +
                                 "; --stub FILE takes one");
    return {stub.bytes, stub.bytes + stub.size};
}

// SOURCE_DATE_EPOCH, as reproducible builds define it: a decimal count of seconds.
SourceRules Rules(const PackOptions& o) {
    SourceRules rules;
    rules.keepOutsideLinks = o.keepOutsideLinks;
    if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH"); epoch && *epoch) {
        char* end = nullptr;
        errno = 0;
        const long long value = std::strtoll(epoch, &end, 10);
        if (*end != '\0' || errno != 0 || value < 0)
            throw std::runtime_error(std::string("SOURCE_DATE_EPOCH is not a number of seconds: ") + epoch);
        rules.clampTimes = true;
        rules.clampTo = value;
    }
    return rules;
}

int Pack(const PackOptions& o) {
    PackSettings settings;
    settings.level = o.level;
    settings.workers = std::max(1u, std::min(maxWorkers, std::thread::hardware_concurrency()));
    if (o.askPassword || !o.passwordFile.empty()) {
        settings.encrypt = true;
        settings.password = o.askPassword ? AskPassword() : ReadPasswordFile(o.passwordFile);
    }
    const std::vector<unsigned char> stub = ReadStub(o);
    const std::vector<PackItem> items = ScanSources(o.sources, Rules(o));
    std::uint64_t bytes = 0, files = 0;
    for (const PackItem& item : items) {
        bytes += item.kind == PackItem::File ? item.size : 0;
        ++files;
    }

    CPackOutputFile file(o.output);
    CZipOutput out(file.Descriptor(), o.output);
    out.Write(stub.data(), stub.size());
    CZipWriter writer(out);
    CPackProgress progress(!o.quiet && isatty(STDERR_FILENO), bytes, files);
    try {
        PackItems(items, settings, writer, progress);
        writer.Finish();
    } catch (...) {
        progress.Done();
        throw;
    }
    progress.Done();
    file.Commit(o.zipOnly ? 0666 : 0777);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    PackOptions options;
    try {
        options = ParsePackOptions(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "rozbal-pack: %s\n%s", e.what(), packUsage);
        return 2;
    }
    if (options.help) {
        std::fputs(packUsage, stdout);
        return 0;
    }
    try {
        return Pack(options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "rozbal-pack: %s\n", e.what());
        return 1;
    }
}
