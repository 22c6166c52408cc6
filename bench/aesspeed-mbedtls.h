/*
 * The configuration of the other candidate library, for bench/aesspeed.c beside the one the stub
 * links: AES (encryption direction, for CTR), SHA-1, HMAC and PBKDF2 through the message-digest
 * layer, nothing else. No platform layer, no files, no standard I/O; the C library's calloc and free.
 * (Its Windows build insists on the platform layer.)
 */
#ifndef ROZBAL_AESSPEED_MBEDTLS_H
#define ROZBAL_AESSPEED_MBEDTLS_H

/* AES-NI where the processor has it: inline assembly on x86-64, intrinsics on 32-bit x86 when
 * the file is compiled with -maes -mpclmul; the tables otherwise. */
#define MBEDTLS_HAVE_ASM
#define MBEDTLS_AESNI_C
/* Tables in read-only data: the generated ones would be built by the first key setting, unguarded,
 * and entries are started on more than one thread. The fewer tables cost 6 KiB less. */
#define MBEDTLS_AES_ROM_TABLES
#define MBEDTLS_AES_FEWER_TABLES
#define MBEDTLS_AES_C
#define MBEDTLS_SHA1_C
#define MBEDTLS_MD_C
#define MBEDTLS_PKCS5_C

#include "mbedtls/check_config.h"

#endif
