#pragma once

#include "engine/decode/ZipCipher.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// WinZip AES decryption (method 99, extra field 0x9901). The entry's data are a salt (8, 12 or 16
// bytes by key strength), a 2-byte password verifier, the ciphertext and a 10-byte authentication
// code. PBKDF2-HMAC-SHA1 (1000 iterations) turns password and salt into the AES key, the HMAC-SHA1
// key and the verifier; the ciphertext is AES in counter mode (a 16-byte little-endian counter from
// 1, no nonce) and the code the first 10 bytes of the HMAC-SHA1 of the ciphertext.
// Built only with ROZBAL_AES.
class CZipAesCipher : public CZipCipher {
  public:
    static constexpr std::uint32_t verifierSize = 2;
    static constexpr std::uint32_t codeSize = 10;

    // strength: 1, 2, 3 for AES-128, -192, -256 (the extra field's byte); another value takes no
    // password. vendorVersion: 1 for AE-1, 2 for AE-2 (which stores no CRC). Cheap: keys are made
    // by Start.
    CZipAesCipher(std::uint8_t strength, std::uint16_t vendorVersion);
    ~CZipAesCipher() override;

    // The key length in bytes for a strength byte; 0 for one no tool writes.
    static std::uint32_t KeyLength(std::uint8_t strength);

    std::uint32_t HeaderSize() const override;
    std::uint32_t TrailerSize() const override { return codeSize; }
    bool Start(const unsigned char* header, const std::string& password) override;
    void Decrypt(unsigned char* bytes, std::size_t count) override;
    bool Finish(const unsigned char* trailer) override;
    bool ChecksCrc() const override { return vendorVersion != 2; }

  private:
    struct Keys; // the library's contexts and the keystream batch

    std::uint32_t keyLength;
    std::uint16_t vendorVersion;
    std::unique_ptr<Keys> keys;
    bool started = false;
};
