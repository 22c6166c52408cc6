#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// One encryption scheme's decryption behind the interface every scheme shares. An encrypted
// entry's data are: HeaderSize() bytes before the ciphertext (an encryption header, or a salt and
// a password verifier), the ciphertext, and TrailerSize() bytes after it (an authentication code).
// A cipher is started once per entry, by whoever checks the password; it may then be handed to
// another thread, which decrypts the ciphertext in order and finishes it.
class CZipCipher {
  public:
    CZipCipher() = default;
    CZipCipher(const CZipCipher&) = delete;
    CZipCipher& operator=(const CZipCipher&) = delete;
    virtual ~CZipCipher() = default;

    virtual std::uint32_t HeaderSize() const = 0;
    virtual std::uint32_t TrailerSize() const { return 0; }
    // Sets the keys from the password's bytes and checks them against the HeaderSize() bytes of
    // header: false when the password is not this entry's. May be called again with another
    // password; the last call that returned true leaves the cipher ready for Decrypt.
    virtual bool Start(const unsigned char* header, const std::string& password) = 0;
    // Whether a wrong password passes Start often enough to be met (a check of one byte).
    virtual bool CheckIsWeak() const { return false; }
    // Decrypts ciphertext in place, in order, in pieces of any size.
    virtual void Decrypt(unsigned char* bytes, std::size_t count) = 0;
    // After the last ciphertext byte: whether the TrailerSize() bytes of trailer prove the
    // ciphertext unchanged. Schemes without a code have nothing to disprove.
    virtual bool Finish(const unsigned char* trailer) {
        static_cast<void>(trailer);
        return true;
    }
    // Whether the entry's CRC-32 is to be checked: AE-2 entries store 0 in its place.
    virtual bool ChecksCrc() const { return true; }
};
