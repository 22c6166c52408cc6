#ifdef ROZBAL_AES

#include "engine/decode/ZipAesCipher.h"

#include <nettle/aes.h>
#include <nettle/hmac.h>
#include <nettle/memops.h>
#include <nettle/memxor.h>
#include <nettle/pbkdf2.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr unsigned keyIterations = 1000;
constexpr std::size_t maxKeyLength = 32;
// Counter blocks encrypted in one call: the library's AES-NI code loads the round keys once a call
// and works on two blocks at a time, where one block a call waits for each round's result.
constexpr std::size_t batchBlocks = 64;

} // namespace

struct CZipAesCipher::Keys {
    union {
        aes128_ctx aes128;
        aes192_ctx aes192;
        aes256_ctx aes256;
    };
    hmac_sha1_ctx mac;
    std::uint64_t counter = 0; // the last counter block made (the high 8 bytes stay 0)
    std::size_t streamUsed = 0;
    unsigned char stream[batchBlocks * AES_BLOCK_SIZE];
};

CZipAesCipher::CZipAesCipher(std::uint8_t strength, std::uint16_t vendorVersion)
    : keyLength(KeyLength(strength)), vendorVersion(vendorVersion) {}

CZipAesCipher::~CZipAesCipher() = default;

std::uint32_t CZipAesCipher::KeyLength(std::uint8_t strength) {
    switch (strength) {
    case 1:
        return AES128_KEY_SIZE;
    case 2:
        return AES192_KEY_SIZE;
    case 3:
        return AES256_KEY_SIZE;
    default:
        return 0;
    }
}

// The salt is half the key's length.
std::uint32_t CZipAesCipher::HeaderSize() const { return keyLength / 2 + verifierSize; }

// A password that fails leaves the keys of the last one that passed.
bool CZipAesCipher::Start(const unsigned char* header, const std::string& password) {
    if (keyLength == 0)
        return false;
    const std::uint32_t saltSize = keyLength / 2;
    // AES key, HMAC key, verifier.
    unsigned char derived[2 * maxKeyLength + verifierSize];
    pbkdf2_hmac_sha1(password.size(), reinterpret_cast<const std::uint8_t*>(password.data()), keyIterations, saltSize,
                     header, 2 * keyLength + verifierSize, derived);
    if (derived[2 * keyLength] != header[saltSize] || derived[2 * keyLength + 1] != header[saltSize + 1])
        return false;

    if (!keys)
        keys = std::make_unique<Keys>();
    switch (keyLength) {
    case AES128_KEY_SIZE:
        aes128_set_encrypt_key(&keys->aes128, derived);
        break;
    case AES192_KEY_SIZE:
        aes192_set_encrypt_key(&keys->aes192, derived);
        break;
    default:
        aes256_set_encrypt_key(&keys->aes256, derived);
        break;
    }
    hmac_sha1_set_key(&keys->mac, keyLength, derived + keyLength);
    keys->counter = 0;
    keys->streamUsed = sizeof keys->stream;
    started = true;
    return true;
}

void CZipAesCipher::Decrypt(unsigned char* bytes, std::size_t count) {
    if (!started)
        return;
    Keys& k = *keys;
    // The code covers the ciphertext.
    hmac_sha1_update(&k.mac, count, bytes);
    while (count > 0) {
        if (k.streamUsed == sizeof k.stream) {
            for (std::size_t i = 0; i < batchBlocks; ++i) {
                unsigned char* block = k.stream + i * AES_BLOCK_SIZE;
                const std::uint64_t counter = ++k.counter;
                for (unsigned b = 0; b < 8; ++b)
                    block[b] = static_cast<unsigned char>(counter >> (8 * b));
                std::memset(block + 8, 0, AES_BLOCK_SIZE - 8);
            }
            switch (keyLength) {
            case AES128_KEY_SIZE:
                aes128_encrypt(&k.aes128, sizeof k.stream, k.stream, k.stream);
                break;
            case AES192_KEY_SIZE:
                aes192_encrypt(&k.aes192, sizeof k.stream, k.stream, k.stream);
                break;
            default:
                aes256_encrypt(&k.aes256, sizeof k.stream, k.stream, k.stream);
                break;
            }
            k.streamUsed = 0;
        }
        const std::size_t n = std::min(count, sizeof k.stream - k.streamUsed);
        memxor(bytes, k.stream + k.streamUsed, n);
        k.streamUsed += n;
        bytes += n;
        count -= n;
    }
}

bool CZipAesCipher::Finish(const unsigned char* trailer) {
    if (!started)
        return false;
    started = false;
    unsigned char digest[SHA1_DIGEST_SIZE];
    hmac_sha1_digest(&keys->mac, sizeof digest, digest);
    return memeql_sec(digest, trailer, codeSize) != 0;
}

#endif
