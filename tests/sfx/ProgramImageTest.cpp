#include "sfx/ProgramImage.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

void PutLe32(std::string& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes[at + static_cast<std::size_t>(i)] = static_cast<char>(value >> (8 * i) & 0xFF);
}

// The start of a PE image as a linker writes it: the MS-DOS header, the PE signature at 0x80, the
// file header, an optional header of the given magic with 16 data directories, the certificate
// table's entry (the fifth) as given.
std::string Head(std::uint16_t magic, std::uint32_t tableStart, std::uint32_t tableSize, std::uint32_t directories = 16) {
    std::string head(1024, '\0');
    head[0] = 'M';
    head[1] = 'Z';
    PutLe32(head, 0x3C, 0x80);
    head.replace(0x80, 4, std::string("PE\0\0", 4));
    const std::size_t optional = 0x80 + 4 + 20;
    head[optional] = static_cast<char>(magic & 0xFF);
    head[optional + 1] = static_cast<char>(magic >> 8);
    const std::size_t count = optional + (magic == 0x20B ? 108 : 92);
    PutLe32(head, count, directories);
    PutLe32(head, count + 4 + 4 * 8, tableStart);
    PutLe32(head, count + 4 + 4 * 8 + 4, tableSize);
    return head;
}

TEST(ProgramImage, DataEndBeforeTheCertificateTable) {
    const std::uint64_t length = 600000;
    const struct {
        const char* label;
        std::string head;
        std::uint64_t end;
    } rows[] = {
        {"signed PE32", Head(0x10B, 590000, 10000), 590000},
        {"signed PE32+", Head(0x20B, 599992, 8), 599992},
        {"unsigned", Head(0x10B, 0, 0), length},
        {"more appended after the signature", Head(0x10B, 590000, 9000), length},
        {"table past the end", Head(0x10B, 590000, 20000), length},
        {"table inside the headers", Head(0x10B, 16, length - 16), length},
        {"too few directories for a table", Head(0x10B, 590000, 10000, 4), length},
        {"unknown optional header", Head(0x107, 590000, 10000), length},
        {"no PE signature", Head(0x10B, 590000, 10000).replace(0x80, 2, "NE"), length},
        {"PE offset past the head", Head(0x10B, 590000, 10000).replace(0x3C, 2, "\xFF\x7F"), length},
        {"head cut inside the directories", Head(0x10B, 590000, 10000).substr(0, 0x80 + 24 + 96 + 8 * 4), length},
        {"an ELF program", std::string("\x7F" "ELF") + std::string(60, '\0'), length},
        {"empty file", "", length},
    };
    for (const auto& row : rows)
        EXPECT_EQ(CProgramImage::DataEnd(row.head, length), row.end) << row.label;
}

} // namespace
