#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// WinZip AES-256 encryption of one entry at a time: a fresh random salt each entry, the password
// verifier, AES in counter mode (a 16-byte little-endian counter from 1) and the first 10 bytes of
// the HMAC-SHA1 of the ciphertext. Keys from PBKDF2-HMAC-SHA1, 1000 iterations. The crypto is the
// library the stub links; only the counter mode around its block cipher is ours.
class CZipAesEncryptor {
  public:
    static constexpr std::size_t headerSize = 16 + 2; // salt, verifier
    static constexpr std::size_t codeSize = 10;

    explicit CZipAesEncryptor(std::string password);
    ~CZipAesEncryptor();
    CZipAesEncryptor(const CZipAesEncryptor&) = delete;
    CZipAesEncryptor& operator=(const CZipAesEncryptor&) = delete;

    // A new entry: writes its salt and verifier to header.
    void Start(unsigned char* header);
    void Encrypt(unsigned char* bytes, std::size_t count);
    void Finish(unsigned char* code);

  private:
    struct Keys;
    std::string password;
    std::unique_ptr<Keys> keys;
};
