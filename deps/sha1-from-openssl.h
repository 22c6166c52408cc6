/* mbedtls's SHA-1 context when its SHA-1 comes from OpenSSL's libcrypto (see sha1-from-openssl.c);
 * written for this project. deps/build-crypto.sh installs it as sha1_alt.h beside mbedtls/sha1.h,
 * which includes it under MBEDTLS_SHA1_ALT. */
#ifndef ROZBAL_MBEDTLS_SHA1_ALT_H
#define ROZBAL_MBEDTLS_SHA1_ALT_H

#include <openssl/sha.h>

typedef struct mbedtls_sha1_context {
    SHA_CTX state;
} mbedtls_sha1_context;

#endif
