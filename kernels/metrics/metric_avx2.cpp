// AVX2 forms of SSE, SATD and SA8D. Each returns exactly the value of its
// portable form: differences are formed in 16-bit lanes, Hadamard sums of one
// block are widened to 32 bits before they meet the sums of another block, and
// the any-size SSE keeps 64-bit totals.
//
// The SA8D kernels of 16x16 and larger do not add the 16-bit lane sums of
// their four 8x8 blocks with saturation (which falls short of the portable
// value for near-full-range blocks): every 8x8 block's sum is widened on its own.
#include <immintrin.h>

#include "kernels/metrics/metric.h"
#include "kernels/metrics/metric_compose.h"
#include "kernels/metrics/metric_simd.h"

// Sixteen samples of a - b as signed 16-bit lanes (bytes 0-7 in the low half).
TV_INLINE __m256i diff16(__m128i a16, __m128i b16)
{
    return _mm256_sub_epi16(_mm256_cvtepu8_epi16(a16), _mm256_cvtepu8_epi16(b16));
}

TV_INLINE uint32_t hsum32(__m256i v)
{
    return hsum32(_mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1)));
}

// ---- SSE ----

// Squares of sixteen differences, pair-summed into eight 32-bit lanes (each at most 130,050).
TV_INLINE __m256i sq16(__m128i a16, __m128i b16)
{
    __m256i d = diff16(a16, b16);
    return _mm256_madd_epi16(d, d);
}

// n x n for n = 8..64: at most 266,342,400 in total, so 32-bit lanes suffice.
TV_INLINE uint32_t sse_nxn(const uint8_t *a, int a_stride, const uint8_t *b, int b_stride, int n)
{
    __m256i acc = _mm256_setzero_si256();
    for (int y = 0; y < n; y += n == 8 ? 2 : 1) {
        const uint8_t *pa = block_at(a, a_stride, 0, y);
        const uint8_t *pb = block_at(b, b_stride, 0, y);
        if (n == 8) {
            acc = _mm256_add_epi32(acc, sq16(load8x2(pa, pa + a_stride), load8x2(pb, pb + b_stride)));
            continue;
        }
        for (int x = 0; x < n; x += 16) acc = _mm256_add_epi32(acc, sq16(load16(pa + x), load16(pb + x)));
    }
    return hsum32(acc);
}

TV_PAIR_METRIC(sse_64x64_avx2) { return sse_nxn(a, a_stride, b, b_stride, 64); }
TV_PAIR_METRIC(sse_32x32_avx2) { return sse_nxn(a, a_stride, b, b_stride, 32); }
TV_PAIR_METRIC(sse_16x16_avx2) { return sse_nxn(a, a_stride, b, b_stride, 16); }
TV_PAIR_METRIC(sse_8x8_avx2) { return sse_nxn(a, a_stride, b, b_stride, 8); }

// Four 4-byte rows joined into one vector, widened and squared in 128-bit lanes.
TV_PAIR_METRIC(sse_4x4_avx)
{
    __m128i z = _mm_setzero_si128();
    __m128i va = _mm_unpacklo_epi64(_mm_unpacklo_epi32(load4(a), load4(block_at(a, a_stride, 0, 1))),
                                    _mm_unpacklo_epi32(load4(block_at(a, a_stride, 0, 2)), load4(block_at(a, a_stride, 0, 3))));
    __m128i vb = _mm_unpacklo_epi64(_mm_unpacklo_epi32(load4(b), load4(block_at(b, b_stride, 0, 1))),
                                    _mm_unpacklo_epi32(load4(block_at(b, b_stride, 0, 2)), load4(block_at(b, b_stride, 0, 3))));
    __m128i dl = _mm_sub_epi16(_mm_unpacklo_epi8(va, z), _mm_unpacklo_epi8(vb, z));
    __m128i dh = _mm_sub_epi16(_mm_unpackhi_epi8(va, z), _mm_unpackhi_epi8(vb, z));
    return hsum32(_mm_add_epi32(_mm_madd_epi16(dl, dl), _mm_madd_epi16(dh, dh)));
}

// Row pieces of sse_wxh_avx2. Each returns its exact 32-bit sum; 32 samples
// give at most 2,080,800.
TV_INLINE uint32_t sse_row_32_avx2(const uint8_t *a, const uint8_t *b)
{
    return hsum32(_mm256_add_epi32(sq16(load16(a), load16(b)), sq16(load16(a + 16), load16(b + 16))));
}

TV_INLINE uint32_t sse_row_16_avx(const uint8_t *a, const uint8_t *b) { return hsum32(sq16(load16(a), load16(b))); }

TV_INLINE uint32_t sse_row_8_avx(const uint8_t *a, const uint8_t *b)
{
    __m128i d = _mm_sub_epi16(_mm_cvtepu8_epi16(load8(a)), _mm_cvtepu8_epi16(load8(b)));
    return hsum32(_mm_madd_epi16(d, d));
}

TV_INLINE uint32_t sse_row_4_avx(const uint8_t *a, const uint8_t *b)
{
    __m128i d = _mm_sub_epi16(_mm_cvtepu8_epi16(load4(a)), _mm_cvtepu8_epi16(load4(b)));
    return (uint32_t)_mm_cvtsi128_si32(_mm_add_epi32(_mm_madd_epi16(d, d), _mm_srli_si128(_mm_madd_epi16(d, d), 4)));
}

// n / 64 chunks of 64 samples of one row, added into 64-bit totals. A chunk
// adds at most 520,200 to each 32-bit lane; the lanes are flushed into the
// 64-bit totals every 4096 chunks, far below wrapping.
enum { SSE_FLUSH_CHUNKS = 4096 };

TV_INLINE __m256i add_lanes64(__m256i acc64, __m256i lanes32)
{
    __m256i z = _mm256_setzero_si256();
    acc64 = _mm256_add_epi64(acc64, _mm256_unpacklo_epi32(lanes32, z));
    return _mm256_add_epi64(acc64, _mm256_unpackhi_epi32(lanes32, z));
}

static __m256i sse_row_x64_avx2(const uint8_t *a, const uint8_t *b, int n, __m256i acc64)
{
    __m256i acc = _mm256_setzero_si256();
    int chunks = 0;
    for (int x = 0; x < n; x += 64) {
        __m256i s0 = _mm256_add_epi32(sq16(load16(a + x), load16(b + x)), sq16(load16(a + x + 16), load16(b + x + 16)));
        __m256i s1 = _mm256_add_epi32(sq16(load16(a + x + 32), load16(b + x + 32)),
                                      sq16(load16(a + x + 48), load16(b + x + 48)));
        acc = _mm256_add_epi32(acc, _mm256_add_epi32(s0, s1));
        if (++chunks == SSE_FLUSH_CHUNKS) {
            acc64 = add_lanes64(acc64, acc);
            acc = _mm256_setzero_si256();
            chunks = 0;
        }
    }
    return add_lanes64(acc64, acc);
}

// Per row: 64-sample chunks, then one piece each of 32, 16, 8 and 4 samples as
// the width's bits ask, then single samples; every total in 64 bits.
uint64_t sse_wxh_avx2(const uint8_t *a, int a_stride, const uint8_t *b, int b_stride, int width, int height)
{
    if (width < 1 || height < 1) return 0;
    __m256i acc64 = _mm256_setzero_si256();
    uint64_t total = 0;
    int w64 = width & ~63;
    for (int y = 0; y < height; y++) {
        const uint8_t *pa = block_at(a, a_stride, 0, y);
        const uint8_t *pb = block_at(b, b_stride, 0, y);
        if (w64) acc64 = sse_row_x64_avx2(pa, pb, w64, acc64);
        int x = w64;
        uint32_t row = 0;   // at most 63 samples here: below 4,100,000
        if (width & 32) { row += sse_row_32_avx2(pa + x, pb + x); x += 32; }
        if (width & 16) { row += sse_row_16_avx(pa + x, pb + x); x += 16; }
        if (width & 8) { row += sse_row_8_avx(pa + x, pb + x); x += 8; }
        if (width & 4) { row += sse_row_4_avx(pa + x, pb + x); x += 4; }
        for (; x < width; x++) {
            int d = pa[x] - pb[x];
            row += (uint32_t)(d * d);
        }
        total += row;
    }
    __m128i t = _mm_add_epi64(_mm256_castsi256_si128(acc64), _mm256_extracti128_si256(acc64, 1));
    t = _mm_add_epi64(t, _mm_unpackhi_epi64(t, t));
    return total + (uint64_t)_mm_cvtsi128_si64(t);
}

// ---- SATD ----

TV_PAIR_METRIC(satd_4x4_avx)
{
    __m128i z = _mm_setzero_si128();
    __m128i r[4];
    #pragma GCC unroll 8
    for (int y = 0; y < 4; y++)
        r[y] = _mm_sub_epi16(_mm_unpacklo_epi8(load4(block_at(a, a_stride, 0, y)), z),
                             _mm_unpacklo_epi8(load4(block_at(b, b_stride, 0, y)), z));
    __m128i sum = hadamard4_abs(r[0], r[1], r[2], r[3]);
    return hsum32(_mm_madd_epi16(sum, _mm_set1_epi16(1))) >> 1;
}

// 8x8: row y in the low half, row y + 4 in the high half; four 4x4 blocks at once.
TV_PAIR_METRIC(satd_8x8_avx2)
{
    __m256i r[4];
    #pragma GCC unroll 8
    for (int y = 0; y < 4; y++)
        r[y] = diff16(load8x2(block_at(a, a_stride, 0, y), block_at(a, a_stride, 0, y + 4)),
                      load8x2(block_at(b, b_stride, 0, y), block_at(b, b_stride, 0, y + 4)));
    __m256i sum = hadamard4_abs(r[0], r[1], r[2], r[3]);
    return hsum32(_mm256_madd_epi16(sum, _mm256_set1_epi16(1))) >> 1;
}

// Sum of the S4 values of the sixteen 4x4 blocks of a 16x16 block, per 32-bit
// lane. A 16-bit lane collects 4 coefficients of each of four blocks (at most
// 32,640, so the signed multiply-add widening is exact).
TV_INLINE __m256i satd_16x16_unit(const uint8_t *a, int a_stride, const uint8_t *b, int b_stride)
{
    __m256i sum = _mm256_setzero_si256();
    for (int y = 0; y < 16; y += 4) {
        __m256i r[4];
        #pragma GCC unroll 8
        for (int i = 0; i < 4; i++)
            r[i] = diff16(load16(block_at(a, a_stride, 0, y + i)), load16(block_at(b, b_stride, 0, y + i)));
        sum = _mm256_add_epi16(sum, hadamard4_abs(r[0], r[1], r[2], r[3]));
    }
    return _mm256_madd_epi16(sum, _mm256_set1_epi16(1));
}

TV_INLINE uint32_t satd_nxn(const uint8_t *a, int a_stride, const uint8_t *b, int b_stride, int n)
{
    __m256i acc = _mm256_setzero_si256();
    for (int y = 0; y < n; y += 16)
        for (int x = 0; x < n; x += 16)
            acc = _mm256_add_epi32(acc, satd_16x16_unit(block_at(a, a_stride, x, y), a_stride,
                                                        block_at(b, b_stride, x, y), b_stride));
    // Every S4 is even, so halving the total equals halving each pair.
    return hsum32(acc) >> 1;
}

TV_PAIR_METRIC(satd_16x16_avx2) { return satd_nxn(a, a_stride, b, b_stride, 16); }
TV_PAIR_METRIC(satd_32x32_avx2) { return satd_nxn(a, a_stride, b, b_stride, 32); }
TV_PAIR_METRIC(satd_64x64_avx2) { return satd_nxn(a, a_stride, b, b_stride, 64); }

// ---- SA8D ----

// Eight row vectors, each 128-bit half one row of its own 8x8 block. Returns
// per 16-bit lane half the absolute coefficients of the block in that half:
// the low half sums to R8 / 2 of the low block, the high half to R8 / 2 of
// the high block.
//
// The vertical transform runs lane-wise; the two 8x8 blocks are then
// transposed within their halves (unpacks never cross halves), so that the
// horizontal transform also runs lane-wise instead of through the costlier
// pairwise adds. Its last butterfly is never formed: |p + q| + |p - q| =
// 2 max(|p|, |q|), and the doubling is left to the rounding (R8 is even). A
// 16-bit lane then holds four such maxima of one block (at most 23,080: the
// absolute values of one 8-point transform of the columns sum to at most
// 46,160), so the signed multiply-add widens it exactly.
TV_INLINE void butterfly(__m256i *p, __m256i *q)
{
    __m256i s = _mm256_add_epi16(*p, *q);
    *q = _mm256_sub_epi16(*p, *q);
    *p = s;
}

TV_INLINE __m256i hadamard8_pair_half(__m256i *r)
{
    hadamard_columns<8>(r);
    // Rows to columns within each half.
    __m256i a0 = _mm256_unpacklo_epi16(r[0], r[1]), a1 = _mm256_unpackhi_epi16(r[0], r[1]);
    __m256i a2 = _mm256_unpacklo_epi16(r[2], r[3]), a3 = _mm256_unpackhi_epi16(r[2], r[3]);
    __m256i a4 = _mm256_unpacklo_epi16(r[4], r[5]), a5 = _mm256_unpackhi_epi16(r[4], r[5]);
    __m256i a6 = _mm256_unpacklo_epi16(r[6], r[7]), a7 = _mm256_unpackhi_epi16(r[6], r[7]);
    __m256i b0 = _mm256_unpacklo_epi32(a0, a2), b1 = _mm256_unpackhi_epi32(a0, a2);
    __m256i b2 = _mm256_unpacklo_epi32(a1, a3), b3 = _mm256_unpackhi_epi32(a1, a3);
    __m256i b4 = _mm256_unpacklo_epi32(a4, a6), b5 = _mm256_unpackhi_epi32(a4, a6);
    __m256i b6 = _mm256_unpacklo_epi32(a5, a7), b7 = _mm256_unpackhi_epi32(a5, a7);
    __m256i c0 = _mm256_unpacklo_epi64(b0, b4), c1 = _mm256_unpackhi_epi64(b0, b4);
    __m256i c2 = _mm256_unpacklo_epi64(b1, b5), c3 = _mm256_unpackhi_epi64(b1, b5);
    __m256i c4 = _mm256_unpacklo_epi64(b2, b6), c5 = _mm256_unpackhi_epi64(b2, b6);
    __m256i c6 = _mm256_unpacklo_epi64(b3, b7), c7 = _mm256_unpackhi_epi64(b3, b7);
    butterfly(&c0, &c4);
    butterfly(&c1, &c5);
    butterfly(&c2, &c6);
    butterfly(&c3, &c7);
    butterfly(&c0, &c2);
    butterfly(&c1, &c3);
    butterfly(&c4, &c6);
    butterfly(&c5, &c7);
    __m256i m01 = _mm256_max_epi16(_mm256_abs_epi16(c0), _mm256_abs_epi16(c1));
    __m256i m23 = _mm256_max_epi16(_mm256_abs_epi16(c2), _mm256_abs_epi16(c3));
    __m256i m45 = _mm256_max_epi16(_mm256_abs_epi16(c4), _mm256_abs_epi16(c5));
    __m256i m67 = _mm256_max_epi16(_mm256_abs_epi16(c6), _mm256_abs_epi16(c7));
    __m256i sum = _mm256_add_epi16(_mm256_add_epi16(m01, m23), _mm256_add_epi16(m45, m67));
    return _mm256_madd_epi16(sum, _mm256_set1_epi16(1));
}


// Half the R8 values of the 8x8 blocks at columns 0 and 8 of a 16x8 block,
// spread over eight 32-bit lanes (the low half the left block's). The rows
// are reached from two pointers and the strides times 1, 2 and 3, so that a
// caller walking several blocks keeps few row addresses live.
TV_INLINE __m256i half_raw_16x8(const uint8_t *a, ptrdiff_t as, const uint8_t *b, ptrdiff_t bs)
{
    const uint8_t *a4 = a + 4 * as, *b4 = b + 4 * bs;
    __m256i r[8];
    r[0] = diff16(load16(a), load16(b));
    r[1] = diff16(load16(a + as), load16(b + bs));
    r[2] = diff16(load16(a + 2 * as), load16(b + 2 * bs));
    r[3] = diff16(load16(a + 3 * as), load16(b + 3 * bs));
    r[4] = diff16(load16(a4), load16(b4));
    r[5] = diff16(load16(a4 + as), load16(b4 + bs));
    r[6] = diff16(load16(a4 + 2 * as), load16(b4 + 2 * bs));
    r[7] = diff16(load16(a4 + 3 * as), load16(b4 + 3 * bs));
    return hadamard8_pair_half(r);
}

// The rounding of a group from half its raw sum s: (2s + 2) >> 2 = (s + 1) >> 1.
TV_INLINE uint32_t round_half(uint32_t s) { return (s + 1) >> 1; }

// R8 of one 8x8 block with row y in the low half and row y + 4 in the high
// half of four vectors. The vertical stages on row bits 0 and 1 run lane-wise;
// the stage on bit 2 pairs the halves: the low half keeps the sums, the high
// half the differences (negated, which no absolute value sees).
TV_INLINE uint32_t raw_8x8(const uint8_t *a, int a_stride, const uint8_t *b, int b_stride)
{
    __m256i r[4];
    #pragma GCC unroll 8
    for (int y = 0; y < 4; y++)
        r[y] = diff16(load8x2(block_at(a, a_stride, 0, y), block_at(a, a_stride, 0, y + 4)),
                      load8x2(block_at(b, b_stride, 0, y), block_at(b, b_stride, 0, y + 4)));
    hadamard_columns<4>(r);
    #pragma GCC unroll 8
    for (int i = 0; i < 4; i++) {
        __m256i swapped = _mm256_permute2x128_si256(r[i], r[i], 1);
        r[i] = _mm256_blend_epi32(_mm256_add_epi16(r[i], swapped), _mm256_sub_epi16(r[i], swapped), 0xf0);
    }
    // Horizontal transform of two rows at a time; each 16-bit lane ends with
    // 4 absolute coefficients (at most 65,280 together, unsigned).
    return hsum32(widen_u16(hadamard8_rows_abs(r, 4)));
}

TV_PAIR_METRIC(sa8d_8x8_avx2) { return (raw_8x8(a, a_stride, b, b_stride) + 2) >> 2; }
TV_PAIR_METRIC(sa8d_16x8_avx2) { return round_half(hsum32(half_raw_16x8(a, a_stride, b, b_stride))); }

// 8x16: row y of the top block beside row y of the bottom block; each half
// rounded by itself. Two pairwise adds gather the top block's sum in the low
// half and the bottom block's in the high half.
TV_PAIR_METRIC(sa8d_8x16_avx2)
{
    __m256i r[8];
    #pragma GCC unroll 8
    for (int y = 0; y < 8; y++)
        r[y] = diff16(load8x2(block_at(a, a_stride, 0, y), block_at(a, a_stride, 0, y + 8)),
                      load8x2(block_at(b, b_stride, 0, y), block_at(b, b_stride, 0, y + 8)));
    __m256i s = hadamard8_pair_half(r);
    s = _mm256_hadd_epi32(s, s);
    s = _mm256_hadd_epi32(s, s);
    s = _mm256_srli_epi32(_mm256_add_epi32(s, _mm256_set1_epi32(1)), 1);
    return (uint32_t)_mm_cvtsi128_si32(_mm_add_epi32(_mm256_castsi256_si128(s), _mm256_extracti128_si256(s, 1)));
}

// One 16x16 rounding group: eight 32-bit lanes summing to half its raw sum
// (at most 261,120).
TV_INLINE __m256i unit_lanes(const uint8_t *a, ptrdiff_t as, const uint8_t *b, ptrdiff_t bs)
{
    return _mm256_add_epi32(half_raw_16x8(a, as, b, bs), half_raw_16x8(a + 8 * as, as, b + 8 * bs, bs));
}

// The rounded results of four groups, one per 32-bit lane: two levels of
// pairwise adds gather group i's low-half sum in lane i of the low half and
// its high-half sum in lane i of the high half.
TV_INLINE __m128i round_units4(__m256i u0, __m256i u1, __m256i u2, __m256i u3)
{
    __m256i h = _mm256_hadd_epi32(_mm256_hadd_epi32(u0, u1), _mm256_hadd_epi32(u2, u3));
    __m128i s = _mm_add_epi32(_mm256_castsi256_si128(h), _mm256_extracti128_si256(h, 1));
    return _mm_srli_epi32(_mm_add_epi32(s, _mm_set1_epi32(1)), 1);
}

// The four rounded 16x16 groups of a 32x32 block.
TV_INLINE __m128i quad_32x32(const uint8_t *a, ptrdiff_t as, const uint8_t *b, ptrdiff_t bs)
{
    __m256i u0 = unit_lanes(a, as, b, bs);
    __m256i u1 = unit_lanes(a + 16, as, b + 16, bs);
    __m256i u2 = unit_lanes(a + 16 * as, as, b + 16 * bs, bs);
    __m256i u3 = unit_lanes(a + 16 * as + 16, as, b + 16 * bs + 16, bs);
    return round_units4(u0, u1, u2, u3);
}

// One quad as a call of its own: inlined into a loop over quads, its sixteen
// row offsets per block would be kept across the loop and spill.
static __attribute__((noinline)) __m128i quad_32x32_call(const uint8_t *a, ptrdiff_t as, const uint8_t *b,
                                                         ptrdiff_t bs)
{
    return quad_32x32(a, as, b, bs);
}

// Sum over the 32x32 quads of a w x h block (w, h multiples of 32).
static uint32_t quads(const uint8_t *a, ptrdiff_t as, const uint8_t *b, ptrdiff_t bs, int w, int h)
{
    __m128i acc = _mm_setzero_si128();
    for (int y = 0; y < h; y += 32) {
        for (int x = 0; x < w; x += 32)
            acc = _mm_add_epi32(acc, quad_32x32_call(a + x, as, b + x, bs));
        a += 32 * as;
        b += 32 * bs;
    }
    return hsum32(acc);
}

// Two groups; the zero lanes of the missing two round to zero.
TV_INLINE uint32_t pair_units(const uint8_t *a0, const uint8_t *b0, const uint8_t *a1, const uint8_t *b1,
                              ptrdiff_t as, ptrdiff_t bs)
{
    __m256i z = _mm256_setzero_si256();
    return hsum32(round_units4(unit_lanes(a0, as, b0, bs), unit_lanes(a1, as, b1, bs), z, z));
}

TV_PAIR_METRIC(sa8d_16x16_avx2) { return round_half(hsum32(unit_lanes(a, a_stride, b, b_stride))); }
TV_PAIR_METRIC(sa8d_32x16_avx2) { return pair_units(a, b, a + 16, b + 16, a_stride, b_stride); }
TV_PAIR_METRIC(sa8d_16x32_avx2)
{
    return pair_units(a, b, block_at(a, a_stride, 0, 16), block_at(b, b_stride, 0, 16), a_stride, b_stride);
}
TV_PAIR_METRIC(sa8d_32x32_avx2) { return hsum32(quad_32x32_call(a, a_stride, b, b_stride)); }
TV_PAIR_METRIC(sa8d_64x32_avx2) { return quads(a, a_stride, b, b_stride, 64, 32); }
TV_PAIR_METRIC(sa8d_32x64_avx2) { return quads(a, a_stride, b, b_stride, 32, 64); }
TV_PAIR_METRIC(sa8d_64x64_avx2) { return quads(a, a_stride, b, b_stride, 64, 64); }

TV_PAIR_METRIC(sa8d_sub_16x16_avx2) { return 2 * sa8d_16x8_avx2(a, 2 * a_stride, b, 2 * b_stride); }
TV_PAIR_METRIC(sa8d_sub_32x32_avx2) { return 2 * sa8d_32x16_avx2(a, 2 * a_stride, b, 2 * b_stride); }
TV_PAIR_METRIC(sa8d_sub_64x64_avx2) { return 2 * sa8d_64x32_avx2(a, 2 * a_stride, b, 2 * b_stride); }
