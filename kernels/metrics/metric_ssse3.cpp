// SSSE3 forms of SSE, SATD and SA8D (with a few SSE4.1 operations; the table
// installs them only where both instruction sets exist). Each returns exactly
// the value of its portable form: differences fit 16 bits, Hadamard
// coefficients 15 bits, and every 16-bit lane sum stays below 65536.
#include <immintrin.h>

#include "kernels/metrics/metric.h"
#include "kernels/metrics/metric_compose.h"
#include "kernels/metrics/metric_simd.h"

// Eight samples of a - b as signed 16-bit lanes.
static inline __m128i diff8(__m128i a8, __m128i b8)
{
    __m128i z = _mm_setzero_si128();
    return _mm_sub_epi16(_mm_unpacklo_epi8(a8, z), _mm_unpacklo_epi8(b8, z));
}

// ---- SSE ----

// Squares of eight differences, pair-summed into four 32-bit lanes (each at most 130,050).
static inline __m128i sq8(const uint8_t *a, const uint8_t *b)
{
    __m128i d = diff8(load8(a), load8(b));
    return _mm_madd_epi16(d, d);
}

// n x n for n = 8..64: at most 266,342,400, so 32-bit lanes suffice.
static uint32_t sse_nxn_ssse3(const uint8_t *a, int a_stride, const uint8_t *b, int b_stride, int n)
{
    __m128i acc = _mm_setzero_si128();
    for (int y = 0; y < n; y++) {
        const uint8_t *pa = block_at(a, a_stride, 0, y);
        const uint8_t *pb = block_at(b, b_stride, 0, y);
        for (int x = 0; x < n; x += 8) acc = _mm_add_epi32(acc, sq8(pa + x, pb + x));
    }
    return hsum32(acc);
}

TV_PAIR_METRIC(sse_64x64_ssse3) { return sse_nxn_ssse3(a, a_stride, b, b_stride, 64); }
TV_PAIR_METRIC(sse_32x32_ssse3) { return sse_nxn_ssse3(a, a_stride, b, b_stride, 32); }
TV_PAIR_METRIC(sse_16x16_ssse3) { return sse_nxn_ssse3(a, a_stride, b, b_stride, 16); }
TV_PAIR_METRIC(sse_8x8_ssse3) { return sse_nxn_ssse3(a, a_stride, b, b_stride, 8); }

// Widens four unsigned 32-bit lanes into the two 64-bit lanes of acc64.
static inline __m128i add_lanes64(__m128i acc64, __m128i lanes32)
{
    __m128i z = _mm_setzero_si128();
    acc64 = _mm_add_epi64(acc64, _mm_unpacklo_epi32(lanes32, z));
    return _mm_add_epi64(acc64, _mm_unpackhi_epi32(lanes32, z));
}

// A 16-sample chunk adds at most 260,100 to a lane; flushing the 32-bit lanes
// into 64-bit sums every 4096 chunks keeps them far from wrapping.
enum { SSE_FLUSH_CHUNKS = 4096 };

uint64_t sse_wxh_ssse3(const uint8_t *a, int a_stride, const uint8_t *b, int b_stride, int width, int height)
{
    if (width < 1 || height < 1) return 0;
    __m128i z = _mm_setzero_si128();
    __m128i acc64 = z;
    uint64_t scalar = 0;
    int w16 = width & ~15;
    for (int y = 0; y < height; y++) {
        const uint8_t *pa = block_at(a, a_stride, 0, y);
        const uint8_t *pb = block_at(b, b_stride, 0, y);
        __m128i acc = z;
        int chunks = 0;
        for (int x = 0; x < w16; x += 16) {
            __m128i va = load16(pa + x);
            __m128i vb = load16(pb + x);
            __m128i dl = _mm_sub_epi16(_mm_unpacklo_epi8(va, z), _mm_unpacklo_epi8(vb, z));
            __m128i dh = _mm_sub_epi16(_mm_unpackhi_epi8(va, z), _mm_unpackhi_epi8(vb, z));
            acc = _mm_add_epi32(acc, _mm_add_epi32(_mm_madd_epi16(dl, dl), _mm_madd_epi16(dh, dh)));
            if (++chunks == SSE_FLUSH_CHUNKS) {
                acc64 = add_lanes64(acc64, acc);
                acc = z;
                chunks = 0;
            }
        }
        int x = w16;
        if (width & 8) {
            acc = _mm_add_epi32(acc, sq8(pa + x, pb + x));
            x += 8;
        }
        acc64 = add_lanes64(acc64, acc);
        for (; x < width; x++) {
            int d = pa[x] - pb[x];
            scalar += (uint32_t)(d * d);
        }
    }
    acc64 = _mm_add_epi64(acc64, _mm_unpackhi_epi64(acc64, acc64));
    return (uint64_t)_mm_cvtsi128_si64(acc64) + scalar;
}

// ---- SATD ----

// Rows r0..r3 hold two 4-wide blocks side by side (lanes 0-3 and 4-7). Returns
// S4(left) + S4(right): the sum of the 32 absolute 4x4 Hadamard coefficients
// (four per lane, at most 4 x 4080, well inside a signed lane).
static inline uint32_t hadamard4_pair_abs_sum(__m128i r0, __m128i r1, __m128i r2, __m128i r3)
{
    return hsum32(_mm_madd_epi16(hadamard4_abs(r0, r1, r2, r3), _mm_set1_epi16(1)));
}

TV_PAIR_METRIC(satd_4x4_ssse3)
{
    __m128i r[4];
    #pragma GCC unroll 8
    for (int y = 0; y < 4; y++)
        r[y] = diff8(load4(block_at(a, a_stride, 0, y)), load4(block_at(b, b_stride, 0, y)));
    return hadamard4_pair_abs_sum(r[0], r[1], r[2], r[3]) >> 1;
}

// The two halves stacked: row y of the top block beside row y of the bottom one.
TV_PAIR_METRIC(satd_4x8_ssse3)
{
    __m128i r[4];
    #pragma GCC unroll 8
    for (int y = 0; y < 4; y++) {
        __m128i ra = _mm_unpacklo_epi32(load4(block_at(a, a_stride, 0, y)), load4(block_at(a, a_stride, 0, y + 4)));
        __m128i rb = _mm_unpacklo_epi32(load4(block_at(b, b_stride, 0, y)), load4(block_at(b, b_stride, 0, y + 4)));
        r[y] = diff8(ra, rb);
    }
    return hadamard4_pair_abs_sum(r[0], r[1], r[2], r[3]) >> 1;
}

TV_PAIR_METRIC(satd_8x4_ssse3)
{
    __m128i r[4];
    #pragma GCC unroll 8
    for (int y = 0; y < 4; y++)
        r[y] = diff8(load8(block_at(a, a_stride, 0, y)), load8(block_at(b, b_stride, 0, y)));
    return hadamard4_pair_abs_sum(r[0], r[1], r[2], r[3]) >> 1;
}

TV_PAIR_METRIC(satd_8x8_ssse3)
{
    return satd_8x4_ssse3(a, a_stride, b, b_stride) +
           satd_8x4_ssse3(block_at(a, a_stride, 0, 4), a_stride, block_at(b, b_stride, 0, 4), b_stride);
}

// ---- SA8D ----

TV_PAIR_METRIC(sa8d_8x8_raw_ssse3)
{
    __m128i r[8];
    #pragma GCC unroll 8
    for (int y = 0; y < 8; y++)
        r[y] = diff8(load8(block_at(a, a_stride, 0, y)), load8(block_at(b, b_stride, 0, y)));
    hadamard_columns<8>(r);
    // Each lane ends with 8 absolute coefficients of the block: at most 65,280
    // as an unsigned 16-bit value, so widen without sign.
    return hsum32(widen_u16(hadamard8_rows_abs(r, 8)));
}

TV_DEFINE_SA8D_FAMILY(ssse3, sa8d_8x8_raw_ssse3)

// ---- Hadamard AC energy of an 8x4 block ----

uint32_t hadamard_ac_8x4_ssse3(const uint8_t *p, int stride)
{
    __m128i z = _mm_setzero_si128();
    __m128i r[4];
    #pragma GCC unroll 8
    for (int y = 0; y < 4; y++) r[y] = _mm_unpacklo_epi8(load8(block_at(p, stride, 0, y)), z);
    // Even lanes hold the left half's coefficients, odd lanes the right half's;
    // lanes 0 and 1 of u0 are the two DC values (sums of 16 samples).
    __m128i u0;
    __m128i sum = hadamard4_abs(r[0], r[1], r[2], r[3], &u0);
    uint32_t left = hsum32(_mm_and_si128(sum, _mm_set1_epi32(0xffff)));
    uint32_t right = hsum32(_mm_srli_epi32(sum, 16));
    left -= (uint32_t)_mm_extract_epi16(u0, 0);
    right -= (uint32_t)_mm_extract_epi16(u0, 1);
    return ((right >> 1) << 16) | (left >> 1);
}
