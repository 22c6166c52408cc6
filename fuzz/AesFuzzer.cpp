// Decrypts the input as an AES entry's ciphertext twice, in one call and in pieces whose sizes the
// input chooses, and aborts when the two plain texts or the two verdicts on the code differ.
// Input: a strength byte, eight piece-size bytes, the ciphertext, the last 10 bytes as the code. The
// salt and the password are fixed: the keys come from the library, the keystream's position is ours.
#ifdef ROZBAL_AES

#include "engine/decode/ZipAesCipher.h"

#ifdef ROZBAL_AES_MBEDTLS
#include <mbedtls/md.h>
#include <mbedtls/pkcs5.h>
#else
#include <nettle/pbkdf2.h>
#endif

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const std::string password = "fuzz";

// Salt zeros and the verifier that the password gives with it.
std::vector<unsigned char> Header(std::uint8_t strength) {
    const std::uint32_t keyLength = CZipAesCipher::KeyLength(strength);
    std::vector<unsigned char> header(keyLength / 2 + CZipAesCipher::verifierSize, 0);
    std::vector<unsigned char> derived(2 * keyLength + CZipAesCipher::verifierSize);
#ifdef ROZBAL_AES_MBEDTLS
    mbedtls_md_context_t md;
    mbedtls_md_init(&md);
    if (mbedtls_md_setup(&md, mbedtls_md_info_from_type(MBEDTLS_MD_SHA1), 1) != 0 ||
        mbedtls_pkcs5_pbkdf2_hmac(&md, reinterpret_cast<const unsigned char*>(password.data()), password.size(),
                                  header.data(), keyLength / 2, 1000, static_cast<std::uint32_t>(derived.size()),
                                  derived.data()) != 0)
        std::abort();
    mbedtls_md_free(&md);
#else
    pbkdf2_hmac_sha1(password.size(), reinterpret_cast<const std::uint8_t*>(password.data()), 1000, keyLength / 2,
                     header.data(), derived.size(), derived.data());
#endif
    std::memcpy(header.data() + keyLength / 2, derived.data() + 2 * keyLength, CZipAesCipher::verifierSize);
    return header;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t pieceBytes = 8;
    if (size < 1 + pieceBytes + CZipAesCipher::codeSize)
        return 0;
    const auto strength = static_cast<std::uint8_t>(data[0] % 3 + 1);
    static const std::vector<unsigned char> headers[3] = {Header(1), Header(2), Header(3)};
    const std::vector<unsigned char>& header = headers[strength - 1];
    const std::uint8_t* pieces = data + 1;
    const std::uint8_t* code = data + size - CZipAesCipher::codeSize;
    const std::vector<unsigned char> ciphertext(data + 1 + pieceBytes, code);

    CZipAesCipher whole(strength, 2);
    CZipAesCipher split(strength, 2);
    if (!whole.Start(header.data(), password) || !split.Start(header.data(), password))
        std::abort();
    std::vector<unsigned char> once = ciphertext;
    whole.Decrypt(once.data(), once.size());
    std::vector<unsigned char> inPieces = ciphertext;
    std::size_t at = 0;
    for (std::size_t i = 0; at < inPieces.size(); ++i) {
        // 0 to 239 bytes, now and then about 4 KiB: pieces inside a block and across keystream batches;
        // empty ones too, but one byte at least every eighth call.
        const std::uint8_t choice = pieces[i % pieceBytes];
        std::size_t want = choice < 240 ? choice : choice * std::size_t{17};
        if (want == 0 && i % pieceBytes == pieceBytes - 1)
            want = 1;
        const std::size_t n = want < inPieces.size() - at ? want : inPieces.size() - at;
        split.Decrypt(inPieces.data() + at, n);
        at += n;
    }
    if (once != inPieces || whole.Finish(code) != split.Finish(code))
        std::abort();
    return 0;
}

#else

// Built without AES: nothing to decrypt.
extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }

#endif
