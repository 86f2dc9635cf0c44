// Parts of the SSSE3 and AVX2 metric kernels that do not depend on the
// register width, included only by the vector kernel files (sad_*, metric_*),
// each compiled for its own instruction set. Everything here has internal
// linkage, so forms compiled for different sets never merge.
//
// The 16-bit lane operations are overloaded for 128-bit registers and, in
// AVX2 files, for 256-bit registers; the Hadamard steps are written once over
// either. Within a register, blocks sit side by side in groups of 4 or 8
// lanes (a 256-bit register works as two 128-bit halves).
#pragma once
#include <immintrin.h>

#include <cstdint>
#include <cstring>

#define TV_INLINE static inline __attribute__((always_inline))

TV_INLINE __m128i load4(const uint8_t *p)
{
    int32_t v;
    std::memcpy(&v, p, 4);
    return _mm_cvtsi32_si128(v);
}

TV_INLINE __m128i load8(const uint8_t *p) { return _mm_loadl_epi64((const __m128i *)p); }
TV_INLINE __m128i load16(const uint8_t *p) { return _mm_loadu_si128((const __m128i *)p); }

// Two 8-byte rows as one 16-byte vector: p0 in bytes 0-7, p1 in bytes 8-15.
TV_INLINE __m128i load8x2(const uint8_t *p0, const uint8_t *p1)
{
    return _mm_unpacklo_epi64(load8(p0), load8(p1));
}

// Adds the four 32-bit lanes (as unsigned).
TV_INLINE uint32_t hsum32(__m128i v)
{
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)));
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(2, 3, 0, 1)));
    return (uint32_t)_mm_cvtsi128_si32(v);
}

// The lane operations of one register type V, whose intrinsics start with P.
#define TV_LANE_OPS(V, P, zero)                                                  \
    TV_INLINE V add16(V a, V b) { return P##_add_epi16(a, b); }                  \
    TV_INLINE V sub16(V a, V b) { return P##_sub_epi16(a, b); }                  \
    TV_INLINE V hadd16(V a, V b) { return P##_hadd_epi16(a, b); }                \
    TV_INLINE V hsub16(V a, V b) { return P##_hsub_epi16(a, b); }                \
    TV_INLINE V abs16(V a) { return P##_abs_epi16(a); }                          \
    /* Unsigned 16-bit lanes added in pairs into 32-bit lanes. */                \
    TV_INLINE V widen_u16(V s)                                                   \
    {                                                                            \
        V z = zero();                                                            \
        return P##_add_epi32(P##_unpacklo_epi16(s, z), P##_unpackhi_epi16(s, z)); \
    }

TV_LANE_OPS(__m128i, _mm, _mm_setzero_si128)
#ifdef __AVX2__
TV_LANE_OPS(__m256i, _mm256, _mm256_setzero_si256)
#endif

// Rows r0..r3 hold 4x4 blocks side by side (4 lanes each). Returns the
// absolute 4x4 Hadamard coefficients of every block summed per 16-bit lane
// (4 coefficients of one block per lane, at most 16,320); *dc, when asked
// for, receives the row of the transform whose first lane of each block is
// its DC value.
template <class V>
TV_INLINE V hadamard4_abs(V r0, V r1, V r2, V r3, V *dc = nullptr)
{
    V s01 = add16(r0, r1), m01 = sub16(r0, r1);
    V s23 = add16(r2, r3), m23 = sub16(r2, r3);
    V v0 = add16(s01, s23), v1 = add16(m01, m23);
    V v2 = sub16(s01, s23), v3 = sub16(m01, m23);
    // Two levels of pairwise add/subtract finish the 4-point transform of every row.
    V t0 = hadd16(v0, v1), t1 = hsub16(v0, v1);
    V t2 = hadd16(v2, v3), t3 = hsub16(v2, v3);
    V u0 = hadd16(t0, t1), u1 = hsub16(t0, t1);
    V u2 = hadd16(t2, t3), u3 = hsub16(t2, t3);
    if (dc) *dc = u0;
    return add16(add16(abs16(u0), abs16(u1)), add16(abs16(u2), abs16(u3)));
}

// The N-point butterflies (N = 4 or 8) down rows r[0..N-1], lane-wise:
// differences of at most +-255 stay within +-2040. Unrolled whole, so that
// the rows stay in registers instead of going through the stack at every
// butterfly.
template <int N, class V>
TV_INLINE void hadamard_columns(V *r)
{
#pragma GCC unroll 4
    for (int half = N / 2; half >= 1; half >>= 1)
#pragma GCC unroll 8
        for (int i = 0; i < N; i++)
            if (!(i & half)) {
                V p = r[i], q = r[i + half];
                r[i] = add16(p, q);
                r[i + half] = sub16(p, q);
            }
}

// The 8-point transform across every 8-lane group of rows r[0..n-1], two
// rows at a time with three levels of pairwise add/subtract (coefficients
// within +-16,320), absolute values summed per 16-bit lane: each lane ends
// with n absolute coefficients of one block, to be read unsigned.
template <class V>
TV_INLINE V hadamard8_rows_abs(const V *r, int n)
{
    V sum = V();   // zero
    for (int i = 0; i < n; i += 2) {
        V a = hadd16(r[i], r[i + 1]), b = hsub16(r[i], r[i + 1]);
        V c = hadd16(a, b), d = hsub16(a, b);
        V lo = hadd16(c, d), hi = hsub16(c, d);
        sum = add16(sum, add16(abs16(lo), abs16(hi)));
    }
    return sum;
}
