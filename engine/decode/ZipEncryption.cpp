#include "engine/decode/ZipEncryption.h"

#include "engine/ZipExtraField.h"
#include "engine/ZipRecords.h"
#include "engine/decode/ZipTraditionalCipher.h"
#ifdef ROZBAL_AES
#include "engine/decode/ZipAesCipher.h"
#endif

namespace {

// The AES block: vendor version (1 = AE-1, 2 = AE-2), vendor id "AE", key strength (1, 2, 3 =
// AES-128, 192, 256), the real method.
constexpr std::uint16_t aesBlockSize = 7;
constexpr int aesVersion = 0;
constexpr int aesVendor = 2;
constexpr int aesStrength = 4;
constexpr int aesMethod = 5;

ZipExtraField::Block FindAes(const CZipBuffer& field) {
    return ZipExtraField::Find(field.GetBytes(), field.GetSize(), ZipEncryption::tagAes);
}

} // namespace

namespace ZipEncryption {

Scheme Choose(const CZipEntryHeader& header, const CZipBuffer* localExtra) {
    Scheme scheme;
    scheme.method = header.method;
    if (!header.IsEncrypted()) {
        scheme.known = header.method != methodAes;
        return scheme;
    }
    // Strong encryption keeps a header of its own that this program does not read.
    if ((header.flags & flagStrongEncryption) != 0) {
        scheme.known = false;
        return scheme;
    }
    if (header.method != methodAes) {
        scheme.cipher = std::make_unique<CZipTraditionalCipher>(header.GetEncryptionCheckByte());
        return scheme;
    }
    scheme.known = false;
    ZipExtraField::Block block = FindAes(header.extraField);
    if (!block.found && localExtra != nullptr)
        block = FindAes(*localExtra);
    if (!block.found || block.size != aesBlockSize || block.data[aesVendor] != 'A' || block.data[aesVendor + 1] != 'E')
        return scheme;
    const unsigned version = ZipRecords::ReadLe16(block.data + aesVersion);
    const unsigned strength = block.data[aesStrength];
    if ((version != 1 && version != 2) || strength < 1 || strength > 3)
        return scheme;
    scheme.method = ZipRecords::ReadLe16(block.data + aesMethod);
#ifdef ROZBAL_AES
    scheme.cipher = std::make_unique<CZipAesCipher>(static_cast<std::uint8_t>(strength), static_cast<std::uint16_t>(version));
    scheme.known = scheme.method != methodAes;
#endif
    return scheme;
}

} // namespace ZipEncryption
