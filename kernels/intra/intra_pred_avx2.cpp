// AVX2 planar and DC predictors, and the installer of the AVX2-flag set. Each
// kernel writes exactly the samples of its portable form.
#include <immintrin.h>

#include "kernels/intra/intra_pred_kernels.h"

// ---- DC 32x32 ----------------------------------------------------------------

void intra_pred_dc_32x32_avx2(INTRA_KERNEL_ARGS)
{
    __m256i above = _mm256_loadu_si256((const __m256i *)(ref + 1));
    __m256i left = _mm256_loadu_si256((const __m256i *)(ref + 65));
    __m256i s = _mm256_add_epi64(_mm256_sad_epu8(above, _mm256_setzero_si256()),
                                 _mm256_sad_epu8(left, _mm256_setzero_si256()));
    __m128i t = _mm_add_epi64(_mm256_castsi256_si128(s), _mm256_extracti128_si256(s, 1));
    t = _mm_add_epi64(t, _mm_srli_si128(t, 8));
    // (s + 32) >> 6 as a rounding high multiply by 2^9 (s <= 16320 fits in 16 bits).
    t = _mm_mulhrs_epi16(t, _mm_set1_epi16(512));
    __m256i v = _mm256_broadcastb_epi8(t);
    for (int y = 0; y < 32; y++) _mm256_storeu_si256((__m256i *)(dst + y * dst_stride), v);
    _mm256_zeroupper();
}

// ---- Planar 16x16 and 32x32 --------------------------------------------------

// Row accumulators as in the SSE kernels: acc[x] = (x+1) tr + N + bl +
// (N-1) above[x] at row 0, + (N-1-x) left[y] per row, += bl - above[x] after it.
// At N = 32 the largest intermediate is 32162 (all samples 255): 16 bits hold it.
void intra_pred_planar_16x16_avx2(INTRA_KERNEL_ARGS)
{
    const uint8_t *left = ref + 33;
    int tr = ref[17], bl = ref[49];
    __m256i above = _mm256_cvtepu8_epi16(_mm_loadu_si128((const __m128i *)(ref + 1)));
    __m256i x1 = _mm256_setr_epi16(1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16);
    __m256i wl = _mm256_setr_epi16(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    __m256i acc = _mm256_add_epi16(_mm256_mullo_epi16(x1, _mm256_set1_epi16((int16_t)tr)),
                                   _mm256_mullo_epi16(above, _mm256_set1_epi16(15)));
    acc = _mm256_add_epi16(acc, _mm256_set1_epi16((int16_t)(16 + bl)));
    __m256i step = _mm256_sub_epi16(_mm256_set1_epi16((int16_t)bl), above);
    for (int y = 0; y < 16; y += 2) {
        __m256i v0 = _mm256_add_epi16(acc, _mm256_mullo_epi16(wl, _mm256_set1_epi16(left[y])));
        acc = _mm256_add_epi16(acc, step);
        __m256i v1 = _mm256_add_epi16(acc, _mm256_mullo_epi16(wl, _mm256_set1_epi16(left[y + 1])));
        acc = _mm256_add_epi16(acc, step);
        // Two rows per register: pack, then put each row's halves together.
        __m256i p = _mm256_packus_epi16(_mm256_srai_epi16(v0, 5), _mm256_srai_epi16(v1, 5));
        p = _mm256_permute4x64_epi64(p, 0xD8);
        _mm_storeu_si128((__m128i *)(dst + y * dst_stride), _mm256_castsi256_si128(p));
        _mm_storeu_si128((__m128i *)(dst + (y + 1) * dst_stride), _mm256_extracti128_si256(p, 1));
    }
    _mm256_zeroupper();
}

void intra_pred_planar_32x32_avx2(INTRA_KERNEL_ARGS)
{
    const uint8_t *left = ref + 65;
    int tr = ref[33], bl = ref[97];
    __m256i above_lo = _mm256_cvtepu8_epi16(_mm_loadu_si128((const __m128i *)(ref + 1)));
    __m256i above_hi = _mm256_cvtepu8_epi16(_mm_loadu_si128((const __m128i *)(ref + 17)));
    __m256i x1 = _mm256_setr_epi16(1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16);
    __m256i x17 = _mm256_add_epi16(x1, _mm256_set1_epi16(16));
    __m256i wl_lo = _mm256_setr_epi16(31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16);
    __m256i wl_hi = _mm256_sub_epi16(wl_lo, _mm256_set1_epi16(16));
    __m256i vtr = _mm256_set1_epi16((int16_t)tr);
    __m256i base = _mm256_set1_epi16((int16_t)(32 + bl));
    __m256i acc_lo = _mm256_add_epi16(_mm256_mullo_epi16(x1, vtr), _mm256_mullo_epi16(above_lo, _mm256_set1_epi16(31)));
    __m256i acc_hi = _mm256_add_epi16(_mm256_mullo_epi16(x17, vtr), _mm256_mullo_epi16(above_hi, _mm256_set1_epi16(31)));
    acc_lo = _mm256_add_epi16(acc_lo, base);
    acc_hi = _mm256_add_epi16(acc_hi, base);
    __m256i vbl = _mm256_set1_epi16((int16_t)bl);
    __m256i step_lo = _mm256_sub_epi16(vbl, above_lo);
    __m256i step_hi = _mm256_sub_epi16(vbl, above_hi);
    for (int y = 0; y < 32; y++) {
        __m256i l = _mm256_set1_epi16(left[y]);
        __m256i v0 = _mm256_srai_epi16(_mm256_add_epi16(acc_lo, _mm256_mullo_epi16(wl_lo, l)), 6);
        __m256i v1 = _mm256_srai_epi16(_mm256_add_epi16(acc_hi, _mm256_mullo_epi16(wl_hi, l)), 6);
        __m256i p = _mm256_permute4x64_epi64(_mm256_packus_epi16(v0, v1), 0xD8);
        _mm256_storeu_si256((__m256i *)(dst + y * dst_stride), p);
        acc_lo = _mm256_add_epi16(acc_lo, step_lo);
        acc_hi = _mm256_add_epi16(acc_hi, step_hi);
    }
    _mm256_zeroupper();
}

// ---- Installer ---------------------------------------------------------------

static void store_both(intra_pred_table *t, int mode, int s, intra_pred_fn fn)
{
    t->pred[mode][0][s] = fn;
    t->pred[mode][1][s] = fn;
}

// SSE-level kernels of the pure directions and of modes 19 to 21 at 16x16.
static void fill_angular_sse(intra_pred_table *t)
{
    store_both(t, 2, 0, intra_pred_ang2_4x4_sse2);
    store_both(t, 2, 2, intra_pred_ang2_16x16_ssse3);
    store_both(t, 18, 0, intra_pred_ang18_4x4_sse41);
    store_both(t, 18, 2, intra_pred_ang18_16x16_ssse3);
    store_both(t, 19, 2, intra_pred_ang19_16x16_sse41);
    store_both(t, 20, 2, intra_pred_ang20_16x16_sse41);
    store_both(t, 21, 2, intra_pred_ang21_16x16_sse41);

    t->pred[INTRA_MODE_HOR][0][0] = intra_pred_ang10_4x4_ssse3;
    t->pred[INTRA_MODE_HOR][0][1] = intra_pred_ang10_8x8_ssse3;
    t->pred[INTRA_MODE_HOR][0][2] = intra_pred_ang10_16x16_ssse3;
    t->pred[INTRA_MODE_HOR][1][0] = intra_pred_ang10_filt_4x4_sse41;
    t->pred[INTRA_MODE_HOR][1][1] = intra_pred_ang10_filt_8x8_sse41;
    t->pred[INTRA_MODE_HOR][1][2] = intra_pred_ang10_filt_16x16_sse41;
    t->pred[INTRA_MODE_VER][0][0] = intra_pred_ang26_4x4_sse2;
    t->pred[INTRA_MODE_VER][0][1] = intra_pred_ang26_8x8_ssse3;
    t->pred[INTRA_MODE_VER][0][2] = intra_pred_ang26_16x16_sse2;
    t->pred[INTRA_MODE_VER][1][0] = intra_pred_ang26_filt_4x4_sse41;
    t->pred[INTRA_MODE_VER][1][1] = intra_pred_ang26_filt_8x8_sse41;
    t->pred[INTRA_MODE_VER][1][2] = intra_pred_ang26_filt_16x16_sse41;
}

void intra_pred_table_fill_avx2(intra_pred_table *t)
{
    store_both(t, INTRA_MODE_PLANAR, 2, intra_pred_planar_16x16_avx2);
    store_both(t, INTRA_MODE_PLANAR, 3, intra_pred_planar_32x32_avx2);
    store_both(t, INTRA_MODE_DC, 3, intra_pred_dc_32x32_avx2);

    fill_angular_sse(t);

    // Mode 34 below 32x32 is not part of the set: its copy of the above-right
    // samples keeps the portable kernel.
#define INTRA_STORE_SLOPED(m)                             \
    store_both(t, m, 0, intra_pred_ang##m##_4x4_avx2); \
    store_both(t, m, 1, intra_pred_ang##m##_8x8_avx2);
    INTRA_ANGULAR_SLOPED_MODES(INTRA_STORE_SLOPED)
#undef INTRA_STORE_SLOPED
    store_both(t, 2, 1, intra_pred_ang2_8x8_avx2);
    store_both(t, 18, 1, intra_pred_ang18_8x8_avx2);

#define INTRA_STORE_ANGULAR16(m) store_both(t, m, 2, intra_pred_ang##m##_16x16_avx2);
    INTRA_ANGULAR16_AVX2_MODES(INTRA_STORE_ANGULAR16)
#undef INTRA_STORE_ANGULAR16

#define INTRA_STORE_ANGULAR32(m) store_both(t, m, 3, intra_pred_ang##m##_32x32_avx2);
    INTRA_ANGULAR32_AVX2_MODES(INTRA_STORE_ANGULAR32)
#undef INTRA_STORE_ANGULAR32
    store_both(t, 2, 3, intra_pred_ang2_32x32_avx2);
    store_both(t, 26, 3, intra_pred_ang26_32x32_avx2);
    store_both(t, 34, 3, intra_pred_ang34_32x32_avx2);
}
