#pragma once

#include <cstddef>
#include <cstdint>

// Traditional PKWARE decryption (APPNOTE 6.1): three keys set from the password and advanced by
// every plain byte. Free functions on a caller's keys, so that every thread decrypting an entry
// holds its own.
namespace ZipCipher {

void InitKeys(std::uint32_t keys[3], const unsigned char* password, std::size_t size);
void UpdateKeys(std::uint32_t keys[3], std::uint8_t plain);
std::uint8_t KeyStreamByte(const std::uint32_t keys[3]);
// Decrypts bytes in place and advances the keys.
void Decrypt(std::uint32_t keys[3], unsigned char* bytes, std::size_t count);
// One CRC-32 table step, as the keys use it.
std::uint32_t CrcStep(std::uint32_t value, std::uint8_t byte);

} // namespace ZipCipher
