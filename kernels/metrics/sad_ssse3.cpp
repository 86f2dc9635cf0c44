// SSSE3 forms of the every-second-row SAD against one block and against four
// candidates at once. Rows 0, 2, 4, ... of both blocks are read (both pointers
// step two rows), byte-SAD partial sums accumulate in 32-bit lanes, and the
// finished sum is doubled: exactly the portable value.
#include <immintrin.h>

#include "kernels/metrics/metric.h"
#include "kernels/metrics/metric_compose.h"
#include "kernels/metrics/metric_simd.h"

// The used rows 0, 2, 4, 6 of a 4-wide block gathered into one vector.
TV_INLINE __m128i gather_4x8_even_rows(const uint8_t *p, ptrdiff_t stride)
{
    __m128i r01 = _mm_unpacklo_epi32(load4(p), load4(p + 2 * stride));
    __m128i r23 = _mm_unpacklo_epi32(load4(p + 4 * stride), load4(p + 6 * stride));
    return _mm_unpacklo_epi64(r01, r23);
}

// Two 64-bit lanes of byte-SAD sums, added and doubled.
TV_INLINE uint32_t finish_sad(__m128i acc)
{
    acc = _mm_add_epi32(acc, _mm_unpackhi_epi64(acc, acc));
    return (uint32_t)_mm_cvtsi128_si32(acc) << 1;
}

// Every-second-row SAD of a w x h block, w = 8, 16, 32 or 64.
TV_INLINE uint32_t sad_sub_rows(const uint8_t *a, int a_stride, const uint8_t *b, int b_stride, int w, int h)
{
    ptrdiff_t as2 = 2 * (ptrdiff_t)a_stride, bs2 = 2 * (ptrdiff_t)b_stride;
    __m128i acc = _mm_setzero_si128();
    #pragma GCC unroll 16
    for (int y = 0; y < h; y += 2, a += as2, b += bs2) {
        if (w == 8) {
            acc = _mm_add_epi32(acc, _mm_sad_epu8(load8(a), load8(b)));
            continue;
        }
        for (int x = 0; x < w; x += 16) acc = _mm_add_epi32(acc, _mm_sad_epu8(load16(a + x), load16(b + x)));
    }
    return finish_sad(acc);
}

// Height-parameterised cores of the wide blocks: every shape of one width runs
// the same body; a height of 0 or less gives 0.
static uint32_t sad_sub_32xh_ssse3(const uint8_t *a, int a_stride, const uint8_t *b, int b_stride, int h)
{
    return sad_sub_rows(a, a_stride, b, b_stride, 32, h);
}

static uint32_t sad_sub_64xh_ssse3(const uint8_t *a, int a_stride, const uint8_t *b, int b_stride, int h)
{
    return sad_sub_rows(a, a_stride, b, b_stride, 64, h);
}

TV_PAIR_METRIC(sad_sub_64x64_ssse3) { return sad_sub_64xh_ssse3(a, a_stride, b, b_stride, 64); }
TV_PAIR_METRIC(sad_sub_64x32_ssse3) { return sad_sub_64xh_ssse3(a, a_stride, b, b_stride, 32); }
TV_PAIR_METRIC(sad_sub_32x32_ssse3) { return sad_sub_32xh_ssse3(a, a_stride, b, b_stride, 32); }
TV_PAIR_METRIC(sad_sub_32x16_ssse3) { return sad_sub_32xh_ssse3(a, a_stride, b, b_stride, 16); }
TV_PAIR_METRIC(sad_sub_32x64_ssse3) { return sad_sub_32xh_ssse3(a, a_stride, b, b_stride, 64); }
TV_PAIR_METRIC(sad_sub_16x16_ssse3) { return sad_sub_rows(a, a_stride, b, b_stride, 16, 16); }
TV_PAIR_METRIC(sad_sub_16x8_ssse3) { return sad_sub_rows(a, a_stride, b, b_stride, 16, 8); }
TV_PAIR_METRIC(sad_sub_16x32_ssse3) { return sad_sub_rows(a, a_stride, b, b_stride, 16, 32); }
TV_PAIR_METRIC(sad_sub_8x8_ssse3) { return sad_sub_rows(a, a_stride, b, b_stride, 8, 8); }
TV_PAIR_METRIC(sad_sub_8x4_ssse3) { return sad_sub_rows(a, a_stride, b, b_stride, 8, 4); }
TV_PAIR_METRIC(sad_sub_8x16_ssse3) { return sad_sub_rows(a, a_stride, b, b_stride, 8, 16); }

TV_PAIR_METRIC(sad_sub_4x8_ssse3)
{
    __m128i s = _mm_sad_epu8(gather_4x8_even_rows(a, a_stride), gather_4x8_even_rows(b, b_stride));
    return finish_sad(s);
}

// ---- Four candidates ----

// Byte-SAD sums of the four candidates, (lo, 0, hi, 0) each, folded into
// one vector (c0, c1, c2, c3) by two levels of 32-bit horizontal adds.
TV_INLINE __m128i fold4(__m128i s0, __m128i s1, __m128i s2, __m128i s3)
{
    return _mm_hadd_epi32(_mm_hadd_epi32(s0, s1), _mm_hadd_epi32(s2, s3));
}

TV_INLINE void store_doubled(uint32_t *out, __m128i acc)
{
    _mm_storeu_si128((__m128i *)out, _mm_slli_epi32(acc, 1));
}

// w = 8, 16, 32, 64: the source row (stride 64) is loaded once per piece for
// all four candidates. Each candidate keeps its own accumulator in a register;
// the four are folded once at the end (horizontal adds are slow per piece).
TV_INLINE void sad_x4_sub_rows(const uint8_t *src, const uint8_t *c0, const uint8_t *c1, const uint8_t *c2,
                               const uint8_t *c3, int cand_stride, uint32_t *out, int w, int h)
{
    ptrdiff_t cs2 = 2 * (ptrdiff_t)cand_stride;
    __m128i a0 = _mm_setzero_si128(), a1 = a0, a2 = a0, a3 = a0;
    if (w == 8) {
        // Two used rows per vector: row y low, row y + 2 high.
        for (int y = 0; y < h; y += 4, src += 256, c0 += 2 * cs2, c1 += 2 * cs2, c2 += 2 * cs2, c3 += 2 * cs2) {
            __m128i s = _mm_unpacklo_epi64(load8(src), load8(src + 128));
            a0 = _mm_add_epi32(a0, _mm_sad_epu8(s, _mm_unpacklo_epi64(load8(c0), load8(c0 + cs2))));
            a1 = _mm_add_epi32(a1, _mm_sad_epu8(s, _mm_unpacklo_epi64(load8(c1), load8(c1 + cs2))));
            a2 = _mm_add_epi32(a2, _mm_sad_epu8(s, _mm_unpacklo_epi64(load8(c2), load8(c2 + cs2))));
            a3 = _mm_add_epi32(a3, _mm_sad_epu8(s, _mm_unpacklo_epi64(load8(c3), load8(c3 + cs2))));
        }
    } else {
        for (int y = 0; y < h; y += 2, src += 128, c0 += cs2, c1 += cs2, c2 += cs2, c3 += cs2) {
#pragma GCC unroll 4
            for (int x = 0; x < w; x += 16) {
                __m128i s = _mm_loadu_si128((const __m128i *)(src + x));
                a0 = _mm_add_epi32(a0, _mm_sad_epu8(s, load16(c0 + x)));
                a1 = _mm_add_epi32(a1, _mm_sad_epu8(s, load16(c1 + x)));
                a2 = _mm_add_epi32(a2, _mm_sad_epu8(s, load16(c2 + x)));
                a3 = _mm_add_epi32(a3, _mm_sad_epu8(s, load16(c3 + x)));
            }
        }
    }
    store_doubled(out, fold4(a0, a1, a2, a3));
}

static void sad_x4_sub_32xh_ssse3(const uint8_t *src, const uint8_t *c0, const uint8_t *c1, const uint8_t *c2,
                                  const uint8_t *c3, int cand_stride, uint32_t *out, int h)
{
    sad_x4_sub_rows(src, c0, c1, c2, c3, cand_stride, out, 32, h);
}

static void sad_x4_sub_64xh_ssse3(const uint8_t *src, const uint8_t *c0, const uint8_t *c1, const uint8_t *c2,
                                  const uint8_t *c3, int cand_stride, uint32_t *out, int h)
{
    sad_x4_sub_rows(src, c0, c1, c2, c3, cand_stride, out, 64, h);
}

TV_SAD_X4(sad_x4_sub_64x64_ssse3) { sad_x4_sub_64xh_ssse3(src, c0, c1, c2, c3, cand_stride, out, 64); }
TV_SAD_X4(sad_x4_sub_64x32_ssse3) { sad_x4_sub_64xh_ssse3(src, c0, c1, c2, c3, cand_stride, out, 32); }
TV_SAD_X4(sad_x4_sub_32x32_ssse3) { sad_x4_sub_32xh_ssse3(src, c0, c1, c2, c3, cand_stride, out, 32); }
TV_SAD_X4(sad_x4_sub_32x16_ssse3) { sad_x4_sub_32xh_ssse3(src, c0, c1, c2, c3, cand_stride, out, 16); }
TV_SAD_X4(sad_x4_sub_32x64_ssse3) { sad_x4_sub_32xh_ssse3(src, c0, c1, c2, c3, cand_stride, out, 64); }
TV_SAD_X4(sad_x4_sub_16x16_ssse3) { sad_x4_sub_rows(src, c0, c1, c2, c3, cand_stride, out, 16, 16); }
TV_SAD_X4(sad_x4_sub_16x8_ssse3) { sad_x4_sub_rows(src, c0, c1, c2, c3, cand_stride, out, 16, 8); }
TV_SAD_X4(sad_x4_sub_16x32_ssse3) { sad_x4_sub_rows(src, c0, c1, c2, c3, cand_stride, out, 16, 32); }
TV_SAD_X4(sad_x4_sub_8x8_ssse3) { sad_x4_sub_rows(src, c0, c1, c2, c3, cand_stride, out, 8, 8); }
TV_SAD_X4(sad_x4_sub_8x4_ssse3) { sad_x4_sub_rows(src, c0, c1, c2, c3, cand_stride, out, 8, 4); }
TV_SAD_X4(sad_x4_sub_8x16_ssse3) { sad_x4_sub_rows(src, c0, c1, c2, c3, cand_stride, out, 8, 16); }

TV_SAD_X4(sad_x4_sub_4x8_ssse3)
{
    __m128i s = gather_4x8_even_rows(src, 64);
    __m128i acc = fold4(_mm_sad_epu8(s, gather_4x8_even_rows(c0, cand_stride)),
                        _mm_sad_epu8(s, gather_4x8_even_rows(c1, cand_stride)),
                        _mm_sad_epu8(s, gather_4x8_even_rows(c2, cand_stride)),
                        _mm_sad_epu8(s, gather_4x8_even_rows(c3, cand_stride)));
    store_doubled(out, acc);
}
