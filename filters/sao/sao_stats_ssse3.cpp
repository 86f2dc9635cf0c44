// SSSE3 forms of the edge-offset statistics, for whole and cut CTBs: the
// loop of sao_stats_simd.h over 128-bit registers (16 samples a step). The
// byte widening is SSE4.1; the table installs these kernels only where the
// processor has both.
#include <immintrin.h>

#include <cstddef>

typedef __m128i eo_vec;
#define EO_VEC_BYTES 16
#define EO_VEC(op) _mm_##op
#define EO_VEC_SI(op) _mm_##op##_si128

namespace {

inline eo_vec eo_widen_low(eo_vec bytes)
{
    return _mm_cvtepi8_epi16(bytes);
}

inline eo_vec eo_widen_high(eo_vec bytes)
{
    return _mm_cvtepi8_epi16(_mm_srli_si128(bytes, 8));
}

inline int32_t eo_hsum32(eo_vec v)
{
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, 0x4e));
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, 0xb1));
    return _mm_cvtsi128_si32(v);
}

} // namespace

#include "filters/sao/sao_stats_simd.h"

SAO_EO_STATS_SET(ssse3)
