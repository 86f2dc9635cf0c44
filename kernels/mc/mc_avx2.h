// Shared pieces of the AVX2 motion-compensation set: loads and stores that touch
// exactly the columns of a block (so narrow blocks and the last partial strip of
// a wide one never write past the block), the tap vectors, and the kernels the
// table initialiser installs. Include only from *_avx2.cpp files.
#pragma once
#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kernels/mc/mc.h"

namespace mc_avx2 {

inline ptrdiff_t at(int32_t x, int32_t y, int32_t stride)
{
    return (ptrdiff_t)y * stride + x;
}

// The first n (1 .. 16) bytes of a 128-bit vector.
inline void store_u8_16(uint8_t *d, __m128i v, int n)
{
    if (n >= 16) {
        _mm_storeu_si128((__m128i *)d, v);
    } else if (n == 8) {
        _mm_storel_epi64((__m128i *)d, v);
    } else if (n == 4) {
        int32_t t = _mm_cvtsi128_si32(v);
        std::memcpy(d, &t, 4);
    } else {
        alignas(16) uint8_t t[16];
        _mm_store_si128((__m128i *)t, v);
        std::memcpy(d, t, (size_t)n);
    }
}

// The first n (1 .. 32) bytes of a 256-bit vector.
inline void store_u8_32(uint8_t *d, __m256i v, int n)
{
    if (n >= 32) {
        _mm256_storeu_si256((__m256i *)d, v);
    } else if (n >= 16) {
        _mm_storeu_si128((__m128i *)d, _mm256_castsi256_si128(v));
        if (n > 16) store_u8_16(d + 16, _mm256_extracti128_si256(v, 1), n - 16);
    } else {
        store_u8_16(d, _mm256_castsi256_si128(v), n);
    }
}

// The first n (1 .. 16) 16-bit values of a 256-bit vector.
inline void store_i16_16(int16_t *d, __m256i v, int n)
{
    if (n >= 16) {
        _mm256_storeu_si256((__m256i *)d, v);
        return;
    }
    __m128i lo = _mm256_castsi256_si128(v);
    if (n >= 8) {
        _mm_storeu_si128((__m128i *)d, lo);
        if (n > 8) store_u8_16((uint8_t *)(d + 8), _mm256_extracti128_si256(v, 1), 2 * (n - 8));
    } else {
        store_u8_16((uint8_t *)d, lo, 2 * n);
    }
}

// The first n (1 .. 16) bytes from p, the rest of the vector zero; reads nothing past them.
inline __m128i load_u8_16(const uint8_t *p, int n)
{
    if (n >= 16) return _mm_loadu_si128((const __m128i *)p);
    if (n == 8) return _mm_loadl_epi64((const __m128i *)p);
    if (n == 4) {
        int32_t t;
        std::memcpy(&t, p, 4);
        return _mm_cvtsi32_si128(t);
    }
    alignas(16) uint8_t t[16] = {};
    std::memcpy(t, p, (size_t)n);
    return _mm_load_si128((const __m128i *)t);
}

inline __m256i load_u8_32(const uint8_t *p, int n)
{
    if (n >= 32) return _mm256_loadu_si256((const __m256i *)p);
    if (n <= 16) return _mm256_castsi128_si256(load_u8_16(p, n));
    // 17 .. 31: the first 16 whole, the rest exactly.
    return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128((const __m128i *)p)),
                                   load_u8_16(p + 16, n - 16), 1);
}

inline __m256i load_i16_16(const int16_t *p, int n)
{
    if (n >= 16) return _mm256_loadu_si256((const __m256i *)p);
    if (n == 8) return _mm256_castsi128_si256(_mm_loadu_si128((const __m128i *)p));
    if (n > 8)
        return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128((const __m128i *)p)),
                                       load_u8_16((const uint8_t *)(p + 8), 2 * (n - 8)), 1);
    return _mm256_castsi128_si256(load_u8_16((const uint8_t *)p, 2 * n));
}

// Two 8-bit taps in one 16-bit lane (first tap in the low byte), for the
// unsigned-by-signed byte multiply-add.
inline __m256i tap_pair_i8(int16_t c0, int16_t c1)
{
    return _mm256_set1_epi16((int16_t)((uint16_t)(uint8_t)c0 | (uint16_t)((uint8_t)c1 << 8)));
}

// Two 16-bit taps in one 32-bit lane, for the 16-bit multiply-add.
inline __m256i tap_pair_i16(int16_t c0, int16_t c1)
{
    return _mm256_set1_epi32((int32_t)((uint32_t)(uint16_t)c0 | ((uint32_t)(uint16_t)c1 << 16)));
}

}  // namespace mc_avx2

// Kernels of the set (slot entries and the helpers other entries share).
void interp_luma_avx2(uint8_t *dst, int32_t dst_stride, const uint8_t *ref, const int16_t *const *hplanes,
                      int32_t ref_stride, int32_t mvx, int32_t mvy, int32_t w, int32_t h);
const int16_t *interp_luma_16bit_avx2(int16_t *dst, int32_t *dst_stride, const uint8_t *ref,
                                      const int16_t *const *hplanes, int32_t ref_stride, int32_t mvx, int32_t mvy,
                                      int32_t w, int32_t h);
void interp_chroma_avx2(uint8_t *dst, int32_t dst_stride, const uint8_t *ref, int32_t ref_stride, int32_t mvx,
                        int32_t mvy, int32_t w, int32_t h);
void interp_chroma_16bit_avx2(int16_t *dst, int32_t dst_stride, const uint8_t *ref, int32_t ref_stride,
                              int32_t mvx, int32_t mvy, int32_t w, int32_t h);
void bipred_avg_16bit_avx2(uint8_t *dst, int32_t dst_stride, const int16_t *p0, int32_t s0, const int16_t *p1,
                           int32_t s1, int32_t w, int32_t h);
void avg_pixels_avx2(uint8_t *dst, int32_t dst_stride, const uint8_t *a, int32_t a_stride, const uint8_t *b,
                     int32_t b_stride, int32_t w, int32_t h);
void block_copy_avx2(uint8_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride, int32_t w,
                     int32_t h);
// Full sample to the biased 16-bit intermediate, (sample << 6) - MC_INTERMEDIATE_BIAS, any w x h.
void interp_fullpel_16bit_avx2(int16_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride,
                               int32_t w, int32_t h);
void downscale_2x2_plane_avx2(uint8_t *const *planes, int32_t dst_stride, const uint8_t *src, int32_t src_stride,
                              int32_t w, int32_t h);
void filter_h_subpel_16bit_avx2(int16_t *quarter, int16_t *half, int16_t *three_quarter, const uint8_t *src,
                                int32_t stride, int32_t w, int32_t h, int32_t half_only);
void build_subpel_planes_avx2(uint8_t *const *planes, const uint8_t *src, const int16_t *const *hplanes,
                              int32_t stride, int32_t w, int32_t h, int32_t half_only);
void mc_from_subpel_planes_avx2(uint8_t *dst, int32_t dst_stride, uint8_t *const *planes, int32_t stride,
                                int32_t mvx, int32_t mvy, int32_t w, int32_t h);
const uint8_t *mc_luma_ref_or_interp_avx2(uint8_t *dst, int32_t *stride, const uint8_t *ref,
                                          const int16_t *const *hplanes, int32_t ref_stride, int32_t mvx,
                                          int32_t mvy, int32_t w, int32_t h);
const uint8_t *mc_luma_ref_or_bilinear_avx2(uint8_t *dst, int32_t *stride, const uint8_t *ref, int32_t ref_stride,
                                            int32_t mvx, int32_t mvy, int32_t w, int32_t h);
void interp_luma_bilinear_avx2(uint8_t *dst, int32_t dst_stride, const uint8_t *ref, int32_t ref_stride,
                               int32_t mvx, int32_t mvy, int32_t w, int32_t h);
