/*
 * aesspeed - what decrypting an AES entry costs beside inflating it.
 *
 *   aesspeed TEXTFILE [MIB]
 *
 * Times, in CPU time, over MIB (default 64) MiB: AES-256 in CTR mode with a little-endian counter
 * (counter blocks encrypted in batches, as the cipher does it) plus HMAC-SHA1 over the same bytes,
 * each alone and together; the key derivation (PBKDF2-HMAC-SHA1, 1000 iterations, 66 bytes); and
 * zlib's raw inflate of TEXTFILE deflated at level 6, per compressed byte. The last line is the
 * ratio that matters: (inflate + decrypt) / inflate, per compressed byte.
 *
 * Built against one library: -DWITH_MBEDTLS or -DWITH_NETTLE, each as deps/build-crypto.sh installs it.
 */
#define _GNU_SOURCE
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <zlib.h>

enum { BatchBlocks = 64, PieceSize = 64 * 1024 };

#if defined(WITH_MBEDTLS)
#include "mbedtls/aes.h"
#include "mbedtls/md.h"
#include "mbedtls/pkcs5.h"
static const char *libraryName = "mbedtls";
typedef struct {
    mbedtls_aes_context aes;
    mbedtls_md_context_t mac;
} Keys;
static void KeysInit(Keys *k, const unsigned char *aesKey, const unsigned char *macKey) {
    mbedtls_aes_init(&k->aes);
    mbedtls_aes_setkey_enc(&k->aes, aesKey, 256);
    mbedtls_md_init(&k->mac);
    mbedtls_md_setup(&k->mac, mbedtls_md_info_from_type(MBEDTLS_MD_SHA1), 1);
    mbedtls_md_hmac_starts(&k->mac, macKey, 32);
}
static void EncryptBlocks(Keys *k, unsigned char *blocks, size_t count) {
    for (size_t i = 0; i < count; ++i)
        mbedtls_aes_crypt_ecb(&k->aes, MBEDTLS_AES_ENCRYPT, blocks + 16 * i, blocks + 16 * i);
}
static void Mac(Keys *k, const unsigned char *bytes, size_t count) { mbedtls_md_hmac_update(&k->mac, bytes, count); }
static void Derive(const unsigned char *password, size_t size, const unsigned char *salt, unsigned char *out) {
    mbedtls_md_context_t md;
    mbedtls_md_init(&md);
    mbedtls_md_setup(&md, mbedtls_md_info_from_type(MBEDTLS_MD_SHA1), 1);
    mbedtls_pkcs5_pbkdf2_hmac(&md, password, size, salt, 16, 1000, 66, out);
    mbedtls_md_free(&md);
}
#elif defined(WITH_NETTLE)
#include <nettle/aes.h>
#include <nettle/hmac.h>
#include <nettle/pbkdf2.h>
static const char *libraryName = "nettle";
typedef struct {
    struct aes256_ctx aes;
    struct hmac_sha1_ctx mac;
} Keys;
static void KeysInit(Keys *k, const unsigned char *aesKey, const unsigned char *macKey) {
    aes256_set_encrypt_key(&k->aes, aesKey);
    hmac_sha1_set_key(&k->mac, 32, macKey);
}
static void EncryptBlocks(Keys *k, unsigned char *blocks, size_t count) {
    aes256_encrypt(&k->aes, 16 * count, blocks, blocks);
}
static void Mac(Keys *k, const unsigned char *bytes, size_t count) { hmac_sha1_update(&k->mac, count, bytes); }
static void Derive(const unsigned char *password, size_t size, const unsigned char *salt, unsigned char *out) {
    pbkdf2_hmac_sha1(size, password, 1000, 16, salt, 66, out);
}
#else
#error "build with -DWITH_MBEDTLS or -DWITH_NETTLE"
#endif

static double CpuSeconds(void) {
    struct timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

/* The keystream for a piece: counter blocks (little-endian, from 1) encrypted a batch at a time,
 * laid over the bytes eight at a time. */
static void Ctr(Keys *k, uint64_t *counter, unsigned char *bytes, size_t count) {
    unsigned char blocks[16 * BatchBlocks];
    memset(blocks, 0, sizeof blocks);
    while (count > 0) {
        size_t n = (count + 15) / 16;
        if (n > BatchBlocks)
            n = BatchBlocks;
        for (size_t i = 0; i < n; ++i) {
            uint64_t c = ++*counter;
            for (int b = 0; b < 8; ++b)
                blocks[16 * i + (size_t)b] = (unsigned char)(c >> (8 * b));
            memset(blocks + 16 * i + 8, 0, 8);
        }
        EncryptBlocks(k, blocks, n);
        size_t used = n * 16 < count ? n * 16 : count, i = 0;
        for (; i + 8 <= used; i += 8) {
            uint64_t a, b;
            memcpy(&a, bytes + i, 8);
            memcpy(&b, blocks + i, 8);
            a ^= b;
            memcpy(bytes + i, &a, 8);
        }
        for (; i < used; ++i)
            bytes[i] ^= blocks[i];
        bytes += used;
        count -= used;
    }
}

static double Run(Keys *k, unsigned char *data, size_t size, int doCtr, int doMac) {
    uint64_t counter = 0;
    double start = CpuSeconds();
    for (size_t at = 0; at < size; at += PieceSize) {
        size_t n = size - at < PieceSize ? size - at : PieceSize;
        if (doMac)
            Mac(k, data + at, n);
        if (doCtr)
            Ctr(k, &counter, data + at, n);
    }
    return CpuSeconds() - start;
}

static unsigned char *ReadFile(const char *path, size_t *size) {
    FILE *f = fopen(path, "rb");
    if (f == NULL) {
        perror(path);
        exit(1);
    }
    fseek(f, 0, SEEK_END);
    *size = (size_t)ftell(f);
    fseek(f, 0, SEEK_SET);
    unsigned char *bytes = malloc(*size);
    if (bytes == NULL || fread(bytes, 1, *size, f) != *size) {
        fprintf(stderr, "%s: cannot read\n", path);
        exit(1);
    }
    fclose(f);
    return bytes;
}

/* CPU seconds per compressed byte of raw inflate, and the compressed size. */
static double InflateCost(const unsigned char *text, size_t size, size_t *packedSize) {
    z_stream z;
    memset(&z, 0, sizeof z);
    deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    size_t bound = deflateBound(&z, size);
    unsigned char *packed = malloc(bound), *out = malloc(size);
    z.next_in = (unsigned char *)text;
    z.avail_in = (uInt)size;
    z.next_out = packed;
    z.avail_out = (uInt)bound;
    deflate(&z, Z_FINISH);
    *packedSize = z.total_out;
    deflateEnd(&z);
    double best = 1e9;
    for (int round = 0; round < 3; ++round) {
        memset(&z, 0, sizeof z);
        inflateInit2(&z, -15);
        double start = CpuSeconds();
        z.next_in = packed;
        z.avail_in = (uInt)*packedSize;
        while (z.avail_in > 0) {
            z.next_out = out;
            z.avail_out = PieceSize * 4;
            if (inflate(&z, Z_NO_FLUSH) == Z_STREAM_END)
                break;
        }
        double t = CpuSeconds() - start;
        inflateEnd(&z);
        if (t < best)
            best = t;
    }
    free(packed);
    free(out);
    return best / (double)*packedSize;
}

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: aesspeed TEXTFILE [MIB]\n");
        return 2;
    }
    size_t textSize;
    unsigned char *text = ReadFile(argv[1], &textSize);
    size_t size = (size_t)(argc > 2 ? atoi(argv[2]) : 64) << 20;
    unsigned char *data = malloc(size);
    for (size_t i = 0; i < size; ++i)
        data[i] = (unsigned char)(i * 2654435761u >> 13);
    unsigned char aesKey[32], macKey[32];
    memset(aesKey, 0x11, sizeof aesKey);
    memset(macKey, 0x22, sizeof macKey);

    static const char *labels[3] = {"AES-256-CTR", "HMAC-SHA1", "AES-256-CTR + HMAC-SHA1"};
    double seconds[3];
    for (int mode = 0; mode < 3; ++mode) {
        double best = 1e9;
        for (int round = 0; round < 3; ++round) {
            Keys k;
            KeysInit(&k, aesKey, macKey);
            double t = Run(&k, data, size, mode != 1, mode != 0);
            if (t < best)
                best = t;
        }
        seconds[mode] = best;
        printf("%s %-24s %8.0f MB/s\n", libraryName, labels[mode], (double)size / best / 1e6);
    }
    unsigned char derived[66], salt[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    double start = CpuSeconds();
    for (int i = 0; i < 20; ++i)
        Derive((const unsigned char *)"password", 8, salt, derived);
    printf("%s PBKDF2, 1000 iterations   %8.3f ms a key\n", libraryName, (CpuSeconds() - start) / 20 * 1e3);

    size_t packedSize;
    double inflatePerByte = InflateCost(text, textSize, &packedSize);
    double cipherPerByte = seconds[2] / (double)size;
    printf("zlib inflate (text, %zu -> %zu bytes) %8.0f MB/s of compressed input\n", textSize, packedSize,
           1 / inflatePerByte / 1e6);
    printf("%s decrypted+inflated / inflated, per compressed byte: %.3f\n", libraryName,
           (inflatePerByte + cipherPerByte) / inflatePerByte);
    free(data);
    free(text);
    return 0;
}
