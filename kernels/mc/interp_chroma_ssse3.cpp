// 128-bit chroma 4-tap interpolation (slots interp_chroma and
// interp_chroma_16bit): eight outputs per step, tap pairs applied with the
// unsigned-by-signed byte multiply-add; the two-direction pass runs its vertical
// taps in 32-bit lanes over the raw horizontal sums.
#include "kernels/mc/mc_ssse3.h"
#include "kernels/mc/ssse3_util.h"

using namespace mc_ssse3;

#define PAIR8(a, b) a, b, a, b, a, b, a, b, a, b, a, b, a, b, a, b
#define PAIR4(a, b) a, b, a, b, a, b, a, b
#define CHROMA_ROW(M, a, b, c, d) {{M(a, b)}, {M(c, d)}}

alignas(16) const int8_t chroma_tap_pairs_i8[7][2][16] = {
    CHROMA_ROW(PAIR8, -2, 58, 10, -2), CHROMA_ROW(PAIR8, -4, 54, 16, -2), CHROMA_ROW(PAIR8, -6, 46, 28, -4),
    CHROMA_ROW(PAIR8, -4, 36, 36, -4), CHROMA_ROW(PAIR8, -4, 28, 46, -6), CHROMA_ROW(PAIR8, -2, 16, 54, -4),
    CHROMA_ROW(PAIR8, -2, 10, 58, -2),
};

alignas(16) const int16_t chroma_tap_pairs_i16[7][2][8] = {
    CHROMA_ROW(PAIR4, -2, 58, 10, -2), CHROMA_ROW(PAIR4, -4, 54, 16, -2), CHROMA_ROW(PAIR4, -6, 46, 28, -4),
    CHROMA_ROW(PAIR4, -4, 36, 36, -4), CHROMA_ROW(PAIR4, -4, 28, 46, -6), CHROMA_ROW(PAIR4, -2, 16, 54, -4),
    CHROMA_ROW(PAIR4, -2, 10, 58, -2),
};

namespace {

void load_taps8(__m128i *t, int phase)
{
    t[0] = load16(chroma_tap_pairs_i8[phase - 1][0]);
    t[1] = load16(chroma_tap_pairs_i8[phase - 1][1]);
}

// Stores eight 16-bit sums: the biased intermediate, or the finished 8-bit
// sample (s + 32) >> 6 by rounding multiply, clipped.
inline void put(int16_t *d, __m128i s, int n)
{
    store_words(d, _mm_sub_epi16(s, splat16(MC_INTERMEDIATE_BIAS)), n);
}

inline void put(uint8_t *d, __m128i s, int n)
{
    __m128i v = _mm_mulhrs_epi16(s, splat16(512));
    store_bytes(d, _mm_packus_epi16(v, v), n);
}

template <typename T>
void chroma_h(T *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride, int px, int32_t w, int32_t h)
{
    __m128i taps[2];
    load_taps8(taps, px);
    for (int32_t y = 0; y < h; y++) {
        const uint8_t *s = src + at(0, y, src_stride);
        T *d = dst + at(0, y, dst_stride);
        for (int32_t x = 0; x < w; x += 8) put(d + x, chroma_h8(s + x, taps), w - x);
    }
}

// Vertical: per column group, the three rows above the output row stay in
// registers and one new row is loaded per output row.
template <typename T>
void chroma_v(T *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride, int py, int32_t w, int32_t h)
{
    __m128i taps[2];
    load_taps8(taps, py);
    for (int32_t x = 0; x < w; x += 8) {
        const uint8_t *s = src + x;
        __m128i r0 = load8(s - src_stride), r1 = load8(s), r2 = load8(s + src_stride);
        for (int32_t y = 0; y < h; y++) {
            __m128i r3 = load8(s + at(0, y + 2, src_stride));
            __m128i a = _mm_maddubs_epi16(_mm_unpacklo_epi8(r0, r1), taps[0]);
            __m128i b = _mm_maddubs_epi16(_mm_unpacklo_epi8(r2, r3), taps[1]);
            put(dst + at(x, y, dst_stride), _mm_add_epi16(a, b), w - x);
            r0 = r1;
            r1 = r2;
            r2 = r3;
        }
    }
}

// Vertical 4-tap sums over four rows of raw horizontal sums, in 32-bit lanes
// (low and high four columns).
inline void vsum32(__m128i h0, __m128i h1, __m128i h2, __m128i h3, const __m128i *c, __m128i *lo, __m128i *hi)
{
    *lo = _mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(h0, h1), c[0]),
                        _mm_madd_epi16(_mm_unpacklo_epi16(h2, h3), c[1]));
    *hi = _mm_add_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(h0, h1), c[0]),
                        _mm_madd_epi16(_mm_unpackhi_epi16(h2, h3), c[1]));
}

// Two-direction results: (V >> 6) biased, or clip((V + 2048) >> 12).
inline void put_2d(int16_t *d, __m128i lo, __m128i hi, int n)
{
    __m128i v = _mm_packs_epi32(_mm_srai_epi32(lo, 6), _mm_srai_epi32(hi, 6));
    store_words(d, _mm_sub_epi16(v, splat16(MC_INTERMEDIATE_BIAS)), n);
}

inline void put_2d(uint8_t *d, __m128i lo, __m128i hi, int n)
{
    __m128i r = splat32(2048);
    __m128i v = _mm_packs_epi32(_mm_srai_epi32(_mm_add_epi32(lo, r), 12), _mm_srai_epi32(_mm_add_epi32(hi, r), 12));
    store_bytes(d, _mm_packus_epi16(v, v), n);
}

template <typename T>
void chroma_hv(T *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride, int px, int py, int32_t w,
               int32_t h)
{
    __m128i th[2], tv[2];
    load_taps8(th, px);
    tv[0] = load16(chroma_tap_pairs_i16[py - 1][0]);
    tv[1] = load16(chroma_tap_pairs_i16[py - 1][1]);
    for (int32_t x = 0; x < w; x += 8) {
        const uint8_t *s = src + x;
        __m128i h0 = chroma_h8(s - src_stride, th), h1 = chroma_h8(s, th), h2 = chroma_h8(s + src_stride, th);
        for (int32_t y = 0; y < h; y++) {
            __m128i h3 = chroma_h8(s + at(0, y + 2, src_stride), th);
            __m128i lo, hi;
            vsum32(h0, h1, h2, h3, tv, &lo, &hi);
            put_2d(dst + at(x, y, dst_stride), lo, hi, w - x);
            h0 = h1;
            h1 = h2;
            h2 = h3;
        }
    }
}

// Rows of any width copied as they are (the portable kernel filters a
// full-sample vector with the identity row, which is a copy).
void copy_rows(uint8_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride, int32_t w, int32_t h)
{
    for (int32_t y = 0; y < h; y++)
        for (int32_t x = 0; x < w; x += 16) {
            int n = w - x < 16 ? (int)(w - x) : 16;
            store_bytes(dst + at(x, y, dst_stride), load_bytes(src + at(x, y, src_stride), n), n);
        }
}

}  // namespace

void interp_chroma_h_ssse3(uint8_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride, int32_t px,
                           int32_t, int32_t w, int32_t h)
{
    chroma_h(dst, dst_stride, src, src_stride, px, w, h);
}

void interp_chroma_v_ssse3(uint8_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride, int32_t,
                           int32_t py, int32_t w, int32_t h)
{
    chroma_v(dst, dst_stride, src, src_stride, py, w, h);
}

void interp_chroma_hv_ssse3(uint8_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride, int32_t px,
                            int32_t py, int32_t w, int32_t h)
{
    chroma_hv(dst, dst_stride, src, src_stride, px, py, w, h);
}

void interp_chroma_16bit_h_ssse3(int16_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride,
                                 int32_t px, int32_t, int32_t w, int32_t h)
{
    chroma_h(dst, dst_stride, src, src_stride, px, w, h);
}

void interp_chroma_16bit_v_ssse3(int16_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride,
                                 int32_t, int32_t py, int32_t w, int32_t h)
{
    chroma_v(dst, dst_stride, src, src_stride, py, w, h);
}

void interp_chroma_16bit_hv_ssse3(int16_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride,
                                  int32_t px, int32_t py, int32_t w, int32_t h)
{
    chroma_hv(dst, dst_stride, src, src_stride, px, py, w, h);
}

void interp_fullpel_16bit_ssse3(int16_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride,
                                int32_t w, int32_t h)
{
    const __m128i zero = _mm_setzero_si128(), bias = splat16(MC_INTERMEDIATE_BIAS);
    for (int32_t y = 0; y < h; y++) {
        const uint8_t *s = src + at(0, y, src_stride);
        int16_t *d = dst + at(0, y, dst_stride);
        for (int32_t x = 0; x < w; x += 8) {
            __m128i v = _mm_slli_epi16(_mm_unpacklo_epi8(load8(s + x), zero), 6);
            store_words(d + x, _mm_sub_epi16(v, bias), w - x);
        }
    }
}

void interp_chroma_ssse3(uint8_t *dst, int32_t dst_stride, const uint8_t *ref, int32_t ref_stride, int32_t mvx,
                         int32_t mvy, int32_t w, int32_t h)
{
    int px = mvx & 7, py = mvy & 7;
    const uint8_t *p = ref + at(mvx >> 3, mvy >> 3, ref_stride);
    if (w < 1 || h < 1) return;
    if (px && py)
        interp_chroma_hv_ssse3(dst, dst_stride, p, ref_stride, px, py, w, h);
    else if (px)
        interp_chroma_h_ssse3(dst, dst_stride, p, ref_stride, px, py, w, h);
    else if (py)
        interp_chroma_v_ssse3(dst, dst_stride, p, ref_stride, px, py, w, h);
    else
        copy_rows(dst, dst_stride, p, ref_stride, w, h);
}

void interp_chroma_16bit_ssse3(int16_t *dst, int32_t dst_stride, const uint8_t *ref, int32_t ref_stride,
                               int32_t mvx, int32_t mvy, int32_t w, int32_t h)
{
    int px = mvx & 7, py = mvy & 7;
    const uint8_t *p = ref + at(mvx >> 3, mvy >> 3, ref_stride);
    if (w < 1 || h < 1) return;
    if (px && py)
        interp_chroma_16bit_hv_ssse3(dst, dst_stride, p, ref_stride, px, py, w, h);
    else if (px)
        interp_chroma_16bit_h_ssse3(dst, dst_stride, p, ref_stride, px, py, w, h);
    else if (py)
        interp_chroma_16bit_v_ssse3(dst, dst_stride, p, ref_stride, px, py, w, h);
    else
        interp_fullpel_16bit_ssse3(dst, dst_stride, p, ref_stride, w, h);
}
