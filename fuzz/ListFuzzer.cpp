// Opens the input as an archive in memory and walks its central directory: every
// header, its name, attributes and time. The same bytes are read twice, once
// whole and once in short pieces; both readings must agree.

#include "engine/ZipArchive.h"
#include "engine/ZipException.h"
#include "fuzz/FuzzMemoryStream.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

constexpr std::uint32_t maxPiece = 13;
constexpr int maxEntries = 65535; // the entry index is 16 bits

void Check(bool condition) {
    if (!condition)
        std::abort();
}

// What one reading saw: the failure code, or every entry's details in order.
std::string Walk(const std::uint8_t* data, std::size_t size, std::uint32_t piece) {
    CFuzzMemoryStream stream(data, size, piece);
    CZipArchive archive;
    try {
        archive.Open(stream, CZipArchive::ModeReadOnly);
    } catch (const CZipException& e) {
        Check(archive.IsClosed());
        return "error " + std::to_string(e.code);
    }
    const int count = archive.GetCount();
    Check(count >= 0 && count <= maxEntries);
    std::string seen = std::to_string(count);
    int files = 0;
    for (int i = 0; i < count; ++i) {
        CZipEntryHeader header;
        Check(archive.GetEntryInfo(header, static_cast<std::uint16_t>(i)));
        const std::string name = header.GetFileName();
        Check(name.find('/') == std::string::npos); // converted to the local form
        const int permissions = header.GetUnixPermissions();
        Check(permissions >= -1 && permissions <= 0777);
        const bool directory = header.IsDirectory();
        files += directory ? 0 : 1;
        seen += '\n' + name + ' ' + std::to_string(header.GetLocalAttributes()) + ' ' +
                std::to_string(header.GetTime()) + ' ' + std::to_string(permissions) + ' ' + std::to_string(directory) +
                std::to_string(header.IsEncrypted()) + std::to_string(header.HasDataDescriptor());
    }
    Check(archive.GetCount(true) == files);
    CZipEntryHeader beyond;
    Check(count == maxEntries || !archive.GetEntryInfo(beyond, static_cast<std::uint16_t>(count)));
    archive.Close();
    Check(archive.IsClosed());
    return seen;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string whole = Walk(data, size, 0);
    const std::string pieces = Walk(data, size, 1 + static_cast<std::uint32_t>(size % maxPiece));
    Check(whole == pieces);
    return 0;
}
