// 128-bit half-resolution planes of a source picture: the sixteen phase planes
// of the lookahead's half-resolution grid, or the half-resolution plane alone.
// Source reads stop where the portable kernels' do (the encoder pads only three
// columns and rows), and the planes are written over the portable footprint
// exactly.
#include "encoder/int_math.h"
#include "kernels/mc/mc_ssse3.h"
#include "kernels/mc/ssse3_util.h"

using namespace mc_ssse3;

namespace {

inline void put(uint8_t *plane, ptrdiff_t o, __m128i v16, int n)
{
    if (n > 0) store_bytes(plane + o, _mm_packus_epi16(v16, v16), n);
}

// First pass, one row y: planes 0, 2, 8, 10 over columns 0 .. w, and from the
// same registers planes 1, 9 (columns 0 .. w - 1) and, below the last row,
// 4, 5, 6. Vertical pairs are averaged first, then horizontal neighbours, each
// step rounding up; samples sit in 16-bit lanes, even columns by masking and
// odd ones by shifting.
void first_pass_row(uint8_t *const *pl, ptrdiff_t o, const uint8_t *r0, int32_t src_stride, int32_t w,
                    bool interior_row)
{
    const uint8_t *r1 = r0 + src_stride, *r2 = r1 + src_stride;
    const __m128i mask = splat16(0x00ff);
    for (int32_t x = 0; x <= w; x += 8) {
        int n0 = min_i32(8, w + 1 - x), n1 = min_i32(8, w - x);
        // Source columns 2x .. 2x + 2 n0 are needed, 16 from 2x and the rest
        // from 2x + 2; nothing past column 2w + 2 is read.
        int avail = 2 * (w - x) + 3;
        int nl = min_i32(16, avail), nr = min_i32(16, avail - 2);
        const uint8_t *s0 = r0 + 2 * x, *s1 = r1 + 2 * x, *s2 = r2 + 2 * x;
        __m128i l1 = load_bytes(s1, nl), rr1 = load_bytes(s1 + 2, nr);
        __m128i v01 = _mm_avg_epu8(load_bytes(s0, nl), l1), v12 = _mm_avg_epu8(l1, load_bytes(s2, nl));
        __m128i v01s = _mm_avg_epu8(load_bytes(s0 + 2, nr), rr1), v12s = _mm_avg_epu8(rr1, load_bytes(s2 + 2, nr));
        __m128i e01 = _mm_and_si128(v01, mask), o01 = _mm_srli_epi16(v01, 8);
        __m128i e12 = _mm_and_si128(v12, mask), o12 = _mm_srli_epi16(v12, 8);
        __m128i q0 = _mm_avg_epu16(e01, o01), q2 = _mm_avg_epu16(o01, _mm_and_si128(v01s, mask));
        __m128i q8 = _mm_avg_epu16(e12, o12), q10 = _mm_avg_epu16(o12, _mm_and_si128(v12s, mask));
        ptrdiff_t d = o + x;
        put(pl[0], d, q0, n0);
        put(pl[2], d, q2, n0);
        put(pl[8], d, q8, n0);
        put(pl[10], d, q10, n0);
        __m128i q1 = _mm_avg_epu16(q0, q2), q9 = _mm_avg_epu16(q8, q10);
        put(pl[1], d, q1, n1);
        put(pl[9], d, q9, n1);
        if (!interior_row) continue;
        put(pl[4], d, _mm_avg_epu16(q0, q8), n1);
        put(pl[6], d, _mm_avg_epu16(q2, q10), n1);
        put(pl[5], d, _mm_avg_epu16(q1, q9), n1);
    }
}

inline __m128i avg_at(const uint8_t *a, const uint8_t *b, int n)
{
    return _mm_avg_epu8(load_bytes(a, n), load_bytes(b, n));
}

// Second pass, one row: planes 3 and 11 (the right neighbours' quarter steps)
// and, below the last row, 7.
void second_pass_row(uint8_t *const *pl, ptrdiff_t o, int32_t w, bool interior_row)
{
    for (int32_t x = 0; x < w; x += 16) {
        int n = min_i32(16, w - x);
        ptrdiff_t d = o + x;
        __m128i p3 = avg_at(pl[2] + d, pl[0] + d + 1, n);
        __m128i p11 = avg_at(pl[10] + d, pl[8] + d + 1, n);
        store_bytes(pl[3] + d, p3, n);
        store_bytes(pl[11] + d, p11, n);
        if (interior_row) store_bytes(pl[7] + d, _mm_avg_epu8(p3, p11), n);
    }
}

// Third pass, one row: planes 12 .. 15 between rows y and y + 1.
void third_pass_row(uint8_t *const *pl, ptrdiff_t o, int32_t dst_stride, int32_t w)
{
    for (int32_t x = 0; x < w; x += 16) {
        int n = min_i32(16, w - x);
        ptrdiff_t d = o + x;
        for (int k = 0; k < 4; k++) store_bytes(pl[12 + k] + d, avg_at(pl[8 + k] + d, pl[k] + d + dst_stride, n), n);
    }
}

}  // namespace

void build_lowres_planes_ssse3(uint8_t *const *planes, int32_t dst_stride, const uint8_t *src, int32_t src_stride,
                               int32_t w, int32_t h)
{
    if (w < 0 || h < 0) return;
    for (int32_t y = 0; y <= h; y++)
        first_pass_row(planes, at(0, y, dst_stride), src + at(0, 2 * y, src_stride), src_stride, w, y < h);
    for (int32_t y = 0; y <= h; y++) second_pass_row(planes, at(0, y, dst_stride), w, y < h);
    for (int32_t y = 0; y < h; y++) third_pass_row(planes, at(0, y, dst_stride), dst_stride, w);
}

// Vertical pairs rounded, then the horizontal pair halved with truncation.
void downscale_2x2_plane_ssse3(uint8_t *const *planes, int32_t dst_stride, const uint8_t *src,
                               int32_t src_stride, int32_t w, int32_t h)
{
    const __m128i mask = splat16(0x00ff);
    for (int32_t y = 0; y < h; y++) {
        const uint8_t *r0 = src + at(0, 2 * y, src_stride), *r1 = r0 + src_stride;
        uint8_t *d = planes[0] + at(0, y, dst_stride);
        for (int32_t x = 0; x < w; x += 16) {
            int n = min_i32(16, w - x);
            int na = min_i32(16, 2 * n), nb = 2 * n - 16;
            __m128i va = avg_at(r0 + 2 * x, r1 + 2 * x, na);
            __m128i lo = _mm_srli_epi16(_mm_add_epi16(_mm_and_si128(va, mask), _mm_srli_epi16(va, 8)), 1);
            __m128i hi = lo;
            if (nb > 0) {
                __m128i vb = avg_at(r0 + 2 * x + 16, r1 + 2 * x + 16, nb);
                hi = _mm_srli_epi16(_mm_add_epi16(_mm_and_si128(vb, mask), _mm_srli_epi16(vb, 8)), 1);
            }
            store_bytes(d + x, _mm_packus_epi16(lo, hi), n);
        }
    }
}
