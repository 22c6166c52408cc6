#include "engine/ZipCrc.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <vector>

// Every length around the folding steps (64-byte lanes, 16-byte tail, bytes
// left to the table) at every alignment, and running values carried across
// calls, must give zlib's CRC.
TEST(ZipCrc, MatchesZlibAtEveryLengthAndAlignment) {
    std::vector<unsigned char> bytes(4096 + 64);
    std::uint32_t seed = 1;
    for (unsigned char& b : bytes) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<unsigned char>(seed >> 16);
    }
    for (std::size_t offset = 0; offset < 16; ++offset)
        for (std::size_t size = 0; size <= 300; ++size)
            for (const std::uint32_t start : {0u, 0xFFFFFFFFu, 0x1234ABCDu}) {
                const unsigned char* p = bytes.data() + offset;
                ASSERT_EQ(ZipCrc::Update(start, p, size), crc32_z(start, p, size))
                    << "offset " << offset << " size " << size << " start " << start;
            }
    const std::uint32_t whole = ZipCrc::Update(0, bytes.data(), bytes.size());
    EXPECT_EQ(whole, crc32_z(0, bytes.data(), bytes.size()));
    for (const std::size_t split : {1u, 63u, 64u, 100u, 4000u}) {
        const std::uint32_t first = ZipCrc::Update(0, bytes.data(), split);
        EXPECT_EQ(ZipCrc::Update(first, bytes.data() + split, bytes.size() - split), whole) << split;
    }
}

TEST(ZipCrc, KnownValues) {
    const unsigned char digits[] = "123456789";
    EXPECT_EQ(ZipCrc::Update(0, digits, 9), 0xCBF43926u);
    std::vector<unsigned char> zeros(1 << 16);
    EXPECT_EQ(ZipCrc::Update(0, zeros.data(), zeros.size()), crc32_z(0, zeros.data(), zeros.size()));
}
