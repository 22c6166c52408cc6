#include "engine/ZipEntryHeader.h"

#include "engine/ZipArchiveStorage.h"
#include "engine/ZipCrc.h"
#include "engine/ZipException.h"
#include "engine/ZipExtraField.h"
#include "engine/ZipRecords.h"
#include "platform/ZipOs.h"

#include <algorithm>
#include <cstring>
#include <ctime>

using namespace ZipRecords;

static_assert(sizeof(std::time_t) >= 8, "DOS dates reach 2107: time_t must be 64-bit");

namespace {

// Reads a variable part of a record straight into its buffer (empty for length 0).
void ReadPart(CZipArchiveStorage& storage, CZipBuffer& part, std::uint16_t length) {
    part.Allocate(length);
    if (length != 0)
        storage.Read(part.GetBuffer(), length, true);
}

// Takes the next value of a ZIP64 block into `value` when the classic field holds
// the mark; false when the block ends first.
template <typename T>
bool TakeZip64Value(const ZipExtraField::Block& block, std::size_t& position, T& value, std::uint32_t mark) {
    if (value != mark)
        return true;
    constexpr std::size_t width = sizeof(T) == 8 ? 8 : 4;
    if (block.size - position < width)
        return false;
    value = static_cast<T>(width == 8 ? ReadLe64(block.data + position) : ReadLe32(block.data + position));
    position += width;
    return true;
}

} // namespace

bool CZipEntryHeader::ReadCentralHeader(CZipArchiveStorage& storage) {
    unsigned char record[centralHeaderSize];
    storage.Read(record, centralHeaderSize, true);
    std::memcpy(signature, record, signatureSize);
    versionMadeBy = ReadLe16(record + CentralHeader::versionMadeBy);
    versionNeeded = ReadLe16(record + CentralHeader::versionNeeded);
    flags = ReadLe16(record + CentralHeader::flags);
    method = ReadLe16(record + CentralHeader::method);
    modTime = ReadLe16(record + CentralHeader::modTime);
    modDate = ReadLe16(record + CentralHeader::modDate);
    crc32 = ReadLe32(record + CentralHeader::crc32);
    compressedSize = ReadLe32(record + CentralHeader::compressedSize);
    uncompressedSize = ReadLe32(record + CentralHeader::uncompressedSize);
    const std::uint16_t nameLength = ReadLe16(record + CentralHeader::nameLength);
    storedNameLength = nameLength;
    const std::uint16_t extraLength = ReadLe16(record + CentralHeader::extraLength);
    const std::uint16_t commentLength = ReadLe16(record + CentralHeader::commentLength);
    diskStart = ReadLe16(record + CentralHeader::diskStart);
    internalAttr = ReadLe16(record + CentralHeader::internalAttr);
    externalAttr = ReadLe32(record + CentralHeader::externalAttr);
    localHeaderOffset = ReadLe32(record + CentralHeader::localHeaderOffset);
    if (!HasSignature(signature, centralHeaderSignature))
        return false;

    const int volume = storage.GetCurrentVolume();
    ReadPart(storage, fileName, nameLength);
    ReadPart(storage, extraField, extraLength);
    ReadPart(storage, comment, commentLength);
    return storage.GetCurrentVolume() == volume && ApplyZip64Extra();
}

bool CZipEntryHeader::ApplyZip64Extra() {
    const bool deferred = uncompressedSize == zip64Mark32 || compressedSize == zip64Mark32 ||
                          localHeaderOffset == zip64Mark32 || diskStart == zip64Mark16;
    if (!deferred)
        return true;
    const auto block = ZipExtraField::Find(extraField.GetBytes(), extraField.GetSize(), ZipExtraField::tagZip64);
    // Without the block the marks are the values themselves, as a classic writer meant them.
    if (!block.found)
        return true;
    std::size_t position = 0;
    // The 4-byte disk number is read into a 32-bit value with the 16-bit mark.
    return TakeZip64Value(block, position, uncompressedSize, zip64Mark32) &&
           TakeZip64Value(block, position, compressedSize, zip64Mark32) &&
           TakeZip64Value(block, position, localHeaderOffset, zip64Mark32) &&
           TakeZip64Value(block, position, diskStart, zip64Mark16);
}

bool CZipEntryHeader::HasZip64Block(const CZipBuffer& field) {
    return ZipExtraField::Find(field.GetBytes(), field.GetSize(), ZipExtraField::tagZip64).found;
}

bool CZipEntryHeader::ReadLocalHeader(CZipArchiveStorage& storage, LocalValues& local) {
    unsigned char record[localHeaderSize];
    storage.Read(record, localHeaderSize, true);
    if (!HasSignature(record, localHeaderSignature))
        return false;
    const std::uint16_t localFlags = ReadLe16(record + LocalHeader::flags);
    const bool localDescriptor = (localFlags & flagDataDescriptor) != 0;
    // The local flags decide before anything is compared: a writer that set bit 3
    // only locally still wrote a data descriptor.
    if ((localFlags & flagsComparedMask) != (flags & flagsComparedMask))
        flags = localFlags;
    // A method this program cannot decode is told apart from damage when the entry is opened.
    if (ReadLe16(record + LocalHeader::method) != method)
        return false;
    const std::uint16_t nameLength = ReadLe16(record + LocalHeader::nameLength);
    if (nameLength != storedNameLength)
        return false;
    local.descriptor = localDescriptor;
    local.crc32 = ReadLe32(record + LocalHeader::crc32);
    local.compressedSize = ReadLe32(record + LocalHeader::crc32 + 4);
    local.uncompressedSize = ReadLe32(record + LocalHeader::crc32 + 8);
    local.extraLength = ReadLe16(record + LocalHeader::extraLength);
    storage.GetFile()->Seek(nameLength, CZipStream::FromCurrent);
    return true;
}

bool CZipEntryHeader::CheckLocalValues(const LocalValues& local, const CZipBuffer& localExtra) const {
    if (local.descriptor)
        return true;
    std::uint64_t compressed = local.compressedSize;
    std::uint64_t uncompressed = local.uncompressedSize;
    if (compressed == zip64Mark32 || uncompressed == zip64Mark32) {
        const auto block = ZipExtraField::Find(localExtra.GetBytes(), localExtra.GetSize(), ZipExtraField::tagZip64);
        if (block.found) {
            // Both sizes stand in a local block when either is marked; some writers give only the marked one.
            std::size_t position = 0;
            if (block.size >= 16)
                uncompressed = compressed = zip64Mark32;
            if (!TakeZip64Value(block, position, uncompressed, zip64Mark32) ||
                !TakeZip64Value(block, position, compressed, zip64Mark32))
                return false;
        }
    }
    return local.crc32 == crc32 && compressed == compressedSize && uncompressed == uncompressedSize;
}

bool CZipEntryHeader::CheckDescriptor(const unsigned char* bytes, bool zip64) const {
    return DescriptorMatches(bytes, zip64, crc32, compressedSize, uncompressedSize);
}

bool CZipEntryHeader::IsEncrypted() const { return (flags & flagEncrypted) != 0; }

bool CZipEntryHeader::HasDataDescriptor() const { return (flags & flagDataDescriptor) != 0; }

std::uint8_t CZipEntryHeader::GetEncryptionCheckByte() const {
    return HasDataDescriptor() ? static_cast<std::uint8_t>(modTime >> 8) : static_cast<std::uint8_t>(crc32 >> 24);
}

std::int64_t CZipEntryHeader::GetTime() const {
    std::tm parts{};
    parts.tm_sec = (modTime & 0x1F) * 2;
    parts.tm_min = (modTime >> 5) & 0x3F;
    parts.tm_hour = modTime >> 11;
    parts.tm_mday = modDate & 0x1F;
    parts.tm_mon = ((modDate >> 5) & 0x0F) - 1;
    parts.tm_year = (modDate >> 9) + dosYearBase - 1900;
    parts.tm_isdst = -1;
    // time_t is 64-bit, so every DOS date up to 2107 converts; -1 is only a failure.
    const std::time_t result = std::mktime(&parts);
    return result == static_cast<std::time_t>(-1) ? -1 : static_cast<std::int64_t>(result);
}

namespace {

using Time = CZipEntryHeader::Time;

constexpr unsigned char extendedTimeHasModTime = 0x01; // flags byte: bit 0, the first time follows
constexpr std::size_t extendedTimeSize = 5;            // flags, modification time
constexpr std::size_t unixOldSize = 8;                 // access time, then modification time
constexpr std::size_t unixOldModTimeOffset = 4;
constexpr std::size_t ntfsReservedSize = 4;    // then attributes: tag, size, data
constexpr std::uint16_t ntfsTimesTag = 0x0001; // modification, access, creation time
constexpr std::size_t ntfsTimesSize = 24;
constexpr std::uint64_t ntfsTicksPerSecond = 10000000; // 100 ns steps
constexpr std::uint32_t nanosecondsPerTick = 100;
constexpr std::int64_t ntfsEpochToUnix = 11644473600; // seconds from 1601 to 1970
constexpr std::size_t attributeHeaderSize = 4;

// Info-ZIP writes UNIX times as signed 32-bit seconds: times before 1970 stay negative.
std::int64_t SignedSeconds(const unsigned char* p) {
    return static_cast<std::int64_t>(static_cast<std::int32_t>(ReadLe32(p)));
}

bool ExtendedTime(const ZipExtraField::Block& block, Time& time) {
    if (!block.found || block.size < extendedTimeSize || !(block.data[0] & extendedTimeHasModTime))
        return false;
    time = Time{SignedSeconds(block.data + 1), 0};
    return true;
}

bool UnixOldTime(const ZipExtraField::Block& block, Time& time) {
    if (!block.found || block.size < unixOldSize)
        return false;
    time = Time{SignedSeconds(block.data + unixOldModTimeOffset), 0};
    return true;
}

// The times attribute among the block's attributes; a zero time means none was recorded.
bool NtfsTime(const ZipExtraField::Block& block, Time& time) {
    if (!block.found)
        return false;
    std::size_t position = ntfsReservedSize;
    while (block.size >= position && block.size - position >= attributeHeaderSize) {
        const std::uint16_t tag = ReadLe16(block.data + position);
        const std::uint16_t size = ReadLe16(block.data + position + 2);
        position += attributeHeaderSize;
        if (size > block.size - position)
            return false;
        if (tag == ntfsTimesTag && size >= ntfsTimesSize) {
            const std::uint64_t ticks = ReadLe64(block.data + position);
            if (ticks == 0)
                return false;
            time.seconds = static_cast<std::int64_t>(ticks / ntfsTicksPerSecond) - ntfsEpochToUnix;
            time.nanoseconds = static_cast<std::uint32_t>(ticks % ntfsTicksPerSecond) * nanosecondsPerTick;
            return true;
        }
        position += size;
    }
    return false;
}

// Info-ZIP unzip on UNIX takes the UT block, else the old UX one, and reads no NTFS block at all;
// the NTFS block comes last here, where unzip would fall back to the DOS time. A damaged or too
// short block is passed over like a missing one.
bool TimeFromExtraField(const CZipBuffer& field, Time& time) {
    if (field.IsEmpty())
        return false;
    const unsigned char* bytes = field.GetBytes();
    const std::size_t size = field.GetSize();
    return ExtendedTime(ZipExtraField::Find(bytes, size, ZipExtraField::tagExtendedTime), time) ||
           UnixOldTime(ZipExtraField::Find(bytes, size, ZipExtraField::tagInfoZipUnixOld), time) ||
           NtfsTime(ZipExtraField::Find(bytes, size, ZipExtraField::tagNtfs), time);
}

} // namespace

// The local header's blocks first, as unzip reads only those (APPNOTE 4.5 lets the central copy
// leave times out; Info-ZIP's central UT holds the modification time alone); the central blocks
// when the local header has none, as for folders, whose local header is never read.
CZipEntryHeader::Time CZipEntryHeader::GetModTime(const CZipBuffer* localExtra) const {
    Time time;
    if ((localExtra != nullptr && TimeFromExtraField(*localExtra, time)) || TimeFromExtraField(extraField, time))
        return time;
    return Time{GetTime(), 0};
}

bool CZipEntryHeader::IsSymbolicLink() const {
    constexpr std::uint32_t typeMask = 0170000;
    constexpr std::uint32_t typeSymbolicLink = 0120000;
    return GetSystem() == systemUnix && ((externalAttr >> 16) & typeMask) == typeSymbolicLink;
}

bool CZipEntryHeader::NameEndsWithSeparator() const {
    if (fileName.IsEmpty())
        return false;
    const char last = fileName.GetBuffer()[fileName.GetSize() - 1];
    return last == '/' || last == '\\';
}

std::uint32_t CZipEntryHeader::GetLocalAttributes() const {
    const int system = GetSystem();
    switch (system) {
    case systemDos:
    case systemUnix:
    case systemOs2Hpfs:
    case systemMacintosh:
    case systemNtfs:
        if (externalAttr == 0 && NameEndsWithSeparator())
            return DefaultDirAttr;
        return ConvertAttributes(externalAttr, system, PlatformSystem);
    default:
        return NameEndsWithSeparator() ? DefaultDirAttr : DefaultFileAttr;
    }
}

// A name ending in a separator names a folder whatever the attributes say: Python's zipfile gives
// ZipInfo("empty/") mode 0600 alone, and every other extractor makes a folder of it.
bool CZipEntryHeader::IsDirectory() const {
    return NameEndsWithSeparator() || (GetLocalAttributes() & attrDirectory) != 0;
}

int CZipEntryHeader::GetUnixPermissions() const {
    if (GetSystem() != systemUnix || (externalAttr >> 16) == 0)
        return -1;
    return static_cast<int>((externalAttr >> 16) & 0777);
}

namespace {

constexpr unsigned char unicodePathVersion = 1;
constexpr std::size_t unicodePathHeaderSize = 5; // version, CRC-32 of the header's name; then the name

// UTF-8 as RFC 3629 has it (no overlong form, no surrogate, nothing past U+10FFFF), and no zero
// byte, which a name cannot hold.
bool IsUtf8Name(const unsigned char* bytes, std::size_t size) {
    for (std::size_t i = 0; i < size;) {
        const unsigned char lead = bytes[i];
        if (lead == 0)
            return false;
        const std::size_t length = lead < 0x80   ? 1
                                   : lead < 0xC2 ? 0
                                   : lead < 0xE0 ? 2
                                   : lead < 0xF0 ? 3
                                   : lead < 0xF5 ? 4
                                                 : 0;
        if (length == 0 || size - i < length)
            return false;
        std::uint32_t codePoint = length == 1 ? lead : lead & (0x7Fu >> length);
        for (std::size_t k = 1; k < length; ++k) {
            if ((bytes[i + k] & 0xC0) != 0x80)
                return false;
            codePoint = (codePoint << 6) | (bytes[i + k] & 0x3Fu);
        }
        static const std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (codePoint < smallest[length] || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
}

// The hosts whose names are in an OEM code page: MS-DOS and Windows on FAT, VFAT and NTFS, OS/2.
bool IsOemHost(int system) {
    return system == systemDos || system == systemOs2Hpfs || system == systemNtfs || system == systemVfat;
}

} // namespace

// Info-ZIP's Unicode Path block gives the name in UTF-8 beside one in a code page. It counts only
// while its CRC is that of the header's name as stored: a tool that renamed the entry without
// knowing the block left a stale one behind. Of several blocks the first that holds counts.
bool CZipEntryHeader::TakeUnicodePath() {
    const unsigned char* field = extraField.GetBytes();
    const std::size_t fieldSize = extraField.GetSize();
    ZipExtraField::Block block = ZipExtraField::Find(field, fieldSize, ZipExtraField::tagUnicodePath);
    if (!block.found)
        return false;
    const std::uint32_t nameCrc = ZipCrc::Update(0, fileName.GetBytes(), fileName.GetSize());
    for (; block.found; block = ZipExtraField::FindAfter(field, fieldSize, ZipExtraField::tagUnicodePath, block)) {
        if (block.size <= unicodePathHeaderSize || block.data[0] != unicodePathVersion ||
            ReadLe32(block.data + 1) != nameCrc)
            continue;
        const unsigned char* name = block.data + unicodePathHeaderSize;
        const std::size_t nameSize = block.size - unicodePathHeaderSize;
        if (!IsUtf8Name(name, nameSize))
            continue;
        fileName.Allocate(static_cast<std::uint32_t>(nameSize));
        std::memcpy(fileName.GetBuffer(), name, nameSize);
        return true;
    }
    return false;
}

void CZipEntryHeader::ConvertFileName(bool oemConversion) {
    const bool unicodePath = TakeUnicodePath();
    std::replace(fileName.GetBuffer(), fileName.GetBuffer() + fileName.GetSize(), '/', '\\');
    // A name flagged as UTF-8 is already in the system's encoding, whoever made it.
    if (unicodePath || !IsOemHost(GetSystem()) || !oemConversion || (flags & flagUtf8Name) != 0)
        return;
    const char* begin = fileName.GetBuffer();
    const char* end = begin + fileName.GetSize();
    if (std::none_of(begin, end, [](char c) { return static_cast<unsigned char>(c) >= 0x80; }))
        return; // plain ASCII reads the same in both code pages
    std::string name = GetFileName();
    ZipOs::OemToAnsi(name);
    fileName.Allocate(static_cast<std::uint32_t>(name.size()));
    std::memcpy(fileName.GetBuffer(), name.data(), name.size());
}

namespace {

enum class Converter { None, Identity, Unix, Macintosh };

Converter ConverterOf(int system) {
    switch (system) {
    case systemDos:
    case systemOs2Hpfs:
    case systemNtfs:
        return Converter::Identity;
    case systemUnix:
        return Converter::Unix;
    case systemMacintosh:
        return Converter::Macintosh;
    default:
        return Converter::None;
    }
}

// The UNIX mode stands in the upper 16 bits of the word.
std::uint32_t UnixToDos(std::uint32_t attr) {
    constexpr std::uint32_t directoryType = 0x40000000; // S_IFDIR << 16
    constexpr std::uint32_t ownerExecute = 0x00400000;  // 0100 << 16
    constexpr std::uint32_t ownerWrite = 0x00800000;    // 0200 << 16
    constexpr std::uint32_t ownerRead = 0x01000000;     // 0400 << 16
    std::uint32_t dos = 0;
    if (attr & directoryType)
        dos |= attrDirectory;
    if (!(attr & ownerExecute))
        dos |= attrArchive;
    if (!(attr & ownerWrite))
        dos |= attrReadOnly;
    if (!(attr & ownerRead))
        dos |= attrHidden;
    return dos;
}

std::uint32_t IntoDos(Converter converter, std::uint32_t attr) {
    switch (converter) {
    case Converter::Unix:
        return UnixToDos(attr);
    case Converter::Macintosh:
        return attr & (attrDirectory | attrReadOnly);
    default:
        return attr;
    }
}

// Only DOS-form targets are met when reading: the target is always this platform.
std::uint32_t OutOfDos(Converter converter, std::uint32_t attr) {
    return converter == Converter::Macintosh ? attr & (attrDirectory | attrReadOnly) : attr;
}

} // namespace

std::uint32_t CZipEntryHeader::ConvertAttributes(std::uint32_t attr, int fromSystem, int toSystem) {
    if (fromSystem == toSystem || fromSystem >= systemCodeCount || toSystem >= systemCodeCount)
        return attr;
    const Converter from = ConverterOf(fromSystem);
    const Converter to = ConverterOf(toSystem);
    // Into the UNIX form is the writing side's concern, which this engine has not.
    if (from == Converter::None || to == Converter::None || to == Converter::Unix)
        CZipException::Throw(CZipException::UnsupportedPlatform);
    return OutOfDos(to, IntoDos(from, attr));
}
