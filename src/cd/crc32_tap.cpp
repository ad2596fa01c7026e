#include "cd/crc32_tap.h"
#include "cd/cd_sector.h"
#include <algorithm>
#include <zlib.h>
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define KY_CRC32_FOLDING 1
#endif

#ifdef KY_CRC32_FOLDING
namespace {
// The reflected CRC-32 register (zlib's value inverted) after `size` bytes, a multiple of 16
// and at least 64: four 128-bit lanes are folded forward by 512 bits per step (carry-less
// products with powers of x modulo P = 0x104C11DB7, bit-reflected), then into one lane,
// reduced to 64 bits and to 32 by Barrett reduction (Intel, "Fast CRC Computation for
// Generic Polynomials Using PCLMULQDQ Instruction", 2009).
#define KY_FOLD_TARGET __attribute__((target("pclmul,sse4.1")))
KY_FOLD_TARGET inline __m128i load(const uint8_t* q) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
}
// x times the two constants in k (low and high halves), plus the next 128 bits.
KY_FOLD_TARGET inline __m128i fold(__m128i x, __m128i k, __m128i next) {
    return _mm_xor_si128(
        _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next);
}

// Four lanes into one, then the rest of the bytes (a multiple of 16), down to 32 bits.
KY_FOLD_TARGET inline uint32_t finishCrc(__m128i x1, __m128i x2, __m128i x3, __m128i x4,
                                         const uint8_t* p, size_t size) {
    const __m128i by1 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
    x1 = fold(x1, by1, x2);
    x1 = fold(x1, by1, x3);
    x1 = fold(x1, by1, x4);
    for (; size >= 16; p += 16, size -= 16) x1 = fold(x1, by1, load(p));

    // 128 bits to 64, then to 32.
    const __m128i low32 = _mm_setr_epi32(-1, 0, -1, 0);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(x1, by1, 0x10));
    const __m128i k5 = _mm_set_epi64x(0, 0x163cd6124);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 4),
                       _mm_clmulepi64_si128(_mm_and_si128(x1, low32), k5, 0x00));
    const __m128i barrett = _mm_set_epi64x(0x1f7011641, 0x1db710641); // mu, P
    __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), barrett, 0x10);
    t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), barrett, 0x00);
    return static_cast<uint32_t>(_mm_extract_epi32(_mm_xor_si128(x1, t), 1));
}

KY_FOLD_TARGET uint32_t foldCrc(uint32_t crc, const uint8_t* p, size_t size) {
    __m128i x1 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i x2 = load(p + 16), x3 = load(p + 32), x4 = load(p + 48);
    p += 64;
    size -= 64;
    const __m128i by4 = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);
    for (; size >= 64; p += 64, size -= 64) {
        x1 = fold(x1, by4, load(p));
        x2 = fold(x2, by4, load(p + 16));
        x3 = fold(x3, by4, load(p + 32));
        x4 = fold(x4, by4, load(p + 48));
    }
    return finishCrc(x1, x2, x3, x4, p, size);
}

// The same with two lanes to a 256-bit register, where the processor multiplies both
// halves at once.
#define KY_FOLD_WIDE_TARGET __attribute__((target("vpclmulqdq,avx2,pclmul,sse4.1")))
KY_FOLD_WIDE_TARGET inline __m256i load2(const uint8_t* q) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q));
}

KY_FOLD_WIDE_TARGET uint32_t foldCrcWide(uint32_t crc, const uint8_t* p, size_t size) {
    __m256i x12 = _mm256_xor_si256(
        load2(p), _mm256_zextsi128_si256(_mm_cvtsi32_si128(static_cast<int>(crc))));
    __m256i x34 = load2(p + 32);
    p += 64;
    size -= 64;
    const __m256i by4 = _mm256_set_epi64x(0x1c6e41596, 0x154442bd4, 0x1c6e41596, 0x154442bd4);
    for (; size >= 64; p += 64, size -= 64) {
        x12 = _mm256_xor_si256(_mm256_xor_si256(_mm256_clmulepi64_epi128(x12, by4, 0x00),
                                                _mm256_clmulepi64_epi128(x12, by4, 0x11)),
                               load2(p));
        x34 = _mm256_xor_si256(_mm256_xor_si256(_mm256_clmulepi64_epi128(x34, by4, 0x00),
                                                _mm256_clmulepi64_epi128(x34, by4, 0x11)),
                               load2(p + 32));
    }
    return finishCrc(_mm256_castsi256_si128(x12), _mm256_extracti128_si256(x12, 1),
                     _mm256_castsi256_si128(x34), _mm256_extracti128_si256(x34, 1), p, size);
}

bool canFold() {
    static const bool yes = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    return yes;
}

bool canFoldWide() {
    static const bool yes =
        canFold() && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("vpclmulqdq");
    return yes;
}
} // namespace
#endif

uint32_t kyCrc32Update(uint32_t crc, const uint8_t* data, size_t size) {
#ifdef KY_CRC32_FOLDING
    if (size >= 64 && canFold()) {
        const size_t folded = size & ~size_t(15);
        crc = ~(canFoldWide() ? foldCrcWide(~crc, data, folded) : foldCrc(~crc, data, folded));
        data += folded;
        size -= folded;
    }
#endif
    while (size > 0) { // zlib counts in unsigned int
        const uInt n = static_cast<uInt>(std::min<size_t>(size, 1u << 30));
        crc = static_cast<uint32_t>(::crc32(crc, data, n));
        data += n;
        size -= n;
    }
    return crc;
}

void kyCrc32Tap::RunStarted(uint32_t firstSector, uint32_t endSector) {
    m_crc = static_cast<uint32_t>(::crc32(0L, Z_NULL, 0));
    m_sectors = 0;
    m_expected = endSector > firstSector ? endSector - firstSector : 0;
}

void kyCrc32Tap::SectorDelivered(uint32_t, const uint8_t* pcm) {
    m_crc = kyCrc32Update(m_crc, pcm, kycd::kSectorBytes);
    ++m_sectors;
}

std::string kyCrc32Tap::hex(uint32_t crc) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s(8, '0');
    for (int i = 7; i >= 0; --i, crc >>= 4) s[static_cast<size_t>(i)] = digits[crc & 15];
    return s;
}
