// 128-bit luma 8-tap workers: vertical filtering of 8-bit samples, and the
// finishing of horizontal 16-bit planes (alone or under a vertical filter), to
// 8-bit samples or to the biased 16-bit intermediate. Vertical workers walk
// column groups and keep the seven rows above each output row in registers.
#include "kernels/mc/mc_ssse3.h"
#include "kernels/mc/ssse3_util.h"

using namespace mc_ssse3;

#define PAIR8(a, b) a, b, a, b, a, b, a, b, a, b, a, b, a, b, a, b
#define PAIR4(a, b) a, b, a, b, a, b, a, b
#define LUMA_ROW(M, a, b, c, d, e, f, g, k) {{M(a, b)}, {M(c, d)}, {M(e, f)}, {M(g, k)}}

alignas(16) const int8_t luma_tap_pairs_i8[3][4][16] = {
    LUMA_ROW(PAIR8, -1, 4, -10, 58, 17, -5, 1, 0),
    LUMA_ROW(PAIR8, -1, 4, -11, 40, 40, -11, 4, -1),
    LUMA_ROW(PAIR8, 0, 1, -5, 17, 58, -10, 4, -1),
};

alignas(16) const int16_t luma_tap_pairs_i16[3][4][8] = {
    LUMA_ROW(PAIR4, -1, 4, -10, 58, 17, -5, 1, 0),
    LUMA_ROW(PAIR4, -1, 4, -11, 40, 40, -11, 4, -1),
    LUMA_ROW(PAIR4, 0, 1, -5, 17, 58, -10, 4, -1),
};

namespace {

void load_taps(__m128i *t, const void *table)
{
    for (int k = 0; k < 4; k++) t[k] = load16((const char *)table + 16 * k);
}

// Raw 8-tap sum of eight interleaved byte pairs from rows r[0] .. r[7].
template <bool HIGH>
inline __m128i vsum_bytes(const __m128i *r, const __m128i *taps)
{
    __m128i s = _mm_setzero_si128();
    #pragma GCC unroll 4
    for (int k = 0; k < 4; k++) {
        __m128i p = HIGH ? _mm_unpackhi_epi8(r[2 * k], r[2 * k + 1]) : _mm_unpacklo_epi8(r[2 * k], r[2 * k + 1]);
        // Pair products stay within +-14790 and the full sum within
        // -6120 .. 22440, so the wrapping additions are exact.
        s = _mm_add_epi16(s, _mm_maddubs_epi16(p, taps[k]));
    }
    return s;
}

// 32-bit vertical 8-tap sum over 16-bit rows r[0] .. r[7] (four columns).
template <bool HIGH>
inline __m128i vsum_words(const __m128i *r, const __m128i *taps)
{
    __m128i s = _mm_setzero_si128();
    #pragma GCC unroll 4
    for (int k = 0; k < 4; k++) {
        __m128i p = HIGH ? _mm_unpackhi_epi16(r[2 * k], r[2 * k + 1]) : _mm_unpacklo_epi16(r[2 * k], r[2 * k + 1]);
        s = _mm_add_epi32(s, _mm_madd_epi16(p, taps[k]));
    }
    return s;
}

// One row of a column group: eight bytes (the low half) or sixteen.
template <bool HALF>
inline __m128i load_group(const void *p)
{
    return HALF ? load8(p) : load16(p);
}

// Unrolled, so that the window stays in registers rather than going
// through the stack on every output row.
inline void slide(__m128i *r)
{
    #pragma GCC unroll 8
    for (int k = 0; k < 7; k++) r[k] = r[k + 1];
}

inline void put8(uint8_t *d, __m128i lo, __m128i hi, int n)
{
    __m128i m = splat16(512);
    store_bytes(d, _mm_packus_epi16(_mm_mulhrs_epi16(lo, m), _mm_mulhrs_epi16(hi, m)), n);
}

inline void put16(int16_t *d, __m128i lo, __m128i hi, int n)
{
    __m128i b = splat16(MC_INTERMEDIATE_BIAS);
    store_words(d, _mm_sub_epi16(lo, b), n);
    if (n > 8) store_words(d + 8, _mm_sub_epi16(hi, b), n - 8);
}

// Vertical filter of 8-bit samples, G = 8 or 16 columns per step.
template <int G, typename T>
void luma_v(T *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride, int py, int32_t w, int32_t h)
{
    __m128i taps[4];
    load_taps(taps, luma_tap_pairs_i8[py - 1]);
    for (int32_t x = 0; x < w; x += G) {
        int n = w - x < G ? (int)(w - x) : G;
        const uint8_t *s = src + x;
        __m128i r[8];
        #pragma GCC unroll 8
        for (int k = 0; k < 7; k++) r[k] = load_group<G == 8>(s + at(0, k - 3, src_stride));
        for (int32_t y = 0; y < h; y++) {
            r[7] = load_group<G == 8>(s + at(0, y + 4, src_stride));
            __m128i lo = vsum_bytes<false>(r, taps);
            __m128i hi = G == 16 ? vsum_bytes<true>(r, taps) : lo;
            if (sizeof(T) == 1)
                put8((uint8_t *)(dst + at(x, y, dst_stride)), lo, hi, n);
            else
                put16((int16_t *)(dst + at(x, y, dst_stride)), lo, hi, n);
            slide(r);
        }
    }
}

// Vertical filter over a biased horizontal plane, G = 4 or 8 columns per step.
// With the bias b = MC_INTERMEDIATE_BIAS and taps summing to 64, the sum V of
// the unbiased values is V' + 64 b, V' the sum over the stored ones; so the
// 8-bit sample clip((V + 2048) >> 12) is clip((V' + 64 b + 2048) >> 12) and the
// biased intermediate (V >> 6) - b is V' >> 6.
template <int G, typename T>
void luma_hplane_v(T *dst, int32_t dst_stride, const int16_t *src, int32_t src_stride, int py, int32_t w,
                   int32_t h)
{
    __m128i taps[4];
    load_taps(taps, luma_tap_pairs_i16[py - 1]);
    const __m128i round8 = splat32(64 * MC_INTERMEDIATE_BIAS + 2048);
    for (int32_t x = 0; x < w; x += G) {
        int n = w - x < G ? (int)(w - x) : G;
        const int16_t *s = src + x;
        __m128i r[8];
        #pragma GCC unroll 8
        for (int k = 0; k < 7; k++) r[k] = load_group<G == 4>(s + at(0, k - 3, src_stride));
        for (int32_t y = 0; y < h; y++) {
            r[7] = load_group<G == 4>(s + at(0, y + 4, src_stride));
            __m128i lo = vsum_words<false>(r, taps);
            __m128i hi = G == 8 ? vsum_words<true>(r, taps) : lo;
            if (sizeof(T) == 1) {
                lo = _mm_srai_epi32(_mm_add_epi32(lo, round8), 12);
                hi = _mm_srai_epi32(_mm_add_epi32(hi, round8), 12);
                __m128i v = _mm_packs_epi32(lo, hi);
                store_bytes((uint8_t *)(dst + at(x, y, dst_stride)), _mm_packus_epi16(v, v), n);
            } else {
                __m128i v = _mm_packs_epi32(_mm_srai_epi32(lo, 6), _mm_srai_epi32(hi, 6));
                store_words((int16_t *)(dst + at(x, y, dst_stride)), v, n);
            }
            slide(r);
        }
    }
}

// A biased horizontal sum hb = H - 64 * 128 to its sample: clip((H + 32) >> 6)
// is clip(((hb + 32) >> 6) + 128), the shift by rounding multiply.
inline __m128i hplane_pixels(__m128i hb)
{
    return _mm_add_epi16(_mm_mulhrs_epi16(hb, splat16(512)), splat16(MC_INTERMEDIATE_BIAS >> 6));
}

template <int G>
void hplane_to_pixels(uint8_t *dst, int32_t dst_stride, const int16_t *src, int32_t src_stride, int32_t w,
                      int32_t h)
{
    for (int32_t y = 0; y < h; y++) {
        const int16_t *s = src + at(0, y, src_stride);
        uint8_t *d = dst + at(0, y, dst_stride);
        for (int32_t x = 0; x < w; x += G) {
            int n = w - x < G ? (int)(w - x) : G;
            __m128i lo = hplane_pixels(load16(s + x));
            __m128i hi = n > 8 ? hplane_pixels(load16(s + x + 8)) : lo;
            store_bytes(d + x, _mm_packus_epi16(lo, hi), n);
        }
    }
}

// The three vertical phases of one column in one pass: each row window is
// loaded once and filtered with the taps of phases 1, 2 and 3, from 8-bit
// samples (16 columns per step) or from a biased horizontal plane (8).
void luma_v3(uint8_t *const *out, int32_t dst_stride, const uint8_t *src, int32_t src_stride, int32_t w, int32_t h)
{
    __m128i taps[3][4];
    for (int p = 0; p < 3; p++) load_taps(taps[p], luma_tap_pairs_i8[p]);
    for (int32_t x = 0; x < w; x += 16) {
        int n = w - x < 16 ? (int)(w - x) : 16;
        const uint8_t *s = src + x;
        __m128i r[8];
        for (int k = 0; k < 7; k++) r[k] = load16(s + at(0, k - 3, src_stride));
        for (int32_t y = 0; y < h; y++) {
            r[7] = load16(s + at(0, y + 4, src_stride));
            for (int p = 0; p < 3; p++)
                put8(out[p] + at(x, y, dst_stride), vsum_bytes<false>(r, taps[p]), vsum_bytes<true>(r, taps[p]), n);
            slide(r);
        }
    }
}

void luma_hplane_v3(uint8_t *const *out, int32_t dst_stride, const int16_t *src, int32_t src_stride, int32_t w,
                    int32_t h)
{
    __m128i taps[3][4];
    for (int p = 0; p < 3; p++) load_taps(taps[p], luma_tap_pairs_i16[p]);
    const __m128i round8 = splat32(64 * MC_INTERMEDIATE_BIAS + 2048);
    for (int32_t x = 0; x < w; x += 8) {
        int n = w - x < 8 ? (int)(w - x) : 8;
        const int16_t *s = src + x;
        __m128i r[8];
        for (int k = 0; k < 7; k++) r[k] = load16(s + at(0, k - 3, src_stride));
        for (int32_t y = 0; y < h; y++) {
            r[7] = load16(s + at(0, y + 4, src_stride));
            for (int p = 0; p < 3; p++) {
                __m128i lo = _mm_srai_epi32(_mm_add_epi32(vsum_words<false>(r, taps[p]), round8), 12);
                __m128i hi = _mm_srai_epi32(_mm_add_epi32(vsum_words<true>(r, taps[p]), round8), 12);
                __m128i v = _mm_packs_epi32(lo, hi);
                store_bytes(out[p] + at(x, y, dst_stride), _mm_packus_epi16(v, v), n);
            }
            slide(r);
        }
    }
}

}  // namespace

void interp_luma_v_w8_ssse3(uint8_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride, int32_t,
                            int32_t py, int32_t w, int32_t h)
{
    luma_v<8>(dst, dst_stride, src, src_stride, py, w, h);
}

void interp_luma_v_w16_ssse3(uint8_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride, int32_t,
                             int32_t py, int32_t w, int32_t h)
{
    luma_v<16>(dst, dst_stride, src, src_stride, py, w, h);
}

void interp_luma_16bit_v_w8_ssse3(int16_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride,
                                  int32_t, int32_t py, int32_t w, int32_t h)
{
    luma_v<8>(dst, dst_stride, src, src_stride, py, w, h);
}

void interp_luma_16bit_v_w16_ssse3(int16_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride,
                                   int32_t, int32_t py, int32_t w, int32_t h)
{
    luma_v<16>(dst, dst_stride, src, src_stride, py, w, h);
}

void interp_luma_hplane_v_w4_ssse3(uint8_t *dst, int32_t dst_stride, const int16_t *src, int32_t src_stride,
                                   int32_t, int32_t py, int32_t w, int32_t h)
{
    luma_hplane_v<4>(dst, dst_stride, src, src_stride, py, w, h);
}

void interp_luma_hplane_v_w8_ssse3(uint8_t *dst, int32_t dst_stride, const int16_t *src, int32_t src_stride,
                                   int32_t, int32_t py, int32_t w, int32_t h)
{
    luma_hplane_v<8>(dst, dst_stride, src, src_stride, py, w, h);
}

void interp_luma_16bit_hplane_v_w4_ssse3(int16_t *dst, int32_t dst_stride, const int16_t *src,
                                         int32_t src_stride, int32_t, int32_t py, int32_t w, int32_t h)
{
    luma_hplane_v<4>(dst, dst_stride, src, src_stride, py, w, h);
}

void interp_luma_16bit_hplane_v_w8_ssse3(int16_t *dst, int32_t dst_stride, const int16_t *src,
                                         int32_t src_stride, int32_t, int32_t py, int32_t w, int32_t h)
{
    luma_hplane_v<8>(dst, dst_stride, src, src_stride, py, w, h);
}

void hplane_to_pixels_w8_ssse3(uint8_t *dst, int32_t dst_stride, const int16_t *src, int32_t src_stride,
                               int32_t w, int32_t h)
{
    hplane_to_pixels<8>(dst, dst_stride, src, src_stride, w, h);
}

void hplane_to_pixels_w16_ssse3(uint8_t *dst, int32_t dst_stride, const int16_t *src, int32_t src_stride,
                                int32_t w, int32_t h)
{
    hplane_to_pixels<16>(dst, dst_stride, src, src_stride, w, h);
}

void subpel_vert3_planes_sse41(uint8_t *const *out, int32_t dst_stride, const uint8_t *src,
                               const int16_t *const *hplanes, int32_t src_stride, int32_t mvx, int32_t mvy,
                               int32_t w, int32_t h)
{
    if (w < 1 || h < 1) return;
    ptrdiff_t offset = at(mvx >> 2, mvy >> 2, src_stride);
    int px = mvx & 3;
    if (px)
        luma_hplane_v3(out, dst_stride, hplanes[px - 1] + offset, src_stride, w, h);
    else
        luma_v3(out, dst_stride, src + offset, src_stride, w, h);
}
