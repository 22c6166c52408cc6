#pragma once

#include <cstddef>
#include <cstdint>

// CRC-32 of entry data (the zlib/ZIP polynomial), the same values as zlib's
// crc32(). Runs of 64 bytes and more are folded with carry-less multiplies where
// the processor has them: the check then costs a small part of what the table
// method does, which matters on stored and fast-inflating entries.
namespace ZipCrc {

std::uint32_t Update(std::uint32_t crc, const unsigned char* bytes, std::size_t size);

} // namespace ZipCrc
