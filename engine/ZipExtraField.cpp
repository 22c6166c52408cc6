#include "engine/ZipExtraField.h"

#include "engine/ZipRecords.h"

namespace ZipExtraField {

Block Find(const unsigned char* field, std::size_t fieldSize, std::uint16_t tag) {
    std::size_t position = 0;
    while (fieldSize - position >= blockHeaderSize) {
        const std::uint16_t blockTag = ZipRecords::ReadLe16(field + position);
        const std::uint16_t blockSize = ZipRecords::ReadLe16(field + position + 2);
        position += blockHeaderSize;
        if (blockSize > fieldSize - position)
            break;
        if (blockTag == tag)
            return Block{field + position, blockSize, true};
        position += blockSize;
    }
    return Block{};
}

} // namespace ZipExtraField
