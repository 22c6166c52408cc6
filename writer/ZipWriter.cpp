#include "writer/ZipWriter.h"

#include "writer/ZipOutput.h"

#include <ctime>
#include <limits>
#include <stdexcept>

namespace {

// Signatures: "PK" and two bytes naming the record.
constexpr std::uint32_t localHeaderSignature = 0x04034B50;
constexpr std::uint32_t centralHeaderSignature = 0x02014B50;
constexpr std::uint32_t endRecordSignature = 0x06054B50;
constexpr std::uint32_t zip64EndRecordSignature = 0x06064B50;
constexpr std::uint32_t zip64LocatorSignature = 0x07064B50;
constexpr std::uint64_t zip64EndRecordRest = 44; // the record's size field: what follows it

constexpr std::uint16_t madeByUnix = 3 << 8 | 30; // a UNIX host, APPNOTE 3.0
constexpr std::uint16_t versionStored = 10;
constexpr std::uint16_t versionDeflated = 20;
constexpr std::uint16_t versionZip64 = 45;
constexpr std::uint16_t versionAes = 51;
constexpr std::uint16_t flagEncrypted = 0x0001;
constexpr std::uint16_t flagUtf8 = 0x0800;
constexpr std::uint32_t dosDirectory = 0x10;
constexpr std::uint32_t mark32 = 0xFFFFFFFF;
constexpr std::uint16_t mark16 = 0xFFFF;

constexpr std::uint16_t zip64Tag = 0x0001;
constexpr std::uint16_t timeTag = 0x5455; // UT: flags, then the modification time
constexpr std::uint8_t timeModified = 1;
constexpr std::uint16_t aesTag = 0x9901;      // vendor version, "AE", strength, real method
constexpr std::uint16_t aesVendorVersion = 2; // AE-2: no CRC stored
constexpr std::uint8_t aesStrength256 = 3;
constexpr std::uint16_t methodAes = 99;

using Bytes = std::vector<unsigned char>;

void Put16(Bytes& b, std::uint32_t v) {
    b.push_back(static_cast<unsigned char>(v));
    b.push_back(static_cast<unsigned char>(v >> 8));
}
void Put32(Bytes& b, std::uint32_t v) {
    Put16(b, v & 0xFFFF);
    Put16(b, v >> 16);
}
void Put64(Bytes& b, std::uint64_t v) {
    Put32(b, static_cast<std::uint32_t>(v));
    Put32(b, static_cast<std::uint32_t>(v >> 32));
}
std::uint32_t Clip32(std::uint64_t v) { return v >= mark32 ? mark32 : static_cast<std::uint32_t>(v); }

// DOS date and time, here of UTC so that the bytes do not depend on the packing machine's zone
// (readers that know the UT field take that instead). Date: bits 0-4 day, 5-8 month, 9-15 years
// since 1980; time: bits 0-4 seconds / 2, 5-10 minutes, 11-15 hours. Before 1980: 1980-01-01.
void PutDosTime(Bytes& b, std::int64_t seconds) {
    std::tm t{};
    const std::time_t value = static_cast<std::time_t>(seconds);
    if (seconds < 315532800 || !gmtime_r(&value, &t) || t.tm_year > 2107 - 1900) {
        Put16(b, 0);
        Put16(b, 1 << 5 | 1);
        return;
    }
    Put16(b, static_cast<std::uint32_t>(t.tm_hour << 11 | t.tm_min << 5 | t.tm_sec / 2));
    Put16(b, static_cast<std::uint32_t>((t.tm_year - 80) << 9 | (t.tm_mon + 1) << 5 | t.tm_mday));
}

bool NeedsUtf8Flag(const std::string& name) {
    bool ascii = true;
    for (std::size_t i = 0; i < name.size();) {
        const auto c = static_cast<unsigned char>(name[i]);
        std::size_t length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (length == 0 || i + length > name.size())
            return false;
        for (std::size_t k = 1; k < length; ++k)
            if ((static_cast<unsigned char>(name[i + k]) & 0xC0) != 0x80)
                return false;
        ascii = ascii && length == 1;
        i += length;
    }
    return !ascii;
}

void PutTimeField(Bytes& b, std::int64_t mtime) {
    const std::int64_t clamped =
        std::max<std::int64_t>(std::numeric_limits<std::int32_t>::min(),
                               std::min<std::int64_t>(mtime, std::numeric_limits<std::int32_t>::max()));
    Put16(b, timeTag);
    Put16(b, 5);
    b.push_back(timeModified);
    Put32(b, static_cast<std::uint32_t>(static_cast<std::int32_t>(clamped)));
}

void PutAesField(Bytes& b, std::uint16_t method) {
    Put16(b, aesTag);
    Put16(b, 7);
    Put16(b, aesVendorVersion);
    b.push_back('A');
    b.push_back('E');
    b.push_back(aesStrength256);
    Put16(b, method);
}

std::uint16_t Flags(const ZipWriterEntry& e) {
    return static_cast<std::uint16_t>((NeedsUtf8Flag(e.name) ? flagUtf8 : 0) | (e.encrypted ? flagEncrypted : 0));
}

std::uint16_t VersionNeeded(const ZipWriterEntry& e, std::uint16_t method, bool zip64) {
    if (e.encrypted)
        return versionAes;
    if (zip64)
        return versionZip64;
    return method == CZipWriter::methodDeflated ? versionDeflated : versionStored;
}

void Check16(std::size_t value, const std::string& name) {
    if (value > 0xFFFF)
        throw std::runtime_error(name + ": the name is too long for a ZIP archive");
}

// The fields both headers have, from the version needed to the CRC.
void PutSharedFields(Bytes& b, const ZipWriterEntry& e, std::uint16_t method, std::uint32_t crc, bool zip64) {
    Put16(b, VersionNeeded(e, method, zip64));
    Put16(b, Flags(e));
    Put16(b, e.encrypted ? methodAes : method);
    PutDosTime(b, e.mtime);
    Put32(b, e.encrypted ? 0 : crc);
}

} // namespace

std::vector<unsigned char> CZipWriter::LocalHeader(const Written& w, bool zip64) const {
    const ZipWriterEntry& e = w.entry;
    Bytes h;
    Put32(h, localHeaderSignature);
    PutSharedFields(h, e, w.method, w.crc, zip64);
    Put32(h, zip64 ? mark32 : static_cast<std::uint32_t>(w.compressedSize));
    Put32(h, zip64 ? mark32 : static_cast<std::uint32_t>(e.size));
    Bytes extra;
    if (zip64) {
        Put16(extra, zip64Tag);
        Put16(extra, 16);
        Put64(extra, e.size);
        Put64(extra, w.compressedSize);
    }
    PutTimeField(extra, e.mtime);
    if (e.encrypted)
        PutAesField(extra, w.method);
    Check16(e.name.size(), e.name);
    Put16(h, static_cast<std::uint32_t>(e.name.size()));
    Put16(h, static_cast<std::uint32_t>(extra.size()));
    h.insert(h.end(), e.name.begin(), e.name.end());
    h.insert(h.end(), extra.begin(), extra.end());
    return h;
}

void CZipWriter::WriteLocalHeader(const Written& w, bool zip64) {
    const Bytes h = LocalHeader(w, zip64);
    out.Write(h.data(), h.size());
}

void CZipWriter::AddEntry(const ZipWriterEntry& entry, std::uint16_t method, std::uint32_t crc,
                          const unsigned char* data, std::size_t size) {
    Written w{entry, method, crc, size, out.Offset()};
    WriteLocalHeader(w, entry.size >= mark32 || size >= mark32);
    out.Write(data, size);
    open = std::move(w);
    EndEntry(method, crc);
}

void CZipWriter::BeginEntry(const ZipWriterEntry& entry) {
    open = Written{entry, methodStored, 0, 0, out.Offset()};
    // Data never outgrow the file by more than the encryption's bytes: where deflate does not pay
    // the entry is written again, stored.
    openZip64 = entry.size + (entry.encrypted ? aesOverhead : 0) >= mark32;
    WriteLocalHeader(open, openZip64);
    openDataStart = out.Offset();
    streaming = true;
}

void CZipWriter::AppendData(const unsigned char* data, std::size_t size) { out.Write(data, size); }

void CZipWriter::RestartData() { out.Truncate(openDataStart); }

void CZipWriter::EndEntry(std::uint16_t method, std::uint32_t crc) {
    Written& w = open;
    if (streaming) {
        // The sizes and the method go into the header written at the entry's start.
        w.compressedSize = out.Offset() - openDataStart;
        w.method = method;
        w.crc = crc;
        const Bytes h = LocalHeader(w, openZip64);
        out.WriteAt(w.offset, h.data(), h.size());
        streaming = false;
    }

    const ZipWriterEntry& e = w.entry;
    const bool bigSizes = e.size >= mark32 || w.compressedSize >= mark32;
    const bool zip64 = bigSizes || w.offset >= mark32;
    Bytes extra;
    if (zip64) {
        Bytes fields;
        if (e.size >= mark32)
            Put64(fields, e.size);
        if (w.compressedSize >= mark32)
            Put64(fields, w.compressedSize);
        if (w.offset >= mark32)
            Put64(fields, w.offset);
        Put16(extra, zip64Tag);
        Put16(extra, static_cast<std::uint32_t>(fields.size()));
        extra.insert(extra.end(), fields.begin(), fields.end());
    }
    PutTimeField(extra, e.mtime);
    if (e.encrypted)
        PutAesField(extra, w.method);

    Bytes& c = central;
    Put32(c, centralHeaderSignature);
    Put16(c, madeByUnix);
    PutSharedFields(c, e, w.method, w.crc, zip64);
    Put32(c, Clip32(w.compressedSize));
    Put32(c, Clip32(e.size));
    Put16(c, static_cast<std::uint32_t>(e.name.size()));
    Put16(c, static_cast<std::uint32_t>(extra.size()));
    Put16(c, 0); // comment
    Put16(c, 0); // disk
    Put16(c, 0); // internal attributes
    const bool folder = !e.name.empty() && e.name.back() == '/';
    Put32(c, (e.mode & 0xFFFF) << 16 | (folder ? dosDirectory : 0));
    Put32(c, Clip32(w.offset));
    c.insert(c.end(), e.name.begin(), e.name.end());
    c.insert(c.end(), extra.begin(), extra.end());
    ++entries;
}

void CZipWriter::Finish() {
    const std::uint64_t cdOffset = out.Offset();
    const std::uint64_t cdSize = central.size();
    out.Write(central.data(), central.size());
    central.clear();
    central.shrink_to_fit();
    Bytes end;
    if (entries >= mark16 || cdOffset >= mark32 || cdSize >= mark32) {
        const std::uint64_t recordOffset = out.Offset();
        Put32(end, zip64EndRecordSignature);
        Put64(end, zip64EndRecordRest);
        Put16(end, madeByUnix);
        Put16(end, versionZip64);
        Put32(end, 0); // this disk
        Put32(end, 0); // the central directory's disk
        Put64(end, entries);
        Put64(end, entries);
        Put64(end, cdSize);
        Put64(end, cdOffset);
        Put32(end, zip64LocatorSignature);
        Put32(end, 0);
        Put64(end, recordOffset);
        Put32(end, 1); // disks
    }
    Put32(end, endRecordSignature);
    Put16(end, 0);
    Put16(end, 0);
    Put16(end, entries >= mark16 ? mark16 : static_cast<std::uint32_t>(entries));
    Put16(end, entries >= mark16 ? mark16 : static_cast<std::uint32_t>(entries));
    Put32(end, Clip32(cdSize));
    Put32(end, Clip32(cdOffset));
    Put16(end, 0); // comment
    out.Write(end.data(), end.size());
    out.Flush();
}
