// Small load and store helpers shared by the 128-bit motion-compensation
// kernels. The partial forms move exactly n elements so that a kernel never
// writes past the block it is asked for, and never reads past what a portable
// kernel would read where a source buffer has no margin.
#pragma once
#include <smmintrin.h>
#include <tmmintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace mc_ssse3 {

inline ptrdiff_t at(int32_t x, int32_t y, int32_t stride)
{
    return (ptrdiff_t)y * stride + x;
}

inline __m128i load16(const void *p)
{
    return _mm_loadu_si128((const __m128i *)p);
}

inline __m128i load8(const void *p)
{
    return _mm_loadl_epi64((const __m128i *)p);
}

inline void store16(void *p, __m128i v)
{
    _mm_storeu_si128((__m128i *)p, v);
}

// The low n bytes of v (n 1 .. 16) to d.
inline void store_bytes(uint8_t *d, __m128i v, int n)
{
    if (n >= 16) {
        store16(d, v);
        return;
    }
    if (n & 8) {
        _mm_storel_epi64((__m128i *)d, v);
        d += 8;
        v = _mm_srli_si128(v, 8);
    }
    if (n & 4) {
        uint32_t t = (uint32_t)_mm_cvtsi128_si32(v);
        std::memcpy(d, &t, 4);
        d += 4;
        v = _mm_srli_si128(v, 4);
    }
    if (n & 2) {
        uint16_t t = (uint16_t)_mm_cvtsi128_si32(v);
        std::memcpy(d, &t, 2);
        d += 2;
        v = _mm_srli_si128(v, 2);
    }
    if (n & 1) *d = (uint8_t)_mm_cvtsi128_si32(v);
}

// The low n 16-bit elements of v (n 1 .. 8) to d.
inline void store_words(int16_t *d, __m128i v, int n)
{
    if (n >= 8)
        store16(d, v);
    else
        store_bytes((uint8_t *)d, v, 2 * n);
}

// n bytes (n >= 1) from p; bytes past n are zero. Exactly n bytes are read.
inline __m128i load_bytes(const uint8_t *p, int n)
{
    if (n >= 16) return load16(p);
    alignas(16) uint8_t t[16] = {};
    std::memcpy(t, p, (size_t)n);
    return _mm_load_si128((const __m128i *)t);
}

// Rounding and bias constants.
inline __m128i splat16(int v)
{
    return _mm_set1_epi16((short)v);
}

inline __m128i splat32(int v)
{
    return _mm_set1_epi32(v);
}

// Pairs (s[i], s[i + 1]) for i = k .. k + 7 of a 16-byte row.
inline __m128i byte_pairs(__m128i s, int k)
{
    switch (k) {
    case 0: return _mm_shuffle_epi8(s, _mm_setr_epi8(0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8));
    case 2: return _mm_shuffle_epi8(s, _mm_setr_epi8(2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10));
    case 4: return _mm_shuffle_epi8(s, _mm_setr_epi8(4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12));
    default: return _mm_shuffle_epi8(s, _mm_setr_epi8(6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13, 14));
    }
}

// Eight raw horizontal 8-tap luma sums at columns 0 .. 7 of p (reads p - 3 .. p + 12).
inline __m128i luma_h8(const uint8_t *p, const __m128i *taps)
{
    __m128i s = load16(p - 3);
    __m128i a = _mm_maddubs_epi16(byte_pairs(s, 0), taps[0]);
    __m128i b = _mm_maddubs_epi16(byte_pairs(s, 2), taps[1]);
    __m128i c = _mm_maddubs_epi16(byte_pairs(s, 4), taps[2]);
    __m128i d = _mm_maddubs_epi16(byte_pairs(s, 6), taps[3]);
    // Each product pair stays within +-14790; the full sum within -6120 .. 22440,
    // so wrapping 16-bit additions give it exactly.
    return _mm_add_epi16(_mm_add_epi16(a, b), _mm_add_epi16(c, d));
}

// Eight raw horizontal 4-tap chroma sums at columns 0 .. 7 of p (reads p - 1 .. p + 14).
inline __m128i chroma_h8(const uint8_t *p, const __m128i *taps)
{
    __m128i s = load16(p - 1);
    __m128i a = _mm_maddubs_epi16(byte_pairs(s, 0), taps[0]);
    __m128i b = _mm_maddubs_epi16(byte_pairs(s, 2), taps[1]);
    return _mm_add_epi16(a, b);
}

}  // namespace mc_ssse3
