// AVX2 forms of the SAD kernels: full SAD, every-second-row SAD against one
// block, and every-second-row SAD of one source block (stride 64) against two,
// three or four candidates. Byte-SAD partial sums (at most 2,040 per 8 bytes)
// accumulate in 32-bit lanes, so every result is the exact portable value.
// The 8- and 4-wide forms use 128-bit operations only.
#include <immintrin.h>

#include "kernels/metrics/metric.h"
#include "kernels/metrics/metric_compose.h"
#include "kernels/metrics/metric_simd.h"

TV_INLINE __m256i load32(const uint8_t *p) { return _mm256_loadu_si256((const __m256i *)p); }

// Two 16-byte rows in one vector: p0 in the low half, p1 in the high half.
TV_INLINE __m256i load16x2(const uint8_t *p0, const uint8_t *p1)
{
    return _mm256_inserti128_si256(_mm256_castsi128_si256(load16(p0)), load16(p1), 1);
}

// Up to four 4-byte rows in one vector (the missing ones zero).
TV_INLINE __m128i load4x2(const uint8_t *p0, const uint8_t *p1)
{
    return _mm_unpacklo_epi32(load4(p0), load4(p1));
}

TV_INLINE uint32_t hsum_sad128(__m128i v)
{
    v = _mm_add_epi32(v, _mm_unpackhi_epi64(v, v));
    return (uint32_t)_mm_cvtsi128_si32(v);
}

TV_INLINE uint32_t hsum_sad256(__m256i v)
{
    return hsum_sad128(_mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1)));
}

// Sum of |a - b| over rows 0, step, 2 step, ... below h of a w x h block.
TV_INLINE uint32_t sad_rows(const uint8_t *a, int a_stride, const uint8_t *b, int b_stride, int w, int h,
                            int step)
{
    ptrdiff_t as = (ptrdiff_t)a_stride * step, bs = (ptrdiff_t)b_stride * step;
    int rows = h / step;
    if (w >= 16) {
        __m256i acc = _mm256_setzero_si256();
        if (w == 16) {
            #pragma GCC unroll 8
            for (int r = 0; r < rows; r += 2, a += 2 * as, b += 2 * bs)
                acc = _mm256_add_epi32(acc, _mm256_sad_epu8(load16x2(a, a + as), load16x2(b, b + bs)));
        } else {
            #pragma GCC unroll 8
            for (int r = 0; r < rows; r++, a += as, b += bs)
                for (int x = 0; x < w; x += 32)
                    acc = _mm256_add_epi32(acc, _mm256_sad_epu8(load32(a + x), load32(b + x)));
        }
        return hsum_sad256(acc);
    }
    __m128i acc = _mm_setzero_si128();
    if (w == 8) {
        #pragma GCC unroll 8
        for (int r = 0; r < rows; r += 2, a += 2 * as, b += 2 * bs)
            acc = _mm_add_epi32(acc, _mm_sad_epu8(load8x2(a, a + as), load8x2(b, b + bs)));
    } else {   // w == 4: rows is 2 or 4
        __m128i va = load4x2(a, a + as), vb = load4x2(b, b + bs);
        if (rows == 4) {
            va = _mm_unpacklo_epi64(va, load4x2(a + 2 * as, a + 3 * as));
            vb = _mm_unpacklo_epi64(vb, load4x2(b + 2 * bs, b + 3 * bs));
        }
        acc = _mm_sad_epu8(va, vb);
    }
    return hsum_sad128(acc);
}

#define TV_SAD_AVX2(w, h, sfx) \
    TV_PAIR_METRIC(sad_##w##x##h##_##sfx) { return sad_rows(a, a_stride, b, b_stride, w, h, 1); }
TV_SAD_AVX2(64, 64, avx2) TV_SAD_AVX2(32, 32, avx2) TV_SAD_AVX2(16, 16, avx2)
TV_SAD_AVX2(8, 8, avx) TV_SAD_AVX2(4, 4, avx)

// Height-parameterised cores of the wide every-second-row forms.
static uint32_t sad_sub_32xh_avx2(const uint8_t *a, int a_stride, const uint8_t *b, int b_stride, int h)
{
    return h > 0 ? 2 * sad_rows(a, a_stride, b, b_stride, 32, h, 2) : 0;
}

static uint32_t sad_sub_64xh_avx2(const uint8_t *a, int a_stride, const uint8_t *b, int b_stride, int h)
{
    return h > 0 ? 2 * sad_rows(a, a_stride, b, b_stride, 64, h, 2) : 0;
}

TV_PAIR_METRIC(sad_sub_64x64_avx2) { return sad_sub_64xh_avx2(a, a_stride, b, b_stride, 64); }
TV_PAIR_METRIC(sad_sub_64x32_avx2) { return sad_sub_64xh_avx2(a, a_stride, b, b_stride, 32); }
TV_PAIR_METRIC(sad_sub_32x32_avx2) { return sad_sub_32xh_avx2(a, a_stride, b, b_stride, 32); }
TV_PAIR_METRIC(sad_sub_32x16_avx2) { return sad_sub_32xh_avx2(a, a_stride, b, b_stride, 16); }
TV_PAIR_METRIC(sad_sub_32x64_avx2) { return sad_sub_32xh_avx2(a, a_stride, b, b_stride, 64); }
TV_PAIR_METRIC(sad_sub_16x16_avx2) { return 2 * sad_rows(a, a_stride, b, b_stride, 16, 16, 2); }
TV_PAIR_METRIC(sad_sub_8x8_avx) { return 2 * sad_rows(a, a_stride, b, b_stride, 8, 8, 2); }
TV_PAIR_METRIC(sad_sub_4x4_avx) { return 2 * sad_rows(a, a_stride, b, b_stride, 4, 4, 2); }

// ---- Multi-candidate forms ----
// The source block has row stride 64; the used rows are 0, 2, 4, ..., so the
// source steps 128 bytes per used row. Each candidate keeps its own
// accumulator; horizontal adds fold them into one vector (c0, c1, c2, c3).

enum { SRC_ROW2 = 128 };

// (c0, c1, c2, c3) of up to four 256-bit byte-SAD accumulators (missing ones zero).
TV_INLINE __m128i fold256(const __m256i *acc, int k)
{
    __m256i z = _mm256_setzero_si256();
    __m256i h01 = _mm256_hadd_epi32(acc[0], acc[1]);
    __m256i h23 = _mm256_hadd_epi32(k > 2 ? acc[2] : z, k > 3 ? acc[3] : z);
    __m256i h = _mm256_hadd_epi32(h01, h23);
    return _mm_add_epi32(_mm256_castsi256_si128(h), _mm256_extracti128_si256(h, 1));
}

TV_INLINE __m128i fold128(const __m128i *acc, int k)
{
    __m128i z = _mm_setzero_si128();
    __m128i h01 = _mm_hadd_epi32(acc[0], acc[1]);
    __m128i h23 = _mm_hadd_epi32(k > 2 ? acc[2] : z, k > 3 ? acc[3] : z);
    return _mm_hadd_epi32(h01, h23);
}

// Writes exactly k doubled totals.
TV_INLINE void store_k(uint32_t *out, __m128i totals, int k)
{
    totals = _mm_slli_epi32(totals, 1);
    if (k == 4) {
        _mm_storeu_si128((__m128i *)out, totals);
        return;
    }
    _mm_storel_epi64((__m128i *)out, totals);
    if (k == 3) out[2] = (uint32_t)_mm_extract_epi32(totals, 2);
}

// Adds the byte-SADs of one source vector against the rows of k candidates
// (k = 2, 3, 4) at byte offset off; the accumulators stay in registers.
#define TV_SAD_XK_STEP(add, sad, s, load, off)                                   \
    do {                                                                         \
        a0 = add(a0, sad(s, load(c0 + (off))));                                  \
        a1 = add(a1, sad(s, load(c1 + (off))));                                  \
        if (k > 2) a2 = add(a2, sad(s, load(c2 + (off))));                       \
        if (k > 3) a3 = add(a3, sad(s, load(c3 + (off))));                       \
    } while (0)

// Row pair y, y + 2 of a 16-wide candidate in one vector.
#define TV_LOAD16_ROWPAIR(p) load16x2((p), (p) + cs2)
#define TV_LOAD8_ROWPAIR(p) load8x2((p), (p) + cs2)

TV_INLINE void sad_xk(const uint8_t *src, const uint8_t *const *c, int k, int cand_stride, uint32_t *out, int w,
                      int h)
{
    ptrdiff_t cs2 = 2 * (ptrdiff_t)cand_stride;
    const uint8_t *c0 = c[0], *c1 = c[1], *c2 = k > 2 ? c[2] : c[0], *c3 = k > 3 ? c[3] : c[0];
    if (w >= 16) {
        __m256i a0 = _mm256_setzero_si256(), a1 = a0, a2 = a0, a3 = a0;
        if (w == 16) {
            // Two used rows per vector: row y low, row y + 2 high.
            for (int y = 0; y < h; y += 4, src += 2 * SRC_ROW2) {
                __m256i s = _mm256_inserti128_si256(
                    _mm256_castsi128_si256(_mm_loadu_si128((const __m128i *)src)),
                    _mm_loadu_si128((const __m128i *)(src + SRC_ROW2)), 1);
                ptrdiff_t off = (ptrdiff_t)(y / 2) * cs2;
                TV_SAD_XK_STEP(_mm256_add_epi32, _mm256_sad_epu8, s, TV_LOAD16_ROWPAIR, off);
            }
        } else {
            for (int y = 0; y < h; y += 2, src += SRC_ROW2) {
                ptrdiff_t off = (ptrdiff_t)(y / 2) * cs2;
                __m256i s = _mm256_loadu_si256((const __m256i *)src);
                TV_SAD_XK_STEP(_mm256_add_epi32, _mm256_sad_epu8, s, load32, off);
                if (w == 64) {
                    s = _mm256_loadu_si256((const __m256i *)(src + 32));
                    TV_SAD_XK_STEP(_mm256_add_epi32, _mm256_sad_epu8, s, load32, off + 32);
                }
            }
        }
        __m256i acc[4] = {a0, a1, a2, a3};
        store_k(out, fold256(acc, k), k);
        return;
    }
    __m128i a0 = _mm_setzero_si128(), a1 = a0, a2 = a0, a3 = a0;
    if (w == 8) {
        for (int y = 0; y < h; y += 4, src += 2 * SRC_ROW2) {
            __m128i s = load8x2(src, src + SRC_ROW2);
            ptrdiff_t off = (ptrdiff_t)(y / 2) * cs2;
            TV_SAD_XK_STEP(_mm_add_epi32, _mm_sad_epu8, s, TV_LOAD8_ROWPAIR, off);
        }
    } else {   // 4x4: used rows 0 and 2
        __m128i s = load4x2(src, src + SRC_ROW2);
        a0 = _mm_sad_epu8(s, load4x2(c0, c0 + cs2));
        a1 = _mm_sad_epu8(s, load4x2(c1, c1 + cs2));
        if (k > 2) a2 = _mm_sad_epu8(s, load4x2(c2, c2 + cs2));
        if (k > 3) a3 = _mm_sad_epu8(s, load4x2(c3, c3 + cs2));
    }
    __m128i acc[4] = {a0, a1, a2, a3};
    store_k(out, fold128(acc, k), k);
}


static void sad_x4_sub_64xh_avx2(const uint8_t *src, const uint8_t *c0, const uint8_t *c1, const uint8_t *c2,
                                 const uint8_t *c3, int cand_stride, uint32_t *out, int h)
{
    const uint8_t *c[4] = {c0, c1, c2, c3};
    sad_xk(src, c, 4, cand_stride, out, 64, h);
}

#define TV_X4_AVX2(w, h, sfx)                                \
    TV_SAD_X4(sad_x4_sub_##w##x##h##_##sfx)                  \
    {                                                        \
        const uint8_t *c[4] = {c0, c1, c2, c3};              \
        sad_xk(src, c, 4, cand_stride, out, w, h);           \
    }
TV_SAD_X4(sad_x4_sub_64x64_avx2) { sad_x4_sub_64xh_avx2(src, c0, c1, c2, c3, cand_stride, out, 64); }
TV_SAD_X4(sad_x4_sub_64x32_avx2) { sad_x4_sub_64xh_avx2(src, c0, c1, c2, c3, cand_stride, out, 32); }
TV_X4_AVX2(32, 32, avx2) TV_X4_AVX2(32, 16, avx2) TV_X4_AVX2(32, 64, avx2)

#define TV_X3_AVX2(w, h, sfx)                                \
    TV_SAD_X3(sad_x3_sub_##w##x##h##_##sfx)                  \
    {                                                        \
        const uint8_t *c[3] = {c0, c1, c2};                  \
        sad_xk(src, c, 3, cand_stride, out, w, h);           \
    }
TV_X3_AVX2(64, 64, avx2) TV_X3_AVX2(32, 32, avx2) TV_X3_AVX2(16, 16, avx) TV_X3_AVX2(8, 8, avx)
TV_X3_AVX2(4, 4, avx)

#define TV_X2_AVX2(w, h, sfx)                                \
    TV_SAD_X2(sad_x2_sub_##w##x##h##_##sfx)                  \
    {                                                        \
        const uint8_t *c[2] = {c0, c1};                      \
        sad_xk(src, c, 2, cand_stride, out, w, h);           \
    }
TV_X2_AVX2(64, 64, avx2) TV_X2_AVX2(32, 32, avx2) TV_X2_AVX2(16, 16, avx) TV_X2_AVX2(8, 8, avx)
TV_X2_AVX2(4, 4, avx)
