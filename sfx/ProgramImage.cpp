#include "sfx/ProgramImage.h"

#include "platform/ZipOs.h"

#include <cstdint>

namespace {

// The PE/COFF layout (Microsoft's PE format description): the MS-DOS header points to the PE
// signature; the optional header follows the 20-byte file header and ends in the data directories,
// of which entry 4 (the certificate table) holds a file offset, not an address.
constexpr std::size_t peOffsetField = 0x3C;
constexpr std::size_t peSignatureSize = 4;
constexpr std::size_t fileHeaderSize = 20;
constexpr std::uint16_t pe32Magic = 0x10B;
constexpr std::uint16_t pe32PlusMagic = 0x20B;
constexpr std::size_t pe32DirectoryCount = 92; // in the optional header; the directories follow
constexpr std::size_t pe32PlusDirectoryCount = 108;
constexpr std::uint32_t certificateDirectory = 4;
constexpr std::size_t directorySize = 8; // offset (here a file offset) and size

std::uint32_t ReadLe(const std::string& bytes, std::size_t at, int count) {
    std::uint32_t value = 0;
    for (int i = count - 1; i >= 0; --i)
        value = value << 8 | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
    return value;
}

} // namespace

std::uint64_t CProgramImage::DataEnd(const std::string& head, std::uint64_t fileLength) {
    if (head.size() < peOffsetField + 4 || head.compare(0, 2, "MZ") != 0)
        return fileLength;
    const std::uint64_t pe = ReadLe(head, peOffsetField, 4);
    const std::uint64_t optional = pe + peSignatureSize + fileHeaderSize;
    if (optional + 2 > head.size() || head.compare(static_cast<std::size_t>(pe), peSignatureSize, "PE\0\0", 4) != 0)
        return fileLength;
    const std::uint32_t magic = ReadLe(head, static_cast<std::size_t>(optional), 2);
    const std::uint64_t countAt = optional + (magic == pe32Magic       ? pe32DirectoryCount
                                              : magic == pe32PlusMagic ? pe32PlusDirectoryCount
                                                                       : head.size());
    if (countAt + 4 > head.size() || ReadLe(head, static_cast<std::size_t>(countAt), 4) <= certificateDirectory)
        return fileLength;
    const std::uint64_t entry = countAt + 4 + certificateDirectory * directorySize;
    if (entry + directorySize > head.size())
        return fileLength;
    const std::uint64_t start = ReadLe(head, static_cast<std::size_t>(entry), 4);
    const std::uint64_t size = ReadLe(head, static_cast<std::size_t>(entry + 4), 4);
    // A table inside the headers, or one that is not the file's last part, marks nothing.
    if (size == 0 || start < entry + directorySize || start + size != fileLength)
        return fileLength;
    return start;
}

std::uint64_t CProgramImage::DataEndOf(const std::string& path) {
    const int fd = ZipOs::OpenFile(path, ZipOs::FileRead | ZipOs::FileNativePath);
    if (fd < 0)
        return UINT64_MAX;
    std::string head(headBytes, '\0');
    const std::int64_t read = ZipOs::ReadFile(fd, &head[0], static_cast<std::uint32_t>(head.size()));
    const std::int64_t length = ZipOs::SeekFile(fd, 0, 2);
    ZipOs::CloseFile(fd);
    if (read < 0 || length < 0)
        return UINT64_MAX;
    head.resize(static_cast<std::size_t>(read));
    return DataEnd(head, static_cast<std::uint64_t>(length));
}
