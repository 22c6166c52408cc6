/* What ISA-L's inflate and CRC need beside their own files, without the compressor's file or the
 * dispatchers that reach into every checksum the library has. The two helpers follow the library's
 * igzip.c (BSD-3-Clause, Copyright 2011-2016 Intel Corporation); inflate calls them only for zlib and
 * gzip wrappers, which raw deflate never has. */
#include <crc.h>
#include <igzip_lib.h>
#include <stdint.h>
#include <string.h>

typedef uint32_t crc32_function(uint32_t, const unsigned char*, uint64_t);
/* Declared in crc.h with a buffer that is not const; none of them writes it. */
typedef uint32_t crc32_variant(uint32_t, uint8_t*, uint64_t);
crc32_variant crc32_gzip_refl_by8, crc32_gzip_refl_by8_02, crc32_gzip_refl_by16_10;
uint32_t adler32_base(uint32_t adler32, uint8_t* start, uint64_t length);

/* The widest carry-less multiply code the processor runs: 512-bit, AVX, SSE, or the table. */
static crc32_function* pick_crc32(void) {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
        __builtin_cpu_supports("vpclmulqdq"))
        return (crc32_function*)crc32_gzip_refl_by16_10;
    if (__builtin_cpu_supports("pclmul") && __builtin_cpu_supports("avx"))
        return (crc32_function*)crc32_gzip_refl_by8_02;
    if (__builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1"))
        return (crc32_function*)crc32_gzip_refl_by8;
    return (crc32_function*)crc32_gzip_refl_base;
}

uint32_t crc32_gzip_refl(uint32_t crc, const unsigned char* bytes, uint64_t size) __attribute__((ifunc("pick_crc32")));

uint32_t isal_adler32(uint32_t adler32, const unsigned char* start, uint64_t length) {
    return adler32_base(adler32, (uint8_t*)start, length);
}

/* Adler-32 stored as B | (A - 1), so that it starts from 0 as the CRC does. */
uint32_t isal_adler32_bam1(uint32_t adler32, const unsigned char* start, uint64_t length) {
    const uint32_t mod = 65521;
    uint32_t a = adler32 & 0xffff;
    a = a == mod - 1 ? 0 : a + 1;
    adler32 = isal_adler32((adler32 & 0xffff0000) | a, start, length);
    a = adler32 & 0xffff;
    a = a == 0 ? mod - 1 : a - 1;
    return (adler32 & 0xffff0000) | a;
}

void isal_gzip_header_init(struct isal_gzip_header* header) {
    memset(header, 0, sizeof *header);
    header->os = 0xff;
}
