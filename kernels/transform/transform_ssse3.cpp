// Transform kernels of the SSSE3-flag set: 128-bit multiply-add stages (see
// transform_simd_impl.h) and the coefficient cost estimate.
#include "kernels/transform/transform_simd.h"
#include "kernels/transform/transform_simd_impl.h"

// Own copies of the per-mode DST/DCT choice: this file must not depend on data
// whose initialisation order it cannot see. 1 for modes 0..34, 0 for mode 35.
#define DST_FOR_INTRA_MODES                                                            \
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, \
        1, 1, 1, 1, 1, 1, 1, 1, 0
static const int32_t dst4_rows_ssse3[36] = {DST_FOR_INTRA_MODES};
static const int32_t dst4_cols_ssse3[36] = {DST_FOR_INTRA_MODES};
#undef DST_FOR_INTRA_MODES

static const pair_table &pick_4x4(const int32_t *select, int mode)
{
    return select[mode] ? pairs_dst4 : pairs_dct4;
}

void ftrans_residual_4x4_ssse3(int16_t *coeff, const uint8_t *src, const uint8_t *pred, int mode)
{
    __m128i a, b;
    residual_4x4_regs(src, pred, &a, &b);
    forward_4x4_regs(coeff, a, b, pick_4x4(dst4_rows_ssse3, mode), pick_4x4(dst4_cols_ssse3, mode));
}

void itrans_add_4x4_ssse3(uint8_t *recon, const int16_t *coeff, int mode)
{
    __m128i a, b;
    inverse_4x4_regs(coeff, &a, &b, pick_4x4(dst4_cols_ssse3, mode), pick_4x4(dst4_rows_ssse3, mode));
    add_residual_4x4_regs(recon, a, b);
}

void fdct_residual_8x8_ssse3(int16_t *coeff, const uint8_t *src, const uint8_t *pred)
{
    forward_slot<8, 8, 2, 9>(coeff, src, pred);
}

void fdct_residual_low4_8x8_ssse3(int16_t *coeff, const uint8_t *src, const uint8_t *pred, int)
{
    forward_slot<8, 4, 2, 9>(coeff, src, pred);
}

void idct_add_8x8_ssse3(uint8_t *recon, const int16_t *coeff)
{
    inverse_slot<8, 8>(recon, coeff);
}

void idct_add_low4_8x8_ssse3(uint8_t *recon, const int16_t *coeff, int)
{
    inverse_slot<8, 4>(recon, coeff);
}

void fdct_residual_16x16_ssse3(int16_t *coeff, const uint8_t *src, const uint8_t *pred)
{
    forward_slot<16, 16, 3, 10>(coeff, src, pred);
}

void fdct_residual_low8_16x16_ssse3(int16_t *coeff, const uint8_t *src, const uint8_t *pred, int)
{
    forward_slot<16, 8, 3, 10>(coeff, src, pred);
}

void idct_add_16x16_ssse3(uint8_t *recon, const int16_t *coeff)
{
    inverse_slot<16, 16>(recon, coeff);
}

void idct_add_low8_16x16_ssse3(uint8_t *recon, const int16_t *coeff, int)
{
    inverse_slot<16, 8>(recon, coeff);
}

void fdct_residual_32x32_ssse3(int16_t *coeff, const uint8_t *src, const uint8_t *pred)
{
    forward_slot<32, 32, 4, 11>(coeff, src, pred);
}

void fdct_residual_low8_32x32_ssse3(int16_t *coeff, const uint8_t *src, const uint8_t *pred, int)
{
    forward_slot<32, 8, 4, 11>(coeff, src, pred);
}

void idct_add_32x32_ssse3(uint8_t *recon, const int16_t *coeff)
{
    inverse_slot<32, 32>(recon, coeff);
}

void idct_add_low8_32x32_ssse3(uint8_t *recon, const int16_t *coeff, int)
{
    inverse_slot<32, 8>(recon, coeff);
}

// ---- coefficient cost estimate ----
//
// Magnitudes are summed in 32-bit lanes: a 4x4 group of 16-bit coefficients
// can sum to 16 * 32768, which a 16-bit sum would wrap.

// Zero-extends the eight 16-bit magnitudes of v into two 32-bit vectors and adds
// the first four (one group's row) to *a, the last four to *b.
static inline void add_magnitudes(__m128i v, __m128i *a, __m128i *b)
{
    // |-32768| is 0x8000, which is right once read as unsigned.
    __m128i m = _mm_abs_epi16(v), zero = _mm_setzero_si128();
    *a = _mm_add_epi32(*a, _mm_unpacklo_epi16(m, zero));
    *b = _mm_add_epi32(*b, _mm_unpackhi_epi16(m, zero));
}

// Adds 16 + s for every lane s that is not zero.
static inline __m128i busy_group_cost(__m128i sums)
{
    __m128i idle = _mm_cmpeq_epi32(sums, _mm_setzero_si128());
    return _mm_andnot_si128(idle, _mm_add_epi32(sums, _mm_set1_epi32(16)));
}

static uint32_t coeff_cost_4x4_ssse3(const int16_t *coeff)
{
    __m128i a = _mm_setzero_si128(), b = a;
    add_magnitudes(_mm_loadu_si128((const __m128i *)coeff), &a, &b);
    add_magnitudes(_mm_loadu_si128((const __m128i *)(coeff + 8)), &a, &b);
    __m128i s = _mm_add_epi32(a, b);
    s = _mm_hadd_epi32(s, s);
    s = _mm_hadd_epi32(s, s);
    return 1 + (uint32_t)_mm_cvtsi128_si32(busy_group_cost(s));
}

// N = 8, 16 or 32: one unit per 4x4 group, plus 16 and the magnitude sum of each
// group that holds a non-zero coefficient.
static uint32_t coeff_cost_groups_ssse3(const int16_t *coeff, int n)
{
    __m128i total = _mm_setzero_si128();
    for (int gy = 0; gy < n; gy += 4) {
        for (int x = 0; x < n; x += 8) {
            __m128i a = _mm_setzero_si128(), b = a;
            for (int y = 0; y < 4; y++)
                add_magnitudes(_mm_loadu_si128((const __m128i *)(coeff + (gy + y) * n + x)), &a, &b);
            __m128i s = _mm_hadd_epi32(a, b);           // a01 a23 b01 b23
            s = _mm_move_epi64(_mm_hadd_epi32(s, s));   // group a, group b, 0, 0
            total = _mm_add_epi32(total, busy_group_cost(s));
        }
    }
    total = _mm_hadd_epi32(total, total);
    total = _mm_hadd_epi32(total, total);
    return (uint32_t)(n * n / 16) + (uint32_t)_mm_cvtsi128_si32(total);
}

static uint32_t coeff_cost_16x16_ssse3(const int16_t *coeff)
{
    return coeff_cost_groups_ssse3(coeff, 16);
}

static uint32_t coeff_cost_32x32_ssse3(const int16_t *coeff)
{
    return coeff_cost_groups_ssse3(coeff, 32);
}

uint32_t coeff_cost_estimate_ssse3(const int16_t *coeff, int log2_size)
{
    switch (log2_size) {
    case 2:
        return coeff_cost_4x4_ssse3(coeff);
    case 3:
        return coeff_cost_groups_ssse3(coeff, 8);
    case 4:
        return coeff_cost_16x16_ssse3(coeff);
    case 5:
        return coeff_cost_32x32_ssse3(coeff);
    default:
        // No transform has another size; keep any other caller exact anyway.
        return coeff_cost_estimate_c(coeff, log2_size);
    }
}
