// AVX2 forms of uniform quantisation and of dequantisation with flat scaling
// lists.
//
// Quantisation: |c| * scale + offset is formed in 32-bit lanes, where the
// portable form forms it too (it stays below 2^31), shifted, given the sign of
// c and cut to 16 bits as the portable form's cast does (the low 16 bits,
// taken by a mask and an unsigned pack that cannot saturate). The result is
// the OR of the magnitudes, as there. With sign data hiding the portable group
// walk runs: only the plain quantiser has a vector form.
//
// Dequantisation: levels are widened to 32-bit lanes before the multiply, so
// level * scale + round is the portable form's 32-bit value; packing back to
// 16 bits with signed saturation is its clip to [-32768, 32767].
#include <immintrin.h>

#include "kernels/quant/quant.h"

#include <cstring>

namespace {

struct quant_scales_avx2 {
    __m256i scale, offset, low16;
    __m128i qbits;
};

quant_scales_avx2 quant_setup_avx2(int qp, uint16_t round_offset, int n, int quant_scale)
{
    const int qbits = 21 + qp / 6 - n;
    quant_scales_avx2 s;
    s.scale = _mm256_set1_epi32(quant_scale);
    s.offset = _mm256_set1_epi32((int32_t)round_offset << (qbits - 9));
    s.low16 = _mm256_set1_epi32(0xFFFF);
    s.qbits = _mm_cvtsi32_si128(qbits);
    return s;
}

// Eight coefficients into signed levels in 32-bit lanes, cut to their low 16
// bits; *magnitudes gets the levels before their signs.
inline __m256i quant_8(__m128i coeff, const quant_scales_avx2 *s, __m256i *magnitudes)
{
    const __m256i c = _mm256_cvtepi16_epi32(coeff);
    const __m256i lev =
        _mm256_sra_epi32(_mm256_add_epi32(_mm256_mullo_epi32(_mm256_abs_epi32(c), s->scale), s->offset), s->qbits);
    *magnitudes = lev;
    const __m256i negative = _mm256_srai_epi32(c, 31);
    return _mm256_and_si256(_mm256_sub_epi32(_mm256_xor_si256(lev, negative), negative), s->low16);
}

// Sixteen coefficients from c into l.
inline void quant_16(const int16_t *c, int16_t *l, const quant_scales_avx2 *s, __m256i *any)
{
    __m256i m0, m1;
    const __m256i lo = quant_8(_mm_loadu_si128((const __m128i *)c), s, &m0);
    const __m256i hi = quant_8(_mm_loadu_si128((const __m128i *)(c + 8)), s, &m1);
    *any = _mm256_or_si256(*any, _mm256_or_si256(m0, m1));
    _mm256_storeu_si256((__m256i *)l, _mm256_permute4x64_epi64(_mm256_packus_epi32(lo, hi), 0xD8));
}

// Eight (count 8) or four (count 4) coefficients from c into l.
inline void quant_short(const int16_t *c, int16_t *l, int count, const quant_scales_avx2 *s, __m256i *any)
{
    const __m128i in = count == 8 ? _mm_loadu_si128((const __m128i *)c) : _mm_loadl_epi64((const __m128i *)c);
    __m256i m;
    const __m256i v = quant_8(in, s, &m);
    // With four coefficients the upper lanes hold no coefficient's level.
    const __m256i kept = count == 8 ? _mm256_set1_epi32(-1) : _mm256_setr_epi32(-1, -1, -1, -1, 0, 0, 0, 0);
    *any = _mm256_or_si256(*any, _mm256_and_si256(m, kept));
    const __m128i packed = _mm_packus_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    if (count == 8)
        _mm_storeu_si128((__m128i *)l, packed);
    else
        _mm_storel_epi64((__m128i *)l, packed);
}

int32_t or_lanes(__m256i v)
{
    __m128i x = _mm_or_si128(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    x = _mm_or_si128(x, _mm_shuffle_epi32(x, 0x4E));
    x = _mm_or_si128(x, _mm_shuffle_epi32(x, 0xB1));
    return _mm_cvtsi128_si32(x);
}

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

int quant_avx2(quant_context *ctx, int16_t *levels, const int16_t *coeff, int qp, uint16_t round_offset, int n,
               int quant_scale, int scan_idx)
{
    if (ctx->sign_hiding)
        return quant_c(ctx, levels, coeff, qp, round_offset, n, quant_scale, scan_idx);
    const quant_scales_avx2 s = quant_setup_avx2(qp, round_offset, n, quant_scale);
    __m256i any = _mm256_setzero_si256();
    for (int i = 0; i < 1 << (2 * n); i += 16)
        quant_16(coeff + i, levels + i, &s, &any);
    return or_lanes(any);
}

// All N x N levels cleared, then the k x k corner (k a multiple of 4) row by row.
int quant_low_avx2(quant_context *ctx, int16_t *levels, const int16_t *coeff, int qp, uint16_t round_offset,
                   int n, int quant_scale, int scan_idx, int k)
{
    if (ctx->sign_hiding)
        return quant_low_c(ctx, levels, coeff, qp, round_offset, n, quant_scale, scan_idx, k);
    memset(levels, 0, sizeof(int16_t) << (2 * n));
    const quant_scales_avx2 s = quant_setup_avx2(qp, round_offset, n, quant_scale);
    const int size = 1 << n;
    __m256i any = _mm256_setzero_si256();
    for (int y = 0; y < k; y++) {
        int x = 0;
        for (; x + 16 <= k; x += 16)
            quant_16(coeff + y * size + x, levels + y * size + x, &s, &any);
        for (; x < k; x += 8)
            quant_short(coeff + y * size + x, levels + y * size + x, k - x >= 8 ? 8 : 4, &s, &any);
    }
    return or_lanes(any);
}

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
