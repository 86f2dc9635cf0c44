// AVX2 forms of the edge-offset statistics, for whole and cut CTBs: the loop
// of sao_stats_simd.h over 256-bit registers (32 samples a step), a last
// group of 16 samples in a 128-bit register.
#include <immintrin.h>

#include <cstddef>

typedef __m256i eo_vec;
#define EO_VEC_BYTES 32
#define EO_VEC(op) _mm256_##op
#define EO_VEC_SI(op) _mm256_##op##_si256

namespace {

inline eo_vec eo_widen_low(eo_vec bytes)
{
    return _mm256_cvtepi8_epi16(_mm256_castsi256_si128(bytes));
}

inline eo_vec eo_widen_high(eo_vec bytes)
{
    return _mm256_cvtepi8_epi16(_mm256_extracti128_si256(bytes, 1));
}

inline int32_t eo_hsum32(eo_vec v)
{
    __m128i x = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    x = _mm_add_epi32(x, _mm_shuffle_epi32(x, 0x4e));
    x = _mm_add_epi32(x, _mm_shuffle_epi32(x, 0xb1));
    return _mm_cvtsi128_si32(x);
}

} // namespace

#include "filters/sao/sao_stats_simd.h"

namespace {

inline __m128i sign_bytes_16(__m128i p, __m128i n)
{
    return _mm_sub_epi8(_mm_cmpgt_epi8(n, p), _mm_cmpgt_epi8(p, n));
}

inline void eo_half_step(eo_acc *acc, const uint8_t *p, ptrdiff_t off_a, ptrdiff_t off_b, const int16_t *d)
{
    const __m128i bias = _mm_set1_epi8((char)0x80);
    __m128i v = _mm_xor_si128(_mm_loadu_si128((const __m128i *)p), bias);
    __m128i a = _mm_xor_si128(_mm_loadu_si128((const __m128i *)(p + off_a)), bias);
    __m128i b = _mm_xor_si128(_mm_loadu_si128((const __m128i *)(p + off_b)), bias);
    __m128i e = _mm_add_epi8(sign_bytes_16(v, a), sign_bytes_16(v, b));
    eo_add(acc, _mm256_cvtepi8_epi16(e), load_diffs(d));
}

} // namespace

SAO_EO_STATS_SET(avx2)
