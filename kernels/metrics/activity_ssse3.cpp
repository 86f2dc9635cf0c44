// SSSE3 CTU directional activity. A 16-sample chunk of a row is compared with
// the same row shifted by one sample and with the row below; the byte-SAD over
// 8 bytes yields one partial sum per 8x8 block directly. Exact: the same terms
// as the portable form, summed in 64-bit lanes.
#include <immintrin.h>

#include "kernels/metrics/activity.h"

// The chunk at columns 48..63 shifted by one, repeating column 63: the clamp
// of the right neighbour at the CTU's right edge.
static inline __m128i shift_clamped(__m128i v)
{
    const __m128i order = _mm_setr_epi8(1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 15);
    return _mm_shuffle_epi8(v, order);
}

static inline __m128i right_of(const uint8_t *row, int x0, __m128i cur)
{
    if (x0 == 48) return shift_clamped(cur);
    return _mm_loadu_si128((const __m128i *)(row + x0 + 1));
}

// Stores the two 8x8 sums (byte-SAD lanes 0 and 2) of chunk p of block row by.
static inline void store_pair(uint32_t *arr, int by, int p, __m128i v)
{
    arr[ACTIVITY_BASE_8 + 8 * by + 2 * p] = (uint32_t)_mm_cvtsi128_si32(v);
    arr[ACTIVITY_BASE_8 + 8 * by + 2 * p + 1] = (uint32_t)_mm_extract_epi32(v, 2);
}

static void activity_ssse3(const uint8_t *src, ctu_activity_maps *maps, int arrays)
{
    for (int by = 0; by < 8; by++) {
        for (int p = 0; p < 4; p++) {
            int x0 = 16 * p;
            __m128i ver = _mm_setzero_si128(), hor = ver, diag = ver, anti = ver;
            for (int y = 8 * by; y < 8 * by + 7; y++) {
                const uint8_t *row = src + 64 * y;
                const uint8_t *below = row + 64;
                __m128i cur = _mm_loadu_si128((const __m128i *)(row + x0));
                __m128i cur_r = right_of(row, x0, cur);
                __m128i low = _mm_loadu_si128((const __m128i *)(below + x0));
                __m128i low_r = right_of(below, x0, low);
                ver = _mm_add_epi64(ver, _mm_sad_epu8(cur, low));
                hor = _mm_add_epi64(hor, _mm_sad_epu8(cur, cur_r));
                diag = _mm_add_epi64(diag, _mm_sad_epu8(cur, low_r));
                anti = _mm_add_epi64(anti, _mm_sad_epu8(low, cur_r));
            }
            if (arrays & ARR_HV) store_pair(maps->grad_hv, by, p, _mm_add_epi64(ver, hor));
            if (arrays & ARR_VER) store_pair(maps->grad_ver, by, p, ver);
            if (arrays & ARR_HOR) store_pair(maps->grad_hor, by, p, hor);
            if (arrays & ARR_DIAG) store_pair(maps->grad_diag, by, p, diag);
            if (arrays & ARR_ANTI) store_pair(maps->grad_anti, by, p, anti);
        }
    }
    activity_levels_sum_arrays(maps, arrays);
}

void ctu_activity_hv_ssse3(const uint8_t *src, ctu_activity_maps *maps) { activity_ssse3(src, maps, ARR_HV); }

void ctu_activity_hv3_ssse3(const uint8_t *src, ctu_activity_maps *maps)
{
    activity_ssse3(src, maps, ARR_HV | ARR_VER | ARR_HOR);
}

void ctu_activity_4dir_ssse3(const uint8_t *src, ctu_activity_maps *maps)
{
    activity_ssse3(src, maps, ARR_VER | ARR_HOR | ARR_DIAG | ARR_ANTI);
}

void ctu_activity_diag_ssse3(const uint8_t *src, ctu_activity_maps *maps)
{
    activity_ssse3(src, maps, ARR_DIAG | ARR_ANTI);
}
