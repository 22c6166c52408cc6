#pragma once

#include "engine/decode/ZipCipher.h"

#include <cstddef>
#include <cstdint>
#include <string>

// Traditional PKWARE encryption (APPNOTE 6.1): three keys set from the password and advanced by
// every plain byte; a 12-byte encryption header whose last byte checks the password. The key
// functions are also free of any object, so that the archive object can run its own keys.
class CZipTraditionalCipher : public CZipCipher {
  public:
    static constexpr std::uint32_t headerSize = 12; // the last byte is the check byte

    explicit CZipTraditionalCipher(std::uint8_t checkByte) : checkByte(checkByte) {}

    std::uint32_t HeaderSize() const override { return headerSize; }
    bool Start(const unsigned char* header, const std::string& password) override;
    bool CheckIsWeak() const override { return true; }
    void Decrypt(unsigned char* bytes, std::size_t count) override { Decrypt(keys, bytes, count); }

    static void InitKeys(std::uint32_t keys[3], const unsigned char* password, std::size_t size);
    static void UpdateKeys(std::uint32_t keys[3], std::uint8_t plain);
    static std::uint8_t KeyStreamByte(const std::uint32_t keys[3]);
    // Decrypts bytes in place and advances the keys.
    static void Decrypt(std::uint32_t keys[3], unsigned char* bytes, std::size_t count);
    // One CRC-32 table step, as the keys use it.
    static std::uint32_t CrcStep(std::uint32_t value, std::uint8_t byte);

  private:
    std::uint8_t checkByte;
    std::uint32_t keys[3] = {};
};
