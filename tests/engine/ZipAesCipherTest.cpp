// AES decryption: the key derivation's known answers, entries that 7-Zip encrypted at test time, and
// entries made by an independent maker (OpenSSL's command line: its PBKDF2, AES and HMAC), never by
// our own encryption, which could mirror our own fault.
#ifdef ROZBAL_AES

#include "support/TempDir.h"
#include "support/ZipTestWriter.h"

#include "engine/decode/ZipAesCipher.h"

#include <gtest/gtest.h>
#if defined(ROZBAL_AES_MBEDTLS)
#include <mbedtls/md.h>
#include <mbedtls/pkcs5.h>
#elif !defined(ROZBAL_AES_CNG)
#include <nettle/pbkdf2.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using namespace ziptest;

constexpr std::uint32_t localHeaderSignature = 0x04034b50;
constexpr std::size_t localHeaderSize = 30; // + name + extra
constexpr std::uint16_t aesExtraId = 0x9901;
constexpr std::uint16_t methodAes = 99;

std::string Hex(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (const char c : bytes) {
        hex += digits[static_cast<unsigned char>(c) >> 4];
        hex += digits[static_cast<unsigned char>(c) & 15];
    }
    return hex;
}

// Bytes from hex digits, in either case, skipping anything else (OpenSSL's colons, the newline).
std::string FromHex(std::string_view text) {
    std::string bytes;
    int high = -1;
    for (const char c : text) {
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0)
            continue;
        if (high < 0) {
            high = digit;
        } else {
            bytes += static_cast<char>(high * 16 + digit);
            high = -1;
        }
    }
    return bytes;
}

// An AES-128 entry that OpenSSL's command line made (PBKDF2 with the password "heslo", AES over the
// counter blocks, HMAC), inline so that the Windows program's suite, which has no such tools, checks
// its own library too. 54 bytes of UTF-8 text: the last block is cut.
TEST(ZipAesCipher, DecryptsAnEntryMadeByOpenSsl) {
    const std::string header = FromHex("10111213141516175d26");
    const std::string ciphertext =
        FromHex("cf7d735c9c73dc334fdd24e0e041b9bba9c6f28e4a8cc045cd6400d731296b758514b8dddd7ab8"
                "b082935f74690a71b1c7748aa1d4a7");
    const std::string code = FromHex("79c2e9061e5e58199c74");
    const std::string plain = "P\xC5\x99\xC3\xADli\xC5\xA1 \xC5\xBElu\xC5\xA5ou\xC4\x8Dk\xC3\xBD k\xC5\xAF\xC5\x88 "
                              "\xC3\xBAp\xC4\x9Bl \xC4\x8F\xC3\xA1" "belsk\xC3\xA9 \xC3\xB3" "dy.";
    for (const std::size_t piece : {std::size_t{0}, std::size_t{1}, std::size_t{17}}) {
        CZipAesCipher cipher(1, 2);
        ASSERT_EQ(cipher.HeaderSize(), header.size());
        EXPECT_FALSE(cipher.Start(reinterpret_cast<const unsigned char*>(header.data()), "Heslo"));
        ASSERT_TRUE(cipher.Start(reinterpret_cast<const unsigned char*>(header.data()), "heslo"));
        std::string bytes = ciphertext;
        const std::size_t step = piece == 0 ? bytes.size() : piece;
        for (std::size_t at = 0; at < bytes.size(); at += step)
            cipher.Decrypt(reinterpret_cast<unsigned char*>(bytes.data()) + at, std::min(step, bytes.size() - at));
        EXPECT_EQ(bytes, plain) << "pieces of " << piece;
        EXPECT_TRUE(cipher.Finish(reinterpret_cast<const unsigned char*>(code.data()))) << "pieces of " << piece;
    }
    CZipAesCipher cipher(1, 2);
    ASSERT_TRUE(cipher.Start(reinterpret_cast<const unsigned char*>(header.data()), "heslo"));
    std::string bytes = ciphertext;
    cipher.Decrypt(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size());
    std::string changed = code;
    changed[9] ^= 1;
    EXPECT_FALSE(cipher.Finish(reinterpret_cast<const unsigned char*>(changed.data())));
}

#ifndef _WIN32

bool HaveOpenSsl() {
    if (HaveTool("openssl"))
        return true;
    if (std::getenv("CI"))
        ADD_FAILURE() << "openssl is missing";
    return false;
}

// A command's standard output; empty, with a failure, when it does not exit with 0.
std::string Capture(const std::string& command) {
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe))
            out.append(buffer, n);
        if (::pclose(pipe) == 0)
            return out;
    }
    ADD_FAILURE() << "failed: " << command;
    return {};
}

std::string Noise(std::size_t size, std::uint32_t seed) {
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        seed = seed * 1103515245 + 12345;
        c = static_cast<char>(seed >> 24);
    }
    return bytes;
}

// An encrypted entry as stored, and what must come out of it.
struct Sealed {
    std::uint8_t strength = 0;
    std::uint16_t version = 0;
    std::string header; // salt and verifier
    std::string ciphertext;
    std::string code;
    std::string plain;
    std::uint32_t crc = 0; // as the local header has it
};

// The first entry of a 7-Zip archive, stored (-mm=Copy) so that the plain bytes are the file's.
Sealed SevenZip(std::uint8_t strength, const std::string& password, const std::string& plain) {
    CTempDir dir;
    WriteFile(dir.Join("plain.bin"), plain);
    const std::string zip = dir.Join("aes.zip");
    const std::string method = strength == 1 ? "AES128" : strength == 2 ? "AES192" : "AES256";
    Capture("cd '" + dir.Path() + "' && 7z a -tzip -mm=Copy -mem=" + method + " '-p" + password + "' '" + zip +
            "' plain.bin >/dev/null");
    const std::string archive = ReadFile(zip);
    Sealed sealed;
    sealed.plain = plain;
    if (archive.size() < localHeaderSize || GetLE32(archive, 0) != localHeaderSignature) {
        ADD_FAILURE() << "7-Zip wrote no local header";
        return sealed;
    }
    EXPECT_EQ(GetLE16(archive, 6) & 1, 1) << "not encrypted";
    EXPECT_EQ(GetLE16(archive, 8), methodAes);
    sealed.crc = GetLE32(archive, 14);
    const std::uint32_t dataSize = GetLE32(archive, 18);
    const std::size_t extraAt = localHeaderSize + GetLE16(archive, 26);
    const std::size_t dataAt = extraAt + GetLE16(archive, 28);
    for (std::size_t at = extraAt; at + 4 <= dataAt; at += 4 + GetLE16(archive, at + 2)) {
        if (GetLE16(archive, at) == aesExtraId && GetLE16(archive, at + 2) == 7 && at + 11 <= dataAt) {
            sealed.version = GetLE16(archive, at + 4);
            EXPECT_EQ(archive.substr(at + 6, 2), "AE");
            sealed.strength = static_cast<std::uint8_t>(archive[at + 8]);
            EXPECT_EQ(GetLE16(archive, at + 9), 0) << "not stored";
        }
    }
    EXPECT_EQ(sealed.strength, strength) << "no AES extra field of this strength";
    const std::size_t saltSize = 4u + 4u * strength;
    if (dataAt + dataSize > archive.size() || dataSize < saltSize + 2 + CZipAesCipher::codeSize) {
        ADD_FAILURE() << "entry data out of the archive";
        return sealed;
    }
    const std::string data = archive.substr(dataAt, dataSize);
    sealed.header = data.substr(0, saltSize + 2);
    sealed.ciphertext = data.substr(saltSize + 2, dataSize - saltSize - 2 - CZipAesCipher::codeSize);
    sealed.code = data.substr(dataSize - CZipAesCipher::codeSize);
    return sealed;
}

// The same layout from OpenSSL's command line: its PBKDF2, its AES over the counter blocks, its HMAC.
Sealed Independent(std::uint8_t strength, std::uint16_t version, const std::string& password, const std::string& salt,
                   const std::string& plain) {
    const std::size_t keySize = 8u + 8u * strength;
    CTempDir dir;
    const std::string derived =
        FromHex(Capture("openssl kdf -keylen " + std::to_string(2 * keySize + 2) +
                        " -kdfopt digest:SHA1 -kdfopt iter:1000 -kdfopt hexpass:" + Hex(password) +
                        " -kdfopt hexsalt:" + Hex(salt) + " PBKDF2"));
    EXPECT_EQ(derived.size(), 2 * keySize + 2);
    std::string counters;
    for (std::uint64_t block = 1; block <= (plain.size() + 15) / 16; ++block) {
        std::string counter(16, '\0');
        PutLE64(counter, 0, block);
        counters += counter;
    }
    WriteFile(dir.Join("counters"), counters);
    Capture("openssl enc -aes-" + std::to_string(keySize * 8) + "-ecb -nopad -K " + Hex(derived.substr(0, keySize)) +
            " -in '" + dir.Join("counters") + "' -out '" + dir.Join("stream") + "'");
    const std::string stream = ReadFile(dir.Join("stream"));
    EXPECT_EQ(stream.size(), counters.size());
    Sealed sealed;
    sealed.strength = strength;
    sealed.version = version;
    sealed.plain = plain;
    sealed.crc = version == 1 ? Crc32(plain) : 0;
    sealed.header = salt + derived.substr(2 * keySize);
    sealed.ciphertext = plain;
    for (std::size_t i = 0; i < plain.size() && i < stream.size(); ++i)
        sealed.ciphertext[i] = static_cast<char>(plain[i] ^ stream[i]);
    WriteFile(dir.Join("ciphertext"), sealed.ciphertext);
    sealed.code = FromHex(Capture("openssl mac -digest SHA1 -macopt hexkey:" + Hex(derived.substr(keySize, keySize)) +
                                  " -in '" + dir.Join("ciphertext") + "' HMAC"))
                      .substr(0, CZipAesCipher::codeSize);
    return sealed;
}

// What the cipher made of an entry, fed in pieces of piece bytes (0: all at once).
struct Opened {
    bool started = false;
    std::string plain;
    bool authentic = false;
};

Opened Open(CZipAesCipher& cipher, const Sealed& sealed, const std::string& password, std::size_t piece = 0) {
    Opened opened;
    if (CZipAesCipher::KeyLength(sealed.strength) != 0 && cipher.HeaderSize() != sealed.header.size()) {
        ADD_FAILURE() << "header size " << cipher.HeaderSize() << ", stored " << sealed.header.size();
        return opened;
    }
    opened.started = cipher.Start(reinterpret_cast<const unsigned char*>(sealed.header.data()), password);
    if (!opened.started)
        return opened;
    opened.plain = sealed.ciphertext;
    auto* bytes = reinterpret_cast<unsigned char*>(opened.plain.data());
    const std::size_t step = piece == 0 ? opened.plain.size() : piece;
    for (std::size_t at = 0; at < opened.plain.size(); at += step)
        cipher.Decrypt(bytes + at, std::min(step, opened.plain.size() - at));
    opened.authentic = cipher.Finish(reinterpret_cast<const unsigned char*>(sealed.code.data()));
    return opened;
}

Opened Open(const Sealed& sealed, const std::string& password, std::size_t piece = 0) {
    CZipAesCipher cipher(sealed.strength, sealed.version);
    return Open(cipher, sealed, password, piece);
}

// PBKDF2-HMAC-SHA1 of the library the cipher links.
std::string Pbkdf2(const std::string& password, const std::string& salt, unsigned iterations, std::size_t size) {
    std::string key(size, '\0');
    auto* out = reinterpret_cast<unsigned char*>(key.data());
#ifdef ROZBAL_AES_MBEDTLS
    mbedtls_md_context_t md;
    mbedtls_md_init(&md);
    const int failed = mbedtls_md_setup(&md, mbedtls_md_info_from_type(MBEDTLS_MD_SHA1), 1) ||
                       mbedtls_pkcs5_pbkdf2_hmac(&md, reinterpret_cast<const unsigned char*>(password.data()),
                                                 password.size(), reinterpret_cast<const unsigned char*>(salt.data()),
                                                 salt.size(), iterations, static_cast<std::uint32_t>(size), out);
    mbedtls_md_free(&md);
    EXPECT_EQ(failed, 0);
#else
    pbkdf2_hmac_sha1(password.size(), reinterpret_cast<const std::uint8_t*>(password.data()), iterations, salt.size(),
                     reinterpret_cast<const std::uint8_t*>(salt.data()), size, out);
#endif
    return key;
}

TEST(ZipAesKeys, Pbkdf2HmacSha1GivesTheKnownAnswers) {
    // RFC 6070, less the 16 777 216 iterations.
    struct Row {
        std::string password;
        std::string salt;
        unsigned iterations;
        const char* key;
    };
    const Row rows[] = {
        {"password", "salt", 1, "0c60c80f961f0e71f3a9b524af6012062fe037a6"},
        {"password", "salt", 2, "ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957"},
        {"password", "salt", 4096, "4b007901b765489abead49d926f721d065a429c1"},
        {"passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096,
         "3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038"},
        {std::string("pass\0word", 9), std::string("sa\0lt", 5), 4096, "56fa6aa75548099dcc37d7f03425e0c3"},
    };
    for (const Row& row : rows) {
        const std::string key = Pbkdf2(row.password, row.salt, row.iterations, std::string(row.key).size() / 2);
        EXPECT_EQ(Hex(key), row.key) << row.password.size() << "-byte password, " << row.iterations << " iterations";
    }
}

TEST(ZipAesCipher, LayoutFollowsTheStrengthAndTheVendorVersion) {
    struct Row {
        std::uint8_t strength;
        std::uint16_t version;
        std::uint32_t header;
        bool checksCrc;
    };
    const Row rows[] = {{1, 1, 10, true}, {2, 1, 14, true}, {3, 1, 18, true}, {3, 2, 18, false}, {1, 2, 10, false}};
    for (const Row& row : rows) {
        const CZipAesCipher cipher(row.strength, row.version);
        EXPECT_EQ(cipher.HeaderSize(), row.header) << "strength " << int(row.strength);
        EXPECT_EQ(cipher.TrailerSize(), 10u) << "strength " << int(row.strength);
        EXPECT_EQ(cipher.ChecksCrc(), row.checksCrc) << "AE-" << row.version;
    }
}

struct SevenZipRow {
    const char* label;
    std::uint8_t strength;
    std::size_t piece; // 0: the whole ciphertext in one call
};

class ZipAesSevenZip : public ::testing::TestWithParam<SevenZipRow> {};

TEST_P(ZipAesSevenZip, DecryptsToTheStoredBytesInPiecesOfAnySize) {
    const SevenZipRow& row = GetParam();
    if (!HaveTool("7z")) {
        if (std::getenv("CI"))
            ADD_FAILURE() << "7z is missing";
        GTEST_SKIP() << "7z is not installed";
    }
    // Over several keystream batches, ending inside a block.
    const std::string plain = Noise(70001, row.strength);
    const std::string password = "correct horse 7";
    const Sealed sealed = SevenZip(row.strength, password, plain);
    ASSERT_EQ(sealed.ciphertext.size(), plain.size()) << row.label;
    CZipAesCipher cipher(sealed.strength, sealed.version);
    const Opened opened = Open(cipher, sealed, password, row.piece);
    EXPECT_TRUE(opened.started) << row.label;
    EXPECT_TRUE(opened.plain == plain) << row.label;
    EXPECT_TRUE(opened.authentic) << row.label;
    if (cipher.ChecksCrc()) {
        EXPECT_EQ(Crc32(opened.plain), sealed.crc) << row.label;
    }
    EXPECT_EQ(cipher.ChecksCrc(), sealed.version == 1) << row.label;
}

INSTANTIATE_TEST_SUITE_P(ZipAes, ZipAesSevenZip,
                         ::testing::Values(SevenZipRow{"AES128_whole", 1, 0}, SevenZipRow{"AES128_1", 1, 1},
                                           SevenZipRow{"AES128_7", 1, 7}, SevenZipRow{"AES128_15", 1, 15},
                                           SevenZipRow{"AES128_16", 1, 16}, SevenZipRow{"AES128_17", 1, 17},
                                           SevenZipRow{"AES192_whole", 2, 0}, SevenZipRow{"AES192_1", 2, 1},
                                           SevenZipRow{"AES192_17", 2, 17}, SevenZipRow{"AES256_whole", 3, 0},
                                           SevenZipRow{"AES256_1", 3, 1}, SevenZipRow{"AES256_7", 3, 7},
                                           SevenZipRow{"AES256_15", 3, 15}, SevenZipRow{"AES256_16", 3, 16},
                                           SevenZipRow{"AES256_17", 3, 17}, SevenZipRow{"AES256_4099", 3, 4099},
                                           // A keystream batch (64 blocks) a call, and one byte past it.
                                           SevenZipRow{"AES256_1024", 3, 1024}, SevenZipRow{"AES128_1025", 1, 1025}),
                         [](const ::testing::TestParamInfo<SevenZipRow>& info) { return info.param.label; });

struct PasswordRow {
    const char* label;
    std::string password;
    std::uint8_t strength;
    std::uint16_t version;
    std::size_t size; // of the plain bytes
};

class ZipAesPasswords : public ::testing::TestWithParam<PasswordRow> {};

TEST_P(ZipAesPasswords, KeysOfAnyPasswordMatchAnIndependentMaker) {
    const PasswordRow& row = GetParam();
    if (!HaveOpenSsl())
        GTEST_SKIP() << "openssl is not installed";
    const std::string salt = Noise(4u + 4u * row.strength, 99);
    const Sealed sealed = Independent(row.strength, row.version, row.password, salt, Noise(row.size, 7));
    const Opened opened = Open(sealed, row.password, 5);
    EXPECT_TRUE(opened.started) << row.label;
    EXPECT_TRUE(opened.plain == sealed.plain) << row.label;
    EXPECT_TRUE(opened.authentic) << row.label;
}

INSTANTIATE_TEST_SUITE_P(
    ZipAes, ZipAesPasswords,
    ::testing::Values(PasswordRow{"empty", "", 3, 2, 1000}, PasswordRow{"one_byte", "x", 3, 1, 1000},
                      // The HMAC block: a longer key is hashed first.
                      PasswordRow{"bytes_64", std::string(64, 'p'), 3, 2, 1000},
                      PasswordRow{"bytes_65", std::string(65, 'p'), 3, 2, 1000},
                      PasswordRow{"bytes_1000", Noise(1000, 3), 1, 2, 1000},
                      PasswordRow{"nul_inside", std::string("pass\0word", 9), 2, 1, 1000},
                      PasswordRow{"utf8_czech", "\xC5\xBElu\xC5\xA5ou\xC4\x8Dk\xC3\xBD k\xC5\xAF\xC5\x88", 1, 1, 1000},
                      PasswordRow{"no_ciphertext", "heslo", 3, 2, 0}, PasswordRow{"one_block", "heslo", 2, 2, 16},
                      PasswordRow{"two_batches_and_a_byte", "heslo", 2, 1, 2049}),
    [](const ::testing::TestParamInfo<PasswordRow>& info) { return info.param.label; });

// A wrong password or changed bytes: what Start and Finish then say. One AES-256 entry with the
// password "heslo" and the salt 00 01 ... 0f.
struct RejectRow {
    const char* label;
    std::string password;
    void (*change)(Sealed&);
    bool started;
    bool authentic;
};

class ZipAesRejects : public ::testing::TestWithParam<RejectRow> {};

TEST_P(ZipAesRejects, WrongPasswordsAndChangedBytesAreCaught) {
    const RejectRow& row = GetParam();
    if (!HaveOpenSsl())
        GTEST_SKIP() << "openssl is not installed";
    std::string salt;
    for (char c = 0; c < 16; ++c)
        salt += c;
    Sealed sealed = Independent(3, 2, "heslo", salt, Noise(3000, 5));
    row.change(sealed);
    const Opened opened = Open(sealed, row.password);
    EXPECT_EQ(opened.started, row.started) << row.label;
    EXPECT_EQ(opened.authentic, row.authentic) << row.label;
}

void Unchanged(Sealed&) {}

INSTANTIATE_TEST_SUITE_P(
    ZipAes, ZipAesRejects,
    ::testing::Values(
        RejectRow{"right_password", "heslo", Unchanged, true, true},
        // None of these passes the verifier c7 23 of this salt.
        RejectRow{"other_case", "Heslo", Unchanged, false, false}, RejectRow{"empty", "", Unchanged, false, false},
        RejectRow{"one_byte_less", "hesl", Unchanged, false, false},
        RejectRow{"one_byte_more", "heslo ", Unchanged, false, false},
        // One wrong password in 65 536 passes the verifier; this one was found by trying "wrong0",
        // "wrong1", ... with Python's hashlib (7 449 keys, seconds; a search per run would take half a minute on
        // average, minutes at worst).
        RejectRow{"passes_the_verifier", "wrong7448", Unchanged, true, false},
        RejectRow{"first_ciphertext_byte", "heslo", [](Sealed& s) { s.ciphertext[0] ^= 1; }, true, false},
        RejectRow{"last_ciphertext_byte", "heslo", [](Sealed& s) { s.ciphertext.back() ^= 0x80; }, true, false},
        RejectRow{"ciphertext_byte_cut", "heslo", [](Sealed& s) { s.ciphertext.pop_back(); }, true, false},
        RejectRow{"first_code_byte", "heslo", [](Sealed& s) { s.code[0] ^= 1; }, true, false},
        RejectRow{"tenth_code_byte", "heslo", [](Sealed& s) { s.code[9] ^= 0x80; }, true, false},
        RejectRow{"verifier_byte", "heslo", [](Sealed& s) { s.header[17] ^= 1; }, false, false},
        RejectRow{"salt_byte", "heslo", [](Sealed& s) { s.header[0] ^= 1; }, false, false},
        RejectRow{"unknown_strength", "heslo", [](Sealed& s) { s.strength = 4; }, false, false}),
    [](const ::testing::TestParamInfo<RejectRow>& info) { return info.param.label; });

// The thread that checks passwords tries them on one cipher: a wrong one after the right one keeps
// the right keys, and the right one after a wrong one works.
TEST(ZipAesCipher, StartedAgainKeepsTheLastPasswordThatPassed) {
    if (!HaveOpenSsl())
        GTEST_SKIP() << "openssl is not installed";
    const Sealed sealed = Independent(1, 1, "heslo", Noise(8, 1), Noise(100, 2));
    const auto* header = reinterpret_cast<const unsigned char*>(sealed.header.data());
    const std::vector<std::vector<std::string>> orders = {
        {"x", "y", "heslo"}, {"heslo", "x"}, {"heslo", "heslo"}, {"x", "heslo", "y", "z"}};
    for (const auto& order : orders) {
        CZipAesCipher cipher(1, 1);
        std::string tried;
        for (const std::string& password : order) {
            cipher.Start(header, password);
            tried += password + " ";
        }
        std::string plain = sealed.ciphertext;
        cipher.Decrypt(reinterpret_cast<unsigned char*>(plain.data()), plain.size());
        EXPECT_TRUE(plain == sealed.plain) << tried;
        EXPECT_TRUE(cipher.Finish(reinterpret_cast<const unsigned char*>(sealed.code.data()))) << tried;
    }
    // One cipher object for a second entry, as the checker reuses nothing else.
    CZipAesCipher cipher(1, 1);
    EXPECT_TRUE(Open(cipher, sealed, "heslo", 3).authentic);
    EXPECT_TRUE(Open(cipher, sealed, "heslo", 0).authentic) << "started again after Finish";
}

#endif

} // namespace

#endif
