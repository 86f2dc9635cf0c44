// SSSE3 forms of SSE, SATD and SA8D (with a few SSE4.1 operations; the table
// installs them only where both instruction sets exist). Each returns exactly
// the value of its portable form: differences fit 16 bits, Hadamard
// coefficients 15 bits, and every 16-bit lane sum stays below 65536.
#include <immintrin.h>

#include <cstring>

#include "kernels/metrics/metric.h"
#include "kernels/metrics/metric_compose.h"

static inline __m128i load8(const uint8_t *p)
{
    return _mm_loadl_epi64((const __m128i *)p);
}

static inline __m128i load4(const uint8_t *p)
{
    int32_t v;
    std::memcpy(&v, p, 4);
    return _mm_cvtsi32_si128(v);
}

// Eight samples of a - b as signed 16-bit lanes.
static inline __m128i diff8(__m128i a8, __m128i b8)
{
    __m128i z = _mm_setzero_si128();
    return _mm_sub_epi16(_mm_unpacklo_epi8(a8, z), _mm_unpacklo_epi8(b8, z));
}

// Adds the four 32-bit lanes (as unsigned).
static inline uint32_t hsum32(__m128i v)
{
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)));
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(2, 3, 0, 1)));
    return (uint32_t)_mm_cvtsi128_si32(v);
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
            __m128i va = _mm_loadu_si128((const __m128i *)(pa + x));
            __m128i vb = _mm_loadu_si128((const __m128i *)(pb + x));
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
// S4(left) + S4(right): the sum of the 32 absolute 4x4 Hadamard coefficients.
static inline uint32_t hadamard4_pair_abs_sum(__m128i r0, __m128i r1, __m128i r2, __m128i r3)
{
    __m128i s01 = _mm_add_epi16(r0, r1), m01 = _mm_sub_epi16(r0, r1);
    __m128i s23 = _mm_add_epi16(r2, r3), m23 = _mm_sub_epi16(r2, r3);
    __m128i v0 = _mm_add_epi16(s01, s23), v1 = _mm_add_epi16(m01, m23);
    __m128i v2 = _mm_sub_epi16(s01, s23), v3 = _mm_sub_epi16(m01, m23);
    // Two levels of pairwise add/subtract finish the 4-point transform of every row.
    __m128i t0 = _mm_hadd_epi16(v0, v1), t1 = _mm_hsub_epi16(v0, v1);
    __m128i t2 = _mm_hadd_epi16(v2, v3), t3 = _mm_hsub_epi16(v2, v3);
    __m128i u0 = _mm_hadd_epi16(t0, t1), u1 = _mm_hsub_epi16(t0, t1);
    __m128i u2 = _mm_hadd_epi16(t2, t3), u3 = _mm_hsub_epi16(t2, t3);
    // Four coefficients per lane: at most 4 x 4080, well inside a signed lane.
    __m128i sum = _mm_add_epi16(_mm_add_epi16(_mm_abs_epi16(u0), _mm_abs_epi16(u1)),
                                _mm_add_epi16(_mm_abs_epi16(u2), _mm_abs_epi16(u3)));
    return hsum32(_mm_madd_epi16(sum, _mm_set1_epi16(1)));
}

TV_PAIR_METRIC(satd_4x4_ssse3)
{
    __m128i r[4];
    for (int y = 0; y < 4; y++)
        r[y] = diff8(load4(block_at(a, a_stride, 0, y)), load4(block_at(b, b_stride, 0, y)));
    return hadamard4_pair_abs_sum(r[0], r[1], r[2], r[3]) >> 1;
}

// The two halves stacked: row y of the top block beside row y of the bottom one.
TV_PAIR_METRIC(satd_4x8_ssse3)
{
    __m128i r[4];
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

// Finishes the 8-point transform of two rows with three levels of pairwise
// add/subtract; the 16 coefficients land in *lo and *hi.
static inline void hadamard8_rows(__m128i r0, __m128i r1, __m128i *lo, __m128i *hi)
{
    __m128i a = _mm_hadd_epi16(r0, r1), b = _mm_hsub_epi16(r0, r1);
    __m128i c = _mm_hadd_epi16(a, b), d = _mm_hsub_epi16(a, b);
    *lo = _mm_hadd_epi16(c, d);
    *hi = _mm_hsub_epi16(c, d);
}

TV_PAIR_METRIC(sa8d_8x8_raw_ssse3)
{
    __m128i r[8];
    for (int y = 0; y < 8; y++)
        r[y] = diff8(load8(block_at(a, a_stride, 0, y)), load8(block_at(b, b_stride, 0, y)));
    // Vertical 8-point butterflies, lane-wise (values stay within +-2040).
    for (int half = 4; half >= 1; half >>= 1)
        for (int i = 0; i < 8; i++)
            if (!(i & half)) {
                __m128i p = r[i], q = r[i + half];
                r[i] = _mm_add_epi16(p, q);
                r[i + half] = _mm_sub_epi16(p, q);
            }
    // Horizontal transform (coefficients within +-16,320) and absolute values.
    __m128i sum = _mm_setzero_si128();
    for (int i = 0; i < 8; i += 2) {
        __m128i lo, hi;
        hadamard8_rows(r[i], r[i + 1], &lo, &hi);
        sum = _mm_add_epi16(sum, _mm_add_epi16(_mm_abs_epi16(lo), _mm_abs_epi16(hi)));
    }
    // Each lane now holds 8 absolute coefficients of one block: at most 65,280
    // as an unsigned 16-bit value, so widen without sign.
    __m128i z = _mm_setzero_si128();
    return hsum32(_mm_add_epi32(_mm_unpacklo_epi16(sum, z), _mm_unpackhi_epi16(sum, z)));
}

TV_DEFINE_SA8D_FAMILY(ssse3, sa8d_8x8_raw_ssse3)

// ---- Hadamard AC energy of an 8x4 block ----

uint32_t hadamard_ac_8x4_ssse3(const uint8_t *p, int stride)
{
    __m128i z = _mm_setzero_si128();
    __m128i r[4];
    for (int y = 0; y < 4; y++) r[y] = _mm_unpacklo_epi8(load8(block_at(p, stride, 0, y)), z);
    __m128i s01 = _mm_add_epi16(r[0], r[1]), m01 = _mm_sub_epi16(r[0], r[1]);
    __m128i s23 = _mm_add_epi16(r[2], r[3]), m23 = _mm_sub_epi16(r[2], r[3]);
    __m128i v0 = _mm_add_epi16(s01, s23), v1 = _mm_add_epi16(m01, m23);
    __m128i v2 = _mm_sub_epi16(s01, s23), v3 = _mm_sub_epi16(m01, m23);
    __m128i t0 = _mm_hadd_epi16(v0, v1), t1 = _mm_hsub_epi16(v0, v1);
    __m128i t2 = _mm_hadd_epi16(v2, v3), t3 = _mm_hsub_epi16(v2, v3);
    __m128i u0 = _mm_hadd_epi16(t0, t1), u1 = _mm_hsub_epi16(t0, t1);
    __m128i u2 = _mm_hadd_epi16(t2, t3), u3 = _mm_hsub_epi16(t2, t3);
    // Even lanes hold the left half's coefficients, odd lanes the right half's;
    // lanes 0 and 1 of u0 are the two DC values (sums of 16 samples).
    __m128i sum = _mm_add_epi16(_mm_add_epi16(_mm_abs_epi16(u0), _mm_abs_epi16(u1)),
                                _mm_add_epi16(_mm_abs_epi16(u2), _mm_abs_epi16(u3)));
    uint32_t left = hsum32(_mm_and_si128(sum, _mm_set1_epi32(0xffff)));
    uint32_t right = hsum32(_mm_srli_epi32(sum, 16));
    left -= (uint32_t)_mm_extract_epi16(u0, 0);
    right -= (uint32_t)_mm_extract_epi16(u0, 1);
    return ((right >> 1) << 16) | (left >> 1);
}
