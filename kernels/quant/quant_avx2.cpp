// AVX2 forms of dequantisation with flat scaling lists. Levels are widened to
// 32-bit lanes before the multiply, so level * scale + round is the portable
// form's 32-bit value; packing back to 16 bits with signed saturation is its
// clip to [-32768, 32767].
#include <immintrin.h>

#include "kernels/quant/quant.h"

namespace {

struct dequant_scales {
    __m256i scale, round;
    __m128i shift;
};

dequant_scales dequant_setup(int qp, int n)
{
    dequant_scales s;
    s.scale = _mm256_set1_epi32(level_scales[qp % 6] << (qp / 6));
    s.round = _mm256_set1_epi32(1 << (n - 2));
    s.shift = _mm_cvtsi32_si128(n - 1);
    return s;
}

// Eight levels, dequantised into 32-bit lanes.
inline __m256i dequant_8(__m128i levels, const dequant_scales *s)
{
    const __m256i v = _mm256_mullo_epi32(_mm256_cvtepi16_epi32(levels), s->scale);
    return _mm256_sra_epi32(_mm256_add_epi32(v, s->round), s->shift);
}

// Sixteen levels from l into c.
inline void dequant_16(const int16_t *l, int16_t *c, const dequant_scales *s)
{
    const __m256i lo = dequant_8(_mm_loadu_si128((const __m128i *)l), s);
    const __m256i hi = dequant_8(_mm_loadu_si128((const __m128i *)(l + 8)), s);
    _mm256_storeu_si256((__m256i *)c, _mm256_permute4x64_epi64(_mm256_packs_epi32(lo, hi), 0xD8));
}

// Eight (count 8) or four (count 4) levels from l into c.
inline void dequant_short(const int16_t *l, int16_t *c, int count, const dequant_scales *s)
{
    const __m128i in = count == 8 ? _mm_loadu_si128((const __m128i *)l) : _mm_loadl_epi64((const __m128i *)l);
    const __m256i v = dequant_8(in, s);
    const __m128i packed = _mm_packs_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    if (count == 8)
        _mm_storeu_si128((__m128i *)c, packed);
    else
        _mm_storel_epi64((__m128i *)c, packed);
}

}  // namespace

void dequant_avx2(const int16_t *levels, int16_t *coeff, int qp, int n)
{
    const dequant_scales s = dequant_setup(qp, n);
    for (int i = 0; i < 1 << (2 * n); i += 16)
        dequant_16(levels + i, coeff + i, &s);
}

// Only the k x k corner is written (k a multiple of 4), row by row.
void dequant_low_avx2(const int16_t *levels, int16_t *coeff, int qp, int n, int k)
{
    const dequant_scales s = dequant_setup(qp, n);
    const int size = 1 << n;
    for (int y = 0; y < k; y++) {
        int x = 0;
        for (; x + 16 <= k; x += 16)
            dequant_16(levels + y * size + x, coeff + y * size + x, &s);
        for (; x < k; x += 8)
            dequant_short(levels + y * size + x, coeff + y * size + x, k - x >= 8 ? 8 : 4, &s);
    }
}
