#include "writer/ZipAesEncryptor.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <sys/random.h>

#include <mbedtls/aes.h>
#include <mbedtls/md.h>
#include <mbedtls/pkcs5.h>

namespace {
constexpr std::size_t keySize = 32;
constexpr std::size_t saltSize = 16;
constexpr std::size_t verifierSize = 2;
constexpr unsigned iterations = 1000;
constexpr std::size_t blockSize = 16;
constexpr std::size_t digestSize = 20;
} // namespace

struct CZipAesEncryptor::Keys {
    mbedtls_aes_context aes;
    mbedtls_md_context_t derive; // PBKDF2's HMAC
    mbedtls_md_context_t mac;
    std::uint64_t counter = 0;
    unsigned char stream[blockSize];
    std::size_t streamUsed = blockSize;

    Keys() {
        mbedtls_aes_init(&aes);
        mbedtls_md_init(&derive);
        mbedtls_md_init(&mac);
        const mbedtls_md_info_t* sha1 = mbedtls_md_info_from_type(MBEDTLS_MD_SHA1);
        if (mbedtls_md_setup(&derive, sha1, 1) != 0 || mbedtls_md_setup(&mac, sha1, 1) != 0)
            throw std::runtime_error("the crypto library cannot set up HMAC-SHA1");
    }
    Keys(const Keys&) = delete;
    Keys& operator=(const Keys&) = delete;
    ~Keys() {
        mbedtls_aes_free(&aes);
        mbedtls_md_free(&derive);
        mbedtls_md_free(&mac);
    }
};

CZipAesEncryptor::CZipAesEncryptor(std::string password)
    : password(std::move(password)), keys(std::make_unique<Keys>()) {}

CZipAesEncryptor::~CZipAesEncryptor() = default;

void CZipAesEncryptor::Start(unsigned char* header) {
    // The salt must never repeat under one password: the counter starts at 1 for every entry.
    for (std::size_t got = 0; got < saltSize;) {
        const ssize_t n = getrandom(header + got, saltSize - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw std::runtime_error(std::string("no random salt: ") + std::strerror(errno));
        got += static_cast<std::size_t>(n);
    }
    unsigned char derived[2 * keySize + verifierSize];
    if (mbedtls_pkcs5_pbkdf2_hmac(&keys->derive, reinterpret_cast<const unsigned char*>(password.data()),
                                  password.size(), header, saltSize, iterations, sizeof derived, derived) != 0 ||
        mbedtls_aes_setkey_enc(&keys->aes, derived, keySize * 8) != 0 ||
        mbedtls_md_hmac_starts(&keys->mac, derived + keySize, keySize) != 0)
        throw std::runtime_error("the crypto library cannot derive the keys");
    std::memcpy(header + saltSize, derived + 2 * keySize, verifierSize);
    keys->counter = 0;
    keys->streamUsed = blockSize;
}

void CZipAesEncryptor::Encrypt(unsigned char* bytes, std::size_t count) {
    Keys& k = *keys;
    unsigned char* const start = bytes;
    const std::size_t total = count;
    for (; count > 0; ++bytes, --count) {
        if (k.streamUsed == blockSize) {
            unsigned char block[blockSize] = {};
            const std::uint64_t counter = ++k.counter;
            for (unsigned b = 0; b < 8; ++b)
                block[b] = static_cast<unsigned char>(counter >> (8 * b));
            mbedtls_aes_crypt_ecb(&k.aes, MBEDTLS_AES_ENCRYPT, block, k.stream);
            k.streamUsed = 0;
        }
        *bytes = static_cast<unsigned char>(*bytes ^ k.stream[k.streamUsed++]);
    }
    // The code covers the ciphertext.
    mbedtls_md_hmac_update(&k.mac, start, total);
}

void CZipAesEncryptor::Finish(unsigned char* code) {
    unsigned char digest[digestSize];
    mbedtls_md_hmac_finish(&keys->mac, digest);
    std::memcpy(code, digest, codeSize);
}
