// Traditional PKWARE decryption of the open entry, with the archive's own keys.
#include "engine/ZipArchive.h"

#include "engine/ZipCipher.h"
#include "engine/ZipRecords.h"

using ZipRecords::encryptionHeaderSize;

std::uint32_t CZipArchive::CrcStep(std::uint32_t value, std::uint8_t byte) { return ZipCipher::CrcStep(value, byte); }

void CZipArchive::UpdateKeys(std::uint8_t plain) { ZipCipher::UpdateKeys(keys, plain); }

std::uint8_t CZipArchive::KeyStreamByte() const { return ZipCipher::KeyStreamByte(keys); }

void CZipArchive::DecryptByte(std::uint8_t& byte) {
    byte = static_cast<std::uint8_t>(byte ^ KeyStreamByte());
    UpdateKeys(byte);
}

void CZipArchive::InitKeys() { ZipCipher::InitKeys(keys, password.GetBytes(), password.GetSize()); }

bool CZipArchive::CheckEncryptionHeader() {
    std::uint8_t header[encryptionHeaderSize];
    storage.Read(header, encryptionHeaderSize, false);
    ZipCipher::Decrypt(keys, header, encryptionHeaderSize);
    return header[encryptionHeaderSize - 1] == centralDir.currentHeader->GetEncryptionCheckByte();
}

void CZipArchive::DecryptBuffer(std::uint32_t count) {
    if (centralDir.currentHeader->IsEncrypted())
        ZipCipher::Decrypt(keys, entryStream.buffer.GetBytes(), count);
}
