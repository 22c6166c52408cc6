#include "engine/ZipExtraField.h"

#include "engine/ZipRecords.h"

#include <algorithm>

namespace ZipExtraField {

namespace {

// Calls visit(tag, block start, data size) for each whole block until it returns true.
template <typename Visit> void Walk(const unsigned char* field, std::size_t fieldSize, Visit visit) {
    std::size_t position = 0;
    while (fieldSize - position >= blockHeaderSize) {
        const std::uint16_t blockTag = ZipRecords::ReadLe16(field + position);
        const std::uint16_t blockSize = ZipRecords::ReadLe16(field + position + 2);
        if (blockSize > fieldSize - position - blockHeaderSize)
            break;
        if (visit(blockTag, field + position, blockSize))
            return;
        position += blockHeaderSize + blockSize;
    }
}

} // namespace

Block Find(const unsigned char* field, std::size_t fieldSize, std::uint16_t tag) {
    return FindAfter(field, fieldSize, tag, Block{});
}

Block FindAfter(const unsigned char* field, std::size_t fieldSize, std::uint16_t tag, const Block& previous) {
    Block found;
    Walk(field, fieldSize, [&](std::uint16_t blockTag, const unsigned char* block, std::uint16_t size) {
        if (blockTag != tag || (previous.found && block + blockHeaderSize <= previous.data))
            return false;
        found = Block{block + blockHeaderSize, size, true};
        return true;
    });
    return found;
}

std::size_t AppendBlocks(std::vector<char>& out, const unsigned char* field, std::size_t fieldSize,
                         const std::uint16_t* tags, std::size_t tagCount) {
    std::size_t appended = 0;
    Walk(field, fieldSize, [&](std::uint16_t blockTag, const unsigned char* block, std::uint16_t size) {
        if (std::find(tags, tags + tagCount, blockTag) != tags + tagCount) {
            out.insert(out.end(), block, block + blockHeaderSize + size);
            appended += blockHeaderSize + size;
        }
        return false;
    });
    return appended;
}

} // namespace ZipExtraField
