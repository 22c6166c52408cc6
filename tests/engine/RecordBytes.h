#pragma once

// Raw ZIP records written field by field, independent of the test writer, so
// that reader and writer cannot share one misreading of the layout.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>
#include <zlib.h>

namespace records {

inline std::string Le16(unsigned v) { return {char(v & 0xFF), char((v >> 8) & 0xFF)}; }
inline std::string Le32(std::uint32_t v) { return Le16(v & 0xFFFF) + Le16(v >> 16); }

struct Fields {
    std::uint16_t versionMadeBy = 20; // host 0
    std::uint16_t flags = 0;
    std::uint16_t method = 0;
    std::uint16_t modTime = 0;
    std::uint16_t modDate = 0x21; // 1980-01-01
    std::uint32_t crc = 0;
    std::uint32_t compressedSize = 0;
    std::uint32_t uncompressedSize = 0;
    std::string name = "a.txt";
    std::string extra;
    std::string comment;
    std::uint16_t diskStart = 0;
    std::uint32_t externalAttr = 0;
    std::uint32_t localHeaderOffset = 0;
};

inline std::string Local(const Fields& f) {
    return std::string("PK\3\4") + Le16(20) + Le16(f.flags) + Le16(f.method) + Le16(f.modTime) + Le16(f.modDate) +
           Le32(f.crc) + Le32(f.compressedSize) + Le32(f.uncompressedSize) + Le16(unsigned(f.name.size())) +
           Le16(unsigned(f.extra.size())) + f.name + f.extra;
}

inline std::string Central(const Fields& f) {
    return std::string("PK\1\2") + Le16(f.versionMadeBy) + Le16(20) + Le16(f.flags) + Le16(f.method) + Le16(f.modTime) +
           Le16(f.modDate) + Le32(f.crc) + Le32(f.compressedSize) + Le32(f.uncompressedSize) +
           Le16(unsigned(f.name.size())) + Le16(unsigned(f.extra.size())) + Le16(unsigned(f.comment.size())) +
           Le16(f.diskStart) + Le16(0) + Le32(f.externalAttr) + Le32(f.localHeaderOffset) + f.name + f.extra +
           f.comment;
}

inline std::string End(unsigned entries, std::uint32_t cdSize, std::uint32_t cdOffset, const std::string& comment = "",
                       unsigned thisDisk = 0, unsigned cdDisk = 0) {
    return std::string("PK\5\6") + Le16(thisDisk) + Le16(cdDisk) + Le16(entries) + Le16(entries) + Le32(cdSize) +
           Le32(cdOffset) + Le16(unsigned(comment.size())) + comment;
}

// A stored entry with its data; fills sizes and CRC from the data unless given.
struct Stored {
    Fields fields;
    std::string data;
};

// Lays out local headers and data in the given order, then the central
// directory in `cdOrder` (indices into entries; empty = same order), then the
// end record. `stub` goes in front; offsets are archive-relative unless
// fileRelative.
inline std::string Archive(std::vector<Stored> entries, const std::string& stub = "", std::vector<int> cdOrder = {},
                           bool fileRelative = false, const std::string& comment = "") {
    std::string out = stub;
    const std::uint32_t base = fileRelative ? std::uint32_t(stub.size()) : 0;
    for (Stored& e : entries) {
        Fields& f = e.fields;
        if (f.compressedSize == 0 && f.uncompressedSize == 0) {
            f.compressedSize = f.uncompressedSize = std::uint32_t(e.data.size());
            f.crc = std::uint32_t(crc32(0, reinterpret_cast<const Bytef*>(e.data.data()), uInt(e.data.size())));
        }
        f.localHeaderOffset = std::uint32_t(out.size() - stub.size()) + base;
        out += Local(f) + e.data;
    }
    if (cdOrder.empty())
        for (int i = 0; i < int(entries.size()); ++i)
            cdOrder.push_back(i);
    const std::uint32_t cdOffset = std::uint32_t(out.size() - stub.size()) + base;
    std::string cd;
    for (int i : cdOrder)
        cd += Central(entries[std::size_t(i)].fields);
    return out + cd + End(unsigned(cdOrder.size()), std::uint32_t(cd.size()), cdOffset, comment);
}

} // namespace records
