#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// A header's extra field is a run of blocks, each a 2-byte tag, a 2-byte size and that many bytes
// (APPNOTE 4.5.1). Blocks are looked up by tag; a block whose size runs past the end of the field
// is damaged, and neither it nor anything after it is ever handed out.
namespace ZipExtraField {

constexpr std::uint16_t tagZip64 = 0x0001;          // ZIP64 extended information
constexpr std::uint16_t tagNtfs = 0x000A;           // NTFS times
constexpr std::uint16_t tagExtendedTime = 0x5455;   // "UT": UNIX times, UTC seconds
constexpr std::uint16_t tagInfoZipUnixOld = 0x5855; // "UX": access and modification time
constexpr std::uint16_t tagUnicodePath = 0x7075;    // "up": the name in UTF-8 beside a code-page one

constexpr std::size_t blockHeaderSize = 4; // tag, size

struct Block {
    const unsigned char* data = nullptr; // the block's bytes after its tag and size
    std::uint16_t size = 0;
    bool found = false;
};

// The first block with this tag.
Block Find(const unsigned char* field, std::size_t fieldSize, std::uint16_t tag);
// The next block with this tag after `previous` (one Find or FindAfter gave for the same field).
Block FindAfter(const unsigned char* field, std::size_t fieldSize, std::uint16_t tag, const Block& previous);

// Appends the whole blocks (tag and size included) whose tag is one of `tags` to `out`, in their
// order; returns the bytes appended. A damaged block and what follows it are left out.
std::size_t AppendBlocks(std::vector<char>& out, const unsigned char* field, std::size_t fieldSize,
                         const std::uint16_t* tags, std::size_t tagCount);

} // namespace ZipExtraField
