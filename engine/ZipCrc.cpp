#include "engine/ZipCrc.h"

#include <zlib.h>

#ifdef ROZBAL_ISAL
// ISA-L's code for the widest carry-less multiply the processor has, chosen once at load time.
#include <crc.h>
#elif defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <cpuid.h>
#include <immintrin.h>
#define ZIPCRC_FOLD 1
#endif

namespace {

[[maybe_unused]] std::uint32_t TableUpdate(std::uint32_t crc, const unsigned char* bytes, std::size_t size) {
    return static_cast<std::uint32_t>(crc32_z(crc, bytes, size));
}

#ifdef ZIPCRC_FOLD

// Folding constants of the bit-reflected polynomial 0xEDB88320: x^(n) mod P for
// the fold distances 512+64, 512, 128+64, 128 and 64 bits, then P and the Barrett
// quotient mu (Gopal et al., "Fast CRC Computation for Generic Polynomials Using
// PCLMULQDQ", Intel, 2009).
alignas(16) constexpr std::uint64_t fold512[2] = {0x0154442bd4, 0x01c6e41596};
alignas(16) constexpr std::uint64_t fold128[2] = {0x01751997d0, 0x00ccaa009e};
alignas(16) constexpr std::uint64_t fold64[2] = {0x0163cd6124, 0};
alignas(16) constexpr std::uint64_t barrett[2] = {0x01db710641, 0x01f7011641};

__attribute__((target("pclmul,sse2"))) inline __m128i Fold(__m128i x, __m128i k, __m128i next) {
    const __m128i low = _mm_clmulepi64_si128(x, k, 0x00);
    const __m128i high = _mm_clmulepi64_si128(x, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(high, low), next);
}

inline __m128i Load(const unsigned char* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

// crc: the running value before its final inversion; size: a multiple of 16, at least 64.
__attribute__((target("pclmul,sse2"))) std::uint32_t FoldUpdate(std::uint32_t crc, const unsigned char* p,
                                                                  std::size_t size) {
    __m128i x1 = _mm_xor_si128(Load(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i x2 = Load(p + 16);
    __m128i x3 = Load(p + 32);
    __m128i x4 = Load(p + 48);
    p += 64;
    size -= 64;
    // Four lanes folded 512 bits ahead keep the multipliers busy.
    const __m128i k512 = _mm_load_si128(reinterpret_cast<const __m128i*>(fold512));
    for (; size >= 64; p += 64, size -= 64) {
        x1 = Fold(x1, k512, Load(p));
        x2 = Fold(x2, k512, Load(p + 16));
        x3 = Fold(x3, k512, Load(p + 32));
        x4 = Fold(x4, k512, Load(p + 48));
    }
    const __m128i k128 = _mm_load_si128(reinterpret_cast<const __m128i*>(fold128));
    x1 = Fold(x1, k128, x2);
    x1 = Fold(x1, k128, x3);
    x1 = Fold(x1, k128, x4);
    for (; size >= 16; p += 16, size -= 16)
        x1 = Fold(x1, k128, Load(p));

    // 128 bits to 64, then to 32 by Barrett reduction.
    const __m128i low32 = _mm_setr_epi32(-1, 0, -1, 0);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(x1, k128, 0x10));
    const __m128i k64 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(fold64));
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), k64, 0x00), _mm_srli_si128(x1, 4));
    const __m128i poly = _mm_load_si128(reinterpret_cast<const __m128i*>(barrett));
    __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), poly, 0x10);
    t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), poly, 0x00);
    x1 = _mm_xor_si128(x1, t);
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(x1, 4)));
}

bool HasCarrylessMultiply() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    return __get_cpuid(1, &eax, &ebx, &ecx, &edx) && (ecx & bit_PCLMUL) && (edx & bit_SSE2);
}

#endif

} // namespace

std::uint32_t ZipCrc::Update(std::uint32_t crc, const unsigned char* bytes, std::size_t size) {
#ifdef ROZBAL_ISAL
    return crc32_gzip_refl(crc, bytes, size);
#else
#ifdef ZIPCRC_FOLD
    static const bool fold = HasCarrylessMultiply();
    if (fold && size >= 64) {
        const std::size_t folded = size & ~std::size_t{15};
        crc = ~FoldUpdate(~crc, bytes, folded);
        bytes += folded;
        size -= folded;
    }
#endif
    return size == 0 ? crc : TableUpdate(crc, bytes, size);
#endif
}
