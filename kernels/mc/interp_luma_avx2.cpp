// AVX2 luma 8-tap interpolation: the 8-bit prediction (slot interp_luma and the
// reference-or-interpolate entry) and the biased 16-bit intermediate of
// bi-prediction (slot interp_luma_16bit). Blocks are walked in strips of 16
// columns; the last strip of a block stores only the block's own columns.
//
// Exactness: the byte multiply-adds pair taps whose products never leave the
// int16 range, and every partial sum of a one-direction filter lies within
// -6120 .. 22440, so the 16-bit sums are exact. Two-direction sums are formed in
// 32 bits from the 16-bit horizontal sums and shifted once, as the portable
// kernels do; the 16-bit intermediate is stored biased (minus
// MC_INTERMEDIATE_BIAS) and reduced to 16 bits by truncation like the portable
// cast, never saturated.
//
// Reads: sample rows -3 .. h + 3, as the portable form; columns up to 16 past
// the portable window in the last strip (inside the reference margins). The
// 16-bit horizontal planes are read over the block's own columns only.
#include "kernels/mc/mc_avx2.h"
#include "kernels/mc/mc_ssse3.h"

using namespace mc_avx2;

namespace {

struct luma_taps {
    __m256i b[4];   // byte pairs for the 8-bit multiply-add
    __m256i w[4];   // 16-bit pairs for the 32-bit multiply-add
};

luma_taps taps_of(int phase)
{
    const int16_t *c = mc_luma_filter[phase];
    luma_taps t;
    for (int k = 0; k < 4; k++) {
        t.b[k] = tap_pair_i8(c[2 * k], c[2 * k + 1]);
        t.w[k] = tap_pair_i16(c[2 * k], c[2 * k + 1]);
    }
    return t;
}

// Raw horizontal sums of 16 outputs starting at p: lane 0 holds the window of
// outputs 0 .. 7, lane 1 that of outputs 8 .. 15.
inline __m256i h16(const uint8_t *p, const luma_taps &t)
{
    const __m256i sh0 = _mm256_setr_epi8(0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 0, 1, 1, 2, 2, 3, 3, 4, 4,
                                         5, 5, 6, 6, 7, 7, 8);
    const __m256i sh1 = _mm256_add_epi8(sh0, _mm256_set1_epi8(2));
    const __m256i sh2 = _mm256_add_epi8(sh0, _mm256_set1_epi8(4));
    const __m256i sh3 = _mm256_add_epi8(sh0, _mm256_set1_epi8(6));
    __m256i s = _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128((const __m128i *)(p - 3))),
                                        _mm_loadu_si128((const __m128i *)(p + 5)), 1);
    __m256i a = _mm256_maddubs_epi16(_mm256_shuffle_epi8(s, sh0), t.b[0]);
    __m256i b = _mm256_maddubs_epi16(_mm256_shuffle_epi8(s, sh1), t.b[1]);
    __m256i c = _mm256_maddubs_epi16(_mm256_shuffle_epi8(s, sh2), t.b[2]);
    __m256i d = _mm256_maddubs_epi16(_mm256_shuffle_epi8(s, sh3), t.b[3]);
    return _mm256_add_epi16(_mm256_add_epi16(a, b), _mm256_add_epi16(c, d));
}

// 16 samples of a row, columns 0 .. 7 in lane 0 and 8 .. 15 in lane 1, each in
// the low half of its lane, ready for a byte interleave with the next row.
inline __m256i row16(const uint8_t *p)
{
    return _mm256_permute4x64_epi64(_mm256_castsi128_si256(_mm_loadu_si128((const __m128i *)p)), 0x50);
}

// Walks a vertical-only block down 16-column strips, keeping the eight rows of
// the filter window in registers so each source row is loaded once per strip.
// store(x, y, raw sums, n) writes one strip row.
template <typename Store>
void walk_v(const uint8_t *p, int32_t stride, const luma_taps &t, int32_t w, int32_t h, Store store)
{
    for (int32_t x = 0; x < w; x += 16) {
        int n = w - x < 16 ? (int)(w - x) : 16;
        __m256i r[8];
        #pragma GCC unroll 8
        for (int i = 0; i < 7; i++) r[i] = row16(p + at(x, i - 3, stride));
        for (int32_t y = 0; y < h; y++) {
            r[7] = row16(p + at(x, y + 4, stride));
            __m256i sum = _mm256_setzero_si256();
            #pragma GCC unroll 4
            for (int k = 0; k < 4; k++)
                sum = _mm256_add_epi16(sum, _mm256_maddubs_epi16(_mm256_unpacklo_epi8(r[2 * k], r[2 * k + 1]), t.b[k]));
            store(x, y, sum, n);
            #pragma GCC unroll 8
            for (int i = 0; i < 7; i++) r[i] = r[i + 1];
        }
    }
}

// Vertical 32-bit sums over eight rows of 16-bit horizontal sums; lo holds
// columns 0-3 and 8-11, hi 4-7 and 12-15, as a signed 32-to-16 pack wants them.
struct sums32 {
    __m256i lo, hi;
};

// Written out whole, with the tap pairs in registers: a loop over the pairs
// left the compiler copying the taps to the stack for every row.
inline sums32 vsum32(const __m256i *r, __m256i w0, __m256i w1, __m256i w2, __m256i w3)
{
    sums32 s;
    s.lo = _mm256_add_epi32(_mm256_add_epi32(_mm256_madd_epi16(_mm256_unpacklo_epi16(r[0], r[1]), w0),
                                             _mm256_madd_epi16(_mm256_unpacklo_epi16(r[2], r[3]), w1)),
                            _mm256_add_epi32(_mm256_madd_epi16(_mm256_unpacklo_epi16(r[4], r[5]), w2),
                                             _mm256_madd_epi16(_mm256_unpacklo_epi16(r[6], r[7]), w3)));
    s.hi = _mm256_add_epi32(_mm256_add_epi32(_mm256_madd_epi16(_mm256_unpackhi_epi16(r[0], r[1]), w0),
                                             _mm256_madd_epi16(_mm256_unpackhi_epi16(r[2], r[3]), w1)),
                            _mm256_add_epi32(_mm256_madd_epi16(_mm256_unpackhi_epi16(r[4], r[5]), w2),
                                             _mm256_madd_epi16(_mm256_unpackhi_epi16(r[6], r[7]), w3)));
    return s;
}

// clip((s + 2048) >> 12): the shifted value always fits 16 bits.
inline __m128i finish_u8(sums32 s)
{
    const __m256i round = _mm256_set1_epi32(2048);
    __m256i lo = _mm256_srai_epi32(_mm256_add_epi32(s.lo, round), 12);
    __m256i hi = _mm256_srai_epi32(_mm256_add_epi32(s.hi, round), 12);
    __m256i v = _mm256_packs_epi32(lo, hi);
    return _mm256_castsi256_si128(_mm256_permute4x64_epi64(_mm256_packus_epi16(v, v), 0x08));
}

// (int16)((s >> 6) - bias): subtracting bias << 6 first keeps the shift exact;
// the left/right shift pair keeps the low 16 bits sign-extended, as the cast does.
inline __m256i finish_i16(sums32 s)
{
    const __m256i unbias = _mm256_set1_epi32(MC_INTERMEDIATE_BIAS << 6);
    __m256i lo = _mm256_srai_epi32(_mm256_slli_epi32(_mm256_sub_epi32(s.lo, unbias), 10), 16);
    __m256i hi = _mm256_srai_epi32(_mm256_slli_epi32(_mm256_sub_epi32(s.hi, unbias), 10), 16);
    return _mm256_packs_epi32(lo, hi);
}

// (v + 32) >> 6 clipped to bytes, for one-direction raw sums.
inline __m128i round_u8(__m256i v)
{
    v = _mm256_mulhrs_epi16(v, _mm256_set1_epi16(512));
    return _mm256_castsi256_si128(_mm256_permute4x64_epi64(_mm256_packus_epi16(v, v), 0x08));
}

// Walks the two-direction block down 16-column strips; the horizontal sums
// come from the samples or from the biased horizontal plane hp, and the eight
// rows of the vertical filter's window stay in registers, each row's sums
// made once per strip. store(x, y, sums, n) writes one strip row.
template <bool FromPlane, typename Store>
void walk_2d_rows(const uint8_t *p, const int16_t *hp, int32_t stride, int fx, int fy, int32_t w, int32_t h,
                  Store store)
{
    const luma_taps th = taps_of(fx), tv = taps_of(fy);
    const __m256i w0 = tv.w[0], w1 = tv.w[1], w2 = tv.w[2], w3 = tv.w[3];
    const __m256i bias = _mm256_set1_epi16(MC_INTERMEDIATE_BIAS);
    for (int32_t x = 0; x < w; x += 16) {
        const int n = w - x < 16 ? (int)(w - x) : 16;
        auto row = [&](int32_t y) {
            ptrdiff_t o = at(x, y, stride);
            return FromPlane ? _mm256_add_epi16(load_i16_16(hp + o, n), bias) : h16(p + o, th);
        };
        __m256i r[8];
        #pragma GCC unroll 8
        for (int i = 0; i < 7; i++) r[i] = row(i - 3);
        for (int32_t y = 0; y < h; y++) {
            r[7] = row(y + 4);
            store(x, y, vsum32(r, w0, w1, w2, w3), n);
            #pragma GCC unroll 8
            for (int i = 0; i < 7; i++) r[i] = r[i + 1];
        }
    }
}

template <typename Store>
void walk_2d(const uint8_t *p, const int16_t *hp, int32_t stride, int fx, int fy, int32_t w, int32_t h,
             Store store)
{
    if (hp)
        walk_2d_rows<true>(p, hp, stride, fx, fy, w, h, store);
    else
        walk_2d_rows<false>(p, hp, stride, fx, fy, w, h, store);
}

}  // namespace

void interp_luma_avx2(uint8_t *dst, int32_t dst_stride, const uint8_t *ref, const int16_t *const *hplanes,
                      int32_t ref_stride, int32_t mvx, int32_t mvy, int32_t w, int32_t h)
{
    int fx = mvx & 3, fy = mvy & 3;
    ptrdiff_t origin = at(mvx >> 2, mvy >> 2, ref_stride);
    const uint8_t *p = ref + origin;
    const int16_t *hp = (hplanes && fx) ? hplanes[fx - 1] + origin : nullptr;
    if (w < 1 || h < 1) return;
    if (!fx && !fy) {
        block_copy_avx2(dst, dst_stride, p, ref_stride, w, h);
        return;
    }
    if (fx && fy) {
        walk_2d(p, hp, ref_stride, fx, fy, w, h, [&](int32_t x, int32_t y, sums32 s, int n) {
            store_u8_16(dst + at(x, y, dst_stride), finish_u8(s), n);
        });
        return;
    }
    luma_taps t = taps_of(fx | fy);
    if (!fx) {
        walk_v(p, ref_stride, t, w, h, [&](int32_t x, int32_t y, __m256i v, int n) {
            store_u8_16(dst + at(x, y, dst_stride), round_u8(v), n);
        });
        return;
    }
    // A biased plane value v gives (v + bias + 32) >> 6 = ((v + 32) >> 6) + bias / 64.
    const __m256i unbias = _mm256_set1_epi16(MC_INTERMEDIATE_BIAS >> 6);
    for (int32_t y = 0; y < h; y++)
        for (int32_t x = 0; x < w; x += 16) {
            int n = w - x < 16 ? (int)(w - x) : 16;
            ptrdiff_t o = at(x, y, ref_stride);
            __m128i v;
            if (hp) {
                __m256i m = _mm256_mulhrs_epi16(load_i16_16(hp + o, n), _mm256_set1_epi16(512));
                m = _mm256_add_epi16(m, unbias);
                v = _mm256_castsi256_si128(_mm256_permute4x64_epi64(_mm256_packus_epi16(m, m), 0x08));
            } else {
                v = round_u8(h16(p + o, t));
            }
            store_u8_16(dst + at(x, y, dst_stride), v, n);
        }
}

const int16_t *interp_luma_16bit_avx2(int16_t *dst, int32_t *dst_stride, const uint8_t *ref,
                                      const int16_t *const *hplanes, int32_t ref_stride, int32_t mvx, int32_t mvy,
                                      int32_t w, int32_t h)
{
    int fx = mvx & 3, fy = mvy & 3;
    ptrdiff_t origin = at(mvx >> 2, mvy >> 2, ref_stride);
    const uint8_t *p = ref + origin;
    const int16_t *hp = (hplanes && fx) ? hplanes[fx - 1] + origin : nullptr;
    // The horizontal plane already holds this prediction, biased like every other.
    if (hp && !fy) {
        *dst_stride = ref_stride;
        return hp;
    }
    int32_t ds = *dst_stride;
    if (w < 1 || h < 1) return dst;
    if (!fx && !fy) {
        interp_fullpel_16bit_avx2(dst, ds, p, ref_stride, w, h);
    } else if (fx && fy && hp && w <= 8) {
        // Narrow blocks over a horizontal plane: the 128-bit workers.
        (w <= 4 ? interp_luma_16bit_hplane_v_w4_ssse3 : interp_luma_16bit_hplane_v_w8_ssse3)(dst, ds, hp, ref_stride,
                                                                                            fx, fy, w, h);
    } else if (fx && fy) {
        walk_2d(p, hp, ref_stride, fx, fy, w, h, [&](int32_t x, int32_t y, sums32 s, int n) {
            store_i16_16(dst + at(x, y, ds), finish_i16(s), n);
        });
    } else {
        luma_taps t = taps_of(fx | fy);
        const __m256i bias = _mm256_set1_epi16(MC_INTERMEDIATE_BIAS);
        if (fy && w != h && w <= 16) {
            // Narrow blocks that are not square: the 128-bit workers.
            (w <= 8 ? interp_luma_16bit_v_w8_ssse3 : interp_luma_16bit_v_w16_ssse3)(dst, ds, p, ref_stride, 0, fy, w,
                                                                                  h);
            return dst;
        }
        if (fy) {
            walk_v(p, ref_stride, t, w, h, [&](int32_t x, int32_t y, __m256i v, int n) {
                store_i16_16(dst + at(x, y, ds), _mm256_sub_epi16(v, bias), n);
            });
            return dst;
        }
        for (int32_t y = 0; y < h; y++)
            for (int32_t x = 0; x < w; x += 16) {
                int n = w - x < 16 ? (int)(w - x) : 16;
                ptrdiff_t o = at(x, y, ref_stride);
                store_i16_16(dst + at(x, y, ds), _mm256_sub_epi16(h16(p + o, t), bias), n);
            }
    }
    return dst;
}

const uint8_t *mc_luma_ref_or_interp_avx2(uint8_t *dst, int32_t *stride, const uint8_t *ref,
                                          const int16_t *const *hplanes, int32_t ref_stride, int32_t mvx,
                                          int32_t mvy, int32_t w, int32_t h)
{
    if (!((mvx | mvy) & 3)) {
        *stride = ref_stride;
        return ref + at(mvx >> 2, mvy >> 2, ref_stride);
    }
    interp_luma_avx2(dst, *stride, ref, hplanes, ref_stride, mvx, mvy, w, h);
    return dst;
}

// Raw horizontal sums minus the bias for rows -3 .. h + 3 of a region, the rows
// the vertical filter of the sub-sample planes reads.
void filter_h_subpel_16bit_avx2(int16_t *quarter, int16_t *half, int16_t *three_quarter, const uint8_t *src,
                                int32_t stride, int32_t w, int32_t h, int32_t half_only)
{
    if (w < 1 || h < 1) return;
    int16_t *planes[3] = {quarter, half, three_quarter};
    const __m256i bias = _mm256_set1_epi16(MC_INTERMEDIATE_BIAS);
    for (int phase = 1; phase <= 3; phase++) {
        if (half_only && phase != 2) continue;
        luma_taps t = taps_of(phase);
        int16_t *plane = planes[phase - 1];
        for (int32_t y = -3; y < h + 4; y++)
            for (int32_t x = 0; x < w; x += 16) {
                int n = w - x < 16 ? (int)(w - x) : 16;
                ptrdiff_t o = at(x, y, stride);
                store_i16_16(plane + o, _mm256_sub_epi16(h16(src + o, t), bias), n);
            }
    }
}
