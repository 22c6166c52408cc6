#ifdef ROZBAL_AES

#include "engine/decode/ZipAesCipher.h"

#include <algorithm>
#include <cstring>

#ifdef ROZBAL_AES_CNG
// The Windows default: the system's CNG (bcrypt.dll), which uses the processor's AES and SHA
// instructions and costs the program nothing; nettle's 32-bit x86 code has neither (about 160 MB/s
// for AES-256 and HMAC-SHA1 together).
#include <windows.h>

#include <bcrypt.h>
#elif defined(ROZBAL_AES_MBEDTLS)
// The Linux default, being Apache-2.0: its AES-NI code takes one block a call; its SHA-1 is OpenSSL's
// (deps/sha1-from-openssl.c), with the processor's SHA instructions (bench/README.md has the figures).
#include <mbedtls/aes.h>
#include <mbedtls/md.h>
#include <mbedtls/pkcs5.h>
#else
#include <nettle/aes.h>
#include <nettle/hmac.h>
#include <nettle/memops.h>
#include <nettle/memxor.h>
#include <nettle/pbkdf2.h>
#endif

namespace {

constexpr unsigned keyIterations = 1000;
constexpr std::size_t maxKeyLength = 32;
constexpr std::size_t blockSize = 16;
constexpr std::size_t digestSize = 20; // SHA-1
// Counter blocks encrypted in one call: AES-NI code loads the round keys once a call and works on
// two or more blocks at a time, where one block a call waits for each round's result (mbedtls's
// takes one block a call whatever it is given: there the batch only keeps the loop tight).
constexpr std::size_t batchBlocks = 64;

#if defined(ROZBAL_AES_CNG) || defined(ROZBAL_AES_MBEDTLS)
// Eight bytes a step where the library has no such function of its own.
void Xor(unsigned char* bytes, const unsigned char* with, std::size_t count) {
    for (; count >= 8; count -= 8, bytes += 8, with += 8) {
        std::uint64_t a;
        std::uint64_t b;
        std::memcpy(&a, bytes, 8);
        std::memcpy(&b, with, 8);
        a ^= b;
        std::memcpy(bytes, &a, 8);
    }
    for (std::size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<unsigned char>(bytes[i] ^ with[i]);
}

// Every byte compared, whichever differs: the time says nothing of where a forged code goes wrong.
bool SameCode(const unsigned char* digest, const unsigned char* trailer) {
    unsigned difference = 0;
    for (std::size_t i = 0; i < CZipAesCipher::codeSize; ++i)
        difference |= static_cast<unsigned>(digest[i] ^ trailer[i]);
    return difference == 0;
}
#else
void Xor(unsigned char* bytes, const unsigned char* with, std::size_t count) { memxor(bytes, with, count); }
#endif

} // namespace

// The library's state for one entry, behind the same few operations whichever library it is.
struct CZipAesCipher::Keys {
    std::uint64_t counter = 0; // the last counter block made (the high 8 bytes stay 0)
    std::size_t streamUsed = 0;
    unsigned char stream[batchBlocks * blockSize];

#ifdef ROZBAL_AES_CNG
    BCRYPT_ALG_HANDLE aes = nullptr;
    BCRYPT_ALG_HANDLE hmac = nullptr;
    BCRYPT_KEY_HANDLE key = nullptr;
    BCRYPT_HASH_HANDLE mac = nullptr;

    Keys() = default;
    Keys(const Keys&) = delete;
    Keys& operator=(const Keys&) = delete;
    ~Keys() {
        DropEntryKeys();
        if (aes)
            BCryptCloseAlgorithmProvider(aes, 0);
        if (hmac)
            BCryptCloseAlgorithmProvider(hmac, 0);
    }
    void DropEntryKeys() {
        if (mac)
            BCryptDestroyHash(mac);
        if (key)
            BCryptDestroyKey(key);
        mac = nullptr;
        key = nullptr;
    }
    // The providers, once per cipher: counter mode is ours, over the system's ECB.
    bool Open() {
        if (!aes) {
            wchar_t ecb[] = BCRYPT_CHAIN_MODE_ECB;
            if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&aes, BCRYPT_AES_ALGORITHM, nullptr, 0))) {
                aes = nullptr;
                return false;
            }
            if (!BCRYPT_SUCCESS(
                    BCryptSetProperty(aes, BCRYPT_CHAINING_MODE, reinterpret_cast<PUCHAR>(ecb), sizeof ecb, 0)))
                return false;
        }
        if (!hmac && !BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&hmac, BCRYPT_SHA1_ALGORITHM, nullptr,
                                                                 BCRYPT_ALG_HANDLE_HMAC_FLAG))) {
            hmac = nullptr;
            return false;
        }
        return true;
    }
    bool Derive(const std::string& password, const unsigned char* salt, std::uint32_t saltSize, unsigned char* out,
                std::uint32_t outSize) {
        if (!Open())
            return false;
        std::string bytes = password;
        return BCRYPT_SUCCESS(BCryptDeriveKeyPBKDF2(hmac, reinterpret_cast<PUCHAR>(bytes.data()),
                                                    static_cast<ULONG>(bytes.size()), const_cast<PUCHAR>(salt),
                                                    saltSize, keyIterations, out, outSize, 0));
    }
    bool SetKeys(unsigned char* aesKey, unsigned char* macKey, std::uint32_t keyLength) {
        DropEntryKeys();
        if (!BCRYPT_SUCCESS(BCryptGenerateSymmetricKey(aes, &key, nullptr, 0, aesKey, keyLength, 0)) ||
            !BCRYPT_SUCCESS(BCryptCreateHash(hmac, &mac, nullptr, 0, macKey, keyLength, 0))) {
            DropEntryKeys();
            return false;
        }
        return true;
    }
    void Mac(unsigned char* bytes, std::size_t count) {
        // ULONG pieces: a caller's buffer may be larger on a 64-bit build.
        while (count > 0) {
            const ULONG n = static_cast<ULONG>(std::min<std::size_t>(count, 1u << 30));
            BCryptHashData(mac, bytes, n, 0);
            bytes += n;
            count -= n;
        }
    }
    void EncryptStream(std::uint32_t) {
        ULONG done = 0;
        BCryptEncrypt(key, stream, sizeof stream, nullptr, nullptr, 0, stream, sizeof stream, &done, 0);
    }
    bool Authentic(const unsigned char* trailer) {
        unsigned char digest[digestSize];
        const bool finished = BCRYPT_SUCCESS(BCryptFinishHash(mac, digest, sizeof digest, 0));
        DropEntryKeys();
        return finished && SameCode(digest, trailer);
    }
#elif defined(ROZBAL_AES_MBEDTLS)
    mbedtls_aes_context aes;
    // Two digest contexts: deriving a password that then fails must leave the code's state as it was.
    mbedtls_md_context_t derive;
    mbedtls_md_context_t mac;
    bool open = false;

    Keys() {
        mbedtls_aes_init(&aes);
        mbedtls_md_init(&derive);
        mbedtls_md_init(&mac);
    }
    Keys(const Keys&) = delete;
    Keys& operator=(const Keys&) = delete;
    ~Keys() {
        mbedtls_aes_free(&aes);
        mbedtls_md_free(&derive);
        mbedtls_md_free(&mac);
    }
    // The HMAC contexts, once per cipher (the library allocates them).
    bool Open() {
        if (!open) {
            const mbedtls_md_info_t* sha1 = mbedtls_md_info_from_type(MBEDTLS_MD_SHA1);
            open = mbedtls_md_setup(&derive, sha1, 1) == 0 && mbedtls_md_setup(&mac, sha1, 1) == 0;
        }
        return open;
    }
    bool Derive(const std::string& password, const unsigned char* salt, std::uint32_t saltSize, unsigned char* out,
                std::uint32_t outSize) {
        return Open() && mbedtls_pkcs5_pbkdf2_hmac(&derive, reinterpret_cast<const unsigned char*>(password.data()),
                                                   password.size(), salt, saltSize, keyIterations, outSize, out) == 0;
    }
    // The first key setting notes whether the processor has AES-NI in the library's static, unguarded;
    // the first Start of all is the password check's, before any worker holds a cipher.
    bool SetKeys(const unsigned char* aesKey, const unsigned char* macKey, std::uint32_t keyLength) {
        return mbedtls_aes_setkey_enc(&aes, aesKey, keyLength * 8) == 0 &&
               mbedtls_md_hmac_starts(&mac, macKey, keyLength) == 0;
    }
    void Mac(const unsigned char* bytes, std::size_t count) { mbedtls_md_hmac_update(&mac, bytes, count); }
    void EncryptStream(std::uint32_t) {
        for (std::size_t i = 0; i < batchBlocks; ++i)
            mbedtls_aes_crypt_ecb(&aes, MBEDTLS_AES_ENCRYPT, stream + i * blockSize, stream + i * blockSize);
    }
    bool Authentic(const unsigned char* trailer) {
        unsigned char digest[digestSize];
        return mbedtls_md_hmac_finish(&mac, digest) == 0 && SameCode(digest, trailer);
    }
#else
    union {
        aes128_ctx aes128;
        aes192_ctx aes192;
        aes256_ctx aes256;
    };
    hmac_sha1_ctx mac;

    bool Derive(const std::string& password, const unsigned char* salt, std::uint32_t saltSize, unsigned char* out,
                std::uint32_t outSize) {
        pbkdf2_hmac_sha1(password.size(), reinterpret_cast<const std::uint8_t*>(password.data()), keyIterations,
                         saltSize, salt, outSize, out);
        return true;
    }
    bool SetKeys(const unsigned char* aesKey, const unsigned char* macKey, std::uint32_t keyLength) {
        switch (keyLength) {
        case AES128_KEY_SIZE:
            aes128_set_encrypt_key(&aes128, aesKey);
            break;
        case AES192_KEY_SIZE:
            aes192_set_encrypt_key(&aes192, aesKey);
            break;
        default:
            aes256_set_encrypt_key(&aes256, aesKey);
            break;
        }
        hmac_sha1_set_key(&mac, keyLength, macKey);
        return true;
    }
    void Mac(const unsigned char* bytes, std::size_t count) { hmac_sha1_update(&mac, count, bytes); }
    void EncryptStream(std::uint32_t keyLength) {
        switch (keyLength) {
        case AES128_KEY_SIZE:
            aes128_encrypt(&aes128, sizeof stream, stream, stream);
            break;
        case AES192_KEY_SIZE:
            aes192_encrypt(&aes192, sizeof stream, stream, stream);
            break;
        default:
            aes256_encrypt(&aes256, sizeof stream, stream, stream);
            break;
        }
    }
    bool Authentic(const unsigned char* trailer) {
        unsigned char digest[SHA1_DIGEST_SIZE];
        hmac_sha1_digest(&mac, sizeof digest, digest);
        return memeql_sec(digest, trailer, codeSize) != 0;
    }
#endif
};

CZipAesCipher::CZipAesCipher(std::uint8_t strength, std::uint16_t vendorVersion)
    : keyLength(KeyLength(strength)), vendorVersion(vendorVersion) {}

CZipAesCipher::~CZipAesCipher() = default;

std::uint32_t CZipAesCipher::KeyLength(std::uint8_t strength) {
    switch (strength) {
    case 1:
        return 16;
    case 2:
        return 24;
    case 3:
        return 32;
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
    if (!keys)
        keys = std::make_unique<Keys>();
    // AES key, HMAC key, verifier.
    unsigned char derived[2 * maxKeyLength + verifierSize];
    if (!keys->Derive(password, header, saltSize, derived, 2 * keyLength + verifierSize))
        return false;
    if (derived[2 * keyLength] != header[saltSize] || derived[2 * keyLength + 1] != header[saltSize + 1])
        return false;
    started = keys->SetKeys(derived, derived + keyLength, keyLength);
    keys->counter = 0;
    keys->streamUsed = sizeof keys->stream;
    return started;
}

void CZipAesCipher::Decrypt(unsigned char* bytes, std::size_t count) {
    if (!started)
        return;
    Keys& k = *keys;
    // The code covers the ciphertext.
    k.Mac(bytes, count);
    while (count > 0) {
        if (k.streamUsed == sizeof k.stream) {
            for (std::size_t i = 0; i < batchBlocks; ++i) {
                unsigned char* block = k.stream + i * blockSize;
                const std::uint64_t counter = ++k.counter;
                for (unsigned b = 0; b < 8; ++b)
                    block[b] = static_cast<unsigned char>(counter >> (8 * b));
                std::memset(block + 8, 0, blockSize - 8);
            }
            k.EncryptStream(keyLength);
            k.streamUsed = 0;
        }
        const std::size_t n = std::min(count, sizeof k.stream - k.streamUsed);
        Xor(bytes, k.stream + k.streamUsed, n);
        k.streamUsed += n;
        bytes += n;
        count -= n;
    }
}

bool CZipAesCipher::Finish(const unsigned char* trailer) {
    if (!started)
        return false;
    started = false;
    return keys->Authentic(trailer);
}

#endif
