// AVX2 bilinear quarter-sample luma interpolation (slot mc_luma_ref_or_bilinear):
// the portable chains of byte averages, 32 samples per operation. Every
// intermediate is an 8-bit value in both forms, so the results are equal bit
// for bit. Reads rows 0 .. h (two-direction and vertical) and columns up to 32
// past the block in its last strip (inside the reference margins); writes the
// block's own columns only.
#include "kernels/mc/mc_avx2.h"

using namespace mc_avx2;

namespace {

// (p + q) >> 1: the rounding average less the bit it rounded up.
inline __m256i tavg(__m256i p, __m256i q, __m256i ones)
{
    return _mm256_sub_epi8(_mm256_avg_epu8(p, q), _mm256_and_si256(_mm256_xor_si256(p, q), ones));
}

// The portable mix(a, b, phase, r): phase 2 with r 1 rounds, with r 0 truncates;
// the quarter phases with r 2 are (3a + b + 2) >> 2 = avg(a, tavg(a, b)), with
// r 1 (3a + b + 1) >> 2 = tavg(a, avg(a, b)); phase 3 mirrors a and b.
inline __m256i mix(__m256i a, __m256i b, int phase, int r, __m256i ones)
{
    if (phase == 2) return r ? _mm256_avg_epu8(a, b) : tavg(a, b, ones);
    __m256i near = phase == 1 ? a : b;
    if (r == 2) return _mm256_avg_epu8(near, tavg(a, b, ones));
    return tavg(near, _mm256_avg_epu8(a, b), ones);
}

inline __m256i load32(const uint8_t *p)
{
    return _mm256_loadu_si256((const __m256i *)p);
}

// One direction (step 1 across, the stride down), phase and rounding fixed
// at compile time so that the loop holds no choice.
template <int phase>
void bilinear_1d(uint8_t *dst, int32_t dst_stride, const uint8_t *p, ptrdiff_t step, int32_t ref_stride, int32_t w,
                 int32_t h)
{
    const __m256i ones = _mm256_set1_epi8(1);
    for (int32_t y = 0; y < h; y++)
        for (int32_t x = 0; x < w; x += 32) {
            int n = w - x < 32 ? (int)(w - x) : 32;
            const uint8_t *s = p + at(x, y, ref_stride);
            store_u8_32(dst + at(x, y, dst_stride), mix(load32(s), load32(s + step), phase, 2, ones), n);
        }
}

// Both directions. The horizontal result of each row serves as the lower row
// of one output row and the upper row of the next.
template <int fx, int fy>
void bilinear_2d(uint8_t *dst, int32_t dst_stride, const uint8_t *p, int32_t ref_stride, int32_t w, int32_t h)
{
    const __m256i ones = _mm256_set1_epi8(1);
    const int r = (fx & 1) + (fy & 1);
    for (int32_t x = 0; x < w; x += 32) {
        int n = w - x < 32 ? (int)(w - x) : 32;
        const uint8_t *s = p + x;
        __m256i upper = mix(load32(s), load32(s + 1), fx, 1, ones);
        for (int32_t y = 0; y < h; y++) {
            s += ref_stride;
            __m256i lower = mix(load32(s), load32(s + 1), fx, 1, ones);
            store_u8_32(dst + at(x, y, dst_stride), mix(upper, lower, fy, r, ones), n);
            upper = lower;
        }
    }
}

typedef void (*bilinear_2d_fn)(uint8_t *, int32_t, const uint8_t *, int32_t, int32_t, int32_t);

}  // namespace

void interp_luma_bilinear_avx2(uint8_t *dst, int32_t dst_stride, const uint8_t *ref, int32_t ref_stride,
                               int32_t mvx, int32_t mvy, int32_t w, int32_t h)
{
    int fx = mvx & 3, fy = mvy & 3;
    const uint8_t *p = ref + at(mvx >> 2, mvy >> 2, ref_stride);
    if (!fx && !fy) {
        block_copy_avx2(dst, dst_stride, p, ref_stride, w, h);
        return;
    }
    if (!fx || !fy) {
        ptrdiff_t step = fy ? ref_stride : 1;
        switch (fy ? fy : fx) {
        case 1: bilinear_1d<1>(dst, dst_stride, p, step, ref_stride, w, h); return;
        case 2: bilinear_1d<2>(dst, dst_stride, p, step, ref_stride, w, h); return;
        default: bilinear_1d<3>(dst, dst_stride, p, step, ref_stride, w, h); return;
        }
    }
    static const bilinear_2d_fn both[3][3] = {
        {bilinear_2d<1, 1>, bilinear_2d<1, 2>, bilinear_2d<1, 3>},
        {bilinear_2d<2, 1>, bilinear_2d<2, 2>, bilinear_2d<2, 3>},
        {bilinear_2d<3, 1>, bilinear_2d<3, 2>, bilinear_2d<3, 3>},
    };
    both[fx - 1][fy - 1](dst, dst_stride, p, ref_stride, w, h);
}

const uint8_t *mc_luma_ref_or_bilinear_avx2(uint8_t *dst, int32_t *stride, const uint8_t *ref, int32_t ref_stride,
                                            int32_t mvx, int32_t mvy, int32_t w, int32_t h)
{
    if (!((mvx | mvy) & 3)) {
        *stride = ref_stride;
        return ref + at(mvx >> 2, mvy >> 2, ref_stride);
    }
    interp_luma_bilinear_avx2(dst, *stride, ref, ref_stride, mvx, mvy, w, h);
    return dst;
}
