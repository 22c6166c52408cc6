/* SHA-1 under mbedtls's message-digest layer (its HMAC and PBKDF2) from OpenSSL's libcrypto, whose
 * SHA-1 uses the processor's SHA extensions or AVX2 where mbedtls has only plain C: twice as fast
 * here, which is what keeps an AES entry's authentication code within budget beside inflate. Both
 * libraries are Apache-2.0. OpenSSL 3 deprecates these low-level functions in favour of EVP, whose
 * provider machinery would cost the stub hundreds of kilobytes; they remain in its 3.x series. */
#define OPENSSL_SUPPRESS_DEPRECATED

#include "mbedtls/sha1.h"

#include <string.h>

#include "mbedtls/platform_util.h"

void mbedtls_sha1_init(mbedtls_sha1_context *ctx) { memset(ctx, 0, sizeof *ctx); }

void mbedtls_sha1_free(mbedtls_sha1_context *ctx) {
    if (ctx != NULL)
        mbedtls_platform_zeroize(ctx, sizeof *ctx);
}

void mbedtls_sha1_clone(mbedtls_sha1_context *dst, const mbedtls_sha1_context *src) { *dst = *src; }

int mbedtls_sha1_starts_ret(mbedtls_sha1_context *ctx) {
    return SHA1_Init(&ctx->state) == 1 ? 0 : MBEDTLS_ERR_SHA1_BAD_INPUT_DATA;
}

int mbedtls_sha1_update_ret(mbedtls_sha1_context *ctx, const unsigned char *input, size_t ilen) {
    return SHA1_Update(&ctx->state, input, ilen) == 1 ? 0 : MBEDTLS_ERR_SHA1_BAD_INPUT_DATA;
}

int mbedtls_sha1_finish_ret(mbedtls_sha1_context *ctx, unsigned char output[20]) {
    return SHA1_Final(output, &ctx->state) == 1 ? 0 : MBEDTLS_ERR_SHA1_BAD_INPUT_DATA;
}

int mbedtls_internal_sha1_process(mbedtls_sha1_context *ctx, const unsigned char data[64]) {
    SHA1_Transform(&ctx->state, data);
    return 0;
}
