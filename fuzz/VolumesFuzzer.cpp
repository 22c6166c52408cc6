// Reads the input as a set of volume files on disk and extracts it as the front end
// does (see FuzzExtraction.h): the disk file's read-ahead and seeks, the volume
// changes and the numbered names, which the in-memory targets never reach.
//
// Input: a first byte 0..3 gives the number of volumes after the first; then one
// 16-bit little-endian length per volume before the last, and the bytes of all the
// volumes one after another. Any other first byte: the whole input is one archive,
// so that plain archives are seeds as they are.

#include "fuzz/FuzzExtraction.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr std::size_t maxVolumes = 4;

void WriteFile(const std::string& path, const std::uint8_t* bytes, std::size_t size) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    fuzzextract::Check(file != nullptr && std::fwrite(bytes, 1, size, file) == size);
    fuzzextract::Check(std::fclose(file) == 0);
}

// The names the engine derives from the last volume's: setup.zip, setup.z01, setup.z02, ...
std::string VolumePath(const std::string& folder, std::size_t index, std::size_t count) {
    if (index + 1 == count)
        return folder + "/setup.zip";
    char extension[8];
    std::snprintf(extension, sizeof extension, ".z%02zu", index + 1);
    return folder + "/setup" + extension;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CFuzzSandbox& sandbox = fuzzextract::Sandbox();
    sandbox.Reset();
    const std::string folder = sandbox.Volumes();
    for (std::size_t i = 0; i < maxVolumes; ++i)
        std::remove(VolumePath(folder, i, maxVolumes + 1).c_str());

    std::size_t count = 1;
    if (size > 0 && data[0] < maxVolumes) {
        count = data[0] + 1u;
        ++data;
        --size;
    }
    std::vector<std::size_t> lengths(count, 0);
    for (std::size_t i = 0; i + 1 < count; ++i) {
        if (size < 2)
            return 0;
        lengths[i] = data[0] | static_cast<std::size_t>(data[1]) << 8;
        data += 2;
        size -= 2;
    }
    std::string lastPath;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t length = i + 1 == count ? size : std::min(lengths[i], size);
        lastPath = VolumePath(folder, i, count);
        WriteFile(lastPath, data, length);
        data += length;
        size -= length;
    }

    CZipArchive archive;
    try {
        archive.Open(lastPath.c_str(), CZipArchive::ModeReadOnly);
    } catch (const CZipException&) {
        return 0;
    }
    fuzzextract::Run(archive, count + lengths[0]);
    return 0;
}
