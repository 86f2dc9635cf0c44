// AVX2 chroma 4-tap eighth-sample interpolation: the 8-bit prediction (slot
// interp_chroma) and the biased 16-bit intermediate (slot interp_chroma_16bit).
// Blocks are walked in strips of 16 columns; the last strip of a block stores
// only the block's own columns. One-direction sums (-2550 .. 18870, every tap
// pair product in the int16 range) are exact in 16 bits; two-direction sums are
// 32-bit and shifted once, as the portable kernels do.
//
// Reads: rows -1 .. h + 1, as the portable form; columns up to 16 past the
// portable window in the last strip (inside the reference margins).
#include "kernels/mc/mc_avx2.h"

using namespace mc_avx2;

namespace {

const int TILE_ROWS = 32;

struct chroma_taps {
    __m256i b[2];
    __m256i w[2];
};

chroma_taps taps_of(int phase)
{
    const int16_t *c = mc_chroma_filter[phase];
    chroma_taps t;
    for (int k = 0; k < 2; k++) {
        t.b[k] = tap_pair_i8(c[2 * k], c[2 * k + 1]);
        t.w[k] = tap_pair_i16(c[2 * k], c[2 * k + 1]);
    }
    return t;
}

// Raw horizontal sums of 16 outputs at p; lane 0 outputs 0 .. 7, lane 1 8 .. 15.
inline __m256i h16(const uint8_t *p, const chroma_taps &t)
{
    const __m256i sh0 = _mm256_setr_epi8(0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 0, 1, 1, 2, 2, 3, 3, 4, 4,
                                         5, 5, 6, 6, 7, 7, 8);
    const __m256i sh1 = _mm256_add_epi8(sh0, _mm256_set1_epi8(2));
    __m256i s = _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128((const __m128i *)(p - 1))),
                                        _mm_loadu_si128((const __m128i *)(p + 7)), 1);
    __m256i a = _mm256_maddubs_epi16(_mm256_shuffle_epi8(s, sh0), t.b[0]);
    __m256i b = _mm256_maddubs_epi16(_mm256_shuffle_epi8(s, sh1), t.b[1]);
    return _mm256_add_epi16(a, b);
}

inline __m256i row16(const uint8_t *p)
{
    return _mm256_permute4x64_epi64(_mm256_castsi128_si256(_mm_loadu_si128((const __m128i *)p)), 0x50);
}

// Raw vertical sums of 16 outputs at p (rows -1 .. +2).
inline __m256i v16(const uint8_t *p, int32_t stride, const chroma_taps &t)
{
    __m256i a = _mm256_unpacklo_epi8(row16(p - stride), row16(p));
    __m256i b = _mm256_unpacklo_epi8(row16(p + stride), row16(p + at(0, 2, stride)));
    return _mm256_add_epi16(_mm256_maddubs_epi16(a, t.b[0]), _mm256_maddubs_epi16(b, t.b[1]));
}

struct sums32 {
    __m256i lo, hi;
};

inline sums32 vsum32(const int16_t *r, const chroma_taps &t)
{
    __m256i r0 = _mm256_load_si256((const __m256i *)r), r1 = _mm256_load_si256((const __m256i *)(r + 16));
    __m256i r2 = _mm256_load_si256((const __m256i *)(r + 32)), r3 = _mm256_load_si256((const __m256i *)(r + 48));
    sums32 s;
    s.lo = _mm256_add_epi32(_mm256_madd_epi16(_mm256_unpacklo_epi16(r0, r1), t.w[0]),
                            _mm256_madd_epi16(_mm256_unpacklo_epi16(r2, r3), t.w[1]));
    s.hi = _mm256_add_epi32(_mm256_madd_epi16(_mm256_unpackhi_epi16(r0, r1), t.w[0]),
                            _mm256_madd_epi16(_mm256_unpackhi_epi16(r2, r3), t.w[1]));
    return s;
}

inline __m128i pack_u8(__m256i v)
{
    return _mm256_castsi256_si128(_mm256_permute4x64_epi64(_mm256_packus_epi16(v, v), 0x08));
}

template <typename Store>
void walk_2d(const uint8_t *p, int32_t stride, int fx, int fy, int32_t w, int32_t h, Store store)
{
    alignas(32) int16_t tmp[(TILE_ROWS + 3) * 16];
    chroma_taps th = taps_of(fx), tv = taps_of(fy);
    for (int32_t x = 0; x < w; x += 16) {
        int n = w - x < 16 ? (int)(w - x) : 16;
        for (int32_t y0 = 0; y0 < h; y0 += TILE_ROWS) {
            int rows = h - y0 < TILE_ROWS ? (int)(h - y0) : TILE_ROWS;
            for (int r = 0; r < rows + 3; r++)
                _mm256_store_si256((__m256i *)(tmp + 16 * r), h16(p + at(x, y0 + r - 1, stride), th));
            for (int y = 0; y < rows; y++) store(x, y0 + y, vsum32(tmp + 16 * y, tv), n);
        }
    }
}

}  // namespace

void interp_chroma_avx2(uint8_t *dst, int32_t dst_stride, const uint8_t *ref, int32_t ref_stride, int32_t mvx,
                        int32_t mvy, int32_t w, int32_t h)
{
    int fx = mvx & 7, fy = mvy & 7;
    const uint8_t *p = ref + at(mvx >> 3, mvy >> 3, ref_stride);
    if (w < 1 || h < 1) return;
    if (!fx && !fy) {
        // The identity filter: a plain copy, at any width.
        for (int32_t y = 0; y < h; y++)
            for (int32_t x = 0; x < w; x += 32) {
                int n = w - x < 32 ? (int)(w - x) : 32;
                store_u8_32(dst + at(x, y, dst_stride), load_u8_32(p + at(x, y, ref_stride), n), n);
            }
        return;
    }
    if (fx && fy) {
        const __m256i round = _mm256_set1_epi32(2048);
        walk_2d(p, ref_stride, fx, fy, w, h, [&](int32_t x, int32_t y, sums32 s, int n) {
            __m256i lo = _mm256_srai_epi32(_mm256_add_epi32(s.lo, round), 12);
            __m256i hi = _mm256_srai_epi32(_mm256_add_epi32(s.hi, round), 12);
            store_u8_16(dst + at(x, y, dst_stride), pack_u8(_mm256_packs_epi32(lo, hi)), n);
        });
        return;
    }
    chroma_taps t = taps_of(fx | fy);
    const __m256i m512 = _mm256_set1_epi16(512);
    for (int32_t y = 0; y < h; y++)
        for (int32_t x = 0; x < w; x += 16) {
            int n = w - x < 16 ? (int)(w - x) : 16;
            ptrdiff_t o = at(x, y, ref_stride);
            __m256i v = fy ? v16(p + o, ref_stride, t) : h16(p + o, t);
            store_u8_16(dst + at(x, y, dst_stride), pack_u8(_mm256_mulhrs_epi16(v, m512)), n);
        }
}

void interp_chroma_16bit_avx2(int16_t *dst, int32_t dst_stride, const uint8_t *ref, int32_t ref_stride,
                              int32_t mvx, int32_t mvy, int32_t w, int32_t h)
{
    int fx = mvx & 7, fy = mvy & 7;
    const uint8_t *p = ref + at(mvx >> 3, mvy >> 3, ref_stride);
    if (w < 1 || h < 1) return;
    if (!fx && !fy) {
        interp_fullpel_16bit_avx2(dst, dst_stride, p, ref_stride, w, h);
        return;
    }
    if (fx && fy) {
        // (s >> 6) - bias lies within -14089 .. 14024: the signed pack is exact.
        const __m256i unbias = _mm256_set1_epi32(MC_INTERMEDIATE_BIAS << 6);
        walk_2d(p, ref_stride, fx, fy, w, h, [&](int32_t x, int32_t y, sums32 s, int n) {
            __m256i lo = _mm256_srai_epi32(_mm256_sub_epi32(s.lo, unbias), 6);
            __m256i hi = _mm256_srai_epi32(_mm256_sub_epi32(s.hi, unbias), 6);
            store_i16_16(dst + at(x, y, dst_stride), _mm256_packs_epi32(lo, hi), n);
        });
        return;
    }
    chroma_taps t = taps_of(fx | fy);
    const __m256i bias = _mm256_set1_epi16(MC_INTERMEDIATE_BIAS);
    for (int32_t y = 0; y < h; y++)
        for (int32_t x = 0; x < w; x += 16) {
            int n = w - x < 16 ? (int)(w - x) : 16;
            ptrdiff_t o = at(x, y, ref_stride);
            __m256i v = fy ? v16(p + o, ref_stride, t) : h16(p + o, t);
            store_i16_16(dst + at(x, y, dst_stride), _mm256_sub_epi16(v, bias), n);
        }
}
