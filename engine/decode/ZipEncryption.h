#pragma once

#include "engine/ZipEntryHeader.h"
#include "engine/decode/ZipCipher.h"

#include <cstdint>
#include <memory>

// How an entry is encrypted, and the method its data were compressed with underneath: the one place
// that knows the encryption schemes.
namespace ZipEncryption {

constexpr std::uint16_t methodAes = 99;         // WinZip AES; the real method is in its extra field
constexpr std::uint16_t tagAes = 0x9901;        // its extra field
constexpr std::uint16_t flagStrongEncryption = 0x0040;

struct Scheme {
    std::unique_ptr<CZipCipher> cipher; // none for an entry that is not encrypted
    std::uint16_t method = 0;           // what the codec stage decodes
    bool known = true;                  // false: an encryption this program cannot decrypt, or damaged
};

// localExtra: the local header's extra field, looked at where the central one has no AES block.
Scheme Choose(const CZipEntryHeader& header, const CZipBuffer* localExtra);

} // namespace ZipEncryption
