// Extracts every entry of the input archive as the front end does, into a fresh
// target folder with watched surroundings (see FuzzSandbox.h), then reads every
// file entry through OpenEntry/ReadEntry into memory. Aborts when anything
// outside the target changes, when an entry yields more bytes than its header
// declares, when a failed entry changed its output path, or when the target
// holds anything but files and folders.

#include "fuzz/FuzzExtraction.h"
#include "fuzz/FuzzMemoryStream.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzextract::Sandbox().Reset();
    CFuzzMemoryStream stream(data, size);
    CZipArchive archive;
    try {
        archive.Open(stream, CZipArchive::ModeReadOnly);
    } catch (const CZipException&) {
        return 0;
    }
    fuzzextract::Run(archive, size);
    return 0;
}
